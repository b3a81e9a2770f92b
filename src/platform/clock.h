// Local time broken down, replaceable in tests.
#pragma once

#include <functional>

namespace plat {

struct LocalTime {
    int year;    // full year, e.g. 2026
    int month;   // 1-12
    int day;     // 1-31
    int hour;    // 0-23
    int minute;  // 0-59
};

LocalTime Now();
// Tests install a fixed clock; an empty function restores the real one.
void SetClockForTests(std::function<LocalTime()> clock);

}  // namespace plat
