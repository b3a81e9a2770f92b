#include "net/stream_socket.h"

#include <cstring>
#include <new>

#include "net/event_window.h"
#include "platform/inet.h"
#include "platform/wsa_errors.h"

namespace net {

CInetAddress& CInetAddress::operator=(const CInetAddress& other) {
    if (this != &other) std::memcpy(static_cast<void*>(this), &other, sizeof(CInetAddress));
    return *this;
}

void CInetAddress::Set(std::uint16_t hostPort, std::uint32_t hostAddress) {
    family = 2;
    port = htons(hostPort);
    address = htonl(hostAddress);
}

sockaddr_in CInetAddress::ToSockaddr() const {
    sockaddr_in out{};
    out.sin_family = family;
    out.sin_port = port;
    out.sin_addr.s_addr = address;
    return out;
}

CNetAddress CNetAddress::From(const CInetAddress& address) {
    CNetAddress out;
    out.family = AF_INET;
    out.port = address.port;
    std::memcpy(out.bytes, &address.address, 4);
    return out;
}

socklen_t CNetAddress::ToSockaddr(sockaddr_storage& out) const {
    out = sockaddr_storage{};
    if (family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = port;
        std::memcpy(&in6->sin6_addr, bytes, 16);
        return sizeof(sockaddr_in6);
    }
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    in->sin_port = port;
    std::memcpy(&in->sin_addr, bytes, 4);
    return sizeof(sockaddr_in);
}

CStreamSocket::~CStreamSocket() {
    if (socket != plat::kInvalidSocket) Close();
}

int CStreamSocket::Create(int family) {
    plat::SocketHandle handle = plat::kInvalidSocket;
    lastError = plat::SocketCreate(handle, family);
    if (lastError != 0) return lastError;
    // The platform's sockets are non-blocking from the start.
    socket = handle;
    RegisterCallback(socket, CallbackKind::Socket);
    return 0;
}

int CStreamSocket::Connect(const CInetAddress& address) {
    return Connect(CNetAddress::From(address));
}

int CStreamSocket::Connect(const CNetAddress& address) {
    if (socket == plat::kInvalidSocket && Create(address.family) != 0) return lastError;
    lastError = plat::AsyncSelect(socket, GetEventWindow(), EVENT_MSG_SOCKET, plat::EvConnect);
    if (lastError != 0) return lastError;
    sockaddr_storage peer;
    const socklen_t length = address.ToSockaddr(peer);
    lastError = plat::SocketConnect(socket, reinterpret_cast<const sockaddr*>(&peer), length);
    if (lastError == 0) {
        state = SocketState::Connected;
    } else if (lastError == plat::wsa::WouldBlock) {
        state = SocketState::Connecting;
    }
    return lastError;
}

int CStreamSocket::Append(const void* buffer, const char* position, int remaining) {
    auto* node = new (std::nothrow) PendingSend{nullptr, buffer, position, remaining};
    if (node == nullptr) return plat::wsa::NoBuffers;
    if (sendTail != nullptr) {
        sendTail->next = node;
    } else {
        sendHead = node;
    }
    sendTail = node;
    return plat::wsa::WouldBlock;
}

int CStreamSocket::Send(const void* buffer, int length) {
    const char* position = static_cast<const char*>(buffer);
    // Bytes leave in the order of the calls: behind a queue, only queue.
    if (sendHead != nullptr) return lastError = Append(buffer, position, length);
    int remaining = length;
    int error = 0;
    while (remaining > 0) {
        std::size_t sent = 0;
        error = plat::SocketSend(socket, position, static_cast<std::size_t>(remaining), sent);
        // A send that stops on a full socket still reports what it took.
        position += sent;
        remaining -= static_cast<int>(sent);
        if (error == 0 && sent == 0) error = plat::wsa::WouldBlock;
        if (error != 0) break;
    }
    if (remaining <= 0) return lastError = 0;
    if (error != plat::wsa::WouldBlock) return lastError = error;
    // When no node can be had the caller keeps the buffer: report it as a
    // failure rather than lose the unsent bytes silently.
    return lastError = Append(buffer, position, remaining);
}

int CStreamSocket::Receive(void* buffer, int& length) {
    std::size_t received = 0;
    const std::size_t room = length > 0 ? static_cast<std::size_t>(length) : 0;
    lastError = plat::SocketRecv(socket, buffer, room, received);
    length = lastError == 0 ? static_cast<int>(received) : 0;
    return lastError;
}

void CStreamSocket::FreeSendQueue() {
    while (sendHead != nullptr) {
        PendingSend* next = sendHead->next;
        delete sendHead;
        sendHead = next;
    }
    sendTail = nullptr;
}

int CStreamSocket::Close() {
    if (socket == plat::kInvalidSocket) return lastError = 0;
    UnregisterCallback(socket, CallbackKind::Socket);
    FreeSendQueue();
    lastError = plat::SocketClose(socket);
    socket = plat::kInvalidSocket;
    state = SocketState::Closed;
    return lastError;
}

void CStreamSocket::DrainSendQueue() {
    // The client is called after its node has left the queue and may Send or
    // Close from there, so the queue is looked at afresh each time round.
    while (sendHead != nullptr) {
        PendingSend* node = sendHead;
        int error = 0;
        while (node->remaining > 0) {
            std::size_t sent = 0;
            error = plat::SocketSend(socket, node->position,
                                     static_cast<std::size_t>(node->remaining), sent);
            node->position += sent;
            node->remaining -= static_cast<int>(sent);
            if (error == 0 && sent == 0) error = plat::wsa::WouldBlock;
            if (error != 0) break;
        }
        if (node->remaining > 0) {
            lastError = error;
            if (error == plat::wsa::WouldBlock) return;
        } else {
            lastError = 0;
        }
        const void* buffer = node->buffer;
        sendHead = node->next;
        if (sendHead == nullptr) sendTail = nullptr;
        delete node;
        client->StreamCallback(clientCookie, StreamEvent::SendDone, lastError, buffer);
        if (client == nullptr) return;
    }
}

void CStreamSocket::EventCallback(plat::WindowHandle, unsigned, plat::WParam, plat::LParam lParam) {
    if (client == nullptr) return;
    const int error = plat::SelectError(lParam);
    switch (plat::SelectEvent(lParam)) {
        case plat::EvRead:
            client->StreamCallback(clientCookie, StreamEvent::Readable, error, nullptr);
            break;
        case plat::EvWrite:
            DrainSendQueue();
            break;
        case plat::EvAccept:
            client->StreamCallback(clientCookie, StreamEvent::Accept, error, nullptr);
            break;
        case plat::EvConnect:
            if (error == 0) {
                plat::AsyncSelect(socket, GetEventWindow(), EVENT_MSG_SOCKET,
                                  plat::EvRead | plat::EvWrite | plat::EvClose);
                state = SocketState::Connected;
            }
            client->StreamCallback(clientCookie, StreamEvent::ConnectDone, error, nullptr);
            break;
        case plat::EvClose:
            client->StreamCallback(clientCookie, StreamEvent::Closed, error, nullptr);
            break;
        default:  // EvOob and anything unknown
            break;
    }
}

}  // namespace net
