// LIST, ARTICLE and POST over loopback: what reaches the files and the
// server, and how each way an exchange can end reaches the owner.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using testsrv::Fault;

const char* const kArticle105 = "From: a@b\nSubject: dots\n\n..\n.x\n.\n\nlast line\n";

const char* const kEightBit = "Subject: caf\xe9\n\n\xff\x80\xa0 bytes \x01\x7f\n";

class TransferTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        server.AddArticle("misc.test", {105, kArticle105});
        server.AddArticle("misc.test", {106, "Subject: long\n\n" + std::string(5000, 'L') + "\n"});
        server.AddArticle("misc.test", {107, kEightBit});
        server.AddArticle("alt.test", {1, "Subject: x\n\nx\n"});
        session.groupName = "misc.test";
        Open();
        ASSERT_EQ(nntp::ResultSuccess,
                  Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    }

    Note Fetch(long number, long fileNumber) {
        session.fileNumber = static_cast<std::int32_t>(fileNumber);
        return Do([&] {
            session.FetchArticle(owner.window(), kArticle, static_cast<std::int32_t>(number));
        });
    }
    std::string FileOf(long fileNumber) const {
        char name[32];
        std::snprintf(name, sizeof name, "/%08ld.nws", fileNumber);
        return dir + name;
    }
    // A break that sent QUIT: the server saw it and the connection is gone.
    void ExpectQuitAndClose() {
        EXPECT_TRUE(ServerClosed());
        EXPECT_EQ("QUIT", server.Commands().back());
        EXPECT_TRUE(session.IsEnded());
    }
    void Reopen() {
        owner.Settle();
        server.ClearFaults();
        Open();
        ASSERT_EQ(nntp::ResultSuccess,
                  Do([&] { session.SelectGroup(owner.window(), kGroup); }).result);
    }
    Note Post(plat::TextReader* input) {
        return Do([&] { session.PostArticle(owner.window(), kPost, input); });
    }
    // Writes `bytes` to a file and opens it for posting.
    bool Input(plat::TextReader& reader, const std::string& bytes) {
        const std::string path = dir + "/post.txt";
        return WriteFile(path, bytes) && reader.Open(path);
    }
};

