// The state of the application's shell, in one place: the main window, the
// settings, the timer, the status line. One instance, used only on the GUI
// thread; the main window starts it afresh when it is created. What a news
// cycle keeps lives in its NewsCycle (news_cycle.h).
#pragma once

#include <cstdint>
#include <optional>

#include "app/settings.h"
#include "platform/message_loop.h"
#include "platform/ui.h"

namespace app {

constexpr std::size_t kLogLineSize = 256;          // 255 characters and the terminator
constexpr std::size_t kGroupNameBufferSize = 256;  // the Select Group answer

struct AppState {
    plat::WindowHandle mainWindow = 0;

    bool timerEnabled = false;
    std::int32_t timerTicks = 0;  // 30-second ticks counted since start or the last disconnect
    // Server, port and spool directory were present at start-up or
    // Setup has been confirmed since.
    bool configComplete = false;

    AppSettings settings;
    // Setup stored while a cycle ran: what the next cycle takes.
    std::optional<AppSettings> pendingSetup;

    // The last name confirmed in the Select Group dialog.
    char selectedGroupName[kGroupNameBufferSize] = {};
    // Every log line passes through here.
    char logLine[kLogLineSize] = {};

    // What the status line shows.
    plat::ui::Status status;
};

AppState& App();

}  // namespace app
