// COMPRESS DEFLATE over loopback: when the session asks for it and when
// not, what a refusal leaves, that a compressed fetch stores what an
// uncompressed one does, and that a corrupt stream breaks the exchange
// without a single article from it reported as stored.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "session_support.h"

namespace nntptest {
namespace {

using nntp::CNntpSession;
using ::testing::HasSubstr;
using testsrv::CompressMode;

constexpr long kLast = 123;

class CompressTest : public LoopbackTest {
protected:
    void SetUp() override {
        LoopbackTest::SetUp();
        server.AddArticle("misc.z", {1, "Subject: dots\n\n..\n.x\n.\n\nlast line\n"});
        // Longer than the session's receive buffer: handed on in pieces.
        server.AddArticle("misc.z", {2, "Subject: long\n\n" + std::string(7000, 'L') + "\n"});
        server.AddArticle("misc.z", {3, "Subject: caf\xe9\n\n\xff\x80\xa0 bytes \x01\x7f\n"});
        server.GenerateArticles("misc.z", kLast - 3, 3300, 4);
        session.groupName = "misc.z";
    }

    std::string PathOf(const std::string& tag, long n) const {
        return dir + "/" + tag + "-" + std::to_string(n);
    }

    // Selects the group and asks for 1..last at once; the notifications.
    std::vector<Note> FetchAll(const std::string& tag, long last = kLast) {
        const Note group = Do([&] { session.SelectGroup(owner.window(), kGroup); });
        if (group.result != nntp::ResultSuccess) return {group};
        const std::size_t before = owner.notes.size();
        for (long n = 1; n <= last; ++n)
            session.RequestArticle(owner.window(), kAnswer, n, PathOf(tag, n));
        // One notification per request, or a break that ends them all.
        EXPECT_TRUE(plat::PumpUntil(
            [&] {
                return owner.notes.size() >= before + static_cast<std::size_t>(last) ||
                       (owner.notes.size() > before &&
                        owner.notes.back().result == nntp::ResultBroken);
            },
            10000));
        owner.Settle();
        return {owner.notes.begin() + static_cast<long>(before), owner.notes.end()};
    }

    void Quit() {
        Do([&] { session.Quit(owner.window(), kQuit); });
        EXPECT_TRUE(ServerClosed());
    }

