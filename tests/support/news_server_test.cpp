#include "newsserver/news_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace testsrv {
namespace {

constexpr int kBoundMs = 5000;

bool WaitUntil(const std::function<bool()>& pred, int boundMs = kBoundMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A plain blocking client with a receive time-out.
class Client {
public:
    explicit Client(std::uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{kBoundMs / 1000, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { Close(); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }

    void Send(const std::string& text) {
        ASSERT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // One line without its CR LF; "<eof>" / "<error N>" when none comes.
    std::string Line() {
        for (;;) {
            std::size_t eol = buf_.find("\r\n");
            if (eol != std::string::npos) {
                std::string line = buf_.substr(0, eol);
                buf_.erase(0, eol + 2);
                return line;
            }
            if (!Fill()) return status_;
        }
    }
    std::string Command(const std::string& cmd) {
        Send(cmd + "\r\n");
        return Line();
    }
    // The data lines of a multi-line reply, joined by CR LF, up to the "." line.
    std::string Body() {
        std::string body;
        for (;;) {
            std::string line = Line();
            if (line == "." || !status_.empty()) return body;
            body += line + "\r\n";
        }
    }
    std::string Read(std::size_t n) {
        while (buf_.size() < n && Fill()) {
        }
        std::string got = buf_.substr(0, n);
        buf_.erase(0, got.size());
        return got;
    }
    // Every byte until the server closes; status() then tells how.
    std::string Rest() {
        while (Fill()) {
        }
        std::string all;
        all.swap(buf_);
        return all;
    }
    const std::string& status() const { return status_; }
    // True when nothing arrives for `ms` milliseconds.
    bool Silent(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return buf_.empty() && poll(&p, 1, ms) == 0;
    }

private:
    bool Fill() {
        char tmp[65536];
        ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
        if (n > 0) {
            buf_.append(tmp, static_cast<std::size_t>(n));
            return true;
        }
        status_ = n == 0 ? "<eof>" : "<error " + std::string(strerror(errno)) + ">";
        return false;
    }

    int fd_ = -1;
    bool connected_ = false;
    std::string buf_;
    std::string status_;
};

class NewsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Group g{"test.group", {}, 'y'};
        g.articles.push_back(
            {3, "From: a@example.invalid\nSubject: first\n\nbody one\n.dotted\n.\n"});
        g.articles.push_back({5,
                              "From: b@example.invalid\r\nSubject: second\r\nMessage-ID: "
                              "<x5@example.invalid>\r\n\r\nbody two\r\n"});
        g.articles.push_back({4, "Subject: middle\n\nno final newline"});
        server.AddGroup(g);
        server.AddGroup(Group{"test.empty", {}, 'n'});
        ASSERT_TRUE(server.Start());
    }

    NewsServer server;
};

TEST_F(NewsServerTest, WalksGroupWithArticleAndNextAndStuffsDots) {
    Client c(server.Port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.Line(), "200 qiv test news server ready - posting allowed");
    EXPECT_EQ(c.Command("ARTICLE 3"), "412 no newsgroup has been selected");
    EXPECT_EQ(c.Command("NEXT"), "412 no newsgroup has been selected");
    EXPECT_EQ(c.Command("GROUP no.such"), "411 no such newsgroup");
    EXPECT_EQ(c.Command("GROUP test.empty"), "211 0 1 0 test.empty");
    EXPECT_EQ(c.Command("NEXT"), "420 no current article has been selected");
    EXPECT_EQ(c.Command("GROUP test.group"), "211 3 3 5 test.group");

    EXPECT_EQ(c.Command("ARTICLE 3"), "220 3 <3.test.group@qiv-testserver> article");
    EXPECT_EQ(c.Body(),
              "From: a@example.invalid\r\nSubject: first\r\n\r\nbody one\r\n..dotted\r\n..\r\n");
    EXPECT_EQ(c.Command("NEXT"), "223 4 <4.test.group@qiv-testserver> article retrieved");
    EXPECT_EQ(c.Command("ARTICLE 4"), "220 4 <4.test.group@qiv-testserver> article");
    EXPECT_EQ(c.Body(), "Subject: middle\r\n\r\nno final newline\r\n");
    EXPECT_EQ(c.Command("NEXT"), "223 5 <x5@example.invalid> article retrieved");
    EXPECT_EQ(c.Command("ARTICLE"), "220 5 <x5@example.invalid> article");
    EXPECT_EQ(c.Body(),
              "From: b@example.invalid\r\nSubject: second\r\nMessage-ID: "
              "<x5@example.invalid>\r\n\r\nbody two\r\n");
    EXPECT_EQ(c.Command("NEXT"), "421 no next article in this group");
    EXPECT_EQ(c.Command("ARTICLE 6"), "423 no such article number in this group");
    EXPECT_EQ(c.Command("ARTICLE <x5@example.invalid>"), "220 0 <x5@example.invalid> article");
    c.Body();

    // Articles added and removed while the server runs are seen at once.
    server.AddArticle("test.group", {9, "Subject: late\n\nlate\n"});
    ASSERT_TRUE(server.RemoveArticle("test.group", 4));
    EXPECT_EQ(c.Command("GROUP test.group"), "211 3 3 9 test.group");
    EXPECT_EQ(c.Command("NEXT"), "223 5 <x5@example.invalid> article retrieved");
    EXPECT_EQ(c.Command("NEXT"), "223 9 <9.test.group@qiv-testserver> article retrieved");

    EXPECT_EQ(c.Command("FOO bar"), "500 unknown command");
    EXPECT_EQ(c.Command("quit"), "205 closing connection");
    EXPECT_EQ(c.Rest(), "");
    EXPECT_EQ(c.status(), "<eof>");
    // Half-closed by the server, the connection stays open until the client
    // closes its side.
    EXPECT_EQ(server.OpenConnections(), 1);
    c.Close();
    EXPECT_TRUE(WaitUntil([&] { return server.OpenConnections() == 0; }));
    EXPECT_EQ(server.Connections(), 1);
    std::vector<std::string> cmds = server.Commands();
    ASSERT_EQ(cmds.size(), 19u);
    EXPECT_EQ(cmds.front(), "ARTICLE 3");
    EXPECT_EQ(cmds.back(), "quit");
}

TEST_F(NewsServerTest, ListGroupSelectsAndListsWithinTheRange) {
    Client c(server.Port());
    ASSERT_TRUE(c.connected());
    c.Line();
    EXPECT_EQ(c.Command("LISTGROUP"), "412 no newsgroup selected");
    EXPECT_EQ(c.Command("LISTGROUP no.such 1-"), "411 no such newsgroup");
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"LISTGROUP test.group", "3\r\n4\r\n5\r\n"},
        {"LISTGROUP test.group 4-", "4\r\n5\r\n"},
        {"LISTGROUP test.group 1-3", "3\r\n"},
        {"LISTGROUP test.group 5", "5\r\n"},
        {"LISTGROUP test.group 6-9", ""},
        {"LISTGROUP", "3\r\n4\r\n5\r\n"},  // the group selected before
    };
    for (const auto& [command, numbers] : rows) {
        SCOPED_TRACE(command);
        EXPECT_EQ(c.Command(command), "211 3 3 5 test.group list follows");
        EXPECT_EQ(c.Body(), numbers);
    }
    EXPECT_EQ(c.Command("LISTGROUP test.group 4x"), "501 syntax error");
    // It selects the group as GROUP does.
    EXPECT_EQ(c.Command("LISTGROUP test.empty"), "211 0 1 0 test.empty list follows");
    EXPECT_EQ(c.Body(), "");
    EXPECT_EQ(c.Command("NEXT"), "420 no current article has been selected");
    server.SetListGroup(false);
    EXPECT_EQ(c.Command("LISTGROUP test.group"), "500 unknown command");
}

TEST_F(NewsServerTest, HeadAndOverTellAboutArticlesWithoutTheirBodies) {
    Client c(server.Port());
    ASSERT_TRUE(c.connected());
    c.Line();
    EXPECT_EQ(c.Command("HEAD 3"), "412 no newsgroup has been selected");
    EXPECT_EQ(c.Command("OVER 3"), "412 no newsgroup selected");
    EXPECT_EQ(c.Command("CAPABILITIES"), "101 capability list follows");
    EXPECT_NE(c.Body().find("\r\nOVER\r\n"), std::string::npos);
    EXPECT_EQ(c.Command("GROUP test.group"), "211 3 3 5 test.group");
    EXPECT_EQ(c.Command("HEAD 3"), "221 3 <3.test.group@qiv-testserver> head");
    EXPECT_EQ(c.Body(), "From: a@example.invalid\r\nSubject: first\r\n");
    EXPECT_EQ(c.Command("HEAD 6"), "423 no such article number in this group");
    EXPECT_EQ(c.Command("HEAD"), "221 3 <3.test.group@qiv-testserver> head");
    c.Body();
    EXPECT_EQ(c.Command("HEAD <x5@example.invalid>"), "221 0 <x5@example.invalid> head");
    EXPECT_EQ(c.Body(),
              "From: b@example.invalid\r\nSubject: second\r\nMessage-ID: <x5@example.invalid>\r\n");
    // An article without a body: the whole of it is its head.
    EXPECT_EQ(c.Command("HEAD 4"), "221 4 <4.test.group@qiv-testserver> head");
    EXPECT_EQ(c.Body(), "Subject: middle\r\n");

    const std::string three =
        "3\tfirst\ta@example.invalid\t\t<3.test.group@qiv-testserver>\t\t65\t3\r\n";
    const std::string four = "4\tmiddle\t\t\t<4.test.group@qiv-testserver>\t\t37\t1\r\n";
    const std::string five =
        "5\tsecond\tb@example.invalid\t\t<x5@example.invalid>\t\t88\t1\r\n";
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"OVER 3-5", three + four + five}, {"OVER 4-", four + five}, {"OVER 1-3", three},
        {"OVER 5", five},                  {"OVER", four},  // the current article, from HEAD 4
    };
    for (const auto& [command, lines] : rows) {
        SCOPED_TRACE(command);
        EXPECT_EQ(c.Command(command), "224 overview information follows");
        EXPECT_EQ(c.Body(), lines);
    }
    EXPECT_EQ(c.Command("OVER 6-9"), "423 no articles in that range");
    EXPECT_EQ(c.Command("OVER x"), "501 syntax error");
    server.SetHead(false);
    server.SetOver(false);
    EXPECT_EQ(c.Command("HEAD 3"), "500 unknown command");
    EXPECT_EQ(c.Command("OVER 3-5"), "500 unknown command");
    EXPECT_EQ(c.Command("CAPABILITIES"), "101 capability list follows");
    EXPECT_EQ(c.Body().find("OVER"), std::string::npos);
}

