// The host lookup and the connection manager, on real loopback connections
// and a stub DNS server.
#include "net/conn_mgr.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/callback_registry.h"
#include "net/event_window.h"
#include "net/host_lookup.h"
#include "net_support.h"
#include "platform/resolver.h"
#include "platform/wsa_errors.h"

namespace {

using nettest::Listener;
using nettest::RecordingStreamClient;
using nettest::WarningRecorder;

constexpr std::uint32_t kLoopback1 = 0x7F000001, kLoopback2 = 0x7F000002, kLoopback3 = 0x7F000003;

// Records each report with what it saw of the stream at that moment.
class RecordingConnectClient : public net::CConnectClient {
public:
    struct Report {
        std::uint32_t clientValue;
        net::ConnectResult result;
        net::CStreamClient* owner;
        std::uint32_t cookie;
        bool duringStart;
    };
    void ConnectCallback(std::uint32_t clientValue, net::ConnectResult result) override {
        reports.push_back({clientValue, result, stream->client, stream->clientCookie, inStart});
    }
    // Starts with the flag up, so that a report made from inside shows.
    bool StartOn(net::CConnMgr& mgr, const char* host, std::uint16_t port,
                 net::CStreamClient* owner, std::uint32_t cookie) {
        inStart = true;
        const bool rc = mgr.Start(host, port, stream, owner, cookie);
        inStart = false;
        return rc;
    }
    net::CStreamSocket* stream = nullptr;
    std::vector<Report> reports;
    bool inStart = false;
};

class ConnMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        nettest::EnsureNetworkLayer();
        ASSERT_TRUE(listener.ok());
        client.stream = &stream;
    }

    bool AwaitReport(std::size_t n = 1) {
        return plat::PumpUntil([&] { return client.reports.size() >= n; }, 10000);
    }

    // Checks the one report: its result, that it came from the loop, and
    // that the stream was handed over before it.
    void ExpectReport(net::ConnectResult result) {
        ASSERT_EQ(client.reports.size(), 1u);
        const auto& r = client.reports[0];
        EXPECT_EQ(r.clientValue, 17u);
        EXPECT_EQ(r.result, result);
        EXPECT_EQ(r.owner, &owner);
        EXPECT_EQ(r.cookie, 0xC00C1Eu);
        EXPECT_FALSE(r.duringStart);
        EXPECT_TRUE(mgr.IsIdle());
        if (result != net::ConnectResult::Connected) {
            EXPECT_EQ(stream.State(), net::SocketState::Closed);
            EXPECT_EQ(stream.Handle(), plat::kInvalidSocket);
        }
    }

    bool Start(const char* host, std::uint16_t port) {
        return client.StartOn(mgr, host, port, &owner, 0xC00C1E);
    }

    Listener listener;
    net::CStreamSocket stream;
    RecordingStreamClient owner;
    RecordingConnectClient client;
    net::CConnMgr mgr{&client, 17};
};

TEST_F(ConnMgrTest, DottedAddressConnectsWithoutLookup) {
    ASSERT_TRUE(Start("127.0.0.1", listener.port()));
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Idle);
    EXPECT_EQ(stream.client, static_cast<net::CStreamClient*>(&mgr));
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Connected);
    EXPECT_EQ(mgr.lastError, 0);
    EXPECT_EQ(stream.State(), net::SocketState::Connected);
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Idle);

    // The owner hears the connection from now on.
    int peer = -1;
    ASSERT_TRUE(plat::PumpUntil([&] { return (peer = listener.Accept()) >= 0; }, 5000));
    ASSERT_EQ(::write(peer, "200 ready\r\n", 11), 11);
    EXPECT_TRUE(
        plat::PumpUntil([&] { return owner.Count(net::StreamEvent::Readable) == 1; }, 5000));
    EXPECT_EQ(owner.events[0].cookie, 0xC00C1Eu);
    ::close(peer);
}

TEST_F(ConnMgrTest, NameFromHostsFileConnects) {
    ASSERT_TRUE(Start("localhost", listener.port()));
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Pending);
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Connected);
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Complete);
}

TEST_F(ConnMgrTest, RefusedConnectionFailsFromTheLoop) {
    nettest::RefusingPort refusing;
    ASSERT_TRUE(Start("127.0.0.1", refusing.port()));
    EXPECT_TRUE(client.reports.empty());
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Failed);
    EXPECT_EQ(mgr.lastError, plat::wsa::ConnectionRefused);
}

