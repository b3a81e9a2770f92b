#include "spool/article_index.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "spool_fixture.h"

namespace {

using spool::ExtractSenderAddress;
using spool::FindHeaderValue;
using spooltest::ReadBytes;
using spooltest::WriteBytes;

class ArticleIndexTest : public spooltest::SpoolTest {
protected:
    std::string Article(const std::string& text) {
        const std::string path = At("article.nws");
        WriteBytes(path, text);
        return path;
    }
};

TEST_F(ArticleIndexTest, HeaderSearchFollowsTheHeaderRules) {
    // Any letter case, with continuation lines joined without a line break.
    std::string path = Article(
        "Path: x\r\nsubject: Re: test\r\n\tmore\r\n  and more\r\nFrom:   a@b.c  \r\n\r\nbody\r\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), "Re: test\tmore  and more");
    // Spaces and tabs after the name are skipped, trailing spaces kept.
    EXPECT_EQ(FindHeaderValue("From:", path), "a@b.c  ");
    EXPECT_EQ(FindHeaderValue("FROM:", path), "a@b.c  ");

    // The empty line ends the header: "Subject:" in the body is not seen.
    path = Article("From: a@b\r\n\r\nSubject: in the body\r\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), std::nullopt);

    // Plain LF line ends read the same; a header with no value is empty.
    path = Article("Subject:\nFrom: x@y\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), "");
    EXPECT_EQ(FindHeaderValue("From:", path), "x@y");

    // A line shorter than the name does not match it.
    path = Article("Subj\r\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), std::nullopt);

    // Missing and empty files have no headers.
    EXPECT_EQ(FindHeaderValue("From:", At("missing.nws")), std::nullopt);
    EXPECT_EQ(FindHeaderValue("From:", Article("")), std::nullopt);
}

TEST_F(ArticleIndexTest, LongHeaderLinesStayOneLine) {
    // The text behind the first 2047 characters of a long line is not a
    // header line of its own, even when it looks like one.
    std::string padding(2047 - std::strlen("X-Long: "), 'x');
    std::string path = Article("X-Long: " + padding + "Subject: forged\r\nSubject: real\r\n\r\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), "real");

    // A header line of exactly 2047 characters does not end the header.
    path = Article("X-Long: " + padding + "\r\nSubject: after\r\n\r\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), "after");

    // A long value is read whole.
    const std::string longSubject(5000, 's');
    path = Article("Subject: " + longSubject + "\r\n\r\n");
    EXPECT_EQ(FindHeaderValue("Subject:", path), longSubject);
}

TEST_F(ArticleIndexTest, ReadArticleHeadersFillsBothTexts) {
    const std::string path =
        Article("From: Fred <fred@example.org>\r\nSubject: hello\r\n\r\nFrom: body@x\r\n");
    spool::ArticleHeaders h = spool::ReadArticleHeaders(path, 678);
    EXPECT_EQ(h.from, "Fred <fred@example.org>");
    EXPECT_EQ(h.subject, "hello");
    EXPECT_EQ(h.articleNumber, 678);

    h = spool::ReadArticleHeaders(Article("Path: x\r\n\r\n"), 5);
    EXPECT_EQ(h.from, "");
    EXPECT_EQ(h.subject, "");
}

// ReadArticleHeaders reads the file once for both headers; it must agree
// with a search for each of them on every way the text can be laid out.
TEST_F(ArticleIndexTest, OnePassAgreesWithEachSearch) {
    const std::string big(70000, 's');
    // Puts the CR of the From line at the last byte of an 8 KB read and its
    // LF at the first of the next one.
    const std::string split = "X-Pad: " + std::string(8191 - 20, 'p') + "\r\n";
    const std::vector<std::string> texts = {
        "From: a\r\nSubject: s\r\n\r\n",
        "Subject: s\r\n\tcont\r\nFrom: a\r\n cont2\r\n\r\nFrom: body\r\n",
        "From: first\r\nFrom: second\r\n\tmore\r\nSubject: x\r\nSubject: y\r\n\r\n",
        "From: a\r\r\nSubject: b\r\r\n\r\n",
        "From: a\rSubject: b\r\n\r\n",
        "Subject: ends in CR\r",
        "\r\nFrom: after the empty line\r\n",
        "\r\r\nFrom: x\r\n",
        "From: x\n\nSubject: body\n",
        "from :x\r\nFROM:y\r\nsubject:\r\n\r\n",
        std::string("From: nul\0byte\r\nSubject: s\0\r\n", 30),
        "Subject: " + big + "\r\n From: cont\r\nFrom: f\r\n\r\n",
        "Subject: " + std::string(65536 - 9, 'e') + "\r\n\tnext\r\nFrom: g\r\n",
        "Subject: " + std::string(65536 - 9 + 1, 'e') + "\r\n\tnext\r\n",
        "From: x\r\n" + std::string("\t") + big + "\r\n\t" + big + "\r\nSubject: z\r\n",
        split + "From: split\r\nSubject: s\r\n\r\n",
        "X-Pad: " + std::string(8192 - 7 - 1, 'p') + "\r\nSubject: " + big + "\r\n\r\n",
    };
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string path = Article(texts[i]);
        const spool::ArticleHeaders h = spool::ReadArticleHeaders(path, 1);
        EXPECT_EQ(h.from, FindHeaderValue("From:", path).value_or("")) << "text " << i;
        EXPECT_EQ(h.subject, FindHeaderValue("Subject:", path).value_or("")) << "text " << i;
    }
    // A few spelled out.
    spool::ArticleHeaders h = spool::ReadArticleHeaders(Article(texts[3]), 1);
    EXPECT_EQ(h.from, "a\r");
    h = spool::ReadArticleHeaders(Article(texts[11]), 1);
    EXPECT_EQ(h.subject, std::string(65536 - 9, 's') + " From: co");
    EXPECT_EQ(h.from, "f");
    h = spool::ReadArticleHeaders(Article(texts[15]), 1);
    EXPECT_EQ(h.from, "split");
}

TEST(SenderAddress, TakesTheWordWithTheAtSign) {
    EXPECT_EQ(ExtractSenderAddress("Fred Bloggs <fred@example.org>"), "fred@example.org");
    EXPECT_EQ(ExtractSenderAddress("fred@example.org (Fred Bloggs)"), "fred@example.org");
    EXPECT_EQ(ExtractSenderAddress("\"Fred Bloggs\" <fred@example.org>"), "fred@example.org");
    EXPECT_EQ(ExtractSenderAddress("Fred\tBloggs\t<fred@example.org>"), "fred@example.org");
    // Without an at sign: the first word, with the delimiters in front of it.
    EXPECT_EQ(ExtractSenderAddress("Fred Bloggs"), "Fred");
    EXPECT_EQ(ExtractSenderAddress("\"Fred Bloggs\""), "\"Fred");
    EXPECT_EQ(ExtractSenderAddress("  Fred"), "  Fred");
    // No word at all: the value itself.
    EXPECT_EQ(ExtractSenderAddress(""), "");
    EXPECT_EQ(ExtractSenderAddress(" <> "), " <> ");
}

std::string Bytes(const spool::ArticleIndexRecord& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

TEST_F(ArticleIndexTest, RecordOfTheWorkedExample) {
    spool::ArticleHeaders h;
    h.from = "Fred Bloggs <fred@example.org>";
    h.subject = "Hello";
    h.articleNumber = 678;
    const std::string r = Bytes(spool::BuildArticleIndexRecord(h, 12, 345, {1997, 3, 6, 14, 5}));

    std::string expected(322, '\0');
    auto put = [&](std::size_t at, const std::string& text) {
        expected.replace(at, text.size(), text);
    };
    put(0,
        "\x02"
        "12");
    put(9, "  999  ");
    put(16, "fred@example.org    ");
    put(36, "06 Mar  ");
    put(44, "Hello");
    put(138,
        "\x0e"
        "97.03.06.14.05");
    put(153,
        "\x0c"
        "00000345.nws");
    put(213,
        "\x0c"
        "00000345.nws");
    put(311,
        "\x03"
        "678");
    EXPECT_EQ(r, expected);
}

// The article number field: "%lld" in up to 10 digits behind its length
// byte, zeros after; a number that does not fit is left out, not cut to a
// different number.
TEST_F(ArticleIndexTest, ArticleNumberFieldHoldsTenDigits) {
    const std::pair<std::int64_t, std::string> rows[] = {
        {0, std::string("\x01" "0") + std::string(9, '\0')},
        {2147483647, "\x0a" "2147483647"},
        {2147483648, "\x0a" "2147483648"},
        {9999999999, "\x0a" "9999999999"},
        {10000000000, std::string(11, '\0')},
        {INT64_MAX, std::string(11, '\0')},
    };
    for (const auto& [number, field] : rows) {
        SCOPED_TRACE(number);
        spool::ArticleHeaders h;
        h.articleNumber = number;
        const std::string r =
            Bytes(spool::BuildArticleIndexRecord(h, 1, 1, {2026, 12, 31, 23, 59}));
        ASSERT_EQ(r.size(), 322u);
        EXPECT_EQ(r.substr(311, 11), field);
        EXPECT_EQ(r.substr(226, 85), std::string(85, '\0'));
    }
}

TEST_F(ArticleIndexTest, RecordFieldsAreCutToTheirWidths) {
    spool::ArticleHeaders h;
    h.from = "abcdefghijklmnopqrstuvwxy@example.org";  // 37 characters
    h.subject = std::string(200, 'S');
    h.articleNumber = 2147483647;
    const std::string r =
        Bytes(spool::BuildArticleIndexRecord(h, 99999999, 99999999, {2026, 12, 31, 23, 59}));
    ASSERT_EQ(r.size(), 322u);
    EXPECT_EQ(r.substr(16, 20), "abcdefghijklmnopqrs ");
    EXPECT_EQ(r.substr(44, 94), std::string(93, 'S') + '\0');
    EXPECT_EQ(r.substr(138, 15),
              "\x0e"
              "26.12.31.23.59");
    EXPECT_EQ(r.substr(0, 9),
              "\x08"
              "99999999");
    EXPECT_EQ(r.substr(311, 11),
              "\x0a"
              "2147483647");
    EXPECT_EQ(r.substr(166, 47), std::string(47, '\0'));
    EXPECT_EQ(r.substr(226, 85), std::string(85, '\0'));

    // No sender: twenty spaces; no subject: a zero byte at 44.
    const std::string empty = Bytes(spool::BuildArticleIndexRecord({}, 1, 1, {1999, 1, 2, 3, 4}));
    EXPECT_EQ(empty.substr(16, 20), std::string(20, ' '));
    EXPECT_EQ(empty[44], '\0');
    EXPECT_EQ(empty.substr(139, 14), "99.01.02.03.04");
}

TEST(TimestampYear, TwoDigitsWithAFixedPivot) {
    EXPECT_EQ(spool::TimestampYear(1997), 97);
    EXPECT_EQ(spool::TimestampYear(1999), 99);
    EXPECT_EQ(spool::TimestampYear(2000), 0);
    EXPECT_EQ(spool::TimestampYear(2026), 26);
    EXPECT_EQ(spool::YearsSince1900(97), 97);
    EXPECT_EQ(spool::YearsSince1900(70), 70);
    EXPECT_EQ(spool::YearsSince1900(69), 169);
    EXPECT_EQ(spool::YearsSince1900(0), 100);
    for (int year = 1970; year < 2070; ++year)
        EXPECT_EQ(spool::YearsSince1900(spool::TimestampYear(year)), year - 1900);
}

TEST_F(ArticleIndexTest, AppendAddsOneRecordPerArticle) {
    SetToday(1997, 3, 6, 14, 5);
    spool::ArticleHeaders h;
    h.from = "fred@example.org";
    h.subject = "one";
    h.articleNumber = 678;
    const std::string grp = At("12.grp");
    ASSERT_TRUE(spool::AppendArticleIndex(Spool(), h, 12, 345));
    std::string bytes = ReadBytes(grp);
    ASSERT_EQ(bytes.size(), 322u);
    EXPECT_EQ(bytes, Bytes(spool::BuildArticleIndexRecord(h, 12, 345, {1997, 3, 6, 14, 5})));

    h.subject = "two";
    ASSERT_TRUE(spool::AppendArticleIndex(Spool(), h, 12, 346));
    bytes = ReadBytes(grp);
    ASSERT_EQ(bytes.size(), 644u);
    EXPECT_EQ(bytes.substr(322),
              Bytes(spool::BuildArticleIndexRecord(h, 12, 346, {1997, 3, 6, 14, 5})));
}

TEST_F(ArticleIndexTest, AppendBehindADamagedTailRealignsTheRecord) {
    // A cut-off record at the end: the new record takes the last whole block
    // and the zero bytes added behind it keep the file's old excess.
    const std::string grp = At("3.grp");
    const std::string first = Record(3, 1, 1997, 3, 1);
    WriteBytes(grp, first + std::string(100, 'x'));
    spool::ArticleHeaders h;
    h.articleNumber = 9;
    ASSERT_TRUE(spool::AppendArticleIndex(Spool(), h, 3, 2));
    const std::string bytes = ReadBytes(grp);
    ASSERT_EQ(bytes.size(), 322u + 322u + 100u);
    EXPECT_EQ(bytes.substr(0, 322), first);
    EXPECT_EQ(bytes.substr(322, 322), Bytes(spool::BuildArticleIndexRecord(h, 3, 2, plat::Now())));
    EXPECT_EQ(bytes.substr(644), std::string(100, '\0'));
}

TEST_F(ArticleIndexTest, AppendFailureLeavesTheIndexAsItWas) {
    spool::ArticleHeaders h;
    // A directory where the index should be.
    ASSERT_TRUE(plat::CreateDirectory(At("4.grp")));
    EXPECT_FALSE(spool::AppendArticleIndex(Spool(), h, 4, 1));
    // A FIFO with nobody reading: refused at once, not waited on.
    ASSERT_EQ(mkfifo(At("6.grp").c_str(), 0600), 0);
    EXPECT_FALSE(spool::AppendArticleIndex(Spool(), h, 6, 1));
    // No room for the whole record: nothing of it stays.
    WriteBytes(At("5.grp"), Record(5, 1, 1997, 3, 1));
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 400;
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = spool::AppendArticleIndex(Spool(), h, 5, 2);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_FALSE(written);
    EXPECT_EQ(ReadBytes(At("5.grp")).size(), 322u);
}

}  // namespace

namespace {

TEST_F(ArticleIndexTest, ScanFindsTheFilesAndTheNewestRecord) {
    EXPECT_FALSE(spool::ScanIndex(Spool(), 1).named) << "no index";
    std::string index = Record(1, 7, 1997, 3, 10) + Record(1, 99999999, 1997, 3, 10) +
                        Record(1, 3, 1997, 3, 10);
    std::string stray = Record(1, 1, 1997, 3, 10);
    stray.replace(154, 12, "notanumber\0\0", 12);
    index += stray + Record(1, 5, 1997, 3, 10).substr(0, 200);  // a part record is none
    WriteBytes(At("1.grp"), index);
    const spool::IndexScan scan = spool::ScanIndex(Spool(), 1);
    EXPECT_TRUE(scan.named);
    EXPECT_EQ(scan.highestFile, 99999999);
    EXPECT_EQ(scan.lastFile, -1) << "the newest record names no numbered file";
    EXPECT_EQ(scan.lastArticle, 1001);
}

TEST(IndexScan, CounterBehindTheIndex) {
    const auto scan = [](bool named, std::int32_t highest, std::int64_t lastFile) {
        spool::IndexScan s;
        s.named = named;
        s.highestFile = highest;
        s.lastFile = lastFile;
        return s;
    };
    const struct {
        spool::IndexScan scan;
        std::int32_t counter;
        bool behind;
    } cases[] = {
        {scan(false, 0, -1), 0, false},  {scan(false, 0, -1), -1, true},
        {scan(true, 10, 10), 10, true},  {scan(true, 10, 10), 11, false},
        {scan(true, 10, 10), 3, true},
        // Wrapped: the newest record names 4, below the highest.
        {scan(true, 99999999, 4), 5, false}, {scan(true, 99999999, 4), 4, true},
        {scan(true, 99999999, 4), 2, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(spool::CounterBehindIndex(c.scan, c.counter), c.behind)
            << c.scan.highestFile << " " << c.scan.lastFile << " " << c.counter;
}

TEST_F(ArticleIndexTest, NextFreeFileNumberPassesOverFilesAndWraps) {
    for (int n : {5, 6, 1}) MakeArticle(1, n);
    const std::string dir = At("news/NG1");
    bool wrapped = true;
    EXPECT_EQ(spool::NextFreeFileNumber(dir, 4, wrapped), 7);
    EXPECT_FALSE(wrapped);
    EXPECT_EQ(spool::NextFreeFileNumber(dir, 99999999, wrapped), 2);
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(spool::NextFreeFileNumber(dir, -3, wrapped), 2);
    EXPECT_TRUE(wrapped);
}

}  // namespace
