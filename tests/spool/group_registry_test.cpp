#include "spool/group_registry.h"

#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/profile.h"
#include "spool/group_files.h"
#include "spool_fixture.h"

namespace {

using spool::SubscribeStatus;
using spool::UnsubscribeStatus;
using spooltest::Exists;
using spooltest::List;
using spooltest::ReadBytes;
using spooltest::WriteBytes;

class RegistryTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        context.spoolDir = Spool();
        context.lastGroupNum = &lastGroupNum;
        context.log = [this](const std::string& line) { log.push_back(line); };
    }

    std::string Registry() { return ReadBytes(At("newsys.rc")); }
    std::string Name(std::int32_t n) {
        return plat::GetProfileString("NG" + std::to_string(n), "Name", "NotSubscribed", 256,
                                      "qivnews.ini");
    }
    std::string StoredLastGroupNum() {
        return plat::GetProfileString("QIVNEWS", "LastGroupNum", "z", 25, "qiv.ini");
    }
    void Subscribe(const std::string& name) {
        ASSERT_TRUE(spool::SubscribeGroup(context, name).Ok()) << name;
    }

    std::int32_t lastGroupNum = 1;
    std::vector<std::string> log;
    spool::SpoolContext context;
};

TEST_F(RegistryTest, FirstSubscribeOnAFreshSpool) {
    const spool::SubscribeResult r = spool::SubscribeGroup(context, "comp.lang.c");
    EXPECT_EQ(r.status, SubscribeStatus::Subscribed);
    EXPECT_EQ(r.groupNumber, 1);
    EXPECT_FALSE(r.message.empty());
    EXPECT_EQ(Registry(), "comp.lang.c:1\r\n");
    EXPECT_EQ(Name(1), "comp.lang.c");
    EXPECT_TRUE(plat::DirectoryExists(At("news/NG1")));
    EXPECT_EQ(lastGroupNum, 2);
    EXPECT_EQ(StoredLastGroupNum(), "2");
    EXPECT_TRUE(log.empty());

    // The next one is appended, also behind a last line without a line end.
    WriteBytes(At("newsys.rc"), Registry() + "board.local:7");
    lastGroupNum = 8;
    Subscribe("alt.test");
    EXPECT_EQ(Registry(), "comp.lang.c:1\r\nboard.local:7\r\nalt.test:8\r\n");
    EXPECT_EQ(lastGroupNum, 9);
}

TEST_F(RegistryTest, SubscribeRefusesBadAndKnownNames) {
    Subscribe("comp.lang.c");
    const std::string before = Registry();
    const struct {
        std::string name;
        SubscribeStatus status;
    } cases[] = {
        {"", SubscribeStatus::EmptyName},
        {"a:b", SubscribeStatus::InvalidName},
        {"two words", SubscribeStatus::InvalidName},
        {"tab\there", SubscribeStatus::InvalidName},
        {"alt.test\r\nQUIT", SubscribeStatus::InvalidName},
        {std::string("bell\x07"), SubscribeStatus::InvalidName},
        {std::string("del\x7f"), SubscribeStatus::InvalidName},
        {std::string(256, 'a'), SubscribeStatus::NameTooLong},
        {"COMP.Lang.C", SubscribeStatus::AlreadySubscribed},
    };
    for (const auto& c : cases) {
        const spool::SubscribeResult r = spool::SubscribeGroup(context, c.name);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_FALSE(r.Ok());
        EXPECT_FALSE(r.message.empty());
    }
    EXPECT_EQ(Registry(), before);
    EXPECT_EQ(lastGroupNum, 2);
    EXPECT_EQ(Name(2), "NotSubscribed");
    EXPECT_EQ(List(At("news")), std::vector<std::string>{"NG1"});
    // 255 characters are accepted.
    Subscribe(std::string(255, 'a'));
}

