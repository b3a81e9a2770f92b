#include "spool/expiry.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "spool/group_registry.h"
#include "spool/message_history.h"
#include "spool_fixture.h"

namespace {

using spooltest::Exists;
using spooltest::ReadBytes;
using spooltest::WriteBytes;

constexpr unsigned kStep = plat::msg::User + 100;

spool::SpoolContext* g_context = nullptr;
plat::WindowHandle g_window = 0;
std::vector<std::int32_t> g_chain;  // the group of every step, each run of them once
std::function<void(int)> g_tick;    // runs after the n-th step (1-based)
int g_ticks = 0;
bool g_pending = false;  // a step is scheduled

// One step of one record, as the application runs them; the next one is
// scheduled through the loop.
void RunStep() {
    g_pending = false;
    if (g_chain.empty() || g_chain.back() != spool::ExpiryGroup())
        g_chain.push_back(spool::ExpiryGroup());
    if (spool::ExpiryStep(*g_context, 1)) g_pending = plat::PostMessage(g_window, kStep, 0, 0);
    ++g_ticks;
    if (g_tick) g_tick(g_ticks);
}

plat::LResult MainProc(plat::WindowHandle w, unsigned message, plat::WParam wp, plat::LParam lp) {
    if (message == kStep) {
        RunStep();
        return 0;
    }
    return plat::DefWindowProc(w, message, wp, lp);
}

struct Day {
    int year, month, day;
};

class ExpiryTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        plat::ResetMessageLoopForTests();
        ASSERT_TRUE(plat::RegisterWindowClass("SpoolTestMain", MainProc));
        window = plat::CreateWindow("SpoolTestMain");
        ASSERT_NE(window, 0u);
        g_window = window;
        lastGroupNum = 1;
        log.clear();
        context.spoolDir = Spool();
        context.lastGroupNum = &lastGroupNum;
        context.log = [this](const std::string& line) { log.push_back(line); };
        g_context = &context;
        g_chain.clear();
        g_tick = nullptr;
        g_ticks = 0;
        g_pending = false;
        spool::AbandonExpiry();
    }
    void TearDown() override {
        g_tick = nullptr;
        plat::ResetMessageLoopForTests();
        SpoolTest::TearDown();
    }

    void Subscribe(const std::string& name, const char* expireDays = "1") {
        const spool::SubscribeResult r = spool::SubscribeGroup(context, name);
        ASSERT_TRUE(r.Ok());
        if (expireDays != nullptr)
            plat::WriteProfileString("NG" + std::to_string(r.groupNumber), "ExpireDays", expireDays,
                                     "qivnews.ini");
    }
    // Writes group n's index with one record and one article per day; the
    // file numbers count from first.
    std::string MakeIndex(std::int32_t n, const std::vector<Day>& days, int first = 1) {
        std::string index;
        for (std::size_t i = 0; i < days.size(); ++i) {
            const int file = first + static_cast<int>(i);
            index += Record(n, file, days[i].year, days[i].month, days[i].day);
            MakeArticle(n, file);
        }
        WriteBytes(At(std::to_string(n) + ".grp"), index);
        return index;
    }
    // The command: the first step at once, unless one is scheduled.
    void Start() {
        spool::StartExpiry();
        if (!g_pending) RunStep();
    }
    // Runs the command and the steps it starts to the end.
    void ExpireAll() {
        Start();
        ASSERT_TRUE(plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }));
        EXPECT_FALSE(spool::ExpiryRunning());
    }
    std::string Index(std::int32_t n) { return ReadBytes(At(std::to_string(n) + ".grp")); }

    std::int32_t lastGroupNum = 1;
    plat::WindowHandle window = 0;
    std::vector<std::string> log;
    spool::SpoolContext context;
};

std::string Slice(const std::string& index, std::initializer_list<int> records) {
    std::string out;
    for (int r : records) out += index.substr(static_cast<std::size_t>(r) * 322, 322);
    return out;
}

