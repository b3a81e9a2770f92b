// The posting pass: out.dat record by record, what is deleted and what is
// kept.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
    EXPECT_FALSE(Exists(Spool("out.dat")));
    EXPECT_TRUE(app::LastCycle().disconnected);
}

TEST_F(PostingTest, TrailingPartOfARecordIsIgnoredAndTwelveCharacterNamesAreWhole) {
    Queue("ABCDEFGH.TXT");
    Queue("b.txt");
    WriteFile(Spool("out.dat"), OutRecord("ABCDEFGH.TXT") + OutRecord("b.txt") + "x");
    ASSERT_EQ(ReadFile(Spool("out.dat")).size(), 27u);
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("ABCDEFGH.TXT"), PostedText("b.txt")}));
    EXPECT_FALSE(Exists(Spool("out.dat")));
}

TEST_F(PostingTest, ExactLogOfAPassWithOnePost) {
    Queue("only.txt");
    WriteFile(Spool("out.dat"), OutRecord("only.txt"));
    // QUIT started by the pass runs with the gate open.
    server_.AddFault(Fault::Delay("QUIT", 300, 1));
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return !ServerCommands("QUIT").empty(); }));
    EXPECT_EQ(app::App().appIdle, 1);
    EXPECT_EQ(app::App().mainWindowData->connected, 1);
    ASSERT_TRUE(Pump([] { return !app::LastCycle().running; }));
    EXPECT_EQ(LogFrom("Posting Messages"),
              (std::vector<std::string>{"Posting Messages", "Finished posting essages",
                                        "Disconnecting from Server", "Server disconnected"}));
}

TEST_F(PostingTest, RejectedPostIsLoggedItsFileDeletedAndThePassGoesOn) {
    Queue("a.txt");
    Queue("b.txt");
    WriteFile(Spool("out.dat"), OutRecord("a.txt") + OutRecord("b.txt"));
    server_.AddFault(Fault::Reply("POST", "440 posting not allowed", 1));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(LogFrom("Posting Messages"),
              (std::vector<std::string>{"Posting Messages", "440 posting not allowed",
                                        "Finished posting essages", "Disconnecting from Server",
                                        "Server disconnected"}));
    EXPECT_EQ(server_.Posted(), (std::vector<std::string>{PostedText("b.txt")}));
    EXPECT_FALSE(Exists(Spool("out/a.txt")));
    EXPECT_TRUE(app::LastCycle().disconnected) << "a refused post is no failed cycle";
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
    EXPECT_EQ(LogCount("gone.txt is not in the out directory; skipped"), 1);
    EXPECT_EQ(LogCount("sub is not in the out directory; skipped"), 1);
    for (int record : {2, 3, 4, 5, 6})
        EXPECT_EQ(LogCount("Record " + std::to_string(record) +
                           " of out.dat names no file of the out directory; skipped"),
                  1)
            << record;
    EXPECT_FALSE(Exists(Spool("out.dat")));
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
    EXPECT_TRUE(app::LastCycle().disconnected);
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
    ASSERT_TRUE(Pump([] { return !app::LastCycle().running; }));
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("first.txt"), PostedText("second.txt")}));
    EXPECT_FALSE(Exists(Spool("out.dat")));

    // The board replaces out.dat in the middle of a pass: the new file's
    // records are not deleted with the old one but stay queued.
    Queue("slow.txt");
    WriteFile(Spool("out.dat"), OutRecord("slow.txt"));
    server_.AddFault(Fault::Delay("POST", 300, 3));
    Command(app::IDM_CONNECT);
    ASSERT_TRUE(Pump([&] { return ServerCommands("POST").size() == 3; }));
    ASSERT_EQ(rename(Spool("out.dat").c_str(), Spool("old.dat").c_str()), 0);
    WriteFile(Spool("out.dat"), OutRecord("third.txt"));
    ASSERT_TRUE(Pump([] { return !app::LastCycle().running; }));
    EXPECT_EQ(ReadFile(Spool("out.dat")), OutRecord("third.txt"));
    EXPECT_FALSE(Exists(Spool("qivout.wrk")));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted().back(), PostedText("third.txt"));
}

// Its records go back to the end of the live queue (the board may be
// appending to it; putting them in front would mean rewriting the file under
// the board), so they are posted in the next pass after what is queued.
TEST_F(PostingTest, AWorkFileLeftByAnInterruptedPassIsPostedInTheNextPass) {
    Queue("left.txt");
    Queue("new.txt");
    WriteFile(Spool("qivout.wrk"), OutRecord("left.txt"));
    WriteFile(Spool("out.dat"), OutRecord("new.txt"));
    ASSERT_TRUE(RunCycle());
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{PostedText("new.txt"), PostedText("left.txt")}));
    EXPECT_FALSE(Exists(Spool("qivout.wrk")));
    EXPECT_FALSE(Exists(Spool("out.dat")));
}

}  // namespace
}  // namespace apptest
