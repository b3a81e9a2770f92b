// Headless mode: log lines to the output stream as they come, boxes to the
// error stream, no dialogs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/ui.h"
#include "recording_window.h"

using namespace plat;
using qivtest::Recorder;

namespace {

// A pipe whose write end is a FILE*; reads what is there without waiting.
class Pipe {
public:
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        read_ = fds[0];
        write_ = fdopen(fds[1], "w");
        fcntl(read_, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        if (write_) fclose(write_);
        close(read_);
    }
    std::FILE* File() { return write_; }
    int ReadFd() const { return read_; }
    std::string Available() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = read(read_, buf, sizeof buf)) > 0;) out.append(buf, n);
        return out;
    }

private:
    int read_ = -1;
    std::FILE* write_ = nullptr;
};

TEST(HeadlessUi, EachLogLineIsWrittenWhenAddedWithControlsMadeVisible) {
    Pipe out, err;
    auto ui = ui::MakeHeadlessBackend(out.File(), err.File());
    ui->SetTitle("Qiv News Client");
    ui->LogAdd("Connecting to server");
    // Flushed at once: readable without closing the stream.
    EXPECT_EQ(out.Available(), "Connecting to server\n");
    ui->LogAdd("200 news.example.org \x1b[31mready\x1b[0m\r");
    ui->LogAdd("");
    // Latin-1 letters pass; C1 controls (0x9B is CSI to an 8-bit terminal) do not.
    ui->LogAdd(
        "caf\xe9 \x9b"
        "2J\x85");
    EXPECT_EQ(out.Available(), "200 news.example.org ^[[31mready^[[0m^M\n\ncaf\xe9 M-^[2JM-^E\n");
    EXPECT_EQ(ui->LogCount(), 4u);
    ui->LogReset();
    EXPECT_EQ(ui->LogCount(), 0u);
    ui->SetStatus({"Connected", "alt.test", 3, 4});
    EXPECT_EQ(out.Available(), "");  // neither a reset nor the status writes anything
    EXPECT_EQ(err.Available(), "");
}

TEST(HeadlessUi, BoxesGoToTheErrorStreamAndDialogsAreCancelled) {
    Pipe out, err;
    auto ui = ui::MakeHeadlessBackend(out.File(), err.File());
    ui->MessageBox("Qiv News Client",
                   "Unexpected socket event\x1b[2J\x9b"
                   "2J");
    EXPECT_EQ(err.Available(), "Qiv News Client: Unexpected socket event^[[2JM-^[2J\n");
    ui->MessageBox("Qiv News Client", "two\nlines");
    EXPECT_EQ(err.Available(), "Qiv News Client: two\n  lines\n");

    ui::Dialog d;
    d.controls = {{ui::ControlKind::Edit, 104, "alt.test"},
                  {ui::ControlKind::DefaultButton, 1, "OK"}};
    bool called = false;
    d.onCommand = [&](ui::Dialog&, int) { return called = true; };
    EXPECT_EQ(ui->RunDialog(d), 2);
    EXPECT_FALSE(called);
    EXPECT_EQ(d.Text(104), "alt.test");
    EXPECT_EQ(out.Available(), "");
}

TEST(HeadlessUi, MenuStatesAreKeptAndShowPostsTheSize) {
    qivtest::ResetLoop();
    const WindowHandle main = qivtest::NewWindow();
    Pipe out, err;
    auto ui = ui::MakeHeadlessBackend(out.File(), err.File());
    ui->Attach(main);
    ui->SetMenu({{"&System", {{"&Connect", 40001}, {"&Disconnect", 40002, true}}}});
    EXPECT_TRUE(ui->MenuItemGrayed(40002));
    ui->SetMenuItemGrayed(40002, false);
    ui->SetMenuItemGrayed(40001, true);
    EXPECT_FALSE(ui->MenuItemGrayed(40002));
    EXPECT_TRUE(ui->MenuItemGrayed(40001));
    ui->Show();
    ASSERT_TRUE(PumpUntil([&] { return Recorder::Get().Count(main, msg::Size) == 1; }));
    const LParam size = Recorder::Get().For(main, msg::Size)[0].lParam;
    EXPECT_EQ(size & 0xFFFF, ui->ClientWidth());
    EXPECT_EQ(size >> 16, ui->ClientHeight());
    EXPECT_GT(ui->ClientWidth(), 0);
    qivtest::ResetLoop();
}

// The plain factory writes to the process's own standard output and error.
TEST(HeadlessUi, DefaultStreamsAreStandardOutputAndError) {
    int outPipe[2], errPipe[2];
    ASSERT_EQ(pipe(outPipe), 0);
    ASSERT_EQ(pipe(errPipe), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        auto ui = ui::MakeHeadlessBackend();
        ui->LogAdd("Server connected");
        ui->MessageBox("Qiv News Client", "warning");
        ui->LogAdd("Server disconnected");
        _exit(0);  // no exit handlers: every line must already be out
    }
    close(outPipe[1]);
    close(errPipe[1]);
    auto drain = [](int fd) {
        std::string s;
        char buf[256];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, n);
        close(fd);
        return s;
    };
    EXPECT_EQ(drain(outPipe[0]), "Server connected\nServer disconnected\n");
    EXPECT_EQ(drain(errPipe[0]), "Qiv News Client: warning\n");
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
