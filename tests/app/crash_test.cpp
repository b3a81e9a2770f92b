// The gateway stopped dead (SIGKILL, power cut of the process) at any moment
// of a cycle: the files it leaves are whole, no article is indexed twice,
// and the next cycle completes where the killed one stopped.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/cycles.h"
#include "cycle_support.h"
#include "platform/profile.h"
#include "run_program.h"
#include "spool/article_index.h"
#include "spool/index_record.h"

namespace apptest {
namespace {

// Every line of a profile file: a section header, key=value, a comment or
// empty, each ended by CR LF.
::testing::AssertionResult ProfileIsWhole(const std::string& path) {
    const std::string text = ReadFile(path);
    if (text.empty()) return ::testing::AssertionFailure() << path << " is empty or missing";
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            return ::testing::AssertionFailure() << path << ": last line without CR LF";
        const std::string line = text.substr(start, end - start);
        const bool ok = line.empty() || line[0] == ';' || (line[0] == '[' && line.back() == ']') ||
                        line.find('=') != std::string::npos;
        if (!ok) return ::testing::AssertionFailure() << path << ": line \"" << line << "\"";
        start = end + 2;
    }
    return ::testing::AssertionSuccess();
}

class CrashTest : public CycleTest {
protected:
    // A record for `article` as the cycle would have appended it, and its file.
    void Indexed(int group, const std::string& name, long article, long fileNumber) {
        spool::ArticleHeaders headers;
        headers.from = "p@example.invalid";
        headers.subject = "Article " + std::to_string(article);
        headers.articleNumber = static_cast<std::int32_t>(article);
        ASSERT_TRUE(spool::AppendArticleIndex(spool_, headers, group,
                                              static_cast<std::int32_t>(fileNumber)));
        char file[32];
        std::snprintf(file, sizeof file, "news/NG%d/%08ld.nws", group, fileNumber);
        WriteFile(Spool(file), Stored(ArticleText(name, article)));
    }
};

// Stopped after the index record of an article was written but before the
// counters: neither the article nor its file number is used again.
TEST_F(CrashTest, StopBetweenIndexAndCountersIndexesNothingTwice) {
    server_.AddGroup(MakeGroup("alt.a", 1, 3));
    server_.AddGroup(MakeGroup("alt.b", 7, 8));
    Subscribe(1, "alt.a", "2");  // article 2 was indexed, Index still names it
    Subscribe(2, "alt.b");       // its first article was indexed, no Index yet
    Indexed(1, "alt.a", 1, 0);
    Indexed(1, "alt.a", 2, 1);
    Indexed(2, "alt.b", 7, 2);
    Configure({"LastFileNumIn=1"});
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);

    const std::vector<IndexEntry> a = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[2].articleNumber, 3);
    const std::vector<IndexEntry> b = ReadIndex(Spool("2.grp"));
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[1].articleNumber, 8);
    EXPECT_EQ(ServerCommands("ARTICLE"), (std::vector<std::string>{"ARTICLE 3", "ARTICLE 8"}));
    // New articles got file numbers of their own.
    for (const auto* index : {&a, &b}) {
        std::set<std::string> files;
        for (const IndexEntry& e : *index) EXPECT_TRUE(files.insert(e.fileName).second);
    }
    EXPECT_EQ(ReadFile(Spool("news/NG1/" + a[2].fileName)), Stored(ArticleText("alt.a", 3)));
    EXPECT_EQ(Ini("NG1", "Index"), "4");
    EXPECT_EQ(Ini("NG2", "Index"), "9");
    EXPECT_EQ(LogCount("Index 2 of NG1 is behind its index file; moved to 3"), 1);
    EXPECT_EQ(LogCount("Index 0 of NG2 is behind its index file; moved to 8"), 1);

    // An Index set beyond the index (articles skipped on purpose) stays.
    server_.AddArticle("alt.a", {4, ArticleText("alt.a", 4)});
    server_.AddArticle("alt.a", {5, ArticleText("alt.a", 5)});
    ASSERT_TRUE(plat::WriteProfileString("NG1", "Index", "5", "qivnews.ini"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ReadIndex(Spool("1.grp")).back().articleNumber, 5);
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 4u);
}

