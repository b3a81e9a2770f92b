// Inputs the fuzz targets found, kept as tests of the session driven from
// memory.
#include <cstring>
#include <string>

#include "net/stream_socket.h"
#include "platform/files.h"
#include "session_support.h"

namespace nntptest {
namespace {

class FuzzRegressionTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureNetworkLayer();
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        session.Close(0, 0, false);
        owner.Settle();
        RemoveTree(dir);
    }

    Owner owner;
    MemorySession session;
    std::string dir;
};

// Clearing the top bit made 0x8A and 0x8D line breaks inside a posted line:
// the server saw an early end of line, so an article could end itself with
// "." and put commands of its own on the connection. A stray CR did the
// same on servers that take a bare CR or LF as a line end.
TEST_F(FuzzRegressionTest, PostedLinesCarryNoLineBreakOfTheirOwn) {
    const std::string path = dir + "/article.txt";
    ASSERT_TRUE(WriteFile(path, "a\x8AQUIT\n\xAE\x8D\x8A\nx\ry\r\nlast\x8D"));
    plat::TextReader input;
    ASSERT_TRUE(input.Open(path));
    session.Open(owner.window());
    session.PostArticle(owner.window(), kPost, &input);
    session.Feed("340 send it\r\n");
    session.Feed("240 posted\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    EXPECT_EQ("POST\r\naQUIT\r\n..\r\nxy\r\nlast\r\n.\r\n", session.sent);
}

// A server that answered before it could have read our command made the
// session take the line as the answer and write its next command (QUIT, or
// the next request's) into commandBuffer while the socket still held it
// queued: the bytes that went out mixed both commands. Such a reply now
// breaks the exchange, and nothing touches the queued buffer.
TEST_F(FuzzRegressionTest, ReplyToACommandStillQueuedBreaksAndLeavesTheBufferAlone) {
    session.Open(owner.window());
    session.groupName = "alt.test";
    session.sendResult = 10035;

    // An unexpected reply used to be answered with QUIT from commandBuffer.
    session.SelectGroup(owner.window(), kGroup);
    session.Feed("500 what\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultBroken, owner.notes[1].result);
    EXPECT_EQ("500 what", owner.notes[1].text);
    EXPECT_STREQ("GROUP alt.test\r\n", session.CommandBuffer());
    EXPECT_EQ("GROUP alt.test\r\n", session.sent);
    EXPECT_EQ(1, session.closes);

    // An early success used to let the next request overwrite the buffer.
    session.sendResult = 0;
    session.Open(owner.window());
    session.sendResult = 10035;
    session.SelectGroup(owner.window(), kGroup);
    session.Feed("211 3 1 3 alt.test\r\n");
    session.NextArticle(owner.window(), kNext);
    ASSERT_TRUE(owner.WaitFor(4));
    owner.Settle();
    ASSERT_EQ(4u, owner.notes.size());
    EXPECT_EQ(nntp::ResultBroken, owner.notes[3].result);
    EXPECT_STREQ("GROUP alt.test\r\n", session.CommandBuffer());
    EXPECT_EQ("GROUP alt.test\r\n", session.sent);
}

// Once the socket reports the queued command gone, its answer is an answer,
// and QUIT after a refused exchange still goes out while nothing is queued.
TEST_F(FuzzRegressionTest, ReplyAfterTheQueuedCommandWentIsTaken) {
    session.Open(owner.window());
    session.groupName = "alt.test";
    session.sendResult = 10035;
    session.SelectGroup(owner.window(), kGroup);
    session.StreamCallback(0, net::StreamEvent::SendDone, 0, session.CommandBuffer());
    session.Feed("211 3 1 9 alt.test\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    EXPECT_EQ(9, session.lastArticle);

    session.NextArticle(owner.window(), kNext);
    session.StreamCallback(0, net::StreamEvent::SendDone, 0, session.CommandBuffer());
    session.Feed("500 what\r\n");
    ASSERT_TRUE(owner.WaitFor(3));
    EXPECT_EQ(nntp::ResultBroken, owner.notes[2].result);
    EXPECT_EQ("GROUP alt.test\r\nNEXT\r\nQUIT\r\n", session.sent);
    EXPECT_EQ(0, session.closes);  // Abandoning waits for the answer to QUIT
    session.Feed("205 bye\r\n");
    EXPECT_EQ(1, session.closes);
}

// PostArticle and FetchArticle changed the transfer in progress although
// the state refused them: a post asked for during LIST cleared multi-line
// mode, so the rest of the list was read as replies and the session never
// left the transfer; a fetch renumbered the article being received.
TEST_F(FuzzRegressionTest, RefusedPostLeavesTheListInProgressAlone) {
    session.spoolDir = dir;
    const std::string path = dir + "/article.txt";
    ASSERT_TRUE(WriteFile(path, "Subject: x\n\nbody\n"));
    plat::TextReader input;
    ASSERT_TRUE(input.Open(path));
    session.Open(owner.window());

    session.ListGroups(owner.window(), kList);
    session.Feed("215 list follows\r\nalt.a 2 1 y\r\n");
    session.PostArticle(owner.window(), kPost, &input);  // refused: nothing is sent
    session.Feed("alt.b 5 3 y\r\n.\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    // The refused request took over the notification, as every refused one does.
    EXPECT_EQ(kPost, owner.notes[1].message);
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    EXPECT_FALSE(session.MultiLine());
    EXPECT_EQ(Crlf("alt.a 2 1 y\nalt.b 5 3 y\n"), ReadFile(dir + "/groups.txt"));
    EXPECT_EQ("LIST\r\n", session.sent);

    // The stream of the refused post was not kept: an accepted post takes
    // the stream it is given.
    session.PostArticle(owner.window(), kPost, nullptr);
    session.Feed("340 send it\r\n");
    session.Feed("240 posted\r\n");
    ASSERT_TRUE(owner.WaitFor(3));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[2].result);
    EXPECT_EQ("LIST\r\nPOST\r\n.\r\n", session.sent);
}

TEST_F(FuzzRegressionTest, RefusedFetchLeavesTheArticleInProgressAlone) {
    session.articleDir = dir;
    session.Open(owner.window());
    session.fileNumber = 1;
    session.FetchArticle(owner.window(), kArticle, 5);
    session.Feed("220 5 <a@b> article\r\nSubject: x\r\n");
    session.FetchArticle(owner.window(), kArticle, 9);  // refused
    session.Feed("\r\nbody\r\n.\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    EXPECT_EQ(5, owner.notes[1].articleNumber);
    EXPECT_EQ("ARTICLE 5\r\n", session.sent);
    EXPECT_EQ(Crlf("Subject: x\n\nbody\n"), ReadFile(dir + "/00000001.nws"));
}

}  // namespace
}  // namespace nntptest