// ListReply and ListData.
TEST_F(TransferTest, ListTable) {
    Note n = Do([&] { session.ListGroups(owner.window(), kList); });
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(0, n.data);
    EXPECT_EQ("alt.test 1 1 y\r\nmisc.test 107 105 y\r\n", ReadFile(dir + "/groups.txt"));

    server.AddFault(Fault::Reply("LIST", "480 authentication required", 2));
    n = Do([&] { session.ListGroups(owner.window(), kList); });
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("480 authentication required", n.text);
    EXPECT_TRUE(session.IsReady());

    int nth = 3;
    for (const char* line : {"100 x", "340 x", "503 x", "junk"}) {
        server.AddFault(Fault::Reply("LIST", line, nth++));
        n = Do([&] { session.ListGroups(owner.window(), kList); });
        EXPECT_EQ(nntp::ResultBroken, n.result);
        EXPECT_EQ(line, n.text);
        ExpectQuitAndClose();
        Reopen();
    }

    // Lost in the middle of the data: one break, nothing after it.
    server.AddFault(Fault::CloseAfter("LIST", 40));
    const std::size_t before = owner.notes.size();
    n = Do([&] { session.ListGroups(owner.window(), kList); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Connection lost", n.text);
    owner.Settle();
    EXPECT_EQ(before + 1, owner.notes.size());
    EXPECT_FALSE(session.SocketOpen());

    // A group list that cannot be written anywhere is not asked for; one
    // whose file cannot be created breaks after the data has passed.
    Reopen();
    session.spoolDir.clear();
    n = Do([&] { session.ListGroups(owner.window(), kList); });
    EXPECT_EQ(nntp::ResultRefusedLocally, n.result);
    session.spoolDir = dir + "/missing";
    n = Do([&] { session.ListGroups(owner.window(), kList); });
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Unable to create " + dir + "/missing/groups.txt", n.text);
    ExpectQuitAndClose();
}

// ArticleReply and ArticleData.
TEST_F(TransferTest, ArticleTable) {
    Note n = Fetch(105, 42);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(105, n.articleNumber);
    EXPECT_EQ(FileOf(42), n.path);
    // Stuffed dots are undone; the terminating line is not stored.
    EXPECT_EQ(Crlf(kArticle105), ReadFile(FileOf(42)));

    n = Fetch(106, 43);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(Crlf("Subject: long\n\n" + std::string(5000, 'L') + "\n"), ReadFile(FileOf(43)));

    // Received text is stored as it came, every byte of it.
    n = Fetch(107, 47);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(Crlf(kEightBit), ReadFile(FileOf(47)));

    n = Fetch(999, 44);
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("423 no such article number in this group", n.text);
    EXPECT_TRUE(session.IsReady());

    int nth = 5;
    for (const char* line : {"100 x", "340 x", "503 x", "junk"}) {
        server.AddFault(Fault::Reply("ARTICLE", line, nth++));
        n = Fetch(105, 45);
        EXPECT_EQ(nntp::ResultBroken, n.result);
        EXPECT_EQ(line, n.text);
        ExpectQuitAndClose();
        Reopen();
    }

    session.articleDir.clear();
    n = Fetch(105, 45);
    EXPECT_EQ(nntp::ResultRefusedLocally, n.result);
    EXPECT_EQ(nth - 1, CommandCount("ARTICLE"));
}

// An interrupted transfer leaves its partial file closed, and the next
// transfer writes to a file of its own.
TEST_F(TransferTest, ConnectionLostDuringAnArticle) {
    server.AddFault(Fault::CloseAfter("ARTICLE", 60));
    const std::size_t before = owner.notes.size();
    Note n = Fetch(106, 7);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Connection lost", n.text);
    owner.Settle();
    EXPECT_EQ(before + 1, owner.notes.size());
    const std::string partial = ReadFile(FileOf(7));
    EXPECT_LT(partial.size(), 5000u);

    Reopen();
    n = Fetch(105, 8);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(Crlf(kArticle105), ReadFile(FileOf(8)));
    EXPECT_EQ(partial, ReadFile(FileOf(7)));
}

// A file that cannot be created or written is a break, never a success
// with a path to a missing or truncated file; QUIT follows the data.
TEST_F(TransferTest, ArticleFilesThatCannotBeWritten) {
    ASSERT_EQ(0, ::mkdir(FileOf(1).c_str(), 0755));
    Note n = Fetch(105, 1);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Unable to create " + FileOf(1), n.text);
    ExpectQuitAndClose();

    Reopen();
    // A link in the article's place is not followed (the board could point
    // it at any file): refused as the file is made, and left as it is.
    ASSERT_EQ(0, ::symlink("/dev/full", FileOf(2).c_str()));
    n = Fetch(105, 2);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Unable to create " + FileOf(2), n.text);
    struct stat link {};
    EXPECT_EQ(0, ::lstat(FileOf(2).c_str(), &link));
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    ExpectQuitAndClose();

    // A file size limit that cuts the long article short.
    Reopen();
    rlimit old{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit low = old;
    low.rlim_cur = 1000;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &low));
    n = Fetch(106, 3);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Unable to write " + FileOf(3), n.text);
    ExpectQuitAndClose();
}

// Over a real connection, with the server's writes cut so that the dots
// that begin later pieces of long lines also begin a receive: every byte is
// stored, no dot is lost and only the last "." ends the article.
TEST_F(TransferTest, LongLinesWithDotsAtTheCutsArriveWhole) {
    const std::size_t cut = nntp::CNntpSession::kReceiveSize - 1;  // where the reader cuts
    const std::string text = "Message-ID: <dots@qiv.test>\nSubject: dots\n\n" +
                             std::string(cut, 'a') + ".x\n" + std::string(cut, 'b') + ".\n" +
                             std::string(cut, 'c') + "..\n" + std::string(2 * cut, 'd') + ".\n" +
                             "." + std::string(cut - 2, 'h') + ".\n" + "last\n";
    server.AddArticle("misc.test", {300, text});
    // The reply as sent: status line, CR LF lines, the leading dot doubled.
    std::string wire = "220 300 <dots@qiv.test> article\r\n";
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = text.find('\n', from);
        const std::string line = text.substr(from, end - from);
        wire += (line.compare(0, 1, ".") == 0 ? "." : "") + line + "\r\n";
        from = end + 1;
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = wire.find('.'); at != std::string::npos; at = wire.find('.', at + 1)) {
        const std::size_t lineStart = wire.rfind('\n', at) + 1;
        if ((at - lineStart) % cut == 0 && at != lineStart) cuts.push_back(at);
    }
    ASSERT_EQ(5u, cuts.size());
    server.AddFault(Fault::SplitAt("ARTICLE", cuts, 30));
    const Note n = Fetch(300, 50);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(Crlf(text), ReadFile(FileOf(50)));
    EXPECT_TRUE(session.IsReady());
    owner.Settle();
    EXPECT_EQ(3u, owner.notes.size());
}

