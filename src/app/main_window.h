// The main window: menu commands, the timer and the completion messages.
#pragma once

#include "platform/message_loop.h"

namespace app {

class NewsCycle;

// The create parameter of the main window: flags.
constexpr plat::LParam kCreateWithoutTimer = 1;  // a command-line run: no timed connections

plat::LResult MainWindowProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                             plat::LParam lParam);

// The news cycle the main window runs; null for any other window, and once
// the main window is gone.
NewsCycle* CycleOf(plat::WindowHandle window);

// Copies the server and its security from the settings into the cycle,
// for the next connect, and the reply timeout into the session.
void GiveServerToSession(plat::WindowHandle window);

// The log fills the client area but for a margin on every side, one cell for
// the ten pixels of a window. The size is passed on even when it comes out at
// zero or less; the log is then hidden.
constexpr int kLogMargin = 1;
void LayoutLog(int clientWidth, int clientHeight);

}  // namespace app
