#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace {

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/qiv-files-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string Path(const std::string& name) { return dir_ + "/" + name; }
    void Put(const std::string& name, const std::string& text) {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    std::string Get(const std::string& name) {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

// Runs f with the file size limit lowered, so that writes beyond it fail.
template <class F>
auto WithFileSizeLimit(rlim_t limit, F f) {
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    void (*prev)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &small);
    auto result = f();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, prev);
    return result;
}

TEST_F(FilesTest, TextWriterStoresCrLf) {
    plat::TextWriter w;
    ASSERT_TRUE(w.Open(Path("g.txt"), "w"));
    EXPECT_TRUE(w.Write("alt.test 10 1 y\ncomp.lang.c 5 2 n\n"));
    EXPECT_TRUE(w.Write("no end"));
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(Get("g.txt"), "alt.test 10 1 y\r\ncomp.lang.c 5 2 n\r\nno end");

    ASSERT_TRUE(w.Open(Path("g.txt"), "a+t"));
    EXPECT_TRUE(w.Write("\nmore\n"));
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(Get("g.txt"), "alt.test 10 1 y\r\ncomp.lang.c 5 2 n\r\nno end\r\nmore\r\n");

    ASSERT_TRUE(w.Open(Path("g.txt"), "w"));
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(Get("g.txt"), "");
}

TEST_F(FilesTest, TextWriterReportsFailures) {
    plat::TextWriter w;
    EXPECT_FALSE(w.Write("x"));  // not open
    EXPECT_FALSE(w.Open(Path("nodir/g.txt"), "w"));
    EXPECT_FALSE(w.IsOpen());
    ASSERT_TRUE(w.Open("/dev/full", "w"));
    w.Write(std::string(100, 'x') + "\n");
    EXPECT_FALSE(w.Close());  // buffered, so the failure shows at the latest here
    EXPECT_TRUE(w.Failed());
}

TEST_F(FilesTest, TextReaderDropsOnlyTheCrBeforeLf) {
    Put("t.txt", "one\r\ntwo\nthr\ree\r\r\n\r\nlast");
    plat::TextReader r;
    ASSERT_TRUE(r.Open(Path("t.txt")));
    std::string line;
    for (const char* expected : {"one", "two", "thr\ree\r", "", "last"}) {
        ASSERT_TRUE(r.HasMore());
        ASSERT_TRUE(r.ReadLine(line));
        EXPECT_EQ(line, expected);
    }
    EXPECT_FALSE(r.HasMore());
    EXPECT_FALSE(r.ReadLine(line));
    ASSERT_TRUE(r.Rewind());
    ASSERT_TRUE(r.ReadLine(line));
    EXPECT_EQ(line, "one");

    plat::TextReader none;
    EXPECT_FALSE(none.Open(Path("missing")));
    EXPECT_FALSE(none.HasMore());
    EXPECT_FALSE(none.Open(dir_));
}

TEST_F(FilesTest, LongLinesComeInPieces) {
    Put("t.txt", "abcdefgh\r\nxyz\r\nuv\r\n\r\nq\rr\r\n");
    plat::TextReader r;
    ASSERT_TRUE(r.Open(Path("t.txt")));
    std::string line;
    bool cut = false;
    const std::pair<const char*, bool> expected[] = {{"abc", true},  {"def", true}, {"gh", false},
                                                     {"xyz", false}, {"uv", false}, {"", false},
                                                     {"q\rr", false}};
    for (const auto& [text, truncated] : expected) {
        ASSERT_TRUE(r.ReadLine(line, 3, &cut));
        EXPECT_EQ(line, text);
        EXPECT_EQ(cut, truncated) << text;
    }
    EXPECT_FALSE(r.ReadLine(line, 3, &cut));

    // A lone CR at the limit stays with the rest of the line.
    Put("v.txt", "ab\rc\n");
    ASSERT_TRUE(r.Open(Path("v.txt")));
    ASSERT_TRUE(r.ReadLine(line, 2, &cut));
    EXPECT_EQ(line, "ab");
    EXPECT_TRUE(cut);
    ASSERT_TRUE(r.HasMore());
    ASSERT_TRUE(r.ReadLine(line, 2, &cut));
    EXPECT_EQ(line, "\rc");
    EXPECT_FALSE(cut);

    // A CR LF pair that straddles the limit still ends the line.
    Put("u.txt", "ab\r\nc");
    ASSERT_TRUE(r.Open(Path("u.txt")));
    ASSERT_TRUE(r.ReadLine(line, 2, &cut));
    EXPECT_EQ(line, "ab");
    EXPECT_FALSE(cut);
    ASSERT_TRUE(r.ReadLine(line, 2, &cut));
    EXPECT_EQ(line, "c");
    EXPECT_FALSE(r.HasMore());
}

