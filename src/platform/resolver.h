// Asynchronous host-name lookups driven by the message loop (c-ares; its
// sockets join the loop's poll set and its timeouts the loop's wait; no
// threads). A request returns a nonzero task handle at once and its
// completion is posted to a window as (message, taskHandle, error << 16 |
// length). Task handles are never reused. A cancelled request's completion
// never reaches the window, even if c-ares answers later.
//
// The result is written into the caller's buffer in a layout of our own:
// a 32-bit count followed by that many entries, in the resolver's order
// (IPv6 and IPv4 addresses alike), as many as the buffer holds. An entry is
// the family (32 bits, AF_INET or AF_INET6) and 16 bytes of address in
// network order (an IPv4 address in the first 4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/message_loop.h"

namespace plat {

using TaskHandle = std::uint32_t;

// Returns the task handle, or 0 with the error in LastLookupError().
TaskHandle AsyncGetHostByName(WindowHandle window, unsigned message, const char* name, char* buffer,
                              std::size_t bufferLength);
// 0 when the request was abandoned; 10022 (invalid) for an unknown or
// finished handle.
int CancelAsyncRequest(TaskHandle handle);
int LastLookupError();

// Reads entry index of a completed result; false past the last one.
bool LookupResultEntry(const char* buffer, std::size_t bufferLength, std::size_t index, int& family,
                       unsigned char (&address)[16]);
// The same for an IPv4 entry only: false also for an IPv6 one.
bool LookupResultAddress(const char* buffer, std::size_t bufferLength, std::size_t index,
                         std::uint32_t& addressNetworkOrder);

// Tests point the resolver at a stub DNS server ("127.0.0.1:5353"); an empty
// string restores the system configuration. Names in /etc/hosts resolve
// from there first either way. Fails while lookups are in flight.
bool SetResolverServersForTests(const std::string& servers);
// Tests shorten the wait for a silent server: timeoutMs per try, tries
// attempts per server. 0 for both restores the system configuration.
// Fails while lookups are in flight.
bool SetResolverTimeoutForTests(int timeoutMs, int tries);
// Requests c-ares still works on, cancelled ones included.
std::size_t LookupsInFlight();

}  // namespace plat