TEST_F(NewsServerTest, WritesStatusLineAndBodySeparately) {
    Client c(server.Port());
    c.Line();
    c.Command("GROUP test.group");
    long before = server.Writes();
    EXPECT_EQ(c.Command("ARTICLE 3").substr(0, 4), "220 ");
    c.Body();
    EXPECT_EQ(server.Writes() - before, 2);
    before = server.Writes();
    EXPECT_EQ(c.Command("LIST"), "215 list of newsgroups follows");
    EXPECT_EQ(c.Body(), "test.empty 0 1 n\r\ntest.group 5 3 y\r\n");
    EXPECT_EQ(server.Writes() - before, 2);

    server.SetTwoWrites(false);
    before = server.Writes();
    EXPECT_EQ(c.Command("ARTICLE 3").substr(0, 4), "220 ");
    c.Body();
    EXPECT_EQ(server.Writes() - before, 1);
}

TEST_F(NewsServerTest, GreetingCodeIsChosenAndRefusalCloses) {
    server.SetGreeting(201, "no posting");
    {
        Client c(server.Port());
        EXPECT_EQ(c.Line(), "201 no posting");
    }
    server.SetGreeting(400, "busy");
    Client c(server.Port());
    EXPECT_EQ(c.Line(), "400 busy");
    EXPECT_EQ(c.Rest(), "");
    EXPECT_EQ(c.status(), "<eof>");
}

