#include "platform/resolver.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <deque>
#include <unordered_map>
#include <vector>

#include "platform/wsa_errors.h"

namespace plat {

namespace {

constexpr std::size_t kCountSize = 4;
constexpr std::size_t kEntrySize = 4 + 16;

int WsaFromAres(int status) {
    switch (status) {
        case ARES_ENOTFOUND:
        case ARES_ENONAME:
            return wsa::HostNotFound;
        case ARES_ETIMEOUT:
        case ARES_ECONNREFUSED:
        case ARES_ESERVFAIL:
            return wsa::TryAgain;
        case ARES_ENODATA:
            return wsa::NoData;
        default:
            return wsa::NoRecovery;
    }
}

// One request c-ares works on. c-ares has no way to abandon a single query,
// so a cancelled request stays here, without its buffer, until c-ares calls
// back; the callback finds it by handle and drops it.
struct Request {
    WindowHandle window = 0;
    unsigned message = 0;
    char* buffer = nullptr;
    std::size_t bufferLength = 0;
    bool cancelled = false;
};

// A completion that was posted but may still wait in the queue.
struct Posted {
    TaskHandle handle;
    WindowHandle window;
    unsigned message;
};

class Resolver : public LoopSource {
public:
    TaskHandle Start(WindowHandle window, unsigned message, const char* name, char* buffer,
                     std::size_t bufferLength);
    int Cancel(TaskHandle handle);
    bool SetServers(const std::string& servers);
    bool SetTimeout(int timeoutMs, int tries);
    std::size_t InFlight() const { return requests_.size(); }
    int lastError = 0;

    void Collect(std::vector<pollfd>& fds, int& timeoutMs) override;
    void Dispatch(const pollfd* fds, std::size_t count) override;

private:
    bool Ready();
    bool Reinit();
    static void Callback(void* arg, int status, int timeouts, ares_addrinfo* result);
    void Complete(TaskHandle handle, int status, const ares_addrinfo* result);

    ares_channel channel_ = nullptr;
    std::string servers_;
    int timeoutMs_ = 0;
    int tries_ = 0;
    TaskHandle next_ = 1;
    std::unordered_map<TaskHandle, Request> requests_;
    std::deque<Posted> posted_;
};

// Lives for the whole process: destroying the channel at exit would call
// back into a message loop that may already be gone.
Resolver& TheResolver() {
    static Resolver* resolver = new Resolver;
    return *resolver;
}

bool Resolver::Ready() {
    if (channel_ != nullptr) return true;
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) return false;
    ares_options options{};
    int mask = 0;
    // The hosts file first, then DNS, as the system resolver does, so that
    // localhost never costs a packet.
    char lookups[] = "fb";
    options.lookups = lookups;
    mask |= ARES_OPT_LOOKUPS;
    if (timeoutMs_ > 0) {
        options.timeout = timeoutMs_;
        options.tries = tries_ > 0 ? tries_ : 1;
        mask |= ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    }
    if (ares_init_options(&channel_, &options, mask) != ARES_SUCCESS) {
        channel_ = nullptr;
        return false;
    }
    if (!servers_.empty() &&
        ares_set_servers_ports_csv(channel_, servers_.c_str()) != ARES_SUCCESS) {
        ares_destroy(channel_);
        channel_ = nullptr;
        return false;
    }
    AddLoopSource(this);
    return true;
}

bool Resolver::Reinit() {
    if (!requests_.empty()) return false;
    if (channel_ != nullptr) {
        RemoveLoopSource(this);
        ares_destroy(channel_);
        channel_ = nullptr;
    }
    return Ready();
}

TaskHandle Resolver::Start(WindowHandle window, unsigned message, const char* name, char* buffer,
                           std::size_t bufferLength) {
    if (name == nullptr || buffer == nullptr || bufferLength < kCountSize) {
        lastError = wsa::Fault;
        return 0;
    }
    if (window == 0) {
        lastError = wsa::Invalid;
        return 0;
    }
    if (!Ready()) {
        lastError = wsa::NoRecovery;
        return 0;
    }
    const TaskHandle handle = next_++;
    if (next_ == 0) next_ = 1;
    requests_[handle] = Request{window, message, buffer, bufferLength, false};
    // c-ares may answer inside this call (a dotted address, the hosts file,
    // a bad name); the completion is posted either way and arrives later.
    // Both families, in the order the resolver prefers them.
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // An address needs no packet. c-ares (1.18) takes a dotted address for
    // a name unless it is asked for IPv4 alone.
    unsigned char literal[16];
    if (inet_pton(AF_INET, name, literal) == 1) {
        hints.ai_family = AF_INET;
        hints.ai_flags |= ARES_AI_NUMERICHOST;
    } else if (inet_pton(AF_INET6, name, literal) == 1) {
        hints.ai_flags |= ARES_AI_NUMERICHOST;
    }
    ares_getaddrinfo(channel_, name, nullptr, &hints, &Resolver::Callback,
                     reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)));
    lastError = 0;
    return handle;
}

void Resolver::Callback(void* arg, int status, int, ares_addrinfo* result) {
    TheResolver().Complete(static_cast<TaskHandle>(reinterpret_cast<std::uintptr_t>(arg)), status,
                           result);
    ares_freeaddrinfo(result);
}

