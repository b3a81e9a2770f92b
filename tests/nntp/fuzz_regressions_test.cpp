// Inputs the fuzz targets found, kept as tests of the session driven from
// memory.
#include <cstring>
#include <string>

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
        session.Close(0, 0, 0);
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
    EXPECT_EQ(ResultSuccess, owner.notes[1].result);
    EXPECT_EQ("POST\r\naQUIT\r\n..\r\nxy\r\nlast\r\n.\r\n", session.sent);
}

}  // namespace
}  // namespace nntptest
