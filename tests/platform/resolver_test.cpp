#include "platform/resolver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "recording_window.h"

namespace {

constexpr unsigned kLookupDone = 1025;
constexpr std::size_t kBuffer = 1024;

// A DNS server on 127.0.0.1 served from the message loop. Names it does not
// know get NXDOMAIN.
class StubDns : public plat::LoopSource {
public:
    enum class Kind { Addresses, NxDomain, ServFail, NoAnswer, Silent };
    struct Answer {
        Kind kind;
        std::vector<std::string> addresses;
    };

    StubDns() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        plat::AddLoopSource(this);
    }
    ~StubDns() override {
        plat::RemoveLoopSource(this);
        close(fd_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    void Set(const std::string& name, Answer answer) { answers_[name] = std::move(answer); }
    int queries = 0;

    void Collect(std::vector<pollfd>& fds, int&) override { fds.push_back({fd_, POLLIN, 0}); }
    void Dispatch(const pollfd*, std::size_t) override {
        unsigned char q[512];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        for (;;) {
            const ssize_t n =
                recvfrom(fd_, q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 12) return;
            ++queries;
            Answer(q, static_cast<std::size_t>(n), from);
        }
    }

private:
    void Answer(const unsigned char* q, std::size_t n, const sockaddr_in& to) {
        // The question: labels up to the zero byte, then type and class.
        std::size_t p = 12;
        std::string name;
        while (p < n && q[p] != 0) {
            const std::size_t len = q[p];
            if (!name.empty()) name += '.';
            for (std::size_t i = 1; i <= len && p + i < n; ++i)
                name += static_cast<char>(std::tolower(q[p + i]));
            p += len + 1;
        }
        const std::size_t questionEnd = p + 5;
        if (questionEnd > n) return;
        const bool typeA = q[p + 1] == 0 && q[p + 2] == 1;

        auto it = answers_.find(name);
        const struct Answer none {
            Kind::NxDomain, {}
        };
        const struct Answer& answer = it == answers_.end() ? none : it->second;
        if (answer.kind == Kind::Silent) return;

        std::vector<unsigned char> r(q, q + questionEnd);
        r[2] = 0x80 | (q[2] & 0x01);  // response, recursion desired as asked
        r[3] = 0x80;                  // recursion available
        if (answer.kind == Kind::NxDomain) r[3] |= 3;
        if (answer.kind == Kind::ServFail) r[3] |= 2;
        r[8] = r[9] = r[10] = r[11] = 0;  // no authority or additional records
        unsigned count = 0;
        if (answer.kind == Kind::Addresses && typeA) {
            for (const std::string& a : answer.addresses) {
                in_addr addr{};
                inet_pton(AF_INET, a.c_str(), &addr);
                const unsigned char rr[] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
                r.insert(r.end(), rr, rr + sizeof rr);
                const auto* b = reinterpret_cast<const unsigned char*>(&addr.s_addr);
                r.insert(r.end(), b, b + 4);
                ++count;
            }
        }
        r[6] = 0;
        r[7] = static_cast<unsigned char>(count);
        sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    int fd_ = -1;
    unsigned short port_ = 0;
    std::map<std::string, struct Answer> answers_;
};

// Counts the loop's wake-ups.
struct WakeCounter : plat::LoopSource {
    int wakes = 0;
    void Collect(std::vector<pollfd>&, int&) override {}
    void Dispatch(const pollfd*, std::size_t) override { ++wakes; }
};

std::vector<std::string> Addresses(const char* buffer, std::size_t length) {
    std::vector<std::string> out;
    std::uint32_t a;
    for (std::size_t i = 0; plat::LookupResultAddress(buffer, length, i, a); ++i) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, text, sizeof text);
        out.push_back(text);
    }
    return out;
}

class ResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        qivtest::ResetLoop();
        window_ = qivtest::NewWindow();
        stub_ = std::make_unique<StubDns>();
        ASSERT_TRUE(plat::SetResolverTimeoutForTests(2000, 2));
        ASSERT_TRUE(plat::SetResolverServersForTests(stub_->Address()));
        std::memset(buffer_, 0xAB, sizeof buffer_);
    }
    void TearDown() override {
        // Nothing may stay in flight for the next test's configuration.
        EXPECT_TRUE(plat::PumpUntil([] { return plat::LookupsInFlight() == 0; }, 20000));
        stub_.reset();
        plat::SetResolverServersForTests("");
        plat::SetResolverTimeoutForTests(0, 0);
    }

    std::vector<plat::Message> Completions() {
        return qivtest::Recorder::Get().For(window_, kLookupDone);
    }
    // Runs the loop until the one completion of handle arrives.
    bool Await(plat::TaskHandle handle, plat::Message& out, int boundMs = 10000) {
        auto done = [&] {
            for (const plat::Message& m : Completions())
                if (m.wParam == handle) return true;
            return false;
        };
        if (!plat::PumpUntil(done, boundMs)) return false;
        for (const plat::Message& m : Completions())
            if (m.wParam == handle) out = m;
        return true;
    }
    static int Error(const plat::Message& m) { return static_cast<int>((m.lParam >> 16) & 0xFFFF); }
    static int Length(const plat::Message& m) { return static_cast<int>(m.lParam & 0xFFFF); }

    plat::WindowHandle window_ = 0;
    std::unique_ptr<StubDns> stub_;
    char buffer_[kBuffer];
};

