// The Windows platform layer's events on loopback: WSAAsyncSelect's socket
// notifications and GetAddrInfoExW's completions, as the program's messages
// through the hidden sink window.
#include <winsock2.h>
#include <ws2tcpip.h>
#undef CreateWindow
#undef PostMessage
#undef SendMessage
#undef GetMessage
#undef PeekMessage
#undef DispatchMessage
#undef DefWindowProc

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/resolver.h"
#include "platform/socket.h"
#include "platform/win/event_sink.h"
#include "recording_window.h"

namespace {

using qivtest::Recorder;
constexpr unsigned kSocketMsg = plat::msg::User + 6;
constexpr unsigned kLookupMsg = plat::msg::User + 1;

// A listening Winsock socket on loopback, accepted from without blocking.
class Listener {
public:
    explicit Listener(int family) {
        s_ = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_storage a{};
        int length;
        if (family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        } else {
            auto* in = reinterpret_cast<sockaddr_in*>(&a);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        }
        ::bind(s_, reinterpret_cast<sockaddr*>(&a), length);
        ::listen(s_, 4);
        u_long nonBlocking = 1;
        ::ioctlsocket(s_, FIONBIO, &nonBlocking);
        ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &length);
        address_ = a;
        length_ = length;
    }
    ~Listener() {
        if (peer_ != INVALID_SOCKET) ::closesocket(peer_);
        ::closesocket(s_);
    }
    bool Accept() {
        if (peer_ == INVALID_SOCKET) peer_ = ::accept(s_, nullptr, nullptr);
        return peer_ != INVALID_SOCKET;
    }
    const sockaddr* Address() const { return reinterpret_cast<const sockaddr*>(&address_); }
    int Length() const { return length_; }
    SOCKET Peer() const { return peer_; }
    void ClosePeer() {
        ::closesocket(peer_);
        peer_ = INVALID_SOCKET;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    sockaddr_storage address_{};
    int length_ = 0;
};

class EventsWin : public ::testing::Test {
protected:
    void SetUp() override {
        plat::SocketsStartup();
        qivtest::ResetLoop();
        window_ = qivtest::NewWindow();
    }
    std::size_t Events(unsigned event) const {
        std::size_t n = 0;
        for (const plat::Message& m : Recorder::Get().For(window_, kSocketMsg))
            n += plat::SelectEvent(m.lParam) == event;
        return n;
    }
    int ErrorOf(unsigned event) const {
        for (const plat::Message& m : Recorder::Get().For(window_, kSocketMsg))
            if (plat::SelectEvent(m.lParam) == event) return plat::SelectError(m.lParam);
        return -1;
    }
    plat::WindowHandle window_ = 0;
};

// Connect, data both ways, the peer's close after its last byte; over IPv4
// and IPv6 alike.
TEST_F(EventsWin, ConnectReadAndOrderlyClose) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        SetUp();
        Listener listener(family);
        plat::SocketHandle s;
        ASSERT_EQ(plat::SocketCreate(s, family), 0);
        const unsigned all = plat::EvRead | plat::EvWrite | plat::EvConnect | plat::EvClose;
        ASSERT_EQ(plat::AsyncSelect(s, window_, kSocketMsg, all), 0);
        const int rc = plat::SocketConnect(s, listener.Address(), listener.Length());
        EXPECT_TRUE(rc == 0 || rc == 10035) << rc;
        ASSERT_TRUE(plat::PumpUntil([&] { return listener.Accept() && Events(plat::EvConnect) == 1; }));
        EXPECT_EQ(ErrorOf(plat::EvConnect), 0);
        ASSERT_TRUE(plat::PumpUntil([&] { return Events(plat::EvWrite) >= 1; }));

        std::size_t sent = 0;
        ASSERT_EQ(plat::SocketSend(s, "GROUP alt.test\r\n", 16, sent), 0);
        EXPECT_EQ(sent, 16u);
        char in[64] = {};
        ASSERT_TRUE(plat::PumpUntil([&] { return ::recv(listener.Peer(), in, sizeof in, 0) == 16; }));
        EXPECT_EQ(std::string(in, 16), "GROUP alt.test\r\n");

        ::send(listener.Peer(), "211 3 1 3 alt.test\r\n", 20, 0);
        listener.ClosePeer();
        std::string got;
        ASSERT_TRUE(plat::PumpUntil([&] {
            char buffer[8];  // small: EvRead must come again for the rest
            std::size_t n = 0;
            if (Events(plat::EvRead) > 0 && plat::SocketRecv(s, buffer, sizeof buffer, n) == 0)
                got.append(buffer, n);
            return Events(plat::EvClose) == 1;
        }));
        // The close came after the last byte had been taken, not before.
        EXPECT_EQ(got, "211 3 1 3 alt.test\r\n");
        std::size_t n = 1;
        char rest[64];
        EXPECT_EQ(plat::SocketRecv(s, rest, sizeof rest, n), 0);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(ErrorOf(plat::EvClose), 0);
        EXPECT_EQ(plat::SocketClose(s), 0);
    }
}

