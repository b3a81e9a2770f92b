// The program's one kind of connection: a non-blocking TCP client socket
// whose readiness arrives through the event window and is passed on, as
// stream events, to whichever object currently owns it.
#pragma once

#include <cstdint>

#include "net/callback_registry.h"
#include "platform/socket.h"

namespace net {

// An IPv4 address in the 16-byte layout of sockaddr_in.
struct CInetAddress {
    std::uint16_t family = 2;   // AF_INET
    std::uint16_t port = 0;     // network order
    std::uint32_t address = 0;  // network order
    std::uint8_t zero[8] = {};

    CInetAddress() = default;
    CInetAddress(const CInetAddress& other) = default;
    CInetAddress& operator=(const CInetAddress& other);

    // Both values in host order.
    void Set(std::uint16_t hostPort, std::uint32_t hostAddress);
    sockaddr_in ToSockaddr() const;
};
static_assert(sizeof(CInetAddress) == 16);

// An address of either family, for the connections that are not IPv4.
struct CNetAddress {
    int family = 2;               // AF_INET or AF_INET6 (10)
    std::uint16_t port = 0;       // network order
    std::uint8_t bytes[16] = {};  // network order; IPv4 in the first 4

    static CNetAddress From(const CInetAddress& address);
    // The sockaddr_in or sockaddr_in6 for connect, and its length.
    socklen_t ToSockaddr(sockaddr_storage& out) const;
};

enum class StreamEvent : int {
    ConnectDone = 0,  // the attempt ended; error 0 means connected
    Accept = 1,       // never selected by this program
    Readable = 2,
    SendDone = 3,  // one queued buffer went (error 0) or was given up (error)
    Closed = 4,
};

// The owner of a socket.
class CStreamClient {
public:
    // cookie: the socket's clientCookie; data: the buffer given to Send for
    // SendDone, null for every other kind.
    virtual void StreamCallback(std::uint32_t cookie, StreamEvent kind, int error,
                                const void* data) = 0;
    virtual ~CStreamClient() = default;
};

// One queued buffer. The socket owns the node, the caller the buffer.
struct PendingSend {
    PendingSend* next;
    const void* buffer;    // as given to Send; SendDone hands it back
    const char* position;  // next byte to send
    int remaining;
};

enum class SocketState : int { Closed = 0, Connecting = 1, Connected = 2 };

class CStreamSocket : public CEventTarget {
public:
    CStreamSocket() = default;
    CStreamSocket(const CStreamSocket&) = delete;
    CStreamSocket& operator=(const CStreamSocket&) = delete;

    // Message 1030 for this socket, turned into StreamCallback calls. Ignored
    // entirely while there is no client.
    void EventCallback(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                       plat::LParam lParam) override;
    // Closes the socket if one is open.
    ~CStreamSocket() override;

    // Every operation returns 0 or a Windows Sockets error and also stores it
    // in lastError; 10035 (would block) means in progress or queued.

    // Makes a socket if there is none, selects FD_CONNECT and connects:
    // 0 connected at once, 10035 in progress (ConnectDone follows), or an error.
    int Connect(const CInetAddress& address);
    // The same for an IPv6 or IPv4 address; the socket is made for its family.
    int Connect(const CNetAddress& address);
    // 0: all bytes went at once, no SendDone follows. 10035: the rest is
    // queued; buffer must stay valid and unchanged until its SendDone or
    // Close. Other errors: nothing queued (bytes already sent stay sent).
    int Send(const void* buffer, int length);
    // length: room on entry, bytes received on return (0 with result 0 when
    // the peer has closed; 0 on error). 10035 when nothing is waiting.
    int Receive(void* buffer, int& length);
    // Closes the socket if any; queued buffers are forgotten without any
    // report and notifications still queued are dropped. client and
    // clientCookie stay as they are.
    int Close();

    plat::SocketHandle Handle() const { return socket; }
    SocketState State() const { return state; }
    bool SendQueued() const { return sendHead != nullptr; }

private:
    plat::SocketHandle socket = plat::kInvalidSocket;

public:
    int lastError = 0;
    CStreamClient* client = nullptr;  // not owned; owners assign it directly
    std::uint32_t clientCookie = 0;

private:
    SocketState state = SocketState::Closed;
    PendingSend* sendHead = nullptr;
    PendingSend* sendTail = nullptr;

    int Create(int family);
    int Append(const void* buffer, const char* position, int remaining);
    void DrainSendQueue();
    void FreeSendQueue();
};

}  // namespace net
