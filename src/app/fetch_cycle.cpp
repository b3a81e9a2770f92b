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
#include <memory>
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
#include "spool/article_filter.h"
#include "spool/article_index.h"
#include "spool/group_files.h"
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

bool StatGroupsFile(struct stat& st) {
    return stat(plat::ProfilePath(kGroupProfileFile).c_str(), &st) == 0;
}

bool SameFile(const FileIdentity& seen, const struct stat& st) {
    return seen.known && seen.device == st.st_dev && seen.inode == st.st_ino &&
           seen.size == st.st_size && seen.modified.tv_sec == st.st_mtim.tv_sec &&
           seen.modified.tv_nsec == st.st_mtim.tv_nsec;
}

void RememberGroupsFile(NewsCycle& cycle, const struct stat& st) {
    FileIdentity& seen = cycle.fetch->groupsFileSeen;
    seen.known = true;
    seen.device = st.st_dev;
    seen.inode = st.st_ino;
    seen.size = st.st_size;
    seen.modified = st.st_mtim;
}

}  // namespace

void CyclePartDeleter::operator()(FetchState* state) const {
    delete state;
}

std::unique_ptr<FetchState, CyclePartDeleter> NewFetchState() {
    return std::unique_ptr<FetchState, CyclePartDeleter>(new FetchState);
}

void StoreLastFileNumIn(NewsCycle& cycle, std::int32_t value) {
    WriteSetting("LastFileNumIn", FormatLong(value));
    cycle.fetch->storedFileNum = value;
}

void StoreIndex(NewsCycle& cycle, std::int64_t value) {
    // The section was there just before (StillSubscribed), so the file as
    // written still holds it.
    cycle.fetch->groupsFileSeen.known = false;
    if (!plat::WriteProfileString(cycle.fetch->section, "Index", FormatLong(value),
                                  kGroupProfileFile))
        return;
    struct stat st;
    if (StatGroupsFile(st)) RememberGroupsFile(cycle, st);
}

// False once the group has been unsubscribed (the Select Group dialog runs
// the message loop, so that can happen in the middle of its fetch). Its
// section must then not be written again: that would bring it back.
bool StillSubscribed(NewsCycle& cycle) {
    struct stat st;
    const bool statted = StatGroupsFile(st);
    if (statted && SameFile(cycle.fetch->groupsFileSeen, st)) return true;
    cycle.fetch->groupsFileSeen.known = false;
    const std::string name = plat::GetProfileString(cycle.fetch->section, "Name", kNotSubscribed,
                                                    kNameBufferSize, kGroupProfileFile);
    if (spool::EqualNoCase(name, kNotSubscribed)) return false;
    // Taken before the read: a change in between only costs another read.
    if (statted) RememberGroupsFile(cycle, st);
    return true;
}

void LogUnsubscribed(NewsCycle& cycle) {
    LogLineF("%s was unsubscribed during its fetch", cycle.fetch->name.c_str());
    RemoveLeftGroup(cycle);
}

// Unsubscribing a group while it is fetched leaves its directory to the
// fetch: the article being received is still written there.
void RemoveLeftGroup(NewsCycle& cycle) {
    const std::string stayed =
        spool::RemoveGroupDirectory(App().settings.qivNewsDir, cycle.currentGroup);
    if (!stayed.empty()) LogLine(stayed.c_str());
}

std::string ArticleFile(NewsCycle& cycle, std::int32_t fileNumber) {
    return spool::ArticlePath(cycle.fetch->articleDir, fileNumber);
}

// The file number after n for the group being fetched.
std::int32_t NextFileNumber(NewsCycle& cycle, std::int32_t n) {
    bool wrapped = false;
    n = spool::NextFreeFileNumber(cycle.fetch->articleDir, n, wrapped);
    if (wrapped)
        LogLineF("LastFileNumIn passed %ld; wrapped to %ld in %s",
                 static_cast<long>(kMaxFileNumber), static_cast<long>(n),
                 cycle.fetch->section.c_str());
    return n;
}

