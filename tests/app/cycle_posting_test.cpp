// The posting pass: out.dat record by record, what is deleted and what is
// kept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/commands.h"
#include "app/cycles.h"
#include "cycle_support.h"

namespace apptest {
namespace {

using testsrv::Fault;

class PostingTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        Configure({"LastGroupNum=1"});
    }
    // An article file in the out directory whose subject is its name.
    void Queue(const std::string& name, const std::string& body = "text\r\n") {
        WriteFile(Spool("out/" + name),
                  "Newsgroups: alt.test\r\nSubject: " + name + "\r\n\r\n" + body);
    }
    std::string PostedText(const std::string& name, const std::string& body = "text\n") {
        return "Newsgroups: alt.test\nSubject: " + name + "\n\n" + body;
    }
    // A record as a pass leaves it once handled.
    static std::string HandledRecord(const std::string& name) { return OutRecord(name, 0xFF); }
};

TEST_F(PostingTest, FlaggedRecordIsSkippedAndItsFileKept) {
    for (const char* name : {"one.txt", "two.txt", "three.txt"}) Queue(name);
    WriteFile(Spool("out.dat"),
              OutRecord("one.txt") + OutRecord("two.txt", 1) + OutRecord("three.txt"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("one.txt"), PostedText("three.txt")}));
    EXPECT_FALSE(Exists(Spool("out/one.txt")));
    EXPECT_TRUE(Exists(Spool("out/two.txt")));
    EXPECT_FALSE(Exists(Spool("out/three.txt")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "") << "emptied once every record is handled";
    EXPECT_TRUE(Cycle().report.disconnected);
}

TEST_F(PostingTest, TrailingPartOfARecordIsIgnoredAndTwelveCharacterNamesAreWhole) {
    Queue("ABCDEFGH.TXT");
    Queue("b.txt");
    WriteFile(Spool("out.dat"), OutRecord("ABCDEFGH.TXT") + OutRecord("b.txt") + "x");
    ASSERT_EQ(ReadFile(Spool("out.dat")).size(), 27u);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("ABCDEFGH.TXT"), PostedText("b.txt")}));
    // The trailing byte may be the start of a record: left as it is, and
    // the file with it; the records before it are marked as handled.
    EXPECT_EQ(ReadFile(Spool("out.dat")),
              HandledRecord("ABCDEFGH.TXT") + HandledRecord("b.txt") + "x");
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted().size(), 2u);
}

TEST_F(PostingTest, ExactLogOfAPassWithOnePost) {
    Queue("only.txt");
    WriteFile(Spool("out.dat"), OutRecord("only.txt"));
    // QUIT started by the pass runs with the gate open.
    server_.AddFault(Fault::Delay("QUIT", 300, 1));
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return !ServerCommands("QUIT").empty(); }));
    EXPECT_TRUE(Cycle().appIdle);
    EXPECT_TRUE(Cycle().connected);
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(LogFrom("Posting Messages"),
              (std::vector<std::string>{"Posting Messages", "Finished posting essages",
                                        "Disconnecting from Server", "Server disconnected"}));
}

// Only 240 and 441 are the server's word on the article. Any other answer
// says nothing about it: the pass stops with the file and its record (and
// all after it) queued, and the next pass posts them.
TEST_F(PostingTest, AnswersThatAreNoVerdictStopThePassAndKeepTheQueue) {
    const std::vector<Fault> faults = {
        Fault::Reply("POST", "400 service going away"),
        Fault::Reply("POST", "401 MODE-READER"),
        Fault::Reply("POST", "403 internal fault"),
        Fault::Reply("POST", "480 authentication required"),
        Fault::Reply("POST", "440 posting not allowed"),
        Fault::Reply("POST", "441 not before the article"),
        Fault::Reply("POST_DATA", "400 service going away"),
        Fault::Reply("POST_DATA", "480 authentication required"),
        Fault::Close("POST_DATA"),
        Fault::Reset("POST"),
    };
    int round = 0;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.when + " " + fault.text);
        const std::string a = "a" + std::to_string(round) + ".txt";
        const std::string b = "b" + std::to_string(round++) + ".txt";
        Queue(a);
        Queue(b);
        const std::string queue = OutRecord(a) + OutRecord(b);
        WriteFile(Spool("out.dat"), queue);
        const std::size_t posted = server_.Posted().size();
        server_.ClearFaults();
        server_.AddFault(fault);
        ASSERT_TRUE(RunCycle());
        EXPECT_EQ(server_.Posted().size(), posted);
        EXPECT_TRUE(Exists(Spool("out/" + a)));
        EXPECT_TRUE(Exists(Spool("out/" + b)));
        EXPECT_EQ(ReadFile(Spool("out.dat")), queue);
        if (!fault.text.empty()) {
            EXPECT_EQ(LogFrom("Posting Messages"),
                      (std::vector<std::string>{
                          "Posting Messages", fault.text, "Posting stopped; " + a + " stays queued",
                          "Disconnecting from Server", "Server disconnected"}));
        }
        ExpectDisconnectedState();

        server_.ClearFaults();
        ASSERT_TRUE(RunCycle());
        const std::vector<std::string> all = server_.Posted();
        ASSERT_EQ(all.size(), posted + 2);
        EXPECT_EQ(all[posted], PostedText(a));
        EXPECT_EQ(all[posted + 1], PostedText(b));
        EXPECT_FALSE(Exists(Spool("out/" + a)));
        EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    }
    EXPECT_FALSE(Exists(Spool("out/rejected")));
}

