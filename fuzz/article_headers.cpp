// Header search and sender extraction on arbitrary article files, and the
// index record built from what they find.
//
// Input: [group] [file number] [article number] [year] (one byte each),
// then the article file.
// Checked: a header value holds no line break and stays within its cap,
// the sender address is a piece of the From value, the record keeps its
// fixed bytes, and appending to an index (whose start, possibly a damaged
// part-record, comes from the article) keeps its whole records and puts
// the new ones at record boundaries.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "platform/clock.h"
#include "spool/article_index.h"

namespace {

constexpr std::size_t kMaxHeaderValue = 65536;

void CheckValue(const std::optional<std::string>& value) {
    if (!value) return;
    FUZZ_CHECK(value->find('\n') == std::string::npos, "a line break inside a header value");
    FUZZ_CHECK(value->size() <= kMaxHeaderValue,
               "header value of " + std::to_string(value->size()));
}

void CheckSender(const std::string& from) {
    const std::string sender = spool::ExtractSenderAddress(from);
    FUZZ_CHECK(sender.size() <= from.size(), "sender longer than From");
    FUZZ_CHECK(from.find(sender) != std::string::npos, "sender is not part of From: " + sender);
    if (sender.find('@') != std::string::npos && sender != from)
        FUZZ_CHECK(sender.find_first_of(" <>\t\n\"") == std::string::npos,
                   "an address with a delimiter in it: " + sender);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool clock = [] {
        plat::SetClockForTests([] { return plat::LocalTime{2026, 3, 10, 12, 0}; });
        return true;
    }();
    (void)clock;
    fuzz::ClearScratch();
    const std::string dir = fuzz::ScratchDir();
    fuzz::Input in(data, size);
    const std::int32_t group = in.Byte() + 1;
    const std::int32_t fileNumber = static_cast<std::int32_t>(in.Byte() * 1000003L);
    const std::int32_t articleNumber =
        static_cast<std::int32_t>(static_cast<std::int8_t>(in.Byte()) * 16777215L);
    const int year = 1970 + in.Byte();  // also: bytes of the article that start the index
    const std::string article = in.Rest();

    const std::string path = fuzz::Join(dir, "00000001.nws");
    fuzz::WriteBytes(path, article);

    const auto from = spool::FindHeaderValue("From:", path);
    const auto subject = spool::FindHeaderValue("Subject:", path);
    CheckValue(from);
    CheckValue(subject);
    CheckValue(spool::FindHeaderValue("", path));
    CheckValue(spool::FindHeaderValue("X-Very-Long-Header-Name-Beyond-Most-Lines:", path));

    const spool::ArticleHeaders headers = spool::ReadArticleHeaders(path, articleNumber);
    FUZZ_CHECK(headers.from == from.value_or(""), "ReadArticleHeaders disagrees on From");
    FUZZ_CHECK(headers.subject == subject.value_or(""), "ReadArticleHeaders disagrees on Subject");
    CheckSender(headers.from);
    // The extraction on its own, with text no header line could carry.
    CheckSender(article);

    const plat::LocalTime when{year, 12, 31, 23, 59};
    const spool::ArticleIndexRecord record =
        spool::BuildArticleIndexRecord(headers, group, fileNumber, when);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    FUZZ_CHECK(std::memcmp(bytes + spool::kFixedTagOffset, "  999  ", 7) == 0, "fixed tag");
    FUZZ_CHECK(bytes[spool::kSenderOffset + spool::kSenderWidth - 1] == ' ',
               "last sender byte not a space");
    FUZZ_CHECK(bytes[spool::kTimestampOffset] == 14, "timestamp length byte");
    FUZZ_CHECK(bytes[spool::kFileNameOffset] == 12 && bytes[spool::kFileNameCopyOffset] == 12,
               "file name length bytes");
    FUZZ_CHECK(
        std::memcmp(bytes + spool::kFileNameText, bytes + spool::kFileNameCopyOffset + 1, 12) == 0,
        "file name copy differs");
    FUZZ_CHECK(std::memchr(bytes + spool::kSubjectOffset, 0, spool::kSubjectWidth) != nullptr,
               "subject not terminated inside its field");
    FUZZ_CHECK(bytes[spool::kArticleNumberOffset] <= spool::kArticleNumberWidth,
               "article number length byte");
    FUZZ_CHECK(bytes[spool::kGroupNumberOffset] <= spool::kGroupNumberWidth,
               "group number length byte");
    for (std::size_t i = spool::kReserved2Offset;
         i < spool::kReserved2Offset + spool::kReserved2Width; ++i)
        FUZZ_CHECK(bytes[i] == 0, "reserved byte " + std::to_string(i) + " not zero");

    // Appending to an index that may end in a damaged part-record: the whole
    // records stay, and each new record starts at a record boundary.
    if (article.size() % 4 == 0) {
        const std::string index = fuzz::Join(dir, std::to_string(group) + ".grp");
        const std::string before =
            article.substr(0, std::min<std::size_t>(article.size(), (year - 1970) * 3));
        fuzz::WriteBytes(index, before);
        const std::size_t whole = before.size() / spool::kRecordSize * spool::kRecordSize;
        FUZZ_CHECK(spool::AppendArticleIndex(dir, headers, group, fileNumber), "append failed");
        FUZZ_CHECK(spool::AppendArticleIndex(dir, headers, group, fileNumber), "append failed");
        const std::string after = fuzz::ReadBytes(index);
        const spool::ArticleIndexRecord now =
            spool::BuildArticleIndexRecord(headers, group, fileNumber, plat::Now());
        const std::string expected(reinterpret_cast<const char*>(&now), sizeof now);
        FUZZ_CHECK(after.size() == before.size() + 2 * spool::kRecordSize,
                   "index of " + std::to_string(after.size()) + " bytes");
        FUZZ_CHECK(after.compare(0, whole, before, 0, whole) == 0, "a whole record changed");
        FUZZ_CHECK(after.compare(whole, spool::kRecordSize, expected) == 0 &&
                       after.compare(whole + spool::kRecordSize, spool::kRecordSize, expected) == 0,
                   "the appended records are not where the next records start");
    }
    return 0;
}
