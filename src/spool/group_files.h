// The files of a group directory beside what its index names: what a
// killed fetch leaves, and what unsubscribing must take away.
#pragma once

#include <cstdint>
#include <string>

namespace spool {

struct GroupSweep {
    bool done = false;  // false: the index could not be read, nothing was touched
    int removed = 0;
    int failed = 0;     // leftovers that could not be removed
};

// Removes from news/NG<group> every "<8 digits>.part" and "<8 digits>.nws"
// that neither <group>.grp nor an expiry's <group>.tmp names. Only while no
// fetch of the group runs: one gateway per profile, so at a group's start.
GroupSweep RemoveUnindexedFiles(const std::string& spoolDir, std::int32_t group);

// The group a fetch is receiving articles into (0: none). Unsubscribing it
// leaves its directory to that fetch, which removes it once it notices.
void SetGroupInFetch(std::int32_t group);
std::int32_t GroupInFetch();

// Empties news/NG<group> of its files and removes it. An empty text when it
// is gone (or never was); otherwise what stayed, for the sysop.
std::string RemoveGroupDirectory(const std::string& spoolDir, std::int32_t group);

}  // namespace spool
