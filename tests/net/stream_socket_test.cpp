// The stream socket over real loopback connections.
#include "net/stream_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/event_window.h"
#include "net_support.h"
#include "platform/socket.h"
#include "platform/wsa_errors.h"

namespace {

using nettest::Listener;
using nettest::Loopback;
using nettest::ReadAvailable;
using nettest::RecordingStreamClient;

// Reads everything on Readable, as the session does.
class ReadingClient : public RecordingStreamClient {
public:
    explicit ReadingClient(net::CStreamSocket& s) : socket(s) {}
    void StreamCallback(std::uint32_t cookie, net::StreamEvent kind, int error,
                        const void* data) override {
        RecordingStreamClient::StreamCallback(cookie, kind, error, data);
        if (kind != net::StreamEvent::Readable) return;
        for (;;) {
            char buffer[2048];
            int length = sizeof buffer;
            const int rc = socket.Receive(buffer, length);
            if (rc != 0 || length == 0) break;
            received.append(buffer, static_cast<std::size_t>(length));
        }
    }
    net::CStreamSocket& socket;
    std::string received;
};

class StreamSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::EnsureNetworkLayer();
        ASSERT_TRUE(listener.ok());
    }
    void TearDown() override {
        if (peer >= 0) ::close(peer);
    }

    // Connects socket to the listener and accepts the peer end.
    void ConnectPair(net::CStreamSocket& socket, RecordingStreamClient& client,
                     std::uint32_t cookie) {
        socket.client = &client;
        socket.clientCookie = cookie;
        const int rc = socket.Connect(Loopback(listener.port()));
        ASSERT_TRUE(rc == 0 || rc == plat::wsa::WouldBlock) << rc;
        ASSERT_TRUE(plat::PumpUntil(
            [&] {
                if (peer < 0) peer = listener.Accept();
                return client.Count(net::StreamEvent::ConnectDone) == 1 && peer >= 0;
            },
            10000));
        ASSERT_EQ(client.events[0].error, 0);
        ASSERT_EQ(client.events[0].cookie, cookie);
        ASSERT_EQ(socket.State(), net::SocketState::Connected);
    }

    static std::string Pattern(std::size_t size, int seed) {
        std::string s(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            s[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed) * 13) % 251);
        }
        return s;
    }

    Listener listener;
    int peer = -1;
};

TEST_F(StreamSocketTest, QueuedSendsResumeInOrderWithTheirOwnBuffers) {
    net::CStreamSocket socket;
    RecordingStreamClient client;
    ConnectPair(socket, client, 0x5eed);
    const int small = 4096;
    ::setsockopt(plat::SocketDescriptor(socket.Handle()), SOL_SOCKET, SO_SNDBUF, &small,
                 sizeof small);

    const std::string first = Pattern(8 << 20, 1), second = Pattern(100000, 2),
                      third = Pattern(2 << 20, 3);
    // The peer does not read yet: the first buffer cannot go whole.
    ASSERT_EQ(socket.Send(first.data(), static_cast<int>(first.size())), plat::wsa::WouldBlock);
    EXPECT_TRUE(socket.SendQueued());
    // Behind a queue nothing is tried, only queued.
    ASSERT_EQ(socket.Send(second.data(), static_cast<int>(second.size())), plat::wsa::WouldBlock);
    ASSERT_EQ(socket.Send(third.data(), static_cast<int>(third.size())), plat::wsa::WouldBlock);
    EXPECT_EQ(client.Count(net::StreamEvent::SendDone), 0);

    nettest::PeerReader reader(peer);
    const std::size_t total = first.size() + second.size() + third.size();
    ASSERT_TRUE(plat::PumpUntil(
        [&] {
            return reader.received.size() >= total && client.Count(net::StreamEvent::SendDone) == 3;
        },
        60000))
        << reader.received.size() << " of " << total;
    EXPECT_TRUE(reader.received == first + second + third);
    std::vector<const void*> done;
    for (const auto& e : client.events) {
        if (e.kind != net::StreamEvent::SendDone) continue;
        EXPECT_EQ(e.error, 0);
        EXPECT_EQ(e.cookie, 0x5eedu);
        done.push_back(e.data);
    }
    EXPECT_EQ(done, (std::vector<const void*>{first.data(), second.data(), third.data()}));
    EXPECT_FALSE(socket.SendQueued());
}

