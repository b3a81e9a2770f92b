#include "spool/article_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

// Lines are read in pieces of this size, as the board's own tools do, but
// the pieces of one physical line are joined again: the rest of a long
// header line must not be taken for a header line of its own.
constexpr std::size_t kLinePiece = 2047;
// Longer header lines are cut; the record keeps far less than this.
constexpr std::size_t kMaxHeaderLine = 65536;

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(const std::string& line, const std::string& prefix) {
    if (line.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (LowerAscii(line[i]) != LowerAscii(prefix[i])) return false;
    return true;
}

bool ReadPhysicalLine(plat::TextReader& reader, std::string& line) {
    bool truncated = false;
    if (!reader.ReadLine(line, kLinePiece, &truncated)) return false;
    std::string piece;
    while (truncated) {
        if (!reader.ReadLine(piece, kLinePiece, &truncated)) break;
        if (line.size() < kMaxHeaderLine)
            line.append(piece, 0, std::min(piece.size(), kMaxHeaderLine - line.size()));
    }
    return true;
}

// The lines of a file read through one descriptor, as ReadPhysicalLine
// gives them: a CR directly before a LF belongs to the line end, and a line
// is cut at kMaxHeaderLine characters.
class LineSource {
public:
    explicit LineSource(int fd) : fd_(fd) {}

    bool Next(std::string& line) {
        line.clear();
        std::size_t length = 0;  // of the line as it is in the file
        char last = '\0';
        for (;;) {
            if (pos_ == end_ && !Fill()) break;
            const char* start = buffer_ + pos_;
            const auto* nl = static_cast<const char*>(std::memchr(start, '\n', end_ - pos_));
            const std::size_t run =
                static_cast<std::size_t>((nl != nullptr ? nl : buffer_ + end_) - start);
            if (run > 0) {
                // One character past the cut, to tell a CR before the LF.
                if (line.size() <= kMaxHeaderLine)
                    line.append(start, std::min(run, kMaxHeaderLine + 1 - line.size()));
                length += run;
                last = start[run - 1];
            }
            pos_ += run;
            if (nl != nullptr) {
                ++pos_;
                if (last == '\r') --length;
                line.resize(std::min(length, kMaxHeaderLine));
                return true;
            }
        }
        line.resize(std::min(length, kMaxHeaderLine));
        return length > 0;
    }

private:
    bool Fill() {
        if (eof_) return false;
        ssize_t n;
        do {
            n = read(fd_, buffer_, sizeof buffer_);
        } while (n < 0 && errno == EINTR);
        pos_ = 0;
        end_ = n > 0 ? static_cast<std::size_t>(n) : 0;
        eof_ = n <= 0;  // an error ends the text as the end of the file does
        return !eof_;
    }

    int fd_;
    char buffer_[8192];
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
};

// The value of a header line, without the name and the blanks after it.
std::string ValueAfter(const std::string& line, std::size_t nameLength) {
    std::size_t start = nameLength;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    return line.substr(start);
}

bool IsSenderDelimiter(char c) {
    return c == ' ' || c == '<' || c == '>' || c == '\t' || c == '\n' || c == '"';
}

// Copies at most width characters of text into the field; the rest stays
// as it was (zero).
template <std::size_t N>
std::size_t PutText(char (&field)[N], const std::string& text) {
    const std::size_t n = std::min(text.size(), N);
    std::memcpy(field, text.data(), n);
    return n;
}

std::string Format(const char* format, long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

}  // namespace

std::optional<std::string> FindHeaderValue(const std::string& headerName,
                                           const std::string& articlePath) {
    plat::TextReader reader;
    if (!reader.Open(articlePath)) return std::nullopt;
    std::string line;
    while (ReadPhysicalLine(reader, line)) {
        if (line.empty()) return std::nullopt;  // end of the header section
        if (!StartsWithNoCase(line, headerName)) continue;

        std::size_t start = headerName.size();
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
        std::string value = line.substr(start);
        while (ReadPhysicalLine(reader, line)) {
            if (line.empty() || (line[0] != ' ' && line[0] != '\t')) break;
            if (value.size() < kMaxHeaderLine)
                value.append(line, 0, std::min(line.size(), kMaxHeaderLine - value.size()));
        }
        return value;
    }
    return std::nullopt;
}

// Both headers in one pass over one open file, with the same result as
// FindHeaderValue for each (it runs once per fetched article).
ArticleHeaders ReadArticleHeaders(const std::string& articlePath, std::int64_t articleNumber) {
    static const std::string kFrom = "From:";
    static const std::string kSubject = "Subject:";
    static const std::string kMessageId = "Message-ID:";
    ArticleHeaders headers;
    headers.articleNumber = articleNumber;
    const int fd = plat::OpenRegular(articlePath, O_RDONLY);
    if (fd < 0) return headers;
    LineSource source(fd);
    std::string line;
    std::string* collecting = nullptr;  // the value whose continuation lines follow
    bool haveFrom = false;
    bool haveSubject = false;
    bool haveId = false;
    while (source.Next(line) && !line.empty()) {
        if (collecting != nullptr) {
            if (line[0] == ' ' || line[0] == '\t') {
                if (collecting->size() < kMaxHeaderLine)
                    collecting->append(line, 0,
                                       std::min(line.size(), kMaxHeaderLine - collecting->size()));
                continue;
            }
            collecting = nullptr;
        }
        if (haveFrom && haveSubject && haveId) break;
        if (!haveFrom && StartsWithNoCase(line, kFrom)) {
            haveFrom = true;
            headers.from = ValueAfter(line, kFrom.size());
            collecting = &headers.from;
        } else if (!haveSubject && StartsWithNoCase(line, kSubject)) {
            haveSubject = true;
            headers.subject = ValueAfter(line, kSubject.size());
            collecting = &headers.subject;
        } else if (!haveId && StartsWithNoCase(line, kMessageId)) {
            haveId = true;
            headers.messageId = ValueAfter(line, kMessageId.size());
            collecting = &headers.messageId;
        }
    }
    close(fd);
    return headers;
}

std::string ExtractSenderAddress(const std::string& fromValue) {
    const std::size_t n = fromValue.size();
    std::size_t firstStart = n, firstEnd = n;
    std::size_t i = 0;
    while (i < n) {
        while (i < n && IsSenderDelimiter(fromValue[i])) ++i;
        if (i == n) break;
        const std::size_t start = i;
        while (i < n && !IsSenderDelimiter(fromValue[i])) ++i;
        if (firstStart == n) {
            firstStart = start;
            firstEnd = i;
        }
        if (fromValue.find('@', start) < i) return fromValue.substr(start, i - start);
    }
    if (firstStart == n) return fromValue;  // no word at all
    return fromValue.substr(0, firstEnd);
}

int TimestampYear(int fullYear) {
    return (((fullYear - 1900) % 100) + 100) % 100;
}

int YearsSince1900(int timestampYear) {
    return timestampYear >= 70 ? timestampYear : timestampYear + 100;
}

ArticleIndexRecord BuildArticleIndexRecord(const ArticleHeaders& headers, std::int32_t groupNumber,
                                           std::int32_t fileNumber, const plat::LocalTime& when) {
    ArticleIndexRecord r;
    std::memset(&r, 0, sizeof r);

    const std::string group = Format("%ld", groupNumber);
    r.groupNumberLength = static_cast<unsigned char>(PutText(r.groupNumber, group));

    std::memcpy(r.fixedTag, "  999  ", kFixedTagWidth);

    std::string sender = ExtractSenderAddress(headers.from).substr(0, kSenderWidth - 1);
    sender.resize(kSenderWidth, ' ');
    PutText(r.sender, sender);

    const int month = std::clamp(when.month, 1, 12);
    char dayMonth[16];
    std::snprintf(dayMonth, sizeof dayMonth, "%02d %s  ", when.day % 100, kMonths[month - 1]);
    PutText(r.dayMonth, dayMonth);

    // Room for 93 characters and the zero byte that ends them; a longer
    // subject is cut so that it cannot run into the fields behind it.
    PutText(r.subject, headers.subject.substr(0, kSubjectWidth - 1));

    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%02d.%02d.%02d", TimestampYear(when.year), month,
                  when.day % 100, when.hour % 100, when.minute % 100);
    r.timestampLength = kTimestampWidth;
    PutText(r.timestamp, stamp);

    const std::string file = ArticleFileName(fileNumber);
    r.fileNameLength = kFileNameWidth;
    PutText(r.fileName, file);
    r.fileNameCopyLength = kFileNameWidth;
    PutText(r.fileNameCopy, file);

    char article[24];
    const int digits = std::snprintf(article, sizeof article, "%lld",
                                     static_cast<long long>(headers.articleNumber));
    if (digits > 0 && static_cast<std::size_t>(digits) <= kArticleNumberWidth)
        r.articleNumberLength = static_cast<unsigned char>(PutText(r.articleNumber, article));
    return r;
}

