// The control socket: the protocol, the gateway serving it inside its own
// loop (in-process), and the real program handing subcommands to a running
// headless gateway, with the password kept out of every output.
#include "app/control_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "app/commands.h"
#include "app/instance_lock.h"
#include "cycle_support.h"
#include "gateway_support.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/expiry.h"

namespace apptest {
namespace {

TEST(ControlProtocolTest, FieldsTravelExactlyAndBadLinesAreRefused) {
    const app::ControlRequest request{"subscribe", {"a\tb\\c\nd\re\x01f", "", "plain.name"}};
    const std::string line = app::EncodeRequest(request);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    app::ControlRequest back;
    std::string error;
    ASSERT_TRUE(app::DecodeRequest(line.substr(0, line.size() - 1), back, error)) << error;
    EXPECT_EQ(back.command, request.command);
    EXPECT_EQ(back.args, request.args);

    const std::vector<std::pair<std::string, std::string>> bad = {
        {std::string("subscribe\ta\0b", 13), "a control character"},
        {"subscribe\ta\rb", "a control character"},
        {"subscribe\tab\\", "a broken escape"},
        {"subscribe\ta\\qb", "a broken escape"},
        {"subscribe\ta\\x4", "a broken escape"},
        {"\tname", "no command"},
        {"setup\t" + std::string(app::kMaxRequestLength, 'x'), "too long"},
    };
    for (const auto& [text, why] : bad) {
        SCOPED_TRACE(why);
        EXPECT_FALSE(app::DecodeRequest(text, back, error));
        EXPECT_EQ(error, why);
    }

    app::SetupOptions options;
    options.interval = 5;
    options.password = "p=w";
    options.auth = false;
    EXPECT_EQ(app::SetupRequest(options).args,
              (std::vector<std::string>{"--auth=no", "--password=p=w", "--interval=5"}));
}

TEST(ControlProtocolTest, AnswersOfOneOrManyLinesTravelWhole) {
    using Line = app::ControlAnswer::Line;
    const struct {
        app::ControlAnswer answer;
        std::string wire;
    } cases[] = {
        // One line going where the status says: the answer as it always was.
        {{{{false, "Subscribed to a as group 1"}}, 0}, "0\tSubscribed to a as group 1\n"},
        {{{{true, "subscribe: a is subscribed already"}}, 1},
         "1\tsubscribe: a is subscribed already\n"},
        {{{}, 0}, "0\t\n"},
        {{{Line{false, "x"}, Line{true, "y\tz\n"}}, 1}, "out\tx\nerr\ty z \n1\t\n"},
        {{{Line{true, "only error"}}, 0}, "err\tonly error\n0\t\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire);
        EXPECT_EQ(app::EncodeAnswer(c.answer), c.wire);
        app::ControlAnswer back;
        bool done = false, retry = true;
        std::size_t from = 0;
        for (std::size_t nl; (nl = c.wire.find('\n', from)) != std::string::npos; from = nl + 1) {
            EXPECT_FALSE(done);
            ASSERT_TRUE(app::DecodeAnswerLine(c.wire.substr(from, nl - from), back, done, retry));
        }
        EXPECT_TRUE(done);
        EXPECT_FALSE(retry);
        EXPECT_EQ(back.status, c.answer.status);
        ASSERT_EQ(back.lines.size(), c.answer.lines.size());
        for (std::size_t i = 0; i < back.lines.size(); ++i)
            EXPECT_EQ(back.lines[i].error, c.answer.lines[i].error);
    }
    app::ControlAnswer answer;
    bool done = false, retry = false;
    EXPECT_TRUE(app::DecodeAnswerLine("retry\tstopping", answer, done, retry));
    EXPECT_TRUE(done && retry);
    EXPECT_EQ(answer.lines[0].text, "stopping");
    for (const char* bad : {"no tab", "1234\tx", "ok\tx", "\tx", "-1\tx"})
        EXPECT_FALSE(app::DecodeAnswerLine(bad, answer, done, retry)) << bad;
}

TEST(ControlProtocolTest, ALongProfilePathIsReachedThroughTheDirectory) {
    EXPECT_EQ(app::SocketAddressPath("/home/u/.config/qivnews", 7),
              "/home/u/.config/qivnews/.qivnews.sock");
    const std::string longDir = "/" + std::string(100, 'd');
    EXPECT_FALSE(app::SocketPathFits(longDir));
    EXPECT_EQ(app::SocketAddressPath(longDir, 7), "/proc/self/fd/7/.qivnews.sock");
}

// A client of the socket driven from the test's loop: it never blocks.
class Client {
public:
    explicit Client(const std::string& profileDir) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = profileDir + "/" + app::kSocketFileName;
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        connected_ = connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() { Hangup(); }
    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) {
        EXPECT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // As much as the socket takes now.
    std::size_t SendSome(const std::string& bytes) {
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    void Hangup() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // Takes what has arrived; true once the gateway has closed the connection.
    bool Closed() {
        char buffer[4096];
        ssize_t n;
        while (fd_ >= 0 && (n = recv(fd_, buffer, sizeof buffer, 0)) > 0)
            got_.append(buffer, static_cast<std::size_t>(n));
        if (fd_ >= 0 && n == 0) closed_ = true;
        return closed_;
    }
    const std::string& Got() const { return got_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string got_;
};

class ChannelTest : public CycleTest {
protected:
    void TearDown() override {
        app::CloseControlChannel();
        app::SetControlClientTimeoutForTests(10000);
        CycleTest::TearDown();
    }
    void Open(std::initializer_list<const char*> extra = {}) {
        Configure(extra);
        ASSERT_TRUE(app::OpenControlChannel(window_));
    }
    // One request, its answer.
    std::string Ask(const app::ControlRequest& request) {
        Client c(dir_);
        EXPECT_TRUE(c.Connected());
        c.Send(app::EncodeRequest(request));
        EXPECT_TRUE(Pump([&] { return c.Closed(); }));
        return c.Got();
    }
    bool Logged(const std::string& line) const {
        for (const std::string& l : Log())
            if (l == line) return true;
        return false;
    }
    std::string RequestLine(const std::string& text) const {
        return "Request from qivnews (pid " + std::to_string(getpid()) + "): " + text;
    }
};

TEST_F(ChannelTest, GroupCommandsAndSetupRunAsTheMenuCommandsWithTheAnswerGiven) {
    Open();
    EXPECT_EQ(Ask({"subscribe", {"alt.x"}}), "0\tSubscribed to alt.x as group 1\n");
    EXPECT_TRUE(Logged(RequestLine("subscribe alt.x")));
    EXPECT_TRUE(Logged("Subscribed to alt.x as group 1"));
    EXPECT_STREQ(State().selectedGroupName, "alt.x");
    EXPECT_EQ(State().settings.lastGroupNum, 2);
    EXPECT_EQ(ReadFile(Spool("newsys.rc")), "alt.x:1\r\n");

    // Failures come back to the caller; no box waits for someone to close it.
    EXPECT_EQ(Ask({"subscribe", {"alt.x"}}), "1\tsubscribe: alt.x is subscribed already\n");
    EXPECT_EQ(Ask({"unsubscribe", {"nope"}}), "1\tunsubscribe: nope is not subscribed\n");
    EXPECT_EQ(Ask({"subscribe", {"a\tb"}}),
              "1\tsubscribe: A group name may not hold a colon, white space or control "
              "characters\n");
    EXPECT_EQ(Ask({"frobnicate", {}}),
              "1\tthe running qivnews does not know the request frobnicate\n");
    EXPECT_TRUE(ui_->MessageBoxes().empty());
    EXPECT_EQ(ReadFile(Spool("newsys.rc")), "alt.x:1\n");  // as the unsubscribe rewrote it

    EXPECT_EQ(Ask({"setup", {"--interval=5", "--password=pw-Secret9"}}), "0\t\n");
    EXPECT_EQ(State().settings.timerInterval, 5);
    EXPECT_EQ(State().settings.qivNewsPassword, "pw-Secret9");
    EXPECT_EQ(Setting("TimerInterval"), "5");
    EXPECT_EQ(Setting("QivNewsPassword"), "pw-Secret9");
    EXPECT_EQ(State().status.minutesToNext, 5);
    EXPECT_TRUE(Logged(RequestLine("setup --interval=5 --password")));
    for (const std::string& line : Log()) EXPECT_EQ(line.find("pw-Secret9"), std::string::npos);
    EXPECT_EQ(Ask({"setup", {"--port=0"}}),
              "1\tsetup: --port: a number from 1 to 65535, not \"0\"\n");
}

TEST_F(ChannelTest, ManyNamesAreAnsweredALineEachThenTheStatus) {
    Open();
    EXPECT_EQ(Ask({"subscribe", {"alt.a", "x:y", "alt.b", "ALT.A"}}),
              "out\tSubscribed to alt.a as group 1\n"
              "err\tsubscribe: A group name may not hold a colon, white space or control "
              "characters\n"
              "out\tSubscribed to alt.b as group 2\n"
              "err\tsubscribe: ALT.A is subscribed already\n1\t\n");
    EXPECT_STREQ(State().selectedGroupName, "ALT.A");
    EXPECT_EQ(State().settings.lastGroupNum, 3);
    EXPECT_TRUE(Logged(RequestLine("subscribe alt.a x:y alt.b ALT.A")));
    EXPECT_TRUE(Logged("ALT.A is subscribed already"));
    EXPECT_EQ(Ask({"unsubscribe", {"alt.b", "alt.a"}}),
              "out\tUnsubscribed from alt.b\nout\tUnsubscribed from alt.a\n0\t\n");
    EXPECT_TRUE(ui_->MessageBoxes().empty());

    // Thousands of names: the request and its answer are far beyond a page.
    app::ControlRequest many{"subscribe", {}};
    std::string expected;
    for (int i = 1; i <= 3000; ++i) {
        many.args.push_back("alt.many.group" + std::to_string(i));
        expected += "out\tSubscribed to " + many.args.back() + " as group " +
                    std::to_string(i + 2) + "\n";
    }
    const std::string answer = Ask(many);
    EXPECT_GT(answer.size(), 64u * 1024);
    EXPECT_EQ(answer, expected + "0\t\n");
    EXPECT_EQ(State().settings.lastGroupNum, 3003);
}

TEST_F(ChannelTest, ExpireIsAnsweredWhenTheWholeChainHasRun) {
    for (int n = 1; n <= 3; ++n) Subscribe(n, "alt.g" + std::to_string(n));
    // Group 2 holds one article indexed long ago.
    spool::ArticleHeaders headers;
    headers.from = "a@b.invalid";
    headers.subject = "old";
    headers.articleNumber = 7;
    const spool::ArticleIndexRecord old =
        spool::BuildArticleIndexRecord(headers, 2, 1, plat::LocalTime{2001, 3, 4, 5, 6});
    WriteFile(Spool("2.grp"), std::string(reinterpret_cast<const char*>(&old), sizeof old));
    WriteFile(Spool("news/NG2/00000001.nws"), "From: a@b.invalid\r\n\r\nold\r\n");
    Open();

    EXPECT_EQ(Ask({"expire", {}}), "0\t\n");
    // Every step has run: the last group got its ExpireDays, the old article went.
    EXPECT_EQ(Ini("NG3", "ExpireDays"), "1");
    EXPECT_FALSE(Exists(Spool("news/NG2/00000001.nws")));
    EXPECT_EQ(ReadFile(Spool("2.grp")), "");
    EXPECT_EQ(spool::ExpiryGroup(), 1);
    EXPECT_FALSE(spool::ExpiryRunning());
    EXPECT_EQ(Log().back(), "Expiry finished");
}

TEST_F(ChannelTest, ListGroupsWaitsForTheRunningCycleAndReportsItsOutcome) {
    server_.AddGroup(MakeGroup("alt.a", 1, 2));
    Subscribe(1, "alt.a");
    Open();
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Cycle().report.running);
    EXPECT_EQ(Ask({"list-groups", {}}), "0\tGroup list received\n");
    EXPECT_EQ(server_.Connections(), 2);
    EXPECT_EQ(ServerCommands("LIST").size(), 1u);
    EXPECT_TRUE(Exists(Spool("groups.txt")));
    // The list's own cycle began only after the fetch cycle had ended.
    const std::vector<std::string> tail = LogFrom("Finished getting messages");
    ASSERT_FALSE(tail.empty());
    EXPECT_NE(std::find(tail.begin(), tail.end(), "Getting Group List"), tail.end());
    ExpectDisconnectedState();

    server_.AddFault(testsrv::Fault::Reply("LIST", "503 no list today", 2));
    EXPECT_EQ(Ask({"list-groups", {}}), "1\tlist-groups: the cycle did not complete\n");
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "NNTPServer", "NotYetSet", "qiv.ini"));
    State().settings.nntpServer = "NotYetSet";
    EXPECT_EQ(Ask({"list-groups", {}}),
              "1\tlist-groups: no news server is set up (qivnews setup --server HOST)\n");
}

TEST_F(ChannelTest, SilentSlowAndMalformedClientsDoNotHoldTheGatewayUp) {
    Open();
    app::SetControlClientTimeoutForTests(300);
    Client silent(dir_);
    silent.Send("subscr");
    Client nul(dir_);
    nul.Send(std::string("subscribe\talt.\0x\n", 17));
    Client huge(dir_);
    // More than the socket holds: sent as the gateway takes it.
    const std::string hugeRequest(app::kMaxRequestLength + 10, 'a');
    std::size_t hugeSent = 0;
    EXPECT_TRUE(Pump([&] {
        hugeSent += huge.SendSome(hugeRequest.substr(hugeSent));
        return hugeSent == hugeRequest.size() || huge.Closed();
    }));
    Client two(dir_);
    two.Send("expire\nexpire\n");
    EXPECT_TRUE(Pump([&] { return nul.Closed() && huge.Closed() && two.Closed(); }));
    EXPECT_EQ(nul.Got(), "1\tmalformed request: a control character\n");
    EXPECT_EQ(huge.Got(), "1\tthe request is too long\n");
    EXPECT_EQ(two.Got(), "1\tone request per connection\n");
    // Served while the silent one still sits there.
    EXPECT_EQ(Ask({"subscribe", {"alt.y"}}), "0\tSubscribed to alt.y as group 1\n");
    EXPECT_FALSE(silent.Closed());
    EXPECT_TRUE(Pump([&] { return silent.Closed(); }, 5000));
    EXPECT_EQ(silent.Got(), "");

    // One that hangs up after its request: the command still runs.
    Client gone(dir_);
    gone.Send(app::EncodeRequest({"subscribe", {"alt.gone"}}));
    gone.Hangup();
    EXPECT_TRUE(Pump([&] { return State().settings.lastGroupNum == 3; }));
    EXPECT_EQ(Ask({"unsubscribe", {"alt.gone"}}), "0\tUnsubscribed from alt.gone\n");
}

TEST_F(ChannelTest, AnotherUserIsRefusedAtTheDoor) {
    Open();
    // Let the other user reach the socket at all, so that only the check
    // of its credentials stands in the way.
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    ASSERT_EQ(chmod((dir_ + "/" + app::kSocketFileName).c_str(), 0666), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = dir_ + "/" + app::kSocketFileName;
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) _exit(4);
        const std::string line = "subscribe\talt.intruder\n";
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        char c;
        _exit(recv(fd, &c, 1, 0) <= 0 ? 0 : 5);  // closed without a word
    }
    int status = -1;
    EXPECT_TRUE(Pump([&] { return waitpid(child, &status, WNOHANG) == child; }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Logged("Refused a control connection from user 65534"));
    EXPECT_FALSE(Exists(Spool("newsys.rc")));
}

TEST_F(ChannelTest, StoppingAnswersRetryAndRemovesTheSocket) {
    Open();
    Command(app::IDM_CONNECT);
    Client waiting(dir_);
    waiting.Send(app::EncodeRequest({"list-groups", {}}));
    ASSERT_TRUE(Pump([&] { return Logged(RequestLine("list-groups")); }));
    app::CloseControlChannel();
    EXPECT_TRUE(waiting.Closed());
    EXPECT_EQ(waiting.Got(), "retry\tthe running qivnews stopped before it could do this\n");
    EXPECT_FALSE(Exists(dir_ + "/" + app::kSocketFileName));
    EXPECT_FALSE(app::ControlChannelOpen());
}

TEST_F(ChannelTest, ALeftOverSocketIsReplacedAndAnythingElseIsLeftAlone) {
    const std::string path = dir_ + "/" + app::kSocketFileName;
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    close(fd);  // as a killed gateway leaves it
    Open();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Ask({"subscribe", {"alt.z"}}), "0\tSubscribed to alt.z as group 1\n");
    app::CloseControlChannel();

