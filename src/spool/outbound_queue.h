// The articles the board queued for posting in out.dat.
//
// out.dat is a sequence of 13-byte records: a flag byte (0: post) and a file
// name of up to 12 characters in the out directory. The board appends to it
// whenever it likes, during a pass too and a record in several writes, so
// the file is never renamed or rewritten under it. A record is taken only
// once it is whole; once handled (posted, refused by the server, skipped)
// its flag byte is set in place, and every later pass passes over it. When
// every record is handled and no one else has the file open, it is emptied.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

#include "platform/files.h"

namespace spool {

constexpr long kQueueRecordSize = 13;
constexpr std::size_t kQueueNameLength = 12;
// Any flag but 0 is skipped; this one says that we handled the record.
constexpr char kQueueHandled = '\xff';

// One pass over the queue: the records are walked in order, and the
// article of each one to post is opened for the caller, who reports the
// server's verdict on it. Files are held open only while a pass runs.
class OutboundQueue {
public:
    using Log = std::function<void(const std::string&)>;

    OutboundQueue() = default;
    ~OutboundQueue() { Close(); }
    OutboundQueue(const OutboundQueue&) = delete;
    OutboundQueue& operator=(const OutboundQueue&) = delete;

    // Starts a pass over the spool's queue; false when there is no queue
    // file to walk.
    bool Begin(const std::string& spoolDir, Log log);

    enum class Next {
        Article,  // Article() is open at the next file to post
        Done,     // every whole record is walked
        Stopped,  // a record could not be marked handled (StopReason())
    };
    // Walks on to the next record to post. Records that are handled, name
    // no plain file of the out directory or a file that cannot be opened
    // are passed over (and the latter marked handled).
    Next NextArticle();

    // The article at hand, and its name in the out directory.
    plat::TextReader& Article() { return article_; }
    const std::string& ArticleName() const { return name_; }

    // The server's verdict on the article at hand. Each marks its record
    // handled; false (the pass stopped) when that cannot be written down.
    bool Posted();                     // the file is deleted
    bool Kept(const std::string& why);  // not sent at all; the file stays
    bool Refused();                    // moved to out/rejected

    // Ends the pass; a record without a verdict stays queued.
    void Close();
    // A pass is under way: a queue file is open.
    bool Walking() const { return fd_ >= 0; }
    // The pass found a whole record.
    bool AnyRecord() const { return anyRecord_; }
    const std::string& StopReason() const { return stopReason_; }

private:
    bool Open(int from);
    bool ReadRecord(unsigned char& flag, std::string& name);
    long RecordsBeforeMarker();
    void Retire();
    bool Handled();
    void MoveToRejected();
    void Note(const std::string& line) const;

    std::string spoolDir_;
    Log log_;
    int queue_ = 0;  // the queue file being walked
    int fd_ = -1;    // that file, open while a pass runs
    long record_ = 0;
    bool anyRecord_ = false;
    std::string stopReason_;
    plat::TextReader article_;
    std::string path_;  // the article at hand
    std::string name_;
};

}  // namespace spool
