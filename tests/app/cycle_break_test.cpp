// A connection that ends in the middle of a cycle: the application returns
// to the disconnected state, moves no counter, and the next cycle repeats
// what was cut off, storing every article and post exactly once.
#include <gtest/gtest.h>

#include <tuple>

#include "app/commands.h"
#include "app/cycles.h"
#include "app/settings.h"
#include "cycle_support.h"

namespace apptest {
namespace {

using app::App;
using testsrv::Fault;

constexpr char kLost[] = "Connection to server lost";

class BreakTest : public CycleTest {
protected:
    // Group alt.b with articles 1 to 3, a login, and one queued article.
    void Prepare() {
        server_.AddGroup(MakeGroup("alt.b", 1, 3));
        server_.SetAccounts({{"joe", "secret"}});
        Subscribe(1, "alt.b");
        WriteFile(Spool("out/post1.txt"), "Newsgroups: alt.b\r\nSubject: queued\r\n\r\nhello\r\n");
        WriteFile(Spool("out.dat"), OutRecord("post1.txt"));
        Configure({"UserVerification=Yes", "QivNewsUsername=joe", "QivNewsPassword=secret",
                   "LastFileNumIn=0", "TimerInterval=1"});
    }

    void ExpectBrokenOff() {
        ExpectDisconnectedState();
        EXPECT_TRUE(Cycle().report.lost);
        EXPECT_FALSE(Cycle().report.disconnected);
        EXPECT_EQ(LogCount(kLost), 1);
        ASSERT_FALSE(Log().empty());
        EXPECT_EQ(Log().back().rfind(kLost, 0), 0u) << Log().back();
        EXPECT_EQ(LogCount("Server disconnected"), 0);
    }

    // The state after a clean cycle: every article once, the post done.
    void ExpectEverythingOnce() {
        const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
        ASSERT_EQ(index.size(), 3u);
        for (long n = 0; n < 3; ++n) {
            EXPECT_EQ(index[n].articleNumber, n + 1);
            EXPECT_EQ(index[n].fileName, "0000000" + std::to_string(n) + ".nws");
            EXPECT_EQ(ReadFile(Spool("news/NG1/" + index[n].fileName)),
                      Stored(ArticleText("alt.b", n + 1)));
        }
        EXPECT_FALSE(Exists(Spool("news/NG1/00000003.nws")));
        EXPECT_EQ(Ini("NG1", "Index"), "4");
        EXPECT_EQ(Setting("LastFileNumIn"), "3");
        EXPECT_EQ(server_.Posted(),
                  (std::vector<std::string>{"Newsgroups: alt.b\nSubject: queued\n\nhello\n"}));
        EXPECT_EQ(ReadFile(Spool("out.dat")), "");
        EXPECT_FALSE(Exists(Spool("out/post1.txt")));
    }
};

struct BreakCase {
    const char* name;
    Fault fault;
};

void PrintTo(const BreakCase& c, std::ostream* os) {
    *os << c.name;
}

class BreakEachStep : public BreakTest,
                      public ::testing::WithParamInterface<std::tuple<BreakCase, int>> {};

TEST_P(BreakEachStep, StopsLosesNothingAndTheNextTimedCycleCompletes) {
    pipelineDepth_ = std::get<1>(GetParam());
    Prepare();
    server_.AddFault(std::get<0>(GetParam()).fault);
    ASSERT_TRUE(RunCycle());
    ExpectBrokenOff();

    // What was saved before the break is indexed exactly once and the
    // counters name the next article; nothing else moved.
    const std::vector<IndexEntry> before = ReadIndex(Spool("1.grp"));
    const std::string index = Ini("NG1", "Index");
    if (before.empty()) {
        EXPECT_EQ(index, "(missing)");
        EXPECT_EQ(Setting("LastFileNumIn"), "0");
    } else {
        EXPECT_EQ(index, std::to_string(before.back().articleNumber + 1));
        EXPECT_EQ(Setting("LastFileNumIn"), std::to_string(before.size()));
    }
    for (const char* kind : {".nws", ".part"})
        EXPECT_FALSE(Exists(Spool("news/NG1/0000000" + std::to_string(before.size()) + kind)))
            << "no part of an article is left behind";
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("post1.txt"));
    EXPECT_TRUE(Exists(Spool("out/post1.txt")));

