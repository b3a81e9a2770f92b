// Fetching every subscribed group, article by article.
//
// Per group: GROUP, then ARTICLE and NEXT alternately until NEXT fails or
// the cursor passes the last article GROUP reported. The counters are
// written after every article, so a cycle cut off anywhere resumes at the
// article it was working on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/settings.h"
#include "app/status.h"
#include "nntp/nntp_session.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/index_record.h"
#include "spool/spool_paths.h"

namespace app {

namespace {

constexpr char kNotSubscribed[] = "NotSubscribed";
constexpr std::size_t kNameBufferSize = 256;
// Article files are named "%08ld.nws": a ninth digit would not fit the
// index record's name field.
constexpr std::int32_t kMaxFileNumber = 99999999;

}  // namespace

// qivnews.ini as it was when its section was last seen (or written) by
// us, so that an unchanged file need not be read again.
struct FileIdentity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};

// The group being fetched: its section and the name it had when it began.
struct FetchState {
    std::string section;
    std::string name;
    // What qiv.ini holds as LastFileNumIn, as far as this cycle wrote or
    // read it.
    std::int32_t storedFileNum = 0;
    // The last article of the group as GROUP reported it: the cursor never
    // passes it by more than one.
    std::int64_t last = 0;
    // The last ARTICLE was refused as gone (the cursor has moved past it);
    // the server's current article did not move with it.
    bool refused = false;
    std::string articleDir;  // native path
    FileIdentity groupsFileSeen;
};

void CyclePartDeleter::operator()(FetchState* state) const {
    delete state;
}

std::unique_ptr<FetchState, CyclePartDeleter> NewFetchState() {
    return std::unique_ptr<FetchState, CyclePartDeleter>(new FetchState);
}

