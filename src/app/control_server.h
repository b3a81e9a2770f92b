// The gateway's side of the control channel: serves the socket from the
// message loop and carries the requests out.
#pragma once

#include "platform/message_loop.h"

namespace app {

// The gateway side: serves the socket for the main window. A socket file
// left by a gateway that was killed is replaced. On failure the reason is
// logged and the gateway runs on without the socket; false then.
bool OpenControlChannel(plat::WindowHandle mainWindow);
// Answers whatever waits "retry", closes and removes the socket. Runs at
// exit on its own; safe to call twice.
void CloseControlChannel();
bool ControlChannelOpen();

// For tests: how long a client may take to send its request or to take its
// answer before it is dropped.
void SetControlClientTimeoutForTests(int ms);

}  // namespace app