// Close while data arrives closes the file and reports only the close.
TEST_F(TransferTest, CloseDuringData) {
    server.AddFault(Fault::StallAfter("ARTICLE", 100));
    session.fileNumber = 9;
    session.FetchArticle(owner.window(), kArticle, 106);
    ASSERT_TRUE(plat::PumpUntil([&] { return session.MultiLine(); }));
    Note n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);
    EXPECT_TRUE(ServerClosed());

    server.ClearFaults();
    server.AddFault(Fault::StallAfter("LIST", 40));
    Open();
    session.ListGroups(owner.window(), kList);
    ASSERT_TRUE(plat::PumpUntil([&] { return session.MultiLine(); }));
    n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);
    owner.Settle();
    EXPECT_EQ(nntp::ResultClosed, owner.notes.back().result);
}

// PostCommand, PostData and the pump: what the server receives.
TEST_F(TransferTest, PostSendsTheArticleAsText) {
    plat::TextReader input;
    // CR LF in the file is one newline; a leading dot is doubled; 197
    // characters go; the last line needs no newline; top bits are cleared
    // and a character that becomes zero ends the line.
    const std::string line197(197, 's');
    ASSERT_TRUE(Input(
        input, "Subject: t\r\n\r\n.dot\r\n.\r\n" + line197 + "\r\ncaf\xe9 ok\nab\x80" + "cd\nend"));
    Note n = Post(&input);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_EQ(0, n.data);
    const auto log = server.PostLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("Subject: t\r\n\r\n..dot\r\n..\r\n" + line197 + "\r\ncafi ok\r\nab\r\nend\r\n.\r\n",
              log[0].raw);
    input.Close();

    // Nothing to read: only the terminating line.
    ASSERT_TRUE(Input(input, ""));
    EXPECT_EQ(nntp::ResultSuccess, Post(&input).result);
    input.Close();
    EXPECT_EQ(nntp::ResultSuccess, Post(&input).result);  // not open
    EXPECT_EQ(nntp::ResultSuccess, Post(nullptr).result);
    const auto all = server.PostLog();
    ASSERT_EQ(4u, all.size());
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_EQ(".\r\n", all[i].raw);
}

// A line the server could not take is found before POST goes out.
TEST_F(TransferTest, PostRefusedLocally) {
    plat::TextReader input;
    ASSERT_TRUE(Input(input, "Subject: t\n\nshort\n" + std::string(198, 'x') + "\nmore\n"));
    Note n = Post(&input);
    EXPECT_EQ(nntp::ResultRefusedLocally, n.result);
    EXPECT_EQ("Article line longer than 197 characters", n.text);
    EXPECT_EQ(0, CommandCount("POST"));
    EXPECT_TRUE(session.IsReady());
    // The stream is left at its start, and the connection usable.
    std::string first;
    EXPECT_TRUE(input.ReadLine(first));
    EXPECT_EQ("Subject: t", first);
    EXPECT_EQ(nntp::ResultSuccess, Do([&] { session.NextArticle(owner.window(), kNext); }).result);
}

