#include "spool/expiry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/index_record.h"
#include "spool/spool_paths.h"

namespace spool {

std::int32_t expiryGroup = 1;

namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

struct StepState {
    bool running = false;
    std::int32_t group = 0;
    bool stop = false;     // the group was unsubscribed meanwhile
    bool restart = false;  // "Expire messages" was chosen meanwhile
    bool quitSeen = false;
};
StepState step;

enum class Outcome { Done, Recovered };

void Log(const SpoolContext& context, const std::string& line) {
    if (context.log) context.log(line);
}

// Why the run since StartExpiry left a group unexpired (the first reason).
std::string failure;

void Fail(const SpoolContext& context, const std::string& line) {
    Log(context, line);
    if (failure.empty()) failure = line;
}

// One turn of the message queue. A quit request is put back for the
// outermost loop and ends the dispatching for this step.
void DispatchOneMessage() {
    if (step.quitSeen) return;
    plat::Message m;
    if (!plat::PeekMessage(m)) return;
    if (m.message == plat::msg::Quit) {
        step.quitSeen = true;
        plat::PostQuitMessage(static_cast<int>(m.wParam));
        return;
    }
    plat::DispatchMessage(m);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Timestamps written from 2000 on by the earlier form of this program hold
// a three-digit year ("100.01.05.12.3"); they are read too.
bool ThreeDigitYearDay(const char* t, long long& day) {
    static const int digits[] = {0, 1, 2, 4, 5, 7, 8, 10, 11, 13};
    for (int i : digits)
        if (!IsDigit(t[i])) return false;
    if (t[0] != '1' || t[3] != '.' || t[6] != '.' || t[9] != '.' || t[12] != '.') return false;
    const int year = 100 + (t[1] - '0') * 10 + (t[2] - '0');
    const int month = (t[4] - '0') * 10 + (t[5] - '0');
    const int dayOfMonth = (t[7] - '0') * 10 + (t[8] - '0');
    if (month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31) return false;
    day = dayNumber(year, month, dayOfMonth);
    return true;
}

// ExpireDays: a leading decimal integer; false when the value has none.
bool ParseExpireDays(const std::string& text, long long& days) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(start, &end, 10);
    if (end == start) return false;
    days = value;
    if (days > INT_MAX) days = INT_MAX;
    if (days < INT_MIN) days = INT_MIN;
    return true;
}

bool ReadRecord(int fd, off_t index, unsigned char* record) {
    return pread(fd, record, kRecordSize, index * static_cast<off_t>(kRecordSize)) ==
           static_cast<ssize_t>(kRecordSize);
}

bool WriteRecord(int fd, const unsigned char* record) {
    // One write per record in append mode: a record the fetch cycle adds
    // meanwhile lands whole between two kept ones.
    return write(fd, record, kRecordSize) == static_cast<ssize_t>(kRecordSize);
}

// Whether the record can be shown to be old: its day lies ExpireDays or
// more before today.
bool ProvablyOld(const unsigned char* record, long long newestExpired) {
    long long day = 0;
    if (!TimestampDayNumber(reinterpret_cast<const char*>(record + kTimestampText), day))
        return false;
    return day <= newestExpired;
}

// Runs the expiry of group n over "<n>.tmp" into "<n>.grp". When the step
// resumes one that was cut off, the records the new index already holds are
// passed over: they are the kept records of a prefix of "<n>.tmp", in
// order, mixed with records the fetch cycle appended.
Outcome ExpireGroup(const SpoolContext& context, std::int32_t n) {
    if (!IsSubscribed(n)) return Outcome::Done;
    const std::string section = GroupSection(n);

    bool keepAll = false;
    long long days = 1;
    const std::string value = plat::GetProfileString(section, "ExpireDays", "z", 25, kGroupsFile);
    if (EqualNoCase(value, "z")) {
        plat::WriteProfileString(section, "ExpireDays", "1", kGroupsFile);
    } else if (!ParseExpireDays(value, days)) {
        keepAll = true;
    }

    const plat::LocalTime now = plat::Now();
    const long long today = dayNumber(YearsSince1900(TimestampYear(now.year)), now.month, now.day);
    const long long newestExpired = today - days;

    const std::string grp = IndexPath(context.spoolDir, n);
    const std::string tmp = TempIndexPath(context.spoolDir, n);
    struct stat st;
    const bool resume = lstat(tmp.c_str(), &st) == 0;
    if (resume && !S_ISREG(st.st_mode)) {
        Fail(context, "Cannot expire group " + std::to_string(n) + ": " + tmp + " is not a file");
        return Outcome::Done;
    }
    if (keepAll) {
        Log(context, "ExpireDays of " + section + " is not a number; nothing expires");
        if (!resume) return Outcome::Done;
    }
    if (!resume && !plat::RenameNoReplace(grp, tmp)) {
        if (errno == ENOENT) {
            // No index yet: leave an empty one, as a step always does.
            const int fd = plat::OpenRegular(grp, O_WRONLY | O_CREAT);
            if (fd >= 0) close(fd);
        } else {
            Fail(context, "Cannot expire group " + std::to_string(n) + ": " +
                              std::strerror(errno));
        }
        return Outcome::Done;
    }
    if (resume) Log(context, "Finishing the interrupted expiry of group " + std::to_string(n));

    const int in = plat::OpenRegular(tmp, O_RDONLY);
    if (in < 0) {
        Fail(context, "Cannot expire group " + std::to_string(n) + ": " + std::strerror(errno));
        return Outcome::Done;
    }
    // Never truncated: when resuming it already holds part of the index.
    const int out = plat::OpenRegular(grp, O_WRONLY | O_CREAT | O_APPEND);
    if (out < 0) {
        close(in);
        Fail(context, "Cannot write " + grp);
        return Outcome::Done;
    }

    // Records already in the new index (resuming only).
    int done = -1;
    off_t doneCount = 0, doneNext = 0;
    if (resume) {
        done = plat::OpenRegular(grp, O_RDONLY);
        struct stat ds;
        if (done >= 0 && fstat(done, &ds) == 0) {
            doneCount = ds.st_size / static_cast<off_t>(kRecordSize);
            // A record cut off by the interruption is dropped.
            if (ds.st_size % static_cast<off_t>(kRecordSize) != 0 &&
                ftruncate(out, doneCount * static_cast<off_t>(kRecordSize)) != 0) {
                Fail(context, "Cannot repair " + grp);
                close(done);
                close(out);
                close(in);
                return Outcome::Done;
            }
        }
    }
    bool passingOver = resume && doneCount > 0;

    off_t count = 0;
    if (fstat(in, &st) == 0) count = st.st_size / static_cast<off_t>(kRecordSize);
    bool writeFailed = false;
    unsigned char record[kRecordSize];
    unsigned char other[kRecordSize];
    for (off_t i = 0; i < count && !step.stop; ++i) {
        if (!ReadRecord(in, i, record)) break;
        const bool old = !keepAll && ProvablyOld(record, newestExpired);
        if (old) {
            DeleteArticle(context.spoolDir, n, RecordFileName(record));
        } else if (passingOver) {
            bool found = false;
            while (!found && doneNext < doneCount) {
                found = ReadRecord(done, doneNext++, other) &&
                        std::memcmp(record, other, kRecordSize) == 0;
            }
            // The first kept record the new index lacks is where the
            // interrupted step stopped.
            if (!found) passingOver = false;
        }
        if (!old && !passingOver && !WriteRecord(out, record)) {
            writeFailed = true;
            break;
        }
        DispatchOneMessage();
    }

    bool durable = !writeFailed && fsync(out) == 0;
    if (close(out) != 0) durable = false;
    close(in);
    if (done >= 0) close(done);
    if (step.stop) return Outcome::Done;  // unsubscribed: its files are gone
    if (!durable) {
        // "<n>.tmp" still holds every record; the next step finishes the job.
        Fail(context, "Cannot write " + grp + "; the index stays in " + tmp);
        return Outcome::Done;
    }
    if (!plat::DeleteFile(tmp)) return Outcome::Done;
    return resume ? Outcome::Recovered : Outcome::Done;
}

}  // namespace