TEST_F(FilesTest, RenameNoReplaceNeverOverwrites) {
    Put("a", "A");
    Put("b", "B");
    errno = 0;
    EXPECT_FALSE(plat::RenameNoReplace(Path("a"), Path("b")));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(Get("a"), "A");
    EXPECT_EQ(Get("b"), "B");
    EXPECT_TRUE(plat::RenameNoReplace(Path("a"), Path("c")));
    EXPECT_FALSE(plat::FileExists(Path("a")));
    EXPECT_EQ(Get("c"), "A");
    EXPECT_FALSE(plat::RenameNoReplace(Path("a"), Path("d")));

    EXPECT_TRUE(plat::RenameReplace(Path("c"), Path("b")));
    EXPECT_EQ(Get("b"), "A");
    EXPECT_FALSE(plat::FileExists(Path("c")));
}

TEST_F(FilesTest, DirectoriesAndExistence) {
    EXPECT_TRUE(plat::CreateDirectory(Path("d")));
    EXPECT_TRUE(plat::CreateDirectory(Path("d")));
    EXPECT_TRUE(plat::DirectoryExists(Path("d")));
    EXPECT_FALSE(plat::FileExists(Path("d")));
    EXPECT_FALSE(plat::CreateDirectory(Path("x/y")));
    Put("d/f", "1");
    EXPECT_FALSE(plat::CreateDirectory(Path("d/f")));
    EXPECT_TRUE(plat::FileExists(Path("d/f")));
    EXPECT_FALSE(plat::RemoveDirectory(Path("d")));  // not empty
    EXPECT_TRUE(plat::DeleteFile(Path("d/f")));
    EXPECT_FALSE(plat::DeleteFile(Path("d/f")));
    EXPECT_TRUE(plat::RemoveDirectory(Path("d")));
    EXPECT_FALSE(plat::DirectoryExists(Path("d")));
}

TEST_F(FilesTest, WriteAtAppendsOrOverwritesWhole) {
    const std::string f = Path("1.grp");
    ASSERT_TRUE(plat::WriteAt(f, std::string(10, '\0').data(), 10, -1));
    ASSERT_TRUE(plat::WriteAt(f, "abcdefghij", 10, -1));
    ASSERT_TRUE(plat::WriteAt(f, "XY", 2, 12));
    ASSERT_TRUE(plat::WriteAt(f, "Z", 1, 0));
    EXPECT_EQ(Get("1.grp"), std::string("Z") + std::string(9, '\0') + "abXYefghij");
    EXPECT_FALSE(plat::WriteAt(Path("none/1.grp"), "x", 1, -1));
    EXPECT_FALSE(plat::WriteAt("/dev/full", "x", 1, -1));
}

