// A TCP proxy on loopback that holds every chunk it reads for D ms before
// passing it on, in both directions: a server D ms away each way (a round
// trip of 2D) for the fetch benchmarks, without touching the network setup.
// With --kbit R each direction is also a link of R kbit/s: bytes pass it one
// packet (1448 bytes) after the other, each taking its time on the link,
// and the delay counts from the moment a packet has left it.
//
//   bench_delay_proxy TARGET_PORT DELAY_MS [--port N] [--seconds S] [--kbit R]
//
// Listens on 127.0.0.1 (port N, default any free one) and prints "port P"
// once it does; each connection gets its own to 127.0.0.1:TARGET_PORT. Runs
// until SIGTERM or SIGINT, or S seconds (default 900), whichever is first.
// One thread, one poll loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kOne = 1;

volatile sig_atomic_t stopping = 0;

void Stop(int) {
    stopping = 1;
}

struct Chunk {
    Clock::time_point due;
    std::string data;  // empty: the sender's end of stream
};

// One direction of a connection.
struct Flow {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    std::size_t sent = 0;          // of the front chunk
    Clock::time_point linkFree{};  // when the limited link has sent what it holds
    bool readDone = false;
    bool closed = false;  // the end passed on
};

struct Connection {
    int client = -1;
    int server = -1;
    Flow up, down;
};

void Tune(int fd) {
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &kOne, sizeof kOne);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A blocking connect: on loopback it answers at once.
int ConnectTarget(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    Tune(fd);
    return fd;
}

// A TCP segment's payload on an ordinary Ethernet path.
constexpr std::size_t kPacket = 1448;

void ReadInto(Flow& f, std::chrono::milliseconds delay, long kbit) {
    char buffer[65536];
    const ssize_t n = recv(f.from, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // A delayed ACK would add its own 40 ms to the delay under test.
    setsockopt(f.from, IPPROTO_TCP, TCP_QUICKACK, &kOne, sizeof kOne);
    if (n <= 0) {
        f.readDone = true;
        f.queue.push_back({Clock::now() + delay, std::string()});
        return;
    }
    if (kbit <= 0) {
        f.queue.push_back({Clock::now() + delay, std::string(buffer, static_cast<std::size_t>(n))});
        return;
    }
    // The link sends a packet once the one before it has gone.
    for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += kPacket) {
        const std::size_t size = std::min(kPacket, static_cast<std::size_t>(n) - at);
        const auto onLink =
            std::chrono::nanoseconds(static_cast<long long>(size) * 8 * 1000000 / kbit);
        f.linkFree = std::max(f.linkFree, Clock::now()) +
                     std::chrono::duration_cast<Clock::duration>(onLink);
        f.queue.push_back({f.linkFree + delay, std::string(buffer + at, size)});
    }
}

// Passes on what is due; false when the receiving side is gone.
bool WriteDue(Flow& f) {
    const auto now = Clock::now();
    while (!f.queue.empty() && f.queue.front().due <= now) {
        Chunk& c = f.queue.front();
        if (c.data.empty()) {
            shutdown(f.to, SHUT_WR);
            f.closed = true;
            f.queue.pop_front();
            return true;
        }
        const ssize_t n = send(f.to, c.data.data() + f.sent, c.data.size() - f.sent, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        f.sent += static_cast<std::size_t>(n);
        if (f.sent < c.data.size()) return true;
        f.sent = 0;
        f.queue.pop_front();
    }
    return true;
}

bool DueNow(const Flow& f) {
    return !f.queue.empty() && f.queue.front().due <= Clock::now();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: bench_delay_proxy TARGET_PORT DELAY_MS [--port N] [--seconds S] "
                     "[--kbit R]\n");
        return 2;
    }
    const int target = std::atoi(argv[1]);
    const std::chrono::milliseconds delay(std::atoi(argv[2]));
    int listenPort = 0;
    int seconds = 900;
    long kbit = 0;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0) listenPort = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--kbit") == 0) kbit = std::atol(argv[i + 1]);
    }
    signal(SIGTERM, Stop);
    signal(SIGINT, Stop);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &kOne, sizeof kOne);
    sockaddr_in a = Loopback(listenPort);
    socklen_t len = sizeof a;
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("bench_delay_proxy: listen");
        return 1;
    }
    std::printf("port %u\n", ntohs(a.sin_port));
    std::fflush(stdout);

    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::list<Connection> connections;
    while (!stopping && Clock::now() < end) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        auto wait = std::chrono::milliseconds(1000);
        for (Connection& c : connections) {
            for (Flow* f : {&c.up, &c.down}) {
                const short out = DueNow(*f) ? POLLOUT : 0;
                fds.push_back({f->from, static_cast<short>(f->readDone ? 0 : POLLIN), 0});
                fds.push_back({f->to, out, 0});
                if (!f->queue.empty()) {
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                        f->queue.front().due - Clock::now());
                    wait = std::max(std::chrono::milliseconds(0), std::min(wait, left));
                }
            }
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(wait.count())) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = client >= 0 ? ConnectTarget(target) : -1;
            if (server < 0) {
                if (client >= 0) close(client);
            } else {
                Tune(client);
                Connection& c = connections.emplace_back();
                c.client = client;
                c.server = server;
                c.up.from = c.down.to = client;
                c.up.to = c.down.from = server;
            }
        }
        std::size_t i = 1;
        for (auto it = connections.begin(); it != connections.end();) {
            Connection& c = *it;
            bool alive = true;
            for (Flow* f : {&c.up, &c.down}) {
                // Only the connections polled above have entries.
                if (i < fds.size() && fds[i].fd == f->from &&
                    (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    ReadInto(*f, delay, kbit);
                i += 2;
                alive = WriteDue(*f) && alive;
            }
            if (!alive || (c.up.closed && c.down.closed)) {
                close(c.client);
                close(c.server);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Connection& c : connections) {
        close(c.client);
        close(c.server);
    }
    close(listener);
    return 0;
}