TEST_F(RegistryTest, NumbersAreNeverHandedOutTwice) {
    // A fresh profile (LastGroupNum 1) pointed at a spool that has used
    // numbers up to 9 in one place or another.
    WriteBytes(At("newsys.rc"), "a:3\r\n");
    ASSERT_TRUE(plat::CreateDirectory(At("news/NG5")));
    WriteBytes(At("7.grp"), "");
    WriteBytes(At("6.tmp"), "");
    ASSERT_TRUE(plat::WriteProfileString("NG9", "Index", "4", "qivnews.ini"));
    EXPECT_EQ(spool::NextFreeGroupNumber(Spool(), 1), 10);
    const spool::SubscribeResult r = spool::SubscribeGroup(context, "b");
    EXPECT_EQ(r.groupNumber, 10);
    EXPECT_EQ(lastGroupNum, 11);
    EXPECT_EQ(StoredLastGroupNum(), "11");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("LastGroupNum"), std::string::npos);

    // A LastGroupNum that did not parse (0) on an empty spool starts at 1.
    RegistryTest::TearDown();
    RegistryTest::SetUp();
    lastGroupNum = 0;
    EXPECT_EQ(spool::SubscribeGroup(context, "c").groupNumber, 1);
    EXPECT_EQ(lastGroupNum, 2);

    // A counter ahead of the spool is kept.
    lastGroupNum = 40;
    EXPECT_EQ(spool::SubscribeGroup(context, "d").groupNumber, 40);
}

TEST_F(RegistryTest, StrayNumberedFilesNeitherInflateNumbersNorAreReused) {
    // Names the board or a sysop left: none is a number we gave out.
    WriteBytes(At("20240101.tmp"), "board temp");
    WriteBytes(At("99999998.grp"), "");
    ASSERT_TRUE(plat::CreateDirectory(At("news/NG88888888")));
    // Files under the numbers the counter reaches would give a new group an
    // old one's articles: those numbers are passed over.
    WriteBytes(At("1.grp"), "old index");
    ASSERT_TRUE(plat::CreateDirectory(At("news/NG2")));
    ASSERT_EQ(symlink("/nowhere", At("3.tmp").c_str()), 0);
    EXPECT_EQ(spool::NextFreeGroupNumber(Spool(), 1), 4);
    EXPECT_EQ(spool::SubscribeGroup(context, "a").groupNumber, 4);
    EXPECT_EQ(lastGroupNum, 5);
    EXPECT_EQ(ReadBytes(At("20240101.tmp")), "board temp");
    EXPECT_EQ(ReadBytes(At("1.grp")), "old index");
}

