#include "platform/profile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/qiv-profile-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        plat::SetProfileDir(dir_);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string Path(const std::string& name = "qiv.ini") { return dir_ + "/" + name; }
    void Put(const std::string& text, const std::string& name = "qiv.ini") {
        std::ofstream(Path(name), std::ios::binary) << text;
    }
    std::string Get(const std::string& name = "qiv.ini") {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Names of the directory's entries, sorted, to catch stray temporaries.
    std::string Listing() {
        std::string cmd = "ls -A '" + dir_ + "'";
        std::string out;
        FILE* p = popen(cmd.c_str(), "r");
        char buf[256];
        while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) out += buf;
        if (p != nullptr) pclose(p);
        return out;
    }
    std::string dir_;
};

ino_t Inode(const std::string& path);

std::string S(const char* sec, const char* key, const char* def = "z", std::size_t max = 256,
              const char* file = "qiv.ini") {
    return plat::GetProfileString(sec, key, def, max, file);
}

TEST_F(ProfileTest, ReadsKeysWithoutRegardToCaseAndTrimmed) {
    Put("; settings\r\nstray=outside\r\n[Other]\r\nNNTPServer=wrong\r\n[  QivNews ]\r\n"
        "  NNTPServer =  news.example.org  \r\n\tNNTPPort\t=\t119\r\nEmpty=\r\n;Hidden=1\r\n");
    EXPECT_EQ(S("QIVNEWS", "nntpserver"), "news.example.org");
    EXPECT_EQ(S(" qivnews ", " NNTPSERVER "), "news.example.org");
    EXPECT_EQ(S("QIVNEWS", "NNTPPort"), "119");
    EXPECT_EQ(S("QIVNEWS", "Empty"), "");
    EXPECT_EQ(S("QIVNEWS", "Hidden"), "z");  // a comment is not a key
    EXPECT_EQ(S("QIVNEWS", "Missing"), "z");
    EXPECT_EQ(S("NoSuch", "NNTPServer"), "z");
    EXPECT_EQ(S("QIVNEWS", "stray"), "z");
    EXPECT_EQ(S("QIVNEWS", "NNTPServer", "z", 256, "absent.ini"), "z");
    EXPECT_TRUE(plat::ProfileSectionExists("qivnews", "qiv.ini"));
    EXPECT_FALSE(plat::ProfileSectionExists("NoSuch", "qiv.ini"));
    EXPECT_FALSE(plat::ProfileSectionExists("QIVNEWS", "absent.ini"));
}

TEST_F(ProfileTest, ValueIsEverythingAfterTheFirstEqualsSign) {
    Put("[A] ; trailing note\r\nk = a=b ; not a comment\r\n[B\r\nopen=1\r\n");
    EXPECT_EQ(S("A", "k"), "a=b ; not a comment");
    EXPECT_EQ(S("B", "open"), "1");  // a header without ']' names the rest of the line
}

TEST_F(ProfileTest, FirstOfTwoSectionsIsReadAndWritten) {
    Put("[A]\r\nx=1\r\n[B]\r\ny=0\r\n[a]\r\ny=2\r\n");
    EXPECT_EQ(S("A", "y"), "z");
    ASSERT_TRUE(plat::WriteProfileString("A", "y", "3", "qiv.ini"));
    EXPECT_EQ(S("A", "y"), "3");
    EXPECT_EQ(Get(), "[A]\r\nx=1\r\ny=3\r\n[B]\r\ny=0\r\n[a]\r\ny=2\r\n");
}

TEST_F(ProfileTest, ReadsLfFilesAndLongLinesWhole) {
    const std::string longValue(1000, 'x');
    Put("[A]\nk=" + longValue + "\nlast=no line end");
    EXPECT_EQ(S("A", "k", "z", 5000), longValue);
    EXPECT_EQ(S("A", "last"), "no line end");
}

TEST_F(ProfileTest, StringIsCutToOneLessThanTheBuffer) {
    Put("[A]\r\nk=0123456789\r\n");
    EXPECT_EQ(S("A", "k", "z", 5), "0123");
    EXPECT_EQ(S("A", "k", "z", 11), "0123456789");
    EXPECT_EQ(S("A", "k", "z", 1), "");
    EXPECT_EQ(S("A", "k", "z", 0), "");
    EXPECT_EQ(S("A", "missing", "NotSubscribed", 4), "Not");
}

