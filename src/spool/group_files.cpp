#include "spool/group_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "platform/files.h"
#include "spool/article_index.h"
#include "spool/index_record.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

// The names an index file's records give; false when it exists but cannot
// be read, so that no file it may name is taken for a leftover.
bool AddNamedFiles(const std::string& indexPath, std::unordered_set<std::string>& names) {
    return ForEachRecord(indexPath,
                         [&](const unsigned char* record) { names.insert(RecordFileName(record)); });
}

// Only names this program gives its own files: whatever else lies there is
// not ours to judge.
bool IsNumberedFile(const std::string& name) {
    const std::size_t dot = name.find('.');
    if (dot != 8) return false;
    for (std::size_t i = 0; i < dot; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    const std::string suffix = name.substr(dot);
    return suffix == ".nws" || suffix == ".part";
}

std::int32_t& InFetch() {
    static std::int32_t group = 0;
    return group;
}

}  // namespace

void SetGroupInFetch(std::int32_t group) {
    InFetch() = group;
}

std::int32_t GroupInFetch() {
    return InFetch();
}

GroupSweep RemoveUnindexedFiles(const std::string& spoolDir, std::int32_t group) {
    GroupSweep sweep;
    std::unordered_set<std::string> named;
    if (!AddNamedFiles(IndexPath(spoolDir, group), named) ||
        !AddNamedFiles(TempIndexPath(spoolDir, group), named))
        return sweep;
    const std::string dir = GroupDirectory(spoolDir, group);
    std::vector<plat::DirectoryEntry> entries;
    if (!plat::ListDirectory(dir, entries) && errno != ENOENT) return sweep;
    sweep.done = true;
    for (const plat::DirectoryEntry& e : entries) {
        if (!IsNumberedFile(e.name) || named.count(e.name) != 0) continue;
        if (!e.directory && plat::DeleteFile(dir + "/" + e.name)) {
            ++sweep.removed;
        } else {
            ++sweep.failed;
        }
    }
    return sweep;
}

std::string RemoveGroupDirectory(const std::string& spoolDir, std::int32_t group) {
    const std::string dir = GroupDirectory(spoolDir, group);
    std::vector<plat::DirectoryEntry> entries;
    if (!plat::ListDirectory(dir, entries)) {
        if (errno == ENOENT) return std::string();
        return dir + " stayed: it cannot be read (" + std::strerror(errno) + ")";
    }
    std::string stayed;
    int kept = 0;
    for (const plat::DirectoryEntry& e : entries) {
        if (!e.directory && plat::DeleteFile(dir + "/" + e.name)) continue;
        if (kept++ == 0) stayed = e.name;
    }
    if (kept == 0 && plat::RemoveDirectory(dir)) return std::string();
    if (kept == 0) return dir + " stayed: " + std::strerror(errno);
    return dir + " stayed with " + std::to_string(kept) + (kept == 1 ? " entry" : " entries") +
           " that could not be removed, " + stayed + (kept > 1 ? " among them" : "");
}

}  // namespace spool