TEST_F(ConnMgrTest, StartWhileBusyIsRefusedAndCancelReports) {
    mgr.Cancel(true);  // idle: nothing happens
    EXPECT_TRUE(client.reports.empty());

    ASSERT_TRUE(Start("127.0.0.1", listener.port()));
    net::CStreamSocket other;
    EXPECT_FALSE(mgr.Start("127.0.0.1", listener.port(), &other, &owner, 1));
    EXPECT_EQ(other.client, nullptr);
    mgr.Cancel(true);
    ASSERT_EQ(client.reports.size(), 1u);
    EXPECT_EQ(client.reports[0].result, net::ConnectResult::Cancelled);
    EXPECT_EQ(client.reports[0].owner, &owner);
    EXPECT_TRUE(mgr.IsIdle());
    EXPECT_EQ(stream.State(), net::SocketState::Closed);
    nettest::Settle();  // the abandoned attempt's events are gone with its socket
    EXPECT_EQ(client.reports.size(), 1u);
    EXPECT_TRUE(owner.events.empty());
}

TEST_F(ConnMgrTest, SilentCancelDropsACompletionAlreadyPosted) {
    // The hosts file answers inside the request, so the completion waits in
    // the queue when the cancel comes.
    ASSERT_TRUE(Start("localhost", listener.port()));
    ASSERT_GT(plat::QueuedMessageCount(), 0u);
    const int entries = net::CallbackRegistry().Count();
    mgr.Cancel(false);
    EXPECT_EQ(net::CallbackRegistry().Count(), entries - 1);
    EXPECT_TRUE(mgr.IsIdle());
    EXPECT_EQ(stream.client, &owner);
    EXPECT_EQ(stream.clientCookie, 0xC00C1Eu);
    nettest::Settle();
    EXPECT_TRUE(client.reports.empty());
    EXPECT_TRUE(owner.events.empty());

    // The manager is free for the next attempt.
    ASSERT_TRUE(Start("localhost", listener.port()));
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Connected);
}

TEST_F(ConnMgrTest, ReportingCancelDropsACompletionAlreadyPosted) {
    // The hosts file answers inside the request: the completion is queued.
    ASSERT_TRUE(Start("localhost", listener.port()));
    ASSERT_GT(plat::QueuedMessageCount(), 0u);
    const int entries = net::CallbackRegistry().Count();
    mgr.Cancel(true);
    // Reported from inside Cancel, with the stream handed back.
    ASSERT_EQ(client.reports.size(), 1u);
    EXPECT_EQ(client.reports[0].clientValue, 17u);
    EXPECT_EQ(client.reports[0].result, net::ConnectResult::Cancelled);
    EXPECT_EQ(client.reports[0].owner, &owner);
    EXPECT_EQ(client.reports[0].cookie, 0xC00C1Eu);
    EXPECT_EQ(net::CallbackRegistry().Count(), entries - 1);
    EXPECT_TRUE(mgr.IsIdle());
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Idle);
    nettest::Settle();
    EXPECT_EQ(client.reports.size(), 1u);
    EXPECT_TRUE(owner.events.empty());
    EXPECT_LT(listener.Accept(), 0);  // nothing connected on the dropped answer
}

TEST_F(ConnMgrTest, AttemptThatEndsInsideStartIsReportedFromTheLoop) {
    // No descriptor to be had: the stream's socket cannot be made, so the
    // attempt on a dotted address ends inside Start.
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' own checks need descriptors (a pipe to probe memory),
    // so with none left they report false errors; the plain build runs it.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest = ::dup(0);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const bool rc = Start("127.0.0.1", listener.port());
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(rc);
    EXPECT_TRUE(client.reports.empty());
    EXPECT_FALSE(mgr.IsIdle());
    EXPECT_FALSE(mgr.Start("127.0.0.1", listener.port(), &stream, &owner, 0));
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Failed);
    EXPECT_EQ(mgr.lastError, plat::wsa::TooManyOpen);
}

