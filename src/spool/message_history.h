// The Message-IDs a group has stored, so that an article a server offers
// again under another number (another provider, a renumbered group, the
// same article twice) is not stored twice.
//
// "<n>.mid" in the spool, beside the index: one line "YYYYMMDD <id>" per
// stored article, appended once its record is written. Text, so that a
// sysop can read and grep it; the date lets the expiry drop the lines of
// articles it expires, which keeps the file as small as the index. A line
// cut off by a kill is ignored, and the next one starts on a line of its
// own.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "platform/clock.h"

namespace spool {

std::string HistoryPath(const std::string& spoolDir, std::int32_t group);  // <n>.mid

// What a header holds as a Message-ID: "<...>" with nothing else; empty
// for anything that could not identify an article.
std::string NormalMessageId(const std::string& value);

class MessageHistory {
public:
    MessageHistory() = default;
    MessageHistory(const MessageHistory&) = delete;
    MessageHistory& operator=(const MessageHistory&) = delete;
    ~MessageHistory();

    // Reads the group's history, once; a group without one (stored before
    // there was a history) gets one made from the articles its index names.
    void Open(const std::string& spoolDir, std::int32_t group);
    bool IsOpen() const { return group_ > 0; }
    bool Has(const std::string& messageId) const;
    // False when the line could not be written; the article stays stored:
    // the history guards against duplicates, it is not the record.
    bool Add(const std::string& messageId, const plat::LocalTime& day);
    std::size_t Size() const { return ids_.size(); }
    void Close();

private:
    bool Append(const std::string& line);

    std::int32_t group_ = 0;
    std::string path_;
    std::unordered_set<std::string> ids_;
    int fd_ = -1;
    bool endsInLine_ = true;
};

// Drops the lines dated on or before newestExpired (a day number as
// dayNumber gives it), in one rename; false when it could not be
// rewritten (it is then left as it was).
bool ExpireHistory(const std::string& spoolDir, std::int32_t group, long long newestExpired);

}  // namespace spool
