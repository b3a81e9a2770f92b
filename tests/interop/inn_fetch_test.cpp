// The fetch cycle against INN: every article of a group stored byte for byte
// as the server holds it, indexed and counted; the awkward articles of
// qiv.test.mixed (dot-stuffed lines, folded headers, 8-bit text, a cancelled
// article); a second cycle that finds nothing new; expiry and unsubscribing
// of what was fetched.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <csignal>
#include <cstdlib>
#include <set>

#include "inn_support.h"
#include "spool/index_record.h"

namespace interop {
namespace {

const std::vector<std::string> kQuietCycle = {
    "Connecting to server", "Server connected",      "Finished getting messages",
    "Posting Messages",     "Can't open index file", "Disconnecting from Server",
    "Server disconnected"};

std::vector<std::string> CycleLog(const std::string& group) {
    std::vector<std::string> log = kQuietCycle;
    log.insert(log.begin() + 2, "Getting messages from " + group);
    return log;
}

std::string FileName(long number) {
    char name[16];
    std::snprintf(name, sizeof name, "%08ld.nws", number);
    return name;
}

// "dd Mon  " of a moment, as the index stores the day of indexing.
std::string DayMonth(time_t when) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm local{};
    localtime_r(&when, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d %s  ", local.tm_mday, months[local.tm_mon]);
    return text;
}

// The address part of a From value, for the checks: inside angle brackets,
// else the first word.
std::string AddressOf(const std::string& from) {
    const std::size_t open = from.find('<');
    const std::size_t close = from.find('>', open);
    if (open != std::string::npos && close != std::string::npos)
        return from.substr(open + 1, close - open - 1);
    return from.substr(0, from.find(' '));
}

bool OnlyCrLfLineEnds(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    }
    return !text.empty() && text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
}

class InnFetchTest : public InnTest {
protected:
    // Subscribes the group as the first one and fetches it with --once, at
    // the default PipelineDepth or at `depth`.
    void FetchOnce(const std::string& group, int depth = 0) {
        ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
        if (depth > 0) {
            ASSERT_EQ(Qiv({"setup", "--pipeline-depth", std::to_string(depth)}).status, 0);
        }
        ASSERT_EQ(Subscribe(group), 1);
        before_ = time(nullptr);
        const ProgramResult r = Qiv({"--once"});
        after_ = time(nullptr);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.Lines(), CycleLog(group));
        EXPECT_EQ(r.err, "");
    }

    // Checks the spool of group 1 against the server, record by record, and
    // returns the index with the stored article texts.
    std::vector<IndexRecord> CheckAgainstServer(const std::string& group,
                                                std::vector<std::string>& texts) {
        NntpProbe probe;
        EXPECT_TRUE(probe.Open(inn_.host, inn_.readerPort));
        const std::vector<long> numbers = probe.ListGroup(group);
        EXPECT_FALSE(numbers.empty()) << group << " is empty on the server";

        const std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
        EXPECT_EQ(index.size(), numbers.size());
        EXPECT_EQ(ListDir(Spool("news/NG1")).size(), numbers.size());
        texts.clear();
        for (std::size_t i = 0; i < index.size() && i < numbers.size(); ++i) {
            const IndexRecord& r = index[i];
            SCOPED_TRACE("record " + std::to_string(i) + ", article " + std::to_string(numbers[i]));
            const std::string expected = probe.Article(std::to_string(numbers[i]));
            const std::string stored = ReadFile(Spool("news/NG1/" + r.fileName));
            EXPECT_EQ(stored, expected);
            EXPECT_TRUE(OnlyCrLfLineEnds(stored));
            texts.push_back(stored);

            EXPECT_EQ(r.groupNumber, "1");
            EXPECT_EQ(r.fixedTag, "  999  ");
            std::string sender = AddressOf(HeaderOf(expected, "From")).substr(0, 19);
            sender.resize(20, ' ');
            EXPECT_EQ(r.sender, sender);
            EXPECT_TRUE(r.dayMonth == DayMonth(before_) || r.dayMonth == DayMonth(after_))
                << r.dayMonth;
            EXPECT_EQ(r.subject, HeaderOf(expected, "Subject").substr(0, 93));
            EXPECT_EQ(r.timestamp.size(), 14u);
            EXPECT_EQ(r.fileName, FileName(static_cast<long>(i)))
                << "file numbers run on without gaps";
            EXPECT_EQ(r.fileNameCopy, r.fileName);
            EXPECT_EQ(r.articleNumber, std::to_string(numbers[i]));
            EXPECT_EQ(r.raw.substr(166, 47), std::string(47, '\0'));
            EXPECT_EQ(r.raw.substr(226, 85), std::string(85, '\0'));
        }
        if (!numbers.empty()) {
            EXPECT_EQ(GroupKey(1, "Index"), std::to_string(numbers.back() + 1));
        }
        EXPECT_EQ(Setting("LastFileNumIn"), std::to_string(numbers.size()));
        return index;
    }