    // The next cycle comes from the timer, a whole interval later.
    server_.ClearFaults();
    Tick();
    EXPECT_TRUE(Cycle().report.lost) << "one tick is not the interval";
    Tick();
    ASSERT_TRUE(Cycle().report.running);
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(Log().back(), "Server disconnected");
    ExpectEverythingOnce();
}

// Breaks at the steps both exchanges take.
const BreakCase kBreakCases[] = {
    {"UserClosed", Fault::Close("AUTHINFO USER", 1)},
    {"PassReset", Fault::Reset("AUTHINFO PASS", 1)},
    {"GroupClosed", Fault::Close("GROUP", 1)},
    {"GroupNonsense", Fault::Nonsense("GROUP", 1)},
    {"ClosedRightAfterTheGroupReply", Fault::CloseAfter("GROUP", Fault::kWhole, 1)},
    {"FirstArticleReset", Fault::Reset("ARTICLE", 1)},
    {"SecondArticleCutMidway", Fault::CloseAfter("ARTICLE", 80, 2)},
    {"ThirdArticleNonsense", Fault::Nonsense("ARTICLE", 3)},
    {"ThirdArticleOverlongReply", Fault::OverlongLine("ARTICLE", 3000, 3)},
    {"PostClosed", Fault::Close("POST", 1)},
    {"PostCutMidArticle", Fault::Close("POST_LINE", 2)},
    {"PostResultReset", Fault::Reset("POST_DATA", 1)},
};

// The lock-step exchange's NEXT, and the pipelined one's LISTGROUP.
const BreakCase kNextCases[] = {
    {"NextClosed", Fault::Close("NEXT", 1)},
    {"NextUnexpectedReply", Fault::Reply("NEXT", "500 what?", 2)},
    {"NextOverlongReply", Fault::OverlongLine("NEXT", 3000, 1)},
};
const BreakCase kListCases[] = {
    {"ListClosed", Fault::Close("LISTGROUP", 1)},
    {"ListCutInTheList", Fault::CloseAfter("LISTGROUP", 40, 1)},
    {"ListNonsense", Fault::Nonsense("LISTGROUP", 1)},
    {"ListUnexpectedReply", Fault::Reply("LISTGROUP", "340 what?", 1)},
};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<BreakCase, int>>& info) {
    return std::string(std::get<0>(info.param).name) + DepthName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Steps, BreakEachStep,
                         ::testing::Combine(::testing::ValuesIn(kBreakCases),
                                            ::testing::ValuesIn(FetchDepths())),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(LockStep, BreakEachStep,
                         ::testing::Combine(::testing::ValuesIn(kNextCases), ::testing::Values(1)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(Pipelined, BreakEachStep,
                         ::testing::Combine(::testing::ValuesIn(kListCases),
                                            ::testing::Values(app::kDefaultPipelineDepth)),
                         CaseName);

class BreakAtDepth : public BreakTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        BreakTest::SetUp();
        pipelineDepth_ = GetParam();
    }
};

TEST_P(BreakAtDepth, ArticleCutOffIsStoredAndIndexedOnceByTheNextCycle) {
    server_.AddGroup(MakeGroup("alt.cut", 100, 102));
    server_.AddFault(Fault::CloseAfter("ARTICLE", 120, 2));
    Subscribe(1, "alt.cut");
    Configure({"LastFileNumIn=7"});
    ASSERT_TRUE(RunCycle());
    ExpectBrokenOff();
    EXPECT_EQ(Setting("LastFileNumIn"), "8");
    EXPECT_EQ(Ini("NG1", "Index"), "101");
    EXPECT_FALSE(Exists(Spool("news/NG1/00000008.nws")));

    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[1].articleNumber, 101);
    EXPECT_EQ(index[1].fileName, "00000008.nws");
    EXPECT_EQ(ReadFile(Spool("news/NG1/00000008.nws")), Stored(ArticleText("alt.cut", 101)));
    EXPECT_EQ(Ini("NG1", "Index"), "103");
    EXPECT_EQ(Setting("LastFileNumIn"), "10");
}

