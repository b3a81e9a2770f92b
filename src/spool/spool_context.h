// What the spool operations need from the application: they are called
// from its menu commands, command line and message handlers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace spool {

struct SpoolContext {
    // The spool directory (QivNewsDir); it holds newsys.rc, the index files
    // and the news directory with the group directories.
    std::string spoolDir;
    // The application's in-memory LastGroupNum: read by the expiry, advanced
    // by SubscribeGroup (which also writes it to qiv.ini). Must not be null.
    std::int32_t* lastGroupNum = nullptr;
    // Appends a line to the activity log; may be empty.
    std::function<void(const std::string&)> log;
};

// Profile files, by bare name.
inline constexpr const char* kSettingsFile = "qiv.ini";
inline constexpr const char* kSettingsSection = "QIVNEWS";
inline constexpr const char* kGroupsFile = "qivnews.ini";

}  // namespace spool