    time_t before_ = 0;
    time_t after_ = 0;
};

TEST_F(InnFetchTest, PlainGroupIsStoredIndexedAndCountedAndASecondCycleFetchesNothing) {
    ASSERT_NO_FATAL_FAILURE(FetchOnce("qiv.test.plain"));
    EXPECT_EQ(ReadFile(Spool("newsys.rc")), "qiv.test.plain:1\r\n");
    std::vector<std::string> texts;
    const std::vector<IndexRecord> index = CheckAgainstServer("qiv.test.plain", texts);
    ASSERT_GE(index.size(), 25u);
    // The 25 articles inn-fill posted, with what the index makes of them.
    int seen = 0;
    for (std::size_t i = 0; i < index.size(); ++i) {
        int n = 0;
        if (std::sscanf(index[i].subject.c_str(), "Plain article number %d", &n) != 1) continue;
        ++seen;
        std::string sender = "plain" + std::to_string(n) + "@qiv.test";
        sender.resize(20, ' ');
        EXPECT_EQ(index[i].sender, sender);
        EXPECT_EQ(BodyOf(texts[i]), "This is plain article " + std::to_string(n) +
                                        ".\r\nIt has a few lines of text.\r\n");
    }
    EXPECT_EQ(seen, 25);

    // Nothing new on the server: the second cycle stores and counts nothing.
    const std::string indexBytes = ReadFile(Spool("1.grp"));
    const std::vector<std::string> files = ListDir(Spool("news/NG1"));
    const std::string cursor = GroupKey(1, "Index");
    const std::string fileNumber = Setting("LastFileNumIn");
    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.Lines(), CycleLog("qiv.test.plain"));
    EXPECT_EQ(ReadFile(Spool("1.grp")), indexBytes);
    EXPECT_EQ(ListDir(Spool("news/NG1")), files);
    EXPECT_EQ(GroupKey(1, "Index"), cursor);
    EXPECT_EQ(Setting("LastFileNumIn"), fileNumber);
}