TEST_F(StreamSocketTest, BrokenConnectionGivesUpEveryQueuedBufferInTurn) {
    net::CStreamSocket socket;
    RecordingStreamClient client;
    ConnectPair(socket, client, 2);
    const int small = 4096;
    ::setsockopt(plat::SocketDescriptor(socket.Handle()), SOL_SOCKET, SO_SNDBUF, &small,
                 sizeof small);
    const std::string first = Pattern(8 << 20, 7), second = Pattern(1000, 8);
    ASSERT_EQ(socket.Send(first.data(), static_cast<int>(first.size())), plat::wsa::WouldBlock);
    ASSERT_EQ(socket.Send(second.data(), static_cast<int>(second.size())), plat::wsa::WouldBlock);
    // The peer resets the connection with data unread.
    const linger reset{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(peer);
    peer = -1;
    ASSERT_TRUE(
        plat::PumpUntil([&] { return client.Count(net::StreamEvent::SendDone) == 2; }, 10000));
    std::vector<const void*> done;
    for (const auto& e : client.events) {
        if (e.kind != net::StreamEvent::SendDone) continue;
        EXPECT_NE(e.error, 0);
        EXPECT_NE(e.error, plat::wsa::WouldBlock);
        done.push_back(e.data);
    }
    EXPECT_EQ(done, (std::vector<const void*>{first.data(), second.data()}));
    EXPECT_FALSE(socket.SendQueued());
}

TEST_F(StreamSocketTest, SendTakenWholeReportsNothingAndCloseDropsTheQueueSilently) {
    net::CStreamSocket socket;
    RecordingStreamClient client;
    ConnectPair(socket, client, 9);
    const char command[] = "GROUP alt.test\r\n";
    ASSERT_EQ(socket.Send(command, sizeof command - 1), 0);
    std::string got;
    ASSERT_TRUE(plat::PumpUntil(
        [&] {
            ReadAvailable(peer, got);
            return got == command;
        },
        10000));
    nettest::Settle();
    EXPECT_EQ(client.Count(net::StreamEvent::SendDone), 0);

    // More than loopback can hold in flight (both socket buffers at their
    // largest), so that the send must queue.
    const std::string big = Pattern(32 << 20, 4);
    ASSERT_EQ(socket.Send(big.data(), static_cast<int>(big.size())), plat::wsa::WouldBlock);
    ASSERT_EQ(socket.Close(), 0);
    EXPECT_EQ(socket.State(), net::SocketState::Closed);
    EXPECT_FALSE(socket.SendQueued());
    EXPECT_EQ(socket.client, &client);  // the owner stays
    EXPECT_EQ(socket.clientCookie, 9u);
    got.clear();
    ASSERT_TRUE(plat::PumpUntil([&] { return !ReadAvailable(peer, got); }, 30000));
    EXPECT_LT(got.size(), big.size());
    EXPECT_EQ(got, big.substr(0, got.size()));
    nettest::Settle();
    EXPECT_EQ(client.events.size(), 1u);  // ConnectDone only
    EXPECT_EQ(socket.Close(), 0);         // nothing left to close
}

TEST_F(StreamSocketTest, RefusedConnectIsReportedAndTheObjectConnectsAgain) {
    nettest::RefusingPort refusing;
    net::CStreamSocket socket;
    RecordingStreamClient client;
    socket.client = &client;
    socket.clientCookie = 3;
    const int rc = socket.Connect(Loopback(refusing.port()));
    ASSERT_EQ(rc, plat::wsa::WouldBlock);
    EXPECT_EQ(socket.State(), net::SocketState::Connecting);
    ASSERT_TRUE(
        plat::PumpUntil([&] { return client.Count(net::StreamEvent::ConnectDone) == 1; }, 10000));
    EXPECT_EQ(client.events[0].error, plat::wsa::ConnectionRefused);
    EXPECT_EQ(client.events[0].data, nullptr);
    EXPECT_EQ(socket.State(), net::SocketState::Connecting);  // the owner closes it
    nettest::Settle();
    EXPECT_EQ(client.events.size(), 1u);
    EXPECT_EQ(socket.Close(), 0);

    client.events.clear();
    ConnectPair(socket, client, 3);
}

TEST_F(StreamSocketTest, PeerCloseComesAfterAllItsData) {
    net::CStreamSocket socket;
    ReadingClient client(socket);
    ConnectPair(socket, client, 1);
    const std::string reply = "200 news.example.test ready\r\n" + Pattern(50000, 5);
    ASSERT_EQ(::send(peer, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
    ::close(peer);
    peer = -1;
    ASSERT_TRUE(
        plat::PumpUntil([&] { return client.Count(net::StreamEvent::Closed) == 1; }, 10000));
    EXPECT_EQ(client.received, reply);
    EXPECT_EQ(client.events.back().kind, net::StreamEvent::Closed);
    EXPECT_EQ(client.events.back().error, 0);
    char buffer[16];
    int length = sizeof buffer;
    EXPECT_EQ(socket.Receive(buffer, length), 0);
    EXPECT_EQ(length, 0);
}

TEST_F(StreamSocketTest, MessagesWithoutClientOrWithUnknownEventsAreIgnored) {
    net::CStreamSocket socket;
    ASSERT_EQ(socket.Connect(Loopback(listener.port())), plat::wsa::WouldBlock);
    const plat::WindowHandle w = net::GetEventWindow();
    const plat::WParam h = socket.Handle();
    // With nobody to tell. Sent, not posted: the loop must not run before the
    // client is set, or the real notification would be dropped too.
    for (unsigned ev :
         {plat::EvConnect, plat::EvWrite, plat::EvRead, plat::EvClose, plat::EvAccept}) {
        plat::SendMessage(w, net::EVENT_MSG_SOCKET, h, plat::MakeSelectLParam(ev, 0));
    }
    EXPECT_EQ(socket.State(), net::SocketState::Connecting);

    RecordingStreamClient client;
    socket.client = &client;
    ASSERT_TRUE(plat::PumpUntil(
        [&] {
            if (peer < 0) peer = listener.Accept();
            return client.Count(net::StreamEvent::ConnectDone) == 1 && peer >= 0;
        },
        10000));
    EXPECT_EQ(socket.State(), net::SocketState::Connected);
    plat::PostMessage(w, net::EVENT_MSG_SOCKET, h, plat::MakeSelectLParam(plat::EvOob, 0));
    plat::PostMessage(w, net::EVENT_MSG_SOCKET, h, plat::MakeSelectLParam(64, 0));
    plat::PostMessage(w, net::EVENT_MSG_SOCKET, h,
                      plat::MakeSelectLParam(plat::EvRead | plat::EvClose, 0));
    nettest::Settle();
    ASSERT_EQ(client.events.size(), 1u);
    EXPECT_EQ(client.events[0].kind, net::StreamEvent::ConnectDone);

    // A closed socket's handle is no longer routed to it.
    socket.Close();
    plat::SendMessage(w, net::EVENT_MSG_SOCKET, h, plat::MakeSelectLParam(plat::EvRead, 0));
    EXPECT_EQ(client.events.size(), 1u);
}

TEST_F(StreamSocketTest, FailuresQueueNothing) {
    net::CStreamSocket socket;
    const char text[] = "QUIT\r\n";
    EXPECT_EQ(socket.Send(text, 6), plat::wsa::NotSocket);
    EXPECT_EQ(socket.lastError, plat::wsa::NotSocket);
    EXPECT_FALSE(socket.SendQueued());

    RecordingStreamClient client;
    ConnectPair(socket, client, 0);
    const int small = 4096;
    ::setsockopt(plat::SocketDescriptor(socket.Handle()), SOL_SOCKET, SO_SNDBUF, &small,
                 sizeof small);
    // No node for the rest: the caller keeps its buffer and is told so.
    const std::string big = Pattern(4 << 20, 6);
    nettest::failNothrowAllocations = true;
    const int rc = socket.Send(big.data(), static_cast<int>(big.size()));
    nettest::failNothrowAllocations = false;
    EXPECT_EQ(rc, plat::wsa::NoBuffers);
    EXPECT_FALSE(socket.SendQueued());
    // The bytes that did go are still a clean prefix; nothing else follows.
    std::string got;
    ASSERT_TRUE(plat::PumpUntil(
        [&] {
            ReadAvailable(peer, got);
            return !got.empty();
        },
        10000));
    nettest::Settle();
    ReadAvailable(peer, got);
    EXPECT_LT(got.size(), big.size());
    EXPECT_EQ(got, big.substr(0, got.size()));
    EXPECT_EQ(client.Count(net::StreamEvent::SendDone), 0);
}

TEST(InetAddressTest, HoldsSockaddrLayoutInNetworkOrder) {
    net::CInetAddress a;
    a.Set(119, 0x7F000002);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&a);
    const unsigned char expected[16] = {2, 0, 0, 119, 127, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(bytes[i], expected[i]) << i;
    net::CInetAddress b;
    b = a;
    EXPECT_EQ(b.ToSockaddr().sin_port, a.ToSockaddr().sin_port);
    EXPECT_EQ(b.ToSockaddr().sin_addr.s_addr, a.ToSockaddr().sin_addr.s_addr);
}

}  // namespace
