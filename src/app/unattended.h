// Runs without a user: one cycle (--once), the group list (list-groups) and
// the demonstration (--demo).
#pragma once

#include "platform/message_loop.h"

namespace app {

// A run gives up when nothing at all has happened for this long: a server
// that stops answering must not keep an unattended run waiting for ever.
constexpr int kIdleLimitMs = 5 * 60 * 1000;

// Both are handed the started main window (no timer) and return the exit
// status: 0 when the server was reached, accepted the login (when one is
// configured), delivered the group list (list-groups) and the cycle ended
// with "Server disconnected" with nothing left undone (every article stored,
// no post held back); 1 otherwise. A profile without a server or a
// usable spool gives 1 at once, before any lookup.
int RunOnce(plat::WindowHandle window, int idleLimitMs = kIdleLimitMs);
int RunListGroups(plat::WindowHandle window, int idleLimitMs = kIdleLimitMs);

// Runs the cycle that the command just sent to the window started, until it
// has ended; the exit status as above.
int FinishCycle(plat::WindowHandle window, bool listMode, int idleLimitMs = kIdleLimitMs);

// A throwaway profile and spool in a new temporary directory, the test news
// server on a free loopback port with a few groups and one queued article,
// then a cycle at once: in the terminal interface when there is a terminal
// (running on, with the timer, until the user leaves), otherwise headless
// for that one cycle. Prints where the spool is.
int RunDemo();

}  // namespace app