namespace {

std::string FormatLong(long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

// Index as "%ld" reads it (blanks, a sign, digits, anything after), but in
// 64 bits; false when it holds no number or one that does not fit.
bool ParseIndex(const std::string& text, std::int64_t& out) {
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

void StoreLastFileNumIn(FetchState& fetch, std::int32_t value) {
    WriteSetting("LastFileNumIn", FormatLong(value));
    fetch.storedFileNum = value;
}

bool StatGroupsFile(struct stat& st) {
    return stat(plat::ProfilePath(kGroupProfileFile).c_str(), &st) == 0;
}

bool SameFile(const FileIdentity& seen, const struct stat& st) {
    return seen.known && seen.device == st.st_dev && seen.inode == st.st_ino &&
           seen.size == st.st_size && seen.modified.tv_sec == st.st_mtim.tv_sec &&
           seen.modified.tv_nsec == st.st_mtim.tv_nsec;
}

void RememberGroupsFile(FetchState& fetch, const struct stat& st) {
    FileIdentity& seen = fetch.groupsFileSeen;
    seen.known = true;
    seen.device = st.st_dev;
    seen.inode = st.st_ino;
    seen.size = st.st_size;
    seen.modified = st.st_mtim;
}

void StoreIndex(FetchState& fetch, std::int64_t value) {
    // The section was there just before (StillSubscribed), so the file as
    // written still holds it.
    fetch.groupsFileSeen.known = false;
    if (!plat::WriteProfileString(fetch.section, "Index", FormatLong(value), kGroupProfileFile))
        return;
    struct stat st;
    if (StatGroupsFile(st)) RememberGroupsFile(fetch, st);
}

// False once the group has been unsubscribed (the Select Group dialog runs
// the message loop, so that can happen in the middle of its fetch). Its
// section must then not be written again: that would bring it back.
bool StillSubscribed(FetchState& fetch) {
    struct stat st;
    const bool statted = StatGroupsFile(st);
    if (statted && SameFile(fetch.groupsFileSeen, st)) return true;
    fetch.groupsFileSeen.known = false;
    const std::string name = plat::GetProfileString(fetch.section, "Name", kNotSubscribed,
                                                    kNameBufferSize, kGroupProfileFile);
    if (spool::EqualNoCase(name, kNotSubscribed)) return false;
    // Taken before the read: a change in between only costs another read.
    if (statted) RememberGroupsFile(fetch, st);
    return true;
}

void LogUnsubscribed(const FetchState& fetch) {
    LogLineF("%s was unsubscribed during its fetch", fetch.name.c_str());
}

// The article number the record holds; false when its field is no number.
bool RecordArticleNumber(const unsigned char* record, std::int64_t& number) {
    const std::size_t length =
        std::min<std::size_t>(record[spool::kArticleNumberOffset], spool::kArticleNumberWidth);
    const std::string text(reinterpret_cast<const char*>(record) + spool::kArticleNumberOffset + 1,
                           length);
    return !text.empty() && ParseIndex(text, number);
}

// The number a record's file name starts with; -1 when it starts with no
// digit or names no file we could have written.
std::int64_t RecordFileNumber(const unsigned char* record) {
    const std::string name = spool::RecordFileName(record);
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9' &&
           value <= kMaxFileNumber)
        value = value * 10 + (name[digits++] - '0');
    return digits == 0 || value > kMaxFileNumber ? -1 : value;
}

std::string ArticleFile(const FetchState& fetch, std::int32_t fileNumber) {
    char name[24];
    std::snprintf(name, sizeof name, "/%08ld.nws", static_cast<long>(fileNumber));
    return fetch.articleDir + name;
}

// The file number after n for the group being fetched: past 99999999 the
// count starts again at 1; a number whose file is still there is passed
// over, so that no article overwrites one the board may still list.
std::int32_t NextFileNumber(const FetchState& fetch, std::int32_t n) {
    bool wrapped = false;
    for (std::int32_t tries = 0; tries < kMaxFileNumber; ++tries) {
        wrapped = wrapped || n >= kMaxFileNumber || n < 0;
        n = n >= kMaxFileNumber || n < 0 ? 1 : n + 1;
        if (!plat::FileExists(ArticleFile(fetch, n))) break;
    }
    if (wrapped)
        LogLineF("LastFileNumIn passed %ld; wrapped to %ld in %s", static_cast<long>(kMaxFileNumber),
                 static_cast<long>(n), fetch.section.c_str());
    return n;
}

// The highest file number that the group's index names; false when the
// index is missing or names none. Records whose file name is not a number
// are passed over. lastArticle: the article number of the last record, -1
// when there is none; lastFile likewise its file number.
bool HighestIndexedFile(const std::string& spoolDir, std::int32_t group, std::int32_t& highest,
                        std::int64_t& lastArticle, std::int64_t& lastFile) {
    const int fd = plat::OpenRegular(spool::IndexPath(spoolDir, group), O_RDONLY);
    if (fd < 0) return false;
    static unsigned char buffer[spool::kRecordSize * 256];
    bool found = false;
    off_t offset = 0;
    for (;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        // A partial record at the end of the file is no record.
        const std::size_t records = n > 0 ? static_cast<std::size_t>(n) / spool::kRecordSize : 0;
        if (records == 0) break;
        const unsigned char* lastRecord = buffer + (records - 1) * spool::kRecordSize;
        std::int64_t number = 0;
        lastArticle = RecordArticleNumber(lastRecord, number) ? number : -1;
        lastFile = RecordFileNumber(lastRecord);
        for (std::size_t r = 0; r < records; ++r) {
            const std::int64_t value = RecordFileNumber(buffer + r * spool::kRecordSize);
            if (value < 0) continue;
            if (!found || value > highest) highest = static_cast<std::int32_t>(value);
            found = true;
        }
        offset += static_cast<off_t>(records * spool::kRecordSize);
    }
    close(fd);
    return found;
}

// Prepares and starts the group currentGroup. False when the group is
// skipped: not subscribed, or it cannot be fetched in this cycle.
bool StartGroup(NewsCycle& cycle) {
    AppSettings& s = App().settings;
    CNntpSession& session = *cycle.session;
    FetchState& fetch = *cycle.fetch;

    fetch.section = spool::GroupSection(cycle.currentGroup);
    fetch.groupsFileSeen.known = false;
    const std::string name = plat::GetProfileString(fetch.section, "Name", kNotSubscribed,
                                                    kNameBufferSize, kGroupProfileFile);
    if (spool::EqualNoCase(name, kNotSubscribed)) return false;
    if (name.size() > static_cast<std::size_t>(CNntpSession::kMaxGroupName)) {
        LogLineF("%s skipped: its group name is longer than %d characters", fetch.section.c_str(),
                 CNntpSession::kMaxGroupName);
        return false;
    }

    // The file, not memory, holds the counter between groups.
    const std::string stored = ReadSetting("LastFileNumIn", kCounterBufferSize);
    if (IsMissing(stored)) {
        s.lastFileNumIn = 0;
        WriteSetting("LastFileNumIn", "0");
    } else {
        ParseLong(stored, s.lastFileNumIn);
    }
    fetch.storedFileNum = s.lastFileNumIn;

    const std::string dir =
        plat::FormatPath("%s\\news\\%s", s.qivNewsDir.c_str(), fetch.section.c_str());
    if (dir.size() >= sizeof session.articleDir) {
        LogLineF("%s skipped: the path of its articles is too long", fetch.section.c_str());
        return false;
    }
    fetch.articleDir = plat::ToNativePath(dir);
    // Without its directory no article of the group can be stored, and a
    // failed create of the article file breaks the connection for every
    // group after it.
    if (!plat::IsRealDirectory(dir)) {
        if (plat::LastWasRefused() || !plat::CreateDirectory(dir)) {
            LogLineF("%s skipped: its directory %s cannot be made", fetch.section.c_str(),
                     dir.c_str());
            return false;
        }
        LogLineF("Made the missing directory %s", dir.c_str());
    }

    // A counter too large for a file name starts again from the bottom.
    if (s.lastFileNumIn > kMaxFileNumber) {
        s.lastFileNumIn = NextFileNumber(fetch, s.lastFileNumIn);
        StoreLastFileNumIn(fetch, s.lastFileNumIn);
    }

    // A counter that lags behind the index (restored from a backup, edited
    // by hand) would overwrite articles the board already lists. After a
    // wrap the index's newest record names a file below its highest, and
    // a counter past that newest one is where it should be.
    std::int32_t highest = 0;
    std::int64_t lastArticle = -1;
    std::int64_t lastFile = -1;
    const bool indexed =
        HighestIndexedFile(s.qivNewsDir, cycle.currentGroup, highest, lastArticle, lastFile);
    const bool pastWrap = lastFile >= 0 && lastFile < highest && s.lastFileNumIn > lastFile;
    if (s.lastFileNumIn < 0 || (indexed && s.lastFileNumIn <= highest && !pastWrap)) {
        const std::int32_t moved = indexed ? NextFileNumber(fetch, highest) : 0;
        LogLineF("LastFileNumIn %ld is behind the index of %s; moved to %ld",
                 static_cast<long>(s.lastFileNumIn), fetch.section.c_str(),
                 static_cast<long>(moved));
        s.lastFileNumIn = moved;
        StoreLastFileNumIn(fetch, moved);
    }

    // A missing or empty Index means the group's first article; one that
    // does not parse is not guessed at.
    const std::string index = plat::GetProfileString(fetch.section, "Index", kMissing,
                                                     kCounterBufferSize, kGroupProfileFile);
    std::int64_t cursor = 0;
    if (!IsMissing(index) && !index.empty() && !ParseIndex(index, cursor)) {
        LogLineF("%s skipped: its Index \"%s\" is not a number", fetch.section.c_str(),
                 index.c_str());
        return false;
    }

    // The counters are written after the article is indexed; a stop in
    // between leaves Index naming an article the index already holds, which
    // must not be fetched and indexed a second time.
    if (lastArticle >= 0 && lastArticle >= cursor && lastArticle < INT64_MAX) {
        LogLineF("Index %lld of %s is behind its index file; moved to %lld",
                 static_cast<long long>(cursor), fetch.section.c_str(),
                 static_cast<long long>(lastArticle + 1));
        cursor = lastArticle + 1;
        StoreIndex(fetch, cursor);
    }

    std::memcpy(session.groupName, name.c_str(), name.size() + 1);
    std::memcpy(session.articleDir, dir.c_str(), dir.size() + 1);
    cycle.articleCursor = cursor;
    fetch.name = name;

    LogLineF("Getting messages from %s", name.c_str());
    cycle.appIdle = 0;
    StatusSetGroup(name);
    session.SelectGroup(cycle.window, MAIN_MSG_GROUP_DONE);
    return true;
}

// Moves to the next group number. False when the cycle is complete: the
// posting pass has then been started.
bool NextGroup(NewsCycle& cycle) {
    // Straight to the next group that has a section: a counter inflated far
    // past the groups in use costs nothing.
    cycle.currentGroup = spool::NextGroupSection(cycle.currentGroup);
    if (cycle.currentGroup < App().settings.lastGroupNum) return true;
    cycle.currentGroup = 1;
    cycle.appIdle = 1;
    LogLine("Finished getting messages");
    StatusSetGroup(std::string());
    plat::SendMessage(cycle.window, plat::msg::Command, IDM_POST_ALL, 0);
    return false;
}

// The group is done; the next one starts before this returns.
void EndGroup(NewsCycle& cycle) {
    plat::SendMessage(cycle.window, MAIN_MSG_GROUP_FINISHED, 0, 0);
}

// The handlers act only on completions of a live connection.
bool Live(const NewsCycle& cycle) {
    return cycle.connected == 1;
}

// Where a group without Index starts: its first article, or with
// InitialFetch its newest that many (GROUP's first still the floor).
std::int64_t NewGroupStart(const FetchState& fetch, const CNntpSession& session) {
    const std::int32_t cap = App().settings.initialFetch;
    if (cap <= 0 || session.lastArticle - session.firstArticle < cap) return session.firstArticle;
    LogLineF("%s is new: starting at its newest %ld articles", fetch.name.c_str(),
             static_cast<long>(cap));
    return session.lastArticle - cap + 1;
}

}  // namespace

void BeginGroupFetch(NewsCycle& cycle) {
    // Runs of unsubscribed group numbers are walked here rather than by one
    // nested call per number.
    for (;;) {
        if (cycle.connected == 0) {
            LogLine("Server not connected");
            cycle.End();
            return;
        }
        if (StartGroup(cycle)) return;
        if (!NextGroup(cycle)) return;
    }
}

void OnGroupDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    if (result != ResultSuccess) {
        LogReplyText(reply);
        return EndGroup(cycle);
    }
    FetchState& fetch = *cycle.fetch;
    if (!StillSubscribed(fetch)) {
        LogUnsubscribed(fetch);
        return EndGroup(cycle);
    }
    CNntpSession& session = *cycle.session;
    if (session.firstArticle < 0 || session.lastArticle < 0) {
        // Another group's numbers would do worse than nothing.
        LogLineF("%s skipped: no article numbers in the reply \"%s\"", fetch.section.c_str(),
                 reply != 0 ? reinterpret_cast<const char*>(reply) : "");
        return EndGroup(cycle);
    }
    // One past the last must still be a number.
    fetch.last = std::min<std::int64_t>(session.lastArticle, INT64_MAX - 1);
    fetch.refused = false;
    if (cycle.articleCursor == 0) cycle.articleCursor = NewGroupStart(fetch, session);
    if (cycle.articleCursor < session.firstArticle) cycle.articleCursor = session.firstArticle;
    if (cycle.articleCursor > session.lastArticle) return EndGroup(cycle);
    session.fileNumber = App().settings.lastFileNumIn;
    session.FetchArticle(cycle.window, MAIN_MSG_ARTICLE_DONE, cycle.articleCursor);
}

