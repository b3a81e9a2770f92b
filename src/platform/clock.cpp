#include "platform/clock.h"

#include <ctime>
#include <utility>

namespace plat {

namespace {

std::function<LocalTime()>& TestClock() {
    static std::function<LocalTime()> clock;
    return clock;
}

}  // namespace

LocalTime Now() {
    if (TestClock()) return TestClock()();
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                     parts.tm_min};
}

void SetClockForTests(std::function<LocalTime()> clock) {
    TestClock() = std::move(clock);
}

}  // namespace plat
