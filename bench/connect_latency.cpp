// Loop time of a host lookup and of a connection through CConnMgr, and the
// loop's behaviour while a lookup waits for a server that does not answer.
//
//   bench_connect_latency [attempts]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/conn_mgr.h"
#include "net/event_window.h"
#include "net/host_lookup.h"
#include "platform/message_loop.h"
#include "platform/resolver.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double CpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

int Bound(int type, std::uint16_t& port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

class Waiter : public net::CLookupClient, public net::CConnectClient {
public:
    void LookupCallback(std::uint32_t, int e) override {
        done = true;
        error = e;
    }
    void ConnectCallback(std::uint32_t, net::ConnectResult r) override {
        done = true;
        result = r;
    }
    bool done = false;
    int error = 0;
    net::ConnectResult result = net::ConnectResult::None;
};

class Owner : public net::CStreamClient {
public:
    void StreamCallback(std::uint32_t, net::StreamEvent, int, const void*) override {}
};

// Counts the loop's polls.
class PollCounter : public plat::LoopSource {
public:
    void Collect(std::vector<pollfd>&, int&) override {}
    void Dispatch(const pollfd*, std::size_t) override { ++polls; }
    long polls = 0;
};

void Report(const char* what, std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us) sum += v;
    std::printf("%-34s mean %7.1f  median %7.1f  p99 %7.1f us\n", what,
                sum / static_cast<double>(us.size()), us[us.size() / 2], us[us.size() * 99 / 100]);
}

bool stopLoop = false;
plat::LResult StopProc(plat::WindowHandle w, unsigned m, plat::WParam wp, plat::LParam lp) {
    if (m == plat::msg::Timer) {
        stopLoop = true;
        return 0;
    }
    return plat::DefWindowProc(w, m, wp, lp);
}

}  // namespace

int main(int argc, char** argv) {
    const int attempts = argc > 1 ? std::atoi(argv[1]) : 500;
    if (!net::InitNetworkLayer(false)) return 1;
    std::uint16_t port = 0;
    const int listenFd = Bound(SOCK_STREAM, port);
    if (listenFd < 0 || ::listen(listenFd, 64) != 0) return 1;

    // Lookups of localhost (the hosts file, through c-ares), warm.
    std::vector<double> lookupUs;
    net::CHostLookup lookup;
    lookup.hostName = "localhost";
    for (int i = 0; i < attempts + 20; ++i) {
        Waiter w;
        const auto t0 = Clock::now();
        if (lookup.Start(&w, 0) != 0 || !plat::PumpUntil([&] { return w.done; }) || w.error) {
            std::fprintf(stderr, "lookup failed\n");
            return 1;
        }
        if (i >= 20) lookupUs.push_back(Micros(t0, Clock::now()));
    }

    // Lookup and connection through the manager, to a loopback listener.
    std::vector<double> connectUs, dottedUs;
    for (const char* host : {"localhost", "127.0.0.1"}) {
        for (int i = 0; i < attempts + 20; ++i) {
            Waiter w;
            Owner owner;
            net::CStreamSocket stream;
            net::CConnMgr mgr(&w, 0);
            const auto t0 = Clock::now();
            mgr.Start(host, port, &stream, &owner, 0);
            if (!plat::PumpUntil([&] { return w.done; }) ||
                w.result != net::ConnectResult::Connected) {
                std::fprintf(stderr, "connect to %s failed\n", host);
                return 1;
            }
            const auto t1 = Clock::now();
            if (i >= 20) (host[0] == 'l' ? connectUs : dottedUs).push_back(Micros(t0, t1));
            stream.Close();
            const int peer = ::accept(listenFd, nullptr, nullptr);
            if (peer >= 0) ::close(peer);
        }
    }
    Report("lookup of localhost:", lookupUs);
    Report("lookup + connect (localhost):", connectUs);
    Report("connect (127.0.0.1):", dottedUs);

    // A lookup that waits on a server that never answers: the loop should
    // sleep in poll, not spin, until something is due.
    std::uint16_t dnsPort = 0;
    const int dnsFd = Bound(SOCK_DGRAM, dnsPort);
    const int waitMs = 500;
    if (dnsFd < 0 || !plat::SetResolverTimeoutForTests(2000, 1) ||
        !plat::SetResolverServersForTests("127.0.0.1:" + std::to_string(dnsPort))) {
        std::fprintf(stderr, "could not point the resolver at the silent server\n");
        return 1;
    }
    plat::RegisterWindowClass("BenchStop", StopProc);
    const plat::WindowHandle stopper = plat::CreateWindow("BenchStop");
    PollCounter counter;
    plat::AddLoopSource(&counter);
    Waiter pending;
    net::CHostLookup silent;
    silent.hostName = "pending.qiv.test";
    silent.Start(&pending, 0);
    plat::SetTimer(stopper, 1, waitMs);
    const double cpu0 = CpuMs();
    const auto t0 = Clock::now();
    plat::Message m;
    while (!stopLoop && plat::GetMessage(m)) plat::DispatchMessage(m);
    const double wallMs = Micros(t0, Clock::now()) / 1e3;
    const double cpuMs = CpuMs() - cpu0;
    plat::KillTimer(stopper, 1);
    plat::RemoveLoopSource(&counter);
    std::printf("pending lookup: %.0f ms of loop, %ld polls, %.2f ms CPU, answered: %s\n", wallMs,
                counter.polls, cpuMs, pending.done ? "yes" : "no");
    silent.Cancel();
    plat::PumpUntil([] { return plat::LookupsInFlight() == 0; }, 5000);
    plat::SetResolverServersForTests("");
    plat::SetResolverTimeoutForTests(0, 0);
    ::close(dnsFd);
    ::close(listenFd);
    return 0;
}
