#include "net/event_window.h"

#include "net/callback_registry.h"
#include "net/winsock_init.h"

namespace net {

namespace {

plat::WindowHandle eventWindow = 0;

}  // namespace

bool CreateEventWindow(bool classRegistered) {
    if (eventWindow != 0 && plat::IsWindow(eventWindow)) return false;
    if (!classRegistered && !plat::RegisterWindowClass(kEventWindowClass, EventWindowProc)) {
        return false;
    }
    eventWindow = plat::CreateWindow(kEventWindowClass);
    return eventWindow != 0;
}

plat::WindowHandle GetEventWindow() {
    return eventWindow;
}

plat::LResult EventWindowProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                              plat::LParam lParam) {
    CallbackKind kind;
    if (message >= EVENT_MSG_ASYNC_FIRST && message <= EVENT_MSG_ASYNC_LAST) {
        kind = CallbackKind::AsyncTask;
    } else if (message == EVENT_MSG_SOCKET) {
        kind = CallbackKind::Socket;
    } else if (message == EVENT_MSG_DEFERRED) {
        kind = CallbackKind::Deferred;
    } else {
        return plat::DefWindowProc(window, message, wParam, lParam);
    }
    // Handles are 32-bit; a wider value cannot belong to anyone.
    if (wParam > 0xFFFFFFFFu) return 0;
    // The search ends before the call, so the target may change the registry.
    CEventTarget* target = nullptr;
    if (CallbackRegistry().Find(static_cast<std::uint32_t>(wParam), kind, target)) {
        target->EventCallback(window, message, wParam, lParam);
    }
    return 0;
}

bool InitNetworkLayer(bool classRegistered) {
    WinsockInit();
    return CreateEventWindow(classRegistered);
}

}  // namespace net