TEST_F(ResolverTest, HostsFileAndDottedAddressesNeedNoPacket) {
    const plat::TaskHandle h =
        plat::AsyncGetHostByName(window_, kLookupDone, "localhost", buffer_, kBuffer);
    ASSERT_NE(h, 0u);
    plat::Message m;
    ASSERT_TRUE(Await(h, m));
    EXPECT_EQ(Error(m), 0);
    EXPECT_EQ(Length(m), 4 + 20);  // the count, one entry: family and 16 bytes
    EXPECT_EQ(Addresses(buffer_, kBuffer), std::vector<std::string>{"127.0.0.1"});

    const plat::TaskHandle d =
        plat::AsyncGetHostByName(window_, kLookupDone, "192.0.2.7", buffer_, kBuffer);
    ASSERT_NE(d, 0u);
    ASSERT_TRUE(Await(d, m));
    EXPECT_EQ(Error(m), 0);
    EXPECT_EQ(Addresses(buffer_, kBuffer), std::vector<std::string>{"192.0.2.7"});
    EXPECT_EQ(stub_->queries, 0);
}

TEST_F(ResolverTest, SeveralAddressesKeepTheServersOrder) {
    stub_->Set("multi.test", {StubDns::Kind::Addresses, {"10.1.0.3", "10.1.0.1", "10.1.0.2"}});
    const plat::TaskHandle h =
        plat::AsyncGetHostByName(window_, kLookupDone, "multi.test", buffer_, kBuffer);
    ASSERT_NE(h, 0u);
    plat::Message m;
    ASSERT_TRUE(Await(h, m));
    EXPECT_EQ(m.window, window_);
    EXPECT_EQ(Error(m), 0);
    EXPECT_EQ(Length(m), 4 + 3 * 20);
    EXPECT_EQ(Addresses(buffer_, kBuffer),
              (std::vector<std::string>{"10.1.0.3", "10.1.0.1", "10.1.0.2"}));
    EXPECT_GE(stub_->queries, 1);

    // A buffer with room for two addresses gets the first two.
    char small[4 + 2 * 20 + 19];
    const plat::TaskHandle s =
        plat::AsyncGetHostByName(window_, kLookupDone, "multi.test", small, sizeof small);
    ASSERT_TRUE(Await(s, m));
    EXPECT_EQ(Error(m), 0);
    EXPECT_EQ(Length(m), 4 + 2 * 20);
    EXPECT_EQ(Addresses(small, sizeof small), (std::vector<std::string>{"10.1.0.3", "10.1.0.1"}));
}

TEST_F(ResolverTest, FailuresCarryWindowsSocketsNumbers) {
    stub_->Set("fail.test", {StubDns::Kind::ServFail, {}});
    stub_->Set("empty.test", {StubDns::Kind::NoAnswer, {}});
    const std::pair<const char*, int> cases[] = {
        {"nx.test", 11001}, {"fail.test", 11002}, {"empty.test", 11004}};
    for (const auto& [name, expected] : cases) {
        std::memset(buffer_, 0xAB, sizeof buffer_);
        const plat::TaskHandle h =
            plat::AsyncGetHostByName(window_, kLookupDone, name, buffer_, kBuffer);
        ASSERT_NE(h, 0u) << name;
        plat::Message m;
        ASSERT_TRUE(Await(h, m)) << name;
        EXPECT_EQ(Error(m), expected) << name;
        EXPECT_EQ(Length(m), 0) << name;
        EXPECT_EQ(static_cast<unsigned char>(buffer_[0]), 0xAB) << name;
    }
}

TEST_F(ResolverTest, CancelledLookupNeverReportsNorTouchesItsBuffer) {
    stub_->Set("multi.test", {StubDns::Kind::Addresses, {"10.1.0.1"}});
    stub_->Set("silent.test", {StubDns::Kind::Silent, {}});
    ASSERT_TRUE(plat::SetResolverTimeoutForTests(200, 1));
    ASSERT_TRUE(plat::SetResolverServersForTests(stub_->Address()));

    // The answer comes after the cancel; the buffer is gone by then.
    auto gone = std::make_unique<char[]>(kBuffer);
    const plat::TaskHandle answered =
        plat::AsyncGetHostByName(window_, kLookupDone, "multi.test", gone.get(), kBuffer);
    const plat::TaskHandle silent =
        plat::AsyncGetHostByName(window_, kLookupDone, "silent.test", buffer_, kBuffer);
    ASSERT_NE(answered, 0u);
    ASSERT_NE(silent, 0u);
    EXPECT_FALSE(plat::SetResolverServersForTests(stub_->Address()));  // busy
    EXPECT_EQ(plat::CancelAsyncRequest(answered), 0);
    EXPECT_EQ(plat::CancelAsyncRequest(silent), 0);
    gone.reset();
    EXPECT_EQ(plat::CancelAsyncRequest(answered), 10022);  // once only
    EXPECT_EQ(plat::LastLookupError(), 10022);

    // A third lookup completes normally after both were abandoned.
    const plat::TaskHandle after =
        plat::AsyncGetHostByName(window_, kLookupDone, "multi.test", buffer_ + 512, 512);
    plat::Message m;
    ASSERT_TRUE(Await(after, m));
    ASSERT_TRUE(plat::PumpUntil([] { return plat::LookupsInFlight() == 0; }, 20000));
    EXPECT_GE(stub_->queries, 3);
    ASSERT_EQ(Completions().size(), 1u);
    EXPECT_EQ(Completions()[0].wParam, after);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(static_cast<unsigned char>(buffer_[i]), 0xAB);
}

