// The reply reader, driven from memory: how received bytes become lines and
// events, whatever the network makes of their boundaries.
#include <cstring>
#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using S = nntp::CNntpSession;

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        session.articleDir = dir;
        session.Open(owner.window());
        ASSERT_TRUE(owner.WaitFor(1));
        ASSERT_EQ(nntp::ResultSuccess, owner.notes[0].result);
        session.events.clear();
    }
    void TearDown() override { RemoveTree(dir); }

    // Puts the session into an ARTICLE exchange whose reply has not come.
    void AskArticle(long fileNumber) {
        session.fileNumber = static_cast<std::int32_t>(fileNumber);
        session.FetchArticle(owner.window(), kArticle, 7);
        session.events.clear();
    }
    std::string ArticleFile(long fileNumber) const {
        char name[32];
        std::snprintf(name, sizeof name, "/%08ld.nws", fileNumber);
        return ReadFile(dir + name);
    }

    Owner owner;
    MemorySession session;
    std::string dir;
};

TEST_F(ReaderTest, LineBoundariesAreFoundWhereverTheReceivesEnd) {
    // The text of a reply split inside its text.
    session.Feed("211 3 1 ");
    EXPECT_TRUE(session.events.empty());
    session.Feed("3 misc.test\r\n");
    ASSERT_EQ(1u, session.events.size());
    EXPECT_EQ(S::Reply2, session.events[0].event);
    EXPECT_EQ("211 3 1 3 misc.test", session.events[0].line);

    // A receive that ends in CR: the line ends only with the LF.
    session.events.clear();
    session.Feed("423 gone\r");
    EXPECT_TRUE(session.events.empty());
    session.Feed("\n");
    ASSERT_EQ(1u, session.events.size());
    EXPECT_EQ("423 gone", session.events[0].line);

    // A lone CR or LF is part of the line.
    session.events.clear();
    session.Feed("2a\rb\nc\r\n");
    ASSERT_EQ(1u, session.events.size());
    EXPECT_EQ("2a\rb\nc", session.events[0].line);
}

TEST_F(ReaderTest, SeveralLinesInOneReceiveAreDrivenInOrder) {
    session.Feed("111 one\r\n322 two\r\n533 three\r\n44");
    ASSERT_EQ(3u, session.events.size());
    EXPECT_EQ((std::vector<int>{S::Reply1, S::Reply3, S::Reply5}), session.Kinds());
    EXPECT_EQ("111 one", session.events[0].line);
    EXPECT_EQ("322 two", session.events[1].line);
    EXPECT_EQ("533 three", session.events[2].line);
    EXPECT_EQ(2, session.ReceiveCount());  // "44" waits for its line end
}

TEST_F(ReaderTest, ReplyLinesAreClassifiedByTheirFirstCharacter) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"", S::Fault},   {"0 zero", S::Fault}, {"6xx", S::Fault},  {"7", S::Fault},
        {"8", S::Fault},  {"9", S::Fault},      {"x200", S::Fault}, {" 200", S::Fault},
        {"2", S::Reply2}, {"1", S::Reply1},     {"3", S::Reply3},   {"4", S::Reply4},
        {"5", S::Reply5},
    };
    std::string all;
    for (const auto& c : cases) all += c.first + "\r\n";
    session.Feed(all);
    ASSERT_EQ(cases.size(), session.events.size());
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(cases[i].second, session.events[i].event) << "line '" << cases[i].first << "'";
}

TEST_F(ReaderTest, ArticleReplyAndItsDataInOneReceive) {
    AskArticle(42);
    EXPECT_EQ("ARTICLE 7\r\n", session.sent.substr(session.sent.size() - 11));
    // The 220 switches multi-line mode for the lines behind it in the same
    // receive; only "." alone ends the data.
    session.Feed(
        "220 7 <a@b> article\r\nSubject: dots\r\n\r\n..\r\n.. x\r\n. \r\n.x\r\n\r\nlast\r\n.\r\n"
        "223 8 <c@d>\r\n");
    EXPECT_EQ((std::vector<int>{S::Reply2, S::DataLine, S::DataLine, S::DataLine, S::DataLine,
                                S::DataLine, S::DataLine, S::DataLine, S::DataLine, S::DataEnd,
                                S::Reply2}),
              session.Kinds());
    EXPECT_FALSE(session.MultiLine());
    EXPECT_EQ("Subject: dots\r\n\r\n.\r\n. x\r\n \r\nx\r\n\r\nlast\r\n", ArticleFile(42));
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    EXPECT_EQ(7, owner.notes[1].articleNumber);
    EXPECT_EQ(dir + "/00000042.nws", owner.notes[1].path);
}

