// The index of a group's articles: reading the From and Subject headers back
// from a saved article and appending one fixed 322-byte record per article
// to "<spool>/<n>.grp".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "spool/index_record.h"

namespace spool {

struct ArticleHeaders {
    std::string from;     // value of "From:", empty when absent
    std::string subject;  // value of "Subject:", empty when absent
    std::string messageId;  // value of "Message-ID:", empty when absent
    std::int64_t articleNumber = 0;
};

// The record exactly as it lies in the index file. Every member is a byte
// array, so there is no padding and the layout is the file's.
struct ArticleIndexRecord {
    unsigned char groupNumberLength;
    char groupNumber[kGroupNumberWidth];
    char fixedTag[kFixedTagWidth];
    char sender[kSenderWidth];
    char dayMonth[kDayMonthWidth];
    char subject[kSubjectWidth];
    unsigned char timestampLength;
    char timestamp[kTimestampWidth];
    unsigned char fileNameLength;
    char fileName[kFileNameWidth];
    unsigned char reserved1[kReserved1Width];
    unsigned char fileNameCopyLength;
    char fileNameCopy[kFileNameWidth];
    unsigned char reserved2[kReserved2Width];
    unsigned char articleNumberLength;
    char articleNumber[kArticleNumberWidth];
};

static_assert(sizeof(ArticleIndexRecord) == kRecordSize);
static_assert(offsetof(ArticleIndexRecord, groupNumberLength) == kGroupNumberOffset);
static_assert(offsetof(ArticleIndexRecord, fixedTag) == kFixedTagOffset);
static_assert(offsetof(ArticleIndexRecord, sender) == kSenderOffset);
static_assert(offsetof(ArticleIndexRecord, dayMonth) == kDayMonthOffset);
static_assert(offsetof(ArticleIndexRecord, subject) == kSubjectOffset);
static_assert(offsetof(ArticleIndexRecord, timestampLength) == kTimestampOffset);
static_assert(offsetof(ArticleIndexRecord, timestamp) == kTimestampText);
static_assert(offsetof(ArticleIndexRecord, fileNameLength) == kFileNameOffset);
static_assert(offsetof(ArticleIndexRecord, fileName) == kFileNameText);
static_assert(offsetof(ArticleIndexRecord, reserved1) == kReserved1Offset);
static_assert(offsetof(ArticleIndexRecord, fileNameCopyLength) == kFileNameCopyOffset);
static_assert(offsetof(ArticleIndexRecord, reserved2) == kReserved2Offset);
static_assert(offsetof(ArticleIndexRecord, articleNumberLength) == kArticleNumberOffset);

// The value of the named header ("From:" or "Subject:", matched without
// regard to case) with its continuation lines joined, or nothing when the
// header section (which ends at the first empty line) does not hold it or
// the file cannot be read.
std::optional<std::string> FindHeaderValue(const std::string& headerName,
                                           const std::string& articlePath);

// Never fails: a header that cannot be found is an empty text.
ArticleHeaders ReadArticleHeaders(const std::string& articlePath, std::int64_t articleNumber);

// The first word of a From value that holds an at sign; without one, the
// value up to the end of its first word.
std::string ExtractSenderAddress(const std::string& fromValue);

// The record for an article indexed at the given local time. An article
// number of more than 10 digits leaves its field empty rather than cut.
ArticleIndexRecord BuildArticleIndexRecord(const ArticleHeaders& headers, std::int32_t groupNumber,
                                           std::int32_t fileNumber, const plat::LocalTime& when);

// Appends the record, stamped with the current local time, to
// "<spoolDir>/<groupNumber>.grp" in one write. Returns false when the index
// could not be written; the fetch cycle carries on either way.
bool AppendArticleIndex(const std::string& spoolDir, const ArticleHeaders& headers,
                        std::int32_t groupNumber, std::int32_t fileNumber);

// Article files are named "%08ld.nws": a ninth digit would not fit the
// record's name field.
constexpr std::int32_t kMaxFileNumber = 99999999;

// A decimal number as "%ld" reads it (blanks, a sign, digits, anything
// after), but in 64 bits; false when the text holds no number or one that
// does not fit.
bool ParseArticleNumber(const std::string& text, std::int64_t& out);
// The article number a record holds; false when its field is no number.
bool RecordArticleNumber(const unsigned char* record, std::int64_t& number);
// The number a record's file name starts with; -1 when it starts with no
// digit or names no file we could have written.
std::int64_t RecordFileNumber(const unsigned char* record);

// What a group's index says about the files and articles it names.
// Records whose file name is not a number are passed over; a part record
// at the end of the file is no record.
struct IndexScan {
    bool named = false;            // some record names a numbered file
    std::int32_t highestFile = 0;  // the highest file number named
    std::int64_t lastArticle = -1;  // the newest record's article number; -1: none
    std::int64_t lastFile = -1;     // the newest record's file number; -1: none
};
// A missing index names nothing.
IndexScan ScanIndex(const std::string& spoolDir, std::int32_t group);
// Calls f for each whole record of an index file, in order. True when it
// was read to its end or is missing; false when it cannot be read.
bool ForEachRecord(const std::string& indexPath,
                   const std::function<void(const unsigned char* record)>& f);
// Whether a file counter would overwrite articles the index lists. After
// the counter wrapped, the newest record names a file below the highest,
// and a counter past that newest one is where it should be.
bool CounterBehindIndex(const IndexScan& scan, std::int32_t counter);
// The file number after n in the group directory: past kMaxFileNumber the
// count starts again at 1 (wrapped is then set); a number whose file is
// still there is passed over, so that no article overwrites one the board
// may still list.
std::int32_t NextFreeFileNumber(const std::string& groupDir, std::int32_t n, bool& wrapped);

// The two-digit year of the timestamp field, and back. Years 70-99 are
// 1970-1999 and 00-69 are 2000-2069; the result counts years since 1900.
int TimestampYear(int fullYear);
int YearsSince1900(int timestampYear);

}  // namespace spool