// A spool filled from another server: Index far above INN's numbers for
// the group. The group starts again at INN's first article, every article
// is known by its Message-ID and passed over, and nothing is stored twice.
TEST_F(InnFetchTest, AnIndexFarPastTheServersNumbersStartsAgainAndStoresNothingTwice) {
    const std::string group = "qiv.test.plain";
    ASSERT_NO_FATAL_FAILURE(FetchOnce(group));
    std::vector<std::string> texts;
    const std::vector<IndexRecord> index = CheckAgainstServer(group, texts);
    ASSERT_FALSE(index.empty());
    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    const std::vector<long> numbers = probe.ListGroup(group);
    ASSERT_FALSE(numbers.empty());
    const std::string indexBytes = ReadFile(Spool("1.grp"));
    const std::vector<std::string> files = ListDir(Spool("news/NG1"));

    const long far = numbers.back() + 500000;
    const std::string groupsFile = profile_ + "/qivnews.ini";
    std::string ini = ReadFile(groupsFile);
    const std::string key = "Index=" + std::to_string(numbers.back() + 1);
    const std::size_t at = ini.find(key);
    ASSERT_NE(at, std::string::npos) << ini;
    ini.replace(at, key.size(), "Index=" + std::to_string(far));
    WriteFile(groupsFile, ini);

    const ProgramResult r = Qiv({"--once"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<std::string> lines = r.Lines();
    auto has = [&](const std::string& line) {
        return std::count(lines.begin(), lines.end(), line) == 1;
    };
    EXPECT_TRUE(has("Index " + std::to_string(far) + " of " + group +
                    " is past the server's last article " + std::to_string(numbers.back()) +
                    ": starting again at " + std::to_string(numbers.front())))
        << r.out;
    EXPECT_TRUE(has("NG1: " + std::to_string(numbers.size()) +
                    " articles stored before under other numbers passed over"))
        << r.out;
    EXPECT_EQ(ReadFile(Spool("1.grp")), indexBytes);
    EXPECT_EQ(ListDir(Spool("news/NG1")), files);
    EXPECT_EQ(GroupKey(1, "Index"), std::to_string(numbers.back() + 1));

    // And the cycle after that is as quiet as ever.
    const ProgramResult again = Qiv({"--once"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.Lines(), CycleLog(group));
}

// Killed at random moments of a pipelined fetch of two groups: after each
// kill what is indexed is whole and once, and the run after it completes
// the groups as the server numbers them, with no file beside the indexed.
TEST_F(InnFetchTest, KilledAtRandomMomentsOfAPipelinedFetchLosesAndDuplicatesNothing) {
    const std::vector<std::string> groups = {"qiv.test.plain", "qiv.test.mixed"};
    ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    std::vector<std::vector<long>> numbers;
    for (const std::string& g : groups) numbers.push_back(probe.ListGroup(g));

    unsigned seed = static_cast<unsigned>(time(nullptr));
    if (const char* fixed = std::getenv("QIV_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
    RecordProperty("seed", std::to_string(seed));
    std::srand(seed);
    // How long a whole run takes here: the kills fall within it.
    for (const std::string& g : groups) ASSERT_GT(Subscribe(g), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Qiv({"--once"}).status, 0);
    const int wholeMs = std::max<int>(
        2, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count()));
    for (const std::string& g : groups) ASSERT_EQ(Qiv({"unsubscribe", g}).status, 0);
    int killed = 0;
    for (int round = 0; round < 8 && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        std::vector<int> n;
        for (const std::string& g : groups) n.push_back(Subscribe(g));
        for (int kill = 0; kill < 1 + round % 3; ++kill) {
            const ProgramResult r = Qiv({"--once"}, 60000, std::rand() % wholeMs);
            killed += r.signal == SIGKILL ? 1 : 0;
            for (std::size_t i = 0; i < groups.size(); ++i) {
                const std::vector<IndexRecord> index =
                    ReadIndex(Spool(std::to_string(n[i]) + ".grp"));
                std::set<std::string> articles;
                probe.Command("GROUP " + groups[i]);
                for (const IndexRecord& rec : index) {
                    EXPECT_TRUE(articles.insert(rec.articleNumber).second) << rec.articleNumber;
                    EXPECT_EQ(ReadFile(Spool("news/NG" + std::to_string(n[i]) + "/" + rec.fileName)),
                              probe.Article(rec.articleNumber));
                }
            }
        }
        const ProgramResult done = Qiv({"--once"});
        ASSERT_EQ(done.status, 0) << done.out << done.err;
        for (std::size_t i = 0; i < groups.size(); ++i) {
            const std::vector<IndexRecord> index = ReadIndex(Spool(std::to_string(n[i]) + ".grp"));
            std::vector<std::string> got, named;
            for (const IndexRecord& rec : index) {
                got.push_back(rec.articleNumber);
                named.push_back(rec.fileName);
            }
            std::vector<std::string> want;
            for (long a : numbers[i]) want.push_back(std::to_string(a));
            EXPECT_EQ(got, want) << groups[i];
            std::sort(named.begin(), named.end());
            EXPECT_EQ(ListDir(Spool("news/NG" + std::to_string(n[i]))), named) << groups[i];
        }
        for (const std::string& g : groups) ASSERT_EQ(Qiv({"unsubscribe", g}).status, 0);
    }
    std::printf("%d runs killed (seed %u)\n", killed, seed);
    if (!HasFailure()) {
        EXPECT_GT(killed, 4) << "the kills came too late to test anything";
    }
}

// Filter rules against INN's articles: a Subject rule for the plain group
// only and a size rule for every group, at both depths the same.
TEST_F(InnFetchTest, FilterRulesKeepOutWhatTheySayAtEveryDepth) {
    std::string first;
    for (int depth : {1, 32}) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        std::filesystem::remove_all(spool_);
        std::filesystem::remove_all(profile_);
        std::filesystem::create_directories(spool_ + "/news");
        std::filesystem::create_directories(profile_);
        WriteFile(profile_ + "/filters.txt",
                  "# numbers 10-19 of the plain group, and nothing over 100 KB\n"
                  "MaxBytes 100000\n[qiv.test.plain]\nHeader Subject number 1[0-9]$\n");
        ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
        ASSERT_EQ(Qiv({"setup", "--pipeline-depth", std::to_string(depth)}).status, 0);
        ASSERT_EQ(Subscribe("qiv.test.plain"), 1);
        const ProgramResult r = Qiv({"--once"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::vector<std::string> lines = r.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             "NG1: 10 articles filtered: Subject (line 4) 10"),
                  1)
            << r.out;
        const std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
        std::string subjects;
        for (const IndexRecord& rec : index) {
            int n = 0;
            if (std::sscanf(rec.subject.c_str(), "Plain article number %d", &n) == 1) {
                EXPECT_FALSE(n >= 10 && n <= 19) << rec.subject;
            }
            subjects += rec.subject + "\n";
        }
        EXPECT_EQ(ListDir(Spool("news/NG1")).size(), index.size());
        if (first.empty()) {
            first = subjects;
        } else {
            EXPECT_EQ(subjects, first) << "the same articles at both depths";
        }
    }
}

// A rule on a header INN's overview lacks (Newsgroups) is decided from the
// headers, at both depths the same: nothing of the group is stored, and
// nothing is fetched again by the next run.
TEST_F(InnFetchTest, ARuleOnAHeaderBeyondTheOverviewKeepsOutTheSameAtEveryDepth) {
    for (int depth : {1, 32}) {
        SCOPED_TRACE("depth " + std::to_string(depth));
        std::filesystem::remove_all(spool_);
        std::filesystem::remove_all(profile_);
        std::filesystem::create_directories(spool_ + "/news");
        std::filesystem::create_directories(profile_);
        WriteFile(profile_ + "/filters.txt", "[qiv.test.plain]\nHeader Newsgroups ^qiv\\.test\\.plain$\n");
        ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
        ASSERT_EQ(Qiv({"setup", "--pipeline-depth", std::to_string(depth)}).status, 0);
        ASSERT_EQ(Subscribe("qiv.test.plain"), 1);
        ProgramResult r = Qiv({"--once"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        std::vector<std::string> lines = r.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(),
                             "NG1: 25 articles filtered: Newsgroups (line 2) 25"),
                  1)
            << r.out;
        EXPECT_TRUE(ReadIndex(Spool("1.grp")).empty());
        EXPECT_TRUE(ListDir(Spool("news/NG1")).empty());
        r = Qiv({"--once"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        lines = r.Lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.rfind("NG1: ", 0) == 0; }),
                  0)
            << r.out;
    }
}

// A fresh subscription with InitialFetch 2 gets the group's newest two
// articles, as the server numbers them, and nothing before them.
TEST_F(InnFetchTest, InitialFetchGivesAFreshSubscriptionOnlyTheNewestArticles) {
    const std::string group = "qiv.test.plain";
    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    const std::vector<long> numbers = probe.ListGroup(group);
    ASSERT_GE(numbers.size(), 25u);
    const long last = numbers.back();
    ASSERT_EQ(numbers[numbers.size() - 2], last - 1) << "no gap before the newest";

    ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
    ASSERT_EQ(Qiv({"setup", "--initial-fetch", "2"}).status, 0);
    ASSERT_EQ(Subscribe(group), 1);
    const ProgramResult r = Qiv({"--once"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> log = CycleLog(group);
    log.insert(log.begin() + 3, group + " is new: starting at its newest 2 articles");
    EXPECT_EQ(r.Lines(), log);

    const std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const long number = last - 1 + static_cast<long>(i);
        EXPECT_EQ(index[i].articleNumber, std::to_string(number));
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + index[i].fileName)),
                  probe.Article(std::to_string(number)));
    }
    EXPECT_EQ(GroupKey(1, "Index"), std::to_string(last + 1));
}