// PostReply and PostResult: the server's answers before and after the
// article.
TEST_F(TransferTest, PostRepliesTable) {
    plat::TextReader input;
    ASSERT_TRUE(Input(input, "Subject: t\n\nbody\n"));
    server.SetPosting(testsrv::Posting::Refuse);
    Note n = Post(&input);
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("440 posting not allowed", n.text);
    EXPECT_FALSE(session.articleSent) << "refused before the article";

    server.SetPosting(testsrv::Posting::Accept);
    int nth = 2;
    for (const char* line : {"100 x", "240 too early", "500 x"}) {
        server.AddFault(Fault::Reply("POST", line, nth++));
        n = Post(&input);
        EXPECT_EQ(nntp::ResultFailure, n.result) << line;
        EXPECT_EQ(line, n.text);
        EXPECT_TRUE(session.IsReady());
    }
    // A line that is no reply refuses nothing: the post breaks (so that the
    // caller keeps its article) without QUIT, which could land in it.
    server.AddFault(Fault::Reply("POST", "junk", nth++));
    n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("junk", n.text);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_EQ(0, CommandCount("QUIT"));
    Reopen();

    server.SetPosting(testsrv::Posting::Fail);
    n = Post(&input);
    EXPECT_EQ(nntp::ResultFailure, n.result);
    EXPECT_EQ("441 posting failed", n.text);
    EXPECT_TRUE(session.articleSent) << "the verdict on the article";
    server.SetPosting(testsrv::Posting::Accept);

    nth = 2;
    for (const char* line : {"100 x", "340 x", "437 rejected", "500 x"}) {
        server.AddFault(Fault::Reply("POST_DATA", line, nth++));
        n = Post(&input);
        EXPECT_EQ(nntp::ResultFailure, n.result) << line;
        EXPECT_EQ(line, n.text);
    }
    EXPECT_EQ(nntp::ResultSuccess, Post(&input).result);

    // An overlong answer to POST may be the server asking for the article,
    // so QUIT would land in it: the connection is closed instead. After the
    // article, QUIT goes first.
    server.AddFault(Fault::OverlongLine("POST", 3000, 12));
    n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Reply line too long", n.text);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_EQ(0, CommandCount("QUIT"));
    Reopen();
    server.AddFault(Fault::OverlongLine("POST_DATA", 3000, nth + 1));
    n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Reply line too long", n.text);
    ExpectQuitAndClose();
    Reopen();
    ++nth;

    // A line that is no reply where the verdict belongs is no verdict: the
    // post breaks, after the article, with QUIT first.
    server.AddFault(Fault::Reply("POST_DATA", "junk", nth + 1));
    n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("junk", n.text);
    ExpectQuitAndClose();
}

// PostResult, CloseReq: the article is out and its verdict due when Close
// comes; the owner hears the close (if asked to) and nothing of the post.
TEST_F(TransferTest, CloseWhileAwaitingThePostVerdict) {
    plat::TextReader input;
    ASSERT_TRUE(Input(input, "Subject: t\n\nbody\n"));
    // A post that succeeded before must not colour the close.
    ASSERT_EQ(nntp::ResultSuccess, Post(&input).result);

    server.AddFault(Fault::Stall("POST_DATA", 2));
    session.PostArticle(owner.window(), kPost, &input);
    ASSERT_TRUE(plat::PumpUntil([&] {
        const auto log = server.PostLog();
        return log.size() == 2 && log[1].complete && session.AwaitingPostVerdict();
    }));
    std::size_t before = owner.notes.size();
    const Note n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(kClose, n.message);
    EXPECT_EQ(nntp::ResultClosed, n.result);
    EXPECT_EQ(0, n.data);
    EXPECT_TRUE(session.IsEnded());
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_TRUE(ServerClosed());
    owner.Settle();
    EXPECT_EQ(before + 1, owner.notes.size());
    EXPECT_EQ(1u, server.Posted().size());

    // Without notice, nothing at all.
    Reopen();
    server.AddFault(Fault::Stall("POST_DATA", 3));
    session.PostArticle(owner.window(), kPost, &input);
    ASSERT_TRUE(plat::PumpUntil([&] {
        const auto log = server.PostLog();
        return log.size() == 3 && log[2].complete && session.AwaitingPostVerdict();
    }));
    before = owner.notes.size();
    session.Close(owner.window(), kClose, false);
    EXPECT_TRUE(session.IsEnded());
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_TRUE(ServerClosed());
    owner.Settle();
    EXPECT_EQ(before, owner.notes.size());
}

