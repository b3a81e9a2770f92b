#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/wsa_errors.h"
#include "recording_window.h"

using namespace plat;
using qivtest::Recorder;

namespace {

constexpr unsigned kSocketMsg = 1030;

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A plain blocking server socket on 127.0.0.1, ephemeral port.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd, 8), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int Accept() {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// A port with nobody listening: bound, never listened on, so nothing else
// can take it while the test runs.
struct ClosedPort {
    int fd = -1;
    std::uint16_t port = 0;
    ClosedPort() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~ClosedPort() { ::close(fd); }
};

void WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << errno;
        done += static_cast<std::size_t>(n);
    }
}

void ResetClose(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

// The client side under test: a socket whose events reach a window that
// logs them and, unless told otherwise, reads on every EvRead.
struct Client {
    SocketHandle s = kInvalidSocket;
    WindowHandle w = 0;
    std::vector<std::pair<unsigned, int>> events;  // (event, error) in arrival order
    std::string received;
    std::size_t room = 4096;
    bool autoRead = true;
    int lastRecv = 0;

    Client() {
        w = qivtest::NewWindow([this](const Message& m) -> LResult {
            if (m.message != kSocketMsg) return 0;
            EXPECT_EQ(m.wParam, static_cast<WParam>(s)) << "notification for another socket";
            events.emplace_back(SelectEvent(m.lParam), SelectError(m.lParam));
            if (SelectEvent(m.lParam) == EvRead && autoRead) Read();
            return 0;
        });
        EXPECT_EQ(SocketCreate(s), 0);
    }
    ~Client() {
        if (s != kInvalidSocket) SocketClose(s);
    }
    void Read() {
        std::string buf(room, '\0');
        std::size_t got = 0;
        lastRecv = SocketRecv(s, buf.data(), buf.size(), got);
        received.append(buf.data(), got);
    }
    std::size_t Count(unsigned event) const {
        std::size_t n = 0;
        for (const auto& e : events) n += e.first == event;
        return n;
    }
    int ErrorOf(unsigned event) const {
        for (const auto& e : events)
            if (e.first == event) return e.second;
        return -1;
    }
    // Connects with the full mask and waits for EvConnect.
    void ConnectTo(std::uint16_t port) {
        ASSERT_EQ(AsyncSelect(s, w, kSocketMsg, EvConnect | EvRead | EvWrite | EvClose), 0);
        const int rc = SocketConnect(s, Loopback(port));
        ASSERT_TRUE(rc == 0 || rc == wsa::WouldBlock) << rc;
        ASSERT_TRUE(PumpUntil([&] { return Count(EvConnect) == 1; }));
        ASSERT_EQ(ErrorOf(EvConnect), 0);
    }
};

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { qivtest::ResetLoop(); }
    void TearDown() override { qivtest::ResetLoop(); }
};

TEST_F(SocketTest, ConnectToClosedPortIsRefused) {
    ClosedPort closed;
    Client c;
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvConnect), 0);
    const int rc = SocketConnect(c.s, Loopback(closed.port));
    EXPECT_EQ(rc, wsa::WouldBlock);
    EXPECT_EQ(LastSocketError(), rc);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvConnect) == 1; }));
    EXPECT_EQ(c.ErrorOf(EvConnect), wsa::ConnectionRefused);
    // A failed connect says nothing more.
    EXPECT_FALSE(PumpUntil([&] { return c.events.size() > 1; }, 50));
}

TEST_F(SocketTest, ConnectThenWriteThenSelectedAgain) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvWrite) == 1; }));
    EXPECT_EQ(c.events.front().first, EvConnect);
    EXPECT_EQ(c.events[1].first, EvWrite);
    // Once only: a connected socket with room does not keep saying so.
    EXPECT_FALSE(PumpUntil([&] { return c.Count(EvWrite) > 1; }, 50));
    // Selecting a mask with EvWrite on a connected socket says it again.
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvRead | EvWrite | EvClose), 0);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvWrite) == 2; }));
    EXPECT_EQ(c.Count(EvRead) + c.Count(EvClose), 0u);
}

// The usual pattern of the network layer: only EvConnect while connecting,
// the full mask chosen inside the connect handler.
TEST_F(SocketTest, ReselectInsideConnectHandlerGivesWrite) {
    Listener server;
    Client c;
    Recorder::Get().handlers[c.w] = [&](const Message& m) -> LResult {
        c.events.emplace_back(SelectEvent(m.lParam), SelectError(m.lParam));
        if (SelectEvent(m.lParam) == EvConnect)
            AsyncSelect(c.s, c.w, kSocketMsg, EvRead | EvWrite | EvClose);
        return 0;
    };
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvConnect), 0);
    SocketConnect(c.s, Loopback(server.port));
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvWrite) == 1; }));
    ASSERT_EQ(c.events.size(), 2u);
    EXPECT_EQ(c.events[0], std::make_pair(EvConnect, 0));
    EXPECT_EQ(c.events[1], std::make_pair(EvWrite, 0));
}