    // The reference: every article fetched without compression.
    void FetchReference() {
        serverConfig.compress = CNntpSession::CompressOff;
        Open();
        for (const Note& n : FetchAll("plain")) ASSERT_EQ(n.result, nntp::ResultSuccess);
        Quit();
    }
};

TEST_F(CompressTest, WhenItIsAskedForAndWhatTheAnswerLeaves) {
    FetchReference();
    const struct {
        const char* name;
        CompressMode server;
        int mode;
        int result;
        const char* reply;
        bool compressed;
        int capabilities;  // CAPABILITIES sent
        int compress;      // COMPRESS sent
    } rows[] = {
        {"on, offered", CompressMode::Deflate, CNntpSession::CompressOn, nntp::ResultSuccess, "",
         true, 0, 1},
        {"auto, offered", CompressMode::Deflate, CNntpSession::CompressAuto, nntp::ResultSuccess,
         "", true, 1, 1},
        {"auto, not offered", CompressMode::None, CNntpSession::CompressAuto, nntp::ResultSuccess,
         "", false, 1, 0},
        {"on, unknown", CompressMode::None, CNntpSession::CompressOn, nntp::ResultFailure,
         "500 unknown command", false, 0, 1},
        {"on, 403", CompressMode::Refuse403, CNntpSession::CompressOn, nntp::ResultFailure,
         "403 unable to activate compression", false, 0, 1},
        {"auto, 502", CompressMode::Refuse502, CNntpSession::CompressAuto, nntp::ResultFailure,
         "502 command unavailable", false, 1, 1},
        {"off", CompressMode::Deflate, CNntpSession::CompressOff, nntp::ResultSuccess, "", false, 0,
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        server.SetCompress(row.server);
        const int capabilities = CommandCount("CAPABILITIES");
        const int compress = CommandCount("COMPRESS");
        const int starts = server.CompressStarts();
        const Note note = OpenAndCompress(row.mode);
        EXPECT_EQ(note.result, row.result);
        EXPECT_EQ(note.text, row.reply);
        EXPECT_EQ(session.Compressed(), row.compressed);
        EXPECT_EQ(server.CompressStarts() - starts, row.compressed ? 1 : 0);
        EXPECT_EQ(CommandCount("CAPABILITIES") - capabilities, row.capabilities);
        EXPECT_EQ(CommandCount("COMPRESS") - compress, row.compress);
        EXPECT_TRUE(session.IsReady());
        // Asked again on the same connection: nothing more is sent.
        const std::size_t sent = server.Commands().size();
        if (row.result == nntp::ResultSuccess) {
            EXPECT_EQ(Do([&] { session.StartCompression(owner.window(), kCompress); }).result,
                      nntp::ResultSuccess);
            EXPECT_EQ(server.Commands().size(), sent);
        }
        // Either way the connection serves, byte for byte the same.
        const std::vector<Note> notes = FetchAll("row", 12);
        ASSERT_EQ(notes.size(), 12u);
        for (const Note& n : notes) {
            ASSERT_EQ(n.result, nntp::ResultSuccess) << n.articleNumber;
            EXPECT_EQ(ReadFile(n.path), ReadFile(PathOf("plain", n.articleNumber)));
        }
        Quit();
    }
}

TEST_F(CompressTest, ACompressedFetchStoresWhatAnUncompressedOneDoes) {
    FetchReference();
    server.SetCompress(CompressMode::Deflate);
    ASSERT_EQ(OpenAndCompress(CNntpSession::CompressAuto).result, nntp::ResultSuccess);
    ASSERT_TRUE(session.Compressed());
    const std::vector<Note> notes = FetchAll("z");
    ASSERT_EQ(notes.size(), static_cast<std::size_t>(kLast));
    for (const Note& n : notes) {
        ASSERT_EQ(n.result, nntp::ResultSuccess) << n.articleNumber;
        EXPECT_EQ(ReadFile(n.path), ReadFile(PathOf("plain", n.articleNumber))) << n.articleNumber;
    }
    // The link carried fewer bytes than it delivered, on both sides.
    EXPECT_LT(server.CompressWireBytes() * 2, server.CompressPlainBytes());
    EXPECT_GT(server.CompressWireBytes(), 12000u) << "the corruption test reaches far in";
    EXPECT_EQ(session.Compression().PlainIn(), server.CompressPlainBytes());
    EXPECT_LT(session.Compression().WireIn() * 2, session.Compression().PlainIn());
    EXPECT_GT(session.Compression().PlainOut(), session.Compression().WireOut());
    Quit();
    EXPECT_EQ(server.Commands().back(), "QUIT") << "QUIT went compressed and was read";
}

TEST_F(CompressTest, ACorruptStreamBreaksTheExchangeAndNothingFromItIsStored) {
    FetchReference();
    server.SetCompress(CompressMode::Deflate);
    // From the GROUP answer on, within the first articles, and far in.
    for (const std::size_t after : {std::size_t{0}, std::size_t{2000}, std::size_t{9000}}) {
        SCOPED_TRACE(after);
        server.CorruptCompressedAfter(after);
        ASSERT_EQ(OpenAndCompress(CNntpSession::CompressOn).result, nntp::ResultSuccess);
        const std::vector<Note> notes = FetchAll("bad" + std::to_string(after));
        std::size_t stored = 0;
        bool broken = false;
        for (const Note& n : notes) {
            if (n.result == nntp::ResultSuccess && !broken) {
                ++stored;
                EXPECT_EQ(ReadFile(n.path), ReadFile(PathOf("plain", n.articleNumber)));
                continue;
            }
            EXPECT_NE(n.result, nntp::ResultSuccess) << "after the break: " << n.articleNumber;
            if (!broken) {
                EXPECT_EQ(n.result, nntp::ResultBroken);
                EXPECT_THAT(n.text, HasSubstr("compressed stream from the server is corrupt"));
            }
            broken = true;
        }
        EXPECT_TRUE(broken);
        EXPECT_LT(stored, static_cast<std::size_t>(kLast));
        if (after == 0) {
            EXPECT_EQ(stored, 0u);
        } else if (after == 9000) {
            EXPECT_GT(stored, 10u);
        }
        EXPECT_TRUE(ServerClosed());
        EXPECT_FALSE(session.Compressed());
        owner.Settle();
    }
    // The next connection is whole again.
    server.CorruptCompressedAfter(testsrv::Fault::kWhole);
    ASSERT_EQ(OpenAndCompress(CNntpSession::CompressOn).result, nntp::ResultSuccess);
    for (const Note& n : FetchAll("again", 5)) EXPECT_EQ(n.result, nntp::ResultSuccess);
    Quit();
}

// A list read on this connection is used again, when it still holds.
TEST_F(CompressTest, TheLoginNeedsNoCompressionOfItsOwn) {
    server.SetCompress(CompressMode::Deflate);
    server.SetAccounts({{"joe", "secret"}});
    serverConfig.compress = CNntpSession::CompressAuto;
    Open();
    session.userName = "joe";
    session.password = "secret";
    EXPECT_EQ(Do([&] { session.SendUser(owner.window(), kUser); }).result, nntp::ResultFailure);
    EXPECT_EQ(Do([&] { session.SendPass(owner.window(), kPass); }).result, nntp::ResultSuccess);
    EXPECT_EQ(server.CompressStarts(), 0);
    ASSERT_EQ(Do([&] { session.StartCompression(owner.window(), kCompress); }).result,
              nntp::ResultSuccess);
    EXPECT_TRUE(session.Compressed());
    const std::vector<std::string> commands = server.Commands();
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 4, commands.end()),
              (std::vector<std::string>{"AUTHINFO USER joe", "AUTHINFO PASS secret", "CAPABILITIES",
                                        "COMPRESS DEFLATE"}));
    for (const Note& n : FetchAll("login", 4)) EXPECT_EQ(n.result, nntp::ResultSuccess);
    Quit();
}

}  // namespace
}  // namespace nntptest
