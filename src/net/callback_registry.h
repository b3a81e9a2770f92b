// The registry that tells which object an event-window message belongs to,
// keyed by (handle, kind), and the base class of every such object.
#pragma once

#include <cstdint>
#include <list>

#include "platform/message_loop.h"

namespace net {

// Together with a handle, keys the registry. The same handle value may be
// registered once under each kind.
enum class CallbackKind : std::int32_t {
    AsyncTask = 0,  // task handle of an asynchronous lookup (messages 1024-1029)
    Socket = 1,     // socket handle (message 1030)
    Deferred = 2,   // token of a call deferred to the loop (message 1031)
};

// Everything the event window calls.
class CEventTarget {
public:
    // Called by the event window with the message's own four values.
    virtual void EventCallback(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                               plat::LParam lParam) = 0;
    virtual ~CEventTarget() = default;

    // Adds (handle, kind) -> this; on a clash shows "Unable to register
    // callback" and carries on unregistered.
    void RegisterCallback(std::uint32_t handle, CallbackKind kind);
    // Removes (handle, kind); when there is none shows
    // "Unable to unregister callback".
    void UnregisterCallback(std::uint32_t handle, CallbackKind kind);
};

struct CallbackEntry {
    std::uint32_t handle;
    CallbackKind kind;
    CEventTarget* target;  // not owned
};

// At most one entry per (handle, kind); new entries go to the front. It
// never owns or calls its targets.
class CCallbackRegistry {
public:
    CCallbackRegistry() = default;
    CCallbackRegistry(const CCallbackRegistry&) = delete;
    CCallbackRegistry& operator=(const CCallbackRegistry&) = delete;

    // False when the pair exists already (left unchanged).
    bool Add(std::uint32_t handle, CallbackKind kind, CEventTarget* target);
    // False when there is none.
    bool Remove(std::uint32_t handle, CallbackKind kind);
    // True with target set when found; target untouched otherwise.
    bool Find(std::uint32_t handle, CallbackKind kind, CEventTarget*& target) const;

    int Count() const;

private:
    std::list<CallbackEntry> entries_;
};

// The process's one registry, built on first use.
CCallbackRegistry& CallbackRegistry();

}  // namespace net
