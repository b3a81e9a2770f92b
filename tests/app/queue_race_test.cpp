// The board appends to out.dat whenever it likes, also while a posting pass
// runs over a slow server: no record it appends is lost or posted twice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "app/cycles.h"
#include "cycle_support.h"

namespace apptest {
namespace {

using testsrv::Fault;

constexpr int kArticles = 150;

std::string Name(int i) {
    return "q" + std::to_string(i) + ".txt";
}

std::string Text(int i) {
    return "Newsgroups: alt.q\nSubject: queued " + std::to_string(i) + "\n\nbody\n";
}

class QueueRaceTest : public CycleTest {};

TEST_F(QueueRaceTest, RecordsAppendedDuringPassesAreEachPostedOnce) {
    server_.AddFault(Fault::Delay("POST", 1));
    Configure({"LastGroupNum=1"});

    // The board appends each next record just as the gateway has posted the
    // one before: it deletes that file, looks at out.dat for more, and ends
    // its pass. A jitter of some microseconds spreads the appends over that
    // stretch. When no post comes (the record went to a pass that had just
    // ended), it appends anyway.
    std::atomic<bool> done{false};
    const std::string spool = Spool();
    std::thread board([&] {
        std::mt19937 rng(12345);
        for (int i = 0; i < kArticles; ++i) {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
            if (i > 0) {
                const std::string previous = spool + "/out/" + Name(i - 1);
                while (access(previous.c_str(), F_OK) == 0 &&
                       std::chrono::steady_clock::now() < giveUp) {
                }
            }
            const auto at =
                std::chrono::steady_clock::now() +
                std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40)(rng));
            while (std::chrono::steady_clock::now() < at) {
            }
            // As the board does it: the file first, then its record, appended
            // to out.dat (created when missing) in one write.
            WriteFile(spool + "/out/" + Name(i), Stored(Text(i)));
            const std::string record = OutRecord(Name(i));
            const int fd =
                open((spool + "/out.dat").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, record.data(), record.size()), static_cast<ssize_t>(record.size()));
            close(fd);
        }
        done = true;
    });

    int passes = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        const bool last = done.load();
        ASSERT_TRUE(RunCycle()) << "pass " << passes;
        ASSERT_TRUE(Cycle().report.disconnected);
        ++passes;
        // One more pass after the board has finished takes what is left.
        if (last) break;
    }
    board.join();

    std::map<std::string, int> posted;
    for (const std::string& text : server_.Posted()) ++posted[text];
    for (int i = 0; i < kArticles; ++i) {
        EXPECT_EQ(posted[Text(i)], 1) << Name(i);
        EXPECT_FALSE(Exists(Spool("out/" + Name(i)))) << Name(i);
    }
    EXPECT_EQ(server_.Posted().size(), static_cast<std::size_t>(kArticles));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    EXPECT_FALSE(Exists(Spool("qivout.wrk")));
    std::printf("%d passes\n", passes);
}

// A board that opened out.dat before a pass and writes its record after
// it: the record is in out.dat, which the pass left in place (the board
// had it open), and the next pass posts it, and nothing before it again.
TEST_F(QueueRaceTest, ARecordWrittenThroughAnOldHandleIsPostedByTheNextPass) {
    Configure({"LastGroupNum=1"});
    WriteFile(Spool("out/first.txt"), Stored(Text(1)));
    WriteFile(Spool("out.dat"), OutRecord("first.txt"));
    const int late = open(Spool("out.dat").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(late, 0);
    ASSERT_TRUE(RunCycle());

    WriteFile(Spool("out/late.txt"), Stored(Text(2)));
    const std::string record = OutRecord("late.txt");
    ASSERT_EQ(write(late, record.data(), record.size()), static_cast<ssize_t>(record.size()));
    close(late);
    // The board then opens it anew for the next record.
    WriteFile(Spool("out/new.txt"), Stored(Text(3)));
    const std::string next = OutRecord("new.txt");
    const int fd = open(Spool("out.dat").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, next.data(), next.size()), static_cast<ssize_t>(next.size()));
    close(fd);

    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{Text(1), Text(2), Text(3)}));
    EXPECT_FALSE(Exists(Spool("out/late.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    // Nothing is left for a third pass.
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted().size(), 3u);
}

}  // namespace
}  // namespace apptest
