// The status line under the log: connection state, the group being fetched,
// the articles fetched in this cycle and the minutes to the next timed
// connection. The steps of the cycles update it through these calls; each
// call shows the new state at once.
#pragma once

#include <cstdint>
#include <string>

namespace app {

constexpr char kStatusDisconnected[] = "Disconnected";
constexpr char kStatusConnecting[] = "Connecting";
constexpr char kStatusConnected[] = "Connected";
constexpr char kStatusDisconnecting[] = "Disconnecting";

void StatusSetConnection(const char* state);
void StatusSetGroup(const std::string& group);  // empty when no group is being fetched
// A cycle starts: no group yet, nothing fetched.
void StatusStartCycle();
void StatusArticleFetched();
// Recomputes the minutes to the next timed connection from the timer's state.
void StatusUpdateTimer();

// Minutes until the timer starts a connection, rounded up; -1 when none is
// due (no interval, the timer stopped, or the count already past its mark).
long MinutesToNextConnection(std::int32_t ticks, std::int32_t interval, bool timerEnabled);

}  // namespace app