TEST_F(ConnMgrTest, LookupThatCannotStartIsReportedFromTheLoopUnlessCancelled) {
    // A lookup without a result buffer cannot be issued.
    nettest::failNothrowAllocations = true;
    auto starved = std::make_unique<net::CConnMgr>(&client, 17);
    nettest::failNothrowAllocations = false;

    ASSERT_TRUE(client.StartOn(*starved, "news.qiv.test", 119, &owner, 0xC00C1E));
    EXPECT_TRUE(client.reports.empty());
    ASSERT_TRUE(AwaitReport());
    ASSERT_EQ(client.reports.size(), 1u);
    EXPECT_EQ(client.reports[0].result, net::ConnectResult::Failed);
    EXPECT_FALSE(client.reports[0].duringStart);
    EXPECT_EQ(client.reports[0].owner, &owner);
    EXPECT_EQ(starved->lastError, plat::wsa::NoBuffers);

    // A silent cancel drops the pending report; a loud one reports Cancelled
    // once, and the report already queued never follows it.
    ASSERT_TRUE(client.StartOn(*starved, "news.qiv.test", 119, &owner, 5));
    ASSERT_GT(plat::QueuedMessageCount(), 0u);
    starved->Cancel(false);
    EXPECT_TRUE(starved->IsIdle());
    EXPECT_EQ(stream.clientCookie, 5u);
    ASSERT_TRUE(client.StartOn(*starved, "news.qiv.test", 119, &owner, 6));
    starved->Cancel(true);
    nettest::Settle();
    ASSERT_EQ(client.reports.size(), 2u);
    EXPECT_EQ(client.reports[1].result, net::ConnectResult::Cancelled);
    EXPECT_EQ(client.reports[1].cookie, 6u);
    EXPECT_TRUE(starved->IsIdle());
}

TEST_F(ConnMgrTest, UnexpectedStreamEventEndsTheAttempt) {
    for (const auto& [event, error, expected] :
         {std::tuple{plat::EvRead, 0, plat::wsa::ConnectionAborted},
          std::tuple{plat::EvClose, plat::wsa::ConnectionReset, plat::wsa::ConnectionReset}}) {
        client.reports.clear();
        WarningRecorder warnings;
        ASSERT_TRUE(Start("127.0.0.1", listener.port()));
        plat::SendMessage(net::GetEventWindow(), net::EVENT_MSG_SOCKET, stream.Handle(),
                          plat::MakeSelectLParam(event, error));
        EXPECT_EQ(warnings.texts,
                  std::vector<std::string>{"Unexpected socket event in CConnMgr::StreamCallback"});
        ExpectReport(net::ConnectResult::Failed);
        EXPECT_EQ(mgr.lastError, expected);
        nettest::Settle();
        EXPECT_EQ(client.reports.size(), 1u);
        EXPECT_TRUE(owner.events.empty());
    }
}

TEST_F(ConnMgrTest, CancelFromInsideTheWarningBoxReportsOnce) {
    // The warning box dispatches messages while open; a cancel made then
    // decides the outcome and the attempt ends once.
    WarningRecorder warnings;
    net::SetWarningSink([&](const char*) { mgr.Cancel(true); });
    ASSERT_TRUE(Start("127.0.0.1", listener.port()));
    plat::SendMessage(net::GetEventWindow(), net::EVENT_MSG_SOCKET, stream.Handle(),
                      plat::MakeSelectLParam(plat::EvRead, 0));
    ExpectReport(net::ConnectResult::Cancelled);
}

// Lookups that go to the stub DNS server.
class ConnMgrDnsTest : public ConnMgrTest {
protected:
    void SetUp() override {
        ConnMgrTest::SetUp();
        ASSERT_TRUE(dns.ok());
        dns.Answer("three.qiv.test", {kLoopback2, kLoopback3, kLoopback1});
        dns.Silent("silent.qiv.test");
        redirect = std::make_unique<nettest::ResolverRedirect>(dns);
        ASSERT_TRUE(redirect->ok);
    }
    void TearDown() override { redirect.reset(); }

    // Runs the loop until a report comes. Each time the manager has begun a
    // connection attempt, the next scripted outcome is delivered for it at
    // once, before the loop can deliver the real one; with the script used
    // up, attempts take their real course. Returns the outcomes used.
    std::size_t RunScripted(const std::vector<int>& outcomes) {
        std::size_t next = 0;
        const std::uint64_t deadline = plat::NowMs() + 10000;
        while (client.reports.empty() && plat::NowMs() < deadline) {
            if (next < outcomes.size() && stream.State() != net::SocketState::Closed) {
                plat::SendMessage(net::GetEventWindow(), net::EVENT_MSG_SOCKET, stream.Handle(),
                                  plat::MakeSelectLParam(plat::EvConnect, outcomes[next++]));
                continue;
            }
            plat::Message m;
            if (plat::PeekMessage(m)) {
                plat::DispatchMessage(m);
            } else {
                plat::PollSources(50);
            }
        }
        return next;
    }

    nettest::StubDns dns;
    std::unique_ptr<nettest::ResolverRedirect> redirect;
};

