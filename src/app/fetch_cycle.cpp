// Fetching every subscribed group, article by article.
//
// Per group: GROUP, then with PipelineDepth 1 ARTICLE and NEXT alternately
// until NEXT fails or the cursor passes the last article GROUP reported;
// otherwise the pipelined exchange of fetch_pipeline.cpp. The counters are
// written after every article, so a cycle cut off anywhere resumes at the
// article it was working on.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/fetch_state.h"
#include "app/log.h"
#include "app/settings.h"
#include "app/status.h"
#include "nntp/nntp_session.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "spool/article_index.h"
#include "spool/spool_paths.h"

namespace app {

namespace {

constexpr char kNotSubscribed[] = "NotSubscribed";
constexpr std::size_t kNameBufferSize = 256;
using spool::kMaxFileNumber;

std::string FormatLong(long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

// qivnews.ini as it was when its section was last seen (or written) by
// us, so that an unchanged file need not be read again.
struct FileIdentity {
    bool known = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
};

FileIdentity& GroupsFileSeen() {
    static FileIdentity identity;
    return identity;
}

bool StatGroupsFile(struct stat& st) {
    return stat(plat::ProfilePath(kGroupProfileFile).c_str(), &st) == 0;
}

bool SameFile(const FileIdentity& seen, const struct stat& st) {
    return seen.known && seen.device == st.st_dev && seen.inode == st.st_ino &&
           seen.size == st.st_size && seen.modified.tv_sec == st.st_mtim.tv_sec &&
           seen.modified.tv_nsec == st.st_mtim.tv_nsec;
}

void RememberGroupsFile(const struct stat& st) {
    FileIdentity& seen = GroupsFileSeen();
    seen.known = true;
    seen.device = st.st_dev;
    seen.inode = st.st_ino;
    seen.size = st.st_size;
    seen.modified = st.st_mtim;
}

}  // namespace

FetchState& Fetch() {
    static FetchState state;
    return state;
}

void StoreLastFileNumIn(std::int32_t value) {
    WriteSetting("LastFileNumIn", FormatLong(value));
    Fetch().storedFileNum = value;
}

void StoreIndex(std::int64_t value) {
    // The section was there just before (StillSubscribed), so the file as
    // written still holds it.
    GroupsFileSeen().known = false;
    if (!plat::WriteProfileString(Fetch().section, "Index", FormatLong(value), kGroupProfileFile))
        return;
    struct stat st;
    if (StatGroupsFile(st)) RememberGroupsFile(st);
}

// False once the group has been unsubscribed (the Select Group dialog runs
// the message loop, so that can happen in the middle of its fetch). Its
// section must then not be written again: that would bring it back.
bool StillSubscribed() {
    struct stat st;
    const bool statted = StatGroupsFile(st);
    if (statted && SameFile(GroupsFileSeen(), st)) return true;
    GroupsFileSeen().known = false;
    const std::string name = plat::GetProfileString(Fetch().section, "Name", kNotSubscribed,
                                                    kNameBufferSize, kGroupProfileFile);
    if (spool::EqualNoCase(name, kNotSubscribed)) return false;
    // Taken before the read: a change in between only costs another read.
    if (statted) RememberGroupsFile(st);
    return true;
}

void LogUnsubscribed() {
    LogLineF("%s was unsubscribed during its fetch", Fetch().name.c_str());
}

std::string ArticleFile(std::int32_t fileNumber) {
    return spool::ArticlePath(Fetch().articleDir, fileNumber);
}

// The file number after n for the group being fetched.
std::int32_t NextFileNumber(std::int32_t n) {
    bool wrapped = false;
    n = spool::NextFreeFileNumber(Fetch().articleDir, n, wrapped);
    if (wrapped)
        LogLineF("LastFileNumIn passed %ld; wrapped to %ld in %s", static_cast<long>(kMaxFileNumber),
                 static_cast<long>(n), Fetch().section.c_str());
    return n;
}

namespace {

// Prepares and starts the group currentGroup. False when the group is
// skipped: not subscribed, or it cannot be fetched in this cycle.
bool StartGroup(plat::WindowHandle window, MainWindowData& data) {
    AppState& app = App();
    AppSettings& s = app.settings;
    CNntpSession& session = *data.session;
    FetchState& fetch = Fetch();

    fetch.section = spool::GroupSection(app.currentGroup);
    GroupsFileSeen().known = false;
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

    const std::string dir = spool::GroupDirectory(s.qivNewsDir, app.currentGroup);
    if (dir.size() >= CNntpSession::kPathSize) {
        LogLineF("%s skipped: the path of its articles is too long", fetch.section.c_str());
        return false;
    }
    fetch.articleDir = dir;
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
        s.lastFileNumIn = NextFileNumber(s.lastFileNumIn);
        StoreLastFileNumIn(s.lastFileNumIn);
    }

