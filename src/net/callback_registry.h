// The registry that tells which object an event-window message belongs to,
// keyed by (handle, kind), and the base class of every such object.
#pragma once

#include <cstdint>

#include "platform/message_loop.h"

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

    // Adds (handle, kind) -> this; on a clash or allocation failure shows
    // "Unable to register callback" and carries on unregistered.
    void RegisterCallback(std::uint32_t handle, CallbackKind kind);
    // Removes (handle, kind); when there is none shows
    // "Unable to unregister callback".
    void UnregisterCallback(std::uint32_t handle, CallbackKind kind);
};

struct CallbackEntry {
    CallbackEntry* next;
    CallbackEntry* previous;
    std::uint32_t handle;
    CallbackKind kind;
    CEventTarget* target;  // not owned
};

// A doubly linked list with at most one entry per (handle, kind); new
// entries go to the front. It never owns or calls its targets.
class CCallbackRegistry {
public:
    CCallbackRegistry() = default;
    CCallbackRegistry(const CCallbackRegistry&) = delete;
    CCallbackRegistry& operator=(const CCallbackRegistry&) = delete;
    // Frees the remaining nodes without calling their targets.
    ~CCallbackRegistry();

    // 1 when linked; 0 when the pair exists already (left unchanged) or no
    // node could be allocated.
    int Add(std::uint32_t handle, CallbackKind kind, CEventTarget* target);
    // 1 when found, unlinked and freed; 0 when there is none.
    int Remove(std::uint32_t handle, CallbackKind kind);
    // 1 with target set when found; 0 with target untouched otherwise.
    int Find(std::uint32_t handle, CallbackKind kind, CEventTarget*& target) const;

    int Count() const;

private:
    CallbackEntry* head_ = nullptr;
};

// The process's one registry. Built on first use, which start-up arranges
// to happen before the sockets start-up object (see winsock_init.h).
CCallbackRegistry& CallbackRegistry();