TEST_P(BreakAtDepth, ArticleCutOffAfterARefusedOneKeepsItsFileNumber) {
    server_.AddGroup(MakeGroup("alt.cut", 100, 102));
    server_.AddFault(Fault::Reply("ARTICLE", "423 gone", 1));
    server_.AddFault(Fault::CloseAfter("ARTICLE", 120, 2));
    Subscribe(1, "alt.cut");
    Configure({"LastFileNumIn=7"});
    ASSERT_TRUE(RunCycle());
    ExpectBrokenOff();
    // 100 was refused (no file, number 7 used up); 101 was to become 8.
    EXPECT_EQ(Ini("NG1", "Index"), "101");
    EXPECT_EQ(Setting("LastFileNumIn"), "8");

    ASSERT_TRUE(RunCycle());
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index[0].articleNumber, 101);
    EXPECT_EQ(index[0].fileName, "00000008.nws");
    EXPECT_EQ(index[1].fileName, "00000009.nws");
}

INSTANTIATE_TEST_SUITE_P(Depths, BreakAtDepth, ::testing::ValuesIn(FetchDepths()),
                         [](const auto& info) { return DepthName(info.param); });

// ---- Answers that do not belong to their request ----

// A server that loses one request of a pipeline, or answers for another
// article: nothing is indexed from the answer, Index stays at the first
// article without its own answer, and the next cycle stores the rest in
// order, the same at every depth.
struct StepCase {
    const char* name;
    Fault fault;
    long firstUnanswered;
};

void PrintTo(const StepCase& c, std::ostream* os) {
    *os << c.name;
}

const StepCase kStepCases[] = {
    {"FifthUnanswered", Fault::Omit("ARTICLE", 5), 5},
    {"ThirdAnsweredForAnother", Fault::Reply("ARTICLE", "220 77 <77@elsewhere.invalid>", 3), 3},
    {"FirstAnsweredForTheNext", Fault::Reply("ARTICLE", "220 2 <2.alt.step@qiv-testserver>", 1),
     1},
};

class OutOfStep : public BreakTest,
                  public ::testing::WithParamInterface<std::tuple<StepCase, int>> {};

TEST_P(OutOfStep, NothingIsIndexedFromItAndTheNextCycleStoresEveryArticleInOrder) {
    const auto& [step, depth] = GetParam();
    pipelineDepth_ = depth;
    server_.AddGroup(MakeGroup("alt.step", 1, 40));
    server_.AddFault(step.fault);
    Subscribe(1, "alt.step");
    // The lock-step exchange waits out the request left unanswered.
    Configure({"LastFileNumIn=0", "ReplyTimeout=1"});
    ASSERT_TRUE(RunCycle());
    ExpectDisconnectedState();
    EXPECT_TRUE(Cycle().report.lost);
    EXPECT_EQ(Ini("NG1", "Index"),
              step.firstUnanswered == 1 ? "(missing)" : std::to_string(step.firstUnanswered));
    std::vector<long> stored;
    for (long n = 1; n < step.firstUnanswered; ++n) stored.push_back(n);
    ExpectGroupHolds(1, "alt.step", stored);

    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    std::vector<long> all;
    for (long n = 1; n <= 40; ++n) all.push_back(n);
    ExpectGroupHolds(1, "alt.step", all);
    EXPECT_EQ(Ini("NG1", "Index"), "41");
    EXPECT_EQ(Setting("LastFileNumIn"), "40");
}