TEST_F(ConnMgrDnsTest, UnreachableAndTimedOutAddressesAreSkipped) {
    ASSERT_TRUE(Start("three.qiv.test", listener.port()));
    EXPECT_EQ(RunScripted({plat::wsa::TimedOut, plat::wsa::NetworkUnreachable}), 2u);
    ExpectReport(net::ConnectResult::Connected);
    EXPECT_EQ(mgr.lastError, 0);
    // Only the third address has a listener.
    int peer = -1;
    EXPECT_TRUE(plat::PumpUntil([&] { return (peer = listener.Accept()) >= 0; }, 5000));
    if (peer >= 0) ::close(peer);
}

// IPv6: literals (bare or in brackets) need no lookup; a name's IPv6 and
// IPv4 addresses are tried in the resolver's order.
TEST_F(ConnMgrDnsTest, IPv6LiteralsAndNamesConnect) {
    Listener six("::1");
    ASSERT_TRUE(six.ok()) << "no IPv6 loopback";
    dns.Answer6("dual.qiv.test", {"::1"});
    dns.Answer("dual.qiv.test", {kLoopback1});
    for (const char* host : {"::1", "[::1]", "dual.qiv.test"}) {
        SCOPED_TRACE(host);
        client.reports.clear();
        const int queriesBefore = dns.queries;
        ASSERT_TRUE(Start(host, six.port()));
        ASSERT_TRUE(AwaitReport());
        ExpectReport(net::ConnectResult::Connected);
        const int peer = six.Accept();
        EXPECT_GE(peer, 0) << "connected over IPv6";
        if (peer >= 0) ::close(peer);
        EXPECT_EQ(dns.queries > queriesBefore, host[0] == 'd');
        stream.Close();
    }
    // Nothing listens on ::1 at the IPv4 listener's port: refused there,
    // which ends the attempt as a refusal always does.
    client.reports.clear();
    ASSERT_TRUE(Start("dual.qiv.test", listener.port()));
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Failed);
    EXPECT_EQ(mgr.lastError, plat::wsa::ConnectionRefused);
}

TEST_F(ConnMgrDnsTest, OtherErrorsAndTheEndOfTheListFail) {
    struct Case {
        const char* host;
        std::vector<int> script;
        std::size_t used;
        int error;
    };
    const Case cases[] = {
        {"three.qiv.test", {plat::wsa::ConnectionRefused}, 1, plat::wsa::ConnectionRefused},
        {"three.qiv.test", {plat::wsa::HostUnreachable}, 1, plat::wsa::HostUnreachable},
        {"three.qiv.test",
         {plat::wsa::TimedOut, plat::wsa::TimedOut, plat::wsa::TimedOut},
         3,
         plat::wsa::TimedOut},
        {"127.0.0.1", {plat::wsa::TimedOut}, 1, plat::wsa::TimedOut},  // never retried
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host + std::string(" ") + std::to_string(c.script[0]));
        client.reports.clear();
        ASSERT_TRUE(Start(c.host, listener.port()));
        // A spare outcome would be used if the manager went on.
        std::vector<int> script = c.script;
        script.push_back(plat::wsa::TimedOut);
        EXPECT_EQ(RunScripted(script), c.used);
        ExpectReport(net::ConnectResult::Failed);
        EXPECT_EQ(mgr.lastError, c.error);
    }
}

TEST_F(ConnMgrDnsTest, FailedLookupAndEmptyAnswerFail) {
    ASSERT_TRUE(Start("unknown.qiv.test", listener.port()));
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Failed);
    EXPECT_EQ(mgr.lastError, plat::wsa::HostNotFound);

    // A lookup reported as done without any address: warned about, then failed.
    client.reports.clear();
    WarningRecorder warnings;
    ASSERT_TRUE(Start("silent.qiv.test", listener.port()));
    plat::SendMessage(net::GetEventWindow(), net::EVENT_MSG_HOST_LOOKUP, mgr.Lookup().Handle(), 0);
    EXPECT_EQ(
        warnings.texts,
        std::vector<std::string>{"Can't access address following lookup in CConnMgr::AwaitLookup"});
    ExpectReport(net::ConnectResult::Failed);
    EXPECT_EQ(mgr.lastError, plat::wsa::NoData);
}

TEST_F(ConnMgrDnsTest, SilentCancelDuringLookupTellsNobody) {
    ASSERT_TRUE(Start("silent.qiv.test", listener.port()));
    ASSERT_TRUE(plat::PumpUntil([&] { return dns.queries > 0; }, 5000));
    mgr.Cancel(false);
    EXPECT_TRUE(mgr.IsIdle());
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Idle);
    EXPECT_EQ(stream.client, &owner);
    // Until the resolver gives the query up, and after.
    ASSERT_TRUE(plat::PumpUntil([] { return plat::LookupsInFlight() == 0; }, 5000));
    nettest::Settle();
    EXPECT_TRUE(client.reports.empty());
}