namespace {

// The reply code a refusal's text begins with; 0 without one.
int ReplyCode(plat::LParam reply) {
    const char* text = reinterpret_cast<const char*>(reply);
    if (text == nullptr) return 0;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        code = code * 10 + (text[i] - '0');
    }
    return code;
}

// Ends the cycle early, as its end would (no further group, no posting):
// the counters stay where they are.
void StopCycle(NewsCycle& cycle) {
    cycle.currentGroup = 1;
    StatusSetGroup(std::string());
    BeginDisconnect(cycle);
}

// An ARTICLE refusal that does not say the article is gone: the article
// stays due (Index still names it) and the group, or the whole cycle when
// the server will not serve any article, stops here.
void ArticleWithheld(NewsCycle& cycle, plat::LParam reply) {
    const int code = ReplyCode(reply);
    const std::string line = cycle.fetch->section + " stopped at article " +
                             std::to_string(cycle.articleCursor) + ": " +
                             (reply != 0 ? reinterpret_cast<const char*>(reply) : kNoReplyText);
    LogLine(line.c_str());
    // The article is still due: the run did not do all it was there for.
    cycle.NoteUndone(line);
    if (code == 480) LogLine("Server wants a login before it sends articles");
    if (code == 400 || code == 480) return StopCycle(cycle);
    EndGroup(cycle);
}

}  // namespace

