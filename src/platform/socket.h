// Non-blocking TCP sockets whose readiness arrives as window messages.
//
// The layers above were written against Windows Sockets 1.1: calls return
// its error numbers, and AsyncSelect posts (socket, error << 16 | event) to a
// window. The rules that matter to them:
//  - Connect: one EvConnect when a non-blocking connect ends (error from SO_ERROR).
//  - EvRead: posted when data is readable and re-armed by each Recv, so at
//    most one is outstanding per socket.
//  - EvWrite: once after a connect succeeds (or a mask with EvWrite is
//    selected on a connected socket) and again after a Send had to stop
//    because the socket was full, once room frees.
//  - EvClose: once, when the peer closed or the connection broke, and only
//    after every byte the peer sent was offered through EvRead. After a reset
//    or a receive error exactly one EvClose carries the error and no EvRead
//    follows.
//  - Closing a socket drops every notification for it still queued, since
//    Linux hands the same descriptor to the next socket at once.
//  - A socket handle is its descriptor number; it is valid from SocketCreate
//    to SocketClose.
//  - EvConnect also follows a SocketConnect that returned 0.
//  - EvClose's error: 0 for an orderly close by the peer, 10054 for a reset,
//    or whatever receive error broke the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/inet.h"
#include "platform/message_loop.h"

namespace plat {

using SocketHandle = std::uint32_t;
constexpr SocketHandle kInvalidSocket = 0xFFFFFFFFu;

// Network events, the low word of a socket message's lParam.
constexpr unsigned EvRead = 1;
constexpr unsigned EvWrite = 2;
constexpr unsigned EvOob = 4;
constexpr unsigned EvAccept = 8;
constexpr unsigned EvConnect = 16;
constexpr unsigned EvClose = 32;

constexpr LParam MakeSelectLParam(unsigned event, int error) {
    return static_cast<LParam>((static_cast<std::uint32_t>(error & 0xFFFF) << 16) |
                               (event & 0xFFFF));
}
constexpr unsigned SelectEvent(LParam lParam) {
    return static_cast<std::uint32_t>(lParam) & 0xFFFF;
}
constexpr int SelectError(LParam lParam) {
    return (static_cast<std::uint32_t>(lParam) >> 16) & 0xFFFF;
}

// Each call returns 0 or a Windows Sockets error number (see wsa_errors.h);
// the last one is also kept for LastSocketError().
int LastSocketError();

// A non-blocking TCP socket (IPv4 unless family says AF_INET6), with
// TCP_NODELAY set.
int SocketCreate(SocketHandle& out, int family = AF_INET);
// addr is a sockaddr_in (family, port and address in network order).
// Returns 0 when connected at once, 10035 when in progress.
int SocketConnect(SocketHandle s, const sockaddr_in& addr);
// The same for an address of either family (sockaddr_in or sockaddr_in6).
int SocketConnect(SocketHandle s, const sockaddr* addr, socklen_t length);
// Sends until everything is taken or the socket refuses; sent receives the
// bytes taken, also when the result is an error. 10035 when the socket is
// full (EvWrite follows once room frees). A send to a connection that is
// gone answers 10053 or 10054 and never raises SIGPIPE.
int SocketSend(SocketHandle s, const void* data, std::size_t length, std::size_t& sent);
// received is 0 with result 0 when the peer has closed. Re-arms EvRead and
// the quick acknowledgement (servers write a status line and the body in
// two writes; a delayed ACK would stall every exchange by ~40 ms).
int SocketRecv(SocketHandle s, void* buffer, std::size_t room, std::size_t& received);
int SocketClose(SocketHandle s);
// Replaces the socket's mask; mask 0 stops notifications. The window must
// exist (10022 otherwise). Selecting another window or message drops what
// was queued for the old one.
int AsyncSelect(SocketHandle s, WindowHandle window, unsigned message, unsigned mask);
// The descriptor behind a handle, for tests that want to tune it.
int SocketDescriptor(SocketHandle s);

// The sockets layer's start-up: SIGPIPE is ignored, so that writing to a
// closed connection fails with an error the caller sees.
void SocketsStartup();

}  // namespace plat
