#include "app/status.h"

#include "app/app_state.h"
#include "platform/ui.h"

namespace app {

namespace {

void Publish() {
    plat::ui::Current().SetStatus(App().status);
}

}  // namespace

void StatusSetConnection(const char* state) {
    App().status.connection = state;
    Publish();
}

void StatusSetGroup(const std::string& group) {
    App().status.group = group;
    Publish();
}

void StatusStartCycle() {
    App().status.group.clear();
    App().status.fetched = 0;
    Publish();
}

void StatusArticleFetched() {
    ++App().status.fetched;
    Publish();
}

void StatusUpdateTimer() {
    const AppState& app = App();
    const long minutes =
        MinutesToNextConnection(app.timerTicks, app.settings.timerInterval, app.timerEnabled);
    if (minutes == app.status.minutesToNext) return;
    App().status.minutesToNext = minutes;
    Publish();
}

long MinutesToNextConnection(std::int32_t ticks, std::int32_t interval, bool timerEnabled) {
    const long long mark = 2LL * interval;
    // A stopped timer still connects on every tick while the count sits on
    // its mark.
    if (ticks == mark) return timerEnabled ? -1 : 0;
    if (!timerEnabled || interval <= 0 || ticks > mark) return -1;
    return static_cast<long>((mark - ticks + 1) / 2);
}

}  // namespace app