    // A counter that lags behind the index (restored from a backup, edited
    // by hand) would overwrite articles the board already lists.
    const spool::IndexScan scan = spool::ScanIndex(s.qivNewsDir, app.currentGroup);
    const std::int64_t lastArticle = scan.lastArticle;
    if (spool::CounterBehindIndex(scan, s.lastFileNumIn)) {
        const std::int32_t moved = scan.named ? NextFileNumber(scan.highestFile) : 0;
        LogLineF("LastFileNumIn %ld is behind the index of %s; moved to %ld",
                 static_cast<long>(s.lastFileNumIn), fetch.section.c_str(),
                 static_cast<long>(moved));
        s.lastFileNumIn = moved;
        StoreLastFileNumIn(moved);
    }

    // A missing or empty Index means the group's first article; one that
    // does not parse is not guessed at.
    const std::string index = plat::GetProfileString(fetch.section, "Index", kMissing,
                                                     kCounterBufferSize, kGroupProfileFile);
    std::int64_t cursor = 0;
    if (!IsMissing(index) && !index.empty() && !spool::ParseArticleNumber(index, cursor)) {
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
        StoreIndex(cursor);
    }

    session.groupName = name;
    session.articleDir = dir;
    app.articleCursor = cursor;
    fetch.name = name;

    LogLineF("Getting messages from %s", name.c_str());
    app.appIdle = 0;
    StatusSetGroup(name);
    session.SelectGroup(window, MAIN_MSG_GROUP_DONE);
    return true;
}

// Moves to the next group number. False when the cycle is complete: the
// posting pass has then been started.
bool NextGroup(plat::WindowHandle window) {
    AppState& app = App();
    // Straight to the next group that has a section: a counter inflated far
    // past the groups in use costs nothing.
    app.currentGroup = spool::NextGroupSection(app.currentGroup);
    if (app.currentGroup < app.settings.lastGroupNum) return true;
    app.currentGroup = 1;
    app.appIdle = 1;
    LogLine("Finished getting messages");
    StatusSetGroup(std::string());
    plat::SendMessage(window, plat::msg::Command, IDM_POST_ALL, 0);
    return false;
}

// Where a group without Index starts: its first article, or with
// InitialFetch its newest that many (GROUP's first still the floor).
std::int64_t NewGroupStart(const CNntpSession& session) {
    const std::int32_t cap = App().settings.initialFetch;
    if (cap <= 0 || session.lastArticle - session.firstArticle < cap) return session.firstArticle;
    LogLineF("%s is new: starting at its newest %ld articles", Fetch().name.c_str(),
             static_cast<long>(cap));
    return session.lastArticle - cap + 1;
}

}  // namespace

void EndGroup(plat::WindowHandle window) {
    plat::SendMessage(window, MAIN_MSG_GROUP_FINISHED, 0, 0);
}

// The handlers act only on completions of a live connection.
MainWindowData* Live(plat::WindowHandle window) {
    MainWindowData* data = GetMainWindowData(window);
    return data != nullptr && data->connected == 1 ? data : nullptr;
}

void BeginGroupFetch(plat::WindowHandle window) {
    MainWindowData* data = GetMainWindowData(window);
    // Runs of unsubscribed group numbers are walked here rather than by one
    // nested call per number.
    for (;;) {
        if (data == nullptr || data->connected == 0) {
            LogLine("Server not connected");
            LastCycle().running = false;
            return;
        }
        if (StartGroup(window, *data)) return;
        if (!NextGroup(window)) return;
    }
}

void OnGroupDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam reply) {
    MainWindowData* data = Live(window);
    if (data == nullptr) return;
    if (IsBroken(result)) return ConnectionLost(window, reply);
    if (result != ResultSuccess) {
        LogReplyText(reply);
        return EndGroup(window);
    }
    if (!StillSubscribed()) {
        LogUnsubscribed();
        return EndGroup(window);
    }
    AppState& app = App();
    CNntpSession& session = *data->session;
    if (session.firstArticle < 0 || session.lastArticle < 0) {
        // Another group's numbers would do worse than nothing.
        LogLineF("%s skipped: no article numbers in the reply \"%s\"", Fetch().section.c_str(),
                 reply != 0 ? reinterpret_cast<const char*>(reply) : "");
        return EndGroup(window);
    }
    // One past the last must still be a number.
    Fetch().last = std::min<std::int64_t>(session.lastArticle, INT64_MAX - 1);
    Fetch().refused = false;
    if (app.articleCursor == 0) app.articleCursor = NewGroupStart(session);
    if (app.articleCursor < session.firstArticle) app.articleCursor = session.firstArticle;
    if (app.articleCursor > session.lastArticle) return EndGroup(window);
    if (app.settings.pipelineDepth > 1) return StartPipelinedFetch(window, *data);
    session.fileNumber = app.settings.lastFileNumIn;
    session.FetchArticle(window, MAIN_MSG_ARTICLE_DONE, app.articleCursor);
}