void OnArticleDone(NewsCycle& cycle, plat::WParam result, plat::LParam value) {
    ArticleSaved* saved =
        result == ResultSuccess ? reinterpret_cast<ArticleSaved*>(value) : nullptr;
    if (!Live(cycle)) return ReleaseArticleSaved(saved);
    AppState& app = App();
    CNntpSession& session = *cycle.session;
    FetchState& fetch = *cycle.fetch;

    if (IsBroken(result)) {
        // What arrived of the article is no article: the next cycle fetches
        // it again under the same number. Nothing indexed uses that number.
        plat::DeleteFile(plat::FormatPath("%s\\%08ld.nws", session.articleDir,
                                          static_cast<long>(session.fileNumber)));
        return ConnectionLost(cycle, value);
    }
    if (result == ResultRefusedLocally) {
        // Our side cannot store it; the article stays due.
        LogReplyText(value);
        const char* why = reinterpret_cast<const char*>(value);
        cycle.NoteUndone(why != nullptr ? why : "An article could not be stored");
        return EndGroup(cycle);
    }
    // Only 423 and 430 say the article is gone; any other refusal says
    // nothing about it.
    const int code = result == ResultSuccess ? 0 : ReplyCode(value);
    if (result != ResultSuccess && code != 423 && code != 430) return ArticleWithheld(cycle, value);
    if (!StillSubscribed(fetch)) {
        if (saved != nullptr) {
            plat::DeleteFile(saved->path);
            plat::RemoveDirectory(session.articleDir);  // only when the unsubscribe left it empty
        }
        ReleaseArticleSaved(saved);
        LogUnsubscribed(fetch);
        return EndGroup(cycle);
    }

    // The cursor goes no further than one past the group's last article:
    // with that one done, so is the group.
    const bool more = cycle.articleCursor < fetch.last;
    if (saved != nullptr) {
        const spool::ArticleHeaders headers =
            spool::ReadArticleHeaders(saved->path, cycle.articleCursor);
        const bool indexed = spool::AppendArticleIndex(
            app.settings.qivNewsDir, headers, cycle.currentGroup, app.settings.lastFileNumIn);
        ReleaseArticleSaved(saved);
        if (!indexed) {
            // Moving on would leave the board an article it cannot find;
            // the next cycle tries this one again.
            LogLineF("Can't write the index of %s", fetch.section.c_str());
            cycle.NoteUndone("Can't write the index of " + fetch.section);
            return EndGroup(cycle);
        }
        // NEXT goes out first, so that the server answers while the
        // counters are written; its answer is handled only after they are.
        fetch.refused = false;
        if (more) session.NextArticle(cycle.window, MAIN_MSG_NEXT_DONE);
        StoreLastFileNumIn(fetch, NextFileNumber(fetch, app.settings.lastFileNumIn));
        StoreIndex(fetch, cycle.articleCursor + 1);
        StatusArticleFetched();
    } else {
        // Refused: the article is gone from the server; skip it for good.
        fetch.refused = true;
        if (more) session.NextArticle(cycle.window, MAIN_MSG_NEXT_DONE);
        ++cycle.articleCursor;
        StoreIndex(fetch, cycle.articleCursor);
    }
    if (!more) EndGroup(cycle);
}