namespace {

// A subscribed group this cycle cannot fetch: the run did not do all it
// was there for. Always false.
bool Skip(NewsCycle& cycle, const std::string& why) {
    const std::string line = cycle.fetch->section + " skipped: " + why;
    LogLine(line.c_str());
    cycle.NoteUndone(line);
    return false;
}

// Prepares and starts the group currentGroup. False when the group is
// skipped: not subscribed, or it cannot be fetched in this cycle.
bool StartGroup(NewsCycle& cycle) {
    AppState& app = App();
    AppSettings& s = app.settings;
    nntp::CNntpSession& session = *cycle.session;
    FetchState& fetch = *cycle.fetch;

    fetch.section = spool::GroupSection(cycle.currentGroup);
    cycle.fetch->groupsFileSeen.known = false;
    // One character more than a name may have: a longer one, cut to fit,
    // would name another group.
    const std::string name = plat::GetProfileString(fetch.section, "Name", kNotSubscribed,
                                                    kNameBufferSize + 1, kGroupProfileFile);
    if (spool::EqualNoCase(name, kNotSubscribed)) return false;
    if (name.size() > static_cast<std::size_t>(nntp::CNntpSession::kMaxGroupName))
        return Skip(cycle, "its group name is longer than " +
                               std::to_string(nntp::CNntpSession::kMaxGroupName) + " characters");

    // The file, not memory, holds the counter between groups.
    const std::string stored = ReadSetting("LastFileNumIn", kCounterBufferSize);
    if (IsMissing(stored)) {
        s.lastFileNumIn = 0;
        WriteSetting("LastFileNumIn", "0");
    } else {
        ParseLong(stored, s.lastFileNumIn);
    }
    fetch.storedFileNum = s.lastFileNumIn;

    const std::string dir = spool::GroupDirectory(s.qivNewsDir, cycle.currentGroup);
    if (dir.size() >= nntp::CNntpSession::kPathSize)
        return Skip(cycle, "the path of its articles is too long");
    fetch.articleDir = dir;
    // Without its directory no article of the group can be stored, and a
    // failed create of the article file breaks the connection for every
    // group after it.
    if (!plat::IsRealDirectory(dir)) {
        if (plat::LastWasRefused() || !plat::CreateDirectory(dir))
            return Skip(cycle, "its directory " + dir + " cannot be made");
        LogLineF("Made the missing directory %s", dir.c_str());
    }

    // What a killed run left here is no article: no record names it, and
    // the file numbers it took may be another group's by now.
    const spool::GroupSweep sweep = spool::RemoveUnindexedFiles(s.qivNewsDir, cycle.currentGroup);
    if (sweep.removed > 0)
        LogLineF("Removed %d file%s of %s that no index record names", sweep.removed,
                 sweep.removed == 1 ? "" : "s", fetch.section.c_str());
    if (sweep.failed > 0)
        LogLineF("Could not remove %d file%s of %s that no index record names", sweep.failed,
                 sweep.failed == 1 ? "" : "s", fetch.section.c_str());

    // A counter too large for a file name starts again from the bottom.
    if (s.lastFileNumIn > kMaxFileNumber) {
        s.lastFileNumIn = NextFileNumber(cycle, s.lastFileNumIn);
        StoreLastFileNumIn(cycle, s.lastFileNumIn);
    }

    // A counter that lags behind the index (restored from a backup, edited
    // by hand) would overwrite articles the board already lists.
    const spool::IndexScan scan = spool::ScanIndex(s.qivNewsDir, cycle.currentGroup);
    const std::int64_t lastArticle = scan.lastArticle;
    if (spool::CounterBehindIndex(scan, s.lastFileNumIn)) {
        const std::int32_t moved = scan.named ? NextFileNumber(cycle, scan.highestFile) : 0;
        LogLineF("LastFileNumIn %ld is behind the index of %s; moved to %ld",
                 static_cast<long>(s.lastFileNumIn), fetch.section.c_str(),
                 static_cast<long>(moved));
        s.lastFileNumIn = moved;
        StoreLastFileNumIn(cycle, moved);
    }

    // A missing or empty Index means the group's first article; one that
    // does not parse is not guessed at.
    const std::string index = plat::GetProfileString(fetch.section, "Index", kMissing,
                                                     kCounterBufferSize, kGroupProfileFile);
    std::int64_t cursor = 0;
    if (!IsMissing(index) && !index.empty() && !spool::ParseArticleNumber(index, cursor))
        return Skip(cycle, "its Index \"" + index + "\" is not a number");

    // The counters are written after the article is indexed; a stop in
    // between leaves Index naming an article the index already holds, which
    // must not be fetched and indexed a second time.
    if (lastArticle >= 0 && lastArticle >= cursor && lastArticle < INT64_MAX) {
        LogLineF("Index %lld of %s is behind its index file; moved to %lld",
                 static_cast<long long>(cursor), fetch.section.c_str(),
                 static_cast<long long>(lastArticle + 1));
        cursor = lastArticle + 1;
        StoreIndex(cycle, cursor);
    }

    session.groupName = name;
    session.articleDir = dir;
    cycle.articleCursor = cursor;
    fetch.name = name;
    fetch.groupFilter = fetch.filters.ForGroup(name);
    fetch.filtered.assign(fetch.groupFilter.Rules().size(), 0);

    LogLineF("Getting messages from %s", name.c_str());
    spool::SetGroupInFetch(cycle.currentGroup);
    cycle.appIdle = false;
    StatusSetGroup(name);
    session.SelectGroup(cycle.window, MAIN_MSG_GROUP_DONE);
    return true;
}

// Moves to the next group number. False when the cycle is complete: the
// posting pass has then been started.
bool NextGroup(NewsCycle& cycle) {
    AppState& app = App();
    // Straight to the next group that has a section: a counter inflated far
    // past the groups in use costs nothing.
    cycle.currentGroup = spool::NextGroupSection(cycle.currentGroup);
    if (cycle.currentGroup < app.settings.lastGroupNum) return true;
    cycle.currentGroup = 1;
    cycle.appIdle = true;
    LogLine("Finished getting messages");
    StatusSetGroup(std::string());
    plat::SendMessage(cycle.window, plat::msg::Command, IDM_POST_ALL, 0);
    return false;
}

// Where a group without Index starts: its first article, or with
// InitialFetch its newest that many (GROUP's first still the floor).
std::int64_t NewGroupStart(NewsCycle& cycle, const nntp::CNntpSession& session) {
    const std::int32_t cap = App().settings.initialFetch;
    if (cap <= 0 || session.lastArticle - session.firstArticle < cap) return session.firstArticle;
    LogLineF("%s is new: starting at its newest %ld articles", cycle.fetch->name.c_str(),
             static_cast<long>(cap));
    return session.lastArticle - cap + 1;
}

}  // namespace