TEST_F(InnFetchTest, DotStuffedFoldedAndEightBitArticlesAreStoredByteForByte) {
    ASSERT_NO_FATAL_FAILURE(FetchOnce("qiv.test.mixed"));
    std::vector<std::string> texts;
    const std::vector<IndexRecord> index = CheckAgainstServer("qiv.test.mixed", texts);

    auto find = [&](const std::string& subject) -> int {
        for (std::size_t i = 0; i < index.size(); ++i)
            if (index[i].subject == subject) return static_cast<int>(i);
        ADD_FAILURE() << "no record with the subject \"" << subject << "\"";
        return -1;
    };

    // Lines that began with a dot arrive stuffed and are stored as written.
    const int dots = find("Lines that start with a dot");
    if (dots >= 0) {
        EXPECT_EQ(BodyOf(texts[dots]),
                  ".A line that starts with a dot\r\n..Two dots\r\n.\r\nLast line\r\n");
        EXPECT_EQ(index[dots].sender, "dots@qiv.test       ");
    }

    // Folded headers stay folded in the file; the index joins them.
    const int folded = find("A subject that is folded over two lines");
    if (folded >= 0) {
        const std::string& t = texts[folded];
        EXPECT_NE(t.find("\r\nSubject: A subject that is\r\n folded over two lines\r\n"),
                  std::string::npos)
            << t;
        EXPECT_NE(t.find("\r\nX-Long: first part\r\n\tsecond part\r\n"), std::string::npos) << t;
        EXPECT_EQ(index[folded].sender, "folded@qiv.test     ");
    }

    // 8-bit bytes pass untouched into the file and into the index.
    const int eight = find("Caf\xc3\xa9 text");
    if (eight >= 0) {
        EXPECT_EQ(BodyOf(texts[eight]),
                  "Na\xc3\xafve caf\xc3\xa9 with a top-bit byte \xe9 here.\r\n");
    }

    // The cancelled middle article leaves a gap in the article numbers but
    // none in the file numbers (checked above for every record).
    const int first = find("Range article 1");
    const int third = find("Range article 3");
    for (const IndexRecord& r : index) EXPECT_NE(r.subject, "Range article 2");
    if (first >= 0 && third >= 0) {
        const long a = std::stol(index[first].articleNumber);
        const long c = std::stol(index[third].articleNumber);
        EXPECT_EQ(c, a + 2);
        EXPECT_EQ(third, first + 1);
        NntpProbe probe;
        ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
        ASSERT_EQ(probe.Command("GROUP qiv.test.mixed").rfind("211", 0), 0u);
        EXPECT_EQ(probe.Command("ARTICLE " + std::to_string(a + 1)).substr(0, 3), "423");
    }
}