TEST_F(RegistryTest, LinksAndFifosInPlaceOfRegistryFilesAreRefused) {
    Subscribe("a");
    Subscribe("b");
    const std::string registry = Registry();
    // newsys.tmp linked to a file of someone else's: neither emptied nor
    // given the registry's mode.
    const std::string victim = Spool() + ".victim";
    WriteBytes(victim, "precious");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    ASSERT_EQ(chmod(At("newsys.rc").c_str(), 0644), 0);
    ASSERT_EQ(symlink(victim.c_str(), At("newsys.tmp").c_str()), 0);
    EXPECT_EQ(spool::UnsubscribeGroup(context, "a").status, UnsubscribeStatus::RegistryUnavailable);
    EXPECT_EQ(ReadBytes(victim), "precious");
    struct stat st;
    ASSERT_EQ(stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Registry(), registry);
    unlink(At("newsys.tmp").c_str());
    unlink(victim.c_str());

    // A FIFO as the registry: refused at once rather than waited on. In a
    // child, so that a blocking open fails the test instead of hanging it.
    ASSERT_EQ(rename(At("newsys.rc").c_str(), At("newsys.keep").c_str()), 0);
    ASSERT_EQ(mkfifo(At("newsys.rc").c_str(), 0644), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        const bool refused =
            spool::SubscribeGroup(context, "c").status == SubscribeStatus::RegistryUnavailable &&
            spool::UnsubscribeGroup(context, "b").status == UnsubscribeStatus::RegistryUnavailable;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(RegistryTest, SubscribeWithoutAWritableRegistryChangesNothing) {
    ASSERT_TRUE(plat::CreateDirectory(At("newsys.rc")));
    EXPECT_EQ(spool::SubscribeGroup(context, "a").status, SubscribeStatus::RegistryUnavailable);
    EXPECT_EQ(lastGroupNum, 1);
    EXPECT_EQ(Name(1), "NotSubscribed");
    EXPECT_TRUE(List(At("news")).empty());
}

TEST_F(RegistryTest, FailedAppendLeavesNoHalfLine) {
    const std::string before = std::string(390, 'x').replace(20, 2, "\r\n") + ":1\r\n";
    WriteBytes(At("newsys.rc"), before);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = before.size() + 5;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const spool::SubscribeResult r = spool::SubscribeGroup(context, "a.rather.long.name");
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r.status, SubscribeStatus::RegistryUnavailable);
    EXPECT_EQ(Registry(), before);
    EXPECT_EQ(lastGroupNum, 1);
}

TEST_F(RegistryTest, UnsubscribeRemovesTheGroupInAnyLetterCase) {
    Subscribe("alpha");
    Subscribe("beta");
    Subscribe("gamma");
    // Group 2's index lists three articles; a fourth file is not listed.
    for (int f = 1; f <= 4; ++f) MakeArticle(2, f);
    WriteBytes(At("2.grp"),
               Record(2, 1, 1997, 3, 1) + Record(2, 2, 1997, 3, 2) + Record(2, 3, 1997, 3, 3));
    MakeArticle(1, 9);

    const spool::UnsubscribeResult r = spool::UnsubscribeGroup(context, "BETA");
    EXPECT_EQ(r.status, UnsubscribeStatus::Unsubscribed);
    EXPECT_EQ(r.groupNumber, 2);
    EXPECT_EQ(Registry(), "alpha:1\ngamma:3\n");
    EXPECT_EQ(Name(2), "NotSubscribed");
    EXPECT_FALSE(plat::ProfileSectionExists("NG2", "qivnews.ini"));
    EXPECT_FALSE(Exists(At("2.grp")));
    // The file no record names (a killed fetch's) goes with the directory.
    EXPECT_FALSE(Exists(At("news/NG2")));
    EXPECT_TRUE(r.Ok()) << r.message;
    EXPECT_TRUE(Exists(ArticlePath(1, 9)));
    EXPECT_EQ(lastGroupNum, 4);

    Subscribe("delta");
    WriteBytes(At("4.grp"), Record(4, 5, 1997, 3, 1));
    MakeArticle(4, 5);
    EXPECT_TRUE(spool::UnsubscribeGroup(context, "delta").Ok());
    EXPECT_FALSE(Exists(At("news/NG4")));
    EXPECT_FALSE(Exists(At("4.grp")));
}

TEST_F(RegistryTest, RewriteNormalisesEveryLine) {
    const std::string longName(300, 'n');
    WriteBytes(At("newsys.rc"), "a:007\r\nb: +2\r\nno colon here\r\nx:y:5\r\n" + longName +
                                    ":12\r\nc:\nd:-4 trailing\n");
    bool failed = true;
    EXPECT_EQ(spool::RemoveRegistryEntry(Spool(), "unknown", &failed), -1);
    EXPECT_FALSE(failed);
    EXPECT_EQ(Registry(), "a:7\nb:2\nno colon here\nx:0\n" + longName + ":12\nc:0\nd:-4\n");
    EXPECT_FALSE(Exists(At("newsys.tmp")));

    // Every line with the name goes; the number of the last one is returned.
    WriteBytes(At("newsys.rc"), "dup:3\r\nkeep:4\r\nDUP:5\r\n");
    EXPECT_EQ(spool::RemoveRegistryEntry(Spool(), "Dup"), 5);
    EXPECT_EQ(Registry(), "keep:4\n");

    // Unsubscribing an unknown name touches nothing else.
    ASSERT_TRUE(plat::WriteProfileString("NG4", "Name", "keep", "qivnews.ini"));
    EXPECT_EQ(spool::UnsubscribeGroup(context, "nothere").status, UnsubscribeStatus::NotSubscribed);
    EXPECT_EQ(Name(4), "keep");

    // Without a registry there is nothing to remove, and none is created.
    plat::DeleteFile(At("newsys.rc"));
    EXPECT_EQ(spool::UnsubscribeGroup(context, "keep").status, UnsubscribeStatus::NotSubscribed);
    EXPECT_FALSE(Exists(At("newsys.rc")));
    EXPECT_FALSE(Exists(At("newsys.tmp")));
}

TEST_F(RegistryTest, RegistryIsNeverLost) {
    Subscribe("alpha");
    Subscribe("beta");
    const std::string before = Registry();

    // The temporary file cannot be created.
    ASSERT_TRUE(plat::CreateDirectory(At("newsys.tmp")));
    bool failed = false;
    EXPECT_EQ(spool::RemoveRegistryEntry(Spool(), "alpha", &failed), -1);
    EXPECT_TRUE(failed);
    EXPECT_EQ(spool::UnsubscribeGroup(context, "alpha").status,
              UnsubscribeStatus::RegistryUnavailable);
    EXPECT_EQ(Registry(), before);
    EXPECT_EQ(Name(1), "alpha");
    ASSERT_TRUE(plat::RemoveDirectory(At("newsys.tmp")));

    // The temporary file cannot be written whole.
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 3;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::int32_t n = spool::RemoveRegistryEntry(Spool(), "alpha", &failed);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(failed);
    EXPECT_EQ(Registry(), before);
    EXPECT_FALSE(Exists(At("newsys.tmp")));

    // The rewrite keeps the registry's permissions.
    ASSERT_EQ(chmod(At("newsys.rc").c_str(), 0640), 0);
    EXPECT_EQ(spool::RemoveRegistryEntry(Spool(), "alpha"), 1);
    struct stat st;
    ASSERT_EQ(stat(At("newsys.rc").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// Counts the writes of each file (closed after writing, or renamed into
// place) in the given directories while an action runs.
std::map<std::string, int> CountWrites(const std::vector<std::string>& dirs,
                                       const std::function<void()>& action) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<int, std::string> watched;
    for (const std::string& dir : dirs)
        watched[inotify_add_watch(fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO)] = dir;
    action();
    std::map<std::string, int> writes;
    alignas(inotify_event) char buffer[1 << 16];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        for (char* p = buffer; p < buffer + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(p);
            const std::string name = e->len > 0 ? e->name : "";
            // Temporary files are part of the write that renames them.
            const bool temp = name == "newsys.tmp" || (name.size() > 7 && name[name.size() - 7] == '.' &&
                                                       name.find(".ini.") != std::string::npos);
            if (!name.empty() && !temp) ++writes[name];
            p += sizeof(inotify_event) + e->len;
        }
    }
    close(fd);
    return writes;
}

// What the spool and the profile hold, and what a run logged.
struct Outcome {
    std::vector<std::pair<SubscribeStatus, std::int32_t>> results;
    std::string registry, groups, settings;
    std::vector<std::string> dirs, log;
    std::int32_t lastGroupNum;
    bool operator==(const Outcome&) const = default;
};

class BatchTest : public RegistryTest {
protected:
    std::string ProfileFile(const char* name) { return plat::ProfilePath(name); }
    Outcome Take(const std::vector<spool::SubscribeResult>& results) {
        Outcome o;
        for (const spool::SubscribeResult& r : results) o.results.push_back({r.status, r.groupNumber});
        o.registry = Registry();
        o.groups = ReadBytes(ProfileFile("qivnews.ini"));
        o.settings = ReadBytes(ProfileFile("qiv.ini"));
        o.dirs = List(At("news"));
        o.log = log;
        o.lastGroupNum = lastGroupNum;
        return o;
    }
    // The same start for each run: a group subscribed, numbers 3 and 4 taken
    // by leftovers, a counter behind the spool.
    void Prepare() {
        lastGroupNum = 1;
        Subscribe("alt.old");
        ASSERT_TRUE(plat::CreateDirectory(At("news/NG3")));
        WriteBytes(At("4.grp"), "");
        lastGroupNum = 1;
        log.clear();
    }
    std::vector<std::string> Dirs() { return {Spool(), plat::ProfileDir()}; }
};

TEST_F(BatchTest, ManyNamesGiveTheOutcomesOfSingleCallsWithOneWriteOfEachFile) {
    const std::vector<std::string> names = {"alt.a", "", "ALT.OLD", "alt.b", "x:y",
                                            std::string(256, 'n'), "Alt.A", "alt.c"};
    Prepare();
    std::vector<spool::SubscribeResult> singles;
    for (const std::string& name : names) singles.push_back(spool::SubscribeGroup(context, name));
    const Outcome one = Take(singles);

    TearDown();
    SetUp();
    Prepare();
    std::vector<spool::SubscribeResult> batch;
    const std::map<std::string, int> writes =
        CountWrites(Dirs(), [&] { batch = spool::SubscribeGroups(context, names); });
    const Outcome all = Take(batch);
    EXPECT_TRUE(all == one);
    ASSERT_EQ(batch.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(batch[i].message, singles[i].message) << i;
        EXPECT_EQ(batch[i].status, singles[i].status) << i;
    }
    EXPECT_EQ(batch[0].groupNumber, 2);
    EXPECT_EQ(batch[3].groupNumber, 5);
    EXPECT_EQ(batch[6].status, SubscribeStatus::AlreadySubscribed);
    EXPECT_EQ(batch[7].groupNumber, 6);
    EXPECT_EQ(all.registry, "alt.old:1\r\nalt.a:2\r\nalt.b:5\r\nalt.c:6\r\n");
    EXPECT_EQ(all.log.size(), 2u);  // behind at the first, passing the leftovers at the second
    EXPECT_EQ(writes, (std::map<std::string, int>{
                          {"newsys.rc", 1}, {"qivnews.ini", 1}, {"qiv.ini", 1}}));

    // Unsubscribing: the same.
    const std::vector<std::string> leaving = {"ALT.B", "alt.b", "nothere", "alt.a"};
    std::vector<spool::UnsubscribeResult> gone;
    const std::map<std::string, int> rewrites =
        CountWrites(Dirs(), [&] { gone = spool::UnsubscribeGroups(context, leaving); });
    ASSERT_EQ(gone.size(), leaving.size());
    const std::pair<UnsubscribeStatus, std::int32_t> expected[] = {
        {UnsubscribeStatus::Unsubscribed, 5}, {UnsubscribeStatus::NotSubscribed, -1},
        {UnsubscribeStatus::NotSubscribed, -1}, {UnsubscribeStatus::Unsubscribed, 2}};
    for (std::size_t i = 0; i < leaving.size(); ++i) {
        EXPECT_EQ(gone[i].status, expected[i].first) << i;
        EXPECT_EQ(gone[i].groupNumber, expected[i].second) << i;
    }
    EXPECT_EQ(gone[1].message, "alt.b is not subscribed");
    EXPECT_EQ(gone[3].message, "Unsubscribed from alt.a");
    EXPECT_EQ(Registry(), "alt.old:1\nalt.c:6\n");
    EXPECT_EQ(Name(2), "NotSubscribed");
    EXPECT_EQ(Name(5), "NotSubscribed");
    EXPECT_EQ(Name(6), "alt.c");
    EXPECT_EQ(List(At("news")), (std::vector<std::string>{"NG1", "NG3", "NG6"}));
    EXPECT_EQ(rewrites, (std::map<std::string, int>{{"newsys.rc", 1}, {"qivnews.ini", 1}}));
}

TEST_F(BatchTest, NumbersRunningOutStopOnlyTheNamesBeyondThem) {
    lastGroupNum = 99999998;
    const std::vector<spool::SubscribeResult> r =
        spool::SubscribeGroups(context, {"a", "b", "c", "d"});
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].groupNumber, 99999998);
    EXPECT_EQ(r[1].groupNumber, 99999999);
    EXPECT_EQ(r[2].status, SubscribeStatus::NoFreeNumber);
    EXPECT_EQ(r[3].message, "No group number is free");
    EXPECT_EQ(Registry(), "a:99999998\r\nb:99999999\r\n");
    EXPECT_EQ(lastGroupNum, 100000000);
    EXPECT_EQ(StoredLastGroupNum(), "100000000");
}

