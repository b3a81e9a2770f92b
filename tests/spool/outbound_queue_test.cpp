#include "spool/outbound_queue.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <string>
#include <vector>

#include "spool_fixture.h"

namespace {

using spooltest::Exists;
using spooltest::ReadBytes;
using spooltest::WriteBytes;
using Next = spool::OutboundQueue::Next;

std::string QueueRecord(const std::string& name, char flag = 0) {
    std::string record(13, '\0');
    record[0] = flag;
    record.replace(1, name.size(), name);
    return record;
}

class OutboundQueueTest : public spooltest::SpoolTest {
protected:
    void SetUp() override {
        SpoolTest::SetUp();
        ::mkdir(At("out").c_str(), 0700);
        ::mkdir(At("out/rejected").c_str(), 0700);
    }
    bool Begin() {
        return queue.Begin(Spool(), [this](const std::string& line) { log.push_back(line); });
    }
    // The next article's name; empty when the pass ended.
    std::string NextName() {
        return queue.NextArticle() == Next::Article ? queue.ArticleName() : std::string();
    }

    spool::OutboundQueue queue;
    std::vector<std::string> log;
};

TEST_F(OutboundQueueTest, EachVerdictMarksItsRecord) {
    for (const char* name : {"a.txt", "b.txt", "c.txt", "x.txt"}) WriteBytes(At("out/") + name, "t");
    WriteBytes(At("out/rejected/b.txt"), "earlier");
    WriteBytes(At("out.dat"), QueueRecord("x.txt", 1) + QueueRecord("a.txt") + QueueRecord("b.txt") +
                                  QueueRecord("../x.txt") + QueueRecord("gone.txt") + QueueRecord("c.txt"));
    ASSERT_TRUE(Begin());
    EXPECT_EQ(NextName(), "a.txt");
    std::string line;
    ASSERT_TRUE(queue.Article().ReadLine(line));
    EXPECT_EQ(line, "t");
    EXPECT_TRUE(queue.Posted());
    EXPECT_EQ(NextName(), "b.txt");
    EXPECT_TRUE(queue.Refused());
    EXPECT_EQ(NextName(), "c.txt");
    EXPECT_TRUE(queue.Kept("too long"));
    EXPECT_EQ(queue.NextArticle(), Next::Done);
    EXPECT_FALSE(queue.Walking());
    EXPECT_TRUE(queue.AnyRecord());

    EXPECT_EQ(ReadBytes(At("out.dat")), "") << "every record handled: emptied";
    EXPECT_FALSE(Exists(At("out/a.txt")));
    EXPECT_EQ(ReadBytes(At("out/rejected/b.txt.1")), "t");
    EXPECT_TRUE(Exists(At("out/c.txt")));
    EXPECT_TRUE(Exists(At("out/x.txt")));
    EXPECT_EQ(log, (std::vector<std::string>{
                       "b.txt refused by the server; moved to out/rejected/b.txt.1",
                       "Record 4 of out.dat names no file of the out directory; skipped",
                       "gone.txt is not in the out directory; skipped",
                       "c.txt not posted, kept: too long",
                   }));
}

TEST_F(OutboundQueueTest, ArticleWithoutAVerdictStaysQueued) {
    WriteBytes(At("out/a.txt"), "t");
    WriteBytes(At("out/b.txt"), "t");
    const std::string queued = QueueRecord("a.txt") + QueueRecord("b.txt");
    WriteBytes(At("out.dat"), queued);
    ASSERT_TRUE(Begin());
    EXPECT_EQ(NextName(), "a.txt");
    queue.Close();
    EXPECT_FALSE(queue.Walking());
    EXPECT_FALSE(queue.Article().IsOpen());
    EXPECT_EQ(ReadBytes(At("out.dat")), queued);
    ASSERT_TRUE(Begin());
    EXPECT_EQ(NextName(), "a.txt");
}

TEST_F(OutboundQueueTest, RecordThatCannotBeMarkedStopsThePass) {
    WriteBytes(At("out/a.txt"), "t");
    WriteBytes(At("out/b.txt"), "t");
    // Marks at offset 13 and beyond fail under the limit.
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 13;
    signal(SIGXFSZ, SIG_IGN);
    for (bool skipped : {false, true}) {
        SCOPED_TRACE(skipped ? "a skipped record" : "a posted one");
        const std::string second = skipped ? QueueRecord("b/c") : QueueRecord("b.txt");
        WriteBytes(At("out.dat"), QueueRecord("a.txt", 1) + second);
        ASSERT_TRUE(Begin());
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const Next next = queue.NextArticle();
        if (!skipped) {
            EXPECT_EQ(next, Next::Article);
            EXPECT_FALSE(queue.Posted());
        } else {
            EXPECT_EQ(next, Next::Stopped);
        }
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(queue.StopReason(), "Can't mark record 2 of out.dat as handled; posting stopped");
        EXPECT_FALSE(queue.Walking());
        EXPECT_EQ(ReadBytes(At("out.dat")), QueueRecord("a.txt", 1) + second);
    }
}

}  // namespace
