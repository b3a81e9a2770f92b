// The pipelined fetch with filter rules: each stretch of at most
// kMaxOverviewRange numbers is judged from its overview (OVER) before its
// articles are asked for, so that an article a rule keeps out is never
// downloaded. Rules on a header the overview lacks (Newsgroups for
// MaxCrossposts, any other) are decided by HEAD for the articles the
// overview let through, pipelined as ARTICLE is; whatever neither could
// decide is judged when the article arrives, as without OVER.
#include <algorithm>
#include <memory>
#include <string>

#include "app/commands.h"
#include "app/cycles.h"
#include "app/fetch_state.h"
#include "nntp/nntp_session.h"
#include "spool/article_filter.h"

namespace app {

namespace {

spool::ArticleFacts FactsOf(const nntp::OverviewEntry& entry) {
    spool::ArticleFacts facts;
    facts.headers = {{"Subject", entry.subject},
                     {"From", entry.from},
                     {"Date", entry.date},
                     {"Message-ID", entry.messageId},
                     {"References", entry.references}};
    if (entry.lines >= 0) facts.headers.emplace_back("Lines", std::to_string(entry.lines));
    facts.bytes = entry.bytes;
    return facts;
}

}  // namespace

bool Judged(FetchState& fetch, std::int64_t article) {
    return !fetch.overview || article <= fetch.overviewTo;
}

bool Dropped(FetchState& fetch, std::int64_t article) {
    while (fetch.droppedNext < fetch.dropped.size() && fetch.dropped[fetch.droppedNext] < article)
        ++fetch.droppedNext;
    return fetch.droppedNext < fetch.dropped.size() && fetch.dropped[fetch.droppedNext] == article;
}

void RequestOverview(NewsCycle& cycle, std::int64_t from) {
    FetchState& fetch = *cycle.fetch;
    fetch.overviewOut = true;
    fetch.overviewAsked =
        std::min(fetch.last, from + nntp::CNntpSession::kMaxOverviewRange - 1);
    cycle.session->ListOverview(cycle.window, MAIN_MSG_OVERVIEW_DONE, from, fetch.overviewAsked);
}

namespace {

// The stretch up to overviewAsked is judged: its articles may be asked for.
void StretchJudged(NewsCycle& cycle) {
    FetchState& fetch = *cycle.fetch;
    // A server may list in any order, or a number twice.
    const auto from = fetch.dropped.begin() + static_cast<long>(fetch.stretchDropped);
    std::sort(from, fetch.dropped.end());
    fetch.dropped.erase(std::unique(from, fetch.dropped.end()), fetch.dropped.end());
    fetch.overviewTo = fetch.overviewAsked;
    fetch.overviewOut = false;
    fetch.headsDue.clear();
    fetch.headsNext = 0;
    TopUp(cycle);
    if (fetch.requested.empty() && !fetch.overviewOut && !MoreToRequest(fetch)) GroupFetched(cycle);
}

void RequestHeads(NewsCycle& cycle) {
    FetchState& fetch = *cycle.fetch;
    while (fetch.headsOut < static_cast<std::size_t>(fetch.depth) &&
           fetch.headsNext < fetch.headsDue.size()) {
        ++fetch.headsOut;
        cycle.session->RequestHead(cycle.window, MAIN_MSG_HEAD_ANSWER,
                                   fetch.headsDue[fetch.headsNext++]);
    }
}

void KeepOut(FetchState& fetch, std::int64_t article, const spool::FilterRule* rule) {
    fetch.dropped.push_back(article);
    ++fetch.filtered[fetch.groupFilter.IndexOf(rule)];
}

}  // namespace

void OnOverviewDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    FetchState& fetch = *cycle.fetch;
    nntp::CNntpSession& session = *cycle.session;
    if (!StillSubscribed(cycle)) {
        fetch.overviewOut = false;
        LogUnsubscribed(cycle);
        return EndGroup(cycle);
    }
    const bool none = result != nntp::ResultSuccess &&
                      ReplyCode(reinterpret_cast<const char*>(reply)) == 423;  // nothing there
    if (result != nntp::ResultSuccess && !none) {
        // No OVER here: every article is judged when it has arrived.
        fetch.overviewOut = false;
        fetch.overview = false;
        fetch.noOverview = true;
        session.overview.clear();
        TopUp(cycle);
        if (fetch.requested.empty() && !MoreToRequest(fetch)) GroupFetched(cycle);
        return;
    }
    fetch.stretchDropped = fetch.dropped.size();
    fetch.headsDue.clear();
    for (const nntp::OverviewEntry& entry : session.overview) {
        if (entry.number <= fetch.overviewTo || entry.number > fetch.overviewAsked) continue;
        const spool::FilterRule* rule = fetch.groupFilter.Judge(FactsOf(entry));
        if (rule != nullptr) {
            KeepOut(fetch, entry.number, rule);
        } else if (fetch.heads) {
            fetch.headsDue.push_back(entry.number);
        }
    }
    session.overview.clear();
    if (fetch.headsDue.empty()) return StretchJudged(cycle);
    std::sort(fetch.headsDue.begin(), fetch.headsDue.end());
    fetch.headsDue.erase(std::unique(fetch.headsDue.begin(), fetch.headsDue.end()),
                         fetch.headsDue.end());
    fetch.headsNext = 0;
    RequestHeads(cycle);
}

// The overviewOut flag stays up until the last HEAD of the stretch is in,
// so that nothing else is asked for meanwhile.
void OnHeadAnswer(NewsCycle& cycle, plat::WParam result, plat::LParam value) {
    const bool owned = result == nntp::ResultSuccess || result == nntp::ResultFailure;
    std::unique_ptr<nntp::ArticleAnswer> answer(
        owned ? reinterpret_cast<nntp::ArticleAnswer*>(value) : nullptr);
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, value);
    FetchState& fetch = *cycle.fetch;
    if (fetch.headsOut == 0) return;
    --fetch.headsOut;
    if (!fetch.headsAbandoned && !StillSubscribed(cycle)) {
        fetch.headsAbandoned = true;
        fetch.headsNext = fetch.headsDue.size();
        cycle.session->DropArticles();
        LogUnsubscribed(cycle);
    }
    if (fetch.headsAbandoned) {
        if (fetch.headsOut > 0) return;
        fetch.headsAbandoned = false;
        fetch.overviewOut = false;
        return EndGroup(cycle);
    }
    if (answer != nullptr && result == nntp::ResultSuccess) {
        const spool::FilterRule* rule =
            fetch.groupFilter.Judge(spool::FactsFromHeaders(answer->headers));
        if (rule != nullptr) KeepOut(fetch, answer->articleNumber, rule);
    } else if (answer != nullptr && ReplyCode(answer->reply.c_str()) / 100 == 5) {
        // No HEAD here: the rest are judged when they have arrived. Any
        // other refusal is left to the ARTICLE that follows, whose answer
        // says whether the article is gone or the server is withholding.
        fetch.heads = false;
        fetch.noHead = true;
        fetch.headsNext = fetch.headsDue.size();
    }
    RequestHeads(cycle);
    if (fetch.headsOut == 0 && fetch.headsNext == fetch.headsDue.size()) StretchJudged(cycle);
}

}  // namespace app
