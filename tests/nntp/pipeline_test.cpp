// LISTGROUP over a range and pipelined ARTICLE requests over loopback: one
// notification per request, in the order of the requests, whatever the
// server answers; and the commands held in the socket's queue.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;

class PipelineTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        for (long n : {10, 11, 12, 14, 15, 17})
            server.AddArticle("misc.pipe", {n, "Subject: " + std::to_string(n) + "\n\nbody\n"});
        session.groupName = "misc.pipe";
        Open();
        ASSERT_EQ(nntp::ResultSuccess,
                  Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    }

    std::string PathOf(long n) const { return dir + "/" + std::to_string(n) + ".part"; }

    // Requests every number in `numbers` at once and waits for as many
    // notifications.
    std::vector<Note> RequestAll(const std::vector<long>& numbers) {
        const std::size_t before = owner.notes.size();
        for (long n : numbers) session.RequestArticle(owner.window(), kAnswer, n, PathOf(n));
        EXPECT_TRUE(owner.WaitFor(before + numbers.size()));
        owner.Settle();
        return {owner.notes.begin() + static_cast<long>(before), owner.notes.end()};
    }

    std::vector<nntp::ArticleRun> List(long first, long last) {
        const Note note =
            Do([&] { session.ListArticles(owner.window(), kListArticles, first, last); });
        EXPECT_EQ(note.result, nntp::ResultSuccess) << note.text;
        return session.listedArticles;
    }
};

TEST_F(PipelineTest, ListedArticlesComeInRunsWithinTheRange) {
    const std::vector<std::pair<std::pair<long, long>, std::vector<nntp::ArticleRun>>> rows = {
        {{10, 17}, {{10, 12}, {14, 15}, {17, 17}}},
        {{11, 14}, {{11, 12}, {14, 14}}},
        {{16, 16}, {}},
        {{18, 30}, {}},
    };
    for (const auto& [range, runs] : rows) {
        SCOPED_TRACE(std::to_string(range.first) + "-" + std::to_string(range.second));
        EXPECT_EQ(List(range.first, range.second), runs);
        EXPECT_EQ(server.Commands().back(), "LISTGROUP misc.pipe " + std::to_string(range.first) +
                                                "-" + std::to_string(range.second));
    }
    EXPECT_TRUE(session.IsReady());
}

TEST_F(PipelineTest, ARefusedOrUnknownListGroupLeavesTheConnectionUsable) {
    server.SetListGroup(false);
    const Note refused = Do([&] { session.ListArticles(owner.window(), kListArticles, 10, 17); });
    EXPECT_EQ(refused.result, nntp::ResultFailure);
    EXPECT_EQ(refused.text, "500 unknown command");
    EXPECT_TRUE(session.IsReady());
    EXPECT_EQ(RequestAll({10}).front().result, nntp::ResultSuccess);

    // The longest name the registry takes goes out; a longer one is refused
    // unsent.
    session.groupName = std::string(nntp::CNntpSession::kMaxGroupName, 'g');
    EXPECT_EQ(Do([&] { session.ListArticles(owner.window(), kListArticles, 1, INT64_MAX - 1); })
                  .result,
              nntp::ResultFailure);
    EXPECT_EQ(server.Commands().back(), "LISTGROUP " + session.groupName + " 1-" +
                                            std::to_string(INT64_MAX - 1));
    session.groupName += 'g';
    const std::size_t sent = server.Commands().size();
    const Note local = Do([&] { session.ListArticles(owner.window(), kListArticles, 1, 2); });
    EXPECT_EQ(local.result, nntp::ResultRefusedLocally);
    EXPECT_EQ(server.Commands().size(), sent);
}

// A server that lists in no order is no guide: the whole range is asked for.
TEST_F(PipelineTest, AListOutOfOrderMeansEveryNumber) {
    server.AddFault(Fault::Reply("LISTGROUP", "211 3 10 17 misc.pipe\r\n14\r\n11\r\n.", 1));
    EXPECT_EQ(List(10, 17), (std::vector<nntp::ArticleRun>{{10, 17}}));
}

