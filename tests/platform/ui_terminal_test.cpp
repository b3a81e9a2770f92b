// The terminal backend in a real pseudo-terminal: a child process runs a main
// window on it with the message loop; the test types keys into the master
// side and reads the screen through a VT100 interpreter.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>

#include "platform/message_loop.h"
#include "platform/ui.h"
#include "vt_screen.h"

using namespace plat;

namespace {

constexpr int kNoTerminal = 7;
constexpr unsigned kFillCommand = 40100;

// ---------------------------------------------------------------- child side

WindowHandle g_main = 0;
long g_ticks = 0;
bool g_ignoreHangup = false;  // set before the child is forked

ui::Menu DemoMenu() {
    return {
        {"&System",
         {{"&Setup", 40000},
          {"", 0},
          {"&Connect", 40001},
          {"&Disconnect", 40002, true},
          {"", 0},
          {"S&top Timer", 40019},
          {"&Restart Timer", 40020, true},
          {"", 0},
          {"E&xit", 40003}}},
        {"&Groups",
         {{"Get newsgroups &list", 40004},
          {"", 0},
          {"&Subscribe", 40005},
          {"&Unsubscribe", 40006},
          {"", 0},
          {"&Expire messages", 40009}}},
        {"&View", {{"&Reset listbox", 40016}, {"&Fill", kFillCommand}}},
        {"&Help", {{"&About", 40010}}},
    };
}

void RunSetupDialog() {
    using ui::Control;
    using ui::ControlKind;
    ui::Dialog d;
    d.caption = "Qiv News Client Configuration";
    d.focus = 101;
    auto label = [](const char* text) { return Control{ControlKind::Label, -1, text}; };
    Control port{ControlKind::Edit, 102, ""};
    port.width = 6;
    Control minutes{ControlKind::Edit, 1013, "0"};
    minutes.width = 5;
    Control unit = label("minute(s)");
    unit.sameRow = true;
    Control yes{ControlKind::Radio, 1011, "&Yes"};
    Control no{ControlKind::Radio, 1012, "&No", true};
    d.controls = {label("NNTP &Port"),
                  port,
                  label("NNTP &Server"),
                  {ControlKind::Edit, 101, ""},
                  label("Password"),
                  {ControlKind::Password, 1010, ""},
                  {ControlKind::GroupBox, -1, "User Verificarion required:"},
                  yes,
                  no,
                  {ControlKind::DefaultButton, 1, "OK"},
                  {ControlKind::Button, 2, "Cancel"},
                  label("Connect every"),
                  minutes,
                  unit};
    d.onCommand = [](ui::Dialog& dialog, int id) {
        if (id == 1 && dialog.Text(102).empty()) {
            ui::Current().MessageBox("Qiv News Client", "Port missing");
            return false;
        }
        return true;
    };
    const int result = ui::Current().RunDialog(d);
    ui::Current().LogAdd("dialog " + std::to_string(result) + " server=" + d.Text(101) +
                         " pass=" + d.Text(1010) + " port=" + d.Text(102) +
                         " yes=" + std::to_string(d.Checked(1011)));
}

LResult DemoProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    ui::Backend& ui = ui::Current();
    switch (message) {
        case msg::Size: {
            const int w = static_cast<int>(lParam & 0xFFFF), h = static_cast<int>(lParam >> 16);
            ui.LogAdd("size " + std::to_string(w) + "x" + std::to_string(h));
            ui.SetLogBounds(1, 1, w - 2, h - 2);
            return 0;
        }
        case msg::Timer:
            ui.SetStatus({"Disconnected", "alt.test", ++g_ticks, 5});
            return 0;
        case msg::Command:
            switch (wParam) {
                case 40000:
                    RunSetupDialog();
                    break;
                case 40003:
                    DestroyWindow(window);
                    break;
                case 40010:
                    ui.MessageBox("About Qiv News Client", "Qiv News Client v0.17");
                    ui.LogAdd("about closed");
                    break;
                case 40019:
                    ui.SetMenuItemGrayed(40019, true);
                    ui.SetMenuItemGrayed(40020, false);
                    ui.LogAdd("command 40019");
                    break;
                case 40016:
                    ui.LogReset();
                    break;
                case kFillCommand:
                    for (int i = 0; i < 60; ++i) ui.LogAdd("line " + std::to_string(100 + i));
                    break;
                default:
                    ui.LogAdd("command " + std::to_string(wParam));
                    break;
            }
            return 0;
        case msg::Close:
            DestroyWindow(window);
            return 0;
        case msg::Destroy:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProc(window, message, wParam, lParam);
    }
}

