// Filter rules in a cycle: what a rule keeps out is not stored, Index moves
// past it, the log counts it by rule, and the spool is the same at every
// depth; a rule file that cannot be used stops the cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "cycle_support.h"

namespace apptest {
namespace {

// Articles 1-6 of alt.filter: 2 is spam by subject, 3 is large, 4 is
// crossposted to four groups, 5 has an X-Tag in capitals.
testsrv::Group FilterGroup(const std::string& name) {
    testsrv::Group g{name, {}};
    for (long n = 1; n <= 6; ++n) {
        std::string text = ArticleText(name, n);
        if (n == 2) text = "Subject: MAKE MONEY FAST\n" + text;
        if (n == 3) text += std::string(3000, 'x') + "\n";
        if (n == 4) text = "Newsgroups: a.b,c.d, e.f ,g.h\n" + text;
        if (n == 5) text = "X-Tag: SPAM\n" + text;
        g.articles.push_back({n, text});
    }
    return g;
}

struct FilterCase {
    const char* name;
    const char* rules;
    std::vector<long> kept;    // of alt.filter
    std::vector<long> keptB;   // of alt.other, the same articles
    const char* logLine;       // for NG1; nullptr: none
    // Articles kept out before download (pipelined): by the overview, or by
    // HEAD when a rule needs a header the overview lacks; never asked for
    // where no group keeps them.
    std::vector<long> decidedBefore;
    // HEAD requests (pipelined), in both groups: one for each article the
    // overview let through where a rule needs a header it lacks.
    std::size_t headsAsked;
};

void PrintTo(const FilterCase& c, std::ostream* os) {
    *os << c.name;
}

class FilterCycle : public CycleTest,
                    public ::testing::WithParamInterface<std::tuple<FilterCase, int>> {};

TEST_P(FilterCycle, KeepsOutWhatTheRulesSayAndNothingElse) {
    const auto& [c, depth] = GetParam();
    pipelineDepth_ = depth;
    server_.AddGroup(FilterGroup("alt.filter"));
    server_.AddGroup(FilterGroup("alt.other"));
    Subscribe(1, "alt.filter");
    Subscribe(2, "alt.other");
    WriteFile(dir_ + "/filters.txt", c.rules);
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_TRUE(Cycle().report.undone.empty()) << Cycle().report.undone;
    const std::vector<IndexEntry> one = ReadIndex(Spool("1.grp"));
    const std::vector<IndexEntry> two = ReadIndex(Spool("2.grp"));
    std::vector<long> kept, keptB;
    for (const IndexEntry& e : one) kept.push_back(e.articleNumber);
    for (const IndexEntry& e : two) keptB.push_back(e.articleNumber);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(keptB, c.keptB);
    for (const IndexEntry& e : one)
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + e.fileName)),
                  Stored(FilterGroup("alt.filter").articles[e.articleNumber - 1].text));
    EXPECT_EQ(DirectoryNames(Spool("news/NG1")).size(), one.size()) << "nothing filtered left";
    // A filtered article uses no file number: the kept ones run on without
    // gaps, across both groups.
    auto fileName = [](std::size_t n) {
        char name[16];
        std::snprintf(name, sizeof name, "%08lu.nws", static_cast<unsigned long>(n % 100000000));
        return std::string(name);
    };
    for (std::size_t i = 0; i < one.size(); ++i) EXPECT_EQ(one[i].fileName, fileName(i));
    for (std::size_t i = 0; i < two.size(); ++i)
        EXPECT_EQ(two[i].fileName, fileName(one.size() + i));
    EXPECT_EQ(Setting("LastFileNumIn"), std::to_string(one.size() + two.size()));
    EXPECT_EQ(Ini("NG1", "Index"), "7");
    EXPECT_EQ(Ini("NG2", "Index"), "7");
    if (c.logLine != nullptr) {
        EXPECT_EQ(LogCount(c.logLine), 1) << ::testing::PrintToString(Log());
    } else {
        EXPECT_EQ(LogCount("NG1: "), 0) << ::testing::PrintToString(Log());
    }

    if (depth > 1) {
        const std::vector<std::string> asked = ServerCommands("ARTICLE");
        for (const long n : c.decidedBefore) {
            const auto count = [n](const std::vector<long>& v) {
                return static_cast<std::size_t>(std::count(v.begin(), v.end(), n));
            };
            EXPECT_EQ(static_cast<std::size_t>(std::count(asked.begin(), asked.end(),
                                                          "ARTICLE " + std::to_string(n))),
                      count(c.kept) + count(c.keptB))
                << n << " was judged before it was downloaded";
        }
        EXPECT_EQ(ServerCommands("OVER").empty(), c.rules[0] == '#');
        EXPECT_EQ(ServerCommands("HEAD").size(), c.headsAsked)
            << ::testing::PrintToString(ServerCommands("HEAD"));
    } else {
        EXPECT_TRUE(ServerCommands("HEAD").empty());
        EXPECT_TRUE(ServerCommands("OVER").empty());
    }

    // Nothing filtered is asked for again.
    const std::size_t asked = ServerCommands("ARTICLE").size();
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("ARTICLE").size(), asked);
}

