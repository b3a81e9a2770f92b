#include "net/event_window.h"

#include "net/callback_registry.h"
#include "net/winsock_init.h"

namespace {

plat::WindowHandle eventWindow = 0;

// The start-up objects are built before main, in their own order (see
// winsock_init.h); this file is linked whenever the event window is used.
[[maybe_unused]] const bool startupObjectsBuilt = (WinsockInit(), true);

}  // namespace

int CreateEventWindow(std::uintptr_t /*hInstance*/, int classRegistered) {
    if (eventWindow != 0 && plat::IsWindow(eventWindow)) return 0;
    if (classRegistered == 0 && !plat::RegisterWindowClass(kEventWindowClass, EventWindowProc)) {
        return 0;
    }
    eventWindow = plat::CreateWindow(kEventWindowClass);
    return eventWindow != 0 ? 1 : 0;
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

int InitNetworkLayer(std::uintptr_t hInstance, int classRegistered) {
    if (WinsockInit().StartupError() != 0) return 0;
    return CreateEventWindow(hInstance, classRegistered);
}