TEST_F(NewsServerTest, AuthinfoChecksAccounts) {
    server.SetAccounts({{"joe", "secret"}});
    Client c(server.Port());
    c.Line();
    EXPECT_EQ(c.Command("GROUP test.group"), "480 authentication required");
    EXPECT_EQ(c.Command("AUTHINFO PASS secret"),
              "482 authentication commands issued out of sequence");
    EXPECT_EQ(c.Command("AUTHINFO USER joe"), "381 password required");
    EXPECT_EQ(c.Command("AUTHINFO PASS wrong"), "481 authentication failed");
    EXPECT_EQ(c.Command("GROUP test.group"), "480 authentication required");
    EXPECT_EQ(c.Command("AUTHINFO USER joe"), "381 password required");
    EXPECT_EQ(c.Command("AUTHINFO PASS secret"), "281 authentication accepted");
    EXPECT_EQ(c.Command("GROUP test.group"), "211 3 3 5 test.group");

    server.SetAuthReplies("281 no password needed", "281 ok", "482 go away");
    Client d(server.Port());
    d.Line();
    EXPECT_EQ(d.Command("AUTHINFO USER anyone"), "281 no password needed");
    EXPECT_EQ(d.Command("GROUP test.empty"), "211 0 1 0 test.empty");
}

