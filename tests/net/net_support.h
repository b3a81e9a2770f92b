// Helpers shared by the network layer's tests: recorded warnings, loopback
// listeners and peers, a stub DNS server that answers from the loop, and
// recording clients.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "net/conn_mgr.h"
#include "net/stream_socket.h"
#include "net/warning.h"
#include "platform/message_loop.h"

namespace nettest {

// Makes sure the sockets layer is up and the event window exists.
void EnsureNetworkLayer();

// Records every warning while it lives.
class WarningRecorder {
public:
    WarningRecorder();
    ~WarningRecorder();
    std::vector<std::string> texts;

private:
    net::WarningSink previous_;
};

// A listening TCP socket on a loopback address (IPv4, or IPv6 when it holds
// a colon); port 0 picks a free port.
class Listener {
public:
    explicit Listener(const char* address = "127.0.0.1", std::uint16_t port = 0);
    ~Listener();
    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    // A connection waiting in the backlog, or -1 (non-blocking).
    int Accept();

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A bound socket that does not listen: connecting to its port is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    std::uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Reads what is waiting on a non-blocking descriptor; returns false at end of
// stream or on error, true otherwise.
bool ReadAvailable(int fd, std::string& into);
void SetNonBlocking(int fd);

net::CInetAddress Loopback(std::uint16_t port, std::uint32_t hostAddress = 0x7F000001);

// A UDP DNS server on 127.0.0.1 that answers A queries from a table while the
// loop runs. Unknown names get NXDOMAIN; silent names get no answer.
class StubDns : public plat::LoopSource {
public:
    StubDns();
    ~StubDns() override;
    bool ok() const { return fd_ >= 0; }
    // "127.0.0.1:<port>", for plat::SetResolverServersForTests.
    std::string server() const;
    void Answer(const std::string& name, std::vector<std::uint32_t> hostAddresses);
    // AAAA answers (IPv6 addresses in text form) for a name.
    void Answer6(const std::string& name, std::vector<std::string> addresses);
    void Silent(const std::string& name);
    int queries = 0;

    void Collect(std::vector<pollfd>& fds, int& timeoutMs) override;
    void Dispatch(const pollfd* fds, std::size_t count) override;

private:
    void Reply(const unsigned char* query, std::size_t length, const sockaddr_in& from);
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::map<std::string, std::vector<std::uint32_t>> answers_;
    std::map<std::string, std::vector<std::string>> answers6_;
    std::map<std::string, bool> silent_;
};

// Points the resolver at a stub for the lifetime of the object.
class ResolverRedirect {
public:
    explicit ResolverRedirect(const StubDns& dns);
    ~ResolverRedirect();
    bool ok = false;
};

struct StreamRecord {
    std::uint32_t cookie;
    net::StreamEvent kind;
    int error;
    const void* data;
};

class RecordingStreamClient : public net::CStreamClient {
public:
    void StreamCallback(std::uint32_t cookie, net::StreamEvent kind, int error,
                        const void* data) override {
        events.push_back({cookie, kind, error, data});
    }
    int Count(net::StreamEvent kind) const;
    std::vector<StreamRecord> events;
};

}  // namespace nettest

namespace nettest {

// Counts the loop's polls, so that a test can let the loop run until
// everything that was ready has been posted and dispatched.
class PollCounter : public plat::LoopSource {
public:
    PollCounter() { plat::AddLoopSource(this); }
    ~PollCounter() override { plat::RemoveLoopSource(this); }
    void Collect(std::vector<pollfd>&, int&) override {}
    void Dispatch(const pollfd*, std::size_t) override { ++polls; }
    int polls = 0;
};

// Runs the loop until two polls have passed with nothing left to dispatch.
void Settle();

// While set, every nothrow allocation fails (the replaceable nothrow
// operator new of the test program honours it).
extern bool failNothrowAllocations;

}  // namespace nettest

namespace nettest {

// The far end of a connection, read from the loop as data arrives so that a
// waiting loop wakes for it.
class PeerReader : public plat::LoopSource {
public:
    explicit PeerReader(int fd) : fd_(fd) { plat::AddLoopSource(this); }
    ~PeerReader() override { plat::RemoveLoopSource(this); }
    void Collect(std::vector<pollfd>& fds, int&) override {
        if (open) fds.push_back(pollfd{fd_, POLLIN, 0});
    }
    void Dispatch(const pollfd* fds, std::size_t count) override {
        if (count != 0 && fds[0].revents != 0) open = ReadAvailable(fd_, received);
    }
    std::string received;
    bool open = true;

private:
    int fd_;
};

}  // namespace nettest