TEST_F(ResolverTest, CancelTakesBackACompletionStillQueued) {
    // A hosts-file name is answered within the call; its completion waits
    // in the queue.
    const plat::TaskHandle h =
        plat::AsyncGetHostByName(window_, kLookupDone, "localhost", buffer_, kBuffer);
    ASSERT_NE(h, 0u);
    ASSERT_EQ(plat::LookupsInFlight(), 0u);
    ASSERT_EQ(plat::QueuedMessageCount(), 1u);
    EXPECT_EQ(plat::CancelAsyncRequest(h), 0);
    EXPECT_EQ(plat::QueuedMessageCount(), 0u);
    EXPECT_EQ(plat::CancelAsyncRequest(h), 10022);
    EXPECT_EQ(plat::CancelAsyncRequest(987654321), 10022);
    EXPECT_TRUE(Completions().empty());
}

TEST_F(ResolverTest, HandlesAreNonzeroAndNeverReused) {
    stub_->Set("multi.test", {StubDns::Kind::Addresses, {"10.1.0.1"}});
    std::set<plat::TaskHandle> seen;
    std::vector<std::unique_ptr<char[]>> buffers;
    for (int round = 0; round < 3; ++round) {
        std::vector<plat::TaskHandle> batch;
        for (const char* name : {"localhost", "multi.test", "nx.test", "10.0.0.1"}) {
            buffers.push_back(std::make_unique<char[]>(kBuffer));
            const plat::TaskHandle h =
                plat::AsyncGetHostByName(window_, kLookupDone, name, buffers.back().get(), kBuffer);
            ASSERT_NE(h, 0u);
            EXPECT_TRUE(seen.insert(h).second) << h;
            batch.push_back(h);
        }
        plat::Message m;
        for (plat::TaskHandle h : batch) ASSERT_TRUE(Await(h, m));
    }
    // One completion per request.
    EXPECT_EQ(Completions().size(), seen.size());
}

TEST_F(ResolverTest, RefusesBadRequestsAtOnce) {
    EXPECT_EQ(plat::AsyncGetHostByName(window_, kLookupDone, nullptr, buffer_, kBuffer), 0u);
    EXPECT_EQ(plat::LastLookupError(), 10014);
    EXPECT_EQ(plat::AsyncGetHostByName(window_, kLookupDone, "localhost", buffer_, 3), 0u);
    EXPECT_EQ(plat::LastLookupError(), 10014);
    EXPECT_EQ(plat::AsyncGetHostByName(0, kLookupDone, "localhost", buffer_, kBuffer), 0u);
    EXPECT_EQ(plat::LastLookupError(), 10022);
    EXPECT_EQ(plat::LookupsInFlight(), 0u);
    std::uint32_t a;
    EXPECT_FALSE(plat::LookupResultAddress(buffer_, 2, 0, a));
}

TEST_F(ResolverTest, PendingLookupDoesNotSpinTheLoop) {
    stub_->Set("silent.test", {StubDns::Kind::Silent, {}});
    ASSERT_TRUE(plat::SetResolverTimeoutForTests(300, 1));
    ASSERT_TRUE(plat::SetResolverServersForTests(stub_->Address()));
    WakeCounter counter;
    plat::AddLoopSource(&counter);
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    const std::uint64_t start = plat::NowMs();

    const plat::TaskHandle h =
        plat::AsyncGetHostByName(window_, kLookupDone, "silent.test.", buffer_, kBuffer);
    ASSERT_NE(h, 0u);
    plat::Message m;
    const bool done = Await(h, m, 15000);
    const std::uint64_t elapsed = plat::NowMs() - start;
    getrusage(RUSAGE_SELF, &after);
    plat::RemoveLoopSource(&counter);

    ASSERT_TRUE(done);
    EXPECT_EQ(Error(m), 11002);
    EXPECT_GE(elapsed, 250u);
    const auto cpuMs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000L +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000L;
    };
    // The test's own loop wakes at least every 50 ms; a resolver that asked
    // for no wait would wake it thousands of times.
    EXPECT_LE(counter.wakes, static_cast<int>(elapsed / 25 + 10)) << elapsed << " ms";
    EXPECT_LE(cpuMs(after) - cpuMs(before), static_cast<long>(elapsed / 4 + 20));
}

}  // namespace
