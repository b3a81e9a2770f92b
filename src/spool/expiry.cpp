#include "spool/expiry.h"
#include "spool/message_history.h"

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
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/index_record.h"
#include "spool/spool_paths.h"

namespace spool {

namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// The group being expired, between steps.
struct GroupRun {
    bool open = false;  // its files are open and its records being walked
    std::int32_t group = 0;
    bool resume = false;  // finishing a run that was cut off
    bool keepAll = false;
    long long newestExpired = 0;
    std::string grp, tmp;
    int in = -1, out = -1;
    // The new index as the cut-off run left it (resuming only).
    int done = -1;
    off_t doneCount = 0, doneNext = 0;
    bool passingOver = false;
    off_t count = 0, next = 0;  // records of the copy, and the next one
    bool writeFailed = false;
};

struct RunState {
    bool active = false;   // between StartExpiry and the step that ends the run
    bool stop = false;     // the group was unsubscribed meanwhile
    bool restart = false;  // "Expire messages" was chosen meanwhile
    std::int32_t at = 1;   // the group number the run is at
    GroupRun group;
};
RunState run;

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

void CloseGroup() {
    GroupRun& g = run.group;
    for (int* fd : {&g.in, &g.out, &g.done}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    g.open = false;
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

// Sets up the expiry of group n over "<n>.tmp" into "<n>.grp": false when
// there is nothing to walk (the group is then done with). When the run
// resumes one that was cut off, the records the new index already holds are
// passed over: they are the kept records of a prefix of "<n>.tmp", in
// order, mixed with records the fetch cycle appended.
bool BeginGroup(const SpoolContext& context, std::int32_t n) {
    if (!IsSubscribed(n)) return false;
    const std::string section = GroupSection(n);
    GroupRun& g = run.group;
    g = GroupRun{};
    g.group = n;

    long long days = 1;
    const std::string value = plat::GetProfileString(section, "ExpireDays", "z", 25, kGroupsFile);
    if (EqualNoCase(value, "z")) {
        plat::WriteProfileString(section, "ExpireDays", "1", kGroupsFile);
    } else if (!ParseExpireDays(value, days)) {
        g.keepAll = true;
    }

    const plat::LocalTime now = plat::Now();
    const long long today = dayNumber(YearsSince1900(TimestampYear(now.year)), now.month, now.day);
    g.newestExpired = today - days;

    g.grp = IndexPath(context.spoolDir, n);
    g.tmp = TempIndexPath(context.spoolDir, n);
    struct stat st;
    g.resume = lstat(g.tmp.c_str(), &st) == 0;
    if (g.resume && !S_ISREG(st.st_mode)) {
        Fail(context, "Cannot expire group " + std::to_string(n) + ": " + g.tmp + " is not a file");
        return false;
    }
    if (g.keepAll) {
        Log(context, "ExpireDays of " + section + " is not a number; nothing expires");
        if (!g.resume) return false;
    }
    if (!g.resume && !plat::RenameNoReplace(g.grp, g.tmp)) {
        if (errno == ENOENT) {
            // No index yet: leave an empty one, as a run always does.
            const int fd = plat::OpenRegular(g.grp, O_WRONLY | O_CREAT);
            if (fd >= 0) close(fd);
        } else {
            Fail(context, "Cannot expire group " + std::to_string(n) + ": " +
                              std::strerror(errno));
        }
        return false;
    }
    if (g.resume) Log(context, "Finishing the interrupted expiry of group " + std::to_string(n));

    g.in = plat::OpenRegular(g.tmp, O_RDONLY);
    if (g.in < 0) {
        Fail(context, "Cannot expire group " + std::to_string(n) + ": " + std::strerror(errno));
        return false;
    }
    // Never truncated: when resuming it already holds part of the index.
    g.out = plat::OpenRegular(g.grp, O_WRONLY | O_CREAT | O_APPEND);
    if (g.out < 0) {
        CloseGroup();
        Fail(context, "Cannot write " + g.grp);
        return false;
    }

    if (g.resume) {
        g.done = plat::OpenRegular(g.grp, O_RDONLY);
        struct stat ds;
        if (g.done >= 0 && fstat(g.done, &ds) == 0) {
            g.doneCount = ds.st_size / static_cast<off_t>(kRecordSize);
            // A record cut off by the interruption is dropped.
            if (ds.st_size % static_cast<off_t>(kRecordSize) != 0 &&
                ftruncate(g.out, g.doneCount * static_cast<off_t>(kRecordSize)) != 0) {
                Fail(context, "Cannot repair " + g.grp);
                CloseGroup();
                return false;
            }
        }
    }
    g.passingOver = g.resume && g.doneCount > 0;
    if (fstat(g.in, &st) == 0) g.count = st.st_size / static_cast<off_t>(kRecordSize);
    g.open = true;
    return true;
}

// Walks up to `limit` records of the group; false when none was left.
bool WalkRecords(const SpoolContext& context, long limit) {
    GroupRun& g = run.group;
    unsigned char record[kRecordSize];
    unsigned char other[kRecordSize];
    long walked = 0;
    for (; walked < limit && g.next < g.count && !g.writeFailed; ++walked) {
        if (!ReadRecord(g.in, g.next, record)) {
            g.count = g.next;
            break;
        }
        ++g.next;
        const bool old = !g.keepAll && ProvablyOld(record, g.newestExpired);
        if (old) {
            DeleteArticle(context.spoolDir, g.group, RecordFileName(record));
        } else if (g.passingOver) {
            bool found = false;
            while (!found && g.doneNext < g.doneCount) {
                found = ReadRecord(g.done, g.doneNext++, other) &&
                        std::memcmp(record, other, kRecordSize) == 0;
            }
            // The first kept record the new index lacks is where the
            // interrupted run stopped.
            if (!found) g.passingOver = false;
        }
        if (!old && !g.passingOver && !WriteRecord(g.out, record)) g.writeFailed = true;
    }
    return walked > 0;
}

Outcome FinishGroup(const SpoolContext& context) {
    GroupRun& g = run.group;
    bool durable = !g.writeFailed && fsync(g.out) == 0;
    if (close(g.out) != 0) durable = false;
    g.out = -1;
    CloseGroup();
    if (!durable) {
        // "<n>.tmp" still holds every record; the next run finishes the job.
        Fail(context, "Cannot write " + g.grp + "; the index stays in " + g.tmp);
        return Outcome::Done;
    }
    if (!plat::DeleteFile(g.tmp)) return Outcome::Done;
    // The Message-IDs of expired articles go too; a history that cannot be
    // rewritten only stays longer.
    if (!g.keepAll) ExpireHistory(context.spoolDir, g.group, g.newestExpired);
    return g.resume ? Outcome::Recovered : Outcome::Done;
}

// On to the next group after n; false when the run has ended.
bool NextGroup(const SpoolContext& context, std::int32_t n) {
    run.at = run.restart ? 1 : NextGroupSection(n);
    run.restart = false;
    run.stop = false;
    if (run.at < *context.lastGroupNum) return true;
    run.at = 1;
    run.active = false;
    return false;
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

void StartExpiry() {
    if (run.group.open) {
        run.restart = true;
        return;
    }
    failure.clear();
    run = RunState{};
    run.active = true;
}

bool ExpiryStep(const SpoolContext& context, long maxRecords) {
    if (!run.active) return false;
    GroupRun& g = run.group;
    const std::int32_t n = run.at;
    if (run.stop) return NextGroup(context, n);  // unsubscribed: its files are gone
    if (!g.open && !BeginGroup(context, n)) return NextGroup(context, n);
    if (WalkRecords(context, maxRecords)) return true;
    // The copy is walked; a run that finished a cut-off one goes over the
    // group once more, as a run of its own.
    if (FinishGroup(context) == Outcome::Recovered) return true;
    return NextGroup(context, n);
}

void FinishExpiryGroup(const SpoolContext& context) {
    while (run.group.open && ExpiryStep(context, LONG_MAX)) {
    }
    AbandonExpiry();
}

void AbandonExpiry() {
    CloseGroup();
    run = RunState{};
}

std::int32_t ExpiryGroup() {
    return run.at;
}

const std::string& ExpiryFailure() {
    return failure;
}

bool ExpiryRunning() {
    return run.active;
}

void StopExpiryOfGroup(std::int32_t group) {
    if (!run.group.open || run.group.group != group) return;
    CloseGroup();
    run.stop = true;
}

}  // namespace spool