TEST(DayNumber, CountsDaysWithoutLeapDays) {
    EXPECT_EQ(spool::dayNumber(96, 2, 29), spool::dayNumber(96, 3, 1));
    EXPECT_EQ(spool::dayNumber(97, 1, 1) - spool::dayNumber(96, 12, 31), 1);
    EXPECT_EQ(spool::dayNumber(97, 3, 1) - spool::dayNumber(97, 2, 28), 1);
    EXPECT_EQ(spool::dayNumber(97, 3, 10), 365 * 97 + 31 + 28 + 10);
    EXPECT_EQ(spool::dayNumber(100, 1, 1) - spool::dayNumber(99, 12, 31), 1);
}

TEST(DayNumber, ReadsTimestampsOfBothCenturies) {
    auto day = [](const char* stamp) {
        long long d = -1;
        EXPECT_TRUE(spool::TimestampDayNumber(stamp, d)) << stamp;
        return d;
    };
    EXPECT_EQ(day("97.03.06.14.05"), spool::dayNumber(97, 3, 6));
    EXPECT_EQ(day("00.01.01.00.00") - day("99.12.31.23.59"), 1);
    EXPECT_GT(day("26.03.06.00.00"), day("97.03.06.00.00"));
    EXPECT_GT(day("69.01.01.00.00"), day("70.01.01.00.00"));
    // The three-digit year of the earlier program's records from 2000 on.
    EXPECT_EQ(day("100.01.01.12.3"), day("00.01.01.12.30"));
    EXPECT_EQ(day("126.03.06.14.0"), day("26.03.06.14.05"));

    long long d = 0;
    const std::string zeros(14, '\0');
    for (const std::string& bad :
         {zeros, std::string("97.13.01.00.00"), std::string("97.00.01.00.00"),
          std::string("97.03.00.00.00"), std::string("ab.cd.ef.gh.ij"),
          std::string("97.03") + zeros, std::string("-1.03.06.14.05")})
        EXPECT_FALSE(spool::TimestampDayNumber(bad.c_str(), d)) << bad;
}

TEST_F(ExpiryTest, KeepsWhatIsYoungerThanExpireDays) {
    const struct {
        Day today;
        const char* expireDays;
        std::vector<Day> records;
        std::vector<bool> stays;
    } cases[] = {
        {{1997, 3, 10}, "1", {{1997, 3, 10}, {1997, 3, 9}}, {true, false}},
        {{1997, 3, 10},
         "3",
         {{1997, 3, 7}, {1997, 3, 8}, {1997, 3, 9}, {1997, 3, 10}},
         {false, true, true, true}},
        // Month and year ends.
        {{1997, 3, 1}, "1", {{1997, 2, 28}, {1997, 3, 1}}, {false, true}},
        {{1997, 3, 1}, "3", {{1997, 2, 26}, {1997, 2, 27}}, {false, true}},
        {{1997, 1, 1}, "1", {{1996, 12, 31}, {1997, 1, 1}}, {false, true}},
        {{1997, 1, 2}, "3", {{1996, 12, 30}, {1996, 12, 31}}, {false, true}},
        // 29 February is 1 March.
        {{1996, 3, 2}, "2", {{1996, 2, 28}, {1996, 2, 29}, {1996, 3, 1}}, {false, true, true}},
        {{1996, 3, 2}, "1", {{1996, 2, 29}, {1996, 3, 1}, {1996, 3, 2}}, {false, false, true}},
        // Across 1999/2000, and today in 2026.
        {{2000, 1, 2}, "2", {{1999, 12, 31}, {2000, 1, 1}}, {false, true}},
        {{1999, 12, 31}, "1", {{1999, 12, 31}, {2000, 1, 1}}, {true, true}},
        {{2026, 3, 6}, "1", {{1997, 3, 6}, {2026, 3, 5}, {2026, 3, 6}}, {false, false, true}},
        {{2026, 3, 6}, "20000", {{1997, 3, 6}, {2026, 3, 6}}, {true, true}},
        // Nothing of today or earlier stays with 0 or less.
        {{1997, 3, 10}, "0", {{1997, 3, 10}, {1997, 3, 11}}, {false, true}},
        {{1997, 3, 10}, "-2", {{1997, 3, 12}, {1997, 3, 13}}, {false, true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.today.year) + "-" + std::to_string(c.today.month) + "-" +
                     std::to_string(c.today.day) + " ExpireDays " + c.expireDays);
        TearDown();
        SetUp();
        SetToday(c.today.year, c.today.month, c.today.day);
        Subscribe("alpha", c.expireDays);
        const std::string before = MakeIndex(1, c.records);
        ExpireAll();
        std::string kept;
        for (std::size_t i = 0; i < c.records.size(); ++i) {
            if (c.stays[i]) kept += before.substr(i * 322, 322);
            EXPECT_EQ(Exists(ArticlePath(1, static_cast<int>(i) + 1)), c.stays[i]) << i;
        }
        EXPECT_EQ(Index(1), kept);
        EXPECT_FALSE(Exists(At("1.tmp")));
    }
}