TEST_F(NewsServerTest, ModeReaderPolicies) {
    Client a(server.Port());
    a.Line();
    EXPECT_EQ(a.Command("MODE READER"), "200 reader mode, posting permitted");

    server.SetModeReader(ModeReader::Unknown);
    Client b(server.Port());
    b.Line();
    EXPECT_EQ(b.Command("MODE READER"), "500 unknown command");

    server.SetModeReader(ModeReader::Transit);
    Client c(server.Port());
    c.Line();
    EXPECT_EQ(c.Command("GROUP test.group"), "401 MODE-READER");
    EXPECT_EQ(c.Command("LIST"), "215 list of newsgroups follows");
    c.Body();
    EXPECT_EQ(c.Command("mode reader"), "200 reader mode, posting permitted");
    EXPECT_EQ(c.Command("GROUP test.group"), "211 3 3 5 test.group");
}

TEST_F(NewsServerTest, PostKeepsArticleDotUnstuffed) {
    Client c(server.Port());
    c.Line();
    EXPECT_EQ(c.Command("POST"), "340 send article to be posted. End with <CR-LF>.<CR-LF>");
    const std::string wire = "Subject: hi\r\n\r\n..leading dot\r\n\xE9t\xE9\r\n\r\nend\r\n.\r\n";
    c.Send(wire);
    EXPECT_EQ(c.Line(), "240 article posted ok");
    ASSERT_EQ(server.Posted().size(), 1u);
    EXPECT_EQ(server.Posted()[0], "Subject: hi\n\n.leading dot\n\xE9t\xE9\n\nend\n");
    std::vector<PostRecord> log = server.PostLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].raw, wire);
    EXPECT_EQ(log[0].replyCode, 240);
    EXPECT_TRUE(log[0].complete);

    // A client that sends the stuffing dot in a write of its own.
    EXPECT_EQ(c.Command("POST").substr(0, 4), "340 ");
    c.Send(".");
    c.Send(".x\r\n");
    c.Send(".\r\n");
    EXPECT_EQ(c.Line(), "240 article posted ok");
    EXPECT_EQ(server.Posted().back(), ".x\n");

    server.SetPosting(Posting::Fail);
    EXPECT_EQ(c.Command("POST").substr(0, 4), "340 ");
    c.Send("Subject: no\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(c.Line(), "441 posting failed");
    EXPECT_EQ(server.Posted().size(), 2u);
    EXPECT_EQ(server.PostLog().back().replyCode, 441);

    // Taken once by Message-ID; an article without one is never a repeat.
    server.SetPosting(Posting::AcceptOnce);
    for (const char* reply : {"240 article posted ok", "441 435 Duplicate"}) {
        EXPECT_EQ(c.Command("POST").substr(0, 4), "340 ");
        c.Send("Message-ID: <once@x>\r\n\r\nbody\r\n.\r\n");
        EXPECT_EQ(c.Line(), reply);
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(c.Command("POST").substr(0, 4), "340 ");
        c.Send("Subject: no id\r\n\r\nbody\r\n.\r\n");
        EXPECT_EQ(c.Line(), "240 article posted ok");
    }
    EXPECT_EQ(server.Posted().size(), 5u);

    server.SetPosting(Posting::Refuse);
    EXPECT_EQ(c.Command("POST"), "440 posting not allowed");
    EXPECT_EQ(c.Command("GROUP test.empty"), "211 0 1 0 test.empty");
}

