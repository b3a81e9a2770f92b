// Process-wide state of the application, in one place. There is one
// instance of each, used only on the GUI thread.
#pragma once

#include <cstdint>

#include "app/settings.h"
#include "platform/message_loop.h"
#include "platform/ui.h"

class CNntpSession;

namespace app {

// One per main window, held in the window's data slot; never freed, like the
// session it owns.
struct MainWindowData {
    int connected = 0;  // 1 from a successful connect until the disconnect completes
    CNntpSession* session = nullptr;
};

constexpr std::size_t kLogLineSize = 256;          // 255 characters and the terminator
constexpr std::size_t kGroupNameBufferSize = 256;  // the Select Group answer

struct AppState {
    plat::WindowHandle mainWindow = 0;
    MainWindowData* mainWindowData = nullptr;  // also in the window's data slot

    // The network commands (connect, disconnect, group list, fetch, post)
    // are accepted only while this is 1.
    int appIdle = 0;
    int timerEnabled = 0;
    std::int32_t timerTicks = 0;  // 30-second ticks counted since start or the last disconnect
    int groupListRequested = 0;
    // 1 when server, port and spool directory were present at start-up or
    // Setup has been confirmed since.
    int configComplete = 0;

    AppSettings settings;

    // The fetch cycle's position. Article numbers are 64-bit: servers run
    // past 2^31 - 1.
    std::int32_t currentGroup = 1;
    std::int64_t articleCursor = 0;

    // The last name confirmed in the Select Group dialog.
    char selectedGroupName[kGroupNameBufferSize] = {};
    // Every log line passes through here.
    char logLine[kLogLineSize] = {};

    // What the status line shows.
    plat::ui::Status status;
};

AppState& App();

// The record of the main window (null for any other window).
MainWindowData* GetMainWindowData(plat::WindowHandle window);

// Forgets the state of a previous start-up; for tests, after the message
// loop has been reset.
void ResetAppStateForTests();

}  // namespace app
