// Host-name lookups on Windows: GetAddrInfoExW with an OVERLAPPED and a
// completion routine, which gives IPv6 and IPv4 without blocking the loop.
// The routine runs on a worker thread; it only posts the task's handle to
// the sink window, and the loop's thread reads the answer and completes
// the request. Wine reads the system's hosts file as Windows does its own.
#include "platform/win/event_sink.h"

#include <ws2tcpip.h>

#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>

#include "platform/resolver.h"
#include "platform/socket.h"
#include "platform/wsa_errors.h"

// In ws2_32 since Windows 8, missing from mingw-w64's headers.
extern "C" {
INT WSAAPI GetAddrInfoExOverlappedResult(LPOVERLAPPED overlapped);
INT WSAAPI GetAddrInfoExCancel(LPHANDLE handle);
}


namespace plat {

namespace {

constexpr std::size_t kCountSize = 4;
constexpr std::size_t kEntrySize = 4 + 16;

// Allocated per request and freed by the loop's thread once the completion
// has come: the worker thread may still write it after a cancel.
struct Request {
    OVERLAPPED overlapped{};
    PADDRINFOEXW result = nullptr;
    HANDLE cancel = nullptr;
    TaskHandle handle = 0;
    WindowHandle window = 0;
    unsigned message = 0;
    char* buffer = nullptr;
    std::size_t bufferLength = 0;
    bool cancelled = false;
    bool immediate = false;  // answered inside GetAddrInfoExW
    int status = 0;          // its answer then
};

struct Posted {
    TaskHandle handle;
    WindowHandle window;
    unsigned message;
};

struct ResolverState {
    std::unordered_map<TaskHandle, Request*> requests;
    std::deque<Posted> posted;
    TaskHandle next = 1;
    int lastError = 0;
};

ResolverState& State() {
    static ResolverState* state = new ResolverState;
    return *state;
}

void CALLBACK Completed(DWORD, DWORD, LPWSAOVERLAPPED overlapped) {
    auto* request = reinterpret_cast<Request*>(overlapped);
    PostMessageW(win::EventSink(), win::kLookupMessage, request->handle, 0);
}

void Finish(Request* request) {
    const int status =
        request->immediate ? request->status : GetAddrInfoExOverlappedResult(&request->overlapped);
    int error = 0;
    std::uint32_t count = 0;
    if (status != 0) {
        error = status == WSAHOST_NOT_FOUND || status == WSANO_DATA || status == WSATRY_AGAIN
                    ? status
                    : wsa::NoRecovery;
    } else {
        const std::size_t room = (request->bufferLength - kCountSize) / kEntrySize;
        for (const ADDRINFOEXW* n = request->result; n != nullptr && count < room;
             n = reinterpret_cast<const ADDRINFOEXW*>(n->ai_next)) {
            char* entry = request->buffer + kCountSize + kEntrySize * count;
            const std::uint32_t family = static_cast<std::uint32_t>(n->ai_family);
            std::memset(entry, 0, kEntrySize);
            if (n->ai_family == AF_INET)
                std::memcpy(entry + 4, &reinterpret_cast<const sockaddr_in*>(n->ai_addr)->sin_addr, 4);
            else if (n->ai_family == AF_INET6)
                std::memcpy(entry + 4, &reinterpret_cast<const sockaddr_in6*>(n->ai_addr)->sin6_addr, 16);
            else
                continue;
            std::memcpy(entry, &family, 4);
            ++count;
        }
        if (count == 0) error = wsa::NoData;
    }
    std::size_t length = 0;
    if (error == 0) {
        std::memcpy(request->buffer, &count, kCountSize);
        length = kCountSize + kEntrySize * static_cast<std::size_t>(count);
    }
    const LParam lParam = static_cast<LParam>((static_cast<std::uint32_t>(error) << 16) |
                                              static_cast<std::uint32_t>(length & 0xFFFF));
    if (PostMessage(request->window, request->message, request->handle, lParam)) {
        auto& posted = State().posted;
        posted.push_back(Posted{request->handle, request->window, request->message});
        if (posted.size() > 256) posted.pop_front();
    }
}

void OnLookupDone(WPARAM wParam, LPARAM) {
    auto& requests = State().requests;
    auto it = requests.find(static_cast<TaskHandle>(wParam));
    if (it == requests.end()) return;
    Request* request = it->second;
    requests.erase(it);
    if (!request->cancelled) Finish(request);
    if (request->result != nullptr) FreeAddrInfoExW(request->result);
    delete request;
}

}  // namespace

TaskHandle AsyncGetHostByName(WindowHandle window, unsigned message, const char* name, char* buffer,
                              std::size_t bufferLength) {
    ResolverState& s = State();
    if (name == nullptr || buffer == nullptr || bufferLength < kCountSize) {
        s.lastError = wsa::Fault;
        return 0;
    }
    if (window == 0) {
        s.lastError = wsa::Invalid;
        return 0;
    }
    SocketsStartup();
    win::SetSinkHandler(win::kLookupMessage, OnLookupDone);
    auto* request = new Request;
    request->handle = s.next++;
    if (s.next == 0) s.next = 1;
    request->window = window;
    request->message = message;
    request->buffer = buffer;
    request->bufferLength = bufferLength;
    std::wstring wide;
    for (const char* p = name; *p != 0; ++p) wide.push_back(static_cast<unsigned char>(*p));
    ADDRINFOEXW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    s.requests[request->handle] = request;
    const int rc = GetAddrInfoExW(wide.c_str(), nullptr, NS_ALL, nullptr, &hints, &request->result,
                                  nullptr, &request->overlapped,
                                  reinterpret_cast<LPLOOKUPSERVICE_COMPLETION_ROUTINE>(Completed),
                                  &request->cancel);
    // Answered at once (an address, a bad name): the routine is not called,
    // and the completion is posted just the same.
    if (rc != WSA_IO_PENDING) {
        request->immediate = true;
        request->status = rc;
        PostMessageW(win::EventSink(), win::kLookupMessage, request->handle, 0);
    }
    s.lastError = 0;
    return request->handle;
}

int CancelAsyncRequest(TaskHandle handle) {
    ResolverState& s = State();
    auto it = s.requests.find(handle);
    if (it != s.requests.end() && !it->second->cancelled) {
        it->second->cancelled = true;
        it->second->buffer = nullptr;
        if (it->second->cancel != nullptr) GetAddrInfoExCancel(&it->second->cancel);
        s.lastError = 0;
        return 0;
    }
    for (auto p = s.posted.begin(); p != s.posted.end(); ++p) {
        if (p->handle != handle) continue;
        const std::size_t before = QueuedMessageCount();
        RemoveQueuedMessages(p->window, p->message, handle);
        const bool removed = QueuedMessageCount() < before;
        s.posted.erase(p);
        if (removed) {
            s.lastError = 0;
            return 0;
        }
        break;
    }
    s.lastError = wsa::Invalid;
    return wsa::Invalid;
}

int LastLookupError() {
    return State().lastError;
}

bool LookupResultEntry(const char* buffer, std::size_t bufferLength, std::size_t index, int& family,
                       unsigned char (&address)[16]) {
    if (buffer == nullptr || bufferLength < kCountSize) return false;
    std::uint32_t count;
    std::memcpy(&count, buffer, kCountSize);
    if (index >= count || kCountSize + kEntrySize * (index + 1) > bufferLength) return false;
    std::uint32_t tag;
    std::memcpy(&tag, buffer + kCountSize + kEntrySize * index, 4);
    family = static_cast<int>(tag);
    std::memcpy(address, buffer + kCountSize + kEntrySize * index + 4, 16);
    return family == AF_INET || family == AF_INET6;
}

bool LookupResultAddress(const char* buffer, std::size_t bufferLength, std::size_t index,
                         std::uint32_t& addressNetworkOrder) {
    int family = 0;
    unsigned char address[16];
    if (!LookupResultEntry(buffer, bufferLength, index, family, address) || family != AF_INET)
        return false;
    std::memcpy(&addressNetworkOrder, address, 4);
    return true;
}

// Windows keeps its resolver's servers and timeouts to itself.
bool SetResolverServersForTests(const std::string& servers) {
    return servers.empty();
}

bool SetResolverTimeoutForTests(int timeoutMs, int tries) {
    return timeoutMs == 0 && tries == 0;
}

std::size_t LookupsInFlight() {
    return State().requests.size();
}

}  // namespace plat