int ReplyCode(const char* text) {
    if (text == nullptr) return 0;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        code = code * 10 + (text[i] - '0');
    }
    return code;
}

// The counters stay where they are.
void StopCycle(plat::WindowHandle window) {
    App().currentGroup = 1;
    StatusSetGroup(std::string());
    BeginDisconnect(window);
}

int NoteWithheld(const char* reply) {
    const std::string line = Fetch().section + " stopped at article " +
                             std::to_string(App().articleCursor) + ": " +
                             (reply != nullptr ? reply : kNoReplyText);
    LogLine(line.c_str());
    // The article is still due: the run did not do all it was there for.
    NoteUndone(line);
    const int code = ReplyCode(reply);
    if (code == 480) LogLine("Server wants a login before it sends articles");
    return code;
}

namespace {

// An ARTICLE refusal that does not say the article is gone: the article
// stays due (Index still names it) and the group, or the whole cycle when
// the server will not serve any article, stops here.
void ArticleWithheld(plat::WindowHandle window, plat::LParam reply) {
    const int code = NoteWithheld(reinterpret_cast<const char*>(reply));
    if (code == 400 || code == 480) return StopCycle(window);
    EndGroup(window);
}

}  // namespace

void OnArticleDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam value) {
    ArticleSaved* saved =
        result == ResultSuccess ? reinterpret_cast<ArticleSaved*>(value) : nullptr;
    MainWindowData* data = Live(window);
    if (data == nullptr) return ReleaseArticleSaved(saved);
    AppState& app = App();
    CNntpSession& session = *data->session;

    if (IsBroken(result)) {
        // What arrived of the article is no article: the next cycle fetches
        // it again under the same number. Nothing indexed uses that number.
        plat::DeleteFile(spool::ArticlePath(session.articleDir, session.fileNumber));
        return ConnectionLost(window, value);
    }
    if (result == ResultRefusedLocally) {
        // Our side cannot store it; the article stays due.
        LogReplyText(value);
        const char* why = reinterpret_cast<const char*>(value);
        NoteUndone(why != nullptr ? why : "An article could not be stored");
        return EndGroup(window);
    }
    // Only 423 and 430 say the article is gone; any other refusal says
    // nothing about it.
    const int code =
        result == ResultSuccess ? 0 : ReplyCode(reinterpret_cast<const char*>(value));
    if (result != ResultSuccess && code != 423 && code != 430) return ArticleWithheld(window, value);
    if (!StillSubscribed()) {
        if (saved != nullptr) {
            plat::DeleteFile(saved->path);
            plat::RemoveDirectory(session.articleDir);  // only when the unsubscribe left it empty
        }
        ReleaseArticleSaved(saved);
        LogUnsubscribed();
        return EndGroup(window);
    }

    // The cursor goes no further than one past the group's last article:
    // with that one done, so is the group.
    const bool more = app.articleCursor < Fetch().last;
    if (saved != nullptr) {
        const spool::ArticleHeaders headers =
            spool::ReadArticleHeaders(saved->path, app.articleCursor);
        const bool indexed = spool::AppendArticleIndex(
            app.settings.qivNewsDir, headers, app.currentGroup, app.settings.lastFileNumIn);
        ReleaseArticleSaved(saved);
        if (!indexed) {
            // Moving on would leave the board an article it cannot find;
            // the next cycle tries this one again.
            LogLineF("Can't write the index of %s", Fetch().section.c_str());
            NoteUndone("Can't write the index of " + Fetch().section);
            return EndGroup(window);
        }
        // NEXT goes out first, so that the server answers while the
        // counters are written; its answer is handled only after they are.
        Fetch().refused = false;
        if (more) session.NextArticle(window, MAIN_MSG_NEXT_DONE);
        StoreLastFileNumIn(NextFileNumber(app.settings.lastFileNumIn));
        StoreIndex(app.articleCursor + 1);
        StatusArticleFetched();
    } else {
        // Refused: the article is gone from the server; skip it for good.
        Fetch().refused = true;
        if (more) session.NextArticle(window, MAIN_MSG_NEXT_DONE);
        ++app.articleCursor;
        StoreIndex(app.articleCursor);
    }
    if (!more) EndGroup(window);
}

void OnNextDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam number) {
    MainWindowData* data = Live(window);
    if (data == nullptr) return;
    if (IsBroken(result)) return ConnectionLost(window, number);
    if (result != ResultSuccess) return EndGroup(window);
    if (!StillSubscribed()) {
        LogUnsubscribed();
        return EndGroup(window);
    }
    AppState& app = App();
    FetchState& fetch = Fetch();
    const std::int64_t next = static_cast<std::int64_t>(number);
    if (next < 0) {
        LogLineF("%s ended: NEXT after article %lld gave no article number", fetch.section.c_str(),
                 static_cast<long long>(app.articleCursor - (fetch.refused ? 1 : 0)));
        return EndGroup(window);
    }
    // After a saved article NEXT must move on, or the same article would be
    // fetched again and again. A refused ARTICLE leaves the server's current
    // article behind the cursor, so NEXT may name one already done: not
    // progress, but the cursor is tried all the same.
    if (!fetch.refused && next <= app.articleCursor) {
        LogLineF("%s ended: NEXT after article %lld gave article %lld", fetch.section.c_str(),
                 static_cast<long long>(app.articleCursor), static_cast<long long>(next));
        return EndGroup(window);
    }
    // No article lies between the server's current one and the one NEXT
    // names; those that arrived after GROUP are left for the next cycle.
    if (next > fetch.last) {
        StoreIndex(fetch.last + 1);
        return EndGroup(window);
    }
    if (next > app.articleCursor) app.articleCursor = next;
    // After a refused article the file still holds the number it was given;
    // store the one this article gets, so that a break in its transfer is
    // repeated under the same file name. After a saved one it is stored.
    if (fetch.storedFileNum == app.settings.lastFileNumIn)
        StoreLastFileNumIn(NextFileNumber(app.settings.lastFileNumIn));
    app.settings.lastFileNumIn = fetch.storedFileNum;
    data->session->fileNumber = app.settings.lastFileNumIn;
    data->session->FetchArticle(window, MAIN_MSG_ARTICLE_DONE, app.articleCursor);
}

void OnGroupFinished(plat::WindowHandle window, unsigned, plat::WParam, plat::LParam) {
    if (NextGroup(window)) BeginGroupFetch(window);
}

}  // namespace app
