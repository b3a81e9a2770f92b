// A server that stops answering: every exchange that waits on it gives up
// after replyTimeoutMs without progress, with one ResultBroken and the
// connection closed; an exchange that keeps moving, however slowly, and a
// session with nothing to wait for are left alone.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;

constexpr std::uint32_t kTimeoutMs = 1000;
constexpr char kSilent[] = "No answer from the server for 1 second";

class SilenceTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        testsrv::Group g;
        g.name = "misc.test";
        for (long n = 1; n <= 3; ++n)
            g.articles.push_back({n, "Subject: s" + std::to_string(n) + "\n\n" +
                                         std::string(3000, 'a') + "\nend\n"});
        server.AddGroup(g);
        session.groupName = "misc.test";
        session.replyTimeoutMs = kTimeoutMs;
    }

    // Runs the operation against a silent step; expects exactly one
    // notification, the timeout, not before the timeout has passed, and the
    // connection closed on our side.
    void ExpectTimedOut(const std::function<void()>& operation, unsigned message) {
        const std::size_t before = owner.notes.size();
        const std::uint64_t start = plat::NowMs();
        const Note n = Do(operation);
        const std::uint64_t waited = plat::NowMs() - start;
        EXPECT_EQ(message, n.message);
        EXPECT_EQ(nntp::ResultBroken, n.result);
        EXPECT_EQ(kSilent, n.text);
        EXPECT_GE(waited, kTimeoutMs - 50);
        EXPECT_LT(waited, kTimeoutMs + 4000);
        EXPECT_FALSE(session.SocketOpen());
        EXPECT_TRUE(session.IsEnded());
        EXPECT_TRUE(ServerClosed());
        owner.Settle();
        EXPECT_EQ(before + 1, owner.notes.size()) << "nothing follows the break";
    }

    void OpenInGroup() {
        Open();
        ASSERT_EQ(nntp::ResultSuccess,
                  Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    }
};

TEST_F(SilenceTest, EachExchangeWithoutDataGivesUp) {
    server.AddFault(Fault::Stall("GREETING", 1));
    ExpectTimedOut([&] { session.Connect(owner.window(), kConnect, serverConfig); }, kConnect);

    server.SetAccounts({{"joe", "pw"}});
    Open();
    session.userName = "joe";
    server.AddFault(Fault::Stall("AUTHINFO USER", 1));
    ExpectTimedOut([&] { session.SendUser(owner.window(), kUser); }, kUser);
    server.SetAccounts({}, false);

    Open();
    server.AddFault(Fault::Stall("GROUP", 1));
    ExpectTimedOut([&] { session.SelectGroup(owner.window(), kGroup); }, kGroup);

    OpenInGroup();
    server.AddFault(Fault::Stall("NEXT", 1));
    ExpectTimedOut([&] { session.NextArticle(owner.window(), kNext); }, kNext);

    // A QUIT that is never answered still ends with the connection closed.
    Open();
    server.AddFault(Fault::Stall("QUIT", 1));
    ExpectTimedOut([&] { session.Quit(owner.window(), kQuit); }, kQuit);
}

TEST_F(SilenceTest, TransfersGiveUpBeforeAndInsideTheirData) {
    OpenInGroup();
    server.AddFault(Fault::Stall("ARTICLE", 1));
    ExpectTimedOut([&] { session.FetchArticle(owner.window(), kArticle, 1); }, kArticle);

    OpenInGroup();
    server.AddFault(Fault::StallAfter("ARTICLE", 1000, 2));
    session.fileNumber = 5;
    ExpectTimedOut([&] { session.FetchArticle(owner.window(), kArticle, 2); }, kArticle);
    EXPECT_FALSE(session.MultiLine());
    // The file of the cut-off transfer is closed: a later transfer to the
    // same number replaces it whole.
    OpenInGroup();
    const Note n = Do([&] { session.FetchArticle(owner.window(), kArticle, 2); });
    ASSERT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(Crlf("Subject: s2\n\n" + std::string(3000, 'a') + "\nend\n"),
              ReadFile(dir + "/00000005.nws"));

    // A list cut off leaves the one before it whole; a complete one
    // replaces it.
    const std::string old = "old.group 1 1 y\r\n";
    ASSERT_TRUE(WriteFile(dir + "/groups.txt", old));
    Open();
    server.AddFault(Fault::StallAfter("LIST", 40, 1));
    ExpectTimedOut([&] { session.ListGroups(owner.window(), kList); }, kList);
    EXPECT_EQ(old, ReadFile(dir + "/groups.txt"));
    EXPECT_EQ(-1, ::access((dir + "/groups.tmp").c_str(), F_OK));
    Open();
    ASSERT_EQ(nntp::ResultSuccess, Do([&] { session.ListGroups(owner.window(), kList); }).result);
    EXPECT_EQ("misc.test 3 1 y\r\n", ReadFile(dir + "/groups.txt"));
    EXPECT_EQ(-1, ::access((dir + "/groups.tmp").c_str(), F_OK));
}

TEST_F(SilenceTest, PostGivesUpWaitingForTheRequestOrTheVerdict) {
    plat::TextReader input;
    ASSERT_TRUE(WriteFile(dir + "/post.txt", "Subject: p\n\nbody\n"));
    ASSERT_TRUE(input.Open(dir + "/post.txt"));

    Open();
    server.AddFault(Fault::Stall("POST", 1));
    ExpectTimedOut([&] { session.PostArticle(owner.window(), kPost, &input); }, kPost);

    Open();
    server.AddFault(Fault::Stall("POST_DATA", 1));
    ExpectTimedOut([&] { session.PostArticle(owner.window(), kPost, &input); }, kPost);
    EXPECT_TRUE(server.Posted().empty());
}

