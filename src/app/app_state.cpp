#include "app/app_state.h"

#include "nntp/nntp_session.h"

namespace app {

AppState& App() {
    static AppState state;
    return state;
}

MainWindowData* GetMainWindowData(plat::WindowHandle window) {
    const AppState& app = App();
    if (window == 0 || window != app.mainWindow) return nullptr;
    return app.mainWindowData;
}

void ResetAppStateForTests() {
    AppState& app = App();
    if (app.mainWindowData != nullptr) {
        delete app.mainWindowData->session;
        delete app.mainWindowData;
    }
    app = AppState{};
}

}  // namespace app
