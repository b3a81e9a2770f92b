// The fetch cycle against the news server: files, index records and the
// counters in both profile files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <tuple>

#include "app/cli.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/setup.h"
#include "cycle_support.h"
#include "nntp/nntp_session.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/group_registry.h"

namespace apptest {
namespace {

using app::App;

// Every scenario runs at each depth with the same spool result; only what
// the server is asked can differ.
class FetchTest : public DepthTest {};

// NEXT itself: the lock-step exchange only.
class LockStepFetchTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        pipelineDepth_ = 1;
    }
};

std::vector<long> Numbers(const std::vector<IndexEntry>& index) {
    std::vector<long> n;
    for (const IndexEntry& e : index) n.push_back(e.articleNumber);
    return n;
}

TEST_P(FetchTest, WorkedExampleNumbersFilesRecordsAndCounters) {
    server_.AddGroup(MakeGroup("alt.worked", 100, 102));
    Subscribe(1, "alt.worked", "0");
    Configure({"LastFileNumIn=7"});
    ASSERT_TRUE(RunCycle());

    ExpectWorkedExampleStored();

    EXPECT_EQ(Log(),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Getting messages from alt.worked",
                  "Finished getting messages", "Posting Messages", "Can't open index file",
                  "Disconnecting from Server", "Server disconnected"}));
    ExpectDisconnectedState();
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(App().status.fetched, 3);

    // The second cycle starts again at group 1 and finds nothing new.
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 3u);
    EXPECT_EQ(ServerCommands("GROUP").size(), 2u);
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 3u);
}

TEST_P(FetchTest, ASpoolChangedDuringTheCycleIsTakenAtTheNextOne) {
    server_.AddGroup(MakeGroup("alt.one", 1, 3));
    Subscribe(1, "alt.one", "0");
    Configure({"LastFileNumIn=0"});
    const std::string other = MakeTempDir();
    for (const char* dir : {"/news", "/news/NG1", "/out"}) mkdir((other + dir).c_str(), 0755);
    WriteFile(other + "/out/p.txt", "Newsgroups: alt.one\r\nSubject: p\r\n\r\ntext\r\n");
    WriteFile(other + "/out.dat", OutRecord("p.txt"));

    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return Exists(Spool("1.grp")); }));
    app::SetupOptions options;
    options.spoolDir = other;
    options.caFile = other + "/ca.pem";
    std::string error;
    ASSERT_TRUE(app::ApplySetupOptions(options, window_, error)) << error;
    EXPECT_EQ(Setting("QivNewsDir"), other) << "stored at once";
    EXPECT_EQ(app::App().settings.caFile, "") << "the connection's settings are held too";
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));

    // The whole cycle kept to the spool it began with: every file indexed
    // beside it, nothing in the new one, the old queue looked at.
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 3u);
    for (const char* name : {"00000000.nws", "00000001.nws", "00000002.nws"})
        EXPECT_TRUE(Exists(Spool("news/NG1/") + name)) << name;
    EXPECT_FALSE(Exists(other + "/1.grp"));
    EXPECT_TRUE(server_.Posted().empty());
    EXPECT_EQ(LogCount("New settings stored; they take effect at the next cycle"), 1);

    // The next cycle works in the new spool, and says it took the change.
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Log().front(), "Took the new settings");
    EXPECT_EQ(app::App().settings.caFile, other + "/ca.pem");
    EXPECT_EQ(server_.Posted().size(), 1u);
    EXPECT_FALSE(Exists(other + "/out/p.txt"));
    RemoveTree(other);
}

TEST_P(FetchTest, OnlySubscribedGroupsInNumberOrderAndNothingForRetiredOnes) {
    server_.AddGroup(MakeGroup("alt.one", 1, 2));
    server_.AddGroup(MakeGroup("alt.two", 1, 2));
    server_.AddGroup(MakeGroup("alt.three", 5, 5));
    Subscribe(3, "alt.three");
    Subscribe(1, "alt.one");
    ASSERT_TRUE(plat::WriteProfileString("NG2", "Name", "notsubscribed", "qivnews.ini"));
    Configure({"LastGroupNum=4", "LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());

    EXPECT_EQ(ServerCommands("GROUP"),
              (std::vector<std::string>{"GROUP alt.one", "GROUP alt.three"}));
    EXPECT_EQ(LogCount("Getting messages from"), 2);
    EXPECT_EQ(ReadIndex(Spool("3.grp"))[0].fileName, "00000002.nws");
    EXPECT_FALSE(Exists(Spool("2.grp")));
    EXPECT_EQ(Ini("NG2", "Index"), "(missing)");
    EXPECT_EQ(Ini("NG3", "Index"), "6");
}

TEST_P(FetchTest, LongRunsOfRetiredGroupNumbersAreWalkedWithoutNesting) {
    server_.AddGroup(MakeGroup("alt.first", 1, 1));
    server_.AddGroup(MakeGroup("alt.last", 1, 1));
    Subscribe(1, "alt.first");
    Subscribe(20000, "alt.last");
    Configure({"LastGroupNum=20001"});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("GROUP"),
              (std::vector<std::string>{"GROUP alt.first", "GROUP alt.last"}));
    EXPECT_EQ(ReadIndex(Spool("20000.grp")).size(), 1u);
    EXPECT_EQ(Cycle().currentGroup, 1);
}

TEST_P(FetchTest, NoGroupEverSubscribedGoesStraightToPosting) {
    Configure({"LastGroupNum=1"});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Log(), (std::vector<std::string>{"Connecting to server", "Server connected",
                                               "Finished getting messages", "Posting Messages",
                                               "Can't open index file", "Disconnecting from Server",
                                               "Server disconnected"}));
}