// A server that stops reading in the middle of a big article: the pump
// waits for the socket, and nothing leaves it for the whole timeout. The
// server is a bare socket with a small fixed receive buffer that is never
// read once the article has begun, so that the kernel cannot keep taking
// bytes.
TEST_F(SilenceTest, PostGivesUpWhenTheSocketDoesNotDrain) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int small = 4096;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(listener, 1));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    serverConfig.port = ntohs(address.sin_port);

    session.Connect(owner.window(), kConnect, serverConfig);
    int peer = -1;
    ASSERT_TRUE(plat::PumpUntil([&] {
        peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        return peer >= 0;
    }));
    // The greeting, and the answer to MODE READER ahead of its question.
    ASSERT_EQ(20, ::send(peer, "200 hi\r\n200 reader\r\n", 20, MSG_NOSIGNAL));
    ASSERT_TRUE(owner.WaitFor(1));
    ASSERT_EQ(nntp::ResultSuccess, owner.notes[0].result);

    std::string big = "Subject: big\n\n";
    for (int i = 0; i < 20000; ++i) big += std::to_string(i) + std::string(100, 'b') + "\n";
    plat::TextReader input;
    ASSERT_TRUE(WriteFile(dir + "/big.txt", big));
    ASSERT_TRUE(input.Open(dir + "/big.txt"));
    session.ShrinkSendBuffer();
    session.PostArticle(owner.window(), kPost, &input);
    std::string received;
    ASSERT_TRUE(plat::PumpUntil([&] {
        char buffer[64];
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
        return received.find("POST\r\n") != std::string::npos;
    }));
    ASSERT_EQ(8, ::send(peer, "340 go\r\n", 8, MSG_NOSIGNAL));
    ASSERT_TRUE(plat::PumpUntil([&] { return session.WaitingWritable(); }));
    const std::uint64_t start = plat::NowMs();
    ASSERT_TRUE(owner.WaitFor(2, 10000));
    EXPECT_GE(plat::NowMs() - start, kTimeoutMs - 200);
    EXPECT_EQ(nntp::ResultBroken, owner.notes[1].result);
    EXPECT_EQ(kSilent, owner.notes[1].text);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_FALSE(session.WaitingWritable());
    ::close(peer);
    ::close(listener);
}

// Progress resets the clock: an article whose pieces come slower than the
// timeout in all but faster between any two of them arrives whole, and a
// post paced by a slow reader goes through.
TEST_F(SilenceTest, SlowButMovingExchangesComplete) {
    OpenInGroup();
    server.AddFault(Fault::Split("ARTICLE", 5, 400, 1));
    const std::uint64_t start = plat::NowMs();
    const Note n = Do([&] { session.FetchArticle(owner.window(), kArticle, 1); });
    EXPECT_EQ(nntp::ResultSuccess, n.result) << n.text;
    EXPECT_GT(plat::NowMs() - start, kTimeoutMs);

    std::string big = "Subject: paced\n\n";
    for (int i = 0; i < 20000; ++i) big += std::to_string(i) + std::string(100, 'p') + "\n";
    plat::TextReader input;
    ASSERT_TRUE(WriteFile(dir + "/big.txt", big));
    ASSERT_TRUE(input.Open(dir + "/big.txt"));
    session.ShrinkSendBuffer();
    server.AddFault(Fault::Delay("POST_LINE", 600, 1));
    const Note p = Do([&] { session.PostArticle(owner.window(), kPost, &input); });
    EXPECT_EQ(nntp::ResultSuccess, p.result) << p.text;
    EXPECT_GT(session.wouldBlocks, 0);
}

// Nothing is awaited in Ready: a connection left idle longer than the
// timeout is still usable. With no limit a silent greeting is waited for.
TEST_F(SilenceTest, IdleSessionsAndNoLimitAreLeftAlone) {
    Open();
    const std::size_t before = owner.notes.size();
    EXPECT_FALSE(plat::PumpUntil([&] { return owner.notes.size() > before; },
                                 static_cast<int>(kTimeoutMs) + 500));
    EXPECT_TRUE(session.IsReady());
    EXPECT_EQ(nntp::ResultSuccess, Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);

    session.replyTimeoutMs = 0;
    server.AddFault(Fault::Stall("GREETING"));
    session.Connect(owner.window(), kConnect, serverConfig);
    const std::size_t waiting = owner.notes.size();
    EXPECT_FALSE(plat::PumpUntil([&] { return owner.notes.size() > waiting; },
                                 static_cast<int>(kTimeoutMs) + 500));
    EXPECT_TRUE(session.SocketOpen());
}

// An exchange that broke on a working connection sends QUIT and waits for
// its answer; a server that does not give one is closed after the timeout
// too, without a second notification.
TEST_F(SilenceTest, AbandoningClosesWhenQuitIsNotAnswered) {
    OpenInGroup();
    server.AddFault(Fault::Reply("NEXT", "500 what?", 1));
    server.AddFault(Fault::Stall("QUIT", 1));
    const Note n = Do([&] { session.NextArticle(owner.window(), kNext); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("500 what?", n.text);
    ASSERT_TRUE(plat::PumpUntil([&] { return CommandCount("QUIT") == 1; }));
    EXPECT_TRUE(session.SocketOpen()) << "waits for the answer to QUIT first";
    ASSERT_TRUE(plat::PumpUntil([&] { return !session.SocketOpen(); }, 10000));
    EXPECT_TRUE(session.IsEnded());
    EXPECT_TRUE(ServerClosed());
    owner.Settle();
    EXPECT_EQ(nntp::ResultBroken, owner.notes.back().result);
    EXPECT_EQ("500 what?", owner.notes.back().text);
}

}  // namespace
}  // namespace nntptest
