// Runs without a user: one cycle (--once) and the group list (list-groups).
// Both are handed the started main window (no timer) and return the exit
// status.
#pragma once

#include "platform/message_loop.h"

namespace app {

int RunOnce(plat::WindowHandle window);
int RunListGroups(plat::WindowHandle window);

}  // namespace app