const std::vector<long> kAll = {1, 2, 3, 4, 5, 6};

const FilterCase kFilterCases[] = {
    {"NoRules", "# nothing yet\n\n", kAll, kAll, nullptr, {}, 0},
    {"SubjectForEveryGroup", "Header Subject make.*money\n", {1, 3, 4, 5, 6}, {1, 3, 4, 5, 6},
     "NG1: 1 article filtered: Subject (line 1) 1", {2}, 0},
    {"CaseCounts", "HeaderCase X-Tag ^spam$\nHeaderCase Subject ^MAKE\n", {1, 3, 4, 5, 6},
     {1, 3, 4, 5, 6}, "NG1: 1 article filtered: Subject (line 2) 1", {2}, 10},
    {"MaxBytes", "MaxBytes 2000\n", {1, 2, 4, 5, 6}, {1, 2, 4, 5, 6},
     "NG1: 1 article filtered: MaxBytes (line 1) 1", {3}, 0},
    {"MaxCrossposts", "MaxCrossposts 3\n", {1, 2, 3, 5, 6}, {1, 2, 3, 5, 6},
     "NG1: 1 article filtered: MaxCrossposts (line 1) 1", {4}, 12},
    {"OnlyInOneGroup", "[alt.filter]\nHeader X-Tag spam\nMaxBytes 2000\n", {1, 2, 4, 6}, kAll,
     "NG1: 2 articles filtered: X-Tag (line 2) 1, MaxBytes (line 3) 1", {3, 5}, 5},
    {"GroupPatternAndGlobal",
     "Header Subject money\n[alt.o*]\nMaxCrossposts 2\n[*]\nHeader X-Tag spam\n",
     {1, 3, 4, 6}, {1, 3, 6}, "NG1: 2 articles filtered: Subject (line 1) 1, X-Tag (line 5) 1",
     {2, 4, 5}, 10},
};

INSTANTIATE_TEST_SUITE_P(Rules, FilterCycle,
                         ::testing::Combine(::testing::ValuesIn(kFilterCases),
                                            ::testing::ValuesIn(FetchDepths())),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    DepthName(std::get<1>(info.param));
                         });

// A server without OVER: every article is judged once it has arrived, with
// the same result.
TEST_F(CycleTest, WithoutOverTheRulesAreAppliedToTheArrivedArticles) {
    pipelineDepth_ = 32;
    server_.SetOver(false);
    server_.AddGroup(FilterGroup("alt.filter"));
    Subscribe(1, "alt.filter");
    WriteFile(dir_ + "/filters.txt", "Header Subject make.*money\nMaxBytes 2000\n");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    std::vector<long> kept;
    for (const IndexEntry& e : ReadIndex(Spool("1.grp"))) kept.push_back(e.articleNumber);
    EXPECT_EQ(kept, (std::vector<long>{1, 4, 5, 6}));
    EXPECT_EQ(ServerCommands("ARTICLE").size(), 6u);
    EXPECT_EQ(ServerCommands("OVER").size(), 1u) << "asked once, then not again";
    EXPECT_EQ(LogCount("NG1: 2 articles filtered: Subject (line 1) 1, MaxBytes (line 2) 1"), 1);
    EXPECT_EQ(Ini("NG1", "Index"), "7");
}

// HEAD as the server answers it: rules on headers the overview lacks are
// decided before download where HEAD is answered, and on arrival where it
// is not; a break among the HEADs stores nothing. The spool is the same.
struct HeadCase {
    const char* name;
    std::vector<testsrv::Fault> faults;
    bool head;                 // the server has HEAD
    std::size_t heads;         // HEAD requests over the cycles
    std::vector<long> loaded;  // of articles 4 and 5 (kept out): those downloaded
    int cycles;                // until the group is done
};

void PrintTo(const HeadCase& c, std::ostream* os) {
    *os << c.name;
}

class HeadJudged : public CycleTest, public ::testing::WithParamInterface<HeadCase> {};

