// The operating system's share of the message loop (loop_wait.cpp on
// Linux, win/loop_wait_win.cpp on Windows): the wait and the clock.
#pragma once

#include <cstddef>

#include "platform/message_loop.h"

namespace plat {

// Waits at most timeoutMs (-1: no limit) for one of the descriptors, or on
// Windows for a window message, which it dispatches. Returns the number of
// ready descriptors, -1 on error.
int WaitForSources(PollFd* fds, std::size_t count, int timeoutMs);

}  // namespace plat