TEST_F(ReaderTest, DataLongerThanTheBufferIsHandedOnInPieces) {
    AskArticle(1);
    // A first line of 5000 characters starting with a stuffed dot, a line
    // that ends exactly where the buffer is full (2046 + CR LF), and one
    // whose CR is the last byte of a full buffer.
    const std::string longLine = ".." + std::string(4998, 'a');
    const std::string fits(2046, 'b');
    const std::string crAtEnd(2047, 'c');
    session.Feed("220 7 <a@b>\r\n");
    const std::string data = longLine + "\r\n" + fits + "\r\n" + crAtEnd + "\r\n.\r\n";
    // Receives of 700 bytes: the reader never holds more than it can.
    for (std::size_t at = 0; at < data.size(); at += 700) session.Feed(data.substr(at, 700));
    EXPECT_EQ("." + std::string(4998, 'a') + "\r\n" + fits + "\r\n" + crAtEnd + "\r\n",
              ArticleFile(1));
    int parts = 0;
    for (const auto& e : session.events) parts += e.event == S::DataPart ? 1 : 0;
    EXPECT_EQ(3, parts);  // two for the long line, one for the CR at the end
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
}

// A piece of a long data line that begins with '.', or is "." alone, is
// text: only a whole line is unstuffed or taken as the end of the data.
TEST_F(ReaderTest, ContinuedPiecesStartingWithADotAreText) {
    AskArticle(3);
    // Where the reader cuts: it hands on all but the last byte of a full
    // buffer, so later pieces begin at multiples of this offset.
    const std::size_t cut = S::kReceiveSize - 1;
    const std::vector<std::string> lines = {
        std::string(cut, 'a') + ".x",
        std::string(cut, 'b') + ".",
        std::string(cut, 'c') + "..",
        std::string(2 * cut, 'd') + ".",
        "." + std::string(cut - 2, 'h') + ".",  // stuffed: the wire line starts ".."
        std::string(cut + 1, 'e') + ".",        // a dot just past a cut
        std::string(cut - 1, 'f') + ".g",       // a dot just before a cut
        "last",
    };
    session.Feed("220 7 <a@b>\r\n");
    std::string expected;
    for (const std::string& line : lines) {
        const std::string wire = (line[0] == '.' ? "." : "") + line + "\r\n";
        // A receive ends just before the first dot past a cut (or the last
        // dot), so that the dot also begins a receive.
        std::size_t dot = wire.find('.', cut);
        if (dot == std::string::npos) dot = wire.rfind('.');
        if (dot == std::string::npos) dot = 0;
        if (dot > 0) session.Feed(wire.substr(0, dot));
        session.Feed(wire.substr(dot));
        expected += line + "\r\n";
    }
    EXPECT_TRUE(session.MultiLine());
    session.Feed(".\r\n");
    EXPECT_FALSE(session.MultiLine());
    EXPECT_EQ(expected, ArticleFile(3));

    // The arrangement did put a dot at the start of a later piece.
    std::vector<std::string> dotted;
    for (const auto& e : session.events)
        if (e.event == S::DataLine && e.continued && e.line.compare(0, 1, ".") == 0)
            dotted.push_back(e.line);
    EXPECT_EQ((std::vector<std::string>{".x", ".", "..", ".", "."}), dotted);
    EXPECT_EQ(S::DataEnd, session.events.back().event);
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    owner.Settle();
    EXPECT_EQ(2u, owner.notes.size());
}

TEST_F(ReaderTest, AnOverlongReplyLineIsSkippedAndReportedOnce) {
    session.SelectGroup(owner.window(), kGroup);
    session.events.clear();
    session.Feed("211 " + std::string(3000, '9'));
    session.Feed(std::string(3000, '9') + "\r\n");
    EXPECT_EQ((std::vector<int>{S::Overflow}), session.Kinds());
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultBroken, owner.notes[1].result);
    EXPECT_EQ("Reply line too long", owner.notes[1].text);
    // QUIT went out; the answer to it ends the connection.
    EXPECT_EQ("QUIT\r\n", session.sent.substr(session.sent.size() - 6));
    session.Feed("205 bye\r\n");
    EXPECT_EQ((std::vector<int>{S::Overflow, S::Reply2}), session.Kinds());
    EXPECT_EQ(1, session.closes);
}

