// Expiry of old articles, one group per step. The first step runs inside
// the "Expire messages" command; each step posts kExpireNextMessage to the
// main window, whose handler runs the next one, until every group number
// below LastGroupNum has been visited. Within a step one waiting message is
// dispatched per index record, so the program stays responsive.
//
// A step moves "<n>.grp" to "<n>.tmp" and writes the records it keeps to a
// new "<n>.grp", appending, so that a record the fetch cycle adds meanwhile
// stays. A "<n>.tmp" found at the start of a step is the index of a step
// that was cut off; the step then finishes that one before its own run.
#pragma once

#include <cstdint>
#include <string>

#include "spool/spool_context.h"

namespace spool {

constexpr unsigned kExpireNextMessage = 1032;  // MAIN_MSG_EXPIRE_NEXT, WM_USER + 8

// The group number the expiry is at; 1 when it is idle.
extern std::int32_t expiryGroup;

// Days since 1900 with 365-day years and no leap days: 29 February counts
// as 1 March. month is 1-12.
long long dayNumber(int yearsSince1900, int month, int day);

// The day number of a record's 14-character timestamp, or false when it
// cannot be read (then the record is never expired).
bool TimestampDayNumber(const char* timestamp, long long& day);

// Command 40009: start over at group 1. While a step is running, the
// restart happens as soon as it finishes.
void StartExpiry(const SpoolContext& context);

// Message kExpireNextMessage: the step for expiryGroup. Does nothing when
// called from inside a running step (the running step goes on).
void ExpireGroupStep(const SpoolContext& context);

bool ExpiryRunning();

// Why the expiry since the last StartExpiry left a group unexpired (its
// first such log line); empty when every group was done.
const std::string& ExpiryFailure();

// The group is being unsubscribed: a step working on it stops without
// touching its files again.
void StopExpiryOfGroup(std::int32_t group);

}  // namespace spool
