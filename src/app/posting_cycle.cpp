// Posting the articles the board queued in out.dat.
//
// out.dat is a sequence of 13-byte records: a flag byte (0: post) and a file
// name of up to 12 characters in the out directory. Records are handled one
// POST at a time, strictly in file order. The board may append to out.dat
// while a pass runs: records that arrive before the pass ends are posted in
// it, and the few that could slip in at its very end go back into out.dat
// for the next pass instead of being deleted with it. So do records that a
// board which opened out.dat before the pass retired it writes afterwards:
// the retired file is kept, behind a marker record, until the next pass.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/settings.h"
#include "net/winsock_init.h"
#include "nntp/nntp_session.h"
#include "platform/files.h"

namespace app {

namespace {

constexpr long kRecordSize = 13;
constexpr std::size_t kNameLength = 12;
// out.dat is renamed to this at the end of a pass, so that the board, which
// appends to out.dat, starts a new file rather than one about to be deleted.
constexpr char kWorkName[] = "qivout.wrk";
// The retired queue, kept until the next pass: records written into it
// after its marker came from a board that had it open as out.dat.
constexpr char kRetiredName[] = "qivout.old";
// Ends what a pass has read of a retired queue. Skipped by any pass (its
// flag), and no board writes it (a colon is in no file name).
constexpr char kMarker[kRecordSize] = {'\xff', ':', 'r', 'e', 't', 'i', 'r', 'e', 'd', ':'};

struct OutboundRecord {
    unsigned char flag = 0;               // 0: post the file; anything else: skip
    char fileName[kNameLength + 1] = {};  // terminated after the twelfth byte
};

struct PostingState {
    int outFile = -1;  // out.dat, open while a pass runs
    std::string outPath;
    dev_t device = 0;  // which file outFile is, to tell it from a new out.dat
    ino_t inode = 0;
    long postRecordCount = 0;
    long postRecordIndex = 0;
    std::string postPath;  // the file being posted
    std::string postName;
};

PostingState& Posting() {
    static PostingState state;
    return state;
}

std::string SpoolPath(const char* templ) {
    return plat::FormatPath(templ, App().settings.qivNewsDir.c_str());
}

std::string WorkPath(const char* name = kWorkName) {
    return plat::FormatPath("%s\\%s", App().settings.qivNewsDir.c_str(), name);
}

// The offset just behind the last marker record, or npos.
std::size_t AfterLastMarker(const std::string& content) {
    for (std::size_t at = content.size() / kRecordSize; at-- > 0;)
        if (content.compare(at * kRecordSize, kRecordSize, kMarker, kRecordSize) == 0)
            return (at + 1) * kRecordSize;
    return std::string::npos;
}

void CloseOutFile() {
    PostingState& p = Posting();
    if (p.outFile >= 0) close(p.outFile);
    p.outFile = -1;
}

// Records in the open out.dat now; it may have grown since the pass began.
long CountRecords() {
    struct stat st;
    if (fstat(Posting().outFile, &st) != 0) return 0;
    return static_cast<long>(st.st_size / kRecordSize);
}

bool ReadRecord(long index, OutboundRecord& record) {
    unsigned char bytes[kRecordSize];
    const ssize_t n =
        pread(Posting().outFile, bytes, sizeof bytes, static_cast<off_t>(index) * kRecordSize);
    if (n != kRecordSize) return false;
    record.flag = bytes[0];
    std::memcpy(record.fileName, bytes + 1, kNameLength);
    record.fileName[kNameLength] = '\0';
    return true;
}

// The name comes from a file the board writes: only a plain name inside the
// out directory may be opened or deleted.
bool IsPlainName(const char* name) {
    if (*name == '\0' || std::strcmp(name, ".") == 0) return false;
    if (std::strpbrk(name, "/\\") != nullptr) return false;
    return std::strstr(name, "..") == nullptr;
}

bool ReadWhole(const std::string& path, std::string& content) {
    const int fd = plat::OpenRegular(path, O_RDONLY);
    if (fd < 0) return false;
    content.clear();
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

// Appends whole records to out.dat (which the board may be appending to as
// well: each of our appends is one write at the end of the file).
bool AppendToQueue(const std::string& records) {
    if (records.empty()) return true;
    return plat::WriteAt(SpoolPath("%s\\out.dat"), records.data(), records.size(), -1);
}

// A work file left by a pass that stopped while retiring the queue: its
// records go back into the queue. Those already posted name files that are
// gone by now and are skipped. Then the records written into the retired
// queue after its marker.
void RecoverWorkFile() {
    const std::string work = WorkPath();
    std::string content;
    if (plat::FileExists(work) && ReadWhole(work, content)) {
        content.resize(content.size() / kRecordSize * kRecordSize);
        if (AppendToQueue(content)) plat::DeleteFile(work);
    }
    const std::string retired = WorkPath(kRetiredName);
    if (plat::FileExists(retired) && ReadWhole(retired, content)) {
        const std::size_t after = AfterLastMarker(content);
        std::string late = after == std::string::npos ? content : content.substr(after);
        late.resize(late.size() / kRecordSize * kRecordSize);
        if (AppendToQueue(late)) plat::DeleteFile(retired);
    }
}

// The pass is complete: out.dat goes, but records that the board appended
// after the last look at its size are put back into a new out.dat.
void RetireQueue() {
    PostingState& p = Posting();
    CloseOutFile();
    const std::string work = WorkPath();
    if (!plat::RenameReplace(p.outPath, work)) return;
    // A board that opened out.dat before the rename may still write into
    // it: the marker divides what is read now from what the next pass takes.
    const int fd = plat::OpenRegular(work, O_WRONLY | O_APPEND);
    if (fd < 0) return;  // kept; the next pass recovers it
    const bool marked = write(fd, kMarker, kRecordSize) == kRecordSize;
    const off_t end = lseek(fd, 0, SEEK_CUR);
    close(fd);
    std::string content;
    if (!marked || end < kRecordSize || !ReadWhole(work, content)) return;
    content.resize(std::min(content.size(), static_cast<std::size_t>(end - kRecordSize)));
    struct stat st;
    std::size_t handled = 0;
    if (stat(work.c_str(), &st) == 0 && st.st_dev == p.device && st.st_ino == p.inode)
        handled = static_cast<std::size_t>(p.postRecordCount) * kRecordSize;
    // Otherwise out.dat was replaced during the pass: all of it is new.
    std::string rest = handled < content.size() ? content.substr(handled) : std::string();
    rest.resize(rest.size() / kRecordSize * kRecordSize);  // a trailing part-record is dropped
    if (AppendToQueue(rest)) plat::RenameReplace(work, WorkPath(kRetiredName));
}

void FinishPass(plat::WindowHandle window) {
    RetireQueue();
    LogLine("Finished posting essages");
    BeginDisconnect(window);
    // Set after the disconnect has started: QUIT runs with the gate open.
    App().appIdle = 1;
}

}  // namespace

// Built after the sockets start-up, torn down before it.
plat::TextReader& PostingStream() {
    WinsockInit();
    static plat::TextReader stream;
    return stream;
}

namespace {
[[maybe_unused]] plat::TextReader& builtBeforeMain = PostingStream();
}  // namespace

void AbandonPosting() {
    CloseOutFile();
    PostingStream().Close();
}

void BeginPosting(plat::WindowHandle window) {
    AppState& app = App();
    MainWindowData* data = BeginStep(window);
    if (data == nullptr) return;
    LogLine("Posting Messages");
    RecoverWorkFile();

    PostingState& p = Posting();
    CloseOutFile();
    p.outPath = SpoolPath("%s\\out.dat");
    p.outFile = plat::OpenRegular(p.outPath, O_RDONLY);
    struct stat st;
    if (p.outFile >= 0 && fstat(p.outFile, &st) != 0) CloseOutFile();
    if (p.outFile < 0) {
        LogLine("Can't open index file");
        app.appIdle = 1;
        BeginDisconnect(window);
        return;
    }
    p.device = st.st_dev;
    p.inode = st.st_ino;
    p.postRecordCount = static_cast<long>(st.st_size / kRecordSize);
    if (p.postRecordCount == 0) {
        // Shorter than one record (perhaps one being written): left alone.
        CloseOutFile();
        app.appIdle = 1;
        BeginDisconnect(window);
        return;
    }
    p.postRecordIndex = 0;
    PostRecord(window, 0);
}

void PostRecord(plat::WindowHandle window, long recordIndex) {
    PostingState& p = Posting();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || p.outFile < 0) return;
    // Records that are skipped are walked here, not by nested calls.
    for (long i = recordIndex;; ++i) {
        p.postRecordIndex = i;
        if (i >= p.postRecordCount) {
            p.postRecordCount = CountRecords();
            if (i >= p.postRecordCount) return FinishPass(window);
        }
        OutboundRecord record;
        if (!ReadRecord(i, record)) {
            // Cut short under us: what is left is no record.
            p.postRecordCount = i;
            return FinishPass(window);
        }
        if (record.flag != 0) continue;
        if (!IsPlainName(record.fileName)) {
            LogLineF("Record %ld of out.dat names no file of the out directory; skipped", i + 1);
            continue;
        }
        const std::string path =
            plat::FormatPath("%s\\out\\%s", App().settings.qivNewsDir.c_str(), record.fileName);
        // A link or special file is refused (and logged) by the open: it
        // stays where it is, unposted.
        if (!PostingStream().Open(path)) {
            if (errno == ENOENT || errno == EISDIR)
                LogLineF("%s is not in the out directory; skipped", record.fileName);
            else if (!plat::LastWasRefused())
                LogLineF("Can't open %s; skipped", record.fileName);
            continue;
        }
        p.postPath = path;
        p.postName = record.fileName;
        data->session->PostArticle(window, MAIN_MSG_POST_DONE, &PostingStream());
        return;
    }
}

void OnPostDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam reply) {
    PostingState& p = Posting();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->connected == 0 || p.outFile < 0) return;
    PostingStream().Close();
    // Broken off: the file and out.dat stay for the next pass.
    if (IsBroken(result)) return ConnectionLost(window, reply);
    if (result == ResultRefusedLocally) {
        // Not sent at all (a line too long for the server): kept for the
        // board to see.
        const char* why = reinterpret_cast<const char*>(reply);
        LogLineF("%s not posted, kept: %s", p.postName.c_str(), why != nullptr ? why : "");
    } else {
        if (result != ResultSuccess) LogReplyText(reply);
        plat::DeleteFile(p.postPath);
    }
    ++p.postRecordIndex;
    PostRecord(window, p.postRecordIndex);
}

}  // namespace app