// A file-size limit makes the article's write fail: the cycle breaks off
// with the reason in the log instead of the process dying of SIGXFSZ, and
// leaves nothing half-written.
TEST_F(CrashTest, FileSizeLimitFailsTheWriteInsteadOfKilling) {
    testsrv::Group g{"alt.big", {{1, "Subject: big\n\n" + std::string(8000, 'x') + "\n"}}};
    server_.AddGroup(g);
    Subscribe(1, "alt.big");
    const std::string work = MakeTempDir();
    WriteFile(dir_ + "/qiv.ini", IniText({"UserVerification=NO", "LastGroupNum=2",
                                          "LastFileNumIn=0", "NNTPServer=127.0.0.1"}) +
                                     "NNTPPort=" + std::to_string(server_.Port()) +
                                     "\r\nQivNewsDir=" + spool_ + "\r\n");
    ProgramRun run;
    run.args = {"--profile-dir", dir_, "--once"};
    run.workDir = work;
    run.env["TMPDIR"] = work;

    // The child starts with the default action, as from a shell, and the
    // limit; this process gets its own back at once.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 4096;
    const auto oldAction = signal(SIGXFSZ, SIG_DFL);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    const pid_t pid = StartProgram(run);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldAction);
    const ProgramResult limited = FinishProgram(pid, run);
    EXPECT_EQ(limited.signal, 0);
    EXPECT_EQ(limited.status, 1);
    // Pipelined (the default), an article arrives under a name of its own.
    EXPECT_NE(limited.out.find("Unable to write " + spool_ + "/news/NG1/00000000.part"),
              std::string::npos)
        << limited.out;
    EXPECT_FALSE(Exists(Spool("news/NG1/00000000.nws")));
    EXPECT_FALSE(Exists(Spool("news/NG1/00000000.part")));
    EXPECT_FALSE(Exists(Spool("1.grp")));
    EXPECT_EQ(Ini("NG1", "Index"), "(missing)");

    const ProgramResult free = RunProgram(run);
    EXPECT_EQ(free.status, 0) << free.out << free.err;
    ASSERT_EQ(ReadIndex(Spool("1.grp")).size(), 1u);
    RemoveTree(work);
}

// ---- The kill loop ----

constexpr int kGroups = 3;
constexpr int kCycles = 50;

class KillLoopTest : public ProgramCycleTest {
protected:
    static std::string GroupName(int g) { return "alt.crash." + std::to_string(g); }

    void WriteProfile() {
        std::string text = IniText({"UserVerification=NO", "LastFileNumIn=0"});
        text += "NNTPServer=127.0.0.1\r\nNNTPPort=" + std::to_string(server_.Port()) + "\r\n";
        text += "QivNewsDir=" + spool_ + "\r\n";
        text += "LastGroupNum=" + std::to_string(kGroups + 1) + "\r\n";
        if (pipelineDepth_ > 0) text += "PipelineDepth=" + std::to_string(pipelineDepth_) + "\r\n";
        WriteFile(dir_ + "/qiv.ini", text);
    }

    // The board's side: a new article file and its out.dat record.
    void QueuePost() {
        const std::string name = "p" + std::to_string(posts_.size()) + ".txt";
        const std::string text = "Newsgroups: alt.crash.1\nSubject: post " +
                                 std::to_string(posts_.size()) + "\n\nline one\nline two\n";
        WriteFile(Spool("out/" + name), text);
        const std::string queue = Exists(Spool("out.dat")) ? ReadFile(Spool("out.dat")) : "";
        WriteFile(Spool("out.dat"), queue + OutRecord(name));
        posts_.push_back(text);
    }

    void AddArticles(std::mt19937& rng) {
        for (int g = 1; g <= kGroups; ++g) {
            const long count = std::uniform_int_distribution<long>(0, 5)(rng);
            for (long i = 0; i < count; ++i) {
                const long n = ++last_[g];
                server_.AddArticle(GroupName(g), {n, ArticleText(GroupName(g), n)});
            }
        }
    }

