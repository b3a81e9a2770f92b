#include "spool/message_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/files.h"
#include "spool/article_index.h"
#include "spool/expiry.h"
#include "spool/index_record.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

// Longer ids are no Message-IDs a server gives (RFC 5536: 250 octets).
constexpr std::size_t kMaxMessageId = 250;
// A history larger than this is not read whole into memory.
constexpr std::size_t kMaxHistoryBytes = 64 << 20;

bool ReadWhole(const std::string& path, std::string& text, bool& missing) {
    missing = false;
    const int fd = plat::OpenRegular(path, O_RDONLY);
    if (fd < 0) {
        missing = errno == ENOENT;
        return false;
    }
    int err = 0;
    return plat::ReadSmallFileFrom(fd, kMaxHistoryBytes, text, err);
}

// Calls f(date, id) for every whole line; the date is the line's first
// eight characters.
template <class F>
void ForEachLine(const std::string& text, F f) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) break;  // cut off: no line
        const std::string_view line(text.data() + start, nl - start);
        start = nl + 1;
        if (line.size() < 11 || line[8] != ' ') continue;
        f(line.substr(0, 8), line.substr(9));
    }
}

long long LineDay(std::string_view date) {
    int year = 0, month = 0, day = 0;
    for (int i = 0; i < 8; ++i)
        if (date[i] < '0' || date[i] > '9') return -1;
    const std::string text(date);
    if (std::sscanf(text.c_str(), "%4d%2d%2d", &year, &month, &day) != 3) return -1;
    return dayNumber(YearsSince1900(TimestampYear(year)), month, day);
}

std::string LineFor(const std::string& id, const plat::LocalTime& day) {
    char date[16];
    std::snprintf(date, sizeof date, "%04d%02d%02d ", day.year % 10000, day.month % 100,
                  day.day % 100);
    return date + id + "\n";
}

}  // namespace

std::string HistoryPath(const std::string& spoolDir, std::int32_t group) {
    return spoolDir + "/" + std::to_string(group) + ".mid";
}

std::string NormalMessageId(const std::string& value) {
    std::size_t begin = 0, end = value.size();
    while (begin < end && (value[begin] == ' ' || value[begin] == '\t')) ++begin;
    while (end > begin && (value[end - 1] == ' ' || value[end - 1] == '\t' || value[end - 1] == '\r'))
        --end;
    const std::string id = value.substr(begin, end - begin);
    if (id.size() < 3 || id.size() > kMaxMessageId || id.front() != '<' || id.back() != '>')
        return std::string();
    for (const char c : id)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return std::string();
    return id;
}

MessageHistory::~MessageHistory() {
    Close();
}

void MessageHistory::Open(const std::string& spoolDir, std::int32_t group) {
    if (group_ == group) return;
    Close();
    group_ = group;
    path_ = HistoryPath(spoolDir, group);
    std::string text;
    bool missing = false;
    if (ReadWhole(path_, text, missing)) {
        // What a cut-off line left is no Message-ID.
        ForEachLine(text, [&](std::string_view, std::string_view id) {
            std::string normal = NormalMessageId(std::string(id));
            if (!normal.empty()) ids_.insert(std::move(normal));
        });
        endsInLine_ = text.empty() || text.back() == '\n';
        return;
    }
    if (!missing) return;
    // Made once from what the group holds, so that a new server's numbers
    // for the same articles are known from the first cycle.
    const std::string dir = GroupDirectory(spoolDir, group);
    std::string lines;
    ForEachRecord(IndexPath(spoolDir, group), [&](const unsigned char* record) {
        const std::string name = RecordFileName(record);
        if (!IsSafeArticleName(name)) return;
        const std::string id = NormalMessageId(ReadArticleHeaders(dir + "/" + name, 0).messageId);
        if (id.empty() || !ids_.insert(id).second) return;
        lines += LineFor(id, plat::Now());
    });
    if (!lines.empty()) Append(lines);
}

bool MessageHistory::Has(const std::string& messageId) const {
    const std::string id = NormalMessageId(messageId);
    return !id.empty() && ids_.count(id) != 0;
}

bool MessageHistory::Add(const std::string& messageId, const plat::LocalTime& day) {
    const std::string id = NormalMessageId(messageId);
    if (id.empty() || group_ <= 0 || !ids_.insert(id).second) return true;
    return Append(LineFor(id, day));
}

bool MessageHistory::Append(const std::string& lines) {
    if (fd_ < 0) fd_ = plat::OpenRegular(path_, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd_ < 0) return false;
    // A line cut off by a kill stays alone.
    const std::string text = endsInLine_ ? lines : "\n" + lines;
    const bool ok = write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    endsInLine_ = ok;
    return ok;
}

void MessageHistory::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    group_ = 0;
    ids_.clear();
    endsInLine_ = true;
}

bool ExpireHistory(const std::string& spoolDir, std::int32_t group, long long newestExpired) {
    const std::string path = HistoryPath(spoolDir, group);
    std::string text;
    bool missing = false;
    if (!ReadWhole(path, text, missing)) return missing;
    std::string kept;
    kept.reserve(text.size());
    bool dropped = false;
    ForEachLine(text, [&](std::string_view date, std::string_view id) {
        const long long day = LineDay(date);
        if (day >= 0 && day <= newestExpired) {
            dropped = true;
            return;
        }
        kept.append(date).append(" ").append(id).append("\n");
    });
    if (!dropped && (text.empty() || text.back() == '\n')) return true;
    const std::string temp = path + ".tmp";
    const int fd = plat::CreateNewFile(temp, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, kept.data(), kept.size()) == static_cast<ssize_t>(kept.size());
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (ok && plat::RenameReplace(temp, path)) return true;
    plat::DeleteFile(temp);
    return false;
}

}  // namespace spool