TEST_F(BatchTest, AFailedWriteUndoesEveryGroupOfTheBatchAndKeepsTheOtherOutcomes) {
    Subscribe("alt.old");
    // The registry cannot grow by the batch's lines.
    const std::string before = Registry() + std::string(2000, 'x') + ":9\r\n";
    WriteBytes(At("newsys.rc"), before);
    lastGroupNum = 10;
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = before.size() + 10;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::vector<spool::SubscribeResult> r =
        spool::SubscribeGroups(context, {"alt.first.new.group", "alt.old", "alt.second.new.group"});
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].status, SubscribeStatus::RegistryUnavailable);
    EXPECT_EQ(r[0].message, "Cannot write " + At("newsys.rc"));
    EXPECT_EQ(r[1].status, SubscribeStatus::AlreadySubscribed);
    EXPECT_EQ(r[2].status, SubscribeStatus::RegistryUnavailable);
    EXPECT_EQ(Registry(), before);
    EXPECT_EQ(Name(10), "NotSubscribed");
    EXPECT_EQ(Name(11), "NotSubscribed");
    EXPECT_EQ(List(At("news")), std::vector<std::string>{"NG1"});
    EXPECT_EQ(lastGroupNum, 10);

    // qivnews.ini cannot be written: a directory stands in its place.
    ASSERT_TRUE(plat::CreateDirectory(plat::ProfilePath("qivnews.ini") + ".new"));
    ASSERT_EQ(rename(plat::ProfilePath("qivnews.ini").c_str(),
                     (plat::ProfilePath("qivnews.ini") + ".old").c_str()),
              0);
    ASSERT_EQ(rename((plat::ProfilePath("qivnews.ini") + ".new").c_str(),
                     plat::ProfilePath("qivnews.ini").c_str()),
              0);
    const std::vector<spool::SubscribeResult> s = spool::SubscribeGroups(context, {"p", "q"});
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].message, "Cannot write section NG10 of qivnews.ini");
    EXPECT_EQ(s[1].message, "Cannot write section NG11 of qivnews.ini");
    EXPECT_EQ(s[1].groupNumber, -1);
    EXPECT_EQ(Registry(), before);
    EXPECT_EQ(List(At("news")), std::vector<std::string>{"NG1"});
    EXPECT_EQ(lastGroupNum, 10);
}