    // What a killed run may leave and what it may not.
    void ExpectWholeFiles(int cycle) {
        SCOPED_TRACE("after cycle " + std::to_string(cycle));
        EXPECT_TRUE(ProfileIsWhole(dir_ + "/qiv.ini"));
        EXPECT_TRUE(ProfileIsWhole(dir_ + "/qivnews.ini"));
        for (int g = 1; g <= kGroups; ++g) {
            const std::string path = Spool(std::to_string(g) + ".grp");
            struct stat st;
            if (stat(path.c_str(), &st) != 0) continue;
            EXPECT_EQ(st.st_size % static_cast<off_t>(spool::kRecordSize), 0) << path;
            std::set<long> articles;
            std::set<std::string> files;
            for (const IndexEntry& e : ReadIndex(path)) {
                EXPECT_TRUE(articles.insert(e.articleNumber).second)
                    << "article " << e.articleNumber << " of group " << g << " indexed twice";
                EXPECT_TRUE(files.insert(e.fileName).second) << e.fileName << " named twice";
                EXPECT_EQ(ReadFile(Spool("news/NG" + std::to_string(g) + "/" + e.fileName)),
                          Stored(ArticleText(GroupName(g), e.articleNumber)))
                    << e.fileName;
            }
            // Index never passes an article that is not stored.
            std::int32_t index = 0;
            const std::string text = Ini("NG" + std::to_string(g), "Index");
            if (text != "(missing)") index = std::stoi(text);
            for (long n = 1; n < index; ++n)
                if (Kept(n)) {
                    EXPECT_TRUE(articles.count(n)) << "Index " << index << " passed article " << n;
                }
        }
        // Posts: a queued file is either still there or was posted.
        for (std::size_t i = 0; i < posts_.size(); ++i) {
            if (Exists(Spool("out/p" + std::to_string(i) + ".txt"))) continue;
            EXPECT_TRUE(Posted(i)) << "post " << i << " deleted unposted";
        }
    }

    bool Posted(std::size_t i) const {
        for (const std::string& p : server_.Posted())
            if (p == posts_[i]) return true;
        return false;
    }

    // After a run that completed: everything the server has is indexed
    // once, in order, and the queue is empty.
    void ExpectComplete(int cycle) {
        SCOPED_TRACE("complete after cycle " + std::to_string(cycle));
        for (int g = 1; g <= kGroups; ++g) {
            const std::vector<IndexEntry> index = ReadIndex(Spool(std::to_string(g) + ".grp"));
            std::vector<long> kept, indexed;
            for (long n = 1; n <= last_[g]; ++n)
                if (Kept(n)) kept.push_back(n);
            for (const IndexEntry& e : index) indexed.push_back(e.articleNumber);
            ASSERT_EQ(indexed, kept) << "group " << g;
            // No file is left beside the indexed ones: whatever a kill left
            // was taken over by the run that completed.
            std::set<std::string> named;
            for (const IndexEntry& e : index) named.insert(e.fileName);
            std::set<std::string> present;
            if (DIR* d = opendir(Spool("news/NG" + std::to_string(g)).c_str())) {
                while (const dirent* e = readdir(d))
                    if (e->d_name[0] != '.') present.insert(e->d_name);
                closedir(d);
            }
            EXPECT_EQ(present, named) << "group " << g;
            // A group that never had an article has no Index yet.
            EXPECT_EQ(Ini("NG" + std::to_string(g), "Index"),
                      last_[g] == 0 ? "(missing)" : std::to_string(last_[g] + 1));
        }
        for (std::size_t i = 0; i < posts_.size(); ++i) {
            EXPECT_TRUE(Posted(i)) << "post " << i;
            EXPECT_FALSE(Exists(Spool("out/p" + std::to_string(i) + ".txt")));
        }
        EXPECT_EQ(ReadFile(Spool("out.dat")), "");
        EXPECT_FALSE(Exists(Spool("qivout.wrk")));
    }

    // Runs --once and kills it once the server has seen `commands` more
    // commands and a further `delayUs` have passed; false when it ended by
    // itself first. The server stops answering two commands later, so that
    // on a fast machine the run cannot finish inside the delay: the kill
    // then lands while it handles one of the last replies or waits for the
    // next.
    bool RunAndKill(std::size_t commands, int delayUs) {
        const std::size_t base = server_.Commands().size();
        server_.StallFromCommand(base + commands + 2);
        const ProgramRun run = Run();
        const pid_t pid = StartProgram(run);
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        bool ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (server_.Commands().size() < base + commands) {
            pollfd p{pidfd, POLLIN, 0};
            if (poll(&p, 1, 1) > 0) {
                ended = true;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the run neither ended nor went on";
                break;
            }
        }
        if (!ended) {
            if (delayUs > 0) usleep(static_cast<useconds_t>(delayUs));
            kill(pid, SIGKILL);
        }
        close(pidfd);
        const ProgramResult result = FinishProgram(pid, run, 10000);
        server_.StallFromCommand(0);
        return result.signal == SIGKILL;
    }

