// Compressed cycles (COMPRESS DEFLATE): what each Compress setting sends,
// that a compressed fetch stores byte for byte what an uncompressed one
// does, that a refusal is logged once and the cycle goes on, and that a
// corrupt stream stores nothing from it and leaves Index where the stored
// articles end.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/cycles.h"
#include "cycle_support.h"

namespace apptest {
namespace {

using testsrv::CompressMode;

constexpr long kCount = 60;

// Texts that do not name their group, so that two groups can hold the same.
std::vector<testsrv::Article> Articles() {
    std::vector<testsrv::Article> out = {
        {1, "From: a@b\nSubject: dots\n\n..\n.x\n.\n\nlast line\n"},
        {2, "From: a@b\nSubject: long\n\n" + std::string(5000, 'L') + "\n"},
        {3, "From: a@b\nSubject: caf\xe9\n\n\xff\x80\xa0 bytes \x01\x7f\n"},
    };
    for (long n = 4; n <= kCount; ++n)
        out.push_back({n, testsrv::GeneratedArticleText("any.group", n, 3000)});
    return out;
}

std::string Expected(long number) {
    return Stored(Articles()[static_cast<std::size_t>(number - 1)].text);
}

class CompressCycleTest : public DepthTest {
protected:
    std::string FileOf(int group, const IndexEntry& e) const {
        return ReadFile(Spool("news/NG" + std::to_string(group) + "/" + e.fileName));
    }
};

TEST_P(CompressCycleTest, ACompressedFetchStoresWhatAnUncompressedOneDoes) {
    server_.AddGroup({"alt.plain", Articles()});
    server_.AddGroup({"alt.z", {}});
    Subscribe(1, "alt.plain");
    Subscribe(2, "alt.z");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(server_.CompressStarts(), 0);

    // The same articles in the other group, now over a compressed link.
    server_.AddGroup({"alt.z", Articles()});
    server_.SetCompress(CompressMode::Deflate);
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(server_.CompressStarts(), 1);
    EXPECT_LT(server_.CompressWireBytes() * 2, server_.CompressPlainBytes());

    const std::vector<IndexEntry> plain = ReadIndex(Spool("1.grp"));
    const std::vector<IndexEntry> packed = ReadIndex(Spool("2.grp"));
    ASSERT_EQ(plain.size(), static_cast<std::size_t>(kCount));
    ASSERT_EQ(packed.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        SCOPED_TRACE(plain[i].articleNumber);
        EXPECT_EQ(packed[i].articleNumber, plain[i].articleNumber);
        EXPECT_EQ(packed[i].sender, plain[i].sender);
        EXPECT_EQ(packed[i].subject, plain[i].subject);
        EXPECT_EQ(FileOf(2, packed[i]), FileOf(1, plain[i]));
        EXPECT_EQ(FileOf(1, plain[i]), Expected(plain[i].articleNumber));
    }
    EXPECT_EQ(Ini("NG1", "Index"), Ini("NG2", "Index"));
}

TEST_P(CompressCycleTest, ACorruptStreamStoresNothingFromIt) {
    server_.AddGroup({"alt.z", Articles()});
    server_.SetCompress(CompressMode::Deflate);
    server_.CorruptCompressedAfter(4000);
    Subscribe(1, "alt.z");
    Configure({"LastFileNumIn=0"});
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.lost);
    EXPECT_EQ(LogCount(std::string(app::kConnectionLostLine) +
                       ": The compressed stream from the server is corrupt"),
              1)
        << ::testing::PrintToString(Log());
    ExpectDisconnectedState();
    const std::vector<IndexEntry> first = ReadIndex(Spool("1.grp"));
    ASSERT_FALSE(first.empty());
    ASSERT_LT(first.size(), static_cast<std::size_t>(kCount));
    for (std::size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].articleNumber, static_cast<long>(i) + 1);
        EXPECT_EQ(FileOf(1, first[i]), Expected(first[i].articleNumber));
    }
    EXPECT_EQ(Ini("NG1", "Index"), std::to_string(first.back().articleNumber + 1));

    // The next cycle asks for exactly the rest.
    server_.CorruptCompressedAfter(testsrv::Fault::kWhole);
    const std::size_t asked = ServerCommands("ARTICLE").size();
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    const std::vector<std::string> articles = ServerCommands("ARTICLE");
    ASSERT_GT(articles.size(), asked);
    EXPECT_EQ(articles[asked], "ARTICLE " + std::to_string(first.size() + 1));
    const std::vector<IndexEntry> all = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kCount));
    for (const IndexEntry& e : all) EXPECT_EQ(FileOf(1, e), Expected(e.articleNumber));
    EXPECT_EQ(Ini("NG1", "Index"), std::to_string(kCount + 1));
}