TEST_P(FetchTest, IndexBelowInsideBeyondMissingAndUnparsable) {
    for (const char* name : {"g.below", "g.inside", "g.beyond", "g.missing", "g.bad", "g.empty"})
        server_.AddGroup(MakeGroup(name, 100, 104));
    Subscribe(1, "g.below", "50");
    Subscribe(2, "g.inside", "103");
    Subscribe(3, "g.beyond", "121");
    Subscribe(4, "g.bad", "abc");
    Subscribe(5, "g.missing");
    Subscribe(6, "g.empty", "");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());

    auto numbers = [&](int group) {
        std::vector<long> n;
        for (const IndexEntry& e : ReadIndex(Spool(std::to_string(group) + ".grp")))
            n.push_back(e.articleNumber);
        return n;
    };
    EXPECT_EQ(numbers(1), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(numbers(2), (std::vector<long>{103, 104}));
    // Past the server's last article: another server's numbers; the group
    // starts again as a new one.
    EXPECT_EQ(numbers(3), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(Ini("NG3", "Index"), "105");
    EXPECT_EQ(LogCount("Index 121 of g.beyond is past the server's last article 104: starting again at 100"), 1);
    // Not fetched from the previous group's position, nor at all.
    EXPECT_FALSE(Exists(Spool("4.grp")));
    EXPECT_EQ(Ini("NG4", "Index"), "abc");
    EXPECT_EQ(LogCount("NG4 skipped: its Index \"abc\" is not a number"), 1);
    EXPECT_EQ(numbers(5), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(numbers(6), (std::vector<long>{100, 101, 102, 103, 104}));
    EXPECT_EQ(Ini("NG1", "Index"), "105");
    EXPECT_EQ(Setting("LastFileNumIn"), "22");
    EXPECT_EQ(ServerCommands("GROUP").size(), 5u) << "g.bad is never selected";
}

// ---- Another server, or a group renumbered ----

// An article with its own Message-ID, so that another server can offer the
// same one under another number.
testsrv::Article Known(long number, const std::string& id) {
    return {number, "Message-ID: <" + id + "@moved.invalid>\n" + ArticleText("alt.moved", number)};
}

struct MovedCase {
    const char* name;
    const char* initialFetch;
    std::vector<long> fetchedAgain;  // the new server's numbers asked for
};

void PrintTo(const MovedCase& c, std::ostream* os) {
    *os << c.name;
}

class MovedTest : public CycleTest,
                  public ::testing::WithParamInterface<std::tuple<MovedCase, int>> {};

// The old server numbered the group 5001-5003; the new one has the same
// three articles as 1-3 and two more. Index 5004 lies far past its last:
// the group starts again as a new one, the three are known by their
// Message-IDs and passed over, and only the two new ones are stored.
TEST_P(MovedTest, IndexPastTheServersLastStartsAgainAndStoresNothingTwice) {
    const auto& [c, depth] = GetParam();
    pipelineDepth_ = depth;
    testsrv::Group old{"alt.moved", {Known(5001, "a"), Known(5002, "b"), Known(5003, "c")}};
    server_.AddGroup(old);
    Subscribe(1, "alt.moved");
    Configure({"LastFileNumIn=0", c.initialFetch});
    ASSERT_TRUE(RunCycle());
    ASSERT_EQ(Ini("NG1", "Index"), "5004");
    EXPECT_EQ(ReadFile(Spool("1.mid")).size(), 3 * std::string("YYYYMMDD <a@moved.invalid>\n").size());

    testsrv::Group moved{"alt.moved",
                         {Known(1, "a"), Known(2, "b"), Known(3, "c"), Known(4, "d"), Known(5, "e")}};
    server_.AddGroup(moved);
    const std::size_t asked = ServerCommands("ARTICLE").size();
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(LogCount("Index 5004 of alt.moved is past the server's last article 5: starting again at " +
                       std::to_string(c.fetchedAgain.front())),
              1);
    const int known = static_cast<int>(c.fetchedAgain.size()) - 2;
    EXPECT_EQ(LogCount("NG1: " + std::to_string(known) + " article" + (known == 1 ? "" : "s") +
                       " stored before under other numbers passed over"),
              known > 0 ? 1 : 0);
    std::vector<std::string> fetched;
    for (long n : c.fetchedAgain) fetched.push_back("ARTICLE " + std::to_string(n));
    const std::vector<std::string> all = ServerCommands("ARTICLE");
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(asked), all.end()), fetched);

    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 5u);
    const long numbers[] = {5001, 5002, 5003, 4, 5};
    for (std::size_t i = 0; i < index.size(); ++i) EXPECT_EQ(index[i].articleNumber, numbers[i]);
    EXPECT_EQ(DirectoryNames(Spool("news/NG1")).size(), 5u);
    EXPECT_EQ(Ini("NG1", "Index"), "6");

    // Nothing new: the third cycle asks for nothing and says nothing of it.
    const std::size_t before = ServerCommands("ARTICLE").size();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("ARTICLE").size(), before);
    EXPECT_EQ(LogCount("Index 6"), 0);
}