bool AppendArticleIndex(const std::string& spoolDir, const ArticleHeaders& headers,
                        std::int32_t groupNumber, std::int32_t fileNumber) {
    const std::string path = IndexPath(spoolDir, groupNumber);
    const ArticleIndexRecord record =
        BuildArticleIndexRecord(headers, groupNumber, fileNumber, plat::Now());
    // The common case, an index of whole records, is one open, fstat, write
    // and close.
    const int fd = plat::OpenRegular(path, O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    const long length = static_cast<long>(st.st_size);
    const long tail = length % static_cast<long>(kRecordSize);
    if (tail == 0) {
        const ssize_t written = write(fd, &record, kRecordSize);
        bool ok = written == static_cast<ssize_t>(kRecordSize);
        // A cut-off record would misalign every record behind it; take it back.
        if (!ok && written > 0 && ftruncate(fd, st.st_size) != 0) ok = false;
        if (close(fd) != 0) ok = false;
        return ok;
    }
    close(fd);
    // The record goes to the last whole block after 322 zero bytes have been
    // added at the end: behind a damaged tail it replaces the tail and the
    // zeros follow it.
    std::vector<unsigned char> block(kRecordSize + static_cast<std::size_t>(tail), 0);
    std::memcpy(block.data(), &record, kRecordSize);
    return plat::WriteAt(path, block.data(), block.size(), length - tail);
}

bool ParseArticleNumber(const std::string& text, std::int64_t& out) {
    std::size_t i = text.find_first_not_of(" \t\r\n\f\v");
    if (i == std::string::npos) return false;
    const bool negative = text[i] == '-';
    if (text[i] == '+' || text[i] == '-') ++i;
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    out = negative ? -value : value;
    return true;
}

bool RecordArticleNumber(const unsigned char* record, std::int64_t& number) {
    const std::size_t length =
        std::min<std::size_t>(record[kArticleNumberOffset], kArticleNumberWidth);
    const std::string text(reinterpret_cast<const char*>(record) + kArticleNumberOffset + 1,
                           length);
    return !text.empty() && ParseArticleNumber(text, number);
}

std::int64_t RecordFileNumber(const unsigned char* record) {
    const std::string name = RecordFileName(record);
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9' &&
           value <= kMaxFileNumber)
        value = value * 10 + (name[digits++] - '0');
    return digits == 0 || value > kMaxFileNumber ? -1 : value;
}