TEST_F(SocketTest, OneReadOutstandingUntilReceive) {
    Listener server;
    Client c;
    c.autoRead = false;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    WriteAll(peer, "first");
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvRead) == 1; }));
    WriteAll(peer, "second");
    EXPECT_FALSE(PumpUntil([&] { return c.Count(EvRead) > 1; }, 100));

    // A partial receive re-arms: the rest is announced again.
    c.room = 3;
    c.Read();
    EXPECT_EQ(c.lastRecv, 0);
    EXPECT_EQ(c.received, "fir");
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvRead) == 2; }));
    c.room = 100;
    c.Read();
    EXPECT_EQ(c.received, "firstsecond");
    EXPECT_EQ(c.Count(EvClose), 0u);

    // Nothing waiting: would block, and the next data is announced once.
    c.Read();
    EXPECT_EQ(c.lastRecv, wsa::WouldBlock);
    const std::size_t reads = c.Count(EvRead);
    WriteAll(peer, "third");
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvRead) == reads + 1; }));
    ::close(peer);
}

TEST_F(SocketTest, AllDataIsOfferedBeforeTheClose) {
    Listener server;
    Client c;
    c.room = 1000;  // many small receives, as a session with a full buffer makes
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    std::string body;
    for (int i = 0; body.size() < 200000; ++i) body += "line " + std::to_string(i) + "\r\n";
    WriteAll(peer, body);
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.received.size(), body.size());
    EXPECT_TRUE(c.received == body);
    EXPECT_EQ(c.ErrorOf(EvClose), 0);
    EXPECT_EQ(c.events.back().first, EvClose);
    EXPECT_FALSE(
        PumpUntil([&] { return c.Count(EvClose) > 1 || c.events.back().first != EvClose; }, 100));
    // The end of the stream reads as 0 bytes with no error.
    c.Read();
    EXPECT_EQ(c.lastRecv, 0);
}

// A short reply and the end of the stream seen in the same look: the data
// is offered first, then the close, and nothing after it.
TEST_F(SocketTest, ReplyAndCloseArrivingTogether) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    WriteAll(peer, "205 bye\r\n");
    ::close(peer);
    pollfd p{SocketDescriptor(c.s), POLLRDHUP, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.received, "205 bye\r\n");
    EXPECT_EQ(c.ErrorOf(EvClose), 0);
    EXPECT_EQ(c.Count(EvRead), 1u);
    EXPECT_FALSE(PumpUntil([&] { return c.events.back().first != EvClose; }, 100));
}

// A reset must end in exactly one EvClose carrying the error; no EvRead may
// follow, or a session would warn about a broken link over and over.
TEST_F(SocketTest, ResetGivesOneCloseWithTheError) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    WriteAll(peer, "partial reply");
    ResetClose(peer);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.ErrorOf(EvClose), wsa::ConnectionReset);
    EXPECT_FALSE(PumpUntil([&] { return c.events.back().first != EvClose; }, 100));
    EXPECT_EQ(c.Count(EvClose), 1u);
    // Whatever came before the reset came whole and in front.
    EXPECT_EQ(std::string("partial reply").rfind(c.received, 0), 0u);
}

TEST_F(SocketTest, PeerClosingWithOurDataUnreadResets) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    std::size_t sent = 0;
    ASSERT_EQ(SocketSend(c.s, "QUIT\r\n", 6, sent), 0);
    EXPECT_EQ(sent, 6u);
    // Wait (bounded) until our bytes are in the peer's buffer, then close it unread.
    pollfd p{peer, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.ErrorOf(EvClose), wsa::ConnectionReset);
    EXPECT_EQ(c.Count(EvRead), 0u);
    EXPECT_FALSE(PumpUntil([&] { return c.events.size() > 3; }, 100));  // connect, write, close
}