TEST_F(ProfileTest, IntegerTakesTheLeadingNumber) {
    Put("[A]\r\nplain=119\r\nneg= -42abc\r\nplus=+7\r\nword=abc\r\nempty=\r\n"
        "huge=99999999999\r\ntiny=-99999999999\r\nsign=-\r\n");
    auto I = [](const char* key) { return plat::GetProfileInt("A", key, 5, "qiv.ini"); };
    EXPECT_EQ(I("plain"), 119);
    EXPECT_EQ(I("neg"), -42);
    EXPECT_EQ(I("plus"), 7);
    EXPECT_EQ(I("word"), 0);
    EXPECT_EQ(I("sign"), 0);
    EXPECT_EQ(I("empty"), 5);  // an empty value counts as missing
    EXPECT_EQ(I("missing"), 5);
    EXPECT_EQ(I("huge"), INT_MAX);
    EXPECT_EQ(I("tiny"), INT_MIN);
    EXPECT_EQ(plat::GetProfileInt("B", "plain", -1, "qiv.ini"), -1);
}

TEST_F(ProfileTest, FirstWriteCreatesAPrivateFile) {
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "QivNewsPassword", "secret", "qiv.ini"));
    EXPECT_EQ(Get(), "[QIVNEWS]\r\nQivNewsPassword=secret\r\n");
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Listing(), "qiv.ini\n");
}

TEST_F(ProfileTest, OnePairOfSurroundingQuotesIsNotPartOfTheValue) {
    Put("[Q]\r\nDir=\"/srv/board spool\"\r\nEmpty=\"\"\r\nTwice=\"\"x\"\"\r\n"
        "Open=\"a\r\nInner=a\"b\"\r\nOne=\"\r\n  Spaced =  \"x\"  \r\nN=\"42\"\r\n");
    const std::vector<std::pair<const char*, const char*>> reads = {
        {"Dir", "/srv/board spool"}, {"Empty", ""}, {"Twice", "\"x\""}, {"Open", "\"a"},
        {"Inner", "a\"b\""},         {"One", "\""}, {"Spaced", "x"},
    };
    for (const auto& [key, value] : reads) EXPECT_EQ(S("Q", key), value) << key;
    EXPECT_EQ(plat::GetProfileInt("Q", "N", 0, "qiv.ini"), 42);
    // Cut to the buffer after the quotes are gone.
    EXPECT_EQ(S("Q", "Dir", "z", 5), "/srv");
}

TEST_F(ProfileTest, AValueInQuotesIsWrittenSoThatItReadsBackUnchanged) {
    const std::vector<std::string> values = {"\"pw\"", "\"\"", "\"",   "\"a b\"",
                                             "a\"b\"", "\"x",  "plain"};
    for (const std::string& v : values) {
        ASSERT_TRUE(plat::WriteProfileString("Q", "QivNewsPassword", v, "qiv.ini")) << v;
        EXPECT_EQ(S("Q", "QivNewsPassword"), v);
    }
    // Blanks around a value are not kept; the quotes inside them are.
    const std::vector<std::pair<std::string, std::string>> blanked = {
        {" \"\" ", "\"\""}, {"\t\"pw\"", "\"pw\""}, {"\"a\"  ", "\"a\""}, {" \" ", "\""}};
    for (const auto& [written, read] : blanked) {
        ASSERT_TRUE(plat::WriteProfileString("Q", "QivNewsPassword", written, "qiv.ini"));
        EXPECT_EQ(S("Q", "QivNewsPassword"), read) << written;
    }
    ASSERT_TRUE(plat::WriteProfileString("Q", "QivNewsPassword", "\"pw\"", "qiv.ini"));
    EXPECT_EQ(Get(), "[Q]\r\nQivNewsPassword=\"\"pw\"\"\r\n");
}