TEST_F(ExpiryTest, ExpireDaysSetting) {
    // Missing: the key gains the value 1.
    Subscribe("alpha", nullptr);
    std::string before = MakeIndex(1, {{1997, 3, 9}, {1997, 3, 10}});
    ExpireAll();
    EXPECT_EQ(plat::GetProfileString("NG1", "ExpireDays", "z", 25, "qivnews.ini"), "1");
    EXPECT_EQ(Index(1), Slice(before, {1}));

    // Not a number: nothing is judged, nothing deleted.
    plat::WriteProfileString("NG1", "ExpireDays", "abc", "qivnews.ini");
    before = MakeIndex(1, {{1990, 1, 1}, {1997, 3, 10}});
    ExpireAll();
    EXPECT_EQ(Index(1), before);
    EXPECT_TRUE(Exists(ArticlePath(1, 1)));
    EXPECT_EQ(plat::GetProfileString("NG1", "ExpireDays", "z", 25, "qivnews.ini"), "abc");
    EXPECT_FALSE(log.empty());

    // A leading number counts.
    plat::WriteProfileString("NG1", "ExpireDays", "2 days", "qivnews.ini");
    before = MakeIndex(1, {{1997, 3, 8}, {1997, 3, 9}});
    ExpireAll();
    EXPECT_EQ(Index(1), Slice(before, {1}));
}

TEST_F(ExpiryTest, RecordsThatCannotBeJudgedStay) {
    Subscribe("alpha");
    std::string index = MakeIndex(1, {{1990, 1, 1}, {1990, 1, 1}, {1990, 1, 1}, {1990, 1, 1}});
    index.replace(322 + 139, 14, "97.13.01.00.00");
    index.replace(2 * 322, 322, std::string(322, '\0'));
    index.replace(3 * 322 + 139, 14, "garbage.......");
    WriteBytes(At("1.grp"), index);
    ExpireAll();
    EXPECT_EQ(Index(1), Slice(index, {1, 2, 3}));
    EXPECT_FALSE(Exists(ArticlePath(1, 1)));
    EXPECT_TRUE(Exists(ArticlePath(1, 2)));
}

TEST_F(ExpiryTest, DeletesNothingOutsideTheGroupDirectory) {
    Subscribe("alpha");
    WriteBytes(At("news/victim"), "x");
    WriteBytes(At("victim.nws"), "x");
    std::string index = MakeIndex(1, {{1990, 1, 1}, {1990, 1, 1}, {1990, 1, 1}});
    index.replace(154, 12, std::string("../victim\0\0\0", 12));
    index.replace(322 + 154, 12, "../../victim");
    WriteBytes(At("1.grp"), index);
    ExpireAll();
    EXPECT_EQ(Index(1), "");
    EXPECT_TRUE(Exists(At("news/victim")));
    EXPECT_TRUE(Exists(At("victim.nws")));
    EXPECT_FALSE(Exists(ArticlePath(1, 3)));
}