    WriteFile(path, "not a socket");
    EXPECT_FALSE(app::OpenControlChannel(window_));
    EXPECT_EQ(Log().back(), "No control socket: " + path + " is in the way and cannot be replaced");
    EXPECT_EQ(ReadFile(path), "not a socket");
}

// The real program: a headless gateway and the subcommands run beside it.
class HandOverTest : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = MakeTempDir();
        mkdir((work_ + "/g").c_str(), 0700);
        mkdir((work_ + "/c").c_str(), 0700);
        SetProfile(work_ + "/p");
        spool_ = MakeSpool("spool");
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override {
        server_.Stop();
        RemoveTree(work_);
    }
    void SetProfile(const std::string& dir) {
        profile_ = dir;
        mkdir(profile_.c_str(), 0700);
    }
    std::string MakeSpool(const std::string& name) {
        const std::string spool = work_ + "/" + name;
        for (const std::string& d : {spool, spool + "/news", spool + "/out"})
            mkdir(d.c_str(), 0755);
        return spool;
    }
    void WriteProfile(std::initializer_list<const char*> extra = {}) {
        std::string text = IniText({"NNTPServer=127.0.0.1"});
        text += "NNTPPort=" + std::to_string(server_.Port()) + "\r\nQivNewsDir=" + spool_ + "\r\n";
        bool auth = false;
        for (const char* line : extra) {
            text += std::string(line) + "\r\n";
            auth = auth || std::strncmp(line, "UserVerification=", 17) == 0;
        }
        if (!auth) text += "UserVerification=NO\r\n";
        WriteFile(profile_ + "/qiv.ini", text);
    }
    ProgramResult Qiv(std::vector<std::string> args, const std::string& input = "") {
        ProgramRun run;
        run.args = {"--profile-dir", profile_};
        run.args.insert(run.args.end(), args.begin(), args.end());
        run.workDir = work_ + "/c";
        run.input = input;
        return RunProgram(run);
    }
    std::string Key(const std::string& key) {
        plat::SetProfileDir(profile_);
        const std::string value =
            plat::GetProfileString("QIVNEWS", key, "(missing)", 256, "qiv.ini");
        plat::SetProfileDir(".");
        return value;
    }
    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    }

    std::string work_;
    std::string profile_;
    std::string spool_;
    testsrv::NewsServer server_;
};