const MovedCase kMovedCases[] = {
    {"AllOfIt", "InitialFetch=0", {1, 2, 3, 4, 5}},
    {"NewestThree", "InitialFetch=3", {3, 4, 5}},
};

INSTANTIATE_TEST_SUITE_P(Depths, MovedTest,
                         ::testing::Combine(::testing::ValuesIn(kMovedCases),
                                            ::testing::ValuesIn(FetchDepths())),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    DepthName(std::get<1>(info.param));
                         });

// The same article offered twice in a group (a server that renumbers
// upwards, a crosspost listed twice): stored once, the second passed over
// as a refused one would be, at every depth.
TEST_P(FetchTest, AnArticleOfferedTwiceIsStoredOnce) {
    testsrv::Group group{"alt.moved", {Known(1, "a"), Known(2, "b"), Known(3, "a"), Known(4, "c")}};
    server_.AddGroup(group);
    Subscribe(1, "alt.moved");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.undone.empty()) << Cycle().report.undone;
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[0].articleNumber, 1);
    EXPECT_EQ(index[1].articleNumber, 2);
    EXPECT_EQ(index[2].articleNumber, 4);
    EXPECT_EQ(LogCount("NG1: 1 article stored before under other numbers passed over"), 1);
    EXPECT_EQ(DirectoryNames(Spool("news/NG1")).size(), 3u);
    EXPECT_EQ(Ini("NG1", "Index"), "5");
}

// A spool stored before there was a history: the first cycle that needs
// one makes it from the articles the index names.
TEST_P(FetchTest, AGroupWithoutAHistoryGetsOneFromItsStoredArticles) {
    testsrv::Group old{"alt.moved", {Known(7001, "a"), Known(7002, "b")}};
    server_.AddGroup(old);
    Subscribe(1, "alt.moved");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    ASSERT_EQ(ReadIndex(Spool("1.grp")).size(), 2u);
    ASSERT_EQ(unlink(Spool("1.mid").c_str()), 0);

    server_.AddGroup({"alt.moved", {Known(1, "a"), Known(2, "b"), Known(3, "c")}});
    ASSERT_TRUE(RunCycle());
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[2].articleNumber, 3);
    EXPECT_EQ(LogCount("NG1: 2 articles stored before under other numbers passed over"), 1);
    const std::string history = ReadFile(Spool("1.mid"));
    for (const char* id : {" <a@moved.invalid>\n", " <b@moved.invalid>\n", " <c@moved.invalid>\n"})
        EXPECT_NE(history.find(id), std::string::npos) << id;
}

// InitialFetch caps only a group without a position: GROUP's last - N + 1,
// never below its first; a known Index is followed as before.
TEST_P(FetchTest, InitialFetchStartsANewGroupAtItsNewestArticles) {
    struct Case {
        const char* name;
        long first, last;
        const char* index;  // nullptr: no Index key
        std::vector<long> fetched;
    };
    const std::vector<Case> cases = {
        {"g.missing", 100, 104, nullptr, {102, 103, 104}},
        {"g.zero", 100, 104, "0", {102, 103, 104}},
        {"g.empty", 100, 104, "", {102, 103, 104}},
        {"g.known", 100, 104, "101", {101, 102, 103, 104}},
        {"g.exact", 7, 9, nullptr, {7, 8, 9}},
        {"g.small", 7, 8, nullptr, {7, 8}},
        {"g.big", 4294967296, 4294967300, nullptr, {4294967298, 4294967299, 4294967300}},
    };
    int n = 0;
    for (const Case& c : cases) {
        server_.AddGroup(MakeGroup(c.name, c.first, c.last));
        Subscribe(++n, c.name, c.index);
    }
    Configure({"LastFileNumIn=0", "InitialFetch=3"});
    ASSERT_TRUE(RunCycle());
    n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string group = std::to_string(++n);
        EXPECT_EQ(Numbers(ReadIndex(Spool(group + ".grp"))), c.fetched);
        EXPECT_EQ(Ini("NG" + group, "Index"), std::to_string(c.last + 1));
    }
    EXPECT_EQ(LogCount("g.missing is new: starting at its newest 3 articles"), 1);
    EXPECT_EQ(LogCount("g.exact is new"), 0);

    // Once a group has its position the cap no longer applies.
    server_.AddArticle("g.missing", {105, ArticleText("g.missing", 105)});
    server_.AddArticle("g.missing", {106, ArticleText("g.missing", 106)});
    server_.AddArticle("g.missing", {107, ArticleText("g.missing", 107)});
    server_.AddArticle("g.missing", {108, ArticleText("g.missing", 108)});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))),
              (std::vector<long>{102, 103, 104, 105, 106, 107, 108}));
}

