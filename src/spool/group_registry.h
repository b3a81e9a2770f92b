// The groups the spool carries, kept in step in four places: the board's
// registry "newsys.rc" (one "name:number" line per group), the NG<n>
// sections of qivnews.ini, the group directories news/NG<n> and the index
// files <n>.grp.
//
// The application asks for the group name (Select Group dialog, or the
// command line) and then calls SubscribeGroup or UnsubscribeGroup with it;
// the result's message is what it shows (warning box or error output).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "spool/spool_context.h"
#include "spool/spool_paths.h"

namespace spool {

enum class SubscribeStatus {
    Subscribed,
    EmptyName,
    NameTooLong,          // more than 255 characters
    InvalidName,          // a colon, white space or a control character
    AlreadySubscribed,    // the registry holds the name (in any letter case)
    RegistryUnavailable,  // newsys.rc could not be written; nothing changed
    SpoolUnwritable,      // the section or the directory could not be made; nothing changed
    NoFreeNumber,         // group numbers have run out of their eight digits
};

struct SubscribeResult {
    SubscribeStatus status = SubscribeStatus::RegistryUnavailable;
    std::int32_t groupNumber = -1;  // the number given to the group
    std::string message;            // one line for the user
    bool Ok() const { return status == SubscribeStatus::Subscribed; }
};

enum class UnsubscribeStatus {
    Unsubscribed,
    NotSubscribed,        // no registry line carries the name
    RegistryUnavailable,  // newsys.rc could not be read or rewritten; nothing changed
};

struct UnsubscribeResult {
    UnsubscribeStatus status = UnsubscribeStatus::RegistryUnavailable;
    std::int32_t groupNumber = -1;
    std::string message;
    // Unsubscribed, but the group's directory could not be removed whole:
    // what stayed (also in message).
    std::string stayed;
    bool Ok() const { return status == UnsubscribeStatus::Unsubscribed && stayed.empty(); }
};


// Enters the group under the next free number: the directory news/NG<n>,
// the NG<n> section with Name and a registry line, all or none; then advances
// *context.lastGroupNum and writes it to qiv.ini. The number is never one
// that the registry, qivnews.ini or the spool already uses; when
// LastGroupNum was behind them a line is logged.
SubscribeResult SubscribeGroup(const SpoolContext& context, const std::string& name);

// Removes the group named (in any letter case): its registry lines, its
// section, the articles its index lists, the index and the directory with
// whatever else it holds (a group being fetched leaves that to the fetch).
// An expiry working on the group stops.
UnsubscribeResult UnsubscribeGroup(const SpoolContext& context, const std::string& name);

// Many names in one call, for thousands of groups: one read and one write
// of newsys.rc and qivnews.ini, and LastGroupNum written once. The outcome
// of each name is what the single call would give for the names in turn (a
// name given twice is subscribed already, or not subscribed, the second
// time), each group all or none.
std::vector<SubscribeResult> SubscribeGroups(const SpoolContext& context,
                                             const std::vector<std::string>& names);
std::vector<UnsubscribeResult> UnsubscribeGroups(const SpoolContext& context,
                                                 const std::vector<std::string>& names);

// Rewrites newsys.rc without the lines that carry the name and returns the
// number of the last of them, or -1 when none does or the registry cannot
// be read or replaced (registryFailed then tells the two apart). The
// registry is replaced in one rename, so it is never lost or half written.
std::int32_t RemoveRegistryEntry(const std::string& spoolDir, const std::string& name,
                                 bool* registryFailed = nullptr);

// The number SubscribeGroup would give the next group.
std::int32_t NextFreeGroupNumber(const std::string& spoolDir, std::int32_t lastGroupNum);

}  // namespace spool