TEST_F(RegistryTest, UnsubscribeDeletesNothingOutsideTheGroupDirectory) {
    Subscribe("alpha");
    WriteBytes(At("news/victim"), "x");
    WriteBytes(At("victim2"), "x");
    std::string index =
        Record(1, 1, 1997, 3, 1) + Record(1, 2, 1997, 3, 1) + Record(1, 3, 1997, 3, 1);
    index.replace(154, 12, std::string("../victim\0\0\0", 12));
    index.replace(322 + 154, 12, "../../victim");
    MakeArticle(1, 3);
    WriteBytes(At("1.grp"), index);
    EXPECT_TRUE(spool::UnsubscribeGroup(context, "alpha").Ok());
    EXPECT_TRUE(Exists(At("news/victim")));
    EXPECT_TRUE(Exists(At("victim2")));
    EXPECT_FALSE(Exists(ArticlePath(1, 3)));
    EXPECT_FALSE(Exists(At("1.grp")));
}

// ---- What a group directory holds beside its index ----

// Whatever is in the directory goes with it; what cannot go is named, and
// the group is unsubscribed all the same.
TEST_F(RegistryTest, UnsubscribeRemovesTheDirectoryWholeOrSaysWhatStayed) {
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> fill;
        const char* stayed;  // nullptr: the directory is gone
    };
    const std::string outside = At("outside.txt");
    const Case cases[] = {
        {"part and unindexed files",
         [&](const std::string& dir) {
             WriteBytes(dir + "/00000013.part", "half");
             WriteBytes(dir + "/00000014.nws", "whole");
             WriteBytes(dir + "/notes.txt", "sysop");
         },
         nullptr},
        {"a link and a FIFO",
         [&](const std::string& dir) {
             ASSERT_EQ(symlink(outside.c_str(), (dir + "/00000015.nws").c_str()), 0);
             ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
         },
         nullptr},
        {"a directory inside",
         [&](const std::string& dir) {
             WriteBytes(dir + "/00000016.nws", "x");
             ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
             WriteBytes(dir + "/sub/kept", "x");
         },
         "stayed with 1 entry that could not be removed, sub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(outside, "not the group's");
        const spool::SubscribeResult sub = spool::SubscribeGroup(context, "alpha");
        ASSERT_TRUE(sub.Ok());
        const std::int32_t n = sub.groupNumber;
        const std::string dir = At("news/NG" + std::to_string(n));
        c.fill(dir);
        const spool::UnsubscribeResult r = spool::UnsubscribeGroup(context, "alpha");
        EXPECT_EQ(r.status, UnsubscribeStatus::Unsubscribed);
        EXPECT_FALSE(plat::ProfileSectionExists("NG" + std::to_string(n), "qivnews.ini"));
        EXPECT_EQ(ReadBytes(outside), "not the group's");
        if (c.stayed == nullptr) {
            EXPECT_TRUE(r.Ok()) << r.message;
            EXPECT_TRUE(r.stayed.empty()) << r.stayed;
            EXPECT_FALSE(Exists(dir));
        } else {
            EXPECT_FALSE(r.Ok());
            EXPECT_NE(r.stayed.find(c.stayed), std::string::npos) << r.stayed;
            EXPECT_NE(r.message.find(r.stayed), std::string::npos) << r.message;
            EXPECT_EQ(List(dir), std::vector<std::string>{"sub"});
        }
    }
}

