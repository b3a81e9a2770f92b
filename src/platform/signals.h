// Signals arrive as posted messages through a self-pipe watched by the loop;
// the handler itself only writes the signal number to the pipe.
#pragma once

#include "platform/message_loop.h"

namespace plat {

// Posts (window, message, signo, 0) whenever signo arrives. Replaces an
// earlier route for the same signal.
bool RouteSignal(int signo, WindowHandle window, unsigned message);
void UnrouteSignal(int signo);

}  // namespace plat
