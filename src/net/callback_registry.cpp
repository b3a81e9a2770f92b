#include "net/callback_registry.h"

#include "net/warning.h"

namespace net {

bool CCallbackRegistry::Add(std::uint32_t handle, CallbackKind kind, CEventTarget* target) {
    CEventTarget* existing = nullptr;
    if (Find(handle, kind, existing)) return false;
    entries_.push_front({handle, kind, target});
    return true;
}

bool CCallbackRegistry::Remove(std::uint32_t handle, CallbackKind kind) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->handle != handle || it->kind != kind) continue;
        entries_.erase(it);
        return true;
    }
    return false;
}

bool CCallbackRegistry::Find(std::uint32_t handle, CallbackKind kind, CEventTarget*& target) const {
    for (const CallbackEntry& e : entries_) {
        if (e.handle == handle && e.kind == kind) {
            target = e.target;
            return true;
        }
    }
    return false;
}

int CCallbackRegistry::Count() const {
    return static_cast<int>(entries_.size());
}

CCallbackRegistry& CallbackRegistry() {
    static CCallbackRegistry registry;
    return registry;
}

void CEventTarget::RegisterCallback(std::uint32_t handle, CallbackKind kind) {
    if (!CallbackRegistry().Add(handle, kind, this)) ShowWarning("Unable to register callback");
}

void CEventTarget::UnregisterCallback(std::uint32_t handle, CallbackKind kind) {
    if (!CallbackRegistry().Remove(handle, kind)) {
        ShowWarning("Unable to unregister callback");
    }
}

}  // namespace net
