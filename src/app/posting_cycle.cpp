// Posting the articles the board queued in out.dat.
//
// out.dat is a sequence of 13-byte records: a flag byte (0: post) and a file
// name of up to 12 characters in the out directory. The board appends to it
// whenever it likes, during a pass too and a record in several writes, so
// the file is never renamed or rewritten under it. A record is taken only
// once it is whole; once handled (posted, refused by the server, skipped)
// its flag byte is set in place, and every later pass passes over it. When
// every record is handled and no one else has the file open, it is emptied.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/settings.h"
#include "nntp/nntp_session.h"
#include "platform/files.h"

namespace app {

namespace {

constexpr long kRecordSize = 13;
constexpr std::size_t kNameLength = 12;
// Any flag but 0 is skipped; this one says that we handled the record.
constexpr char kHandled = '\xff';
// Articles the server refused, kept for the sysop.
constexpr char kRejectedDir[] = "rejected";

// The queue files, walked in this order. The first two are left by earlier
// versions, which renamed the queue at the end of a pass: a work file of a
// pass cut off while doing so, and the retired queue, whose records behind
// its last marker record a board wrote after the rename. They are deleted
// once walked; no board opens them by these names.
enum QueueFile { LeftWork, LeftRetired, OutQueue, QueueFileCount };
constexpr const char* kQueueNames[QueueFileCount] = {"qivout.wrk", "qivout.old", "out.dat"};
constexpr char kMarker[kRecordSize] = {'\xff', ':', 'r', 'e', 't', 'i', 'r', 'e', 'd', ':'};

struct OutboundRecord {
    unsigned char flag = 0;               // 0: post the file; anything else: skip
    char fileName[kNameLength + 1] = {};  // terminated after the twelfth byte
};

}  // namespace

struct PostingState {
    int queue = OutQueue;  // the queue file being walked
    int outFile = -1;      // that file, open while a pass runs
    long postRecordIndex = 0;
    bool anyRecord = false;  // the pass found a whole record
    std::string postPath;    // the file being posted
    std::string postName;
    plat::TextReader stream;  // the article being posted
};

void CyclePartDeleter::operator()(PostingState* state) const {
    if (state->outFile >= 0) close(state->outFile);
    delete state;
}

std::unique_ptr<PostingState, CyclePartDeleter> NewPostingState() {
    return std::unique_ptr<PostingState, CyclePartDeleter>(new PostingState);
}

namespace {

std::string QueuePath(int queue) {
    return plat::FormatPath("%s\\%s", App().settings.qivNewsDir.c_str(), kQueueNames[queue]);
}

void CloseOutFile(PostingState& p) {
    if (p.outFile >= 0) close(p.outFile);
    p.outFile = -1;
}

bool ReadRecord(const PostingState& p, long index, OutboundRecord& record) {
    unsigned char bytes[kRecordSize];
    const ssize_t n =
        pread(p.outFile, bytes, sizeof bytes, static_cast<off_t>(index) * kRecordSize);
    if (n != kRecordSize) return false;
    record.flag = bytes[0];
    std::memcpy(record.fileName, bytes + 1, kNameLength);
    record.fileName[kNameLength] = '\0';
    return true;
}

// The records of the retired queue up to its last marker were handled by
// the pass that retired it.
long RecordsBeforeMarker(const PostingState& p) {
    long after = 0;
    char bytes[kRecordSize];
    for (long i = 0; pread(p.outFile, bytes, sizeof bytes, i * kRecordSize) == kRecordSize; ++i)
        if (std::memcmp(bytes, kMarker, kRecordSize) == 0) after = i + 1;
    return after;
}

// Opens the first queue file from `from` on that is there; false when none
// is left.
bool OpenQueue(PostingState& p, int from) {
    for (int queue = from; queue < QueueFileCount; ++queue) {
        p.queue = queue;
        const std::string path = QueuePath(queue);
        if (queue != OutQueue && !plat::FileExists(path)) continue;
        // Written as well: the flags of handled records are set in it.
        p.outFile = plat::OpenRegular(path, O_RDWR);
        struct stat st;
        if (p.outFile >= 0 && (fstat(p.outFile, &st) != 0 || !S_ISREG(st.st_mode)))
            CloseOutFile(p);
        if (p.outFile < 0) {
            if (queue == OutQueue) LogLine("Can't open index file");
            continue;
        }
        p.postRecordIndex = queue == LeftRetired ? RecordsBeforeMarker(p) : 0;
        return true;
    }
    return false;
}

// A write lease is granted only while no other process has the file open,
// and holds off anyone who opens it until it is given up.
bool TakeLease(int fd) {
    // Someone opening the file while we hold it raises SIGIO, which would
    // end the process.
    struct sigaction current;
    if (sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        signal(SIGIO, SIG_IGN);
    return fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
}

// The walk has reached the end of the whole records of the queue file.
// When they are all there is and no one else has the file open (a board
// may hold it to write the rest of a record), out.dat is emptied and a left
// file deleted; otherwise the flags keep them from being taken again.
void RetireQueue(PostingState& p) {
    if (p.outFile < 0) return;
    if (TakeLease(p.outFile)) {
        struct stat st;
        if (fstat(p.outFile, &st) == 0 &&
            st.st_size == static_cast<off_t>(p.postRecordIndex) * kRecordSize) {
            if (p.queue == OutQueue) {
                if (ftruncate(p.outFile, 0) != 0) LogLine("Can't empty out.dat");
            } else {
                plat::DeleteFile(QueuePath(p.queue));
            }
        }
        fcntl(p.outFile, F_SETLEASE, F_UNLCK);
    }
    CloseOutFile(p);
}

void EndPass(NewsCycle& cycle) {
    CloseOutFile(*cycle.posting);
    BeginDisconnect(cycle);
    // Set after the disconnect has started: QUIT runs with the gate open.
    cycle.appIdle = 1;
}

void FinishPass(NewsCycle& cycle) {
    if (cycle.posting->anyRecord) LogLine("Finished posting essages");
    EndPass(cycle);
}

// The record being walked is done with for good; false (and the pass
// stopped) when that cannot be written down, as it would then be posted
// again by every pass.
bool Handled(NewsCycle& cycle) {
    PostingState& p = *cycle.posting;
    const off_t at = static_cast<off_t>(p.postRecordIndex) * kRecordSize;
    if (pwrite(p.outFile, &kHandled, 1, at) != 1) {
        const std::string line = "Can't mark record " + std::to_string(p.postRecordIndex + 1) +
                                 " of " + kQueueNames[p.queue] + " as handled; posting stopped";
        LogLine(line.c_str());
        cycle.NoteUndone(line);
        EndPass(cycle);
        return false;
    }
    ++p.postRecordIndex;
    return true;
}

// The name comes from a file the board writes: only a plain name inside the
// out directory may be opened or deleted.
bool IsPlainName(const char* name) {
    if (*name == '\0' || std::strcmp(name, ".") == 0) return false;
    if (std::strpbrk(name, "/\\") != nullptr) return false;
    return std::strstr(name, "..") == nullptr;
}

bool HasCode(const char* reply, const char* code) {
    return reply != nullptr && std::strncmp(reply, code, 3) == 0 &&
           (reply[3] == ' ' || reply[3] == '\0');
}

// A refused article goes where the sysop can look at it, under a name of
// its own when an earlier one of that name is there.
void MoveToRejected(const PostingState& p) {
    const char* spool = App().settings.qivNewsDir.c_str();
    const std::string dir = plat::FormatPath("%s\\out\\%s", spool, kRejectedDir);
    // A link in its place would move the article out of the spool.
    const bool usable =
        plat::IsRealDirectory(dir) || (!plat::LastWasRefused() && plat::CreateDirectory(dir));
    for (int n = 0; usable && n < 1000; ++n) {
        std::string name = p.postName;
        if (n > 0) name += "." + std::to_string(n);
        if (plat::RenameNoReplace(p.postPath, dir + "/" + name)) {
            LogLineF("%s refused by the server; moved to out/%s/%s", p.postName.c_str(),
                     kRejectedDir, name.c_str());
            return;
        }
        if (errno != EEXIST) break;
    }
    LogLineF("%s refused by the server; can't move it to out/%s", p.postName.c_str(),
             kRejectedDir);
}

}  // namespace

void AbandonPosting(NewsCycle& cycle) {
    CloseOutFile(*cycle.posting);
    cycle.posting->stream.Close();
}

void BeginPosting(NewsCycle& cycle) {
    if (!BeginStep(cycle)) return;
    LogLine("Posting Messages");
    PostingState& p = *cycle.posting;
    CloseOutFile(p);
    p.anyRecord = false;
    if (!OpenQueue(p, LeftWork)) return FinishPass(cycle);
    PostRecord(cycle, p.postRecordIndex);
}

void PostRecord(NewsCycle& cycle, long recordIndex) {
    PostingState& p = *cycle.posting;
    if (p.outFile < 0) return;
    p.postRecordIndex = recordIndex;
    // Records that are skipped are walked here, not by nested calls.
    for (;;) {
        OutboundRecord record;
        if (!ReadRecord(p, p.postRecordIndex, record)) {
            // No whole record here (yet): a part one waits for a later pass.
            RetireQueue(p);
            if (!OpenQueue(p, p.queue + 1)) return FinishPass(cycle);
            continue;
        }
        p.anyRecord = true;
        if (record.flag != 0) {
            ++p.postRecordIndex;
            continue;
        }
        if (!IsPlainName(record.fileName)) {
            LogLineF("Record %ld of %s names no file of the out directory; skipped",
                     p.postRecordIndex + 1, kQueueNames[p.queue]);
            if (!Handled(cycle)) return;
            continue;
        }
        const std::string path =
            plat::FormatPath("%s\\out\\%s", App().settings.qivNewsDir.c_str(), record.fileName);
        // A link or special file is refused (and logged) by the open: it
        // stays where it is, unposted.
        if (!p.stream.Open(path)) {
            if (errno == ENOENT || errno == EISDIR)
                LogLineF("%s is not in the out directory; skipped", record.fileName);
            else if (!plat::LastWasRefused())
                LogLineF("Can't open %s; skipped", record.fileName);
            if (!Handled(cycle)) return;
            continue;
        }
        p.postPath = path;
        p.postName = record.fileName;
        cycle.session->PostArticle(cycle.window, MAIN_MSG_POST_DONE, &p.stream);
        return;
    }
}

void OnPostDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    PostingState& p = *cycle.posting;
    if (cycle.connected == 0 || p.outFile < 0) return;
    p.stream.Close();
    // Broken off: the file and its record stay for the next pass.
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    const char* text = reinterpret_cast<const char*>(reply);
    if (result == ResultSuccess) {
        // Gone before its record is marked: a stop in between leaves a
        // record whose file is missing, which is skipped, not posted again.
        if (!plat::DeleteFile(p.postPath))
            LogLineF("%s was posted but can't be deleted", p.postName.c_str());
    } else if (result == ResultRefusedLocally) {
        // Not sent at all (a line too long for the server): kept for the
        // board to see.
        LogLineF("%s not posted, kept: %s", p.postName.c_str(), text != nullptr ? text : "");
    } else if (cycle.session->articleSent && HasCode(text, "441")) {
        // The server's verdict on this article.
        LogReplyText(reply);
        MoveToRejected(p);
    } else {
        // No verdict on the article (no permission, a login wanted, a
        // server in trouble): it stays queued, and so does all after it.
        LogReplyText(reply);
        const std::string line = "Posting stopped; " + p.postName + " stays queued";
        LogLine(line.c_str());
        cycle.NoteUndone(line);
        return EndPass(cycle);
    }
    if (!Handled(cycle)) return;
    PostRecord(cycle, p.postRecordIndex);
}

}  // namespace app
