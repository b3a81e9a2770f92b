#include "spool/outbound_queue.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "spool/spool_paths.h"

namespace spool {

namespace {

// The queue files, walked in this order. The first two are left by earlier
// versions, which renamed the queue at the end of a pass: a work file of a
// pass cut off while doing so, and the retired queue, whose records behind
// its last marker record a board wrote after the rename. They are deleted
// once walked; no board opens them by these names.
enum QueueFile { LeftWork, LeftRetired, OutQueue, QueueFileCount };
constexpr const char* kQueueNames[QueueFileCount] = {"qivout.wrk", "qivout.old", "out.dat"};
constexpr char kMarker[kQueueRecordSize] = {'\xff', ':', 'r', 'e', 't', 'i', 'r', 'e', 'd', ':'};

// A write lease is granted only while no other process has the file open,
// and holds off anyone who opens it until it is given up.
bool TakeLease(int fd) {
#ifdef _WIN32
    // No leases there: whether the board has the file open cannot be told
    // on the open file, so it is never emptied; the flags keep its records
    // from being posted twice.
    (void)fd;
    return false;
#else
    // Someone opening the file while we hold it raises SIGIO, which would
    // end the process.
    struct sigaction current;
    if (sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        signal(SIGIO, SIG_IGN);
    return fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
#endif
}

// The name comes from a file the board writes: only a plain name inside the
// out directory may be opened or deleted.
bool IsPlainName(const std::string& name) {
    if (name.empty() || name == ".") return false;
    if (name.find_first_of("/\\") != std::string::npos) return false;
    return name.find("..") == std::string::npos;
}

}  // namespace

void OutboundQueue::Note(const std::string& line) const {
    if (log_) log_(line);
}

bool OutboundQueue::Begin(const std::string& spoolDir, Log log) {
    Close();
    spoolDir_ = spoolDir;
    log_ = std::move(log);
    anyRecord_ = false;
    stopReason_.clear();
    return Open(LeftWork);
}

// Opens the first queue file from `from` on that is there; false when none
// is left.
bool OutboundQueue::Open(int from) {
    for (int queue = from; queue < QueueFileCount; ++queue) {
        queue_ = queue;
        const std::string path = QueuePath(spoolDir_, kQueueNames[queue]);
        if (queue != OutQueue && !plat::FileExists(path)) continue;
        // Written as well: the flags of handled records are set in it.
        fd_ = plat::OpenRegular(path, O_RDWR);
        struct stat st;
        if (fd_ >= 0 && (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) {
            if (queue == OutQueue) Note("Can't open index file");
            continue;
        }
        record_ = queue == LeftRetired ? RecordsBeforeMarker() : 0;
        return true;
    }
    return false;
}

bool OutboundQueue::ReadRecord(unsigned char& flag, std::string& name) {
    unsigned char bytes[kQueueRecordSize];
    const ssize_t n = pread(fd_, bytes, sizeof bytes, static_cast<off_t>(record_) * kQueueRecordSize);
    if (n != kQueueRecordSize) return false;
    flag = bytes[0];
    const char* text = reinterpret_cast<const char*>(bytes + 1);
    name.assign(text, strnlen(text, kQueueNameLength));
    return true;
}

// The records of the retired queue up to its last marker were handled by
// the pass that retired it.
long OutboundQueue::RecordsBeforeMarker() {
    long after = 0;
    char bytes[kQueueRecordSize];
    for (long i = 0; pread(fd_, bytes, sizeof bytes, i * kQueueRecordSize) == kQueueRecordSize; ++i)
        if (std::memcmp(bytes, kMarker, kQueueRecordSize) == 0) after = i + 1;
    return after;
}

// The walk has reached the end of the whole records of the queue file.
// When they are all there is and no one else has the file open (a board
// may hold it to write the rest of a record), out.dat is emptied and a left
// file deleted; otherwise the flags keep them from being taken again.
void OutboundQueue::Retire() {
    if (fd_ < 0) return;
    if (TakeLease(fd_)) {
        struct stat st;
        if (fstat(fd_, &st) == 0 && st.st_size == static_cast<off_t>(record_) * kQueueRecordSize) {
            if (queue_ == OutQueue) {
                if (ftruncate(fd_, 0) != 0) Note("Can't empty out.dat");
            } else {
                plat::DeleteFile(QueuePath(spoolDir_, kQueueNames[queue_]));
            }
        }
#ifndef _WIN32
        fcntl(fd_, F_SETLEASE, F_UNLCK);
#endif
    }
    close(fd_);
    fd_ = -1;
}

OutboundQueue::Next OutboundQueue::NextArticle() {
    if (fd_ < 0) return Next::Done;
    for (;;) {
        unsigned char flag = 0;
        std::string name;
        if (!ReadRecord(flag, name)) {
            // No whole record here (yet): a part one waits for a later pass.
            Retire();
            if (!Open(queue_ + 1)) return Next::Done;
            continue;
        }
        anyRecord_ = true;
        if (flag != 0) {
            ++record_;
            continue;
        }
        if (!IsPlainName(name)) {
            Note("Record " + std::to_string(record_ + 1) + " of " + kQueueNames[queue_] +
                 " names no file of the out directory; skipped");
            if (!Handled()) return Next::Stopped;
            continue;
        }
        const std::string path = OutboundPath(spoolDir_, name);
        // A link or special file is refused (and logged) by the open: it
        // stays where it is, unposted.
        if (!article_.Open(path)) {
            if (errno == ENOENT || errno == EISDIR)
                Note(name + " is not in the out directory; skipped");
            else if (!plat::LastWasRefused())
                Note("Can't open " + name + "; skipped");
            if (!Handled()) return Next::Stopped;
            continue;
        }
        path_ = path;
        name_ = name;
        return Next::Article;
    }
}

// The record being walked is done with for good; false (and the pass
// stopped) when that cannot be written down, as it would then be posted
// again by every pass.
bool OutboundQueue::Handled() {
    const off_t at = static_cast<off_t>(record_) * kQueueRecordSize;
    if (pwrite(fd_, &kQueueHandled, 1, at) != 1) {
        stopReason_ = "Can't mark record " + std::to_string(record_ + 1) + " of " +
                      kQueueNames[queue_] + " as handled; posting stopped";
        Close();
        return false;
    }
    ++record_;
    return true;
}

bool OutboundQueue::Posted() {
    article_.Close();
    // Gone before its record is marked: a stop in between leaves a record
    // whose file is missing, which is skipped, not posted again.
    if (!plat::DeleteFile(path_)) Note(name_ + " was posted but can't be deleted");
    return Handled();
}

bool OutboundQueue::Kept(const std::string& why) {
    article_.Close();
    Note(name_ + " not posted, kept: " + why);
    return Handled();
}

bool OutboundQueue::Refused() {
    article_.Close();
    MoveToRejected();
    return Handled();
}

// A refused article goes where the sysop can look at it, under a name of
// its own when an earlier one of that name is there.
void OutboundQueue::MoveToRejected() {
    const std::string dir = RejectedDirectory(spoolDir_);
    // A link in its place would move the article out of the spool.
    const bool usable =
        plat::IsRealDirectory(dir) || (!plat::LastWasRefused() && plat::CreateDirectory(dir));
    for (int n = 0; usable && n < 1000; ++n) {
        std::string name = name_;
        if (n > 0) name += "." + std::to_string(n);
        if (plat::RenameNoReplace(path_, dir + "/" + name)) {
            Note(name_ + " refused by the server; moved to out/" + kRejectedName + "/" + name);
            return;
        }
        if (errno != EEXIST) break;
    }
    Note(name_ + " refused by the server; can't move it to out/" + kRejectedName);
}

void OutboundQueue::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    article_.Close();
}

}  // namespace spool