// Unlike the server and the spool, the cap holds from the next group on,
// even when set while a cycle runs.
TEST_P(FetchTest, InitialFetchSetDuringACycleHoldsFromTheNextGroup) {
    server_.AddGroup(MakeGroup("alt.first", 1, 6));
    server_.AddGroup(MakeGroup("alt.second", 1, 6));
    Subscribe(1, "alt.first");
    Subscribe(2, "alt.second");
    Configure({"LastFileNumIn=0"});
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return Exists(Spool("1.grp")); }));
    app::SetupOptions options;
    options.initialFetch = 2;
    std::string error;
    ASSERT_TRUE(app::ApplySetupOptions(options, window_, error)) << error;
    EXPECT_EQ(Setting("InitialFetch"), "2");
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 6u) << "the group under way is not cut";
    EXPECT_EQ(Numbers(ReadIndex(Spool("2.grp"))), (std::vector<long>{5, 6}));
    // The next cycle takes the held settings (nothing is left pending) and
    // finds nothing new.
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Log().front(), "Took the new settings");
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 8u);
}

TEST_P(FetchTest, RefusedArticleIsSkippedForGoodAndLeavesAGapInFileNumbers) {
    server_.AddGroup(MakeGroup("alt.gap", 100, 103));
    // The second ARTICLE (101) is refused as gone.
    server_.AddFault(testsrv::Fault::Reply("ARTICLE", "423 no such article", 2));
    Subscribe(1, "alt.gap");
    Configure({"LastFileNumIn=7"});
    ASSERT_TRUE(RunCycle());

    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[0].fileName, "00000007.nws");
    EXPECT_EQ(index[1].fileName, "00000009.nws");
    EXPECT_EQ(index[1].articleNumber, 102);
    EXPECT_EQ(index[2].fileName, "00000010.nws");
    EXPECT_FALSE(Exists(Spool("news/NG1/00000008.nws")));
    EXPECT_EQ(Ini("NG1", "Index"), "104");
    EXPECT_EQ(Setting("LastFileNumIn"), "11");
    EXPECT_EQ(LogCount("423"), 0) << "a refused article is not logged";
    EXPECT_TRUE(Cycle().report.disconnected);
}

TEST_P(FetchTest, RejectedGroupIsLoggedAndSkipped) {
    server_.AddGroup(MakeGroup("alt.there", 1, 1));
    Subscribe(1, "alt.gone", "5");
    Subscribe(2, "alt.there");
    Configure();
    ASSERT_TRUE(RunCycle());
    const std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[2], "Getting messages from alt.gone");
    EXPECT_EQ(log[3], "411 no such newsgroup");
    EXPECT_EQ(log[4], "Getting messages from alt.there");
    EXPECT_EQ(Ini("NG1", "Index"), "5");
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(ReadIndex(Spool("2.grp")).size(), 1u);
}

// Without LISTGROUP a range may be far wider than the group it holds (after
// expiry, or numbers a server skipped): the fetch asks for the articles
// that exist, not for every number, and stores them as at any depth.
TEST_P(FetchTest, ASparseRangeWithoutAListCostsTheArticlesNotTheNumbers) {
    server_.SetListGroup(false);
    testsrv::Group group{"alt.sparse", {}};
    for (long n : {7L, 8L, 9L, 2147483647L}) group.articles.push_back({n, ArticleText("alt.sparse", n)});
    server_.AddGroup(group);
    Subscribe(1, "alt.sparse");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_TRUE(Cycle().report.undone.empty()) << Cycle().report.undone;
    ExpectGroupHolds(1, "alt.sparse", {7, 8, 9, 2147483647});
    EXPECT_EQ(Ini("NG1", "Index"), "2147483648");
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 4u);

    // Resumed past them: refusals and NEXT, as many as the articles (each
    // refusal followed by NEXT uses up a file number).
    server_.AddArticle("alt.sparse", {3000000000L, ArticleText("alt.sparse", 3000000000L)});
    ASSERT_TRUE(RunCycle());
    ExpectGroupHolds(1, "alt.sparse", {7, 8, 9, 2147483647, 3000000000L}, -1);
    EXPECT_EQ(Ini("NG1", "Index"), "3000000001");
    EXPECT_LE(ServerCommands("ARTICLE").size(), 4u + 6u);
}

// Every name the registry takes goes out whole in GROUP and LISTGROUP; a
// longer one (written by hand) is neither cut to another group's name nor
// passed over silently.
TEST_P(FetchTest, GroupNamesUpToTheRegistryLimitAreFetchedLongerOnesAreWorkUndone) {
    const std::string longest = "alt." + std::string(251, 'x');  // 255 characters
    const std::string tooLong = longest + "y";
    server_.AddGroup(MakeGroup(longest, 1, 2));
    server_.AddGroup(MakeGroup("alt.short", 1, 1));
    Subscribe(1, longest);
    Subscribe(2, tooLong);
    Subscribe(3, "alt.short");
    Configure();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("NG2 skipped: its group name is longer than 255 characters"), 1);
    EXPECT_EQ(ServerCommands("GROUP"),
              (std::vector<std::string>{"GROUP " + longest, "GROUP alt.short"}));
    ExpectGroupHolds(1, longest, {1, 2});
    EXPECT_EQ(Ini("NG1", "Index"), "3");
    EXPECT_FALSE(Exists(Spool("2.grp")));
    EXPECT_EQ(ReadIndex(Spool("3.grp")).size(), 1u);
    EXPECT_EQ(Cycle().report.undone, "NG2 skipped: its group name is longer than 255 characters");
}

