// Reader mode: after a positive greeting the session sends MODE READER and
// completes the connect whatever the answer, reporting the greeting. A
// server in transit mode then serves groups, and one that does not know
// the command works as before.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;
using testsrv::ModeReader;

constexpr char kGreeting[] = "200 qiv test news server ready - posting allowed";

class ModeReaderTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        testsrv::Group g;
        g.name = "misc.test";
        for (long n = 1; n <= 3; ++n) g.articles.push_back({n, "Subject: s\n\nbody\n"});
        server.AddGroup(g);
        session.groupName = "misc.test";
    }
};

TEST_F(ModeReaderTest, EveryKindOfServerServesTheGroupAfterConnect) {
    for (const ModeReader mode : {ModeReader::Accept, ModeReader::Unknown, ModeReader::Transit}) {
        SCOPED_TRACE(static_cast<int>(mode));
        server.SetModeReader(mode);
        const std::size_t before = server.Commands().size();
        Note n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
        EXPECT_EQ(nntp::ResultSuccess, n.result);
        EXPECT_EQ(kGreeting, n.text) << "the connect reports the greeting, not the mode reply";
        n = Do([&] { session.SelectGroup(owner.window(), kGroup); });
        EXPECT_EQ(nntp::ResultSuccess, n.result) << n.text;
        EXPECT_EQ(1, session.firstArticle);
        EXPECT_EQ(3, session.lastArticle);
        n = Do([&] { session.FetchArticle(owner.window(), kArticle, 2); });
        EXPECT_EQ(nntp::ResultSuccess, n.result) << n.text;
        const std::vector<std::string> commands = server.Commands();
        ASSERT_EQ(before + 3, commands.size());
        EXPECT_EQ("MODE READER", commands[before]);
        EXPECT_EQ("GROUP misc.test", commands[before + 1]);
    }
}

// A refused greeting is answered with nothing; the connection is the
// owner's to end, as before.
TEST_F(ModeReaderTest, RefusedGreetingSendsNoModeReader) {
    server.AddFault(Fault::Reply("GREETING", "400 busy"));
    const Note n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("400 busy", n.text);
    EXPECT_TRUE(session.IsReady());
    const Note q = Do([&] { session.Quit(owner.window(), kQuit); });
    EXPECT_EQ(nntp::ResultSuccess, q.result);
    EXPECT_EQ(0, CommandCount("MODE"));
}

// ModeReply, driven from memory: any answer completes the connect with the
// greeting; a lost connection, a failed send and Close end it as in the
// other waiting states.
TEST(ModeReaderMemoryTest, ModeReplyTable) {
    EnsureNetworkLayer();
    Owner owner;
    const std::vector<std::string> answers = {
        "200 reader", "201 no posting", "480 log in first",    "500 what?", "502 no",
        "xyz",        "1 odd",          std::string(3000, '5')};
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer.substr(0, 20));
        MemorySession session;
        session.Connect(owner.window(), kConnect, {.host = "memory"});
        session.ConnectCallback(0, net::ConnectResult::Connected);
        session.Feed("200 hello\r\n");
        EXPECT_EQ("MODE READER\r\n", session.sent);
        owner.Settle();
        const std::size_t before = owner.notes.size();
        session.Feed(answer + "\r\n");
        ASSERT_TRUE(owner.WaitFor(before + 1));
        EXPECT_EQ(nntp::ResultSuccess, owner.notes[before].result);
        EXPECT_EQ("200 hello", owner.notes[before].text);
        // The session is ready for the next exchange.
        session.NextArticle(owner.window(), kNext);
        session.Feed("223 5 <id> next\r\n");
        ASSERT_TRUE(owner.WaitFor(before + 2));
        EXPECT_EQ(nntp::ResultSuccess, owner.notes[before + 1].result);
        EXPECT_EQ(5, session.currentArticle);
    }

    struct Ending {
        const char* name;
        std::function<void(MemorySession&)> act;
        int result;
        std::string text;
    };
    const std::vector<Ending> endings = {
        {"connection lost",
         [](MemorySession& s) { s.StreamCallback(0, net::StreamEvent::Closed, 0, nullptr); },
         nntp::ResultBroken, "Connection lost"},
        {"close", [&](MemorySession& s) { s.Close(owner.window(), kClose, true); },
         nntp::ResultClosed, ""},
    };
    for (const Ending& e : endings) {
        SCOPED_TRACE(e.name);
        MemorySession session;
        session.Connect(owner.window(), kConnect, {.host = "memory"});
        session.ConnectCallback(0, net::ConnectResult::Connected);
        session.Feed("200 hello\r\n");
        owner.Settle();
        const std::size_t before = owner.notes.size();
        e.act(session);
        ASSERT_TRUE(owner.WaitFor(before + 1));
        owner.Settle();
        ASSERT_EQ(before + 1, owner.notes.size()) << "one notification";
        EXPECT_EQ(e.result, owner.notes[before].result);
        EXPECT_EQ(e.text, owner.notes[before].text);
        EXPECT_EQ(1, session.closes);
    }

    // MODE READER that cannot be sent ends the connect.
    MemorySession session;
    session.Connect(owner.window(), kConnect, {.host = "memory"});
    session.ConnectCallback(0, net::ConnectResult::Connected);
    session.sendResult = 10054;
    const std::size_t before = owner.notes.size();
    session.Feed("200 hello\r\n");
    ASSERT_TRUE(owner.WaitFor(before + 1));
    EXPECT_EQ(nntp::ResultBroken, owner.notes[before].result);
    EXPECT_EQ("Unable to send command", owner.notes[before].text);
}

TEST_F(ModeReaderTest, SilenceAfterModeReaderEndsTheConnect) {
    session.replyTimeoutMs = 500;
    server.AddFault(Fault::Stall("MODE READER"));
    const Note n = Do([&] { session.Connect(owner.window(), kConnect, serverConfig); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("No answer from the server for 1 second", n.text);
    EXPECT_FALSE(session.SocketOpen());
}

}  // namespace
}  // namespace nntptest