// The tests here fetch with the default pipeline; one article at a time
// the same files, records and counters come out, checked against the
// server in the same way.
TEST_F(InnFetchTest, OneArticleAtATimeStoresWhatThePipelineStores) {
    ASSERT_NO_FATAL_FAILURE(FetchOnce("qiv.test.mixed", 1));
    EXPECT_EQ(Setting("PipelineDepth"), "1");
    std::vector<std::string> texts;
    EXPECT_FALSE(CheckAgainstServer("qiv.test.mixed", texts).empty());
}

TEST_F(InnFetchTest, ExpiryAndUnsubscribeRemoveFetchedArticles) {
    ASSERT_NO_FATAL_FAILURE(FetchOnce("qiv.test.mixed"));
    std::string bytes = ReadFile(Spool("1.grp"));
    std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
    ASSERT_GE(index.size(), 3u);

    // The first two records look as if indexed on 1 January 2020.
    for (std::size_t i = 0; i < 2; ++i)
        bytes.replace(i * spool::kRecordSize + spool::kTimestampText, 14, "20.01.01.00.00");
    WriteFile(Spool("1.grp"), bytes);
    ProgramResult r = Qiv({"expire"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(GroupKey(1, "ExpireDays"), "1");
    EXPECT_EQ(ReadFile(Spool("1.grp")), bytes.substr(2 * spool::kRecordSize));
    EXPECT_FALSE(Exists(Spool("news/NG1/" + index[0].fileName)));
    EXPECT_FALSE(Exists(Spool("news/NG1/" + index[1].fileName)));
    EXPECT_EQ(ListDir(Spool("news/NG1")).size(), index.size() - 2);

    r = Qiv({"unsubscribe", "QIV.TEST.MIXED"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(Exists(Spool("news/NG1")));
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(ReadFile(Spool("newsys.rc")), "");
    EXPECT_EQ(GroupKey(1, "Name"), "");
    EXPECT_EQ(Setting("LastGroupNum"), "2");

    // With no group left the cycle fetches nothing and still completes.
    r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.Lines(), kQuietCycle);
}

// Cancelled newest articles: INN keeps their numbers as the group's last,
// and a refused ARTICLE leaves its current article where it was, so NEXT
// names an old one. The cycle stops at that last article all the same, and
// articles that arrive later are fetched.
TEST_F(InnFetchTest, CancelledNewestArticlesDoNotHideLaterOnes) {
    std::string tag = UniqueTag();
    std::replace(tag.begin(), tag.end(), '.', 'x');
    const std::string group = "qiv.test.cancel" + tag;
    ASSERT_TRUE(CtlInnd({"newgroup", group, "y", "qiv"}));
    NntpProbe probe;
    ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
    auto post = [&](int n) {
        const std::string id = "<cancel" + std::to_string(n) + "." + tag + "@qiv.test>";
        const std::string status = probe.Post("From: Canceller <cancel@qiv.test>\nNewsgroups: " +
                                              group + "\nSubject: Article " + std::to_string(n) +
                                              "\nMessage-ID: " + id + "\n\nBody " +
                                              std::to_string(n) + ".\n");
        EXPECT_EQ(status.substr(0, 3), "240") << status;
        return id;
    };
    // The server numbers a new group's articles from 1.
    for (int n = 1; n <= 5; ++n) post(n);
    ASSERT_EQ(probe.ListGroup(group), (std::vector<long>{1, 2, 3, 4, 5}));
    ASSERT_NO_FATAL_FAILURE(FetchOnce(group));
    ASSERT_EQ(GroupKey(1, "Index"), "6");

    for (int n = 6; n <= 7; ++n) ASSERT_TRUE(CtlInnd({"cancel", post(n)}));
    ASSERT_EQ(probe.ListGroup(group), (std::vector<long>{1, 2, 3, 4, 5}));
    ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.Lines(), CycleLog(group));
    EXPECT_EQ(GroupKey(1, "Index"), "8");
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 5u);

    for (int n = 8; n <= 10; ++n) post(n);
    r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> numbers;
    for (const IndexRecord& record : ReadIndex(Spool("1.grp"))) numbers.push_back(record.articleNumber);
    EXPECT_EQ(numbers, (std::vector<std::string>{"1", "2", "3", "4", "5", "8", "9", "10"}));
    EXPECT_EQ(GroupKey(1, "Index"), "11");
}

}  // namespace
}  // namespace interop
