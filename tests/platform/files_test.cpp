#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

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

TEST(PathTest, FormatPathTurnsBackslashesIntoSlashes) {
    EXPECT_EQ(plat::FormatPath("%s\\%08ld.nws", "/spool/news/NG3", 7L),
              "/spool/news/NG3/00000007.nws");
    EXPECT_EQ(plat::FormatPath("%s\\news\\%s", "/spool", "NG12"), "/spool/news/NG12");
    EXPECT_EQ(plat::FormatPath("%s\\out.dat", "C:\\qiv"), "C:/qiv/out.dat");
    EXPECT_EQ(plat::FormatPath("%s\\%d.grp", "/s", 4), "/s/4.grp");
    EXPECT_EQ(plat::FormatPath("%s\\x", std::string(300, 'd').c_str()).size(), 302u);
}

TEST(PathTest, GroupDirectoryHasOneSpelling) {
    // The template's "ng" becomes "NG"; arguments stay as they are.
    EXPECT_EQ(plat::FormatPath("%s\\news\\ng%ld\\%s", "/srv/ng1/spool", 5L, "00000001.nws"),
              "/srv/ng1/spool/news/NG5/00000001.nws");
    EXPECT_EQ(plat::FormatPath("%s\\news\\NG%ld", "/s", 5L), "/s/news/NG5");
    EXPECT_EQ(plat::FormatPath("%s\\news\\ng%03d\\ng", "/s", 5), "/s/news/NG005/ng");
    EXPECT_EQ(plat::FormatPath("%s\\ngx%ld\\%s", "/s", 5L, "ng4"), "/s/ngx5/ng4");

    EXPECT_EQ(plat::ToNativePath("/s\\news\\ng12\\a"), "/s/news/NG12/a");
    EXPECT_EQ(plat::ToNativePath("/s/Ng7/nG8"), "/s/NG7/NG8");
    EXPECT_EQ(plat::ToNativePath("/s/ng/ng1a/ngx1/ang1/ng1.grp"), "/s/ng/ng1a/ngx1/ang1/ng1.grp");
}

TEST_F(FilesTest, ArticleDeletedThroughLowerCaseTemplate) {
    ASSERT_TRUE(plat::CreateDirectory(Path("news")));
    ASSERT_TRUE(plat::CreateDirectory(plat::FormatPath("%s\\news\\%s", dir_.c_str(), "NG2")));
    const std::string article = plat::FormatPath("%s\\%08ld.nws", Path("news/NG2").c_str(), 9L);
    ASSERT_TRUE(plat::WriteAt(article, "x", 1, -1));
    EXPECT_TRUE(plat::DeleteFile(
        plat::FormatPath("%s\\news\\ng%ld\\%s", dir_.c_str(), 2L, "00000009.nws")));
    EXPECT_FALSE(plat::FileExists(article));
    EXPECT_TRUE(plat::RemoveDirectory(plat::FormatPath("%s\\news\\NG%ld", dir_.c_str(), 2L)));
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