TEST_F(ExpiryTest, ChainOfStepsVisitsEveryNumber) {
    Subscribe("alpha");
    Subscribe("beta");
    Subscribe("gamma");
    ASSERT_EQ(lastGroupNum, 4);
    const std::string one = MakeIndex(1, {{1997, 3, 1}, {1997, 3, 10}}, 1);
    const std::string two = MakeIndex(2, {{1997, 3, 1}, {1997, 3, 10}}, 3);
    MakeIndex(3, {{1997, 3, 1}}, 5);

    // The command walks group 1's first record and leaves the rest for
    // later steps.
    Start();
    EXPECT_EQ(Index(1), "");
    EXPECT_EQ(ReadBytes(At("1.tmp")), one);
    EXPECT_EQ(Index(2), two);
    EXPECT_EQ(spool::ExpiryGroup(), 1);
    EXPECT_EQ(plat::QueuedMessageCount(), 1u);

    ASSERT_TRUE(plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }));
    EXPECT_EQ(g_chain, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(Index(1), Slice(one, {1}));
    EXPECT_EQ(spool::ExpiryGroup(), 1);
    EXPECT_EQ(Index(2), Slice(two, {1}));
    EXPECT_EQ(Index(3), "");
    for (int n = 1; n <= 3; ++n) EXPECT_FALSE(Exists(At(std::to_string(n) + ".tmp")));
}

TEST_F(ExpiryTest, NoGroupEverSubscribed) {
    ASSERT_EQ(lastGroupNum, 1);
    Start();
    EXPECT_EQ(spool::ExpiryGroup(), 1);
    EXPECT_FALSE(spool::ExpiryRunning());
    EXPECT_EQ(plat::QueuedMessageCount(), 0u);
    EXPECT_FALSE(Exists(At("1.grp")));
}

TEST_F(ExpiryTest, RetiredNumberIsPassedOver) {
    Subscribe("alpha");
    Subscribe("beta");
    Subscribe("gamma");
    ASSERT_TRUE(spool::UnsubscribeGroup(context, "beta").Ok());
    // Whatever still lies under the retired number is not touched.
    const std::string stray = MakeIndex(2, {{1990, 1, 1}});
    MakeIndex(3, {{1990, 1, 1}});
    ExpireAll();
    // The steps go from section to section: the retired number costs none.
    EXPECT_EQ(g_chain, (std::vector<std::int32_t>{1, 3}));
    EXPECT_EQ(Index(2), stray);
    EXPECT_TRUE(Exists(ArticlePath(2, 1)));
    EXPECT_FALSE(Exists(ArticlePath(3, 1)));
    // A subscribed group without an index is left an empty one.
    EXPECT_EQ(Index(1), "");
    EXPECT_TRUE(Exists(At("1.grp")));
}

TEST_F(ExpiryTest, ACounterFarAheadOfTheGroupsCostsNoStepPerNumber) {
    // A group numbered far up (a counter once inflated by a stray file):
    // the chain goes from section to section, not through every number.
    Subscribe("alpha");
    ASSERT_TRUE(plat::WriteProfileString("NG5000", "Name", "far.away", "qivnews.ini"));
    lastGroupNum = 5001;
    MakeIndex(5000, {{1990, 1, 1}});
    ExpireAll();
    EXPECT_EQ(g_chain, (std::vector<std::int32_t>{1, 5000}));
    EXPECT_LT(g_ticks, 5);
    EXPECT_EQ(Index(5000), "");
    EXPECT_EQ(spool::ExpiryGroup(), 1);
}

TEST_F(ExpiryTest, RecordAppendedDuringTheStepSurvives) {
    Subscribe("alpha");
    const std::string before =
        MakeIndex(1, {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}});
    spool::ArticleHeaders fetched;
    fetched.from = "late@example.org";
    fetched.articleNumber = 777;
    // The fetch cycle indexes an article after the step of record 2.
    g_tick = [&](int tick) {
        if (tick == 2) {
            ASSERT_TRUE(spool::AppendArticleIndex(Spool(), fetched, 1, 99));
        }
    };
    ExpireAll();
    const std::string after = Index(1);
    ASSERT_EQ(after.size(), 4u * 322);
    EXPECT_EQ(after.substr(0, 322), Slice(before, {0}));
    EXPECT_EQ(after.substr(322 + 154, 12), "00000099.nws");
    EXPECT_EQ(after.substr(2 * 322), Slice(before, {2, 4}));
}

