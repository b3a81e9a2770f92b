// Connecting, logging in, the group list and disconnecting, with the exact
// log of each and the state of connected, appIdle and the menu.
#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/cycles.h"
#include "cycle_support.h"
#include "nntp/nntp_session.h"
#include "platform/profile.h"

namespace apptest {
namespace {

using app::App;
using testsrv::Fault;

class ConnectTest : public CycleTest {
protected:
    void Login(const char* user, const char* password) {
        server_.SetAccounts({{"joe", "secret"}});
        server_.AddGroup(MakeGroup("alt.a", 1, 1));
        Subscribe(1, "alt.a");
        const std::string u = std::string("QivNewsUsername=") + user;
        const std::string p = std::string("QivNewsPassword=") + password;
        Configure({"UserVerification=yes", u.c_str(), p.c_str()});
    }
};

TEST_F(ConnectTest, LoginAcceptedThenTheFetchCycle) {
    Login("joe", "secret");
    server_.AddFault(Fault::Delay("AUTHINFO USER", 300, 1));
    Command(app::IDM_CONNECT);
    EXPECT_FALSE(Cycle().appIdle) << "waiting for the connection";
    EXPECT_FALSE(Cycle().connected);
    EXPECT_FALSE(ui_->MenuItemGrayed(app::IDM_CONNECT));
    // AUTHINFO USER in progress: connected, no network command accepted.
    ASSERT_TRUE(Pump([&] { return !ServerCommands("AUTHINFO USER").empty(); }));
    EXPECT_TRUE(Cycle().connected);
    EXPECT_FALSE(Cycle().appIdle);
    EXPECT_TRUE(ui_->MenuItemGrayed(app::IDM_CONNECT));
    EXPECT_FALSE(ui_->MenuItemGrayed(app::IDM_DISCONNECT));
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(Log(),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Sending username",
                  "381 password required", "Sending password", "281 authentication accepted",
                  "Getting messages from alt.a", "Finished getting messages", "Posting Messages",
                  "Can't open index file", "Disconnecting from Server", "Server disconnected"}));
    ASSERT_GE(server_.Commands().size(), 3u);
    EXPECT_EQ(server_.Commands()[0], "MODE READER");
    EXPECT_EQ(server_.Commands()[1], "AUTHINFO USER joe");
    EXPECT_EQ(server_.Commands()[2], "AUTHINFO PASS secret");
    ExpectDisconnectedState();
}

TEST_F(ConnectTest, RejectedUserStillSendsThePasswordRejectedPasswordDisconnects) {
    server_.SetAuthReplies("481 no such user", "281 authentication accepted",
                           "481 authentication failed");
    Login("nobody", "secret");
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Connecting to server", "Server connected", "Sending username",
                         "481 no such user", "Sending password", "481 authentication failed",
                         "Disconnecting from Server", "Server disconnected"}));
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_TRUE(Cycle().report.authRejected);
    ExpectDisconnectedState();
}

TEST_F(ConnectTest, RejectedPasswordDisconnectsBeforeAnyGroup) {
    Login("joe", "wrong");
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogFrom("Sending password"),
              (std::vector<std::string>{"Sending password", "481 authentication failed",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_TRUE(Cycle().report.authRejected);
}

TEST_F(ConnectTest, CredentialsAreReadFromTheFileWhenSentAndNeverCut) {
    Login("someone", "else");
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "QivNewsUsername", "joe", "qiv.ini"));
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "QivNewsPassword", "secret", "qiv.ini"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("281 authentication accepted"), 1);

    // A name longer than the login command takes is not shortened into
    // another one: it is not sent at all.
    ASSERT_TRUE(
        plat::WriteProfileString("QIVNEWS", "QivNewsUsername", std::string(30, 'j'), "qiv.ini"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("AUTHINFO USER").size(), 1u);
    EXPECT_TRUE(Cycle().report.authRejected);
}

TEST_F(ConnectTest, GroupListFlowStoresTheListAndSkipsTheFetch) {
    server_.AddGroup(MakeGroup("alt.b", 3, 4));
    server_.AddGroup(MakeGroup("alt.a", 1, 2));
    Subscribe(1, "alt.a");
    Configure();
    server_.AddFault(Fault::Delay("LIST", 300, 1));
    Command(app::IDM_GET_GROUP_LIST);
    EXPECT_TRUE(Cycle().groupListRequested);
    ASSERT_TRUE(Pump([&] { return !ServerCommands("LIST").empty(); }));
    // No network command while the list is on its way.
    EXPECT_FALSE(Cycle().appIdle);
    Command(app::IDM_CONNECT);
    Command(app::IDM_GET_GROUP_LIST);
    EXPECT_EQ(LogCount("Server already connected"), 0);
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));

    EXPECT_EQ(Log(),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Getting Group List", "Group list received",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(ReadFile(Spool("groups.txt")), "alt.a 2 1 y\r\nalt.b 4 3 y\r\n");
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_FALSE(Cycle().groupListRequested);
    EXPECT_TRUE(Cycle().report.listReceived);
    ExpectDisconnectedState();

    // "Get newsgroups list" while connected does nothing at all.
    server_.AddFault(Fault::Delay("GROUP", 300, 1));
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return !ServerCommands("GROUP").empty(); }));
    const std::size_t lines = Log().size();
    Cycle().appIdle = true;  // as between two steps
    Command(app::IDM_GET_GROUP_LIST);
    EXPECT_EQ(Log().size(), lines);
    EXPECT_FALSE(Cycle().groupListRequested);
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
}

