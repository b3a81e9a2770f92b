#include "platform/socket.h"

#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/wsa_errors.h"

namespace plat {

namespace {

struct SocketRecord {
    int fd = -1;
    WindowHandle window = 0;
    unsigned message = 0;
    unsigned mask = 0;
    // Every (window, message) this socket has been selected to, so that a
    // close can purge all of its notifications.
    std::vector<std::pair<WindowHandle, unsigned>> routes;
    bool connecting = false;
    bool connected = false;
    bool readOutstanding = false;  // an EvRead was posted and no receive followed
    bool readPaused = false;       // data waits for a receive; stop polling for input
    bool writeWanted = false;      // a send stopped on a full socket
    bool closeSeen = false;        // end of stream or a broken connection was seen
    bool closeReported = false;
    int closeError = 0;
    bool broken = false;  // reset or receive error: no EvRead ever again
};

struct SocketState {
    std::unordered_map<int, SocketRecord> sockets;
    int lastError = 0;
    bool sourceAdded = false;
};

SocketState& State() {
    static SocketState* state = new SocketState;
    return *state;
}

int Result(int error) {
    State().lastError = error;
    return error;
}

SocketRecord* Find(SocketHandle s) {
    auto& sockets = State().sockets;
    auto it = sockets.find(static_cast<int>(s));
    return it == sockets.end() ? nullptr : &it->second;
}

void IgnoreSigpipe() {
    static bool done = false;
    if (done) return;
    done = true;
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGPIPE, &sa, nullptr);
}

// At start-up too, for writes on descriptors that do not go through SocketSend.
[[maybe_unused]] const bool kSigpipeIgnored = (IgnoreSigpipe(), true);

void Post(SocketRecord& rec, unsigned event, int error) {
    PostMessage(rec.window, rec.message, static_cast<WParam>(rec.fd),
                MakeSelectLParam(event, error));
}

void PurgeNotifications(const SocketRecord& rec) {
    const auto routes = rec.routes;
    const WParam handle = static_cast<WParam>(rec.fd);
    RemoveQueuedMessagesIf([&routes, handle](const Message& m) {
        if (m.wParam != handle) return false;
        return std::find(routes.begin(), routes.end(), std::make_pair(m.window, m.message)) !=
               routes.end();
    });
}

// The end of the stream or a broken connection, seen once all data before it
// was offered: one EvClose, now or as soon as a mask asks for it.
void NoteClose(SocketRecord& rec, int error) {
    if (rec.closeSeen) return;
    rec.closeSeen = true;
    rec.closeError = error;
    if (rec.mask & EvClose) {
        rec.closeReported = true;
        Post(rec, EvClose, error);
    }
}

void NoteBroken(SocketRecord& rec, int error) {
    rec.broken = true;
    if (rec.readOutstanding) {
        const WParam handle = static_cast<WParam>(rec.fd);
        const WindowHandle window = rec.window;
        const unsigned message = rec.message;
        RemoveQueuedMessagesIf([=](const Message& m) {
            return m.window == window && m.message == message && m.wParam == handle &&
                   SelectEvent(m.lParam) == EvRead;
        });
        rec.readOutstanding = false;
    }
    NoteClose(rec, error);
}

int PendingError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return errno;
    return err;
}

void ConnectEnded(SocketRecord& rec) {
    rec.connecting = false;
    const int err = PendingError(rec.fd);
    if (err != 0) {
        rec.broken = true;
        if (rec.mask & EvConnect) Post(rec, EvConnect, WsaFromErrno(err));
        return;
    }
    rec.connected = true;
    if (rec.mask & EvConnect) Post(rec, EvConnect, 0);
    if (rec.mask & EvWrite) {
        rec.writeWanted = false;
        Post(rec, EvWrite, 0);
    }
}

void DataWaits(SocketRecord& rec) {
    rec.readPaused = true;
    if ((rec.mask & EvRead) && !rec.readOutstanding) {
        rec.readOutstanding = true;
        Post(rec, EvRead, 0);
    }
}

// Input is ready. Readiness without a hang-up or an error is data (the
// common case, which needs no further call); otherwise a one-byte peek
// tells data from the end of the stream from an error without taking
// anything away from the reader.
void InputReady(SocketRecord& rec, short revents) {
    if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) return DataWaits(rec);
    char byte;
    const ssize_t n = ::recv(rec.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return DataWaits(rec);
    if (n == 0) {
        NoteClose(rec, 0);
        return;
    }
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        if (revents & (POLLERR | POLLHUP)) {
            const int pending = PendingError(rec.fd);
            if (pending != 0) NoteBroken(rec, WsaFromErrno(pending));
        }
        return;
    }
    NoteBroken(rec, WsaFromErrno(err));
}

class SocketSource : public LoopSource {
public:
    void Collect(std::vector<pollfd>& fds, int&) override {
        for (auto& [fd, rec] : State().sockets) {
            if (rec.mask == 0 || !IsWindow(rec.window)) continue;
            short events = 0;
            if (rec.connecting) {
                events = POLLOUT;
            } else if (rec.connected) {
                if (!rec.closeSeen && !rec.broken && !rec.readOutstanding && !rec.readPaused &&
                    (rec.mask & (EvRead | EvClose)))
                    events |= POLLIN | POLLRDHUP;
                if (rec.writeWanted && (rec.mask & EvWrite)) events |= POLLOUT;
            }
            if (events != 0) fds.push_back(pollfd{fd, events, 0});
        }
    }