bool PassedOver(NewsCycle& cycle, const spool::ArticleHeaders& headers, const std::string& path) {
    FetchState& fetch = *cycle.fetch;
    if (!headers.messageId.empty()) {
        fetch.history.Open(App().settings.qivNewsDir, cycle.currentGroup);
        if (fetch.history.Has(headers.messageId)) {
            plat::DeleteFile(path);
            ++fetch.duplicates;
            return true;
        }
    }
    if (fetch.groupFilter.Empty()) return false;
    spool::ArticleFacts facts;
    // An article that cannot be read back is stored as it is; the index
    // then says so.
    if (!spool::FactsFromFile(path, facts)) return false;
    const spool::FilterRule* rule = fetch.groupFilter.Judge(facts);
    if (rule == nullptr) return false;
    plat::DeleteFile(path);
    ++fetch.filtered[fetch.groupFilter.IndexOf(rule)];
    return true;
}

// Read when the fetch begins, so that an edited file counts from the next
// cycle. A file the sysop named must be there; the default one may not be.
bool LoadFilters(NewsCycle& cycle) {
    std::string path = ReadSetting("FilterFile", kNameBufferSize);
    const bool named = !IsMissing(path) && !path.empty();
    if (!named) path = plat::ProfileDir() + "/filters.txt";
    std::string error;
    cycle.fetch->noOverview = false;
    cycle.fetch->noHead = false;
    if (spool::LoadFilterRules(path, named, cycle.fetch->filters, error)) return true;
    LogLine(error.c_str());
    cycle.NoteUndone(error);
    return false;
}