TEST_F(FilesTest, CutOffAppendIsTakenBack) {
    const std::string f = Path("1.grp");
    ASSERT_TRUE(plat::WriteAt(f, std::string(322, 'r').data(), 322, -1));
    const std::string record(322, 's');
    const bool ok =
        WithFileSizeLimit(500, [&] { return plat::WriteAt(f, record.data(), record.size(), -1); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(Get("1.grp"), std::string(322, 'r'));
}

// A spool whose directory is reached through a link (allowed), with a file
// outside it that a hostile board would like us to write or post.
class SpoolEntryTest : public FilesTest {
protected:
    void SetUp() override {
        FilesTest::SetUp();
        ASSERT_EQ(mkdir(Path("real").c_str(), 0755), 0);
        ASSERT_EQ(symlink(Path("real").c_str(), Path("spool").c_str()), 0);
        ASSERT_EQ(mkdir(Path("elsewhere").c_str(), 0755), 0);
        Put("secret", "QivNewsPassword=hunter2\r\n");
        ASSERT_EQ(chmod(Path("secret").c_str(), 0600), 0);
        plat::SetSpoolRoot(Path("spool"));
        Refusals().clear();
        plat::SetRefusalReporter([](const std::string& line) { Refusals().push_back(line); });
    }
    void TearDown() override {
        plat::SetRefusalReporter(nullptr);
        plat::SetSpoolRoot(std::string());
        FilesTest::TearDown();
    }
    static std::vector<std::string>& Refusals() {
        static std::vector<std::string> lines;
        return lines;
    }
    std::string Spool(const std::string& name) { return Path("spool/" + name); }
    void ExpectSecretUntouched() {
        EXPECT_EQ(Get("secret"), "QivNewsPassword=hunter2\r\n");
        struct stat st;
        ASSERT_EQ(stat(Path("secret").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    // Runs f in a child that is killed when it blocks: an open of a FIFO
    // without O_NONBLOCK never returns. True when f returned true.
    template <class F>
    static bool InChild(F f) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(10);
            _exit(f() ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
};

TEST_F(SpoolEntryTest, LinksAndSpecialFilesAreNeitherReadNorWritten) {
    struct Entry {
        const char* what;
        std::function<void(const std::string&)> make;
        const char* reason;
    };
    const std::string secret = Path("secret");
    const std::vector<Entry> entries = {
        {"link to a file", [&](const std::string& p) { symlink(secret.c_str(), p.c_str()); },
         "it is a symbolic link"},
        {"dangling link", [&](const std::string& p) { symlink(Path("none").c_str(), p.c_str()); },
         "it is a symbolic link"},
        {"FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0666); }, "it is not a regular file"},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.what);
        const std::string p = Spool("1.grp");
        unlink(p.c_str());
        e.make(p);
        const std::string line = "Refused " + p + ": " + e.reason;
        // Each attempt runs where a blocking open could not hang the test.
        const std::vector<std::pair<const char*, std::function<bool()>>> attempts = {
            {"write",
             [&] {
                 plat::TextWriter w;
                 return !w.Open(p, "w") && !w.IsOpen();
             }},
            {"append",
             [&] {
                 plat::TextWriter w;
                 return !w.Open(p, "a");
             }},
            {"read",
             [&] {
                 plat::TextReader r;
                 return !r.Open(p);
             }},
            {"write at", [&] { return !plat::WriteAt(p, "x", 1, -1); }},
            {"write over", [&] { return !plat::WriteAt(p, "x", 1, 0); }},
            {"open", [&] { return plat::OpenRegular(p, O_RDONLY) < 0 && plat::LastWasRefused(); }},
            {"create", [&] { return plat::CreateNewFile(p, 0644) < 0 && plat::LastWasRefused(); }},
        };
        for (const auto& [name, attempt] : attempts) {
            SCOPED_TRACE(name);
            EXPECT_TRUE(InChild(attempt));
            Refusals().clear();
            attempt();
            EXPECT_EQ(Refusals(), (std::vector<std::string>{line}));
        }
        ExpectSecretUntouched();
        EXPECT_NE(access(Path("none").c_str(), F_OK), 0) << "nothing is created through a link";
        struct stat st;
        ASSERT_EQ(lstat(p.c_str(), &st), 0) << "the entry itself stays for the sysop to see";
    }
}

TEST_F(SpoolEntryTest, LinkedDirectoriesInsideTheSpoolAreNotEntered) {
    Put("elsewhere/note", "keep");
    ASSERT_EQ(symlink(Path("elsewhere").c_str(), Spool("out").c_str()), 0);
    EXPECT_LT(plat::OpenRegular(Spool("out/note"), O_RDONLY), 0);
    EXPECT_FALSE(plat::DeleteFile(Spool("out/note")));
    EXPECT_EQ(Get("elsewhere/note"), "keep");
    EXPECT_FALSE(plat::WriteAt(Spool("out/new"), "x", 1, -1));
    EXPECT_NE(access(Path("elsewhere/new").c_str(), F_OK), 0);
    EXPECT_EQ(Refusals().size(), 3u);
    EXPECT_EQ(Refusals()[0], "Refused " + Spool("out") + ": it is a symbolic link");

    // A group directory that is a link is no directory of ours.
    ASSERT_TRUE(plat::CreateDirectory(Spool("news")));
    ASSERT_EQ(symlink(Path("elsewhere").c_str(), Spool("news/NG1").c_str()), 0);
    EXPECT_FALSE(plat::IsRealDirectory(Spool("news/NG1")));
    EXPECT_FALSE(plat::CreateDirectory(Spool("news/NG1")));
    EXPECT_TRUE(plat::CreateDirectory(Spool("news/NG2")));
    EXPECT_TRUE(plat::IsRealDirectory(Spool("news/NG2")));
    // The spool directory itself may be a link.
    EXPECT_TRUE(plat::WriteAt(Spool("news/NG2/1.nws"), "x", 1, -1));
    EXPECT_EQ(Get("real/news/NG2/1.nws"), "x");
}

TEST_F(SpoolEntryTest, NewFilesAreNewEvenWhereAnOldOneWasLinkedElsewhere) {
    // A hard link cannot be told from our own file; writing a new file
    // rather than emptying the old one leaves the other name's text alone.
    Put("real/groups.tmp", "old");
    ASSERT_EQ(link(Path("real/groups.tmp").c_str(), Path("elsewhere/kept").c_str()), 0);
    plat::TextWriter w;
    ASSERT_TRUE(w.Open(Spool("groups.tmp"), "w"));
    EXPECT_TRUE(w.Write("new\n"));
    EXPECT_TRUE(w.Close());
    EXPECT_EQ(Get("real/groups.tmp"), "new\r\n");
    EXPECT_EQ(Get("elsewhere/kept"), "old");
    EXPECT_TRUE(Refusals().empty());
}

TEST(ClockTest, TestClockReplacesTheRealOne) {
    plat::SetClockForTests([] { return plat::LocalTime{1999, 12, 31, 23, 59}; });
    const plat::LocalTime fixed = plat::Now();
    EXPECT_EQ(fixed.year, 1999);
    EXPECT_EQ(fixed.month, 12);
    EXPECT_EQ(fixed.day, 31);
    EXPECT_EQ(fixed.hour, 23);
    EXPECT_EQ(fixed.minute, 59);
    plat::SetClockForTests(nullptr);

    const std::time_t before = std::time(nullptr);
    const plat::LocalTime now = plat::Now();
    std::tm t{};
    localtime_r(&before, &t);
    EXPECT_EQ(now.year, t.tm_year + 1900);
    EXPECT_EQ(now.month, t.tm_mon + 1);
    EXPECT_EQ(now.day, t.tm_mday);
    EXPECT_EQ(now.hour, t.tm_hour);
    EXPECT_NEAR(now.minute, t.tm_min, 1);
}

}  // namespace
