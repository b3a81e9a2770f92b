// The exchanges without data, over real loopback connections to the
// scriptable server: connect and greeting, AUTHINFO, GROUP, NEXT, QUIT,
// Close, and what the session does when the server goes away.
#include <cstring>
#include <string>
#include <vector>

#include "net/conn_mgr.h"
#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;

class SessionTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        testsrv::Group g;
        g.name = "misc.test";
        for (long n = 100; n <= 119; ++n) g.articles.push_back({n, "Subject: s\n\nbody\n"});
        server.AddGroup(g);
        session.groupName = "misc.test";
    }
};

// Greeting: Reply2 succeeds with the line; any other reply is a refusal on
// an open connection; an overlong greeting or a lost connection is a break.
TEST_F(SessionTest, GreetingTable) {
    Note n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ("200 qiv test news server ready - posting allowed", n.text);

    server.SetGreeting(201, "no posting");
    n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ("201 no posting", n.text);

    for (const char* line : {"100 hmm", "381 who", "400 busy", "502 go away", "xyz"}) {
        server.ClearFaults();
        server.AddFault(Fault::Reply("GREETING", line));
        n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
        EXPECT_EQ(nntp::ResultFailure, n.result) << line;
        EXPECT_EQ(line, n.text);
        EXPECT_TRUE(session.IsReady()) << line;
    }

    server.ClearFaults();
    server.AddFault(Fault::CloseAfter("GREETING", 5));
    n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Connection lost", n.text);
    EXPECT_FALSE(session.SocketOpen());

    server.ClearFaults();
    server.AddFault(Fault::OverlongLine("GREETING", 3000));
    n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Reply line too long", n.text);
    EXPECT_TRUE(ServerClosed());
    owner.Settle();
    EXPECT_EQ(9u, owner.notes.size());
}

// OpenWait: a refused connection arrives from the loop and is a break; Close
// cancels the attempt and only the close is reported.
TEST_F(SessionTest, OpenWaitTable) {
    testsrv::NewsServer gone;
    ASSERT_TRUE(gone.Start());
    serverConfig.port = gone.Port();
    gone.Stop();
    Note n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Connection failed (error 10061)", n.text);

    serverConfig.port = server.Port();
    session.Connect(owner.window(), kConnect, serverConfig);
    n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(kClose, n.message);
    EXPECT_EQ(nntp::ResultClosed, n.result);
    owner.Settle();
    EXPECT_EQ(2u, owner.notes.size());
}

// A request the current state does not take sends nothing and posts
// nothing, but its window and message replace the exchange's.
TEST_F(SessionTest, RefusedRequestsReplaceTheOwner) {
    Owner other;
    session.Connect(owner.window(), kConnect, serverConfig);
    session.SelectGroup(other.window(), kGroup);  // while OpenWait
    ASSERT_TRUE(other.WaitFor(1));
    EXPECT_EQ(kGroup, other.notes[0].message);
    EXPECT_EQ(nntp::ResultSuccess, other.notes[0].result);
    EXPECT_EQ(0u, owner.notes.size());
    EXPECT_EQ(0, CommandCount("GROUP"));

    // In Ended every request is dropped the same way.
    session.Quit(other.window(), kQuit);
    ASSERT_TRUE(other.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, other.notes[1].result);
    session.SelectGroup(owner.window(), kGroup);
    session.Close(owner.window(), kClose, true);
    other.Settle();
    EXPECT_EQ(0u, owner.notes.size());
    EXPECT_EQ(2u, other.notes.size());
    EXPECT_EQ(0, CommandCount("GROUP"));
}

