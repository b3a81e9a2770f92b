// The server failing at every step of a cycle, in every way a connection
// can fail: closed, reset, gone silent, or answering nonsense. After each
// the gateway is idle and disconnected, nothing it wrote is half-written or
// points at something missing, Index has passed no article that is not
// stored, and the next cycle resumes at the right article and ends with
// every article stored and indexed once and every queued post delivered.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/cycles.h"
#include "cycle_support.h"

namespace apptest {
namespace {

using testsrv::Fault;

enum class Run { Fetch, List };

struct FaultCase {
    const char* name;
    Fault fault;
    Run run = Run::Fetch;
    bool silent = false;  // the server stops answering: needs the short ReplyTimeout
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.name;
}

// The server's groups: NG1 alt.a 1..4, NG2 alt.b 20..22.
const std::map<int, std::pair<std::string, std::vector<long>>> kGroups = {
    {1, {"alt.a", {1, 2, 3, 4}}},
    {2, {"alt.b", {20, 21, 22}}},
};
const char* const kPosts[] = {"post1.txt", "post2.txt"};
const char kOldList[] = "old.group 9 1 y\r\n";

std::string PostText(const std::string& name) {
    return "Newsgroups: alt.a\nSubject: " + name + "\n\nfirst line\n.dotted line\nlast line\n";
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FaultMatrix : public CycleTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void Prepare() {
        for (const auto& [n, group] : kGroups) {
            server_.AddGroup(MakeGroup(group.first, group.second.front(), group.second.back()));
            Subscribe(n, group.first);
        }
        server_.SetAccounts({{"joe", "pw"}});
        std::string queue;
        for (const char* name : kPosts) {
            WriteFile(Spool(std::string("out/") + name), Stored(PostText(name)));
            queue += OutRecord(name);
        }
        WriteFile(Spool("out.dat"), queue);
        queue_ = queue;
        WriteFile(Spool("groups.txt"), kOldList);
        Configure({"UserVerification=Yes", "QivNewsUsername=joe", "QivNewsPassword=pw",
                   "LastFileNumIn=0", GetParam().silent ? "ReplyTimeout=1" : "ReplyTimeout=120"});
    }

    int PostedCount(const std::string& name) const {
        const std::vector<std::string> posted = server_.Posted();
        return static_cast<int>(std::count(posted.begin(), posted.end(), PostText(name)));
    }

    // What must hold after any cycle, complete or cut off.
    void ExpectConsistent() {
        for (const auto& [n, group] : kGroups) {
            SCOPED_TRACE(group.first);
            const std::string dir = Spool("news/NG" + std::to_string(n));
            const std::vector<IndexEntry> index = ReadIndex(Spool(std::to_string(n) + ".grp"));
            std::set<long> articles;
            std::set<std::string> files;
            for (const IndexEntry& e : index) {
                EXPECT_TRUE(articles.insert(e.articleNumber).second)
                    << "article " << e.articleNumber << " indexed twice";
                EXPECT_TRUE(files.insert(e.fileName).second) << e.fileName << " named twice";
                EXPECT_EQ(ReadFile(dir + "/" + e.fileName),
                          Stored(ArticleText(group.first, e.articleNumber)))
                    << e.fileName;
            }
            for (const std::string& name : Names(dir)) {
                EXPECT_TRUE(files.count(name)) << name << " is in no index record";
            }
            const std::string indexText = Ini("NG" + std::to_string(n), "Index");
            const long next = indexText == "(missing)" ? 0 : std::stol(indexText);
            for (long a : group.second) {
                if (a >= next) continue;
                EXPECT_TRUE(articles.count(a)) << "Index " << next << " passed " << a;
            }
        }
        EXPECT_FALSE(Exists(Spool("groups.tmp")));
        EXPECT_FALSE(Exists(Spool("qivout.wrk")));
        const std::string list = ReadFile(Spool("groups.txt"));
        EXPECT_TRUE(list == kOldList || list == "alt.a 4 1 y\r\nalt.b 22 20 y\r\n") << list;
        // The queue keeps its records until the pass that handled all of
        // it; one is marked as handled only once its file was posted.
        const std::string queue = ReadFile(Spool("out.dat"));
        for (std::size_t i = 0; i < std::size(kPosts); ++i) {
            const char* name = kPosts[i];
            const bool queued = Exists(Spool(std::string("out/") + name));
            EXPECT_EQ(queued ? 0 : 1, PostedCount(name)) << name;
            if (queue.empty()) {
                EXPECT_FALSE(queued) << name;
                continue;
            }
            ASSERT_EQ(queue.size(), queue_.size());
            const std::string record = queue.substr(13 * i, 13);
            if (queued) {
                EXPECT_EQ(record, OutRecord(name)) << name;
            } else {
                EXPECT_TRUE(record == OutRecord(name) || record == OutRecord(name, 0xFF)) << name;
            }
        }
    }

    // Stored articles per group, for checking where the next cycle resumes.
    std::map<int, std::set<long>> StoredArticles() const {
        std::map<int, std::set<long>> stored;
        for (const auto& [n, group] : kGroups)
            for (const IndexEntry& e : ReadIndex(Spool(std::to_string(n) + ".grp")))
                stored[n].insert(e.articleNumber);
        return stored;
    }

    std::string queue_;
};

TEST_P(FaultMatrix, LeavesEverythingWholeAndTheNextCycleCompletes) {
    const FaultCase& c = GetParam();
    Prepare();
    server_.AddFault(c.fault);

    ASSERT_TRUE(RunCycle(c.run == Run::List ? app::IDM_GET_GROUP_LIST : 0));
    ExpectDisconnectedState();
    ExpectConsistent();

    server_.ClearFaults();
    if (c.run == Run::List) {
        ASSERT_TRUE(RunCycle(app::IDM_GET_GROUP_LIST));
        EXPECT_TRUE(Cycle().report.listReceived);
        EXPECT_EQ(ReadFile(Spool("groups.txt")), "alt.a 4 1 y\r\nalt.b 22 20 y\r\n");
    }

    // The next cycle asks for exactly the articles not stored yet.
    const std::map<int, std::set<long>> before = StoredArticles();
    const std::size_t from = server_.Commands().size();
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    ExpectDisconnectedState();
    std::vector<std::string> expected;
    for (const auto& [n, group] : kGroups)
        for (long a : group.second)
            if (!before.count(n) || !before.at(n).count(a))
                expected.push_back("ARTICLE " + std::to_string(a));
    std::vector<std::string> asked;
    const std::vector<std::string> commands = server_.Commands();
    for (std::size_t i = from; i < commands.size(); ++i)
        if (commands[i].rfind("ARTICLE", 0) == 0) asked.push_back(commands[i]);
    EXPECT_EQ(asked, expected);

    ExpectConsistent();
    for (const auto& [n, group] : kGroups) {
        const std::vector<IndexEntry> index = ReadIndex(Spool(std::to_string(n) + ".grp"));
        ASSERT_EQ(index.size(), group.second.size()) << group.first;
        for (std::size_t i = 0; i < index.size(); ++i)
            EXPECT_EQ(index[i].articleNumber, group.second[i]);
        EXPECT_EQ(Ini("NG" + std::to_string(n), "Index"), std::to_string(group.second.back() + 1));
    }
    for (const char* name : kPosts) EXPECT_EQ(PostedCount(name), 1) << name;
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
}

// Steps by their place in the cycle: the greeting, the login, GROUP of the
// second group, ARTICLE 2 before its data and ARTICLE 21 inside it, the
// first NEXT, the group list inside its data, the second POST before its
// article, the first post inside and after its article, and QUIT.
std::vector<FaultCase> Cases() {
    std::vector<FaultCase> cases;
    const struct {
        const char* name;
        const char* when;
        int nth;
    } whole[] = {
        {"Greeting", "GREETING", 1}, {"User", "AUTHINFO USER", 1}, {"Pass", "AUTHINFO PASS", 1},
        {"Group", "GROUP", 2},       {"Article", "ARTICLE", 2},    {"Next", "NEXT", 1},
        {"Post", "POST", 2},         {"PostLine", "POST_LINE", 2}, {"PostVerdict", "POST_DATA", 1},
        {"Quit", "QUIT", 1},
    };
    static std::vector<std::string> names;  // FaultCase holds the name's address
    names.reserve(64);
    const auto add = [&](const std::string& name, const Fault& fault, Run run, bool silent) {
        names.push_back(name);
        cases.push_back({names.back().c_str(), fault, run, silent});
    };
    for (const auto& s : whole) {
        add(std::string(s.name) + "Closed", Fault::Close(s.when, s.nth), Run::Fetch, false);
        add(std::string(s.name) + "Reset", Fault::Reset(s.when, s.nth), Run::Fetch, false);
        add(std::string(s.name) + "Silent", Fault::Stall(s.when, s.nth), Run::Fetch, true);
        // A nonsense line where the verdict on a post belongs is no verdict:
        // the gateway goes on waiting for one.
        add(std::string(s.name) + "Nonsense", Fault::Nonsense(s.when, s.nth), Run::Fetch,
            std::strcmp(s.when, "POST_DATA") == 0);
    }
    add("ArticleDataClosed", Fault::CloseAfter("ARTICLE", 80, 6), Run::Fetch, false);
    add("ArticleDataReset", Fault::ResetAfter("ARTICLE", 80, 6), Run::Fetch, false);
    add("ArticleDataSilent", Fault::StallAfter("ARTICLE", 80, 6), Run::Fetch, true);
    add("ListDataClosed", Fault::CloseAfter("LIST", 40, 1), Run::List, false);
    add("ListDataReset", Fault::ResetAfter("LIST", 40, 1), Run::List, false);
    add("ListDataSilent", Fault::StallAfter("LIST", 40, 1), Run::List, true);
    add("ListNonsense", Fault::Nonsense("LIST", 1), Run::List, false);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Only the server's refusal of an article itself moves Index past it, and
// the next cycle does not ask for it again.
class RefusalTest : public CycleTest {};

TEST_F(RefusalTest, ARefusedArticleIsSkippedForGoodAndNothingElse) {
    server_.AddGroup(MakeGroup("alt.a", 1, 4));
    server_.AddFault(Fault::Reply("ARTICLE", "423 no such article number in this group", 2));
    server_.AddFault(Fault::Close("ARTICLE", 3));
    Subscribe(1, "alt.a");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(Ini("NG1", "Index"), "3") << "past the refused 2, not past the cut-off 3";
    server_.ClearFaults();
    const std::size_t from = server_.Commands().size();
    ASSERT_TRUE(RunCycle());
    std::vector<std::string> asked;
    const std::vector<std::string> commands = server_.Commands();
    for (std::size_t i = from; i < commands.size(); ++i)
        if (commands[i].rfind("ARTICLE", 0) == 0) asked.push_back(commands[i]);
    EXPECT_EQ(asked, (std::vector<std::string>{"ARTICLE 3", "ARTICLE 4"}));
    std::vector<long> indexed;
    for (const IndexEntry& e : ReadIndex(Spool("1.grp"))) indexed.push_back(e.articleNumber);
    EXPECT_EQ(indexed, (std::vector<long>{1, 3, 4}));
}

}  // namespace
}  // namespace apptest