void RememberStored(NewsCycle& cycle, const spool::ArticleHeaders& headers) {
    FetchState& fetch = *cycle.fetch;
    fetch.history.Open(App().settings.qivNewsDir, cycle.currentGroup);
    fetch.history.Add(headers.messageId, plat::Now());
}

void ReportSkippedDuplicates(NewsCycle& cycle) {
    if (!cycle.fetch) return;
    FetchState& fetch = *cycle.fetch;
    if (fetch.duplicates > 0)
        LogLineF("%s: %d article%s stored before under other numbers passed over",
                 fetch.section.c_str(), fetch.duplicates, fetch.duplicates == 1 ? "" : "s");
    fetch.duplicates = 0;
    fetch.history.Close();
    int total = 0;
    std::string byRule;
    for (std::size_t i = 0; i < fetch.filtered.size(); ++i) {
        if (fetch.filtered[i] == 0) continue;
        total += fetch.filtered[i];
        byRule += (byRule.empty() ? "" : ", ") + fetch.groupFilter.Rules()[i].Describe() + " " +
                  std::to_string(fetch.filtered[i]);
    }
    if (total > 0) {
        const std::string line = fetch.section + ": " + std::to_string(total) + " article" +
                                 (total == 1 ? "" : "s") + " filtered: " + byRule;
        LogLine(line.c_str());
    }
    fetch.filtered.assign(fetch.filtered.size(), 0);
}

void EndGroup(NewsCycle& cycle) {
    ReportSkippedDuplicates(cycle);
    spool::SetGroupInFetch(0);
    plat::SendMessage(cycle.window, MAIN_MSG_GROUP_FINISHED, 0, 0);
}

// The handlers act only on completions of a live connection.
bool Live(const NewsCycle& cycle) {
    return cycle.connected;
}