TEST_F(PipelineTest, AnswersComeOneEachInTheOrderOfTheRequests) {
    const std::vector<Note> notes = RequestAll({10, 11, 13, 12, 16, 17});
    ASSERT_EQ(notes.size(), 6u);
    const long order[] = {10, 11, 13, 12, 16, 17};
    for (std::size_t i = 0; i < notes.size(); ++i) {
        SCOPED_TRACE(order[i]);
        EXPECT_EQ(notes[i].message, kAnswer);
        EXPECT_EQ(notes[i].articleNumber, order[i]);
        const bool gone = order[i] == 13 || order[i] == 16;
        EXPECT_EQ(notes[i].result, gone ? nntp::ResultFailure : nntp::ResultSuccess);
        if (gone) {
            EXPECT_EQ(notes[i].text.substr(0, 4), "423 ");
            EXPECT_EQ(notes[i].path, "");
        } else {
            EXPECT_EQ(notes[i].path, PathOf(order[i]));
            EXPECT_EQ(ReadFile(PathOf(order[i])),
                      Crlf("Subject: " + std::to_string(order[i]) + "\n\nbody\n"));
        }
    }
    EXPECT_TRUE(session.IsReady());
    EXPECT_EQ(session.ArticlesOut(), 0u);
    // Nothing waits for the answers: all requests were out before the first.
    EXPECT_EQ(CommandCount("ARTICLE"), 6);
}

TEST_F(PipelineTest, DroppedArticlesAreReadButNotStored) {
    const std::size_t base = owner.notes.size();
    server.AddFault(Fault::Delay("ARTICLE", 100, 1));
    for (long n : {10, 11, 12}) session.RequestArticle(owner.window(), kAnswer, n, PathOf(n));
    session.DropArticles();
    session.RequestArticle(owner.window(), kAnswer, 14, PathOf(14));
    ASSERT_TRUE(owner.WaitFor(base + 4));
    for (std::size_t i = 0; i < 3; ++i) {
        const Note& note = owner.notes[base + i];
        EXPECT_EQ(note.result, nntp::ResultSuccess);
        EXPECT_EQ(note.articleNumber, static_cast<long>(10 + i));
        EXPECT_EQ(note.path, "");
        EXPECT_EQ(ReadFile(PathOf(10 + static_cast<long>(i))), "") << "stored after all";
    }
    EXPECT_EQ(owner.notes[base + 3].path, PathOf(14)) << "only those out when dropped";
    // The connection goes on: GROUP waits for nothing.
    EXPECT_EQ(nntp::ResultSuccess, Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
}

// A break with requests out: one ResultBroken after the answers read before
// it, and nothing for the rest.
TEST_F(PipelineTest, ABreakEndsEveryRequestStillOut) {
    const std::size_t base = owner.notes.size();
    server.AddFault(Fault::CloseAfter("ARTICLE", 40, 2));
    for (long n : {10, 11, 12, 14}) session.RequestArticle(owner.window(), kAnswer, n, PathOf(n));
    ASSERT_TRUE(owner.WaitFor(base + 2));
    owner.Settle();
    ASSERT_EQ(owner.notes.size(), base + 2);
    EXPECT_EQ(owner.notes[base].result, nntp::ResultSuccess);
    EXPECT_EQ(owner.notes[base + 1].result, nntp::ResultBroken);
    EXPECT_EQ(owner.notes[base + 1].text, "Connection lost");
    EXPECT_TRUE(session.IsEnded());
    EXPECT_EQ(session.ArticlesOut(), 0u);
}

// An answer that arrives while its request still waits in the socket's
// queue cannot be the server's answer to it: the exchange breaks, without
// a QUIT that would go out behind the queued commands.
TEST(PipelineMemoryTest, AnAnswerBeforeItsRequestWentOutIsOutOfStep) {
    Owner owner;
    MemorySession session;
    session.Open(owner.window());
    session.sendResult = 10035;
    session.RequestArticle(owner.window(), kAnswer, 7, "/nonexistent/7.part");
    session.RequestArticle(owner.window(), kAnswer, 8, "/nonexistent/8.part");
    EXPECT_EQ(session.sent, "ARTICLE 7\r\nARTICLE 8\r\n");
    session.Feed("220 7 <a@b> article\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    owner.Settle();
    ASSERT_EQ(owner.notes.size(), 2u);
    EXPECT_EQ(owner.notes[1].result, nntp::ResultBroken);
    EXPECT_EQ(owner.notes[1].text, "The server answered a request it cannot have read");
    EXPECT_EQ(session.sent, "ARTICLE 7\r\nARTICLE 8\r\n");
    EXPECT_EQ(session.ArticlesOut(), 0u);
    session.Close(0, 0, 0);
}

}  // namespace
}  // namespace nntptest