void OnNextDone(NewsCycle& cycle, plat::WParam result, plat::LParam number) {
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, number);
    if (result != ResultSuccess) return EndGroup(cycle);
    FetchState& fetch = *cycle.fetch;
    if (!StillSubscribed(fetch)) {
        LogUnsubscribed(fetch);
        return EndGroup(cycle);
    }
    AppSettings& s = App().settings;
    const std::int64_t next = static_cast<std::int64_t>(number);
    if (next < 0) {
        LogLineF("%s ended: NEXT after article %lld gave no article number", fetch.section.c_str(),
                 static_cast<long long>(cycle.articleCursor - (fetch.refused ? 1 : 0)));
        return EndGroup(cycle);
    }
    // After a saved article NEXT must move on, or the same article would be
    // fetched again and again. A refused ARTICLE leaves the server's current
    // article behind the cursor, so NEXT may name one already done: not
    // progress, but the cursor is tried all the same.
    if (!fetch.refused && next <= cycle.articleCursor) {
        LogLineF("%s ended: NEXT after article %lld gave article %lld", fetch.section.c_str(),
                 static_cast<long long>(cycle.articleCursor), static_cast<long long>(next));
        return EndGroup(cycle);
    }
    // No article lies between the server's current one and the one NEXT
    // names; those that arrived after GROUP are left for the next cycle.
    if (next > fetch.last) {
        StoreIndex(fetch, fetch.last + 1);
        return EndGroup(cycle);
    }
    if (next > cycle.articleCursor) cycle.articleCursor = next;
    // After a refused article the file still holds the number it was given;
    // store the one this article gets, so that a break in its transfer is
    // repeated under the same file name. After a saved one it is stored.
    if (fetch.storedFileNum == s.lastFileNumIn)
        StoreLastFileNumIn(fetch, NextFileNumber(fetch, s.lastFileNumIn));
    s.lastFileNumIn = fetch.storedFileNum;
    cycle.session->fileNumber = s.lastFileNumIn;
    cycle.session->FetchArticle(cycle.window, MAIN_MSG_ARTICLE_DONE, cycle.articleCursor);
}

void OnGroupFinished(NewsCycle& cycle, plat::WParam, plat::LParam) {
    if (NextGroup(cycle)) BeginGroupFetch(cycle);
}

}  // namespace app
