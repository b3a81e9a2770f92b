#include "app/app_state.h"

namespace app {

AppState& App() {
    static AppState state;
    return state;
}

}  // namespace app