TEST_F(ExpiryTest, SecondCommandDuringAStepRestartsAfterIt) {
    Subscribe("alpha");
    Subscribe("beta");
    const std::string one = MakeIndex(1, {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}}, 1);
    const std::string two = MakeIndex(2, {{1997, 3, 1}, {1997, 3, 10}}, 4);
    // The command again while group 1 is half done.
    g_tick = [&](int tick) {
        if (tick == 1) Start();
    };
    Start();
    EXPECT_EQ(plat::QueuedMessageCount(), 1u) << "one run of steps, not two";
    g_tick = nullptr;
    ASSERT_TRUE(plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }));
    // Group 1 twice: to its end, then from the start.
    EXPECT_EQ(g_chain, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(g_ticks, 4 + 3 + 3);
    EXPECT_EQ(Index(1), Slice(one, {0, 2}));
    EXPECT_EQ(Index(2), Slice(two, {1}));
    EXPECT_FALSE(Exists(At("1.tmp")));

    // Twice in a row: one run of steps.
    g_chain.clear();
    Start();
    Start();
    EXPECT_EQ(plat::QueuedMessageCount(), 1u);
    ASSERT_TRUE(plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }));
    EXPECT_EQ(g_chain, (std::vector<std::int32_t>{1, 2}));
}

TEST_F(ExpiryTest, UnsubscribeDuringTheStepLeavesNothingBehind) {
    Subscribe("alpha");
    Subscribe("beta");
    MakeIndex(1, {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}, {1997, 3, 10}}, 1);
    const std::string two = MakeIndex(2, {{1997, 3, 1}, {1997, 3, 10}}, 5);
    g_tick = [&](int tick) {
        if (tick == 2) {
            ASSERT_TRUE(spool::UnsubscribeGroup(context, "alpha").Ok());
        }
    };
    ExpireAll();
    EXPECT_FALSE(Exists(At("1.grp")));
    EXPECT_FALSE(Exists(At("1.tmp")));
    EXPECT_FALSE(Exists(At("news/NG1")));
    EXPECT_EQ(ReadBytes(At("newsys.rc")), "beta:2\n");
    // The run goes on with the next group.
    EXPECT_EQ(g_chain, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(Index(2), Slice(two, {1}));
}

// The index a step has to produce from `before` when the fetch cycle
// appended `late` after the step had passed `lateAfter` records.
std::string Expected(const std::string& before, const std::vector<bool>& stays,
                     const std::string& late, std::size_t lateAfter) {
    std::string out;
    for (std::size_t i = 0; i < stays.size(); ++i) {
        if (i == lateAfter) out += late;
        if (stays[i]) out += before.substr(i * 322, 322);
    }
    if (lateAfter >= stays.size()) out += late;
    return out;
}

TEST_F(ExpiryTest, StepInterruptedAtEveryPointIsFinishedLater) {
    const std::vector<Day> days = {{1997, 3, 10}, {1997, 3, 1},  {1997, 3, 10}, {1997, 3, 10},
                                   {1997, 3, 2},  {1997, 3, 10}, {1997, 3, 3}};
    const std::vector<bool> stays = {true, false, true, true, false, true, false};
    const int count = static_cast<int>(days.size());
    spool::ArticleHeaders fetched;
    fetched.articleNumber = 4242;

    // The run is killed after record `killAfter` (a tick follows each
    // step of one record); with `lateAt` the fetch cycle appends a record
    // first.
    for (int lateAt = 0; lateAt <= 3; lateAt += 3) {
        for (int killAfter = 1; killAfter <= count; ++killAfter) {
            SCOPED_TRACE("killed after record " + std::to_string(killAfter) + ", late record at " +
                         std::to_string(lateAt));
            TearDown();
            SetUp();
            Subscribe("alpha");
            const std::string before = MakeIndex(1, days);
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                g_tick = [&](int tick) {
                    if (tick == lateAt) spool::AppendArticleIndex(Spool(), fetched, 1, 50);
                    if (tick == killAfter) _exit(7);
                };
                ExpireAll();
                _exit(0);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 7);
            // Cut off: the whole old index is still there.
            EXPECT_EQ(ReadBytes(At("1.tmp")), before);

            ExpireAll();
            EXPECT_FALSE(Exists(At("1.tmp")));
            const std::string after = Index(1);
            std::string lateRecord;
            if (lateAt > 0 && lateAt <= killAfter) {
                ASSERT_GE(after.size(), 322u);
                // Find the appended record by its file name.
                for (std::size_t at = 0; at + 322 <= after.size(); at += 322)
                    if (after.substr(at + 154, 12) == "00000050.nws")
                        lateRecord = after.substr(at, 322);
                ASSERT_EQ(lateRecord.size(), 322u);
            }
            EXPECT_EQ(after, Expected(before, stays, lateRecord, static_cast<std::size_t>(lateAt)));
            for (int i = 0; i < count; ++i)
                EXPECT_EQ(Exists(ArticlePath(1, i + 1)), static_cast<bool>(stays[i])) << i;
        }
    }
}

