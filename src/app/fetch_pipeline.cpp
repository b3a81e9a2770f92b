// The pipelined fetch of one group (PipelineDepth above 1).
//
// After GROUP, LISTGROUP names the articles from the cursor to GROUP's last
// (a server without it: every number of that range is asked for). Up to
// PipelineDepth ARTICLE requests are then kept in flight and their answers
// handled in order, each as the lock-step exchange handles its one: indexed,
// then LastFileNumIn and Index written. So what lands on disk, and where a
// break leaves the counters, is what the lock-step exchange leaves.
//
// An article arrives under "<file number>.part" and takes its own name only
// when its turn to be indexed comes: a run stopped dead leaves no numbered
// file but the one being indexed, as the lock-step exchange does, and the
// numbers after it stay free for the next cycle.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/fetch_state.h"
#include "app/log.h"
#include "app/status.h"
#include "nntp/nntp_session.h"
#include "platform/files.h"
#include "spool/article_index.h"

namespace app {

namespace {

// The next article to ask for; false when none is left, or the next waits
// for the overview (waiting then names it).
bool TakeNext(FetchState& fetch, std::int64_t& article, std::int64_t& waiting) {
    waiting = -1;
    for (; fetch.nextRun < fetch.toRequest.size(); ++fetch.nextRun) {
        const nntp::ArticleRun& run = fetch.toRequest[fetch.nextRun];
        if (fetch.nextArticle < run.first) fetch.nextArticle = run.first;
        while (fetch.nextArticle <= run.last) {
            if (!Judged(fetch, fetch.nextArticle)) {
                waiting = fetch.nextArticle;
                return false;
            }
            article = fetch.nextArticle++;
            if (!Dropped(fetch, article)) return true;
        }
    }
    return false;
}

}  // namespace

bool MoreToRequest(const FetchState& fetch) {
    for (std::size_t r = fetch.nextRun; r < fetch.toRequest.size(); ++r)
        if (fetch.nextArticle <= fetch.toRequest[r].last) return true;
    return false;
}

namespace {

std::string PartFile(NewsCycle& cycle, std::int32_t fileNumber) {
    std::string path = ArticleFile(cycle, fileNumber);
    return path.replace(path.size() - 4, 4, ".part");
}

}  // namespace

// Keeps the group's depth of requests in flight.
void TopUp(NewsCycle& cycle) {
    FetchState& fetch = *cycle.fetch;
    nntp::CNntpSession& session = *cycle.session;
    std::int64_t article = 0;
    std::int64_t waiting = -1;
    while (fetch.requested.size() < static_cast<std::size_t>(fetch.depth) &&
           TakeNext(fetch, article, waiting)) {
        const std::int32_t file = fetch.nextFile;
        const std::int32_t part = fetch.nextPart;
        fetch.nextFile = NextFileNumber(cycle, file);
        fetch.nextPart = part == file ? fetch.nextFile : NextFileNumber(cycle, part);
        fetch.requested.push_back({article, file, part});
        session.RequestArticle(cycle.window, MAIN_MSG_ARTICLE_ANSWER, article,
                               PartFile(cycle, part));
    }
    // The next OVER goes out once the answers before it are in: one wait
    // for every kMaxOverviewRange numbers.
    if (waiting >= 0 && fetch.requested.empty() && !fetch.overviewOut)
        RequestOverview(cycle, waiting);
}

namespace {

// The file number of the request after the one just answered.
std::int32_t FollowingFile(NewsCycle& cycle) {
    const FetchState& fetch = *cycle.fetch;
    return fetch.requested.empty() ? fetch.nextFile : fetch.requested.front().file;
}

}  // namespace

// Every article asked for is done. A list covered the whole range up to
// GROUP's last, so nothing below it is left to try.
void GroupFetched(NewsCycle& cycle) {
    FetchState& fetch = *cycle.fetch;
    if (!fetch.byNumber && cycle.articleCursor <= fetch.last) {
        cycle.articleCursor = fetch.last + 1;
        StoreIndex(cycle, cycle.articleCursor);
    } else if (fetch.overview && cycle.articleCursor <= std::min(fetch.overviewTo, fetch.last)) {
        // What the overview kept out at the end is passed as well.
        cycle.articleCursor = std::min(fetch.overviewTo, fetch.last) + 1;
        StoreIndex(cycle, cycle.articleCursor);
    }
    EndGroup(cycle);
}

namespace {

// The group (or the cycle) ends once the answers still due are read out.
void EndOnceDrained(NewsCycle& cycle) {
    FetchState& fetch = *cycle.fetch;
    if (!fetch.requested.empty()) return;
    const FetchState::Stop stop = fetch.stop;
    fetch.stop = FetchState::Stop::None;
    if (stop == FetchState::Stop::Cycle) return StopCycle(cycle);
    EndGroup(cycle);
}

void StopAfterDrain(NewsCycle& cycle, nntp::CNntpSession& session, FetchState::Stop stop) {
    cycle.fetch->stop = stop;
    session.DropArticles();
    EndOnceDrained(cycle);
}

// A stored article: named and indexed under its file number, then the
// counters. False when it cannot be named or indexed.
bool Store(NewsCycle& cycle, const nntp::ArticleAnswer& answer,
           const FetchState::Requested& request, const spool::ArticleHeaders& headers) {
    AppState& app = App();
    const std::string path = ArticleFile(cycle, request.file);
    if (!plat::RenameReplace(answer.path, path)) {
        LogLineF("Can't store %s", path.c_str());
        cycle.NoteUndone("Can't store " + path);
        return false;
    }
    if (!spool::AppendArticleIndex(app.settings.qivNewsDir, headers, cycle.currentGroup,
                                   request.file)) {
        // Moving on would leave the board an article it cannot find; the
        // next cycle tries this one again.
        LogLineF("Can't write the index of %s", cycle.fetch->section.c_str());
        cycle.NoteUndone("Can't write the index of " + cycle.fetch->section);
        return false;
    }
    RememberStored(cycle, headers);
    app.settings.lastFileNumIn = FollowingFile(cycle);
    StoreLastFileNumIn(cycle, app.settings.lastFileNumIn);
    StoreIndex(cycle, request.article + 1);
    StatusArticleFetched();
    return true;
}

// Arrived but not stored: its file number goes to the request after it,
// and each later one takes its predecessor's, as if it had never been
// asked for.
void Release(NewsCycle& cycle, const FetchState::Requested& request) {
    FetchState& fetch = *cycle.fetch;
    StoreIndex(cycle, request.article + 1);
    std::int32_t free = request.file;
    for (FetchState::Requested& later : fetch.requested) std::swap(later.file, free);
    fetch.nextFile = free;
    App().settings.lastFileNumIn = FollowingFile(cycle);
    if (fetch.storedFileNum != App().settings.lastFileNumIn)
        StoreLastFileNumIn(cycle, App().settings.lastFileNumIn);
}

// Refused as gone: skipped for good. Its file number stays used up when
// another request follows, as after a refused ARTICLE and a NEXT.
void Skip(NewsCycle& cycle, const FetchState::Requested& request) {
    FetchState& fetch = *cycle.fetch;
    StoreIndex(cycle, request.article + 1);
    if (fetch.requested.empty() && !MoreToRequest(fetch)) return;
    App().settings.lastFileNumIn = FollowingFile(cycle);
    if (fetch.storedFileNum != App().settings.lastFileNumIn)
        StoreLastFileNumIn(cycle, App().settings.lastFileNumIn);
}

// More numbers left in the range than GROUP's count of articles could
// fill: most requests by number would be refused.
bool Sparse(const NewsCycle& cycle) {
    const std::int64_t count = cycle.session->articleCount;
    const std::int64_t width = cycle.fetch->last - cycle.articleCursor + 1;
    return count < 0 || width / 2 > count + 64;
}

}  // namespace

void StartPipelinedFetch(NewsCycle& cycle) {
    FetchState& fetch = *cycle.fetch;
    AppState& app = App();
    fetch.depth = app.settings.pipelineDepth;
    fetch.requested.clear();
    fetch.toRequest.clear();
    fetch.nextRun = 0;
    fetch.nextArticle = cycle.articleCursor;
    fetch.nextFile = app.settings.lastFileNumIn;
    fetch.nextPart = fetch.nextFile;
    fetch.byNumber = false;
    fetch.stop = FetchState::Stop::None;
    fetch.overview = !fetch.groupFilter.Empty() && !fetch.noOverview;
    fetch.overviewOut = false;
    fetch.overviewTo = cycle.articleCursor - 1;
    fetch.dropped.clear();
    fetch.droppedNext = 0;
    fetch.heads = fetch.overview && !fetch.noHead && fetch.groupFilter.NeedsHeaders();
    fetch.headsDue.clear();
    fetch.headsNext = 0;
    fetch.headsOut = 0;
    fetch.headsAbandoned = false;
    cycle.session->ListArticles(cycle.window, MAIN_MSG_ARTICLES_LISTED, cycle.articleCursor,
                                fetch.last);
}

void OnArticlesListed(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    if (!StillSubscribed(cycle)) {
        LogUnsubscribed(cycle);
        return EndGroup(cycle);
    }
    FetchState& fetch = *cycle.fetch;
    nntp::CNntpSession& session = *cycle.session;
    if (result == nntp::ResultSuccess) {
        fetch.toRequest = std::move(session.listedArticles);
        session.listedArticles.clear();
    } else {
        // No list (a server without LISTGROUP or its range, or a list too
        // long to keep): each number in turn, the missing ones refused as
        // gone. After expiry a range may hold millions of numbers for a few
        // articles; NEXT then finds them in as many steps as there are.
        const char* why = reinterpret_cast<const char*>(reply);
        if (why != nullptr && ReplyCode(why) == 0) LogLine(why);
        if (Sparse(cycle)) {
            LogLineF("%s has %lld articles in %lld numbers: walked with NEXT",
                     fetch.section.c_str(), static_cast<long long>(session.articleCount),
                     static_cast<long long>(fetch.last - cycle.articleCursor + 1));
            return StartLockStepFetch(cycle);
        }
        fetch.byNumber = true;
        fetch.toRequest.assign(1, nntp::ArticleRun{cycle.articleCursor, fetch.last});
    }
    if (!MoreToRequest(fetch)) return GroupFetched(cycle);
    TopUp(cycle);
}

void OnArticleAnswer(NewsCycle& cycle, plat::WParam result, plat::LParam value) {
    const bool owned = result == nntp::ResultSuccess || result == nntp::ResultFailure;
    std::unique_ptr<nntp::ArticleAnswer> answer(
        owned ? reinterpret_cast<nntp::ArticleAnswer*>(value) : nullptr);
    if (!Live(cycle)) return;
    FetchState& fetch = *cycle.fetch;
    if (IsBroken(result)) {
        // What arrived of the article being read is no article: the next
        // cycle fetches it again under the same number.
        if (!fetch.requested.empty())
            plat::DeleteFile(PartFile(cycle, fetch.requested.front().part));
        return ConnectionLost(cycle, value);
    }
    if (fetch.requested.empty()) return;
    const FetchState::Requested request = fetch.requested.front();
    fetch.requested.pop_front();
    nntp::CNntpSession& session = *cycle.session;
    if (fetch.stop != FetchState::Stop::None) {
        // Received before the drop: not kept, and not left to hold the
        // directory of a group unsubscribed meanwhile.
        if (answer != nullptr && !answer->path.empty()) {
            plat::DeleteFile(answer->path);
            if (!StillSubscribed(cycle)) RemoveLeftGroup(cycle);
        }
        return EndOnceDrained(cycle);
    }

    cycle.articleCursor = request.article;
    if (answer == nullptr) {
        // Our side could not take it; the article stays due.
        LogReplyText(value);
        const char* why = reinterpret_cast<const char*>(value);
        cycle.NoteUndone(why != nullptr ? why : "An article could not be stored");
        return StopAfterDrain(cycle, session, FetchState::Stop::Group);
    }
    // Only 423 and 430 say the article is gone.
    const int code = result == nntp::ResultSuccess ? 0 : ReplyCode(answer->reply.c_str());
    if (result != nntp::ResultSuccess && code != 423 && code != 430) {
        NoteWithheld(cycle, answer->reply.c_str());
        const bool wholeCycle = code == 400 || code == 480;
        return StopAfterDrain(cycle, session,
                              wholeCycle ? FetchState::Stop::Cycle : FetchState::Stop::Group);
    }
    if (!StillSubscribed(cycle)) {
        if (!answer->path.empty()) plat::DeleteFile(answer->path);
        LogUnsubscribed(cycle);
        return StopAfterDrain(cycle, session, FetchState::Stop::Group);
    }
    // The next requests go out first, so that the server answers while the
    // counters are written.
    TopUp(cycle);
    spool::ArticleHeaders headers;
    if (result == nntp::ResultSuccess)
        headers = spool::ReadArticleHeaders(answer->path, request.article);
    if (result != nntp::ResultSuccess) {
        Skip(cycle, request);
    } else if (PassedOver(cycle, headers, answer->path)) {
        Release(cycle, request);
    } else if (!Store(cycle, *answer, request, headers)) {
        return StopAfterDrain(cycle, session, FetchState::Stop::Group);
    }
    cycle.articleCursor = request.article + 1;
    if (fetch.requested.empty() && !MoreToRequest(fetch)) GroupFetched(cycle);
}

}  // namespace app