TEST_P(FetchTest, CounterBehindTheIndexIsMovedPastItInsteadOfOverwriting) {
    server_.AddGroup(MakeGroup("alt.behind", 1, 2));
    Subscribe(1, "alt.behind");
    spool::ArticleHeaders h;
    h.subject = "old";
    for (int file : {5, 12, 9}) {
        WriteFile(Spool("news/NG1/000000" + std::string(file < 10 ? "0" : "") +
                        std::to_string(file) + ".nws"),
                  "old article\r\n");
        ASSERT_TRUE(spool::AppendArticleIndex(spool_, h, 1, file));
    }
    Configure({"LastFileNumIn=3"});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("LastFileNumIn 3 is behind the index of NG1; moved to 13"), 1);
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 5u);
    EXPECT_EQ(index[3].fileName, "00000013.nws");
    EXPECT_EQ(index[4].fileName, "00000014.nws");
    for (const char* old : {"00000005.nws", "00000009.nws", "00000012.nws"})
        EXPECT_EQ(ReadFile(Spool(std::string("news/NG1/") + old)), "old article\r\n");
    EXPECT_EQ(Setting("LastFileNumIn"), "15");
}

TEST_P(FetchTest, GroupUnsubscribedDuringItsFetchIsNotWrittenAgain) {
    server_.AddGroup(MakeGroup("alt.leaving", 1, 3));
    server_.AddGroup(MakeGroup("alt.staying", 1, 1));
    // The second article arrives in two parts, far apart: its file is open
    // when the group is unsubscribed.
    server_.AddFault(testsrv::Fault::Split("ARTICLE", 2, 1500, 2));
    Subscribe(1, "alt.leaving");
    Subscribe(2, "alt.staying");
    WriteFile(Spool("newsys.rc"), "alt.leaving:1\r\nalt.staying:2\r\n");
    Configure({"LastFileNumIn=0"});

    Command(app::IDM_CONNECT);
    // Pipelined, the article is received under its .part name.
    const std::string open = LockStep() ? "00000001.nws" : "00000001.part";
    ASSERT_TRUE(Pump([&] { return Exists(Spool("news/NG1/" + open)); }));
    // As the Select Group dialog's OK does while the loop runs.
    ASSERT_TRUE(spool::UnsubscribeGroup(app::MakeSpoolContext(), "alt.leaving").Ok());
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));

    EXPECT_FALSE(plat::ProfileSectionExists("NG1", "qivnews.ini"));
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_FALSE(Exists(Spool("news/NG1")));
    EXPECT_EQ(LogCount("alt.leaving was unsubscribed during its fetch"), 1);
    // Pipelined, the third article was asked for too; its answer was read
    // and not stored.
    EXPECT_EQ(ServerCommands("ARTICLE").size(), LockStep() ? 3u : 4u)
        << "two (or three) of alt.leaving, one of alt.staying";
    EXPECT_EQ(ReadIndex(Spool("2.grp")).size(), 1u);
    EXPECT_TRUE(Cycle().report.disconnected);
}

// A refused ARTICLE does not move the server's current article, so NEXT
// names an old one; the cursor must still stop at GROUP's last article and
// later arrivals must be fetched.
TEST_P(FetchTest, CancelledNewestArticlesNeitherRunPastTheGroupNorHideLaterOnes) {
    server_.AddGroup(MakeGroup("alt.cancel", 1, 7));
    ASSERT_TRUE(server_.CancelArticle("alt.cancel", 6));
    ASSERT_TRUE(server_.CancelArticle("alt.cancel", 7));
    Subscribe(1, "alt.cancel", "6");
    Configure({"LastFileNumIn=20"});
    ASSERT_TRUE(RunCycle());
    // The list shows both gone: nothing is asked for.
    EXPECT_EQ(ServerCommands("ARTICLE"), LockStep()
                                             ? (std::vector<std::string>{"ARTICLE 6", "ARTICLE 7"})
                                             : std::vector<std::string>{});
    EXPECT_EQ(Ini("NG1", "Index"), "8");
    EXPECT_FALSE(Exists(Spool("1.grp")));

    for (long n = 8; n <= 10; ++n)
        server_.AddArticle("alt.cancel", {n, ArticleText("alt.cancel", n)});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), (std::vector<long>{8, 9, 10}));
    EXPECT_EQ(Ini("NG1", "Index"), "11");
    const std::size_t asked = ServerCommands("ARTICLE").size();
    EXPECT_EQ(asked, LockStep() ? 5u : 3u);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("ARTICLE").size(), asked) << "nothing is fetched twice";
}