// The reset arrives while an EvRead waits in the queue: the reader gets the
// data or the error, then one EvClose, never a second warning-worthy EvRead.
TEST_F(SocketTest, ResetWhileReadIsQueued) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    WriteAll(peer, "x");
    // Collect without dispatching until the EvRead is queued.
    const std::uint64_t deadline = NowMs() + 10000;
    while (QueuedMessageCount() == 0 && NowMs() < deadline) PollSources(50);
    ASSERT_EQ(QueuedMessageCount(), 1u);
    ResetClose(peer);
    pollfd p{SocketDescriptor(c.s), POLLERR, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.ErrorOf(EvClose), wsa::ConnectionReset);
    EXPECT_EQ(c.Count(EvRead), 1u);
    EXPECT_FALSE(PumpUntil([&] { return c.events.back().first != EvClose; }, 100));
}

TEST_F(SocketTest, ReceiveErrorClosesOnce) {
    Listener server;
    Client c;
    c.autoRead = false;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    // Reset with nothing to read: the receive itself meets the error.
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvWrite), 0);  // stop watching input
    ResetClose(peer);
    pollfd p{SocketDescriptor(c.s), POLLERR, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvRead | EvClose), 0);
    c.Read();
    EXPECT_EQ(c.lastRecv, wsa::ConnectionReset);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.ErrorOf(EvClose), wsa::ConnectionReset);
    c.Read();  // a second failing receive raises nothing more
    EXPECT_FALSE(PumpUntil([&] { return c.Count(EvClose) > 1 || c.Count(EvRead) > 0; }, 100));
}

TEST_F(SocketTest, FullSocketWouldBlockThenWriteWhenRoomFrees) {
    Listener server;
    Client c;
    const int small = 4096;
    ::setsockopt(SocketDescriptor(c.s), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvWrite) == 1; }));

    const std::string chunk(65536, 'a');
    std::size_t total = 0;
    std::size_t sent = 0;
    int rc = 0;
    for (int i = 0; i < 200 && rc == 0; ++i) {
        rc = SocketSend(c.s, chunk.data(), chunk.size(), sent);
        total += sent;
    }
    ASSERT_EQ(rc, wsa::WouldBlock);
    EXPECT_LT(sent, chunk.size());
    EXPECT_FALSE(PumpUntil([&] { return c.Count(EvWrite) > 1; }, 100));

    // The peer reads; room frees and EvWrite comes once.
    std::size_t drained = 0;
    char buf[65536];
    ASSERT_TRUE(PumpUntil(
        [&] {
            const ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) drained += static_cast<std::size_t>(n);
            return c.Count(EvWrite) == 2;
        },
        10000));
    EXPECT_GT(drained, 0u);
    EXPECT_LE(drained, total);
    ::close(peer);
}

TEST_F(SocketTest, CloseDropsQueuedNotifications) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    WriteAll(peer, "stale");
    const std::uint64_t deadline = NowMs() + 10000;
    while (QueuedMessageCount() == 0 && NowMs() < deadline) PollSources(50);
    ASSERT_EQ(QueuedMessageCount(), 1u);
    const int oldFd = SocketDescriptor(c.s);
    EXPECT_EQ(SocketClose(c.s), 0);
    EXPECT_EQ(QueuedMessageCount(), 0u);
    EXPECT_EQ(SocketClose(c.s), wsa::NotSocket);

    // Linux hands the same descriptor to the next socket at once.
    SocketHandle fresh;
    ASSERT_EQ(SocketCreate(fresh), 0);
    EXPECT_EQ(SocketDescriptor(fresh), oldFd);
    c.s = fresh;
    ASSERT_EQ(AsyncSelect(fresh, c.w, kSocketMsg, EvRead | EvClose), 0);
    const std::size_t before = c.events.size();
    EXPECT_FALSE(PumpUntil([&] { return c.events.size() > before; }, 100));
    EXPECT_EQ(c.Count(EvRead), 0u);
    ::close(peer);
}

TEST_F(SocketTest, SendToClosedPeerRaisesNoSignal) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ::close(peer);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    // Default disposition: a SIGPIPE would end this test program.
    struct sigaction dfl {
    }, old{};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, &old);
    int rc = 0;
    std::size_t sent = 0;
    // The first send may still go out; the peer's reset then breaks the next.
    PumpUntil([&] { return (rc = SocketSend(c.s, "POST\r\n", 6, sent)) != 0; });
    ::sigaction(SIGPIPE, &old, nullptr);
    EXPECT_TRUE(rc == wsa::ConnectionAborted || rc == wsa::ConnectionReset) << rc;
}

