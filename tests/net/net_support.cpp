#include "net_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "net/event_window.h"
#include "platform/resolver.h"

namespace nettest {

void EnsureNetworkLayer() {
    if (net::GetEventWindow() == 0 || !plat::IsWindow(net::GetEventWindow()))
        net::InitNetworkLayer(false);
}

WarningRecorder::WarningRecorder()
    : previous_(net::SetWarningSink([this](const char* text) { texts.emplace_back(text); })) {}

WarningRecorder::~WarningRecorder() {
    net::SetWarningSink(std::move(previous_));
}

namespace {

int BoundSocket6(int type, const char* address, std::uint16_t port, std::uint16_t& boundPort) {
    const int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address, &a.sin6_addr);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    boundPort = ntohs(a.sin6_port);
    return fd;
}

int BoundSocket(int type, const char* address, std::uint16_t port, std::uint16_t& boundPort) {
    if (std::strchr(address, ':') != nullptr) return BoundSocket6(type, address, port, boundPort);
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    boundPort = ntohs(a.sin_port);
    return fd;
}

}  // namespace

Listener::Listener(const char* address, std::uint16_t port) {
    fd_ = BoundSocket(SOCK_STREAM, address, port, port_);
    if (fd_ >= 0 && ::listen(fd_, 16) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (fd_ >= 0) SetNonBlocking(fd_);
}

Listener::~Listener() {
    if (fd_ >= 0) ::close(fd_);
}

int Listener::Accept() {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd;
}

RefusingPort::RefusingPort() {
    fd_ = BoundSocket(SOCK_STREAM, "127.0.0.1", 0, port_);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
}

void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool ReadAvailable(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            // Acknowledge at once, or a sender with a small buffer waits for
            // the delayed acknowledgement every time it fills.
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            continue;
        }
        if (n == 0) return false;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
}

net::CInetAddress Loopback(std::uint16_t port, std::uint32_t hostAddress) {
    net::CInetAddress a;
    a.Set(port, hostAddress);
    return a;
}

StubDns::StubDns() {
    fd_ = BoundSocket(SOCK_DGRAM, "127.0.0.1", 0, port_);
    if (fd_ < 0) return;
    SetNonBlocking(fd_);
    plat::AddLoopSource(this);
}

StubDns::~StubDns() {
    if (fd_ < 0) return;
    plat::RemoveLoopSource(this);
    ::close(fd_);
}

std::string StubDns::server() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void StubDns::Answer(const std::string& name, std::vector<std::uint32_t> hostAddresses) {
    answers_[name] = std::move(hostAddresses);
}

void StubDns::Answer6(const std::string& name, std::vector<std::string> addresses) {
    answers6_[name] = std::move(addresses);
    answers_.emplace(name, std::vector<std::uint32_t>{});
}

void StubDns::Silent(const std::string& name) {
    silent_[name] = true;
}

void StubDns::Collect(std::vector<pollfd>& fds, int&) {
    fds.push_back(pollfd{fd_, POLLIN, 0});
}

void StubDns::Dispatch(const pollfd* fds, std::size_t count) {
    if (count == 0 || (fds[0].revents & POLLIN) == 0) return;
    unsigned char query[512];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, query, sizeof query, MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0) return;
        ++queries;
        Reply(query, static_cast<std::size_t>(n), from);
    }
}

void StubDns::Reply(const unsigned char* query, std::size_t length, const sockaddr_in& from) {
    if (length < 12) return;
    // The question: labels up to the root, then type and class.
    std::size_t at = 12;
    std::string name;
    while (at < length && query[at] != 0) {
        const std::size_t label = query[at++];
        if (at + label > length) return;
        if (!name.empty()) name += '.';
        for (std::size_t i = 0; i < label; ++i) {
            name += static_cast<char>(std::tolower(query[at + i]));
        }
        at += label;
    }
    if (at + 5 > length) return;
    const std::size_t questionEnd = at + 5;
    const unsigned qtype = (query[at + 1] << 8) | query[at + 2];
    if (silent_.count(name) != 0) return;

    std::vector<unsigned char> reply(query, query + questionEnd);
    const auto found = answers_.find(name);
    std::vector<std::uint32_t> addresses;
    unsigned rcode = 3;  // NXDOMAIN
    if (found != answers_.end()) {
        rcode = 0;
        if (qtype == 1) addresses = found->second;
    }
    reply[2] = 0x81;  // response, recursion desired
    reply[3] = static_cast<unsigned char>(0x80 | rcode);
    std::vector<std::string> addresses6;
    if (qtype == 28 && answers6_.count(name) != 0) addresses6 = answers6_[name];
    reply[6] = 0;
    reply[7] = static_cast<unsigned char>(addresses.size() + addresses6.size());
    reply[8] = reply[9] = reply[10] = reply[11] = 0;
    for (std::uint32_t a : addresses) {
        const unsigned char record[] = {0xC0,
                                        0x0C,
                                        0,
                                        1,
                                        0,
                                        1,
                                        0,
                                        0,
                                        0,
                                        60,
                                        0,
                                        4,
                                        static_cast<unsigned char>(a >> 24),
                                        static_cast<unsigned char>(a >> 16),
                                        static_cast<unsigned char>(a >> 8),
                                        static_cast<unsigned char>(a)};
        reply.insert(reply.end(), record, record + sizeof record);
    }
    for (const std::string& text : addresses6) {
        const unsigned char head[] = {0xC0, 0x0C, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16};
        unsigned char bytes[16] = {};
        ::inet_pton(AF_INET6, text.c_str(), bytes);
        reply.insert(reply.end(), head, head + sizeof head);
        reply.insert(reply.end(), bytes, bytes + sizeof bytes);
    }
    ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from),
             sizeof from);
}

ResolverRedirect::ResolverRedirect(const StubDns& dns) {
    // A cancelled lookup keeps the resolver busy until its query ends, and
    // the resolver cannot be re-pointed meanwhile: silence ends quickly here.
    ok = plat::SetResolverTimeoutForTests(300, 1) && plat::SetResolverServersForTests(dns.server());
}

ResolverRedirect::~ResolverRedirect() {
    plat::PumpUntil([] { return plat::LookupsInFlight() == 0; }, 10000);
    plat::SetResolverServersForTests("");
    plat::SetResolverTimeoutForTests(0, 0);
}

int RecordingStreamClient::Count(net::StreamEvent kind) const {
    int n = 0;
    for (const auto& e : events) n += e.kind == kind ? 1 : 0;
    return n;
}

}  // namespace nettest

namespace nettest {

bool failNothrowAllocations = false;

void Settle() {
    PollCounter counter;
    int quietFrom = -1;
    plat::PumpUntil(
        [&] {
            if (plat::QueuedMessageCount() != 0) {
                quietFrom = -1;
                return false;
            }
            if (quietFrom < 0) quietFrom = counter.polls;
            return counter.polls >= quietFrom + 2;
        },
        5000);
}

}  // namespace nettest

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (nettest::failNothrowAllocations) return nullptr;
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (nettest::failNothrowAllocations) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}