INSTANTIATE_TEST_SUITE_P(Depths, OutOfStep,
                         ::testing::Combine(::testing::ValuesIn(kStepCases),
                                            ::testing::ValuesIn(FetchDepths())),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    DepthName(std::get<1>(info.param));
                         });

// The link closed after k of 32 pipelined answers, for every k (and cut in
// the middle of answer k + 1): the k articles are stored, nothing of the
// rest, and the next cycle stores the others in order.
class CutAfterAnswers : public BreakTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(CutAfterAnswers, KeepsWhatWasAnsweredAndTheNextCycleTheRest) {
    const auto [k, midArticle] = GetParam();
    pipelineDepth_ = 32;
    server_.AddGroup(MakeGroup("alt.cut", 1, 32));
    server_.AddFault(midArticle ? Fault::CloseAfter("ARTICLE", 90, k + 1)
                                : Fault::Close("ARTICLE", k + 1));
    Subscribe(1, "alt.cut");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    ExpectBrokenOff();
    std::vector<long> stored;
    for (long n = 1; n <= k; ++n) stored.push_back(n);
    ExpectGroupHolds(1, "alt.cut", stored);
    EXPECT_EQ(Ini("NG1", "Index"), k == 0 ? "(missing)" : std::to_string(k + 1));

    ASSERT_TRUE(RunCycle());
    std::vector<long> all;
    for (long n = 1; n <= 32; ++n) all.push_back(n);
    ExpectGroupHolds(1, "alt.cut", all);
    EXPECT_EQ(Ini("NG1", "Index"), "33");
}

INSTANTIATE_TEST_SUITE_P(EveryK, CutAfterAnswers,
                         ::testing::Combine(::testing::Range(0, 32), ::testing::Bool()),
                         [](const auto& info) {
                             return "After" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "InTheNext" : "");
                         });

TEST_F(BreakTest, PostCutOffKeepsItsFileAndTheWholeQueue) {
    Subscribe(1, "alt.none");
    server_.AddGroup(MakeGroup("alt.none", 1, 0));
    const std::string queue = OutRecord("a.txt") + OutRecord("b.txt") + OutRecord("c.txt");
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        WriteFile(Spool(std::string("out/") + name),
                  std::string("Newsgroups: alt.none\r\nSubject: ") + name + "\r\n\r\nline one\r\n");
    WriteFile(Spool("out.dat"), queue);
    // The second article is cut off after its first line.
    server_.AddFault(Fault::Close("POST_LINE", 6));
    Configure();
    ASSERT_TRUE(RunCycle());
    ExpectBrokenOff();
    EXPECT_FALSE(Exists(Spool("out/a.txt")));
    EXPECT_TRUE(Exists(Spool("out/b.txt")));
    EXPECT_TRUE(Exists(Spool("out/c.txt")));
    // Only the record of the posted article is marked as handled.
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("a.txt", 0xFF) + queue.substr(13));
    EXPECT_EQ(server_.Posted().size(), 1u);

    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(LogCount("a.txt"), 0);
    ASSERT_EQ(server_.Posted().size(), 3u);
    EXPECT_NE(server_.Posted()[1].find("Subject: b.txt"), std::string::npos);
    EXPECT_NE(server_.Posted()[2].find("Subject: c.txt"), std::string::npos);
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    EXPECT_FALSE(Exists(Spool("out/b.txt")));
}

TEST_F(BreakTest, ConnectionClosedDuringQuitStillEndsTheCycle) {
    Configure({"LastGroupNum=1"});
    server_.AddFault(Fault::Close("QUIT", 1));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Log().back(), "Server disconnected");
    EXPECT_FALSE(Cycle().report.lost);
    ExpectDisconnectedState();
}

}  // namespace
}  // namespace apptest