TEST_F(NewsServerTest, PostDirectoryReceivesAcceptedArticles) {
    char tmpl[] = "/tmp/qiv-posts-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    server.SetPostDirectory(tmpl);
    Client c(server.Port());
    c.Line();
    c.Command("POST");
    c.Send("Subject: saved\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(c.Line(), "240 article posted ok");
    std::ifstream in(std::string(tmpl) + "/1", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Subject: saved\n\nbody\n");
    std::filesystem::remove_all(tmpl);
}

TEST_F(NewsServerTest, CloseResetAndStallFaults) {
    // The second GROUP of the server's life closes instead of answering.
    server.AddFault(Fault::Close("GROUP", 2));
    server.AddFault(Fault::ResetAfter("ARTICLE", 50, 1));
    server.AddFault(Fault::StallAfter("LIST", 5, 1));
    server.AddFault(Fault::CloseAfter("GREETING", Fault::kWhole, 3));
    {
        Client c(server.Port());
        c.Line();
        EXPECT_EQ(c.Command("GROUP test.group"), "211 3 3 5 test.group");
        c.Send("GROUP test.group\r\n");
        EXPECT_EQ(c.Rest(), "");
        EXPECT_EQ(c.status(), "<eof>");
    }
    {
        Client c(server.Port());
        c.Line();
        c.Command("GROUP test.group");
        c.Send("ARTICLE 3\r\n");
        std::string got = c.Rest();
        EXPECT_EQ(got, "220 3 <3.test.group@qiv-testserver> article\r\nFrom:");
        EXPECT_EQ(c.status(), "<error " + std::string(strerror(ECONNRESET)) + ">");
    }
    {
        Client c(server.Port());
        EXPECT_EQ(c.Line(), "200 qiv test news server ready - posting allowed");
        EXPECT_EQ(c.Rest(), "");
        EXPECT_EQ(c.status(), "<eof>");
    }
    Client c(server.Port());
    c.Line();
    c.Send("LIST\r\n");
    EXPECT_TRUE(WaitUntil([&] { return server.Commands().back() == "LIST"; }));
    EXPECT_EQ(c.Read(5), "215 l");
    c.Send("GROUP test.group\r\n");
    EXPECT_TRUE(c.Silent(200));
    EXPECT_EQ(server.Commands().back(), "LIST");
    EXPECT_EQ(server.OpenConnections(), 1);
}

TEST_F(NewsServerTest, StopEndsStalledConnections) {
    server.AddFault(Fault::Stall("GREETING"));
    Client c(server.Port());
    ASSERT_TRUE(WaitUntil([&] { return server.OpenConnections() == 1; }));
    auto start = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(c.Rest(), "");
    EXPECT_EQ(server.OpenConnections(), 0);
    // And it can start again.
    server.ClearFaults();
    ASSERT_TRUE(server.Start());
    Client d(server.Port());
    EXPECT_EQ(d.Line().substr(0, 4), "200 ");
}

TEST_F(NewsServerTest, StallFromCommandHoldsEveryConnectionFromThatCommandOn) {
    {
        Client c(server.Port());
        c.Line();
        EXPECT_EQ(c.Command("GROUP test.group").substr(0, 4), "211 ");
    }
    // The count runs over the server's life: the GROUP above was the first.
    server.StallFromCommand(3);
    Client c(server.Port());
    c.Line();
    EXPECT_EQ(c.Command("NEXT").substr(0, 4), "412 ");
    c.Send("GROUP test.group\r\n");
    EXPECT_TRUE(WaitUntil([&] { return server.Commands().size() == 3; }));
    EXPECT_TRUE(c.Silent(200));
    Client d(server.Port());
    EXPECT_EQ(d.Line().substr(0, 4), "200 ");
    d.Send("QUIT\r\n");
    EXPECT_TRUE(d.Silent(200));
    server.StallFromCommand(0);
    Client e(server.Port());
    e.Line();
    EXPECT_EQ(e.Command("GROUP test.group").substr(0, 4), "211 ");
}

TEST_F(NewsServerTest, ReplacedAndMangledReplies) {
    server.AddFault(Fault::Reply("GROUP", "411 not today", 1));
    server.AddFault(Fault::Nonsense("NEXT", 1));
    server.AddFault(Fault::OverlongLine("NEXT", 3000, 2));
    server.AddFault(Fault::TopBitBytes("NEXT", 3));
    server.AddFault(Fault::Reply("*", "199 anything", 9));
    Client c(server.Port());
    c.Line();
    EXPECT_EQ(c.Command("GROUP test.group"), "411 not today");
    // The commands still take effect: the GROUP selected the group and every
    // NEXT moves on.
    EXPECT_EQ(c.Command("NEXT"), "Hello? This is not what you asked for.");
    std::string longLine = c.Command("NEXT");
    EXPECT_EQ(longLine.size(), 3000u);
    EXPECT_EQ(longLine.substr(0, 6), "223 5 ");
    EXPECT_EQ(longLine.back(), 'x');
    EXPECT_EQ(c.Command("NEXT"), "421 no next article in this group \xE9\xFF\x80\xA0");
    EXPECT_EQ(c.Command("NEXT"), "421 no next article in this group");
    EXPECT_EQ(c.Command("NEXT"), "421 no next article in this group");
    EXPECT_EQ(c.Command("NEXT"), "421 no next article in this group");
    // The ninth step counting the greeting.
    EXPECT_EQ(c.Command("NEXT"), "199 anything");
}

TEST_F(NewsServerTest, SplitAndDelayedWritesKeepTheBytes) {
    server.AddFault(Fault::Split("ARTICLE", 4, 5, 1));
    server.AddFault(Fault::SplitAt("ARTICLE", {10, 51}, 5, 2));
    server.AddFault(Fault::Delay("ARTICLE", 30, 3));
    Client c(server.Port());
    c.Line();
    c.Command("GROUP test.group");
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        long before = server.Writes();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.Command("ARTICLE 3"), "220 3 <3.test.group@qiv-testserver> article");
        std::string body = c.Body();
        if (i == 0) expected = body;
        EXPECT_EQ(body, expected);
        EXPECT_EQ(server.Writes() - before, i == 0 ? 4 : i == 1 ? 3 : 2);
        if (i == 2) {
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
        }
    }
}