TEST_P(HeadJudged, KeepsTheSameArticlesOut) {
    const HeadCase& c = GetParam();
    pipelineDepth_ = 32;
    server_.SetHead(c.head);
    for (const testsrv::Fault& f : c.faults) server_.AddFault(f);
    server_.AddGroup(FilterGroup("alt.filter"));
    Subscribe(1, "alt.filter");
    WriteFile(dir_ + "/filters.txt", "MaxCrossposts 3\nHeader X-Tag spam\n");
    Configure({"LastFileNumIn=0"});
    for (int cycle = 1; cycle < c.cycles; ++cycle) {
        ASSERT_TRUE(RunCycle());
        EXPECT_TRUE(ReadIndex(Spool("1.grp")).empty()) << "stored before the break";
        EXPECT_TRUE(DirectoryNames(Spool("news/NG1")).empty());
        const std::string index = Ini("NG1", "Index");
        EXPECT_TRUE(index == "(missing)" || index == "1") << index;
    }
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.undone.empty()) << Cycle().report.undone;
    std::vector<long> kept;
    for (const IndexEntry& e : ReadIndex(Spool("1.grp"))) {
        kept.push_back(e.articleNumber);
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + e.fileName)),
                  Stored(FilterGroup("alt.filter").articles[e.articleNumber - 1].text));
    }
    EXPECT_EQ(kept, (std::vector<long>{1, 2, 3, 6}));
    EXPECT_EQ(DirectoryNames(Spool("news/NG1")).size(), kept.size());
    EXPECT_EQ(Setting("LastFileNumIn"), "4");
    EXPECT_EQ(Ini("NG1", "Index"), "7");
    EXPECT_EQ(LogCount("NG1: 2 articles filtered: MaxCrossposts (line 1) 1, X-Tag (line 2) 1"), 1)
        << ::testing::PrintToString(Log());
    EXPECT_EQ(ServerCommands("HEAD").size(), c.heads);
    std::vector<long> loaded;
    for (const std::string& command : ServerCommands("ARTICLE"))
        if (command == "ARTICLE 4" || command == "ARTICLE 5") loaded.push_back(command.back() - '0');
    EXPECT_EQ(loaded, c.loaded);
}

const HeadCase kHeadCases[] = {
    {"Answered", {}, true, 6, {}, 1},
    // All six went out before the first refusal came back; every article
    // is then judged when it arrives.
    {"NoHeadCommand", {}, false, 6, {4, 5}, 1},
    // Left to the ARTICLE, which downloads it and judges it then.
    {"OneGone", {testsrv::Fault::Reply("HEAD", "423 no such article number in this group", 4)},
     true, 6, {4}, 1},
    {"OneWithheld", {testsrv::Fault::Reply("HEAD", "480 authentication required", 5)}, true, 6,
     {5}, 1},
    // Broken among the HEADs: the next cycle asks for all of them again.
    {"ClosedAmongThem", {testsrv::Fault::Close("HEAD", 3)}, true, 9, {}, 2},
    {"CutInOne", {testsrv::Fault::CloseAfter("HEAD", 30, 2)}, true, 8, {}, 2},
};

INSTANTIATE_TEST_SUITE_P(Heads, HeadJudged, ::testing::ValuesIn(kHeadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A rule file that cannot be read or parsed stops the cycle with the
// reason, instead of storing everything.
struct BrokenFile {
    const char* name;
    const char* setting;  // FilterFile, or nullptr for the default file
    const char* text;     // written to the default file; nullptr: none
    const char* line;     // the log line's start ("%s": the profile directory)
};

void PrintTo(const BrokenFile& c, std::ostream* os) {
    *os << c.name;
}

class BrokenFilterFile : public CycleTest, public ::testing::WithParamInterface<BrokenFile> {
protected:
    std::string Fill(const char* format) const {
        std::string out = format;
        const std::size_t at = out.find("%s");
        if (at != std::string::npos) out.replace(at, 2, dir_);
        return out;
    }
};

TEST_P(BrokenFilterFile, StopsTheCycleWithTheReason) {
    const BrokenFile& row = GetParam();
    server_.AddGroup(MakeGroup("alt.a", 1, 2));
    Subscribe(1, "alt.a");
    WriteFile(Spool("out/p.txt"), "Newsgroups: alt.a\r\nSubject: s\r\n\r\nx\r\n");
    WriteFile(Spool("out.dat"), OutRecord("p.txt"));
    if (row.text != nullptr) WriteFile(dir_ + "/filters.txt", row.text);
    const std::string setting = row.setting != nullptr ? Fill(row.setting) : "InitialFetch=0";
    Configure({setting.c_str()});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount(Fill(row.line)), 1) << ::testing::PrintToString(Log());
    EXPECT_FALSE(Cycle().report.undone.empty());
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_TRUE(server_.Posted().empty()) << "no posting pass either";
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_TRUE(Cycle().report.disconnected);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BrokenFilterFile,
    ::testing::Values(BrokenFile{"BadRule", nullptr, "MaxBytes 10\nHeader Subject (unclosed\n",
                                 "Filter file %s/filters.txt, line 2: "},
                      BrokenFile{"UnknownKeyword", nullptr, "\n# fine\nMaxLines 3\n",
                                 "Filter file %s/filters.txt, line 3: "},
                      BrokenFile{"NamedAndMissing", "FilterFile=%s/none.txt", nullptr,
                                 "Filter file %s/none.txt cannot be read: No such file or "
                                 "directory"},
                      BrokenFile{"ADirectory", "FilterFile=%s", nullptr,
                                 "Filter file %s cannot be read: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
