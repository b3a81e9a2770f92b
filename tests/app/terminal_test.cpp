// The terminal interface of the built program, run in tmux: menus, dialogs,
// the log with its margin, the status line and leaving through E&xit.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "app_fixture.h"
#include "gateway_support.h"
#include "platform/message_loop.h"
#include "run_program.h"

namespace apptest {
namespace {

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (Shell("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";
        work_ = MakeTempDir();
        socket_ = "qivapp-" + std::to_string(getpid());
    }
    void TearDown() override {
        if (!socket_.empty()) Shell(Tmux("kill-server") + " 2>/dev/null");
        if (!work_.empty()) RemoveTree(work_);
    }

    std::string Tmux(const std::string& args) const { return "tmux -L " + socket_ + " " + args; }

    // Starts qivnews in an 80 by 24 terminal; its exit status lands in rc.
    void Launch(const std::string& profile) {
        const std::string program = Quote(QivnewsPath()) + " --profile-dir " + Quote(profile) +
                                    "; echo $? > " + Quote(work_ + "/rc");
        Shell(Tmux("-f /dev/null new-session -d -x 80 -y 24 " + Quote(program)));
    }
    std::string Screen() const { return Shell(Tmux("capture-pane -p -t 0") + " 2>/dev/null"); }
    void Keys(const std::string& keys) { Shell(Tmux("send-keys -t 0 " + keys)); }
    // Polls the screen until it shows what is asked, within a bound.
    bool WaitForScreen(const std::function<bool(const std::string&)>& pred, int boundMs = 10000) {
        const std::uint64_t deadline = plat::NowMs() + static_cast<std::uint64_t>(boundMs);
        do {
            if (pred(Screen())) return true;
            poll(nullptr, 0, 20);
        } while (plat::NowMs() < deadline);
        ADD_FAILURE() << "screen now:\n" << Screen();
        return false;
    }
    bool WaitFor(const std::string& text) {
        return WaitForScreen([&](const std::string& s) { return s.find(text) != s.npos; });
    }
    bool WaitGone(const std::string& text) {
        return WaitForScreen([&](const std::string& s) { return s.find(text) == s.npos; });
    }
    static std::vector<std::string> Lines(const std::string& screen) {
        std::vector<std::string> lines;
        std::size_t start = 0, end;
        while ((end = screen.find('\n', start)) != std::string::npos) {
            lines.push_back(screen.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    std::string work_;
    std::string socket_;
};

// The interface claims the profile like any gateway: with one running, it
// is refused before it takes over the screen.
TEST_F(TerminalTest, RefusedWhileAnotherGatewayHoldsTheProfile) {
    const std::string profile = work_ + "/p";
    const std::string spool = work_ + "/spool";
    ASSERT_EQ(mkdir(profile.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((work_ + "/g").c_str(), 0700), 0);
    const std::string spoolLine = "QivNewsDir=" + spool;
    WriteFile(profile + "/qiv.ini", IniText({"NNTPServer=127.0.0.1", "NNTPPort=9",
                                             "UserVerification=NO", spoolLine.c_str()}));
    Gateway gateway(profile, work_ + "/g");
    ASSERT_TRUE(gateway.Start()) << gateway.Err();
    // A terminal, so that the refusal is the lock's; the pane closes when
    // the program ends, so its error output goes to a file.
    const std::string program = Quote(QivnewsPath()) + " --profile-dir " + Quote(profile) + " 2> " +
                                Quote(work_ + "/err") + "; echo $? > " + Quote(work_ + "/rc");
    Shell(Tmux("-f /dev/null new-session -d -x 80 -y 24 " + Quote(program)));
    const std::uint64_t deadline = plat::NowMs() + 10000;
    while (ReadFile(work_ + "/rc").empty() && plat::NowMs() < deadline) poll(nullptr, 0, 20);
    EXPECT_EQ(ReadFile(work_ + "/rc"), "1\n");
    EXPECT_EQ(ReadFile(work_ + "/err"), "qivnews: the profile directory " + profile +
                                            " is in use by another qivnews (pid " +
                                            std::to_string(gateway.Pid()) + ", headless)\n");
    EXPECT_EQ(gateway.Stop().status, 0);
}

TEST_F(TerminalTest, MenusDialogsLogAndStatusOnAScreen) {
    const std::string profile = work_ + "/p";
    const std::string spool = work_ + "/spool";
    ASSERT_EQ(mkdir(profile.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(spool.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((spool + "/news").c_str(), 0755), 0);
    // An unreadable group counter makes the spool log a line when a group
    // is subscribed: something to see in the log.
    const std::string spoolLine = "QivNewsDir=" + spool;
    WriteFile(profile + "/qiv.ini", IniText({"NNTPServer=127.0.0.1", "NNTPPort=119",
                                             spoolLine.c_str(), "LastGroupNum=abc"}));
    Launch(profile);

    ASSERT_TRUE(WaitFor("Disconnected"));
    std::vector<std::string> lines = Lines(Screen());
    ASSERT_EQ(lines.size(), 24u);
    EXPECT_NE(lines[0].find("Qiv News Client"), std::string::npos);
    EXPECT_EQ(lines[1].rfind(" System  Groups  View  Help", 0), 0u) << lines[1];
    EXPECT_EQ(lines[23].rfind(" Disconnected", 0), 0u) << lines[23];

    // Every popup, by its letter.
    const std::pair<const char*, std::vector<const char*>> popups[] = {
        {"M-s", {"Setup", "Connect", "Disconnect", "Stop Timer", "Restart Timer", "Exit"}},
        {"M-g", {"Get newsgroups list", "Subscribe", "Unsubscribe", "Expire messages"}},
        {"M-v", {"Reset listbox"}},
        {"M-h", {"About"}},
    };
    for (const auto& [key, items] : popups) {
        SCOPED_TRACE(key);
        Keys(key);
        ASSERT_TRUE(WaitFor(items.back()));
        const std::string screen = Screen();
        for (const char* item : items) EXPECT_NE(screen.find(item), std::string::npos) << item;
        Keys("Escape");
        ASSERT_TRUE(WaitGone(items.back()));
    }

    // About opens and closes with its button.
    Keys("M-h a");
    ASSERT_TRUE(WaitFor("About Qiv News Client"));
    EXPECT_NE(Screen().find("Qiv News Client v0.17"), std::string::npos);
    Keys("Enter");
    ASSERT_TRUE(WaitGone("About Qiv News Client"));

    // Setup opens with the settings and closes on Cancel.
    Keys("M-s s");
    ASSERT_TRUE(WaitFor("Qiv News Client Configuration"));
    EXPECT_NE(Screen().find("[127.0.0.1"), std::string::npos);
    EXPECT_NE(Screen().find("User Verificarion required:"), std::string::npos);
    Keys("Escape");
    ASSERT_TRUE(WaitGone("Qiv News Client Configuration"));

    // A group subscribed through Select Group; the spool's line lands in the
    // log, one cell in from the left and one row below the menu bar.
    Keys("M-g s");
    ASSERT_TRUE(WaitFor("Newsgroup Name"));
    Keys("comp.lang.c Enter");
    ASSERT_TRUE(WaitFor("LastGroupNum"));
    lines = Lines(Screen());
    EXPECT_EQ(lines[2], "") << "the margin row above the log";
    EXPECT_EQ(lines[3].rfind(" LastGroupNum", 0), 0u) << lines[3];
    EXPECT_EQ(ReadFile(spool + "/newsys.rc"), "comp.lang.c:1\r\n");

    // E&xit ends the program normally.
    Keys("M-s x");
    ASSERT_TRUE(WaitForScreen([&](const std::string&) { return Exists(work_ + "/rc"); }));
    EXPECT_EQ(ReadFile(work_ + "/rc"), "0\n");
}

}  // namespace
}  // namespace apptest