// 441 after the article is the server's verdict: the article goes to
// out/rejected for the sysop, the log names it, and the pass goes on.
TEST_F(PostingTest, ArticleRefusedByTheServerIsMovedToRejected) {
    for (const char* name : {"a.txt", "b.txt"}) Queue(name);
    WriteFile(Spool("out.dat"), OutRecord("a.txt") + OutRecord("b.txt"));
    server_.AddFault(Fault::Reply("POST_DATA", "441 435 Duplicate", 1));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogFrom("Posting Messages"),
              (std::vector<std::string>{"Posting Messages", "441 435 Duplicate",
                                        "a.txt refused by the server; moved to out/rejected/a.txt",
                                        "Finished posting essages", "Disconnecting from Server",
                                        "Server disconnected"}));
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("b.txt")}));
    EXPECT_FALSE(Exists(Spool("out/a.txt")));
    EXPECT_EQ(ReadFile(Spool("out/rejected/a.txt")),
              "Newsgroups: alt.test\r\nSubject: a.txt\r\n\r\ntext\r\n");
    EXPECT_TRUE(Cycle().report.disconnected) << "a refused post is no failed cycle";

    // Another refused article of the same name keeps the first.
    Queue("a.txt", "second\r\n");
    WriteFile(Spool("out.dat"), OutRecord("a.txt"));
    server_.SetPosting(testsrv::Posting::Fail);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("a.txt refused by the server; moved to out/rejected/a.txt.1"), 1);
    EXPECT_NE(ReadFile(Spool("out/rejected/a.txt.1")).find("second"), std::string::npos);
    EXPECT_NE(ReadFile(Spool("out/rejected/a.txt")).find("text"), std::string::npos);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ServerCommands("POST").size(), 3u) << "a refused record is not taken again";
}

// A posted file that cannot be deleted is not posted again by later passes.
TEST_F(PostingTest, PostedFileThatCannotBeDeletedIsPostedOnce) {
    Queue("stuck.txt");
    WriteFile(Spool("out.dat"), OutRecord("stuck.txt"));
    const int fd = open(Spool("out/stuck.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = FS_IMMUTABLE_FL;
    if (ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
        close(fd);
        GTEST_SKIP() << "no immutable files here";
    }
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogCount("stuck.txt was posted but can't be deleted"), 1);
    for (int pass = 0; pass < 2; ++pass) ASSERT_TRUE(RunCycle());
    flags = 0;
    ioctl(fd, FS_IOC_SETFLAGS, &flags);
    close(fd);
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("stuck.txt")}));
    EXPECT_TRUE(Exists(Spool("out/stuck.txt")));
}

TEST_F(PostingTest, ArticleWeCannotPostIsKept) {
    Queue("long.txt", std::string(198, 'x') + "\r\n");
    Queue("ok.txt", std::string(197, 'y') + "\r\n");
    WriteFile(Spool("out.dat"), OutRecord("long.txt") + OutRecord("ok.txt"));
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Exists(Spool("out/long.txt")));
    EXPECT_EQ(LogCount("long.txt not posted, kept: "), 1);
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("ok.txt", std::string(197, 'y') + "\n")}));
    EXPECT_EQ(ServerCommands("POST").size(), 1u) << "nothing of the long one was sent";
}

TEST_F(PostingTest, MissingFilesAndNamesWithPathPartsAreSkipped) {
    Queue("good.txt");
    WriteFile(Spool("victim"), "must survive");
    mkdir(Spool("out/sub").c_str(), 0755);
    WriteFile(Spool("out.dat"), OutRecord("gone.txt") + OutRecord("../victim") +
                                    OutRecord("..\\victim") + OutRecord("sub/x") + OutRecord("..") +
                                    OutRecord("") + OutRecord("sub") + OutRecord("good.txt"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("good.txt")}));
    EXPECT_EQ(ReadFile(Spool("victim")), "must survive");
    EXPECT_TRUE(Exists(Spool("out/sub")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    EXPECT_EQ(LogCount("gone.txt is not in the out directory; skipped"), 1);
    EXPECT_EQ(LogCount("sub is not in the out directory; skipped"), 1);
    for (int record : {2, 3, 4, 5, 6})
        EXPECT_EQ(LogCount("Record " + std::to_string(record) +
                           " of out.dat names no file of the out directory; skipped"),
                  1)
            << record;
}

TEST_F(PostingTest, NoQueueOrLessThanARecord) {
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogFrom("Posting Messages"),
              (std::vector<std::string>{"Posting Messages", "Can't open index file",
                                        "Disconnecting from Server", "Server disconnected"}));
    WriteFile(Spool("out.dat"), "abc");
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogFrom("Posting Messages"),
              (std::vector<std::string>{"Posting Messages", "Disconnecting from Server",
                                        "Server disconnected"}));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "abc") << "a record being written is left alone";
    EXPECT_TRUE(Cycle().report.disconnected);
}