TEST_F(ProfileTest, AFileThatHoldsASecretIsPrivateWheneverWritten) {
    // Another name than the other tests use: the mark lasts for the process.
    plat::MarkProfilePrivate("secret.ini");
    Put("[A]\r\nk=1\r\n", "secret.ini");
    ASSERT_EQ(chmod(Path("secret.ini").c_str(), 0644), 0);
    struct stat st;
    // A same-length change (otherwise written in place) and a longer one.
    for (const char* value : {"2", "333"}) {
        ASSERT_TRUE(plat::WriteProfileString("A", "k", value, "secret.ini"));
        ASSERT_EQ(stat(Path("secret.ini").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << value;
        ASSERT_EQ(chmod(Path("secret.ini").c_str(), 0644), 0);
    }
    EXPECT_EQ(S("A", "k", "z", 256, "secret.ini"), "333");

    EXPECT_TRUE(plat::TightenProfile("secret.ini"));
    ASSERT_EQ(stat(Path("secret.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(plat::TightenProfile("secret.ini")) << "nothing left to tighten";
    EXPECT_FALSE(plat::TightenProfile("missing.ini"));
}

TEST_F(ProfileTest, WritesKeepEveryOtherLineInOrder) {
    Put("; top comment\r\n[QIVNEWS]\r\nNNTPServer=old\r\n; note\r\nNNTPPort=119\r\n\r\n"
        "[NG1]\r\nName=alt.test\r\n");
    ASSERT_TRUE(plat::WriteProfileString("qivnews", "nntpserver", "news.example", "qiv.ini"));
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "LastFileNumIn", "8", "qiv.ini"));
    ASSERT_TRUE(plat::WriteProfileString("NG1", "Index", "101", "qiv.ini"));
    ASSERT_TRUE(plat::WriteProfileString(" NG2 ", " Name ", "comp.lang.c", "qiv.ini"));
    EXPECT_EQ(Get(),
              "; top comment\r\n[QIVNEWS]\r\nNNTPServer=news.example\r\n; note\r\nNNTPPort=119\r\n"
              "LastFileNumIn=8\r\n\r\n[NG1]\r\nName=alt.test\r\nIndex=101\r\n[NG2]\r\n"
              "Name=comp.lang.c\r\n");
    EXPECT_EQ(S("NG2", "name"), "comp.lang.c");
    EXPECT_EQ(Listing(), "qiv.ini\n");
}

TEST_F(ProfileTest, LfFileIsWrittenBackWithCrLf) {
    Put("[A]\nx=1\n; c\n[B]\ny=2");
    ASSERT_TRUE(plat::WriteProfileString("A", "x", "3", "qiv.ini"));
    EXPECT_EQ(Get(), "[A]\r\nx=3\r\n; c\r\n[B]\r\ny=2\r\n");
}

TEST_F(ProfileTest, DeletesKeysAndWholeSections) {
    Put("[NG1]\r\nName=a\r\nIndex=3\r\nname=dup\r\n[NG2]\r\nName=b\r\n[ng1]\r\nName=again\r\n"
        "[NG3]\r\nName=c\r\n");
    ASSERT_TRUE(plat::DeleteProfileKey("ng1", "NAME", "qiv.ini"));
    EXPECT_EQ(S("NG1", "Name"), "z");
    EXPECT_EQ(S("NG1", "Index"), "3");
    ASSERT_TRUE(plat::DeleteProfileSection("Ng1", "qiv.ini"));
    EXPECT_EQ(Get(), "[NG2]\r\nName=b\r\n[NG3]\r\nName=c\r\n");
    EXPECT_FALSE(plat::ProfileSectionExists("NG1", "qiv.ini"));

    // Deleting what is not there leaves the file alone and creates none.
    struct stat before, after;
    ASSERT_EQ(stat(Path().c_str(), &before), 0);
    EXPECT_TRUE(plat::DeleteProfileSection("NG9", "qiv.ini"));
    EXPECT_TRUE(plat::DeleteProfileKey("NG2", "Index", "qiv.ini"));
    ASSERT_EQ(stat(Path().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_TRUE(plat::DeleteProfileSection("NG1", "absent.ini"));
    EXPECT_EQ(Listing(), "qiv.ini\n");
}

// A batch gives the bytes that the same writes or deletions one by one give,
// with one rewrite: checked against the single calls on a copy.
TEST_F(ProfileTest, BatchesGiveTheBytesOfTheSingleCallsInOneRewrite) {
    const std::string start =
        "; top\r\n[QIVNEWS]\r\nNNTPServer=old\r\nNNTPPort=119\r\n\r\n[NG1]\r\nName=a\r\n"
        "[ng1]\r\nName=dup\r\n[NG2]\r\nName=b\r\n\r\n";
    const std::vector<std::vector<plat::ProfileEntry>> batches = {
        {},
        {{"NG9", "Name", "alone"}},
        {{"qivnews", "nntpserver", "news.example"},
         {"QIVNEWS", "LastFileNumIn", "8"},
         {"NG1", "Index", "101"},
         {" NG3 ", " Name ", "comp.lang.c"},
         {"NG1", "Index", "102"},
         {"ng3", "NAME", "\"q\""},
         {"NG4", "Name", "x"},
         {"NG2", "ExpireDays", "3"},
         {"QIVNEWS", "lastfilenumin", "9"}},
    };
    for (const auto& batch : batches) {
        SCOPED_TRACE(batch.size());
        Put(start, "one.ini");
        for (const plat::ProfileEntry& e : batch)
            ASSERT_TRUE(plat::WriteProfileString(e.section, e.key, e.value, "one.ini"));
        Put(start);
        const ino_t before = Inode(Path());
        ASSERT_TRUE(plat::WriteProfileStrings(batch, "qiv.ini"));
        EXPECT_EQ(Get(), Get("one.ini"));
        EXPECT_EQ(Inode(Path()) == before, batch.empty());
    }
    EXPECT_EQ(S("ng3", "name"), "\"q\"");

    const std::vector<std::string> doomed = {"NG1", "ng2", "NG7", " qivnews "};
    Put(start, "one.ini");
    for (const std::string& section : doomed)
        ASSERT_TRUE(plat::DeleteProfileSection(section, "one.ini"));
    Put(start);
    ASSERT_TRUE(plat::DeleteProfileSections(doomed, "qiv.ini"));
    EXPECT_EQ(Get(), Get("one.ini"));
    EXPECT_EQ(Get(), "; top\r\n");
    const ino_t kept = Inode(Path());
    EXPECT_TRUE(plat::DeleteProfileSections({"NG1", "absent"}, "qiv.ini"));
    EXPECT_EQ(Inode(Path()), kept);  // nothing to delete: not rewritten

    Put(start);
    EXPECT_EQ(plat::GetProfileSectionNames("qiv.ini"),
              (std::vector<std::string>{"QIVNEWS", "NG1", "ng1", "NG2"}));
    EXPECT_TRUE(plat::GetProfileSectionNames("absent.ini").empty());
}

TEST_F(ProfileTest, ABatchWithOneBadEntryOrAFailedWriteChangesNothing) {
    const std::string old = "[A]\r\nk=1\r\n";
    Put(old);
    for (const plat::ProfileEntry& bad : std::vector<plat::ProfileEntry>{
             {"B", "k", "2\r\n[C]"}, {"B]", "k", "2"}, {"B", "", "2"}, {"B", "k=j", "2"}}) {
        errno = 0;
        EXPECT_FALSE(plat::WriteProfileStrings({{"A", "k", "2"}, bad}, "qiv.ini"));
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(Get(), old);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*prev)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<plat::ProfileEntry> many;
    for (int i = 0; i < 20; ++i) many.push_back({"NG" + std::to_string(i), "Name", "g"});
    const bool wrote = plat::WriteProfileStrings(many, "qiv.ini");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, prev);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(Get(), old);
    EXPECT_EQ(Listing(), "qiv.ini\n");
}

TEST_F(ProfileTest, RewriteKeepsPermissionBits) {
    Put("[A]\r\nk=1\r\n");
    ASSERT_EQ(chmod(Path().c_str(), 0640), 0);
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "2", "qiv.ini"));
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ProfileTest, RewriteRestoresBitsTheUmaskTakesAway) {
    Put("[A]\r\nk=1\r\n");
    ASSERT_EQ(chmod(Path().c_str(), 0644), 0);
    const mode_t saved = umask(077);
    const bool wrote = plat::WriteProfileString("A", "k", "2", "qiv.ini");
    umask(saved);
    ASSERT_TRUE(wrote);
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Files are kept parsed between calls; a change from outside must still be
// seen by the next read and kept by the next write, however soon it comes
// and even when it leaves the size as it was.
TEST_F(ProfileTest, OutsideEditsAreSeenRightAfterOurOwnAccess) {
    auto text = [](int k, int n) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "[A]\r\nk=%04d\r\nn=%04d\r\n", k, n);
        return std::string(buf);
    };
    for (int i = 0; i < 40; ++i) {
        ASSERT_TRUE(plat::WriteProfileString("A", "k", std::to_string(1000 + i), "qiv.ini"));
        // In place: same file, same size.
        Put(text(2000 + i, 3000 + i));
        ASSERT_EQ(S("A", "k"), std::to_string(2000 + i)) << i;
        Put(text(4000 + i, 3000 + i));
        ASSERT_EQ(S("A", "k"), std::to_string(4000 + i)) << i;
        // The edit of n survives our write of k.
        Put(text(5000 + i, 6000 + i));
        ASSERT_TRUE(plat::WriteProfileString("A", "k", std::to_string(7000 + i), "qiv.ini"));
        ASSERT_EQ(Get(), text(7000 + i, 6000 + i)) << i;
        // Replaced by another file of the same size.
        ASSERT_EQ(unlink(Path().c_str()), 0);
        Put(text(8000 + i, 6000 + i));
        ASSERT_EQ(S("A", "k"), std::to_string(8000 + i)) << i;
        EXPECT_TRUE(plat::ProfileSectionExists("A", "qiv.ini"));
    }
    ASSERT_EQ(unlink(Path().c_str()), 0);
    EXPECT_EQ(S("A", "k"), "z");
    EXPECT_FALSE(plat::ProfileSectionExists("A", "qiv.ini"));
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "1", "qiv.ini"));
    EXPECT_EQ(Get(), "[A]\r\nk=1\r\n");
    EXPECT_EQ(Listing(), "qiv.ini\n");
}