INSTANTIATE_TEST_SUITE_P(Depths, CompressCycleTest, ::testing::ValuesIn(FetchDepths()),
                         [](const auto& info) { return DepthName(info.param); });

// Posting goes the same way: every line compressed on its own, the server
// reading each as it comes.
TEST_F(CycleTest, PostsTravelCompressedAndArriveWhole) {
    server_.SetCompress(CompressMode::Deflate);
    Configure({"LastGroupNum=1"});
    std::string body = ".starts with a dot\r\n";
    for (int n = 0; n < 40; ++n)
        body += "line " + std::to_string(n) + std::string(60, 'b') + "\r\n";
    body += ".\r\nend\r\n";
    for (const char* name : {"one.txt", "two.txt"})
        WriteFile(Spool(std::string("out/") + name),
                  std::string("Newsgroups: alt.test\r\nSubject: ") + name + "\r\n\r\n" + body);
    WriteFile(Spool("out.dat"), OutRecord("one.txt") + OutRecord("two.txt"));
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(server_.CompressStarts(), 1);
    std::string posted = body;
    for (std::size_t at = 0; (at = posted.find("\r\n", at)) != std::string::npos;)
        posted.erase(at, 1);
    EXPECT_EQ(server_.Posted(),
              (std::vector<std::string>{"Newsgroups: alt.test\nSubject: one.txt\n\n" + posted,
                                        "Newsgroups: alt.test\nSubject: two.txt\n\n" + posted}));
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
}

// ---- What each setting sends ----

struct SettingCase {
    const char* name;
    const char* line;  // in qiv.ini; empty: none (auto)
    CompressMode server;
    std::size_t capabilities;
    std::size_t compress;
    bool compressed;
    int logged;  // "The server refused ..." lines
};

// By name: the bytes of the record hold padding.
void PrintTo(const SettingCase& c, std::ostream* out) {
    *out << c.name;
}

class CompressSetting : public CycleTest, public ::testing::WithParamInterface<SettingCase> {};

TEST_P(CompressSetting, SendsWhatTheSettingSaysAndTheCycleCompletes) {
    const SettingCase& c = GetParam();
    server_.AddGroup(MakeGroup("alt.a", 1, 4));
    server_.SetCompress(c.server);
    Subscribe(1, "alt.a");
    if (*c.line != '\0') {
        Configure({c.line});
    } else {
        Configure();
    }
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(ServerCommands("CAPABILITIES").size(), c.capabilities);
    EXPECT_EQ(ServerCommands("COMPRESS").size(), c.compress);
    EXPECT_EQ(server_.CompressStarts(), c.compressed ? 1 : 0);
    EXPECT_EQ(LogCount("The server refused COMPRESS DEFLATE"), c.logged)
        << ::testing::PrintToString(Log());
    EXPECT_EQ(LogCount("Compress must be"), std::string(c.line) == "Compress=maybe" ? 1 : 0);
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 4u);
    for (const IndexEntry& e : ReadIndex(Spool("1.grp")))
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + e.fileName)),
                  Stored(ArticleText("alt.a", e.articleNumber)));

    // A second cycle (its log starts afresh): a refusal is not logged again.
    ASSERT_TRUE(RunCycle());
    EXPECT_TRUE(Cycle().report.disconnected);
    EXPECT_EQ(ServerCommands("COMPRESS").size(), 2 * c.compress);
    EXPECT_EQ(LogCount("Connecting to server"), 1);
    EXPECT_EQ(LogCount("The server refused COMPRESS DEFLATE"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CompressSetting,
    ::testing::Values(
        SettingCase{"AutoOffered", "", CompressMode::Deflate, 1, 1, true, 0},
        SettingCase{"AutoNotOffered", "", CompressMode::None, 1, 0, false, 0},
        SettingCase{"AutoRefused", "Compress=auto", CompressMode::Refuse403, 1, 1, false, 1},
        SettingCase{"On", "Compress=On", CompressMode::Deflate, 0, 1, true, 0},
        SettingCase{"OnUnknown", "Compress=on", CompressMode::None, 0, 1, false, 1},
        SettingCase{"OnRefused", "Compress=on", CompressMode::Refuse502, 0, 1, false, 1},
        SettingCase{"Off", "Compress=off", CompressMode::Deflate, 0, 0, false, 0},
        SettingCase{"Unreadable", "Compress=maybe", CompressMode::Deflate, 1, 1, true, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace apptest
