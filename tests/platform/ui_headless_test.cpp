// Headless mode: log lines to the output stream as they come, boxes to the
// error stream, no dialogs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/journal.h"
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
    // "<device>:<inode>" of the write end, as the journal names its stream.
    std::string Identity() const {
        struct stat st {};
        EXPECT_EQ(fstat(fileno(write_), &st), 0);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
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

// JOURNAL_STREAM set for the test's duration, restored after.
class JournalStream {
public:
    explicit JournalStream(const std::string& value) {
        if (const char* old = std::getenv("JOURNAL_STREAM")) old_ = old;
        setenv("JOURNAL_STREAM", value.c_str(), 1);
    }
    ~JournalStream() {
        if (old_.empty())
            unsetenv("JOURNAL_STREAM");
        else
            setenv("JOURNAL_STREAM", old_.c_str(), 1);
    }

private:
    std::string old_;
};

// Under systemd each line carries its priority, continuation lines of a box
// too, but only on the stream the journal is connected to.
TEST(HeadlessUi, LinesToTheJournalCarryTheirPriority) {
    Pipe out, err;
    auto ui = ui::MakeHeadlessBackend(out.File(), err.File());
    {
        JournalStream journal(out.Identity());
        ui->LogAdd("Connecting to server");
        ui->LogAdd("");
        ui->MessageBox("Qiv News Client", "two\nlines");
        plat::WriteLines(out.File(), plat::Priority::Error, "qivnews: failed\nsecond\n");
        plat::WriteLines(out.File(), plat::Priority::Warning, "unterminated");
        plat::WriteLines(out.File(), plat::Priority::Warning, "");
    }
    EXPECT_EQ(out.Available(),
              "<6>Connecting to server\n<6>\n<3>qivnews: failed\n<3>second\n<4>unterminated");
    EXPECT_EQ(err.Available(), "Qiv News Client: two\n  lines\n");
    {
        JournalStream journal(err.Identity());
        ui->LogAdd("Server connected");
        ui->MessageBox("Qiv News Client", "two\nlines");
    }
    EXPECT_EQ(out.Available(), "Server connected\n");
    EXPECT_EQ(err.Available(), "<4>Qiv News Client: two\n<4>  lines\n");
}

TEST(HeadlessUi, LinesStayAsTheyAreWhenJournalStreamNamesNoneOfOurStreams) {
    Pipe out, other;
    const std::string id = out.Identity();
    const std::string device = id.substr(0, id.find(':'));
    const std::string inode = id.substr(id.find(':') + 1);
    const std::vector<std::string> values = {
        "", other.Identity(), id + "x", id + ":1", device, ":" + inode, inode + ":" + device};
    for (const std::string& value : values) {
        SCOPED_TRACE("JOURNAL_STREAM=" + value);
        JournalStream journal(value);
        auto ui = ui::MakeHeadlessBackend(out.File(), other.File());
        ui->LogAdd("Server connected");
        EXPECT_FALSE(plat::IsJournal(out.File()));
        EXPECT_EQ(out.Available(), "Server connected\n");
    }
}

}  // namespace