TEST_F(PostingTest, RecordsAppendedDuringAPassAreNotLost) {
    Queue("first.txt");
    Queue("second.txt");
    Queue("third.txt");
    WriteFile(Spool("out.dat"), OutRecord("first.txt"));
    // The first post is answered late; meanwhile the board appends a record.
    server_.AddFault(Fault::Delay("POST", 300, 1));
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return !ServerCommands("POST").empty(); }));
    std::string queue = ReadFile(Spool("out.dat")) + OutRecord("second.txt");
    WriteFile(Spool("out.dat"), queue);
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("first.txt"), PostedText("second.txt")}));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");

    // The board replaces out.dat in the middle of a pass: the new file's
    // records are not deleted with the old one but stay queued.
    Queue("slow.txt");
    WriteFile(Spool("out.dat"), OutRecord("slow.txt"));
    server_.AddFault(Fault::Delay("POST", 300, 3));
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return ServerCommands("POST").size() == 3; }));
    ASSERT_EQ(rename(Spool("out.dat").c_str(), Spool("old.dat").c_str()), 0);
    WriteFile(Spool("out.dat"), OutRecord("third.txt"));
    ASSERT_TRUE(Pump([&] { return !Cycle().Running(); }));
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("third.txt"));
    EXPECT_FALSE(Exists(Spool("qivout.wrk")));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted().back(), PostedText("third.txt"));
}

// Files an earlier version left: its work file (records of a pass cut off
// while retiring the queue; those posted name files that are gone) and its
// retired queue, whose records behind the last marker a board wrote after
// the rename. They are walked before out.dat, then deleted.
TEST_F(PostingTest, QueueFilesOfTheEarlierSchemeArePostedAndRemoved) {
    for (const char* name : {"left.txt", "late.txt", "new.txt", "reused.txt"}) Queue(name);
    WriteFile(Spool("qivout.wrk"), OutRecord("gone.txt") + OutRecord("left.txt"));
    const std::string marker = std::string("\xff:retired:") + std::string(3, '\0');
    WriteFile(Spool("qivout.old"), OutRecord("reused.txt") + marker + OutRecord("late.txt"));
    WriteFile(Spool("out.dat"), OutRecord("new.txt"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("left.txt"), PostedText("late.txt"),
                                        PostedText("new.txt")}));
    EXPECT_TRUE(Exists(Spool("out/reused.txt"))) << "handled before the marker";
    EXPECT_FALSE(Exists(Spool("qivout.wrk")));
    EXPECT_FALSE(Exists(Spool("qivout.old")));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
}

// The board writes a record in pieces, keeps out.dat open across passes
// and reuses a posted file's name: each record is posted once, whole, and
// a part record waits for the pass after it is complete.
TEST_F(PostingTest, RecordsWrittenInPiecesAcrossPassesArePostedOnce) {
    Queue("a.txt");
    Queue("b.txt");
    const int board = open(Spool("out.dat").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    ASSERT_GE(board, 0);
    const auto put = [&](const std::string& bytes) {
        ASSERT_EQ(write(board, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    };
    put(OutRecord("a.txt"));
    put(OutRecord("b.txt").substr(0, 6));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("a.txt")}));

    put(OutRecord("b.txt").substr(6));
    Queue("a.txt", "again\r\n");  // a new article under the posted one's name
    Queue("c.txt");
    put(OutRecord("c.txt").substr(0, 1));
    put(OutRecord("c.txt").substr(1));
    ASSERT_TRUE(RunCycle());
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("a.txt"), PostedText("b.txt"),
                                                          PostedText("c.txt")}));
    EXPECT_TRUE(Exists(Spool("out/a.txt"))) << "no record names the new a.txt";
    // Held open by the board, out.dat keeps its handled records.
    EXPECT_EQ(ReadFile(Spool("out.dat")),
              HandledRecord("a.txt") + HandledRecord("b.txt") + HandledRecord("c.txt"));
    close(board);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    EXPECT_EQ(server_.Posted().size(), 3u);
}

}  // namespace
}  // namespace apptest
