#include "net/callback_registry.h"

#include <new>

#include "net/warning.h"

CCallbackRegistry::~CCallbackRegistry() {
    while (head_ != nullptr) {
        CallbackEntry* next = head_->next;
        delete head_;
        head_ = next;
    }
}

int CCallbackRegistry::Add(std::uint32_t handle, CallbackKind kind, CEventTarget* target) {
    CEventTarget* existing = nullptr;
    if (Find(handle, kind, existing)) return 0;
    auto* entry = new (std::nothrow) CallbackEntry{head_, nullptr, handle, kind, target};
    if (entry == nullptr) return 0;
    if (head_ != nullptr) head_->previous = entry;
    head_ = entry;
    return 1;
}

int CCallbackRegistry::Remove(std::uint32_t handle, CallbackKind kind) {
    for (CallbackEntry* e = head_; e != nullptr; e = e->next) {
        if (e->handle != handle || e->kind != kind) continue;
        if (e->previous != nullptr) {
            e->previous->next = e->next;
        } else {
            head_ = e->next;
        }
        if (e->next != nullptr) e->next->previous = e->previous;
        delete e;
        return 1;
    }
    return 0;
}

int CCallbackRegistry::Find(std::uint32_t handle, CallbackKind kind, CEventTarget*& target) const {
    for (const CallbackEntry* e = head_; e != nullptr; e = e->next) {
        if (e->handle == handle && e->kind == kind) {
            target = e->target;
            return 1;
        }
    }
    return 0;
}

int CCallbackRegistry::Count() const {
    int n = 0;
    for (const CallbackEntry* e = head_; e != nullptr; e = e->next) ++n;
    return n;
}

CCallbackRegistry& CallbackRegistry() {
    static CCallbackRegistry registry;
    return registry;
}

void CEventTarget::RegisterCallback(std::uint32_t handle, CallbackKind kind) {
    if (CallbackRegistry().Add(handle, kind, this) == 0) ShowWarning("Unable to register callback");
}

void CEventTarget::UnregisterCallback(std::uint32_t handle, CallbackKind kind) {
    if (CallbackRegistry().Remove(handle, kind) == 0) {
        ShowWarning("Unable to unregister callback");
    }
}