// A 211 without a readable pair of numbers: the group is skipped, its Index
// untouched; neither the previous group's numbers nor its own first are used.
TEST_P(FetchTest, GroupReplyWithoutNumbersSkipsTheGroup) {
    const char* const replies[] = {"211 3 g.norange", "211 3 10 x g", "211 3 -1 12 g", "211"};
    server_.AddGroup(MakeGroup("g.first", 1, 3));
    Subscribe(1, "g.first");
    int n = 2;
    for (const char* reply : replies) {
        const std::string name = "g.broken" + std::to_string(n);
        server_.AddGroup(MakeGroup(name, 10, 12));
        server_.AddFault(testsrv::Fault::Reply("GROUP", reply, n));
        Subscribe(n, name, n % 2 == 0 ? "11" : nullptr);
        ++n;
    }
    Configure({"LastGroupNum=6"});
    ASSERT_TRUE(RunCycle());
    n = 2;
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        const std::string section = "NG" + std::to_string(n);
        EXPECT_EQ(LogCount(section + " skipped: no article numbers in the reply \"" + reply + "\""),
                  1);
        EXPECT_EQ(Ini(section, "Index"), n % 2 == 0 ? "11" : "(missing)");
        EXPECT_FALSE(Exists(Spool(std::to_string(n++) + ".grp")));
    }
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 3u) << "only g.first's articles";
    EXPECT_TRUE(Cycle().report.disconnected);
}

// ARTICLE refusals: only 423 and 430 say the article is gone. Any other
// stops the group (400, 480 and a break: the cycle) with Index still at the
// article, which the next cycle fetches.
struct Refusal {
    const char* reply;
    bool skips;      // the article is gone
    bool endsCycle;  // no later group, no posting pass
    bool breaks;     // the session ends the connection (5xx)
};

class ArticleRefusalTest : public CycleTest,
                           public ::testing::WithParamInterface<std::tuple<Refusal, int>> {};

TEST_P(ArticleRefusalTest, OnlyGoneSkipsTheArticle) {
    const Refusal& r = std::get<0>(GetParam());
    pipelineDepth_ = std::get<1>(GetParam());
    server_.AddGroup(MakeGroup("g.a", 1, 3));
    server_.AddGroup(MakeGroup("g.b", 1, 1));
    server_.AddFault(testsrv::Fault::Reply("ARTICLE", r.reply, 2));
    Subscribe(1, "g.a");
    Subscribe(2, "g.b");
    Configure({"LastGroupNum=3"});
    ASSERT_TRUE(RunCycle());

    const std::vector<long> gone = {1, 3};
    const std::vector<long> due = {1};
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), r.skips ? gone : due);
    EXPECT_EQ(Ini("NG1", "Index"), r.skips ? "4" : "2");
    EXPECT_EQ(Exists(Spool("2.grp")), !r.endsCycle);
    EXPECT_EQ(LogCount("Posting Messages"), r.endsCycle ? 0 : 1);
    const std::string stopped = std::string("NG1 stopped at article 2: ") + r.reply;
    EXPECT_EQ(LogCount(stopped), r.skips || r.breaks ? 0 : 1);
    EXPECT_EQ(LogCount("Connection to server lost: " + std::string(r.reply)), r.breaks ? 1 : 0);
    EXPECT_EQ(LogCount("Server wants a login"), std::string(r.reply).rfind("480", 0) == 0 ? 1 : 0);
    EXPECT_EQ(Cycle().report.disconnected, !r.breaks);

    ASSERT_TRUE(RunCycle());
    const std::vector<long> all = {1, 2, 3};
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), r.skips ? gone : all);
    EXPECT_EQ(Ini("NG1", "Index"), "4");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ArticleRefusalTest,
    ::testing::Combine(::testing::Values(Refusal{"423 no such article number", true, false, false},
                                         Refusal{"430 no such article", true, false, false},
                                         Refusal{"400 service going down", false, true, false},
                                         Refusal{"401 MODE-READER", false, false, false},
                                         Refusal{"403 archive unreachable", false, false, false},
                                         Refusal{"412 no newsgroup selected", false, false, false},
                                         Refusal{"480 authentication required", false, true, false},
                                         Refusal{"502 permission denied", false, true, true}),
                       ::testing::ValuesIn(FetchDepths())),
    [](const ::testing::TestParamInfo<std::tuple<Refusal, int>>& info) {
        return "Code" + std::string(std::get<0>(info.param).reply, 3) +
               DepthName(std::get<1>(info.param));
    });

// NEXT answered 223 with no number, or one that does not move past the
// article just saved: the group ends there instead of fetching it again.
// NEXT refusals: 421 is the end of the group; any other leaves articles
// behind, which the log and the run's outcome say, and the next cycle
// fetches. 400 and 480 end the cycle, as they do for ARTICLE.
struct NextRefusal {
    const char* reply;
    bool endsCycle;
};

class NextRefusalTest : public LockStepFetchTest,
                        public ::testing::WithParamInterface<NextRefusal> {};