TEST_F(ExpiryTest, LeftoverCopyWithoutANewIndexIsFinished) {
    Subscribe("alpha");
    const std::string before = MakeIndex(1, {{1997, 3, 1}, {1997, 3, 10}, {1997, 3, 10}});
    // Cut off right after the rename: no new index yet.
    ASSERT_TRUE(plat::RenameNoReplace(At("1.grp"), At("1.tmp")));
    ExpireAll();
    EXPECT_EQ(Index(1), Slice(before, {1, 2}));
    EXPECT_FALSE(Exists(At("1.tmp")));

    // Cut off after the new index was created, and the fetch cycle has
    // added to it since.
    MakeIndex(1, {{1997, 3, 1}, {1997, 3, 10}, {1997, 3, 10}});
    ASSERT_TRUE(plat::RenameNoReplace(At("1.grp"), At("1.tmp")));
    spool::ArticleHeaders fetched;
    ASSERT_TRUE(spool::AppendArticleIndex(Spool(), fetched, 1, 60));
    const std::string late = Index(1);
    ExpireAll();
    EXPECT_EQ(Index(1), late + Slice(before, {1, 2}));
    EXPECT_FALSE(Exists(ArticlePath(1, 1)));

    // A record cut in half at the end of the new index is dropped.
    const std::string third = MakeIndex(1, {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}});
    ASSERT_TRUE(plat::RenameNoReplace(At("1.grp"), At("1.tmp")));
    WriteBytes(At("1.grp"), Slice(third, {0}) + Slice(third, {2}).substr(0, 100));
    ExpireAll();
    EXPECT_EQ(Index(1), Slice(third, {0, 2}));
    EXPECT_FALSE(Exists(ArticlePath(1, 2)));
    EXPECT_FALSE(log.empty());
}

TEST_F(ExpiryTest, WriteFailureKeepsTheIndexForTheNextStep) {
    Subscribe("alpha");
    const std::string before =
        MakeIndex(1, {{1997, 3, 10}, {1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}, {1997, 3, 10}});
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 2 * 322 + 100;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ExpireAll();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(ReadBytes(At("1.tmp")), before);
    EXPECT_FALSE(log.empty());

    ExpireAll();
    EXPECT_EQ(Index(1), Slice(before, {0, 1, 3, 4}));
    EXPECT_FALSE(Exists(At("1.tmp")));
}