// A post that cannot be finished ends the connection, so that the server
// is never left inside an unfinished article.
TEST_F(TransferTest, PostBrokenOff) {
    plat::TextReader input;
    std::string text = "Subject: t\n\n";
    for (int i = 0; i < 50; ++i) text += "line " + std::to_string(i) + "\n";
    ASSERT_TRUE(Input(input, text));

    session.failSendAt = session.sends + 10;  // POST, then eight lines
    Note n = Post(&input);
    session.failSendAt = 0;
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Unable to send command", n.text);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_TRUE(ServerClosed());
    ASSERT_EQ(1u, server.PostLog().size());
    EXPECT_FALSE(server.PostLog()[0].complete);

    // Lost once the article is out, while its answer is due.
    Reopen();
    server.AddFault(Fault::Close("POST_DATA"));
    n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Connection lost", n.text);
    owner.Settle();
    EXPECT_EQ(nntp::ResultBroken, owner.notes.back().result);
    EXPECT_TRUE(server.Posted().empty());
}

// A big article against a server that stops reading: the session is inside
// the article, waiting for the socket, when things go wrong.
class BigPostTest : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        text = "Subject: big\n\n";
        for (int i = 0; i < 20000; ++i) text += std::to_string(i) + std::string(100, 'b') + "\n";
        ASSERT_TRUE(Input(input, text));
        session.ShrinkSendBuffer();
    }
    std::string text;
    plat::TextReader input;
};

TEST_F(BigPostTest, AReplyInsideTheArticleBreaksWithoutQuit) {
    // The server gives up on the article after its first line and reads the
    // rest as commands, slowly.
    server.AddFault(Fault::Reply("POST_LINE", "441 stop", 1));
    server.AddFault(Fault::Delay("*", 200));
    const Note n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("441 stop", n.text);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_EQ(0, CommandCount("QUIT"));
}

TEST_F(BigPostTest, ConnectionLostInsideTheArticle) {
    server.AddFault(Fault::Delay("POST_LINE", 5000, 1));
    session.PostArticle(owner.window(), kPost, &input);
    ASSERT_TRUE(plat::PumpUntil([&] { return session.WaitingWritable(); }));
    const std::size_t before = owner.notes.size();
    server.Stop();
    ASSERT_TRUE(owner.WaitFor(before + 1));
    EXPECT_EQ(nntp::ResultBroken, owner.notes.back().result);
    EXPECT_EQ("Connection lost", owner.notes.back().text);
    owner.Settle();
    EXPECT_EQ(before + 1, owner.notes.size());
}

TEST_F(BigPostTest, ANonsenseLineInsideTheArticleBreaksWithoutQuit) {
    // Whatever the server now takes the article's lines for, its later
    // replies cannot be matched to anything.
    server.AddFault(Fault::Nonsense("POST_LINE", 1));
    server.AddFault(Fault::Delay("*", 200));
    const Note n = Post(&input);
    EXPECT_EQ(nntp::ResultBroken, n.result);
    EXPECT_EQ("Hello? This is not what you asked for.", n.text);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_EQ(0, CommandCount("QUIT"));
}

TEST_F(BigPostTest, CloseInsideTheArticle) {
    server.AddFault(Fault::Delay("POST_LINE", 5000, 1));
    session.PostArticle(owner.window(), kPost, &input);
    ASSERT_TRUE(plat::PumpUntil([&] { return session.WaitingWritable(); }));
    const Note n = Do([&] { session.Close(owner.window(), kClose, true); });
    EXPECT_EQ(nntp::ResultClosed, n.result);
    EXPECT_FALSE(session.SocketOpen());
    EXPECT_TRUE(server.Posted().empty());
}

// The pump waits for the socket's queue and resumes line by line; the
// article arrives whole.
TEST_F(BigPostTest, PostIsPacedByTheSendQueue) {
    server.AddFault(Fault::Delay("POST_LINE", 300, 1));
    const Note n = Post(&input);
    EXPECT_EQ(nntp::ResultSuccess, n.result);
    EXPECT_GT(session.wouldBlocks, 0);
    const auto posted = server.Posted();
    ASSERT_EQ(1u, posted.size());
    EXPECT_EQ(text, posted[0]);
}

}  // namespace
}  // namespace nntptest