long long dayNumber(int yearsSince1900, int month, int day) {
    long long n = 365LL * yearsSince1900 + day;
    for (int m = 1; m < month && m <= 12; ++m) n += kMonthDays[m - 1];
    return n;
}

bool TimestampDayNumber(const char* timestamp, long long& day) {
    if (ThreeDigitYearDay(timestamp, day)) return true;
    char text[kTimestampWidth + 1];
    std::memcpy(text, timestamp, kTimestampWidth);
    text[kTimestampWidth] = '\0';
    text[2] = text[5] = text[8] = text[11] = ' ';
    int year = 0, month = 0, dayOfMonth = 0, hour = 0, minute = 0;
    if (std::sscanf(text, "%d %d %d %d %d", &year, &month, &dayOfMonth, &hour, &minute) != 5)
        return false;
    if (year < 0 || year > 99 || month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31)
        return false;
    day = dayNumber(YearsSince1900(year), month, dayOfMonth);
    return true;
}

void StartExpiry(const SpoolContext& context) {
    if (step.running) {
        step.restart = true;
        return;
    }
    // A chain already under way starts over rather than running twice.
    plat::RemoveQueuedMessages(context.mainWindow, kExpireNextMessage, 0);
    failure.clear();
    expiryGroup = 1;
    ExpireGroupStep(context);
}

void ExpireGroupStep(const SpoolContext& context) {
    if (step.running) return;
    const std::int32_t n = expiryGroup;
    step = StepState{};
    step.running = true;
    step.group = n;
    if (ExpireGroup(context, n) == Outcome::Recovered && !step.stop) ExpireGroup(context, n);
    step.running = false;

    expiryGroup = step.restart ? 1 : NextGroupSection(n);
    step.restart = false;
    if (expiryGroup < *context.lastGroupNum) {
        plat::PostMessage(context.mainWindow, kExpireNextMessage, 0, expiryGroup);
    } else {
        expiryGroup = 1;
    }
}

const std::string& ExpiryFailure() {
    return failure;
}

bool ExpiryRunning() {
    return step.running;
}

void StopExpiryOfGroup(std::int32_t group) {
    if (step.running && step.group == group) step.stop = true;
}

}  // namespace spool