TEST_F(ExpiryTest, EachStepWalksAtMostItsBound) {
    Subscribe("alpha");
    Subscribe("beta");
    const std::vector<Day> days = {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}, {1997, 3, 1},
                                   {1997, 3, 10}};
    for (long bound : {1L, 2L, 5L, 100L}) {
        SCOPED_TRACE("bound " + std::to_string(bound));
        const std::string one = MakeIndex(1, days);
        EXPECT_FALSE(spool::ExpiryStep(context, bound)) << "no run was started";
        EXPECT_EQ(Index(1), one);
        spool::StartExpiry();
        // Group 1: the records, then a step that finishes it; then group 2,
        // which has no index, in a step of its own.
        const long walking = (5 + bound - 1) / bound;
        for (long step = 1; step <= walking; ++step) {
            ASSERT_TRUE(spool::ExpiryStep(context, bound));
            EXPECT_EQ(ReadBytes(At("1.tmp")), one);
            const std::size_t walked = static_cast<std::size_t>(std::min(5L, step * bound));
            EXPECT_EQ(Index(1), Slice(one, {0, 2, 4}).substr(0, (walked + 1) / 2 * 322));
        }
        EXPECT_TRUE(spool::ExpiryStep(context, bound));
        EXPECT_FALSE(Exists(At("1.tmp")));
        EXPECT_EQ(spool::ExpiryGroup(), 2);
        EXPECT_FALSE(spool::ExpiryStep(context, bound));
        EXPECT_FALSE(spool::ExpiryRunning());
        EXPECT_EQ(Index(1), Slice(one, {0, 2, 4}));
        EXPECT_EQ(Index(2), "");
    }
}

TEST_F(ExpiryTest, EndingFinishesTheGroupAtHandOnly) {
    Subscribe("alpha");
    Subscribe("beta");
    const std::string one = MakeIndex(1, {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}});
    const std::string two = MakeIndex(2, {{1997, 3, 1}}, 4);
    Start();
    ASSERT_TRUE(Exists(At("1.tmp")));
    spool::FinishExpiryGroup(context);
    EXPECT_EQ(Index(1), Slice(one, {0, 2}));
    EXPECT_FALSE(Exists(At("1.tmp")));
    EXPECT_FALSE(spool::ExpiryRunning());
    // The step that was scheduled finds no run.
    ASSERT_TRUE(plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }));
    EXPECT_EQ(Index(2), two);
}

TEST_F(ExpiryTest, AbandonedRunIsFinishedByTheNext) {
    Subscribe("alpha");
    const std::string one = MakeIndex(1, {{1997, 3, 10}, {1997, 3, 1}, {1997, 3, 10}});
    Start();
    spool::AbandonExpiry();
    EXPECT_FALSE(spool::ExpiryRunning());
    EXPECT_EQ(ReadBytes(At("1.tmp")), one);
    ASSERT_TRUE(plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }));
    EXPECT_EQ(ReadBytes(At("1.tmp")), one);
    log.clear();
    ExpireAll();
    EXPECT_EQ(Index(1), Slice(one, {0, 2}));
    EXPECT_FALSE(Exists(At("1.tmp")));
    EXPECT_EQ(log, (std::vector<std::string>{"Finishing the interrupted expiry of group 1"}));
}

}  // namespace

// ---- The Message-ID history ----