void Resolver::Complete(TaskHandle handle, int status, const ares_addrinfo* result) {
    auto it = requests_.find(handle);
    if (it == requests_.end()) return;
    const Request request = it->second;
    requests_.erase(it);
    if (request.cancelled) return;

    int error = 0;
    std::uint32_t count = 0;
    if (status != ARES_SUCCESS) {
        error = WsaFromAres(status);
    } else {
        const std::size_t room = (request.bufferLength - kCountSize) / kEntrySize;
        for (const ares_addrinfo_node* n = result != nullptr ? result->nodes : nullptr;
             n != nullptr && count < room; n = n->ai_next) {
            char* entry = request.buffer + kCountSize + kEntrySize * count;
            const std::uint32_t family = static_cast<std::uint32_t>(n->ai_family);
            std::memset(entry, 0, kEntrySize);
            if (n->ai_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(n->ai_addr);
                std::memcpy(entry + 4, &in->sin_addr, 4);
            } else if (n->ai_family == AF_INET6) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(n->ai_addr);
                std::memcpy(entry + 4, &in6->sin6_addr, 16);
            } else {
                continue;
            }
            std::memcpy(entry, &family, 4);
            ++count;
        }
        if (count == 0) error = wsa::NoData;  // an answer without an address is no answer
    }
    std::size_t length = 0;
    if (error == 0) {
        std::memcpy(request.buffer, &count, kCountSize);
        length = kCountSize + kEntrySize * static_cast<std::size_t>(count);
    }
    const LParam lParam = static_cast<LParam>((static_cast<std::uint32_t>(error) << 16) |
                                              static_cast<std::uint32_t>(length & 0xFFFF));
    if (PostMessage(request.window, request.message, handle, lParam)) {
        posted_.push_back(Posted{handle, request.window, request.message});
        // Only a recent completion can still be waiting in the queue.
        if (posted_.size() > 256) posted_.pop_front();
    }
}

int Resolver::Cancel(TaskHandle handle) {
    auto it = requests_.find(handle);
    if (it != requests_.end() && !it->second.cancelled) {
        it->second.cancelled = true;
        it->second.buffer = nullptr;
        lastError = 0;
        return 0;
    }
    // Finished already: take its completion back if it still waits.
    for (auto p = posted_.begin(); p != posted_.end(); ++p) {
        if (p->handle != handle) continue;
        const std::size_t before = QueuedMessageCount();
        RemoveQueuedMessages(p->window, p->message, handle);
        const bool removed = QueuedMessageCount() < before;
        posted_.erase(p);
        if (removed) {
            lastError = 0;
            return 0;
        }
        break;
    }
    lastError = wsa::Invalid;
    return wsa::Invalid;
}

bool Resolver::SetServers(const std::string& servers) {
    if (!requests_.empty()) return false;
    servers_ = servers;
    if (channel_ != nullptr && !servers.empty())
        return ares_set_servers_ports_csv(channel_, servers.c_str()) == ARES_SUCCESS;
    return Reinit();
}

bool Resolver::SetTimeout(int timeoutMs, int tries) {
    if (!requests_.empty()) return false;
    timeoutMs_ = timeoutMs > 0 ? timeoutMs : 0;
    tries_ = tries > 0 ? tries : 0;
    return Reinit();
}

void Resolver::Collect(std::vector<pollfd>& fds, int& timeoutMs) {
    if (requests_.empty()) return;
    ares_socket_t socks[ARES_GETSOCK_MAXNUM];
    const int bits = ares_getsock(channel_, socks, ARES_GETSOCK_MAXNUM);
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        short events = 0;
        if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
        if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
        if (events != 0) fds.push_back(pollfd{socks[i], events, 0});
    }
    timeval tv;
    if (ares_timeout(channel_, nullptr, &tv) != nullptr) {
        // c-ares reports whole milliseconds left, cut down: it says 0 while
        // up to a millisecond remains, and processing then finds nothing due.
        // Waiting at least 1 ms keeps the loop from spinning through it.
        const long ms = tv.tv_sec * 1000L + (tv.tv_usec + 999) / 1000;
        const int wait = ms < 1 ? 1 : ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
        if (timeoutMs < 0 || wait < timeoutMs) timeoutMs = wait;
    }
}

void Resolver::Dispatch(const pollfd* fds, std::size_t count) {
    if (requests_.empty()) return;
    for (std::size_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        const bool readable = (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool writable = (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
        ares_process_fd(channel_, readable ? fds[i].fd : ARES_SOCKET_BAD,
                        writable ? fds[i].fd : ARES_SOCKET_BAD);
    }
    // Timeouts.
    ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

}  // namespace

TaskHandle AsyncGetHostByName(WindowHandle window, unsigned message, const char* name, char* buffer,
                              std::size_t bufferLength) {
    return TheResolver().Start(window, message, name, buffer, bufferLength);
}

int CancelAsyncRequest(TaskHandle handle) {
    return TheResolver().Cancel(handle);
}

int LastLookupError() {
    return TheResolver().lastError;
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

bool SetResolverServersForTests(const std::string& servers) {
    return TheResolver().SetServers(servers);
}

bool SetResolverTimeoutForTests(int timeoutMs, int tries) {
    return TheResolver().SetTimeout(timeoutMs, tries);
}

std::size_t LookupsInFlight() {
    return TheResolver().InFlight();
}

}  // namespace plat