    // With filters on, articles whose number ends in 7 are kept out.
    bool Kept(long n) const { return !filtered_ || n % 10 != 7; }
    long KeptUpTo(long last) const {
        long kept = 0;
        for (long n = 1; n <= last; ++n) kept += Kept(n) ? 1 : 0;
        return kept;
    }
    void FilterSevens() {
        filtered_ = true;
        WriteFile(dir_ + "/filters.txt", "Header Subject ^Article [0-9]*7 of\n");
    }

    std::map<int, long> last_;
    std::vector<std::string> posts_;
    bool filtered_ = false;
};

// At each depth: pipelined, several articles are on their way when the kill
// comes.
class FetchKillLoopTest : public KillLoopTest, public ::testing::WithParamInterface<int> {
protected:
    bool LockStep() const { return GetParam() == 1; }
    void KillLoop();
};

TEST_P(FetchKillLoopTest, KilledAtRandomMomentsLosesAndDuplicatesNothing) {
    KillLoop();
}

// The same with a filter rule: what it keeps out is never stored, and
// whatever a kill cut off around it is.
TEST_P(FetchKillLoopTest, KilledAtRandomMomentsWithFiltersOnLosesAndDuplicatesNothing) {
    FilterSevens();
    KillLoop();
}

void FetchKillLoopTest::KillLoop() {
    pipelineDepth_ = GetParam();
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    if (const char* fixed = std::getenv("QIV_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
    std::printf("kill loop seed %u (QIV_CRASH_SEED=%u repeats it)\n", seed, seed);
    RecordProperty("seed", std::to_string(seed));
    std::mt19937 rng(seed);

    for (int g = 1; g <= kGroups; ++g) {
        server_.AddGroup({GroupName(g), {}});
        last_[g] = 0;
        Subscribe(g, GroupName(g));
    }
    WriteProfile();

    int killed = 0;
    int completed = 0;
    for (int cycle = 1; cycle <= kCycles && !HasFailure(); ++cycle) {
        AddArticles(rng);
        if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) QueuePost();
        // Roughly the commands of the whole cycle (GROUP and the last NEXT
        // of each group, ARTICLE and NEXT per article still to fetch, a POST
        // per queued file, QUIT), so that kills fall in every part of it.
        long pending = 0;
        for (int g = 1; g <= kGroups; ++g)
            pending += KeptUpTo(last_[g]) -
                       static_cast<long>(ReadIndex(Spool(std::to_string(g) + ".grp")).size());
        long queued = 0;
        for (std::size_t i = 0; i < posts_.size(); ++i)
            queued += Exists(Spool("out/p" + std::to_string(i) + ".txt")) ? 1 : 0;
        const std::size_t span = static_cast<std::size_t>(2 * kGroups + 2 * pending + queued + 1);
        const std::size_t commands = std::uniform_int_distribution<std::size_t>(0, span - 1)(rng);
        const int delayUs = std::uniform_int_distribution<int>(0, 3000)(rng);
        killed += RunAndKill(commands, delayUs) ? 1 : 0;
        ExpectWholeFiles(cycle);
        // Now and then the run after a kill is killed as well, on top of what
        // the first one left.
        if (std::uniform_int_distribution<int>(0, 2)(rng) == 0) {
            const std::size_t again = std::uniform_int_distribution<std::size_t>(0, span - 1)(rng);
            killed += RunAndKill(again, std::uniform_int_distribution<int>(0, 3000)(rng)) ? 1 : 0;
            ExpectWholeFiles(cycle);
        }
        // The next run that is let be finishes, with everything in order.
        const ProgramResult done = RunProgram(Run(), 30000);
        ASSERT_EQ(done.status, 0) << "cycle " << cycle << "\n" << done.err;
        ++completed;
        ExpectWholeFiles(cycle);
        ExpectComplete(cycle);
    }
    // A profile write killed between its temporary file and the rename
    // leaves that file behind; it is harmless, but worth knowing about.
    int leftovers = 0;
    if (DIR* d = opendir(dir_.c_str())) {
        while (const dirent* e = readdir(d))
            leftovers += std::strstr(e->d_name, ".ini.") != nullptr ? 1 : 0;
        closedir(d);
    }
    std::printf("%d runs killed, %d completed, %d temporary profile files left\n", killed,
                completed, leftovers);
    if (!HasFailure()) {
        EXPECT_GT(killed, kCycles / 2) << "the kills came too late to test anything";
    }
}

// Killed while the second group's article is half received; the next run
// stores a new article of the first group under the number that half
// article had. What the kill left in the second group's directory is
// removed when that group starts, and unsubscribing it leaves nothing.
TEST_P(FetchKillLoopTest, KilledInTheMiddleOfAGroupLeavesNoFileBehindOnceARunCompletes) {
    pipelineDepth_ = GetParam();
    server_.AddGroup(MakeGroup(GroupName(1), 1, 1));
    server_.AddGroup(MakeGroup(GroupName(2), 1, 3));
    Subscribe(1, GroupName(1));
    Subscribe(2, GroupName(2));
    WriteFile(Spool("newsys.rc"), GroupName(1) + ":1\r\n" + GroupName(2) + ":2\r\n");
    WriteProfile();
    server_.AddFault(testsrv::Fault::StallAfter("ARTICLE", 150, 3));
    const ProgramRun run = Run();
    const pid_t pid = StartProgram(run);
    // File 0 is the first group's article, 1 the second's first.
    const std::string half = Spool(LockStep() ? "news/NG2/00000002.nws" : "news/NG2/00000002.part");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Exists(half) && std::chrono::steady_clock::now() < deadline) usleep(1000);
    ASSERT_TRUE(Exists(half));
    kill(pid, SIGKILL);
    EXPECT_EQ(FinishProgram(pid, run, 10000).signal, SIGKILL);

    server_.AddArticle(GroupName(1), {2, ArticleText(GroupName(1), 2)});
    const ProgramResult done = RunProgram(Run(), 30000);
    ASSERT_EQ(done.status, 0) << done.out << done.err;
    // The half article, and the one before it when the kill came between
    // its name and its record.
    EXPECT_NE((done.out + done.err).find(" of NG2 that no index record names"), std::string::npos)
        << done.out << done.err;
    ExpectGroupHolds(1, GroupName(1), {1, 2}, -1);
    ExpectGroupHolds(2, GroupName(2), {1, 2, 3}, -1);

    const ProgramResult gone = Qiv({"unsubscribe", GroupName(2)});
    EXPECT_EQ(gone.status, 0) << gone.out << gone.err;
    EXPECT_FALSE(Exists(Spool("news/NG2")));
    // A directory the sysop made inside stays, and says so.
    ASSERT_EQ(mkdir(Spool("news/NG1/keep").c_str(), 0700), 0);
    const ProgramResult stayed = Qiv({"unsubscribe", GroupName(1)});
    EXPECT_EQ(stayed.status, 1);
    EXPECT_NE(stayed.err.find("news/NG1 stayed with 1 entry that could not be removed, keep"),
              std::string::npos)
        << stayed.err;
    EXPECT_EQ(DirectoryNames(Spool("news/NG1")), std::vector<std::string>{"keep"});
}

