// HEAD in the pipeline beside ARTICLE, and OVER for a range: what the
// filters decide on before an article is fetched.
#include <filesystem>
#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;

class HeadOverTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        for (long n : {10, 11, 12, 14})
            server.AddArticle("misc.head",
                              {n, "Subject: " + std::to_string(n) + "\nFrom: a@b\n\nbody\n"});
        server.AddArticle("misc.head", {15, "Subject: dots\n.X-Odd: 1\n\n.body\n"});
        session.groupName = "misc.head";
        Open();
        ASSERT_EQ(nntp::ResultSuccess,
                  Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    }

    std::string PathOf(long n) const { return dir + "/" + std::to_string(n) + ".part"; }

    // Sends every request at once and waits for as many notifications.
    std::vector<Note> Send(const std::vector<std::pair<long, bool>>& requests) {
        const std::size_t before = owner.notes.size();
        for (const auto& [n, head] : requests) {
            if (head)
                session.RequestHead(owner.window(), kAnswer, n);
            else
                session.RequestArticle(owner.window(), kAnswer, n, PathOf(n));
        }
        EXPECT_TRUE(owner.WaitFor(before + requests.size()));
        owner.Settle();
        return {owner.notes.begin() + static_cast<long>(before), owner.notes.end()};
    }

    Note Over(long first, long last) {
        return Do([&] { session.ListOverview(owner.window(), kOverview, first, last); });
    }
};

TEST_F(HeadOverTest, HeadAnswersComeInTheirPlaceAmongArticles) {
    const std::vector<Note> notes =
        Send({{10, true}, {11, false}, {13, true}, {12, true}, {15, true}, {14, false}});
    ASSERT_EQ(notes.size(), 6u);
    struct Row {
        long number;
        int result;
        bool head;
        std::string headers;
        bool file;
    };
    const Row rows[] = {
        {10, nntp::ResultSuccess, true, "Subject: 10\nFrom: a@b\n", false},
        {11, nntp::ResultSuccess, false, "", true},
        {13, nntp::ResultFailure, true, "", false},
        {12, nntp::ResultSuccess, true, "Subject: 12\nFrom: a@b\n", false},
        // Dot-stuffing undone.
        {15, nntp::ResultSuccess, true, "Subject: dots\n.X-Odd: 1\n", false},
        {14, nntp::ResultSuccess, false, "", true},
    };
    for (std::size_t i = 0; i < notes.size(); ++i) {
        SCOPED_TRACE(rows[i].number);
        EXPECT_EQ(notes[i].articleNumber, rows[i].number);
        EXPECT_EQ(notes[i].result, rows[i].result);
        EXPECT_EQ(notes[i].head, rows[i].head);
        EXPECT_EQ(notes[i].headers, rows[i].headers);
        EXPECT_EQ(!notes[i].path.empty(), rows[i].file);
    }
    EXPECT_EQ(notes[2].text, "423 no such article number in this group");
    EXPECT_EQ(ReadFile(PathOf(11)), Crlf("Subject: 11\nFrom: a@b\n\nbody\n"));
    EXPECT_FALSE(std::filesystem::exists(PathOf(10)));  // a HEAD writes no file
    EXPECT_EQ(CommandCount("HEAD"), 4);
    EXPECT_TRUE(session.IsReady());
}

TEST_F(HeadOverTest, AServerWithoutHeadOrOverRefusesAndStaysUsable) {
    server.SetHead(false);
    server.SetOver(false);
    const std::vector<Note> notes = Send({{10, true}, {11, true}, {12, false}});
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0].result, nntp::ResultFailure);
    EXPECT_EQ(notes[0].text, "500 unknown command");
    EXPECT_TRUE(notes[0].head);
    EXPECT_EQ(notes[1].result, nntp::ResultFailure);
    EXPECT_EQ(notes[2].result, nntp::ResultSuccess);
    const Note over = Over(10, 14);
    EXPECT_EQ(over.result, nntp::ResultFailure);
    EXPECT_EQ(over.text, "500 unknown command");
    EXPECT_TRUE(session.IsReady());
    EXPECT_EQ(Send({{14, false}}).front().result, nntp::ResultSuccess);
}

TEST_F(HeadOverTest, AHugeHeaderIsKeptOnlyUpToTheBound) {
    server.AddArticle("misc.head",
                      {20, "X-Huge: " + std::string(300000, 'h') + "\nSubject: after\n\nbody\n"});
    const std::vector<Note> notes = Send({{20, true}, {10, true}});
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].result, nntp::ResultSuccess);
    EXPECT_LE(notes[0].headers.size(), nntp::CNntpSession::kMaxHeadBytes + 1);
    EXPECT_EQ(notes[0].headers.rfind("X-Huge: hhh", 0), 0u);
    // The answer after it is read as its own.
    EXPECT_EQ(notes[1].headers, "Subject: 10\nFrom: a@b\n");
}

TEST_F(HeadOverTest, AHeadCutOffBreaksTheExchange) {
    server.AddFault(Fault::CloseAfter("HEAD", 30, 1));
    const std::vector<Note> notes = Send({{10, true}});
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].result, nntp::ResultBroken);
}

TEST_F(HeadOverTest, OverviewLinesOfTheRange) {
    const Note note = Over(11, 15);
    ASSERT_EQ(note.result, nntp::ResultSuccess) << note.text;
    EXPECT_EQ(server.Commands().back(), "OVER 11-15");
    ASSERT_EQ(session.overview.size(), 4u);
    const nntp::OverviewEntry& first = session.overview[0];
    EXPECT_EQ(first.number, 11);
    EXPECT_EQ(first.subject, "11");
    EXPECT_EQ(first.from, "a@b");
    EXPECT_EQ(first.messageId, "<11.misc.head@qiv-testserver>");
    EXPECT_EQ(first.bytes, static_cast<std::int64_t>(Crlf("Subject: 11\nFrom: a@b\n\nbody\n").size()));
    EXPECT_EQ(first.lines, 1);
    EXPECT_EQ(session.overview[3].number, 15);

    const Note empty = Over(16, 19);
    EXPECT_EQ(empty.result, nntp::ResultFailure);
    EXPECT_EQ(empty.text, "423 no articles in that range");
    const std::size_t sent = server.Commands().size();
    EXPECT_EQ(Over(1, 1 + nntp::CNntpSession::kMaxOverviewRange).result,
              nntp::ResultRefusedLocally);
    EXPECT_EQ(server.Commands().size(), sent);
    EXPECT_TRUE(session.IsReady());
}

TEST_F(HeadOverTest, OverviewLinesOutsideTheRangeOrMalformedArePassedOver) {
    server.AddFault(Fault::Reply("OVER",
                                 "224 overview follows\r\n"
                                 "9\ts\tf\td\t<m>\t\t10\t1\r\n"      // below the range
                                 "11\tonly\tthree\r\n"               // too few fields
                                 "x12\ts\tf\td\t<m>\t\t10\t1\r\n"    // no number
                                 "12\ts\tf\td\t<m>\tr\tbig\t1\tXref: x\r\n"
                                 ".",
                                 1));
    const Note note = Over(10, 14);
    ASSERT_EQ(note.result, nntp::ResultSuccess) << note.text;
    ASSERT_EQ(session.overview.size(), 1u);
    EXPECT_EQ(session.overview[0].number, 12);
    EXPECT_EQ(session.overview[0].references, "r");
    EXPECT_EQ(session.overview[0].bytes, -1);
    EXPECT_EQ(session.overview[0].lines, 1);
}

}  // namespace
}  // namespace nntptest