namespace history {

using spool::MessageHistory;

TEST(MessageIdText, OnlyAnIdThatCouldNameAnArticleCounts) {
    const struct {
        const char* value;
        const char* id;
    } rows[] = {
        {"<a@b>", "<a@b>"},
        {"  <a@b>\t", "<a@b>"},
        {"<a@b>\r", "<a@b>"},
        {"", ""},
        {"a@b", ""},
        {"<a@b", ""},
        {"<a b@c>", ""},
        {"<a@b> <c@d>", ""},
        {"<>", ""},
        {"<\x01@b>", ""},
    };
    for (const auto& row : rows) EXPECT_EQ(spool::NormalMessageId(row.value), row.id) << row.value;
    EXPECT_EQ(spool::NormalMessageId("<" + std::string(248, 'x') + ">").size(), 250u);
    EXPECT_EQ(spool::NormalMessageId("<" + std::string(249, 'x') + ">"), "");
}

TEST_F(ExpiryTest, HistoryKeepsWhatWasAddedAndSurvivesALineCutOffByAKill) {
    Subscribe("alpha");
    const plat::LocalTime day{2026, 12, 8, 10, 0};
    {
        MessageHistory h;
        h.Open(Spool(), 1);
        EXPECT_FALSE(h.Has("<one@x>"));
        EXPECT_TRUE(h.Add("<one@x>", day));
        EXPECT_TRUE(h.Add(" <one@x> ", day)) << "known: nothing written";
        EXPECT_TRUE(h.Add("not an id", day));
        EXPECT_TRUE(h.Has("<one@x>"));
    }
    EXPECT_EQ(ReadBytes(At("1.mid")), "20261208 <one@x>\n");
    // A kill in the middle of the next line.
    WriteBytes(At("1.mid"), "20261208 <one@x>\n20261208 <tw");
    {
        MessageHistory h;
        h.Open(Spool(), 1);
        EXPECT_TRUE(h.Has("<one@x>"));
        EXPECT_FALSE(h.Has("<tw"));
        EXPECT_EQ(h.Size(), 1u);
        EXPECT_TRUE(h.Add("<three@x>", day));
    }
    EXPECT_EQ(ReadBytes(At("1.mid")), "20261208 <one@x>\n20261208 <tw\n20261208 <three@x>\n");
    MessageHistory again;
    again.Open(Spool(), 1);
    EXPECT_TRUE(again.Has("<three@x>"));
    EXPECT_EQ(again.Size(), 2u);
}

TEST_F(ExpiryTest, AGroupWithoutHistoryGetsOneFromTheArticlesItsIndexNames) {
    Subscribe("alpha");
    MakeIndex(1, {{2026, 12, 1}, {2026, 12, 2}, {2026, 12, 3}});
    WriteBytes(ArticlePath(1, 1), "Subject: s\r\nMessage-ID: <first@x>\r\n\r\nbody\r\n");
    WriteBytes(ArticlePath(1, 2), "Subject: s\r\nmessage-id:   <second@x>\r\n\r\nbody\r\n");
    WriteBytes(ArticlePath(1, 3), "Subject: s\r\n\r\nMessage-ID: <in the body@x>\r\n");
    SetToday(2026, 12, 8);
    MessageHistory h;
    h.Open(Spool(), 1);
    EXPECT_TRUE(h.Has("<first@x>"));
    EXPECT_TRUE(h.Has("<second@x>"));
    EXPECT_EQ(h.Size(), 2u);
    h.Close();
    EXPECT_EQ(ReadBytes(At("1.mid")), "20261208 <first@x>\n20261208 <second@x>\n");
}

// The expiry drops the lines of the days it expires, with the records.
TEST_F(ExpiryTest, ExpiryDropsTheHistoryOfExpiredDays) {
    Subscribe("alpha", "5");
    Subscribe("beta", "junk");
    MakeIndex(1, {{2026, 11, 1}, {2026, 12, 7}});
    MakeIndex(2, {{2026, 11, 1}});
    const std::string lines = "20261101 <old@x>\n20261203 <edge@x>\n20261204 <kept@x>\n"
                              "20261207 <new@x>\nno date here\n";
    WriteBytes(At("1.mid"), lines);
    WriteBytes(At("2.mid"), lines);
    SetToday(2026, 12, 8);
    ExpireAll();
    EXPECT_EQ(ReadBytes(At("1.mid")), "20261204 <kept@x>\n20261207 <new@x>\n");
    EXPECT_EQ(ReadBytes(At("2.mid")), lines) << "ExpireDays that is no number keeps everything";
    EXPECT_FALSE(Exists(At("1.mid.tmp")));

    // What cannot be rewritten stays as it was.
    WriteBytes(At("1.mid"), lines);
    ASSERT_EQ(mkdir(At("1.mid.tmp").c_str(), 0700), 0);
    EXPECT_FALSE(spool::ExpireHistory(Spool(), 1, spool::dayNumber(126, 12, 3)));
    EXPECT_EQ(ReadBytes(At("1.mid")), lines);
    EXPECT_TRUE(spool::ExpireHistory(Spool(), 9, 0)) << "no history: nothing to do";
}

TEST_F(ExpiryTest, UnsubscribeRemovesTheHistory) {
    Subscribe("alpha");
    WriteBytes(At("1.mid"), "20261208 <one@x>\n");
    ASSERT_TRUE(spool::UnsubscribeGroup(context, "alpha").Ok());
    EXPECT_FALSE(Exists(At("1.mid")));
}

}  // namespace history
