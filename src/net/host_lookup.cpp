#include "net/host_lookup.h"

#include <cstring>
#include <new>

#include "net/event_window.h"
#include "platform/inet.h"
#include "platform/wsa_errors.h"

namespace net {

CAsyncRequest::CAsyncRequest() : buffer(new (std::nothrow) char[kBufferSize]) {}

CAsyncRequest::~CAsyncRequest() {
    if (state == RequestState::Pending) Cancel();
    delete[] buffer;
}

int CAsyncRequest::Start(CLookupClient* requestClient, std::uint32_t requestClientValue) {
    if (state == RequestState::Pending) return lastError = 1;
    if (buffer == nullptr) return lastError = plat::wsa::NoBuffers;
    // A result that names no address must read as an empty list, never as
    // what an earlier request left behind.
    std::memset(buffer, 0, kBufferSize);
    state = RequestState::Pending;
    handle = IssueRequest();
    if (handle == 0) {
        state = RequestState::Idle;
        lastError = plat::LastLookupError();
        // A failure must never read as "in flight".
        if (lastError == 0) lastError = plat::wsa::NoRecovery;
        return lastError;
    }
    client = requestClient;
    clientValue = requestClientValue;
    RegisterCallback(handle, CallbackKind::AsyncTask);
    return 0;
}

void CAsyncRequest::EventCallback(plat::WindowHandle, unsigned, plat::WParam, plat::LParam lParam) {
    UnregisterCallback(handle, CallbackKind::AsyncTask);
    const int error = static_cast<int>((static_cast<std::uint32_t>(lParam) >> 16) & 0xFFFF);
    if (error == 0) {
        state = RequestState::Complete;
        lastError = 0;
    } else {
        state = RequestState::Idle;
        lastError = error;
    }
    CLookupClient* waiting = client;
    client = nullptr;
    if (waiting != nullptr) waiting->LookupCallback(clientValue, error);
}

int CAsyncRequest::Cancel() {
    if (state != RequestState::Pending) return lastError = 2;
    state = RequestState::Idle;
    // Unregistered first, so that a completion already posted is dropped.
    UnregisterCallback(handle, CallbackKind::AsyncTask);
    client = nullptr;
    clientValue = 0;
    const int error = plat::CancelAsyncRequest(handle);
    if (error == 0) return lastError = 0;
    lastError = error;
    if (error == plat::wsa::Invalid || error == plat::wsa::Already) return 0;
    return lastError;
}

plat::TaskHandle CHostLookup::IssueRequest() {
    return plat::AsyncGetHostByName(GetEventWindow(), EVENT_MSG_HOST_LOOKUP,
                                    hostName != nullptr ? hostName : "", buffer, kBufferSize);
}

void CHostLookup::FirstAddress(CInetAddress& address, bool& found) {
    nextIndex = 0;
    NextAddress(address, found);
}

void CHostLookup::NextAddress(CInetAddress& address, bool& found) {
    address = CInetAddress();
    CNetAddress next;
    // IPv6 entries are passed over: this form holds IPv4 only.
    for (NextAddress(next, found); found; NextAddress(next, found)) {
        if (next.family != AF_INET) continue;
        std::memcpy(&address.address, next.bytes, 4);
        return;
    }
}

void CHostLookup::FirstAddress(CNetAddress& address, bool& found) {
    nextIndex = 0;
    NextAddress(address, found);
}

void CHostLookup::NextAddress(CNetAddress& address, bool& found) {
    address = CNetAddress();
    found = false;
    if (state != RequestState::Complete) return;
    int family = 0;
    unsigned char bytes[16];
    if (!plat::LookupResultEntry(buffer, kBufferSize, static_cast<std::size_t>(nextIndex), family,
                                 bytes)) {
        return;
    }
    address.family = family;
    std::memcpy(address.bytes, bytes, 16);
    ++nextIndex;
    found = true;
}

}  // namespace net