// UserReply and PassReply: only 2xx succeeds; every reply is reported
// with its text and the connection stays usable.
TEST_F(SessionTest, AuthinfoTables) {
    server.SetAccounts({{"joe", "secret"}});
    Open();
    session.userName = "joe";
    Note n = Do([&] { session.SendUser(owner.window(), kUser); });
    EXPECT_EQ(nntp::ResultFailure, n.result);  // 381: more is needed
    EXPECT_EQ("381 password required", n.text);
    session.password = "wrong";
    n = Do([&] { session.SendPass(owner.window(), kPass); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("481 authentication failed", n.text);

    n = Do([&] { session.SendUser(owner.window(), kUser); });
    session.password = "secret";
    n = Do([&] { session.SendPass(owner.window(), kPass); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ("281 authentication accepted", n.text);

    server.SetAuthReplies("281 welcome", "281 ok", "481 no");
    Open();
    n = Do([&] { session.SendUser(owner.window(), kUser); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ("281 welcome", n.text);

    server.AddFault(Fault::Reply("AUTHINFO USER", "500 what"));
    n = Do([&] { session.SendUser(owner.window(), kUser); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("500 what", n.text);

    // Arguments that would not make one command line are refused unsent.
    session.userName = "joe\r\nQUIT";
    n = Do([&] { session.SendUser(owner.window(), kUser); });
    EXPECT_EQ(nntp::ResultRefusedLocally, n.result);
    session.password = std::string(nntp::CNntpSession::kNameSize, 'p');
    n = Do([&] { session.SendPass(owner.window(), kPass); });
    EXPECT_EQ(nntp::ResultRefusedLocally, n.result);
    EXPECT_EQ(6, CommandCount("AUTHINFO"));
    EXPECT_EQ(nntp::ResultSuccess, Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
}

// GroupReply: the numbers of a 211 (64-bit; both or neither); a 4xx
// refuses; 1xx, 3xx, 5xx and nonsense break the exchange, with QUIT sent at
// once.
TEST_F(SessionTest, GroupReplyTable) {
    Open();
    session.firstArticle = session.lastArticle = -1;
    Note n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ("211 20 100 119 misc.test", n.text);
    EXPECT_EQ(100, session.firstArticle);
    EXPECT_EQ(119, session.lastArticle);

    // A reply without a readable pair leaves no numbers of an earlier group.
    struct Row {
        const char* reply;
        std::int64_t first;
        std::int64_t last;
    };
    const Row rows[] = {
        {"211 20 555", -1, -1},
        {"211 3 g.norange", -1, -1},
        {"211 3 1 x9 g", -1, -1},
        {"211 3 -1 5 g", -1, -1},
        {"211 3 1 5x g", -1, -1},
        {"211 3 1 99999999999999999999 g", -1, -1},
        {"211 2 2147483647 2147483648 g", 2147483647, 2147483648},
        {"211 1 9223372036854775807 9223372036854775807", INT64_MAX, INT64_MAX},
        {"211 0 8 7 g", 8, 7},
    };
    int nth = 2;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reply);
        session.firstArticle = session.lastArticle = 100;
        server.AddFault(Fault::Reply("GROUP", row.reply, nth++));
        n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
        EXPECT_EQ(nntp::ResultSuccess, n.result);
        EXPECT_EQ(row.reply, n.text);
        EXPECT_EQ(row.first, session.firstArticle);
        EXPECT_EQ(row.last, session.lastArticle);
    }

    session.groupName = "no.such.group";
    n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("411 no such newsgroup", n.text);

    // The longest name that fits the command goes out; one more is refused.
    session.groupName = std::string(nntp::CNntpSession::kMaxGroupName, 'g');
    n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    session.groupName += 'g';
    n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultRefusedLocally, n.result);
    EXPECT_EQ(nth + 1, CommandCount("GROUP"));

    session.groupName = "misc.test";
    nth += 2;
    for (const char* line : {"100 help", "340 what", "502 denied", "nonsense"}) {
        server.AddFault(Fault::Reply("GROUP", line, nth++));
        n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
        EXPECT_EQ(nntp::ResultBroken, n.result);
        EXPECT_EQ(line, n.text);
        EXPECT_TRUE(ServerClosed());
        EXPECT_EQ("QUIT", server.Commands().back());
        owner.Settle();
        Open();
    }
}

// NextReply: the number of a 223, as member and as data; 421 refuses.
TEST_F(SessionTest, NextReplyTable) {
    Open();
    ASSERT_EQ(nntp::ResultSuccess, Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    Note n = Do([&] { session.NextArticle(owner.window(), kNext); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(101, n.data);
    EXPECT_EQ(101, session.currentArticle);

    // A 223 without a readable number says so (-1) rather than repeating
    // the previous one.
    const std::pair<const char*, std::int64_t> rows[] = {
        {"223 nonumber", -1},
        {"223", -1},
        {"223 5x <a@b>", -1},
        {"223 -5 <a@b>", -1},
        {"223 99999999999999999999 <a@b>", -1},
        {"223 2147483648 <a@b>", 2147483648},
    };
    int nth = 2;
    for (const auto& [reply, number] : rows) {
        SCOPED_TRACE(reply);
        server.AddFault(Fault::Reply("NEXT", reply, nth++));
        n = Do([&] { session.NextArticle(owner.window(), kNext); });
        EXPECT_EQ(nntp::ResultSuccess, n.result);
        EXPECT_EQ(number, n.data);
        EXPECT_EQ(number, session.currentArticle);
    }

    server.AddFault(Fault::Reply("NEXT", "421 no next article in this group", nth++));
    n = Do([&] { session.NextArticle(owner.window(), kNext); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("421 no next article in this group", n.text);

    server.AddFault(Fault::Reply("NEXT", "500 what", nth++));
    n = Do([&] { session.NextArticle(owner.window(), kNext); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("500 what", n.text);
    EXPECT_TRUE(ServerClosed());
    EXPECT_EQ("QUIT", server.Commands().back());
}

// QuitReply: the answer, or the server closing, completes the quit; the
// connection is closed and the session ended.
TEST_F(SessionTest, QuitTable) {
    Open();
    Note n = Do([&] { session.Quit(owner.window(), kQuit); });
    EXPECT_EQ(kQuit, n.message);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(0, n.data);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_TRUE(session.IsEnded());

    server.AddFault(Fault::Close("QUIT"));
    Open();
    n = Do([&] { session.Quit(owner.window(), kQuit); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);

    server.ClearFaults();
    server.AddFault(Fault::Reply("QUIT", "nonsense"));
    Open();
    n = Do([&] { session.Quit(owner.window(), kQuit); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_TRUE(ServerClosed());
}

// Close from Ready and from the reply states; with and without notice.
TEST_F(SessionTest, CloseFromEveryWaitingState) {
    Open();
    session.Close(owner.window(), kClose, false);
    EXPECT_TRUE(ServerClosed());
    owner.Settle();
    EXPECT_EQ(1u, owner.notes.size());

    Open();
    Note n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);

    // Waiting for the greeting, and for each kind of reply.
    server.AddFault(Fault::Stall("GREETING"));
    const int connections = server.Connections();
    session.Connect(owner.window(), kConnect, serverConfig);
    ASSERT_TRUE(plat::PumpUntil([&] { return server.Connections() > connections; }));
    n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);
    server.ClearFaults();

    const std::vector<std::pair<const char*, std::function<void()>>> requests = {
        {"AUTHINFO USER", [&] { session.SendUser(owner.window(), kUser); }},
        {"AUTHINFO PASS", [&] { session.SendPass(owner.window(), kPass); }},
        {"GROUP", [&] { session.SelectGroup(owner.window(), kGroup); }},
        {"NEXT", [&] { session.NextArticle(owner.window(), kNext); }},
        {"QUIT", [&] { session.Quit(owner.window(), kQuit); }},
        {"LIST", [&] { session.ListGroups(owner.window(), kList); }},
        {"ARTICLE", [&] { session.FetchArticle(owner.window(), kArticle, 100); }},
        {"POST", [&] { session.PostArticle(owner.window(), kPost, nullptr); }},
    };
    for (const auto& r : requests) {
        Open();
        server.AddFault(Fault::Stall(r.first));
        const std::size_t before = owner.notes.size();
        r.second();
        ASSERT_TRUE(plat::PumpUntil([&] { return CommandCount(r.first) > 0; })) << r.first;
        n = Do([&] { session.Close(owner.window(), kClose, true); });
        EXPECT_EQ(nntp::ResultClosed, n.result) << r.first;
        EXPECT_EQ(before + 1, owner.notes.size()) << r.first;
        server.ClearFaults();
    }
}

// Ready: a server that goes away while nothing runs is not reported until
// the owner asks for something; then the request hears it, once.
TEST_F(SessionTest, ConnectionLostWhileIdle) {
    server.AddFault(Fault::CloseAfter("GROUP", Fault::kWhole));
    Open();
    Note n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    ASSERT_TRUE(plat::PumpUntil([&] { return !session.SocketOpen(); }));
    owner.Settle();
    EXPECT_EQ(2u, owner.notes.size());

    n = Do([&] { session.NextArticle(owner.window(), kNext); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Connection lost", n.text);

    // Quit after such a loss has nothing left to do and says so.
    Open();
    ASSERT_EQ(nntp::ResultSuccess, Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    ASSERT_TRUE(plat::PumpUntil([&] { return !session.SocketOpen(); }));
    n = Do([&] { session.Quit(owner.window(), kQuit); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);

    Open();
    ASSERT_EQ(nntp::ResultSuccess, Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    ASSERT_TRUE(plat::PumpUntil([&] { return !session.SocketOpen(); }));
    n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);
    owner.Settle();
    EXPECT_EQ(9u, owner.notes.size());
}

// Abandoning: after a break on a working connection the session waits for
// the answer to its QUIT; losing the connection or Close ends the wait,
// and the owner hears nothing more of the broken exchange.
TEST_F(SessionTest, AbandoningTable) {
    server.AddFault(Fault::Reply("GROUP", "500 what"));
    server.AddFault(Fault::Stall("QUIT", 1));
    Open();
    Note n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    ASSERT_TRUE(plat::PumpUntil([&] { return CommandCount("QUIT") == 1; }));
    EXPECT_TRUE(session.SocketOpen());
    n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);
    EXPECT_TRUE(ServerClosed());

    server.AddFault(Fault::Close("QUIT", 2));
    Open();
    n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    ASSERT_TRUE(plat::PumpUntil([&] { return !session.SocketOpen(); }));
    EXPECT_TRUE(session.IsEnded());
    owner.Settle();
    EXPECT_EQ(5u, owner.notes.size());
}

// A command that cannot be sent ends the connection with one break.
TEST_F(SessionTest, CommandsThatCannotBeSent) {
    const std::vector<std::pair<const char*, std::function<void()>>> requests = {
        {"USER", [&] { session.SendUser(owner.window(), kUser); }},
        {"PASS", [&] { session.SendPass(owner.window(), kPass); }},
        {"GROUP", [&] { session.SelectGroup(owner.window(), kGroup); }},
        {"NEXT", [&] { session.NextArticle(owner.window(), kNext); }},
        {"QUIT", [&] { session.Quit(owner.window(), kQuit); }},
        {"LIST", [&] { session.ListGroups(owner.window(), kList); }},
        {"ARTICLE", [&] { session.FetchArticle(owner.window(), kArticle, 100); }},
        {"POST", [&] { session.PostArticle(owner.window(), kPost, nullptr); }},
    };
    for (const auto& r : requests) {
        Open();
        session.BreakSending();
        const Note n = Do(r.second);
        EXPECT_EQ(nntp::ResultBroken, n.result) << r.first;
        EXPECT_EQ("Unable to send command", n.text) << r.first;
        EXPECT_FALSE(session.SocketOpen()) << r.first;
        owner.Settle();
        EXPECT_EQ(nntp::ResultBroken, owner.notes.back().result) << r.first;
    }
}

// LinkLost in each reply state is a break that says so.
TEST_F(SessionTest, ConnectionLostWhileWaitingForAReply) {
    const std::vector<std::pair<const char*, std::function<void()>>> requests = {
        {"AUTHINFO USER", [&] { session.SendUser(owner.window(), kUser); }},
        {"AUTHINFO PASS", [&] { session.SendPass(owner.window(), kPass); }},
        {"GROUP", [&] { session.SelectGroup(owner.window(), kGroup); }},
        {"NEXT", [&] { session.NextArticle(owner.window(), kNext); }},
        {"LIST", [&] { session.ListGroups(owner.window(), kList); }},
        {"ARTICLE", [&] { session.FetchArticle(owner.window(), kArticle, 100); }},
        {"POST", [&] { session.PostArticle(owner.window(), kPost, nullptr); }},
    };
    for (const auto& r : requests) {
        server.ClearFaults();
        server.AddFault(Fault::ResetAfter(r.first, 3));
        Open();
        const Note n = Do(r.second);
        EXPECT_EQ(nntp::ResultBroken, n.result) << r.first;
        EXPECT_EQ("Connection lost", n.text) << r.first;
        owner.Settle();
        EXPECT_EQ(nntp::ResultBroken, owner.notes.back().result) << r.first;
        EXPECT_FALSE(session.SocketOpen());
    }
}

}  // namespace
}  // namespace nntptest