TEST_F(NewsServerTest, FaultsDuringPost) {
    server.AddFault(Fault::Reply("POST_LINE", "441 stop right there", 2));
    server.AddFault(Fault::Close("POST_LINE", 4));
    Client c(server.Port());
    c.Line();
    c.Command("POST");
    c.Send("line one\r\nline two\r\n");
    EXPECT_EQ(c.Line(), "441 stop right there");
    // The article was abandoned: the next line is a command again.
    EXPECT_EQ(c.Command("GROUP test.empty"), "211 0 1 0 test.empty");
    c.Command("POST");
    c.Send("three\r\nfour\r\nfive\r\n");
    EXPECT_EQ(c.Rest(), "");
    std::vector<PostRecord> log = server.PostLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].text, "line one\nline two\n");
    EXPECT_FALSE(log[0].complete);
    EXPECT_EQ(log[1].text, "three\nfour\n");
    EXPECT_TRUE(server.Posted().empty());
}

TEST(NewsServerContent, GeneratedAndLoadedArticles) {
    std::string text = GeneratedArticleText("bench.group", 7, 3300);
    EXPECT_EQ(text.size(), 3300u);
    EXPECT_NE(text.find("Subject: Article 7 of bench.group\n"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');

    char tmpl[] = "/tmp/qiv-spool-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::filesystem::create_directories(dir + "/alt.loaded");
    std::ofstream(dir + "/alt.loaded/12") << "Subject: twelve\n\nbody\n";
    std::ofstream(dir + "/alt.loaded/2") << "Subject: two\n\nbody\n";
    std::ofstream(dir + "/alt.loaded/notes.txt") << "not an article";

    NewsServer server;
    EXPECT_EQ(server.LoadDirectory(dir), 2);
    EXPECT_EQ(server.LoadDirectory(dir + "/missing"), -1);
    server.GenerateArticles("bench.group", 3, 500, 10);
    server.AddDemoGroups();
    ASSERT_TRUE(server.Start());
    Client c(server.Port());
    c.Line();
    EXPECT_EQ(c.Command("GROUP alt.loaded"), "211 2 2 12 alt.loaded");
    EXPECT_EQ(c.Command("GROUP bench.group"), "211 3 10 12 bench.group");
    EXPECT_EQ(c.Command("ARTICLE 11"), "220 11 <11.bench.group@qiv-testserver> article");
    std::string body = c.Body();
    std::string expected = GeneratedArticleText("bench.group", 11, 500);
    std::string crlf;
    for (char ch : expected) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    EXPECT_EQ(body, crlf);
    EXPECT_GE(server.GroupNames().size(), 4u);
    std::filesystem::remove_all(dir);
}

TEST(NewsServerFaultText, ParsesCommandLineForm) {
    Fault f;
    ASSERT_TRUE(ParseFault("ARTICLE:2:close-after:100", &f));
    EXPECT_EQ(f.when, "ARTICLE");
    EXPECT_EQ(f.nth, 2);
    EXPECT_EQ(f.action, Fault::Action::Close);
    EXPECT_EQ(f.bytes, 100u);
    ASSERT_TRUE(ParseFault("AUTHINFO USER:0:reply:482 no: really", &f));
    EXPECT_EQ(f.when, "AUTHINFO USER");
    EXPECT_EQ(f.action, Fault::Action::Reply);
    EXPECT_EQ(f.text, "482 no: really");
    ASSERT_TRUE(ParseFault("NEXT:1:split:3:20", &f));
    EXPECT_EQ(f.pieces, 3);
    EXPECT_EQ(f.pauseMs, 20);
    ASSERT_TRUE(ParseFault("GREETING:1:reset", &f));
    EXPECT_EQ(f.action, Fault::Action::Reset);
    EXPECT_EQ(f.bytes, 0u);
    ASSERT_TRUE(ParseFault("ARTICLE:5:omit", &f));
    EXPECT_EQ(f.action, Fault::Action::Omit);
    EXPECT_EQ(f.nth, 5);
    EXPECT_FALSE(ParseFault("ARTICLE:5:omit:1", &f));
    EXPECT_FALSE(ParseFault("GREETING:x:reset", &f));
    EXPECT_FALSE(ParseFault("GREETING:1:explode", &f));
    EXPECT_FALSE(ParseFault("GREETING:1:close-after", &f));
    EXPECT_FALSE(ParseFault("GREETING:1:split:3", &f));
    EXPECT_FALSE(ParseFault("GREETING", &f));
}

std::string ProgramPath() {
    if (const char* dir = getenv("QIV_BUILD_DIR")) return std::string(dir) + "/qiv-testserver";
    // Run by hand: the program sits one level above the tests' directory.
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
            "qiv-testserver")
        .string();
}

TEST(NewsServerProgram, PrintsPortAndServesUntilTerminated) {
    std::string path = ProgramPath();
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(path.c_str(), path.c_str(), "--port", "0", "--groups-demo", "--generate",
              "bench.g:5:1000", "--user", "u", "--pass", "p", "--fault", "QUIT:1:reply:205 bye",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string first;
    char ch;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, kBoundMs) == 1 && read(out[0], &ch, 1) == 1 && ch != '\n') first += ch;
    close(out[0]);
    ASSERT_EQ(first.substr(0, 5), "port ") << first;
    int port = atoi(first.c_str() + 5);
    ASSERT_GT(port, 0);
    {
        Client c(static_cast<std::uint16_t>(port));
        EXPECT_EQ(c.Line().substr(0, 4), "200 ");
        EXPECT_EQ(c.Command("GROUP bench.g"), "480 authentication required");
        c.Command("AUTHINFO USER u");
        EXPECT_EQ(c.Command("AUTHINFO PASS p"), "281 authentication accepted");
        EXPECT_EQ(c.Command("GROUP bench.g"), "211 5 1 5 bench.g");
        EXPECT_EQ(c.Command("GROUP qiv.demo.welcome").substr(0, 4), "211 ");
        EXPECT_EQ(c.Command("QUIT"), "205 bye");
    }
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace testsrv