TEST_F(SocketTest, PeekCollectsReadinessWithoutWaiting) {
    Listener server;
    Client c;
    c.autoRead = false;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvWrite) == 1; }));
    WriteAll(peer, "ready");
    pollfd p{SocketDescriptor(c.s), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    // One peek finds it: no pump, no wait.
    Message m;
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.window, c.w);
    EXPECT_EQ(m.message, kSocketMsg);
    EXPECT_EQ(m.wParam, static_cast<WParam>(c.s));
    EXPECT_EQ(m.lParam, MakeSelectLParam(EvRead, 0));
    ::close(peer);
}

// What happened while a kind of event was not selected is told once it is.
TEST_F(SocketTest, EventsWaitForTheirMask) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvWrite) == 1; }));
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, 0), 0);
    WriteAll(peer, "held");
    ::close(peer);
    pollfd p{SocketDescriptor(c.s), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_FALSE(PumpUntil([&] { return c.events.size() > 2; }, 50));

    // Close alone cannot be told while data waits unread.
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvClose), 0);
    EXPECT_FALSE(PumpUntil([&] { return c.events.size() > 2; }, 50));
    ASSERT_EQ(AsyncSelect(c.s, c.w, kSocketMsg, EvRead | EvClose), 0);
    ASSERT_TRUE(PumpUntil([&] { return c.Count(EvClose) == 1; }));
    EXPECT_EQ(c.received, "held");
    ASSERT_EQ(c.events.size(), 4u);
    EXPECT_EQ(c.events[2].first, EvRead);
}

TEST_F(SocketTest, CallsOnUnknownSocketsFail) {
    const SocketHandle bogus = 0x7FFF0;
    std::size_t n = 0;
    char buf[4];
    EXPECT_EQ(SocketSend(bogus, "x", 1, n), wsa::NotSocket);
    EXPECT_EQ(SocketRecv(bogus, buf, sizeof buf, n), wsa::NotSocket);
    EXPECT_EQ(AsyncSelect(bogus, 1, kSocketMsg, EvRead), wsa::NotSocket);
    EXPECT_EQ(LastSocketError(), wsa::NotSocket);
    EXPECT_EQ(SocketDescriptor(bogus), -1);
    EXPECT_EQ(SocketDescriptor(kInvalidSocket), -1);
}

TEST_F(SocketTest, SocketsHaveNoDelay) {
    SocketHandle s;
    ASSERT_EQ(SocketCreate(s), 0);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(::getsockopt(SocketDescriptor(s), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
    SocketClose(s);
}

// Linux leaves quick-ack mode by itself once an exchange looks interactive;
// then a server that keeps Nagle on holds its second write (the article
// after the status line) until our delayed ACK, 40 ms per reply. Each
// receive puts the socket back into quick-ack mode.
TEST_F(SocketTest, EveryReceiveLeavesTheSocketInQuickAckMode) {
    Listener server;
    Client c;
    c.ConnectTo(server.port);
    const int peer = server.Accept();
    ASSERT_GE(peer, 0);
    const int fd = SocketDescriptor(c.s);
    for (int i = 0; i < 20; ++i) {
        std::size_t sent = 0;
        ASSERT_EQ(SocketSend(c.s, "NEXT\r\n", 6, sent), 0);
        char command[16];
        ASSERT_EQ(::recv(peer, command, sizeof command, 0), 6);
        const std::size_t before = c.received.size();
        WriteAll(peer, "223 1 <1@test> article\r\n");
        ASSERT_TRUE(PumpUntil([&] { return c.received.size() > before; }));
        int quick = 0;
        socklen_t len = sizeof quick;
        ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &quick, &len), 0);
        EXPECT_EQ(quick, 1) << "exchange " << i;
    }
    ::close(peer);
}

TEST(WsaErrorsTest, MapsTheErrorsCallersCompareAgainst) {
    const std::pair<int, int> cases[] = {
        {EWOULDBLOCK, 10035}, {EAGAIN, 10035},       {EINPROGRESS, 10035}, {ENETUNREACH, 10051},
        {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061}, {ECONNRESET, 10054},  {EHOSTUNREACH, 10065},
        {EINVAL, 10022},      {EALREADY, 10037},     {EPIPE, 10053},       {ECONNABORTED, 10053},
        {EBADF, 10038},       {ENOTSOCK, 10038},     {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049},
        {ENOBUFS, 10055},     {EISCONN, 10056},      {ENOTCONN, 10057},    {EMFILE, 10024},
        {ENETDOWN, 10050},    {EHOSTDOWN, 10064},    {EACCES, 10013},      {EFAULT, 10014},
        {EINTR, 10004},       {EDOM, 10022},
    };
    for (const auto& [err, expected] : cases) EXPECT_EQ(WsaFromErrno(err), expected) << err;
}

}  // namespace
