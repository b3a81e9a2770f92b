// Start-up of the application: the main window, its log and the network layer.
#pragma once

#include <string>

#include "platform/message_loop.h"

namespace app {

// Registers the main window class, creates the main window (which loads the
// settings and, unless withTimer is false, starts the timer), lays out the
// log and starts the network layer. Returns the window, or 0 with the reason
// in error. The user-interface backend must be installed first.
plat::WindowHandle StartMainWindow(bool withTimer, std::string& error);

// Shows the main window and runs the message loop until the window is
// destroyed; returns the quit code.
int RunMainWindow();

// SIGINT and SIGTERM close the main window, which ends the loop normally.
void RouteStopSignals(plat::WindowHandle window);

}  // namespace app