INSTANTIATE_TEST_SUITE_P(Depths, FetchKillLoopTest, ::testing::ValuesIn(FetchDepths()),
                         [](const auto& info) { return DepthName(info.param); });

// ---- The posting loop ----

constexpr int kLoopRecords = 1000;
using testsrv::Fault;

// The board appends records in pieces of 1 to 13 bytes, pausing between
// them until the gateway has moved on a little, while runs post and are
// killed, lose their connection or have a post refused at random points.
// The server (which, as INN does, answers a Message-ID it has taken before
// with 441) must take every record exactly once; only a record refused by
// a fault is not taken, and its article is in out/rejected.
TEST_F(KillLoopTest, BoardWritingInPiecesWhileRunsFailPostsEveryRecordOnce) {
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    if (const char* fixed = std::getenv("QIV_CRASH_SEED")) seed = std::strtoul(fixed, nullptr, 10);
    std::printf("posting loop seed %u (QIV_CRASH_SEED=%u repeats it)\n", seed, seed);
    RecordProperty("seed", std::to_string(seed));
    server_.SetPosting(testsrv::Posting::AcceptOnce);
    WriteFile(dir_ + "/qiv.ini",
              IniText({"UserVerification=NO", "LastGroupNum=1", "NNTPServer=127.0.0.1"}) +
                  "NNTPPort=" + std::to_string(server_.Port()) + "\r\nQivNewsDir=" + spool_ +
                  "\r\n");
    const auto name = [](int i) {
        char text[16];
        std::snprintf(text, sizeof text, "p%04d.txt", i);
        return std::string(text);
    };
    const auto text = [](int i) {
        return "Newsgroups: alt.loop\nMessage-ID: <" + std::to_string(i) +
               ".loop@qiv.test>\nSubject: record " + std::to_string(i) + "\n\nbody\n";
    };

    std::atomic<int> written{0};
    const std::string spool = spool_;
    std::thread board([&, seed] {
        std::mt19937 rng(seed + 1);
        int fd = -1;
        for (int i = 0; i < kLoopRecords; ++i) {
            WriteFile(spool + "/out/" + name(i), Stored(text(i)));
            // Now and then the board lets go of out.dat, or opens it anew.
            if (fd < 0 || std::uniform_int_distribution<int>(0, 7)(rng) == 0) {
                if (fd >= 0) close(fd);
                fd = open((spool + "/out.dat").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                          0644);
                ASSERT_GE(fd, 0);
            }
            const std::string record = OutRecord(name(i));
            for (std::size_t at = 0; at < record.size();) {
                const std::size_t piece = std::min<std::size_t>(
                    record.size() - at, std::uniform_int_distribution<std::size_t>(1, 13)(rng));
                ASSERT_EQ(write(fd, record.data() + at, piece), static_cast<ssize_t>(piece));
                at += piece;
                // A pause: until the server has written a few more times, or
                // up to two milliseconds when no run is under way.
                const long writes = server_.Writes() + std::uniform_int_distribution<int>(0, 3)(rng);
                const auto until = std::chrono::steady_clock::now() +
                                   std::chrono::microseconds(
                                       std::uniform_int_distribution<int>(0, 2000)(rng));
                while (server_.Writes() < writes && std::chrono::steady_clock::now() < until) {
                }
            }
            written = i + 1;
        }
        close(fd);
    });

    std::mt19937 rng(seed);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(50);
    int runs = 0, killed = 0, cut = 0, refused = 0;
    bool finalRun = false;
    while (std::chrono::steady_clock::now() < deadline && !HasFailure()) {
        const bool boardDone = written.load() == kLoopRecords;
        const int posts = static_cast<int>(ServerCommands("POST").size());
        ++runs;
        switch (boardDone ? 3 : std::uniform_int_distribution<int>(0, 5)(rng)) {
            case 0:
                killed += RunAndKill(std::uniform_int_distribution<std::size_t>(1, 40)(rng),
                                     std::uniform_int_distribution<int>(0, 300)(rng))
                              ? 1
                              : 0;
                continue;
            case 1:
                ++cut;
                server_.AddFault(std::uniform_int_distribution<int>(0, 1)(rng) == 0
                                     ? Fault::Close("POST_DATA", posts + 1 +
                                                    std::uniform_int_distribution<int>(0, 5)(rng))
                                     : Fault::Reset("POST_LINE", 0));
                break;
            case 2:
                ++refused;
                server_.AddFault(Fault::Reply("POST_DATA", "441 refused by the loop",
                                              posts + 1 + std::uniform_int_distribution<int>(0, 5)(rng)));
                break;
            default:
                break;
        }
        const ProgramResult r = RunProgram(Run(), 30000);
        server_.ClearFaults();
        ASSERT_EQ(r.signal, 0) << r.err;
        if (finalRun) {
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            break;
        }
        finalRun = boardDone;
    }
    board.join();
    ASSERT_TRUE(finalRun) << "not done within the bound after " << runs << " runs";

    std::map<std::string, int> taken;
    std::map<std::string, int> refusals;
    for (const testsrv::PostRecord& p : server_.PostLog()) {
        if (!p.complete) continue;
        if (p.replyCode / 100 == 2) ++taken[p.text];
        if (p.replyCode == 441) ++refusals[p.text];
    }
    int rejected = 0;
    for (int i = 0; i < kLoopRecords && !HasFailure(); ++i) {
        const std::string posted = text(i);
        if (taken[posted] == 0) {
            EXPECT_GT(refusals[posted], 0) << name(i) << " was neither taken nor refused";
            EXPECT_TRUE(Exists(Spool("out/rejected/" + name(i)))) << name(i);
            ++rejected;
        } else {
            EXPECT_EQ(taken[posted], 1) << name(i);
        }
        EXPECT_FALSE(Exists(Spool("out/" + name(i)))) << name(i);
    }
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    std::printf("%d runs: %d killed, %d cut off, %d with a refusal; %d records refused\n", runs,
                killed, cut, refused, rejected);
}

}  // namespace
}  // namespace apptest