TEST_F(EventsWin, RefusedConnectAndClosedSocketsAreQuiet) {
    plat::SocketHandle s;
    std::uint16_t port;
    {
        Listener gone(AF_INET);  // a port that was free a moment ago
        port = reinterpret_cast<const sockaddr_in*>(gone.Address())->sin_port;
    }
    ASSERT_EQ(plat::SocketCreate(s), 0);
    ASSERT_EQ(plat::AsyncSelect(s, window_, kSocketMsg, plat::EvConnect | plat::EvClose), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = port;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    plat::SocketConnect(s, to);
    ASSERT_TRUE(plat::PumpUntil([&] { return Events(plat::EvConnect) == 1; }));
    EXPECT_EQ(ErrorOf(plat::EvConnect), 10061);
    EXPECT_EQ(plat::SocketClose(s), 0);
    // Unknown handles and windows are refused with the Winsock numbers.
    EXPECT_EQ(plat::SocketClose(s), 10038);
    ASSERT_EQ(plat::SocketCreate(s), 0);
    EXPECT_EQ(plat::AsyncSelect(s, 9999, kSocketMsg, plat::EvRead), 10022);
    EXPECT_EQ(plat::SocketClose(s), 0);
}

struct LookupCase {
    const char* name;
    int family;               // of the entry looked for
    unsigned char first;      // its first byte
    unsigned char last;       // its last
};

// Literals and the hosts file only: nothing leaves the machine.
TEST_F(EventsWin, LookupsCompleteAsMessages) {
    const LookupCase cases[] = {{"127.0.0.1", AF_INET, 127, 1}, {"::1", AF_INET6, 0, 1},
                                {"localhost", AF_INET, 127, 1}};
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        char buffer[1024];
        const plat::TaskHandle task =
            plat::AsyncGetHostByName(window_, kLookupMsg, c.name, buffer, sizeof buffer);
        ASSERT_NE(task, 0u);
        ASSERT_TRUE(plat::PumpUntil([&] { return Recorder::Get().Count(window_, kLookupMsg) == 1; }));
        const plat::Message m = Recorder::Get().For(window_, kLookupMsg)[0];
        EXPECT_EQ(m.wParam, task);
        ASSERT_EQ(m.lParam >> 16, 0) << "lookup error";
        bool found = false;
        int family = 0;
        unsigned char address[16];
        const std::size_t length = static_cast<std::size_t>(m.lParam & 0xFFFF);
        for (std::size_t i = 0; plat::LookupResultEntry(buffer, length, i, family, address); ++i)
            found = found || (family == c.family && address[0] == c.first &&
                              address[family == AF_INET ? 3 : 15] == c.last);
        EXPECT_TRUE(found);
        EXPECT_EQ(plat::LookupsInFlight(), 0u);
    }
    // A cancelled request never reaches the window.
    SetUp();
    char buffer[256];
    const plat::TaskHandle task =
        plat::AsyncGetHostByName(window_, kLookupMsg, "localhost", buffer, sizeof buffer);
    EXPECT_EQ(plat::CancelAsyncRequest(task), 0);
    ASSERT_TRUE(plat::PumpUntil([] { return plat::LookupsInFlight() == 0; }));
    plat::PumpUntil([] { return false; }, 100);
    EXPECT_EQ(Recorder::Get().Count(window_, kLookupMsg), 0u);
    EXPECT_EQ(plat::CancelAsyncRequest(task), 10022);
}

// Inside a loop of Windows' own (as a modal dialog runs one), the
// platform's timers, posted messages and socket events are dispatched; after
// it, they wait for the platform's loop again.
TEST_F(EventsWin, PlatformMessagesGoOnInsideAForeignLoop) {
    Listener listener(AF_INET);
    plat::SocketHandle s;
    ASSERT_EQ(plat::SocketCreate(s), 0);
    ASSERT_EQ(plat::AsyncSelect(s, window_, kSocketMsg, plat::EvConnect), 0);
    ASSERT_TRUE(plat::SetTimer(window_, 7, 20));
    ASSERT_TRUE(plat::PostMessage(window_, plat::msg::User + 40, 1, 0));
    plat::SocketConnect(s, listener.Address(), listener.Length());
    const auto seen = [&] {
        return Recorder::Get().Count(window_, plat::msg::Timer) >= 3 &&
               Recorder::Get().Count(window_, plat::msg::User + 40) == 1 && Events(plat::EvConnect) == 1;
    };
    plat::win::BeginForeignLoop();
    const ULONGLONG end = GetTickCount64() + 10000;
    MSG m;
    while (!seen() && GetTickCount64() < end) {
        listener.Accept();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    plat::win::EndForeignLoop();
    EXPECT_TRUE(seen());
    // The foreign loop is over: nothing is dispatched behind the platform's back.
    const std::size_t timers = Recorder::Get().Count(window_, plat::msg::Timer);
    const ULONGLONG later = GetTickCount64() + 200;
    while (GetTickCount64() < later) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    EXPECT_EQ(Recorder::Get().Count(window_, plat::msg::Timer), timers);
    plat::KillTimer(window_, 7);
    plat::SocketClose(s);
}

}  // namespace