TEST_P(NextRefusalTest, OnlyTheEndOfTheGroupPassesSilently) {
    const NextRefusal& row = GetParam();
    server_.AddGroup(MakeGroup("g.a", 1, 3));
    server_.AddGroup(MakeGroup("g.b", 1, 1));
    Subscribe(1, "g.a");
    Subscribe(2, "g.b");
    server_.AddFault(testsrv::Fault::Reply("NEXT", row.reply, 1));
    Configure({"LastGroupNum=3", "LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    const bool end = std::string(row.reply).rfind("421", 0) == 0;
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), std::vector<long>{1});
    EXPECT_EQ(Ini("NG1", "Index"), "2");
    EXPECT_EQ(LogCount(std::string("NG1 stopped at article 2: ") + row.reply), end ? 0 : 1)
        << ::testing::PrintToString(Log());
    EXPECT_EQ(Cycle().report.undone.empty(), end) << Cycle().report.undone;
    EXPECT_EQ(Exists(Spool("2.grp")), !row.endsCycle);

    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(Ini("NG1", "Index"), "4");
}

INSTANTIATE_TEST_SUITE_P(Replies, NextRefusalTest,
                         ::testing::Values(NextRefusal{"421 no next article in this group", false},
                                           NextRefusal{"403 archive unreachable", false},
                                           NextRefusal{"412 no newsgroup selected", false},
                                           NextRefusal{"400 service going down", true},
                                           NextRefusal{"480 authentication required", true}),
                         [](const auto& info) {
                             return "Code" + std::string(info.param.reply).substr(0, 3);
                         });

// 483 to GROUP: the server wants an encrypted channel, as after AUTHINFO.
TEST_P(FetchTest, GroupRefusedForWantOfEncryptionGivesTheHint) {
    server_.AddGroup(MakeGroup("g.a", 1, 1));
    server_.AddFault(testsrv::Fault::Reply("GROUP", "483 encryption required", 1));
    Subscribe(1, "g.a");
    Configure();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("483 encryption required"), 1);
    EXPECT_EQ(LogCount("The server requires encryption: set Security to tls (port 563) or starttls"),
              1);
    EXPECT_FALSE(Cycle().report.undone.empty());
    EXPECT_FALSE(Exists(Spool("1.grp")));
}

TEST_F(LockStepFetchTest, NextWithoutProgressEndsTheGroup) {
    const std::pair<const char*, const char*> rows[] = {
        {"223 nonumber", "NG1 ended: NEXT after article 1 gave no article number"},
        {"223 1 <again@x>", "NG1 ended: NEXT after article 1 gave article 1"},
        {"223 0 <zero@x>", "NG1 ended: NEXT after article 1 gave article 0"},
    };
    server_.AddGroup(MakeGroup("g.loop", 1, 3));
    Subscribe(1, "g.loop");
    Configure();
    std::size_t articles = 0;
    for (const auto& [reply, line] : rows) {
        SCOPED_TRACE(reply);
        ASSERT_TRUE(plat::WriteProfileString("NG1", "Index", "1", "qivnews.ini"));
        std::remove(Spool("1.grp").c_str());
        server_.ClearFaults();
        server_.AddFault(testsrv::Fault::Reply("NEXT", reply));
        ASSERT_TRUE(RunCycle());
        EXPECT_EQ(ServerCommands("ARTICLE").size(), ++articles);
        EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), std::vector<long>{1});
        EXPECT_EQ(Ini("NG1", "Index"), "2");
        EXPECT_EQ(LogCount(line), 1);
    }
    server_.ClearFaults();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))), (std::vector<long>{1, 2, 3}));
}

// Article numbers past 2^31 - 1 are numbers like any other, in the cursor,
// in Index and in the index record's 10-character field.
TEST_P(FetchTest, ArticleNumbersPastTwoToTheThirtyFirst) {
    server_.AddGroup(MakeGroup("g.big", 2147483646, 2147483649));
    Subscribe(1, "g.big", "2147483647");
    Configure();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("ARTICLE").front(), "ARTICLE 2147483647");
    EXPECT_EQ(Numbers(ReadIndex(Spool("1.grp"))),
              (std::vector<long>{2147483647, 2147483648, 2147483649}));
    EXPECT_EQ(Ini("NG1", "Index"), "2147483650");
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 3u) << "the second cycle finds nothing new";

    server_.AddGroup(MakeGroup("g.big", 9999999998, 9999999999));
    ASSERT_TRUE(plat::WriteProfileString("NG1", "Index", "9999999999", "qivnews.ini"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ReadIndex(Spool("1.grp")).back().articleNumber, 9999999999);
    EXPECT_EQ(Ini("NG1", "Index"), "10000000000");
}