TEST_F(ReaderTest, StreamEventsBecomeSessionEvents) {
    Warnings warnings;
    // Only the command buffer's completed send is Writable.
    char other[4] = "x";
    session.StreamCallback(0, net::StreamEvent::SendDone, 0, other);
    EXPECT_TRUE(session.events.empty());
    session.StreamCallback(0, net::StreamEvent::SendDone, 0, session.CommandBuffer());
    EXPECT_EQ((std::vector<int>{S::Writable}), session.Kinds());

    // Unknown kinds warn and change nothing.
    session.StreamCallback(0, net::StreamEvent::Accept, 0, nullptr);
    session.StreamCallback(0, net::StreamEvent::ConnectDone, 0, nullptr);
    session.StreamCallback(0, static_cast<net::StreamEvent>(99), 0, nullptr);
    EXPECT_EQ((std::vector<std::string>{"Unknown socket error", "Unknown socket error",
                                        "Unknown socket error"}),
              warnings.texts);
    EXPECT_EQ(1u, session.events.size());

    // A receive error warns and keeps what is held.
    session.Feed("211 1 2");
    session.receiveResult = 10054;
    session.StreamCallback(0, net::StreamEvent::Readable, 0, nullptr);
    EXPECT_EQ("Error reading socket", warnings.texts.back());
    session.receiveResult = 0;
    session.Feed(" 3 g\r\n");
    ASSERT_EQ(2u, session.events.size());
    EXPECT_EQ("211 1 2 3 g", session.events[1].line);

    // Closed is LinkLost; bytes still held are not processed.
    session.Feed("200 partial");
    session.StreamCallback(0, net::StreamEvent::Closed, 0, nullptr);
    EXPECT_EQ((std::vector<int>{S::Writable, S::Reply2, S::LinkLost}), session.Kinds());
}

// Ready: with no exchange running, replies, data and completed sends are
// ignored: nothing is posted or sent and the next request runs as usual.
TEST_F(ReaderTest, ReadyIgnoresRepliesDataAndWritable) {
    session.Feed("100 a\r\n211 1 2 3 g\r\n340 b\r\n423 c\r\n500 d\r\njunk\r\n");
    session.Feed("205 " + std::string(3000, 'x') + "\r\n");  // Overflow
    session.Inject(S::DataPart);
    session.Inject(S::DataLine);
    session.Inject(S::DataEnd);
    session.StreamCallback(0, net::StreamEvent::SendDone, 0, session.CommandBuffer());
    EXPECT_EQ((std::vector<int>{S::Reply1, S::Reply2, S::Reply3, S::Reply4, S::Reply5, S::Fault,
                                S::Overflow, S::DataPart, S::DataLine, S::DataEnd, S::Writable}),
              session.Kinds());
    EXPECT_TRUE(session.IsReady());
    EXPECT_FALSE(session.MultiLine());
    EXPECT_EQ("", session.sent);
    EXPECT_EQ(0, session.closes);
    owner.Settle();
    EXPECT_EQ(1u, owner.notes.size());

    session.groupName = "g";
    session.SelectGroup(owner.window(), kGroup);
    EXPECT_EQ("GROUP g\r\n", session.sent);
    session.Feed("211 3 10 12 g\r\n");
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(kGroup, owner.notes[1].message);
    EXPECT_EQ(nntp::ResultSuccess, owner.notes[1].result);
    EXPECT_EQ(12, session.lastArticle);
}

TEST_F(ReaderTest, ConnectionReportsBecomeSessionEvents) {
    session.ConnectCallback(0, net::ConnectResult::Cancelled);
    session.ConnectCallback(0, static_cast<net::ConnectResult>(7));
    EXPECT_TRUE(session.events.empty());
    session.ConnectCallback(0, net::ConnectResult::Connected);
    session.ConnectCallback(0, net::ConnectResult::Failed);
    EXPECT_EQ((std::vector<int>{S::ConnectOk, S::Fault}), session.Kinds());
}

TEST_F(ReaderTest, AReportMadeWhileTheSessionIsBusyIsNotLost) {
    // A connection manager reporting from inside Start: the failure still
    // reaches the owner, as a break.
    session.onStart = [&] { session.ConnectCallback(0, net::ConnectResult::Failed); };
    session.Connect(owner.window(), kConnect, {});
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ(nntp::ResultBroken, owner.notes[1].result);
    EXPECT_EQ(0u, owner.notes[1].text.find("Connection failed"));
}

TEST_F(ReaderTest, ConnectStartsWithAnEmptyBuffer) {
    session.Feed("211 half a line");
    session.Open(owner.window());
    // The greeting is read on its own, not appended to the old bytes.
    ASSERT_TRUE(owner.WaitFor(2));
    EXPECT_EQ("200 memory ready", owner.notes[1].text);
}

}  // namespace
}  // namespace nntptest