void BeginGroupFetch(NewsCycle& cycle) {
    // A rule file that cannot be used stops the fetch: storing everything
    // instead would be the sysop's surprise.
    if (cycle.currentGroup == 1 && cycle.connected && !LoadFilters(cycle)) return StopCycle(cycle);
    // Runs of unsubscribed group numbers are walked here rather than by one
    // nested call per number.
    for (;;) {
        if (!cycle.connected) {
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
    if (result != nntp::ResultSuccess) {
        LogReplyText(reply);
        if (AsksForEncryption(reply))
            cycle.NoteUndone(cycle.fetch->section + ": " + reinterpret_cast<const char*>(reply));
        return EndGroup(cycle);
    }
    if (!StillSubscribed(cycle)) {
        LogUnsubscribed(cycle);
        return EndGroup(cycle);
    }
    AppState& app = App();
    nntp::CNntpSession& session = *cycle.session;
    if (session.firstArticle < 0 || session.lastArticle < 0) {
        // Another group's numbers would do worse than nothing.
        Skip(cycle, std::string("no article numbers in the reply \"") +
                        (reply != 0 ? reinterpret_cast<const char*>(reply) : "") + "\"");
        return EndGroup(cycle);
    }
    // One past the last must still be a number.
    cycle.fetch->last = std::min<std::int64_t>(session.lastArticle, INT64_MAX - 1);
    cycle.fetch->refused = false;
    cycle.fetch->released = false;
    if (cycle.articleCursor == 0) cycle.articleCursor = NewGroupStart(cycle, session);
    // Far past the server's last article: another server, or the group was
    // renumbered. Started again as a new group; the history keeps out what
    // is stored already. An empty group says nothing of its numbers.
    if (cycle.articleCursor > cycle.fetch->last + 1 && session.articleCount > 0 &&
        session.lastArticle >= session.firstArticle) {
        const std::int32_t cap = App().settings.initialFetch;
        const std::int64_t restart =
            cap <= 0 ? session.firstArticle
                     : std::max(session.firstArticle, session.lastArticle - cap + 1);
        LogLineF("Index %lld of %s is past the server's last article %lld: starting again at %lld",
                 static_cast<long long>(cycle.articleCursor), cycle.fetch->name.c_str(),
                 static_cast<long long>(session.lastArticle), static_cast<long long>(restart));
        cycle.articleCursor = restart;
    }
    if (cycle.articleCursor < session.firstArticle) cycle.articleCursor = session.firstArticle;
    if (cycle.articleCursor > session.lastArticle) return EndGroup(cycle);
    if (app.settings.pipelineDepth > 1) return StartPipelinedFetch(cycle);
    StartLockStepFetch(cycle);
}

void StartLockStepFetch(NewsCycle& cycle) {
    cycle.session->fileNumber = App().settings.lastFileNumIn;
    cycle.session->FetchArticle(cycle.window, MAIN_MSG_ARTICLE_DONE, cycle.articleCursor);
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
void StopCycle(NewsCycle& cycle) {
    ReportSkippedDuplicates(cycle);
    spool::SetGroupInFetch(0);
    cycle.currentGroup = 1;
    StatusSetGroup(std::string());
    BeginDisconnect(cycle);
}

int NoteWithheld(NewsCycle& cycle, const char* reply) {
    return NoteWithheldAt(cycle, reply, cycle.articleCursor);
}

int NoteWithheldAt(NewsCycle& cycle, const char* reply, std::int64_t due) {
    const std::string line = cycle.fetch->section + " stopped at article " +
                             std::to_string(due) + ": " +
                             (reply != nullptr ? reply : kNoReplyText);
    LogLine(line.c_str());
    // The article is still due: the run did not do all it was there for.
    cycle.NoteUndone(line);
    const int code = ReplyCode(reply);
    if (code == 480) LogLine("Server wants a login before it sends articles");
    return code;
}

namespace {

// An ARTICLE refusal that does not say the article is gone: the article
// stays due (Index still names it) and the group, or the whole cycle when
// the server will not serve any article, stops here.
void ArticleWithheld(NewsCycle& cycle, plat::LParam reply) {
    const int code = NoteWithheld(cycle, reinterpret_cast<const char*>(reply));
    if (code == 400 || code == 480) return StopCycle(cycle);
    EndGroup(cycle);
}

// The same for NEXT: after a stored article the cursor is still on it,
// after a refused one already past it.
void NextWithheld(NewsCycle& cycle, plat::LParam reply) {
    const std::int64_t due = cycle.articleCursor + (cycle.fetch->refused ? 0 : 1);
    const int code = NoteWithheldAt(cycle, reinterpret_cast<const char*>(reply), due);
    if (code == 400 || code == 480) return StopCycle(cycle);
    EndGroup(cycle);
}

}  // namespace

void OnArticleDone(NewsCycle& cycle, plat::WParam result, plat::LParam value) {
    nntp::ArticleSaved* saved =
        result == nntp::ResultSuccess ? reinterpret_cast<nntp::ArticleSaved*>(value) : nullptr;
    if (!Live(cycle)) return nntp::ReleaseArticleSaved(saved);
    AppState& app = App();
    nntp::CNntpSession& session = *cycle.session;

    if (IsBroken(result)) {
        // What arrived of the article is no article: the next cycle fetches
        // it again under the same number. Nothing indexed uses that number.
        plat::DeleteFile(spool::ArticlePath(session.articleDir, session.fileNumber));
        return ConnectionLost(cycle, value);
    }
    if (result == nntp::ResultRefusedLocally) {
        // Our side cannot store it; the article stays due.
        LogReplyText(value);
        const char* why = reinterpret_cast<const char*>(value);
        cycle.NoteUndone(why != nullptr ? why : "An article could not be stored");
        return EndGroup(cycle);
    }
    // Only 423 and 430 say the article is gone; any other refusal says
    // nothing about it.
    const int code =
        result == nntp::ResultSuccess ? 0 : ReplyCode(reinterpret_cast<const char*>(value));
    if (result != nntp::ResultSuccess && code != 423 && code != 430)
        return ArticleWithheld(cycle, value);
    if (!StillSubscribed(cycle)) {
        if (saved != nullptr) plat::DeleteFile(saved->path);
        nntp::ReleaseArticleSaved(saved);
        LogUnsubscribed(cycle);
        return EndGroup(cycle);
    }

    // The cursor goes no further than one past the group's last article:
    // with that one done, so is the group.
    const bool more = cycle.articleCursor < cycle.fetch->last;
    spool::ArticleHeaders headers;
    if (saved != nullptr) {
        headers = spool::ReadArticleHeaders(saved->path, cycle.articleCursor);
        if (PassedOver(cycle, headers, saved->path)) {
            // Not stored: its file number goes to the next article, and the
            // server's current article has moved on to it.
            nntp::ReleaseArticleSaved(saved);
            cycle.fetch->refused = false;
            cycle.fetch->released = true;
            if (more) session.NextArticle(cycle.window, MAIN_MSG_NEXT_DONE);
            StoreIndex(cycle, cycle.articleCursor + 1);
            if (!more) EndGroup(cycle);
            return;
        }
    }
    if (saved != nullptr) {
        const bool indexed = spool::AppendArticleIndex(
            app.settings.qivNewsDir, headers, cycle.currentGroup, app.settings.lastFileNumIn);
        nntp::ReleaseArticleSaved(saved);
        if (!indexed) {
            // Moving on would leave the board an article it cannot find;
            // the next cycle tries this one again.
            LogLineF("Can't write the index of %s", cycle.fetch->section.c_str());
            cycle.NoteUndone("Can't write the index of " + cycle.fetch->section);
            return EndGroup(cycle);
        }
        RememberStored(cycle, headers);
        // NEXT goes out first, so that the server answers while the
        // counters are written; its answer is handled only after they are.
        cycle.fetch->refused = false;
        if (more) session.NextArticle(cycle.window, MAIN_MSG_NEXT_DONE);
        StoreLastFileNumIn(cycle, NextFileNumber(cycle, app.settings.lastFileNumIn));
        StoreIndex(cycle, cycle.articleCursor + 1);
        StatusArticleFetched();
    } else {
        // Refused: the article is gone from the server; skip it for good.
        cycle.fetch->refused = true;
        if (more) session.NextArticle(cycle.window, MAIN_MSG_NEXT_DONE);
        ++cycle.articleCursor;
        StoreIndex(cycle, cycle.articleCursor);
    }
    if (!more) EndGroup(cycle);
}

void OnNextDone(NewsCycle& cycle, plat::WParam result, plat::LParam number) {
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, number);
    // 421 is the end of the group; any other refusal leaves articles behind.
    if (result != nntp::ResultSuccess && ReplyCode(reinterpret_cast<const char*>(number)) != 421)
        return NextWithheld(cycle, number);
    if (result != nntp::ResultSuccess) return EndGroup(cycle);
    if (!StillSubscribed(cycle)) {
        LogUnsubscribed(cycle);
        return EndGroup(cycle);
    }
    AppState& app = App();
    FetchState& fetch = *cycle.fetch;
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
        StoreIndex(cycle, fetch.last + 1);
        return EndGroup(cycle);
    }
    if (next > cycle.articleCursor) cycle.articleCursor = next;
    // After a refused article the file still holds the number it was given;
    // store the one this article gets, so that a break in its transfer is
    // repeated under the same file name. After a saved one it is stored.
    if (fetch.storedFileNum == app.settings.lastFileNumIn && !fetch.released)
        StoreLastFileNumIn(cycle, NextFileNumber(cycle, app.settings.lastFileNumIn));
    fetch.released = false;
    app.settings.lastFileNumIn = fetch.storedFileNum;
    cycle.session->fileNumber = app.settings.lastFileNumIn;
    cycle.session->FetchArticle(cycle.window, MAIN_MSG_ARTICLE_DONE, cycle.articleCursor);
}

void OnGroupFinished(NewsCycle& cycle, plat::WParam, plat::LParam) {
    if (NextGroup(cycle)) BeginGroupFetch(cycle);
}

}  // namespace app