// What a killed fetch leaves: numbered files that neither the index nor an
// expiry's temporary index names. Nothing else is touched.
TEST_F(RegistryTest, UnindexedNumberedFilesAreRemovedAndNothingElse) {
    Subscribe("alpha");
    const std::string dir = At("news/NG1");
    WriteBytes(At("1.grp"), Record(1, 1, 1997, 3, 1) + Record(1, 3, 1997, 3, 1));
    WriteBytes(At("1.tmp"), Record(1, 2, 1997, 3, 1));
    for (int f : {1, 2, 3, 4}) MakeArticle(1, f);
    WriteBytes(dir + "/00000005.part", "half");
    WriteBytes(dir + "/00000006.part", "");
    WriteBytes(dir + "/0000007.nws", "seven digits");
    WriteBytes(dir + "/00000008.nws.bak", "not ours");
    WriteBytes(dir + "/readme", "sysop");
    ASSERT_EQ(mkdir((dir + "/00000009.nws").c_str(), 0700), 0);
    WriteBytes(At("outside"), "kept");
    ASSERT_EQ(symlink(At("outside").c_str(), (dir + "/00000010.nws").c_str()), 0);

    const spool::GroupSweep sweep = spool::RemoveUnindexedFiles(Spool(), 1);
    EXPECT_TRUE(sweep.done);
    EXPECT_EQ(sweep.removed, 4) << "4, both .part files and the link";
    EXPECT_EQ(sweep.failed, 1) << "the directory";
    EXPECT_EQ(List(dir), (std::vector<std::string>{"00000001.nws", "00000002.nws", "00000003.nws",
                                                   "00000008.nws.bak", "00000009.nws",
                                                   "0000007.nws", "readme"}));
    EXPECT_EQ(ReadBytes(At("outside")), "kept");

    // An index that cannot be read names files nobody knows: none is removed.
    WriteBytes(dir + "/00000011.part", "half");
    ASSERT_EQ(rename(At("1.grp").c_str(), At("1.grp.saved").c_str()), 0);
    ASSERT_EQ(mkdir(At("1.grp").c_str(), 0700), 0);
    const spool::GroupSweep blind = spool::RemoveUnindexedFiles(Spool(), 1);
    EXPECT_FALSE(blind.done);
    EXPECT_EQ(blind.removed, 0);
    EXPECT_TRUE(Exists(dir + "/00000011.part"));
    EXPECT_TRUE(Exists(dir + "/00000001.nws"));

    // No directory: nothing to do, and no failure.
    const spool::GroupSweep none = spool::RemoveUnindexedFiles(Spool(), 7);
    EXPECT_TRUE(none.done);
    EXPECT_EQ(none.removed + none.failed, 0);
}

// The group being fetched keeps its directory: the article arriving is
// written there, and the fetch removes it once it notices.
TEST_F(RegistryTest, UnsubscribingTheGroupBeingFetchedLeavesItsDirectoryToTheFetch) {
    Subscribe("alpha");
    WriteBytes(At("news/NG1/00000003.part"), "arriving");
    spool::SetGroupInFetch(1);
    const spool::UnsubscribeResult r = spool::UnsubscribeGroup(context, "alpha");
    spool::SetGroupInFetch(0);
    EXPECT_TRUE(r.Ok()) << r.message;
    EXPECT_TRUE(Exists(At("news/NG1/00000003.part")));
    EXPECT_EQ(spool::RemoveGroupDirectory(Spool(), 1), "");
    EXPECT_FALSE(Exists(At("news/NG1")));
}

}  // namespace
