// Time of one command/reply exchange through CStreamSocket and the message
// loop, against a local server that answers in two writes, the status line
// and then the body (at once as a separate write, or after a short pause),
// and keeps Nagle's algorithm on as INN does: its second write waits until
// the first is acknowledged. Beside it, the same exchange through a plain
// socket that does not re-arm TCP_QUICKACK after each receive, which is
// what the stream socket does to keep that acknowledgement from being
// delayed.
//
//   bench_stream_exchange [exchanges]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/event_window.h"
#include "net/stream_socket.h"
#include "platform/message_loop.h"
#include "platform/wsa_errors.h"

namespace {

constexpr char kBody[] =
    "From: someone@example.test\r\nSubject: bench\r\n\r\nA short article body.\r\n.\r\n";

// The server: one connection, one reply per command line; its own thread,
// blocking calls.
void Serve(int listenFd, int pauseUs) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find("\r\n")) != std::string::npos) {
            pending.erase(0, eol + 2);
            const char status[] = "220 1 <1@bench.test> article\r\n";
            if (::send(fd, status, sizeof status - 1, MSG_NOSIGNAL) < 0) break;
            if (pauseUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
            if (::send(fd, kBody, sizeof kBody - 1, MSG_NOSIGNAL) < 0) break;
        }
    }
    ::close(fd);
}

class Client : public net::CStreamClient {
public:
    explicit Client(net::CStreamSocket& s) : socket(s) {}
    void StreamCallback(std::uint32_t, net::StreamEvent kind, int error, const void*) override {
        if (kind == net::StreamEvent::ConnectDone) connected = error == 0 ? 1 : -1;
        if (kind != net::StreamEvent::Readable) return;
        for (;;) {
            char buffer[2048];
            int length = sizeof buffer;
            if (socket.Receive(buffer, length) != 0 || length == 0) break;
            received.append(buffer, static_cast<std::size_t>(length));
        }
    }
    net::CStreamSocket& socket;
    std::string received;
    int connected = 0;
};

// The same exchange through a blocking socket with TCP_NODELAY but without
// the quick-acknowledgement re-arm.
bool RunPlain(std::uint16_t port, std::size_t replySize, int exchanges, std::vector<double>& us) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    const char command[] = "ARTICLE 1\r\n";
    char buffer[4096];
    for (int i = 0; ok && i < exchanges; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        ok = ::send(fd, command, sizeof command - 1, MSG_NOSIGNAL) > 0;
        std::size_t got = 0;
        while (ok && got < replySize) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            ok = n > 0;
            if (ok) got += static_cast<std::size_t>(n);
        }
        const auto t1 = std::chrono::steady_clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    ::close(fd);
    return ok;
}

struct Stats {
    double mean, median, p99, max;
    int slow;  // over a millisecond
};

Stats Summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    const int slow =
        static_cast<int>(std::count_if(us.begin(), us.end(), [](double v) { return v > 1000; }));
    return {sum / static_cast<double>(us.size()), us[us.size() / 2], us[us.size() * 99 / 100],
            us.back(), slow};
}

bool Run(int pauseUs, int exchanges, bool plain, Stats& out) {
    const int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd, 4) != 0 ||
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return false;
    }
    std::thread server(Serve, listenFd, pauseUs);
    const std::size_t replySize = sizeof "220 1 <1@bench.test> article\r\n" - 1 + sizeof kBody - 1;
    if (plain) {
        std::vector<double> us;
        const bool ok = RunPlain(ntohs(a.sin_port), replySize, exchanges, us);
        server.join();
        ::close(listenFd);
        if (!ok || us.empty()) return false;
        out = Summarise(us);
        return true;
    }

    net::CStreamSocket socket;
    Client client(socket);
    socket.client = &client;
    net::CInetAddress address;
    address.Set(ntohs(a.sin_port), INADDR_LOOPBACK);
    const int rc = socket.Connect(address);
    bool ok = (rc == 0 || rc == plat::wsa::WouldBlock) &&
              plat::PumpUntil([&] { return client.connected != 0; }) && client.connected == 1;

    const char command[] = "ARTICLE 1\r\n";
    std::vector<double> us;
    const int warmup = 50;
    for (int i = 0; ok && i < warmup + exchanges; ++i) {
        client.received.clear();
        const auto t0 = std::chrono::steady_clock::now();
        ok = socket.Send(command, sizeof command - 1) == 0 &&
             plat::PumpUntil([&] { return client.received.size() >= replySize; });
        const auto t1 = std::chrono::steady_clock::now();
        if (i >= warmup) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    socket.Close();
    server.join();
    ::close(listenFd);
    if (!ok || us.empty()) return false;
    out = Summarise(us);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int exchanges = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (!net::InitNetworkLayer(false)) {
        std::fprintf(stderr, "network layer did not start\n");
        return 1;
    }
    std::printf("%d exchanges per case, microseconds per exchange\n", exchanges);
    for (int pauseUs : {0, 200, 2000}) {
        Stats s{};
        if (!Run(pauseUs, exchanges, false, s)) {
            std::fprintf(stderr, "exchange failed (pause %d us)\n", pauseUs);
            return 1;
        }
        std::printf("body %-22s mean %8.1f  median %8.1f  p99 %8.1f  max %8.1f  over 1 ms: %d\n",
                    pauseUs == 0     ? "as a second write:"
                    : pauseUs == 200 ? "after 200 us:"
                                     : "after 2000 us:",
                    s.mean, s.median, s.p99, s.max, s.slow);
    }
    // Each exchange may wait for a delayed acknowledgement here, so fewer.
    const int plainExchanges = std::min(exchanges, 50);
    Stats s{};
    if (!Run(0, plainExchanges, true, s)) {
        std::fprintf(stderr, "plain exchange failed\n");
        return 1;
    }
    std::printf(
        "without the re-arm (%d):  mean %8.1f  median %8.1f  p99 %8.1f  max %8.1f  over 1 ms: "
        "%d\n",
        plainExchanges, s.mean, s.median, s.p99, s.max, s.slow);
    return 0;
}
