// The sockets layer on Windows: Windows Sockets itself, whose
// WSAAsyncSelect gives the notifications socket.h describes. They reach the
// hidden sink window and are passed on to the window and message selected.
#include "platform/win/event_sink.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/socket.h"


namespace plat {

namespace {

struct Route {
    WindowHandle window = 0;
    unsigned message = 0;
    std::vector<std::pair<WindowHandle, unsigned>> seen;  // to purge at close
    // The peer closed while bytes still wait: EvClose follows the last.
    bool closeHeld = false;
};

struct SocketState {
    std::unordered_map<SocketHandle, Route> sockets;
    int lastError = 0;
};

SocketState& State() {
    static SocketState* state = new SocketState;
    return *state;
}

int Result(int error) {
    State().lastError = error;
    return error;
}

int LastError() {
    return Result(WSAGetLastError());
}

void OnSocketEvent(WPARAM wParam, LPARAM lParam) {
    auto it = State().sockets.find(static_cast<SocketHandle>(wParam));
    if (it == State().sockets.end() || it->second.window == 0) return;  // closed or deselected
    const unsigned event = WSAGETSELECTEVENT(lParam);
    const int error = WSAGETSELECTERROR(lParam);
    Route& route = it->second;
    if (event == FD_CLOSE && error == 0) {
        // Windows reports the close when it arrives, not after the data
        // before it has been read; socket.h promises the latter.
        u_long waiting = 0;
        // (The FD_READ for those bytes is out already.)
        if (::ioctlsocket(static_cast<SOCKET>(wParam), FIONREAD, &waiting) == 0 && waiting > 0) {
            route.closeHeld = true;
            return;
        }
    }
    PostMessage(route.window, route.message, wParam, MakeSelectLParam(event, error));
}

void Purge(SocketHandle s, const Route& route) {
    for (const auto& [window, message] : route.seen) RemoveQueuedMessages(window, message, s);
}

}  // namespace

void SocketsStartup() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
    win::SetSinkHandler(win::kSocketMessage, OnSocketEvent);
}

int LastSocketError() {
    return State().lastError;
}

int SocketCreate(SocketHandle& out, int family) {
    SocketsStartup();
    out = kInvalidSocket;
    const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return LastError();
    u_long nonBlocking = 1;
    BOOL one = TRUE;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    // No per-receive quick acknowledgement here: every segment acknowledged.
    DWORD frequency = 1, returned = 0;
    ::WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned,
               nullptr, nullptr);
    out = static_cast<SocketHandle>(s);
    State().sockets[out] = Route{};
    return Result(0);
}

int SocketConnect(SocketHandle s, const sockaddr_in& addr) {
    return SocketConnect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

int SocketConnect(SocketHandle s, const sockaddr* addr, socklen_t length) {
    if (State().sockets.count(s) == 0) return Result(WSAENOTSOCK);
    if (::connect(static_cast<SOCKET>(s), addr, length) == 0) {
        // Windows posts FD_CONNECT only for a connect that had to wait.
        auto& route = State().sockets[s];
        if (route.window != 0)
            PostMessage(route.window, route.message, s, MakeSelectLParam(EvConnect, 0));
        return Result(0);
    }
    return LastError();
}

int SocketSend(SocketHandle s, const void* data, std::size_t length, std::size_t& sent) {
    sent = 0;
    const char* bytes = static_cast<const char*>(data);
    while (sent < length) {
        const std::size_t left = length - sent;
        const int chunk = left > 0x40000000 ? 0x40000000 : static_cast<int>(left);
        const int n = ::send(static_cast<SOCKET>(s), bytes + sent, chunk, 0);
        if (n == SOCKET_ERROR) return LastError();
        sent += static_cast<std::size_t>(n);
    }
    return Result(0);
}

int SocketRecv(SocketHandle s, void* buffer, std::size_t room, std::size_t& received) {
    received = 0;
    const int chunk = room > 0x40000000 ? 0x40000000 : static_cast<int>(room);
    const int n = ::recv(static_cast<SOCKET>(s), static_cast<char*>(buffer), chunk, 0);
    if (n == SOCKET_ERROR) return LastError();
    received = static_cast<std::size_t>(n);
    auto it = State().sockets.find(s);
    if (it != State().sockets.end() && it->second.closeHeld && it->second.window != 0) {
        // Windows posts FD_READ again while bytes remain; the close comes
        // once none do.
        u_long waiting = 0;
        if (::ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &waiting) == 0 && waiting == 0) {
            it->second.closeHeld = false;
            PostMessage(it->second.window, it->second.message, s, MakeSelectLParam(EvClose, 0));
        }
    }
    return Result(0);
}

int SocketClose(SocketHandle s) {
    auto it = State().sockets.find(s);
    if (it == State().sockets.end()) return Result(WSAENOTSOCK);
    const Route route = it->second;
    State().sockets.erase(it);
    Purge(s, route);
    // Windows hands the number to the next socket too: nothing still queued
    // for it may reach that one.
    MSG m;
    while (PeekMessageW(&m, win::EventSink(), win::kSocketMessage, win::kSocketMessage, PM_REMOVE)) {
        if (m.wParam != s) OnSocketEvent(m.wParam, m.lParam);
    }
    return ::closesocket(static_cast<SOCKET>(s)) == 0 ? Result(0) : LastError();
}

int AsyncSelect(SocketHandle s, WindowHandle window, unsigned message, unsigned mask) {
    auto it = State().sockets.find(s);
    if (it == State().sockets.end()) return Result(WSAENOTSOCK);
    if (mask != 0 && !IsWindow(window)) return Result(WSAEINVAL);
    Route& route = it->second;
    if (route.window != 0 && (route.window != window || route.message != message))
        RemoveQueuedMessages(route.window, route.message, s);
    route.window = mask != 0 ? window : 0;
    route.message = message;
    if (mask != 0) route.seen.emplace_back(window, message);
    const long events = static_cast<long>(mask);  // the FD_* bits are the same numbers
    if (::WSAAsyncSelect(static_cast<SOCKET>(s), win::EventSink(), win::kSocketMessage,
                         mask != 0 ? events : 0) != 0)
        return LastError();
    return Result(0);
}

int SocketDescriptor(SocketHandle s) {
    return static_cast<int>(s);
}

}  // namespace plat