TEST_F(HandOverTest, SubcommandsGoThroughTheRunningGatewayWithTheStatusOfARunAlone) {
    WriteProfile({"LastGroupNum=1"});
    Gateway gateway(profile_, work_ + "/g");
    ASSERT_TRUE(gateway.Start()) << gateway.Err();

    ProgramResult r = Qiv({"subscribe", "alt.one"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Subscribed to alt.one as group 1\n");
    EXPECT_EQ(r.err, "");
    const ProgramResult twice = Qiv({"subscribe", "alt.one"});
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "qivnews: subscribe: alt.one is subscribed already\n");
    EXPECT_EQ(twice.out, "");
    r = Qiv({"unsubscribe", "alt.unknown"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qivnews: unsubscribe: alt.unknown is not subscribed\n");
    // The gateway's own counter moved on: no number is handed out twice.
    r = Qiv({"subscribe", "alt.two"});
    EXPECT_EQ(r.out, "Subscribed to alt.two as group 2\n");
    EXPECT_EQ(ReadFile(spool_ + "/newsys.rc"), "alt.one:1\nalt.two:2\r\n");

    r = Qiv({"setup", "--interval", "5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(Key("TimerInterval"), "5");
    // A new spool takes effect in the running gateway at once.
    const std::string other = MakeSpool("other");
    EXPECT_EQ(Qiv({"setup", "--spool", other}).status, 0);
    EXPECT_EQ(Qiv({"subscribe", "alt.three"}).out, "Subscribed to alt.three as group 3\n");
    EXPECT_EQ(ReadFile(other + "/newsys.rc"), "alt.three:3\r\n");

    WriteFile(other + "/news/NG3/00000001.nws", "old\r\n");
    spool::ArticleHeaders headers;
    const spool::ArticleIndexRecord old =
        spool::BuildArticleIndexRecord(headers, 3, 1, plat::LocalTime{2002, 1, 2, 3, 4});
    WriteFile(other + "/3.grp", std::string(reinterpret_cast<const char*>(&old), sizeof old));
    r = Qiv({"expire"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Exists(other + "/news/NG3/00000001.nws"));

    const std::string log = gateway.Out();
    for (const char* line :
         {"): subscribe alt.one\nSubscribed to alt.one as group 1\n",
          "): subscribe alt.one\nalt.one is subscribed already\n",
          "): unsubscribe alt.unknown\nalt.unknown is not subscribed\n",
          "): setup --interval=5\nSettings stored\n", "): expire\nExpiry finished\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(gateway.Stop().status, 0);

    // Alone, the same refusal in the same words.
    r = Qiv({"subscribe", "alt.three"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qivnews: subscribe: alt.three is subscribed already\n");
    EXPECT_EQ(r.out, "");
}

// Each call runs once alone and once handed to a gateway, each time on a
// fresh profile and spool: the same output, status and registry.
TEST_F(HandOverTest, ManyNamesThroughTheGatewayGiveTheOutputOfARunAlone) {
    std::vector<std::string> many = {"subscribe"};
    for (int i = 1; i <= 3000; ++i) many.push_back("alt.many.g" + std::to_string(i));
    std::vector<std::string> fewer = many;
    fewer[0] = "unsubscribe";
    fewer.resize(2001);
    const std::vector<std::vector<std::string>> calls = {
        {"subscribe", "alt.a", "bad:name", "alt.b", "ALT.A"},
        {"unsubscribe", "alt.b", "ALT.B", "nope"},
        many,
        fewer,
    };
    std::vector<ProgramResult> alone, handed;
    std::string aloneRegistry;
    for (const bool viaGateway : {false, true}) {
        SetProfile(work_ + (viaGateway ? "/p2" : "/p1"));
        spool_ = MakeSpool(viaGateway ? "s2" : "s1");
        WriteProfile({"LastGroupNum=1"});
        Gateway gateway(profile_, work_ + "/g");
        if (viaGateway) {
            ASSERT_TRUE(gateway.Start()) << gateway.Err();
        }
        for (const auto& call : calls) (viaGateway ? handed : alone).push_back(Qiv(call));
        if (viaGateway) {
            EXPECT_NE(gateway.Out().find("): subscribe alt.a bad:name alt.b ALT.A\n"
                                         "Subscribed to alt.a as group 1\n"),
                      std::string::npos)
                << gateway.Out();
            EXPECT_EQ(gateway.Stop().status, 0);
            EXPECT_EQ(ReadFile(spool_ + "/newsys.rc"), aloneRegistry);
        } else {
            aloneRegistry = ReadFile(spool_ + "/newsys.rc");
        }
    }
    ASSERT_EQ(handed.size(), alone.size());
    for (std::size_t i = 0; i < alone.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(handed[i].status, alone[i].status);
        EXPECT_EQ(handed[i].out, alone[i].out);
        EXPECT_EQ(handed[i].err, alone[i].err);
    }
    EXPECT_EQ(alone[0].status, 1);
    EXPECT_EQ(alone[0].out, "Subscribed to alt.a as group 1\nSubscribed to alt.b as group 2\n");
    EXPECT_EQ(alone[0].err,
              "qivnews: subscribe: A group name may not hold a colon, white space or control "
              "characters\nqivnews: subscribe: ALT.A is subscribed already\n");
    EXPECT_EQ(alone[1].err, "qivnews: unsubscribe: ALT.B is not subscribed\n"
                            "qivnews: unsubscribe: nope is not subscribed\n");
    EXPECT_EQ(alone[2].status, 0);
    EXPECT_EQ(Count(alone[2].out, "\n"), 3000);
    EXPECT_EQ(Count(alone[3].out, "Unsubscribed from alt.many.g"), 2000);
    EXPECT_EQ(Count(aloneRegistry, "\n"), 1001);  // alt.a and the last thousand
}

TEST_F(HandOverTest, ThePasswordAppearsInNoOutput) {
    const std::string password = "Zq7-secret-Pw";
    server_.SetAccounts({{"joe", password}});
    server_.AddGroup(MakeGroup("alt.auth", 1, 1));
    WriteProfile(
        {"UserVerification=Yes", "QivNewsUsername=joe", "QivNewsPassword=stale", "LastGroupNum=1"});
    Gateway gateway(profile_, work_ + "/g");
    ASSERT_TRUE(gateway.Start()) << gateway.Err();

    const ProgramResult setup = Qiv({"setup", "--password-stdin"}, password + "\n");
    EXPECT_EQ(setup.status, 0) << setup.err << gateway.Out();
    const ProgramResult list = Qiv({"list-groups"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "Group list received\n");
    const std::vector<std::string> sent = server_.Commands();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "AUTHINFO PASS " + password), sent.end());
    const ProgramResult stopped = gateway.Stop();
    EXPECT_EQ(stopped.status, 0);

    // A mistyped option does not echo its value.
    const ProgramResult typo = Qiv({"setup", "--pasword=" + password});
    EXPECT_EQ(typo.status, 2);
    EXPECT_NE(typo.err.find("setup: unknown option --pasword\n"), std::string::npos) << typo.err;

    // And a cycle run alone.
    const ProgramResult once = Qiv({"--once"});
    EXPECT_EQ(once.status, 0) << once.out << once.err;

    EXPECT_EQ(Count(stopped.out, "Sending password\n"), 1) << stopped.out;
    EXPECT_EQ(Count(once.out, "Sending password\n"), 1) << once.out;
    EXPECT_NE(stopped.out.find("setup --password\nSettings stored\n"), std::string::npos);
    for (const ProgramResult* r : {&setup, &list, &stopped, &typo, &once}) {
        EXPECT_EQ(r->out.find(password), std::string::npos) << r->out;
        EXPECT_EQ(r->err.find(password), std::string::npos) << r->err;
    }
    struct stat st;
    ASSERT_EQ(stat((profile_ + "/qiv.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A file made readable by others loses that as soon as it holds a password.
    ASSERT_EQ(chmod((profile_ + "/qiv.ini").c_str(), 0644), 0);
    EXPECT_EQ(Qiv({"setup", "--password-stdin"}, "other\n").status, 0);
    ASSERT_EQ(stat((profile_ + "/qiv.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(HandOverTest, AOnceRunServesTheSocketUntilItEndsAndThenLeavesTheProfileFree) {
    server_.AddGroup(MakeGroup("alt.slow", 1, 1));
    // The server takes its time with the greeting, so that --once is still
    // at work while the subcommands arrive.
    server_.AddFault(testsrv::Fault::Delay("GREETING", 2000, 1));
    WriteProfile({"LastGroupNum=1"});
    Gateway once(profile_, work_ + "/g");
    ASSERT_TRUE(once.Start("--once")) << once.Err();

    ProgramResult r = Qiv({"subscribe", "alt.slow"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(once.Out().find("): subscribe alt.slow\nSubscribed to alt.slow as group 1\n"),
              std::string::npos)
        << once.Out();
    // The list waits for the cycle, which is the run's last; told to try
    // again when it ends, it finds the profile free and runs alone.
    r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Connecting to server\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Group list received\n"), std::string::npos) << r.out;
    const ProgramResult ended = once.Finish();
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_NE(ended.out.find("): list-groups\n"), std::string::npos) << ended.out;
    EXPECT_EQ(server_.Connections(), 2);
    EXPECT_TRUE(Exists(spool_ + "/groups.txt"));
    EXPECT_FALSE(Exists(profile_ + "/" + app::kSocketFileName));
}

TEST_F(HandOverTest, AProfilePathTooLongForASocketAddressStillWorks) {
    std::string dir = work_;
    while (dir.size() < 120) dir += "/long-directory-name";
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    SetProfile(dir);
    WriteProfile({"LastGroupNum=1"});
    Gateway gateway(profile_, work_ + "/g");
    ASSERT_TRUE(gateway.Start()) << gateway.Err();
    struct stat st;
    ASSERT_EQ(stat((dir + "/" + app::kSocketFileName).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    const ProgramResult r = Qiv({"subscribe", "alt.long"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(gateway.Out().find("subscribe alt.long"), std::string::npos);
    EXPECT_EQ(gateway.Stop().status, 0);
}

TEST_F(HandOverTest, ASocketServedByAnotherUserGetsNothing) {
    WriteProfile({"LastGroupNum=1"});
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t impostor = fork();
    if (impostor == 0) {
        // Holds the lock as a gateway would, but listens as another user.
        app::ProfileLock lock;
        app::LockOwner owner;
        std::string error;
        if (lock.TryTake(profile_, "headless", owner, error) != app::LockResult::Taken) _exit(3);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = profile_ + "/" + app::kSocketFileName;
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) _exit(4);
        if (setgid(65534) != 0 || setuid(65534) != 0 || listen(fd, 1) != 0) _exit(5);
        const int client = accept(fd, nullptr, nullptr);
        char buffer[256];
        long total = 0;
        for (ssize_t n; (n = recv(client, buffer, sizeof buffer, 0)) > 0;) total += n;
        if (write(report[1], &total, sizeof total) != sizeof total) _exit(6);
        pause();  // still holding the lock and listening
        _exit(0);
    }
    ASSERT_TRUE(WaitFor([&] { return SocketAnswers(profile_); }));
    // The probe above was the impostor's one connection; the next one is
    // the subcommand's and waits in the backlog.
    long probe = -1;
    ASSERT_EQ(read(report[0], &probe, sizeof probe), static_cast<ssize_t>(sizeof probe));
    const ProgramResult r = Qiv({"setup", "--password", "for-no-one"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is served by another user; nothing was sent"), std::string::npos)
        << r.err;
    kill(impostor, SIGKILL);
    waitpid(impostor, nullptr, 0);
    EXPECT_NE(Key("QivNewsPassword"), "for-no-one");
    close(report[0]);
    close(report[1]);
}

}  // namespace
}  // namespace apptest