TEST_F(ProfileTest, RefusesTextThatWouldInjectLines) {
    Put("[A]\r\nk=1\r\n");
    EXPECT_FALSE(plat::WriteProfileString("A", "k", "2\r\n[B]\r\nx=y", "qiv.ini"));
    EXPECT_FALSE(plat::WriteProfileString("A", "k=j", "2", "qiv.ini"));
    EXPECT_FALSE(plat::WriteProfileString("A]x", "k", "2", "qiv.ini"));
    EXPECT_FALSE(plat::WriteProfileString("A", "", "2", "qiv.ini"));
    EXPECT_EQ(Get(), "[A]\r\nk=1\r\n");
}

TEST_F(ProfileTest, FailedWritesLeaveTheOldFile) {
    // A directory where the file should be.
    ASSERT_EQ(mkdir(Path("dir.ini").c_str(), 0700), 0);
    EXPECT_FALSE(plat::WriteProfileString("A", "k", "v", "dir.ini"));
    EXPECT_EQ(S("A", "k", "z", 256, "dir.ini"), "z");

    // A profile directory that does not exist.
    plat::SetProfileDir(dir_ + "/missing");
    EXPECT_FALSE(plat::WriteProfileString("A", "k", "v", "qiv.ini"));
    plat::SetProfileDir(dir_);

    // The temporary file cannot be written in full: the disk is "full".
    const std::string old = "[A]\r\nk=" + std::string(100, 'o') + "\r\n";
    Put(old);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*prev)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool wrote = plat::WriteProfileString("A", "k", std::string(200, 'n'), "qiv.ini");
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, prev);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(Get(), old);
    EXPECT_EQ(Listing(), "dir.ini\nqiv.ini\n");
}

ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A counter that keeps its length is written over the file itself (the
// fetch writes two per article); anything else replaces the file, so that
// no reader ever meets a half-written one.
TEST_F(ProfileTest, SameLengthChangesGoInPlaceOthersReplaceTheFile) {
    Put("[A]\r\nk=103\r\n[B]\r\nx=1\r\n");
    ASSERT_EQ(chmod(Path().c_str(), 0640), 0);
    const ino_t first = Inode(Path());
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "104", "qiv.ini"));
    EXPECT_EQ(Get(), "[A]\r\nk=104\r\n[B]\r\nx=1\r\n");
    EXPECT_EQ(Inode(Path()), first);
    EXPECT_EQ(S("A", "k"), "104");
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "1000", "qiv.ini"));
    EXPECT_EQ(Get(), "[A]\r\nk=1000\r\n[B]\r\nx=1\r\n");
    EXPECT_NE(Inode(Path()), first);
    struct stat st;
    ASSERT_EQ(stat(Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Changes spread over more than one disk sector are not one sector
    // write: replaced, also when only two bytes change, one on each side of
    // a sector boundary.
    const std::string pad(600, 'p');
    Put("[A]\r\na=1\r\np=" + pad + "\r\nb=1\r\n");
    const ino_t second = Inode(Path());
    ASSERT_TRUE(plat::WriteProfileString("A", "p", std::string(600, 'q'), "qiv.ini"));
    EXPECT_EQ(Get(), "[A]\r\na=1\r\np=" + std::string(600, 'q') + "\r\nb=1\r\n");
    EXPECT_NE(Inode(Path()), second);
    Put("[A]\r\na=1\r\np=" + pad + "\r\nb=1\r\n");
    // "[A]\r\na=1\r\np=" is 12 bytes: the value's bytes 499 and 500 are the
    // file's bytes 511 and 512.
    std::string across = pad;
    across[499] = across[500] = 'x';
    const ino_t third = Inode(Path());
    ASSERT_TRUE(plat::WriteProfileString("A", "p", across, "qiv.ini"));
    EXPECT_NE(Inode(Path()), third);
    std::string inside = across;
    inside[501] = inside[502] = 'y';
    const ino_t fourth = Inode(Path());
    ASSERT_TRUE(plat::WriteProfileString("A", "p", inside, "qiv.ini"));
    EXPECT_EQ(Inode(Path()), fourth);
    EXPECT_EQ(S("A", "p", "z", 1000), inside);
    EXPECT_EQ(Listing(), "qiv.ini\n");
}

TEST_F(ProfileTest, FailedInPlaceWriteIsReportedAndTheFileReadAgain) {
    const std::string old = "[A]\r\npad=" + std::string(300, 'o') + "\r\nk=103\r\n";
    Put(old);
    ASSERT_EQ(S("A", "k"), "103");  // now cached
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*prev)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 64;  // the counter lies beyond it
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    errno = 0;
    const bool wrote = plat::WriteProfileString("A", "k", "104", "qiv.ini");
    const int err = errno;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, prev);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(err, EFBIG);
    EXPECT_EQ(Get(), old);
    EXPECT_EQ(S("A", "k"), "103");
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "105", "qiv.ini"));
    EXPECT_EQ(S("A", "k"), "105");
}