    void Dispatch(const pollfd* fds, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            const pollfd& p = fds[i];
            if (p.revents == 0) continue;
            auto it = State().sockets.find(p.fd);
            if (it == State().sockets.end()) continue;
            SocketRecord& rec = it->second;
            if (rec.connecting) {
                ConnectEnded(rec);
                continue;
            }
            if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLRDHUP | POLLERR | POLLHUP))) {
                InputReady(rec, p.revents);
            }
            if ((p.events & POLLOUT) && rec.writeWanted &&
                (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
                rec.writeWanted = false;
                if (rec.mask & EvWrite) Post(rec, EvWrite, 0);
            }
        }
    }
};

void EnsureSource() {
    SocketState& s = State();
    if (s.sourceAdded) return;
    static SocketSource* source = new SocketSource;
    AddLoopSource(source);
    s.sourceAdded = true;
}

}  // namespace

int LastSocketError() {
    return State().lastError;
}

int SocketCreate(SocketHandle& out, int family) {
    out = kInvalidSocket;
    IgnoreSigpipe();
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Result(WsaFromErrno(errno));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    EnsureSource();
    auto& sockets = State().sockets;
    // The descriptor was closed behind our back: forget the old socket and
    // whatever it still had queued.
    auto stale = sockets.find(fd);
    if (stale != sockets.end()) {
        PurgeNotifications(stale->second);
        sockets.erase(stale);
    }
    SocketRecord rec;
    rec.fd = fd;
    sockets.emplace(fd, std::move(rec));
    out = static_cast<SocketHandle>(fd);
    return Result(0);
}

int SocketConnect(SocketHandle s, const sockaddr_in& addr) {
    return SocketConnect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

int SocketConnect(SocketHandle s, const sockaddr* addr, socklen_t length) {
    SocketRecord* rec = Find(s);
    if (rec == nullptr) return Result(wsa::NotSocket);
    if (rec->connected) return Result(wsa::IsConnected);
    if (rec->connecting) return Result(wsa::Already);
    int rc;
    do {
        rc = ::connect(rec->fd, addr, length);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        // Connected at once; the connect notification still comes through
        // the loop, as callers wait for it in either case.
        rec->connecting = true;
        return Result(0);
    }
    const int err = errno;
    if (err == EINPROGRESS) {
        rec->connecting = true;
        return Result(wsa::WouldBlock);
    }
    return Result(WsaFromErrno(err));
}

int SocketSend(SocketHandle s, const void* data, std::size_t length, std::size_t& sent) {
    sent = 0;
    SocketRecord* rec = Find(s);
    if (rec == nullptr) return Result(wsa::NotSocket);
    const char* p = static_cast<const char*>(data);
    while (sent < length) {
        const ssize_t n = ::send(rec->fd, p + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int err = n == 0 ? EAGAIN : errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            rec->writeWanted = true;
            return Result(wsa::WouldBlock);
        }
        return Result(WsaFromErrno(err));
    }
    return Result(0);
}

int SocketRecv(SocketHandle s, void* buffer, std::size_t room, std::size_t& received) {
    received = 0;
    SocketRecord* rec = Find(s);
    if (rec == nullptr) return Result(wsa::NotSocket);
    ssize_t n;
    do {
        n = ::recv(rec->fd, buffer, room, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
        const int err = n >= 0 ? 0 : wsa::WouldBlock;
        rec->readOutstanding = false;
        rec->readPaused = false;
        if (n > 0) {
            received = static_cast<std::size_t>(n);
            // Linux drops out of quick-ack mode on its own; keep answering at
            // once so a server's second write is not held for our delayed ACK.
            const int one = 1;
            ::setsockopt(rec->fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        return Result(err);
    }
    const int err = WsaFromErrno(errno);
    if (rec->connected) NoteBroken(*rec, err);
    return Result(err);
}

int SocketClose(SocketHandle s) {
    auto& sockets = State().sockets;
    auto it = sockets.find(static_cast<int>(s));
    if (it == sockets.end()) return Result(wsa::NotSocket);
    PurgeNotifications(it->second);
    const int fd = it->second.fd;
    sockets.erase(it);
    // The descriptor is gone even when close reports an error.
    if (::close(fd) < 0 && errno != EINTR) return Result(WsaFromErrno(errno));
    return Result(0);
}

int AsyncSelect(SocketHandle s, WindowHandle window, unsigned message, unsigned mask) {
    SocketRecord* rec = Find(s);
    if (rec == nullptr) return Result(wsa::NotSocket);
    if (mask != 0 && !IsWindow(window)) return Result(wsa::Invalid);
    if (rec->window != window || rec->message != message) {
        // Whatever went to the old route is not the new route's business.
        PurgeNotifications(*rec);
        rec->readOutstanding = false;
    }
    rec->window = window;
    rec->message = message;
    rec->mask = mask;
    if (mask == 0) return Result(0);
    const auto route = std::make_pair(window, message);
    if (std::find(rec->routes.begin(), rec->routes.end(), route) == rec->routes.end())
        rec->routes.push_back(route);
    // Look for input afresh: data that came while EvRead was not selected.
    if (!rec->readOutstanding) rec->readPaused = false;
    if (rec->connected && !rec->broken && (mask & EvWrite) && !rec->writeWanted)
        Post(*rec, EvWrite, 0);
    if (rec->closeSeen && !rec->closeReported && (mask & EvClose)) {
        rec->closeReported = true;
        Post(*rec, EvClose, rec->closeError);
    }
    return Result(0);
}

int SocketDescriptor(SocketHandle s) {
    const SocketRecord* rec = Find(s);
    return rec == nullptr ? -1 : rec->fd;
}

void SocketsStartup() {
    IgnoreSigpipe();
}

}  // namespace plat
