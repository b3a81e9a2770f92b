// Expiry of old articles, one group after another, in steps: each step
// walks a bounded number of index records and returns, and the caller
// schedules the next one from its loop, until every group number below
// LastGroupNum has been visited. Nothing here runs the caller's loop, so
// nothing can reach the spool in the middle of a record.
//
// A group's run moves "<n>.grp" to "<n>.tmp" and writes the records it
// keeps to a new "<n>.grp", appending, so that a record the fetch cycle adds
// meanwhile stays. A "<n>.tmp" found when a group's run begins is the index
// of a run that was cut off; that one is then finished before its own run.
#pragma once

#include <cstdint>
#include <string>

#include "spool/spool_context.h"

namespace spool {

// The group number the expiry is at; 1 when it is idle.
std::int32_t ExpiryGroup();

// Days since 1900 with 365-day years and no leap days: 29 February counts
// as 1 March. month is 1-12.
long long dayNumber(int yearsSince1900, int month, int day);

// The day number of a record's 14-character timestamp, or false when it
// cannot be read (then the record is never expired).
bool TimestampDayNumber(const char* timestamp, long long& day);

// Command 40009: start over at group 1. While a group's run is under way,
// the restart happens as soon as it is finished.
void StartExpiry();

// Walks up to maxRecords records of the group at hand (a step that begins
// a group's run walks its first ones; finishing a run is a step of its
// own); true when more remains, for a later step.
bool ExpiryStep(const SpoolContext& context, long maxRecords);

// A run is under way: started, and not yet ended by its last step.
bool ExpiryRunning();

// The program is ending: the group at hand is finished (its run is not
// left for the next start) and the rest of the run dropped.
void FinishExpiryGroup(const SpoolContext& context);
// Drops the run; a group's run under way stays in its "<n>.tmp", which the
// next run finishes.
void AbandonExpiry();

// Why the expiry since the last StartExpiry left a group unexpired (its
// first such log line); empty when every group was done.
const std::string& ExpiryFailure();

// The group is being unsubscribed: a run under way on it ends without
// touching its files again.
void StopExpiryOfGroup(std::int32_t group);

}  // namespace spool