// Sysops keep profiles elsewhere and link them in; a write must not turn
// the link into a file of its own.
TEST_F(ProfileTest, ALinkedProfileStaysALinkAndItsTargetIsWritten) {
    ASSERT_EQ(mkdir(Path("real").c_str(), 0700), 0);
    std::ofstream(Path("real/qiv.ini"), std::ios::binary) << "[A]\r\nk=1\r\n";
    ASSERT_EQ(symlink("real/qiv.ini", Path().c_str()), 0);
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "2", "qiv.ini"));     // in place
    ASSERT_TRUE(plat::WriteProfileString("A", "name", "x", "qiv.ini"));  // replaced
    struct stat st;
    ASSERT_EQ(lstat(Path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Get("real/qiv.ini"), "[A]\r\nk=2\r\nname=x\r\n");
    EXPECT_EQ(S("A", "name"), "x");
    EXPECT_EQ(Listing(), "qiv.ini\nreal\n");

    // A dangling link has nothing to write through: the file takes its place.
    ASSERT_EQ(symlink("real/none.ini", Path("other.ini").c_str()), 0);
    ASSERT_TRUE(plat::WriteProfileString("A", "k", "1", "other.ini"));
    ASSERT_EQ(lstat(Path("other.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(Get("other.ini"), "[A]\r\nk=1\r\n");
}

TEST_F(ProfileTest, LeftoverTemporariesOfAKilledWriterAreRemovedWhenOld) {
    Put("[A]\r\nk=1\r\n");
    const timespec old[2] = {{0, UTIME_OMIT}, {time(nullptr) - 120, 0}};
    for (const char* name : {"qiv.ini.Ab3xYz", "qiv.ini.zzzzz9", "qiv.ini.fresh1", "qiv.ini.Ab3xY",
                             "qiv.ini.Ab-xYz", "qiv.ini.Ab3xYz7", "qivnews.ini.Ab3xYz"}) {
        std::ofstream(Path(name)) << "[A]\r\n";
        if (std::string(name) != "qiv.ini.fresh1") {
            ASSERT_EQ(utimensat(AT_FDCWD, Path(name).c_str(), old, 0), 0);
        }
    }
    ASSERT_EQ(mkdir(Path("qiv.ini.Dir123").c_str(), 0700), 0);
    ASSERT_EQ(symlink("qiv.ini", Path("qiv.ini.Lnk123").c_str()), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, Path("qiv.ini.Lnk123").c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(plat::RemoveLeftoverProfileTemps("qiv.ini", 60), 2);
    EXPECT_EQ(Listing(),
              "qiv.ini\nqiv.ini.Ab-xYz\nqiv.ini.Ab3xY\nqiv.ini.Ab3xYz7\nqiv.ini.Dir123\n"
              "qiv.ini.Lnk123\nqiv.ini.fresh1\nqivnews.ini.Ab3xYz\n");
    EXPECT_EQ(plat::RemoveLeftoverProfileTemps("qiv.ini", 0), 1);  // the fresh one
    EXPECT_EQ(Get(), "[A]\r\nk=1\r\n");
    EXPECT_EQ(plat::RemoveLeftoverProfileTemps("none.ini", 0), 0);
}

// A process killed at an arbitrary point of a write leaves either the old
// or the new file.
TEST_F(ProfileTest, KilledWriterLeavesOldOrNewFile) {
    const std::string a(4000, 'a');
    const std::string b(6000, 'b');
    ASSERT_TRUE(plat::WriteProfileString("S", "k", a, "qiv.ini"));
    for (int round = 0; round < 20; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            for (int i = 0;; ++i) {
                plat::WriteProfileString("S", "k", i % 2 ? a : b, "qiv.ini");
                plat::WriteProfileString("S", "pad" + std::to_string(i % 7), "x", "qiv.ini");
                plat::WriteProfileString("S", "n", i % 2 ? "1234" : "5678", "qiv.ini");
                if (write(fds[1], "w", 1) != 1) _exit(1);
            }
        }
        close(fds[1]);
        // Let it get through a varying number of writes, then kill it mid-way.
        char c;
        for (int i = 0; i < 1 + round; ++i) ASSERT_EQ(read(fds[0], &c, 1), 1);
        kill(child, SIGKILL);
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(fds[0]);
        const std::string value = S("S", "k", "z", 10000);
        EXPECT_TRUE(value == a || value == b) << "round " << round << ": " << value.size();
        const std::string counter = S("S", "n");
        EXPECT_TRUE(counter == "1234" || counter == "5678" || counter == "z")
            << "round " << round << ": " << counter;
        const std::string text = Get();
        ASSERT_GE(text.size(), 2u);
        EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    }
}

// Sections are found through an index of the cached parse: it must name the
// first of two sections whatever their case, follow sections as they come
// and go, and be rebuilt when the file changes behind it, also when the
// change keeps the file's size.
TEST_F(ProfileTest, SectionsAreFoundAsTheyComeAndGo) {
    Put("[NG1]\r\nIndex=1\r\n[ng2]\r\nIndex=2\r\n[Ng1]\r\nIndex=3\r\n[ ]\r\nIndex=4\r\n");
    EXPECT_EQ(S("ng1", "index"), "1");
    EXPECT_EQ(S("NG2", "Index"), "2");
    EXPECT_EQ(S("", "Index"), "4");  // a blank header names the empty section
    EXPECT_FALSE(plat::ProfileSectionExists("NG3", "qiv.ini"));

    ASSERT_TRUE(plat::WriteProfileString("NG3", "Index", "5", "qiv.ini"));
    EXPECT_EQ(S("ng3", "Index"), "5");
    ASSERT_TRUE(plat::DeleteProfileSection("NG2", "qiv.ini"));
    EXPECT_FALSE(plat::ProfileSectionExists("ng2", "qiv.ini"));
    EXPECT_EQ(S("NG3", "Index"), "5");  // behind the removed one: moved up
    ASSERT_TRUE(plat::DeleteProfileKey("NG1", "Index", "qiv.ini"));
    EXPECT_EQ(S("NG1", "Index"), "z");  // the first section still answers
    ASSERT_TRUE(plat::WriteProfileString("NG1", "Index", "6", "qiv.ini"));
    EXPECT_EQ(Get(),
              "[NG1]\r\nIndex=6\r\n[Ng1]\r\nIndex=3\r\n[ ]\r\nIndex=4\r\n[NG3]\r\nIndex=5\r\n");

    // Reordered from outside, same size: each name finds its own section.
    Put("[NG3]\r\nIndex=7\r\n[NG1]\r\nIndex=8\r\n");
    const std::string swapped = "[NG1]\r\nIndex=8\r\n[NG3]\r\nIndex=7\r\n";
    ASSERT_EQ(S("NG1", "Index"), "8");
    Put(swapped);
    EXPECT_EQ(S("NG1", "Index"), "8");
    EXPECT_EQ(S("NG3", "Index"), "7");
    ASSERT_TRUE(plat::WriteProfileString("NG3", "Index", "9", "qiv.ini"));
    EXPECT_EQ(Get(), "[NG1]\r\nIndex=8\r\n[NG3]\r\nIndex=9\r\n");

    // The first copy removed from outside: the second becomes the section.
    Put("[NG1]\r\nIndex=1\r\n[ng1]\r\nIndex=2\r\n");
    ASSERT_EQ(S("NG1", "Index"), "1");
    Put("[ng1]\r\nIndex=2\r\n");
    EXPECT_EQ(S("NG1", "Index"), "2");
}

// A counter written over its own line must leave exactly the bytes the
// whole rewrite gives, and a cached copy that later reads and writes agree
// with; a file whose lines do not all end with CR LF is rewritten whole.
TEST_F(ProfileTest, CounterWritesLeaveWhatTheRewriteWould) {
    struct Case {
        const char* before;
        const char* section;
        const char* key;
        const char* value;
        const char* after;
        bool inPlace;
    };
    const Case cases[] = {
        {"[A]\r\nIndex=103\r\n[B]\r\nIndex=7\r\n", "b", "INDEX", "8",
         "[A]\r\nIndex=103\r\n[B]\r\nIndex=8\r\n", true},
        {"[A]\r\nINDEX=5\r\nindex=6\r\n", "A", "Index", "9", "[A]\r\nINDEX=9\r\nindex=6\r\n", true},
        {"[A]\r\nk=1\r\n[a]\r\nk=2\r\n", "a", "k", "3", "[A]\r\nk=3\r\n[a]\r\nk=2\r\n", true},
        {"[A]\r\nk = 1\r\n", "A", "k", "2", "[A]\r\nk=2\r\n", false},
        {"[A]\nk=1\n[B]\nk=2\n", "B", "k", "3", "[A]\r\nk=1\r\n[B]\r\nk=3\r\n", false},
        {"[A]\r\nk=1\n[B]\r\nk=2\r\n", "B", "k", "3", "[A]\r\nk=1\r\n[B]\r\nk=3\r\n", false},
        {"[A]\r\nk=1", "A", "k", "2", "[A]\r\nk=2\r\n", false},
        {"[A]\r\nk=1\r\n", "A", "k", "1", "[A]\r\nk=1\r\n", true},
        {"[A]\r\nk=1\r\n", "A", "j", "1", "[A]\r\nk=1\r\nj=1\r\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        ASSERT_EQ(unlink(Path().c_str()) == 0 || errno == ENOENT, true);
        Put(c.before);
        ASSERT_EQ(S("A", "nothing"), "z");  // cached before the write
        const ino_t before = Inode(Path());
        ASSERT_TRUE(plat::WriteProfileString(c.section, c.key, c.value, "qiv.ini"));
        EXPECT_EQ(Get(), c.after);
        EXPECT_EQ(Inode(Path()) == before, c.inPlace);
        EXPECT_EQ(S(c.section, c.key), c.value);
        // A rewrite from the cached copy keeps the counter.
        ASSERT_TRUE(plat::WriteProfileString("Z", "k", "v", "qiv.ini"));
        EXPECT_EQ(Get(), std::string(c.after) + "[Z]\r\nk=v\r\n");
    }
}

// The fetch writes a counter per article into a file of thousands of
// sections; every one of them must land on its own line.
TEST_F(ProfileTest, CountersInALargeFileStayInTheirSections) {
    std::string text;
    for (int i = 1; i <= 3000; ++i)
        text += "[NG" + std::to_string(i) + "]\r\nName=group." + std::to_string(i) +
                "\r\nIndex=1000\r\n";
    Put(text);
    const ino_t first = Inode(Path());
    for (int i = 1; i <= 3000; i += 7)
        ASSERT_TRUE(plat::WriteProfileString("ng" + std::to_string(i), "Index",
                                             std::to_string(2000 + i % 1000), "qiv.ini"));
    EXPECT_EQ(Inode(Path()), first);
    std::string expected;
    for (int i = 1; i <= 3000; ++i)
        expected += "[NG" + std::to_string(i) + "]\r\nName=group." + std::to_string(i) +
                    "\r\nIndex=" + std::to_string(i % 7 == 1 ? 2000 + i % 1000 : 1000) + "\r\n";
    EXPECT_EQ(Get(), expected);
    for (int i = 1; i <= 3000; i += 499)
        EXPECT_EQ(plat::GetProfileInt("NG" + std::to_string(i), "Index", 0, "qiv.ini"),
                  i % 7 == 1 ? 2000 + i % 1000 : 1000);
}

}  // namespace
