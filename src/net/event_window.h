// The hidden event window: the sockets layer's notifications arrive here as
// messages and are routed through the callback registry to their objects.
#pragma once

#include <cstdint>

#include "platform/message_loop.h"

namespace net {

inline constexpr const char* kEventWindowClass = "QivEventWindow";

// Messages of the event window (the main window's numbers overlap; they never
// meet because they go to another window).
constexpr unsigned EVENT_MSG_ASYNC_FIRST = plat::msg::User + 0;  // 1024, routed as AsyncTask
constexpr unsigned EVENT_MSG_HOST_LOOKUP = plat::msg::User + 1;  // 1025, a finished lookup
constexpr unsigned EVENT_MSG_ASYNC_LAST = plat::msg::User + 5;   // 1029
constexpr unsigned EVENT_MSG_SOCKET = plat::msg::User + 6;       // 1030, routed as Socket
// A call deferred to the loop (deferred_call.h), routed as Deferred.
constexpr unsigned EVENT_MSG_DEFERRED = plat::msg::User + 7;  // 1031

// False when the window exists already (nothing changes) or the class or
// window cannot be made. classRegistered skips registering the class.
bool CreateEventWindow(bool classRegistered);

// The event window, 0 before it is created.
plat::WindowHandle GetEventWindow();

// The class's window procedure: 1024-1029 go to the AsyncTask entry of
// wParam, 1030 to its Socket entry, 1031 to its Deferred entry; a message
// without an entry is dropped; everything else gets the default handling.
plat::LResult EventWindowProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                              plat::LParam lParam);

// Before the message loop: starts the sockets layer, then
// CreateEventWindow(classRegistered).
bool InitNetworkLayer(bool classRegistered);

}  // namespace net
