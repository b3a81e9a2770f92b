#include "app/startup.h"

#include <csignal>

#include "app/commands.h"
#include "app/main_window.h"
#include "net/event_window.h"
#include "platform/signals.h"
#include "platform/ui.h"

namespace app {

plat::WindowHandle StartMainWindow(bool withTimer, std::string& error) {
    if (!plat::IsWindowClassRegistered(kMainWindowClass) &&
        !plat::RegisterWindowClass(kMainWindowClass, MainWindowProc)) {
        error = "the main window class could not be registered";
        return 0;
    }
    const plat::WindowHandle window =
        plat::CreateWindow(kMainWindowClass, withTimer ? 0 : kCreateWithoutTimer);
    if (window == 0) {
        error = "the main window could not be created";
        return 0;
    }

    // The log starts empty and sized to nothing; laying it out here, rather
    // than on the first resize, gives it its margins from the first drawing.
    plat::ui::Backend& ui = plat::ui::Current();
    ui.SetLogBounds(0, 0, 0, 0);
    LayoutLog(ui.ClientWidth(), ui.ClientHeight());

    if (!net::InitNetworkLayer(false)) {
        error = "the network layer could not be started";
        // Its data and its cycle go with it.
        plat::DestroyWindow(window);
        return 0;
    }
    return window;
}

int RunMainWindow() {
    plat::ui::Current().Show();
    return plat::RunMessageLoop();
}

void RouteStopSignals(plat::WindowHandle window) {
    plat::RouteSignal(SIGINT, window, plat::msg::Close);
    plat::RouteSignal(SIGTERM, window, plat::msg::Close);
}

}  // namespace app