[[noreturn]] void ChildMain(const char* term) {
    setenv("TERM", term, 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    unsetenv("LINES");
    unsetenv("COLUMNS");
    if (g_ignoreHangup) signal(SIGHUP, SIG_IGN);
    ResetMessageLoopForTests();
    std::unique_ptr<ui::Backend> backend = ui::MakeTerminalBackend();
    if (!backend) _exit(kNoTerminal);
    ui::Install(std::move(backend));
    RegisterWindowClass("QivDemoMain", DemoProc);
    g_main = CreateWindow("QivDemoMain");
    ui::Backend& ui = ui::Current();
    ui.Attach(g_main);
    ui.SetTitle("Qiv News Client");
    ui.SetMenu(DemoMenu());
    ui.Show();
    ui.LogAdd("first line");
    ui.LogAdd(
        "\x1b[31mred\x9b"
        "2J caf\xe9");
    ui.LogAdd(std::string(200, 'x'));
    SetTimer(g_main, 1, 100);
    const int code = RunMessageLoop();
    ui::Install(nullptr);
    _exit(code);
}

// ---------------------------------------------------------------- test side

// Key sequences of the xterm terminal description in application mode.
const std::string kF10 = "\x1b[21~";
const std::string kUp = "\x1bOA";
const std::string kDown = "\x1bOB";
const std::string kRight = "\x1bOC";
const std::string kEsc = "\x1b";
const std::string kEnter = "\r";
const std::string kTab = "\t";
const std::string kBackTab = "\x1b[Z";
const std::string kPageUp = "\x1b[5~";
const std::string kEnd = "\x1bOF";

std::string Squeeze(const std::string& text) {
    std::istringstream in(text);
    std::string word, out;
    while (in >> word) out += (out.empty() ? "" : " ") + word;
    return out;
}

class TerminalSession {
public:
    TerminalSession(int rows = 24, int cols = 80, const char* term = "xterm") : screen(rows, cols) {
        winsize ws{};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        pid_ = forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) ChildMain(term);
    }
    ~TerminalSession() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }

    bool Started() const { return pid_ > 0; }
    void CloseMaster() {
        close(master_);
        master_ = -1;
    }

    // Reads what the child draws until pred holds or the bound passes.
    bool WaitFor(const std::function<bool()>& pred, int boundMs = 15000) {
        const std::uint64_t deadline = NowMs() + static_cast<std::uint64_t>(boundMs);
        while (!pred()) {
            const std::uint64_t now = NowMs();
            if (now >= deadline) return false;
            pollfd p{master_, POLLIN, 0};
            const int left = static_cast<int>(std::min<std::uint64_t>(deadline - now, 100));
            if (poll(&p, 1, left) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return pred();  // the child has gone
            screen.Feed(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    bool WaitForText(const std::string& text, int boundMs = 15000) {
        return WaitFor([&] { return screen.Contains(text); }, boundMs);
    }
    bool WaitForGone(const std::string& text) {
        return WaitFor([&] { return !screen.Contains(text); });
    }

    void Send(const std::string& keys) {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    void Resize(int rows, int cols) {
        screen.Resize(rows, cols);
        winsize ws{};
        ws.ws_row = static_cast<unsigned short>(rows);
        ws.ws_col = static_cast<unsigned short>(cols);
        ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &ws), 0);
    }

    // The child's exit status, or -1 when it did not end within the bound.
    int WaitExit(int boundMs = 15000) {
        const std::uint64_t deadline = NowMs() + static_cast<std::uint64_t>(boundMs);
        char buf[4096];
        while (NowMs() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            pollfd p{master_, POLLIN, 0};
            if (master_ < 0) p.fd = -1;  // closed: poll only waits
            if (poll(&p, 1, 20) > 0 && read(master_, buf, sizeof buf) > 0) continue;
        }
        return -1;
    }

    // The number after "Fetched: " on the status row.
    long Fetched() const {
        const std::string row = screen.Row(screen.Rows() - 1);
        const std::size_t at = row.find("Fetched: ");
        return at == std::string::npos ? -1 : std::atol(row.c_str() + at + 9);
    }

    qivtest::VtScreen screen;

private:
    pid_t pid_ = -1;
    int master_ = -1;
    bool exited_ = false;
};

#define ASSERT_SCREEN(cond, session) ASSERT_TRUE(cond) << (session).screen.Dump()

TEST(TerminalUi, DrawsTitleMenuLogInsideMarginAndStatus) {
    TerminalSession t;
    ASSERT_TRUE(t.Started());
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
    const auto& s = t.screen;
    // One refresh may reach us in several reads: wait for all of the row.
    ASSERT_SCREEN(t.WaitFor([&] {
        return t.Fetched() > 0 && s.Row(23).find("| Group: alt.test") != std::string::npos;
    }),
                  t);

    EXPECT_EQ(Squeeze(s.Row(0)), "Qiv News Client");
    EXPECT_TRUE(s.Reverse(0, 0));
    EXPECT_EQ(Squeeze(s.Row(1)), "System Groups View Help");
    EXPECT_EQ(s.Row(1).find("System"), 1u);

    // The log starts one cell in from the client area (rows 2-22), oldest first.
    EXPECT_EQ(Squeeze(s.Row(2)), "");
    EXPECT_EQ(s.Row(3), " first line" + std::string(69, ' '));
    // Untrusted bytes are shown, not obeyed: ESC, a C1 control, a Latin-1 letter.
    EXPECT_EQ(Squeeze(s.Row(4)), "^[[31mredM-^[2J caf\xc3\xa9");
    // A long line is cut at the margin, not wrapped.
    EXPECT_EQ(s.Row(5), " " + std::string(78, 'x') + " ");
    EXPECT_EQ(Squeeze(s.Row(6)), "size 80x21");
    EXPECT_EQ(Squeeze(s.Row(7)), "");

    const std::string status = s.Row(23);
    EXPECT_NE(status.find("Disconnected | Fetched: "), std::string::npos) << status;
    EXPECT_NE(status.find("| Next: 5 min | Group: alt.test"), std::string::npos) << status;
    EXPECT_TRUE(s.Reverse(23, 0));
}

TEST(TerminalUi, MenuOpensChoosesAndSkipsGrayedItems) {
    TerminalSession t;
    const auto& s = t.screen;
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);

    t.Send(kF10);
    ASSERT_SCREEN(t.WaitForText("Restart Timer"), t);
    const int setupRow = s.FindRow("Setup");
    EXPECT_EQ(setupRow, 3);
    EXPECT_TRUE(s.Reverse(setupRow, 2));                   // the first item is selected
    EXPECT_EQ(s.Row(2).substr(0, 4), "+---") << s.Dump();  // the popup's frame below the bar
    EXPECT_EQ(s.Row(4).substr(0, 4), "+---") << s.Dump();  // a separator

    // Down from Setup: past the separator to Connect, then past the grayed
    // Disconnect and the separator to Stop Timer.
    t.Send(kDown + kDown);
    ASSERT_SCREEN(t.WaitFor([&] { return s.Reverse(s.FindRow("Stop Timer"), 3); }), t);
    t.Send(kEnter);
    ASSERT_SCREEN(t.WaitForText("command 40019"), t);
    EXPECT_FALSE(s.Contains("Restart Timer")) << s.Dump();  // closed before the command ran

    // Now Stop Timer is grayed and Restart Timer enabled: Up from Setup wraps
    // to Exit, Up again skips to Restart Timer.
    t.Send(kF10);
    ASSERT_SCREEN(t.WaitForText("Restart Timer"), t);
    t.Send(kUp + kUp + kEnter);
    ASSERT_SCREEN(t.WaitForText("command 40020"), t);

    // Right moves to the next popup; Esc closes without a command.
    t.Send(kF10);
    ASSERT_SCREEN(t.WaitForText("Restart Timer"), t);
    t.Send(kRight);
    ASSERT_SCREEN(t.WaitFor([&] {
        return s.Contains("Get newsgroups list") && !s.Contains("Restart Timer");
    }),
                  t);
    t.Send(kEsc);
    ASSERT_SCREEN(t.WaitForGone("Get newsgroups list"), t);

    // Alt+letter opens a popup, the item's letter chooses it.
    t.Send("\x1bg");
    ASSERT_SCREEN(t.WaitForText("Expire messages"), t);
    t.Send("u");
    ASSERT_SCREEN(t.WaitForText("command 40006"), t);
    EXPECT_FALSE(s.Contains("Expire messages"));
    EXPECT_EQ(s.FindRow("command 40006"), 9);  // no other command was posted
}

TEST(TerminalUi, MessageBoxShowsCaptionTextAndOk) {
    TerminalSession t;
    const auto& s = t.screen;
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
    t.Send("\x1bh");
    ASSERT_SCREEN(t.WaitForText("About"), t);
    t.Send(kEnter);
    ASSERT_SCREEN(t.WaitFor([&] {
        return s.Contains(" About Qiv News Client ") && s.Contains("Qiv News Client v0.17") &&
               s.Contains("[ OK ]");
    }),
                  t);
    EXPECT_FALSE(s.Contains("about closed"));
    t.Send(kEnter);
    ASSERT_SCREEN(t.WaitForText("about closed"), t);
    EXPECT_FALSE(s.Contains("[ OK ]"));
}

// Opens the Setup-like dialog and waits until it is drawn whole.
void OpenSetup(TerminalSession& t) {
    t.Send(kF10);
    ASSERT_SCREEN(t.WaitForText("Restart Timer"), t);
    t.Send(kEnter);
    ASSERT_SCREEN(t.WaitFor([&] {
        const auto& s = t.screen;
        return s.Contains(" Qiv News Client Configuration ") && s.Contains("NNTP Port") &&
               s.Contains("(*) No") && s.Contains("[ OK ]") && s.Contains("minute(s)") &&
               !s.Contains("Restart Timer");
    }),
                  t);
}

TEST(TerminalUi, DialogTakesInputAndEscapeCancels) {
    TerminalSession t;
    const auto& s = t.screen;
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
    ASSERT_NO_FATAL_FAILURE(OpenSetup(t));
    // Template order: the port before the server, buttons before the interval.
    const int portRow = s.FindRow("NNTP Port"), serverRow = s.FindRow("NNTP Server");
    EXPECT_LT(portRow, serverRow);
    EXPECT_LT(s.FindRow("[ OK ]"), s.FindRow("Connect every"));
    EXPECT_EQ(s.FindRow("[ OK ]"), s.FindRow("[ Cancel ]"));
    EXPECT_EQ(s.FindRow("Connect every"), s.FindRow("minute(s)"));
    EXPECT_EQ(s.FindRow("( ) Yes"), s.FindRow("(*) No"));
    EXPECT_EQ(s.FindRow("User Verificarion required:") + 1, s.FindRow("( ) Yes"));
    // Edit boxes captioned by labels line up.
    EXPECT_EQ(s.Row(portRow).find('['), s.Row(serverRow).find('['));

    // The focus starts in the server box.
    t.Send("news.example.org");
    ASSERT_SCREEN(
        t.WaitFor([&] { return s.Row(serverRow).find("[news.example.org") != std::string::npos; }),
        t);
    EXPECT_EQ(s.CursorRow(), serverRow);
    t.Send(kTab + "secret");
    ASSERT_SCREEN(t.WaitForText("[******"), t);
    EXPECT_FALSE(s.Contains("secret"));
    t.Send(kTab + " ");  // the Yes radio button
    ASSERT_SCREEN(t.WaitFor([&] { return s.Contains("(*) Yes") && s.Contains("( ) No"); }), t);
    // Back to the server box; typing goes on at its end.
    t.Send(kBackTab + kBackTab + "s");
    ASSERT_SCREEN(t.WaitForText("[news.example.orgs"), t);
    t.Send("\x7f");  // Backspace
    ASSERT_SCREEN(t.WaitForGone("[news.example.orgs"), t);

    t.Send(kEsc);
    ASSERT_SCREEN(t.WaitForText("dialog 2 server=news.example.org pass=secret port= yes=1"), t);
    EXPECT_FALSE(s.Contains("Configuration"));
}

TEST(TerminalUi, RefusedButtonKeepsDialogOpenWhileTimersRun) {
    TerminalSession t;
    const auto& s = t.screen;
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
    ASSERT_NO_FATAL_FAILURE(OpenSetup(t));

    // The loop runs under the dialog: the timer keeps updating the status.
    const long before = t.Fetched();
    ASSERT_SCREEN(t.WaitFor([&] { return t.Fetched() > before + 2; }), t);
    EXPECT_TRUE(s.Contains("Configuration"));

    t.Send("news");
    ASSERT_SCREEN(t.WaitForText("[news"), t);
    t.Send(kEnter);  // OK with no port: refused with a box on top
    ASSERT_SCREEN(t.WaitFor([&] { return s.Contains("Port missing") && s.Contains("[ OK ]"); }), t);
    t.Send(kEnter);
    ASSERT_SCREEN(t.WaitFor([&] {
        return !s.Contains("Port missing") && s.Contains("Configuration") &&
               s.Contains("Connect every");
    }),
                  t);
    EXPECT_FALSE(s.Contains("dialog "));

    t.Send("\x1bp");  // Alt+P: the label's letter moves to the port box
    t.Send("119" + kEnter);
    ASSERT_SCREEN(t.WaitForText("dialog 1 server=news pass= port=119 yes=0"), t);
    EXPECT_FALSE(s.Contains("Configuration"));
}

TEST(TerminalUi, ResizeRedrawsAndPostsTheNewSize) {
    TerminalSession t;
    const auto& s = t.screen;
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
    t.Resize(30, 100);
    // The log takes its new bounds from the window's size handler.
    ASSERT_SCREEN(t.WaitFor([&] {
        return s.Contains("size 100x27") && s.Row(5) == " " + std::string(98, 'x') + " " &&
               s.Row(29).find("Fetched:") != std::string::npos;
    }),
                  t);
    EXPECT_EQ(Squeeze(s.Row(0)), "Qiv News Client");
    EXPECT_EQ(s.Row(0).find("Qiv"), (100u - 15u) / 2);
    EXPECT_EQ(Squeeze(s.Row(1)), "System Groups View Help");

    // Smaller than 80 by 24 still draws the whole window.
    t.Resize(12, 40);
    ASSERT_SCREEN(t.WaitFor([&] {
        return s.Contains("size 40x9") && s.Row(11).find("Fetched:") != std::string::npos;
    }),
                  t);
    EXPECT_EQ(Squeeze(s.Row(1)), "System Groups View Help");
    EXPECT_EQ(Squeeze(s.Row(0)), "Qiv News Client");
}

TEST(TerminalUi, LogFollowsNewLinesUntilScrolledBack) {
    TerminalSession t;
    const auto& s = t.screen;
    auto bottomIs = [&](const std::string& line) {
        return [&s, line] { return Squeeze(s.Row(21)) == line; };
    };
    auto statusHas = [&](const std::string& text) {
        return [&s, text] { return s.Row(23).find(text) != std::string::npos; };
    };
    ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
    t.Send("\x1bv");
    ASSERT_SCREEN(t.WaitForText("Fill"), t);
    t.Send("f");
    // The log's last row is 21 (client rows 2-22 less the margin).
    ASSERT_SCREEN(t.WaitFor(bottomIs("line 159")), t);
    EXPECT_EQ(Squeeze(s.Row(3)), "line 141");
    EXPECT_EQ(Squeeze(s.Row(22)), "");

    t.Send(kUp);
    ASSERT_SCREEN(t.WaitFor(bottomIs("line 158")), t);
    ASSERT_SCREEN(t.WaitFor(statusHas("[+1]")), t);
    t.Send(kPageUp);  // a page less one line: 18 more
    ASSERT_SCREEN(t.WaitFor(bottomIs("line 140")), t);

    // Scrolled back, new lines do not move the view.
    t.Send(
        "\x1bv"
        "f");
    ASSERT_SCREEN(t.WaitFor(statusHas("[+79]")), t);
    EXPECT_EQ(Squeeze(s.Row(21)), "line 140");
    t.Send(kDown);
    ASSERT_SCREEN(t.WaitFor(bottomIs("line 141")), t);

    // End follows again.
    t.Send(kEnd);
    ASSERT_SCREEN(t.WaitFor(bottomIs("line 159")), t);
    ASSERT_SCREEN(t.WaitFor([&] { return s.Row(23).find("[+") == std::string::npos; }), t);
    EXPECT_EQ(Squeeze(s.Row(20)), "line 158");
    t.Send(
        "\x1bv"
        "r");  // Reset listbox empties the view
    ASSERT_SCREEN(t.WaitFor([&] {
        for (int row = 2; row < 23; ++row)
            if (Squeeze(s.Row(row)) != "") return false;
        return true;
    }),
                  t);
}

TEST(TerminalUi, ExitCtrlCAndHangUpEndTheProgram) {
    {
        TerminalSession t;
        ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
        t.Send("\x1bs");
        ASSERT_SCREEN(t.WaitForText("Exit"), t);
        t.Send("x");
        EXPECT_EQ(t.WaitExit(), 0);
    }
    {
        TerminalSession t;
        ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
        t.Send("\x03");
        EXPECT_EQ(t.WaitExit(), 0);
    }
    {
        // The terminal goes away under a program that ignores the hang-up signal.
        g_ignoreHangup = true;
        TerminalSession t;
        g_ignoreHangup = false;
        ASSERT_SCREEN(t.WaitForText("size 80x21"), t);
        t.CloseMaster();
        EXPECT_EQ(t.WaitExit(), 0);
    }
}

TEST(TerminalUi, TerminalThatCannotBeUsedIsReported) {
    {
        TerminalSession t(24, 80, "qiv-no-such-terminal");
        EXPECT_EQ(t.WaitExit(), kNoTerminal);
    }
    // Standard input and output that are not a terminal.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        _exit(ui::MakeTerminalBackend() ? 0 : kNoTerminal);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kNoTerminal);
}

}  // namespace
