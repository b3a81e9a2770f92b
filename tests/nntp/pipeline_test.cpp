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

// Whatever order a server lists in, and whatever it repeats or adds, the
// list gives each article of the range once, in order.
TEST_F(PipelineTest, AListOutOfOrderRepeatedOrOutOfRangeGivesEachArticleOnceInOrder) {
    const struct {
        const char* name;
        std::vector<long> listed;
        std::vector<nntp::ArticleRun> runs;
    } rows[] = {
        {"two out of order", {14, 11}, {{11, 11}, {14, 14}}},
        {"reversed", {17, 15, 14, 12, 11, 10}, {{10, 12}, {14, 15}, {17, 17}}},
        {"repeated in turn", {10, 10, 11, 11, 12}, {{10, 12}}},
        {"repeated out of turn", {10, 11, 12, 11, 12, 13, 10}, {{10, 13}}},
        {"outside the range", {1, 10, 99, 11, 9, 18}, {{10, 11}}},
        {"runs overlapping", {14, 15, 10, 11, 12, 13, 16}, {{10, 16}}},
    };
    int nth = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string text = "211 " + std::to_string(row.listed.size()) + " 10 17 misc.pipe";
        for (long n : row.listed) text += "\r\n" + std::to_string(n);
        server.AddFault(Fault::Reply("LISTGROUP", text + "\r\n.", nth++));
        EXPECT_EQ(List(10, 17), row.runs);
    }
}

// Millions of scattered numbers would be the server's choice of our memory:
// the list is refused, and the connection stays usable.
TEST_F(PipelineTest, AListOfTooManyRunsIsRefusedAndTheConnectionGoesOn) {
    const long runs = static_cast<long>(nntp::CNntpSession::kMaxListedRuns) + 1;
    std::string text = "211 " + std::to_string(runs) + " 2 " + std::to_string(2 * runs) + " misc.pipe";
    text.reserve(static_cast<std::size_t>(runs) * 10);
    for (long i = 1; i <= runs; ++i) text += "\r\n" + std::to_string(2 * i);
    server.AddFault(Fault::Reply("LISTGROUP", text + "\r\n.", 1));
    const Note note =
        Do([&] { session.ListArticles(owner.window(), kListArticles, 1, 2 * runs); });
    EXPECT_EQ(note.result, nntp::ResultFailure);
    EXPECT_EQ(note.text, "LISTGROUP listed more articles than are kept in memory");
    EXPECT_TRUE(session.listedArticles.empty());
    EXPECT_TRUE(session.IsReady());
    EXPECT_EQ(List(10, 17), (std::vector<nntp::ArticleRun>{{10, 12}, {14, 15}, {17, 17}}));
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