TEST_F(ConnectTest, RefusedOrBrokenListIsLoggedAndABrokenOneIsAskedForAgain) {
    Configure({"LastGroupNum=1"});
    server_.AddFault(Fault::Reply("LIST", "480 not for you", 1));
    ASSERT_TRUE(RunCycle(app::IDM_GET_GROUP_LIST));
    EXPECT_EQ(LogFrom("Getting Group List"),
              (std::vector<std::string>{"Getting Group List", "480 not for you",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_FALSE(Cycle().groupListRequested);

    server_.AddFault(Fault::CloseAfter("LIST", 30, 2));
    ASSERT_TRUE(RunCycle(app::IDM_GET_GROUP_LIST));
    EXPECT_EQ(Log().back().rfind("Connection to server lost", 0), 0u);
    EXPECT_TRUE(Cycle().groupListRequested) << "the list is still wanted";
    ExpectDisconnectedState();

    // The next connection, whatever started it, lists instead of fetching.
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("Group list received"), 1);
    EXPECT_EQ(LogCount("Finished getting messages"), 0);
    EXPECT_FALSE(Cycle().groupListRequested);
}

TEST_F(ConnectTest, RefusedConnectionEndsAtOnceAndTheTimerTriesAgain) {
    const std::uint16_t port = ClosedPort();
    Configure({"TimerInterval=1"});
    Server().port = port;
    Tick();
    Tick();
    ASSERT_TRUE(Cycle().report.running);
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(Log(),
              (std::vector<std::string>{"Connecting to server", "Could not connect to server"}));
    ExpectDisconnectedState();
    EXPECT_FALSE(Cycle().groupListRequested);

    // Two more ticks make the next attempt; this one reaches the server.
    Server().port = server_.Port();
    Tick();
    EXPECT_EQ(Log().size(), 2u);
    Tick();
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(Log().back(), "Server disconnected");
    EXPECT_EQ(server_.Connections(), 1);
}

TEST_F(ConnectTest, RefusedGreetingClosesTheConnection) {
    server_.AddFault(Fault::Reply("GREETING", "400 service unavailable", 1));
    Configure();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Log(),
              (std::vector<std::string>{"Connecting to server", "Could not connect to server"}));
    EXPECT_TRUE(Pump([&] { return server_.OpenConnections() == 0; }, 3000));
    ExpectDisconnectedState();
    EXPECT_FALSE(Cycle().report.connected);
}

// Whoever listens hears every cycle end once, with how it ended, and every
// close of the connection; a step that finds no cycle running tells nobody.
TEST_F(ConnectTest, ListenersHearEachOutcomeOnce) {
    struct Recorder final : app::CycleListener {
        void ConnectionClosed() override { ++closed; }
        void CycleEnded(const app::CycleReport& r) override { reports.push_back(r); }
        int closed = 0;
        std::vector<app::CycleReport> reports;
    } heard;
    const std::uint16_t closedPort = ClosedPort();
    Configure();
    Cycle().AddListener(&heard);

    const struct {
        const char* what;
        std::uint16_t port;
        bool connected;
        bool ok;
    } cases[] = {
        {"completed", server_.Port(), true, true},
        {"refused", closedPort, false, false},
        {"completed again", server_.Port(), true, true},
    };
    std::size_t n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Server().port = c.port;
        ASSERT_TRUE(RunCycle());
        ASSERT_EQ(heard.reports.size(), ++n);
        EXPECT_FALSE(heard.reports.back().running);
        EXPECT_EQ(heard.reports.back().connected, c.connected);
        EXPECT_EQ(app::CycleSucceeded(heard.reports.back(), false), c.ok);
        EXPECT_EQ(heard.closed, static_cast<int>(n));
    }

    app::BeginDisconnect(Cycle());
    EXPECT_EQ(Log().back(), "Server not connected");
    EXPECT_EQ(heard.reports.size(), n) << "no cycle was running";

    Cycle().RemoveListener(&heard);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(heard.reports.size(), n);
    EXPECT_EQ(heard.closed, static_cast<int>(n));
}

// A step reached without a connection does nothing on the network: it says
// so, leaves the application idle and ends the cycle.
TEST_F(ConnectTest, StepsWithoutAConnectionSayServerNotConnected) {
    Configure();
    ASSERT_FALSE(Cycle().connected);
    for (void (*step)(app::NewsCycle&) : {app::BeginSendUser, app::BeginSendPass, app::BeginPosting,
                                          app::BeginDisconnect, app::BeginGroupFetch}) {
        Cycle().report.running = true;
        Cycle().appIdle = false;
        const std::size_t before = Log().size();
        step(Cycle());
        ASSERT_EQ(Log().size(), before + 1);
        EXPECT_EQ(Log().back(), "Server not connected");
        EXPECT_FALSE(Cycle().report.running);
        // The group walk leaves appIdle to its caller.
        if (step != app::BeginGroupFetch) {
            EXPECT_TRUE(Cycle().appIdle);
        }
    }
    EXPECT_TRUE(Pump([] { return true; }));
    EXPECT_EQ(server_.Connections(), 0);
}

}  // namespace
}  // namespace apptest