// Past 99999999 a file name would need a ninth digit: the count starts
// again at 1, passing over files the board still lists.
TEST_P(FetchTest, FileNumbersWrapPastEightDigitsAroundFilesStillThere) {
    server_.AddGroup(MakeGroup("g.wrap", 1, 4));
    Subscribe(1, "g.wrap");
    WriteFile(Spool("news/NG1/00000001.nws"), "kept\r\n");
    spool::ArticleHeaders old;
    old.subject = "kept";
    ASSERT_TRUE(spool::AppendArticleIndex(spool_, old, 1, 1));
    Configure({"LastFileNumIn=99999998"});
    ASSERT_TRUE(RunCycle());
    const std::vector<std::string> names = {"99999998.nws", "99999999.nws", "00000002.nws",
                                            "00000003.nws"};
    std::vector<std::string> indexed;
    for (const IndexEntry& e : ReadIndex(Spool("1.grp"))) indexed.push_back(e.fileName);
    ASSERT_FALSE(indexed.empty());
    EXPECT_EQ(indexed.front(), "00000001.nws");
    indexed.erase(indexed.begin());
    EXPECT_EQ(indexed, names);
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + names[i])), Stored(ArticleText("g.wrap", i + 1)));
    EXPECT_EQ(ReadFile(Spool("news/NG1/00000001.nws")), "kept\r\n");
    EXPECT_EQ(Setting("LastFileNumIn"), "4");
    EXPECT_EQ(LogCount("LastFileNumIn passed 99999999; wrapped to 2 in NG1"), 1);

    // The next cycle goes on from there: the wrapped index is not "behind".
    server_.AddArticle("g.wrap", {5, ArticleText("g.wrap", 5)});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ReadIndex(Spool("1.grp")).back().fileName, "00000004.nws");
    EXPECT_EQ(LogCount("LastFileNumIn"), 0) << "neither behind the index nor wrapped again";

    // A counter already too large (written before the wrap existed) wraps too.
    server_.AddArticle("g.wrap", {6, ArticleText("g.wrap", 6)});
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "LastFileNumIn", "100000000", "qiv.ini"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ReadIndex(Spool("1.grp")).back().fileName, "00000005.nws");
    EXPECT_EQ(LogCount("LastFileNumIn passed 99999999; wrapped to 5 in NG1"), 1);
}

// A cancelled article between others is passed over: NEXT skips it, the
// list leaves it out; no file number is used up either way.
TEST_P(FetchTest, CancelledArticleBetweenOthersIsPassedOver) {
    server_.AddGroup(MakeGroup("alt.hole", 1, 5));
    ASSERT_TRUE(server_.CancelArticle("alt.hole", 3));
    Subscribe(1, "alt.hole");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    EXPECT_EQ(Numbers(index), (std::vector<long>{1, 2, 4, 5}));
    ASSERT_EQ(index.size(), 4u);
    for (std::size_t i = 0; i < index.size(); ++i)
        EXPECT_EQ(index[i].fileName, "0000000" + std::to_string(i) + ".nws");
    EXPECT_EQ(Ini("NG1", "Index"), "6");
    EXPECT_EQ(Setting("LastFileNumIn"), "4");
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 4u);
}

// A server without LISTGROUP (500) is asked for every number of GROUP's
// range; a missing one is refused as gone and, like any refused request
// with another after it, uses up its file number.
TEST_F(CycleTest, WithoutListGroupEveryNumberOfTheRangeIsAskedFor) {
    server_.AddGroup(MakeGroup("alt.old", 1, 6));
    ASSERT_TRUE(server_.CancelArticle("alt.old", 3));
    server_.SetListGroup(false);
    Subscribe(1, "alt.old", "2");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("LISTGROUP"), (std::vector<std::string>{"LISTGROUP alt.old 2-6"}));
    EXPECT_EQ(ServerCommands("ARTICLE"),
              (std::vector<std::string>{"ARTICLE 2", "ARTICLE 3", "ARTICLE 4", "ARTICLE 5",
                                        "ARTICLE 6"}));
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    EXPECT_EQ(Numbers(index), (std::vector<long>{2, 4, 5, 6}));
    std::vector<std::string> files;
    for (const IndexEntry& e : index) files.push_back(e.fileName);
    EXPECT_EQ(files, (std::vector<std::string>{"00000000.nws", "00000002.nws", "00000003.nws",
                                               "00000004.nws"}));
    EXPECT_EQ(Ini("NG1", "Index"), "7");
    EXPECT_EQ(Setting("LastFileNumIn"), "5");
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(LogCount("500"), 0) << "a refused LISTGROUP is no news for the log";
}

// At most PipelineDepth requests are out at once, and that many are while
// the articles last.
TEST_F(CycleTest, NoMoreThanPipelineDepthRequestsAreOut) {
    server_.AddGroup(MakeGroup("alt.deep", 1, 12));
    server_.AddFault(testsrv::Fault::Delay("ARTICLE", 200, 5));
    Subscribe(1, "alt.deep");
    pipelineDepth_ = 4;
    Configure({"LastFileNumIn=0"});
    const nntp::CNntpSession& session = Session();
    std::size_t most = 0;
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] {
        most = std::max(most, session.ArticlesOut());
        return !Cycle().report.running;
    }));
    EXPECT_EQ(most, 4u);
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 12u);
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(Depths, FetchTest, ::testing::ValuesIn(FetchDepths()),
                         [](const auto& info) { return DepthName(info.param); });

}  // namespace
}  // namespace apptest