TEST_F(ConnMgrDnsTest, ReportingCancelDuringLookupReportsOnceAndDropsTheLateAnswer) {
    dns.Answer("late.qiv.test", {kLoopback1});  // the listener's address
    ASSERT_TRUE(Start("late.qiv.test", listener.port()));
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Pending);
    const int queriesBefore = dns.queries;
    const int entries = net::CallbackRegistry().Count();
    mgr.Cancel(true);  // the stub has not answered: it only does so from the loop
    ASSERT_EQ(client.reports.size(), 1u);
    EXPECT_EQ(client.reports[0].clientValue, 17u);
    EXPECT_EQ(client.reports[0].result, net::ConnectResult::Cancelled);
    EXPECT_EQ(client.reports[0].owner, &owner);
    EXPECT_EQ(client.reports[0].cookie, 0xC00C1Eu);
    EXPECT_FALSE(client.reports[0].duringStart);
    EXPECT_TRUE(mgr.IsIdle());
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Idle);
    EXPECT_EQ(net::CallbackRegistry().Count(), entries - 1);
    EXPECT_EQ(stream.State(), net::SocketState::Closed);

    // The stub answers now and the resolver finishes the abandoned query.
    ASSERT_TRUE(plat::PumpUntil(
        [&] { return dns.queries > queriesBefore && plat::LookupsInFlight() == 0; }, 5000));
    nettest::Settle();
    EXPECT_EQ(client.reports.size(), 1u);
    EXPECT_TRUE(owner.events.empty());
    EXPECT_EQ(mgr.Lookup().State(), net::RequestState::Idle);
    EXPECT_LT(listener.Accept(), 0);

    // The manager and its lookup are free for the next attempt.
    client.reports.clear();
    ASSERT_TRUE(Start("late.qiv.test", listener.port()));
    ASSERT_TRUE(AwaitReport());
    ExpectReport(net::ConnectResult::Connected);
    int peer = -1;
    EXPECT_TRUE(plat::PumpUntil([&] { return (peer = listener.Accept()) >= 0; }, 5000));
    if (peer >= 0) ::close(peer);
}

class LookupClient : public net::CLookupClient {
public:
    void LookupCallback(std::uint32_t value, int error) override {
        calls.push_back({value, error});
    }
    std::vector<std::pair<std::uint32_t, int>> calls;
};

TEST_F(ConnMgrDnsTest, LookupHandsOutAddressesInOrder) {
    net::CHostLookup lookup;
    LookupClient waiter;
    net::CInetAddress a;
    bool found = true;
    lookup.FirstAddress(a, found);  // nothing resolved yet
    EXPECT_FALSE(found);
    EXPECT_EQ(lookup.Cancel(), 2);
    EXPECT_EQ(lookup.lastError, 2);

    lookup.hostName = "three.qiv.test";
    ASSERT_EQ(lookup.Start(&waiter, 99), 0);
    EXPECT_EQ(lookup.Start(&waiter, 98), 1);
    EXPECT_EQ(lookup.lastError, 1);
    ASSERT_TRUE(plat::PumpUntil([&] { return !waiter.calls.empty(); }, 5000));
    ASSERT_EQ(waiter.calls.size(), 1u);
    EXPECT_EQ(waiter.calls[0], (std::pair<std::uint32_t, int>{99, 0}));
    EXPECT_EQ(lookup.State(), net::RequestState::Complete);

    std::vector<std::uint32_t> seen;
    for (lookup.FirstAddress(a, found); found; lookup.NextAddress(a, found)) {
        EXPECT_EQ(a.family, 2);
        EXPECT_EQ(a.port, 0);
        seen.push_back(ntohl(a.address));
    }
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{kLoopback2, kLoopback3, kLoopback1}));
    EXPECT_EQ(a.address, 0u);
    lookup.FirstAddress(a, found);  // starts over
    EXPECT_TRUE(found);
    EXPECT_EQ(ntohl(a.address), kLoopback2);

    lookup.hostName = "unknown.qiv.test";
    ASSERT_EQ(lookup.Start(&waiter, 7), 0);
    ASSERT_TRUE(plat::PumpUntil([&] { return waiter.calls.size() == 2; }, 5000));
    EXPECT_EQ(waiter.calls[1], (std::pair<std::uint32_t, int>{7, plat::wsa::HostNotFound}));
    EXPECT_EQ(lookup.State(), net::RequestState::Idle);
    lookup.FirstAddress(a, found);
    EXPECT_FALSE(found);
}

}  // namespace