IndexScan ScanIndex(const std::string& spoolDir, std::int32_t group) {
    IndexScan scan;
    const int fd = plat::OpenRegular(IndexPath(spoolDir, group), O_RDONLY);
    if (fd < 0) return scan;
    static unsigned char buffer[kRecordSize * 256];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        const std::size_t records = n > 0 ? static_cast<std::size_t>(n) / kRecordSize : 0;
        if (records == 0) break;
        const unsigned char* lastRecord = buffer + (records - 1) * kRecordSize;
        std::int64_t number = 0;
        scan.lastArticle = RecordArticleNumber(lastRecord, number) ? number : -1;
        scan.lastFile = RecordFileNumber(lastRecord);
        for (std::size_t r = 0; r < records; ++r) {
            const std::int64_t value = RecordFileNumber(buffer + r * kRecordSize);
            if (value < 0) continue;
            if (!scan.named || value > scan.highestFile)
                scan.highestFile = static_cast<std::int32_t>(value);
            scan.named = true;
        }
        offset += static_cast<off_t>(records * kRecordSize);
    }
    close(fd);
    return scan;
}

bool ForEachRecord(const std::string& indexPath,
                   const std::function<void(const unsigned char* record)>& f) {
    const int fd = plat::OpenRegular(indexPath, O_RDONLY);
    if (fd < 0) return errno == ENOENT;
    static unsigned char buffer[kRecordSize * 256];
    off_t offset = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        const std::size_t records = n > 0 ? static_cast<std::size_t>(n) / kRecordSize : 0;
        if (records == 0) break;
        for (std::size_t r = 0; r < records; ++r) f(buffer + r * kRecordSize);
        offset += static_cast<off_t>(records * kRecordSize);
    }
    close(fd);
    return ok;
}

bool CounterBehindIndex(const IndexScan& scan, std::int32_t counter) {
    const bool pastWrap =
        scan.lastFile >= 0 && scan.lastFile < scan.highestFile && counter > scan.lastFile;
    return counter < 0 || (scan.named && counter <= scan.highestFile && !pastWrap);
}

std::int32_t NextFreeFileNumber(const std::string& groupDir, std::int32_t n, bool& wrapped) {
    wrapped = false;
    for (std::int32_t tries = 0; tries < kMaxFileNumber; ++tries) {
        wrapped = wrapped || n >= kMaxFileNumber || n < 0;
        n = n >= kMaxFileNumber || n < 0 ? 1 : n + 1;
        if (!plat::FileExists(ArticlePath(groupDir, n))) break;
    }
    return n;
}

}  // namespace spool
