// The pipelined fetch with filter rules: each stretch of at most
// kMaxOverviewRange numbers is judged from its overview (OVER) before its
// articles are asked for, so that an article a rule keeps out is never
// downloaded. Rules the overview cannot decide (a header it lacks) are
// applied when the article arrives, as without OVER.
#include <algorithm>
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

void OnOverviewDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!Live(cycle)) return;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    FetchState& fetch = *cycle.fetch;
    nntp::CNntpSession& session = *cycle.session;
    fetch.overviewOut = false;
    if (!StillSubscribed(cycle)) {
        LogUnsubscribed(cycle);
        return EndGroup(cycle);
    }
    const bool none = result != nntp::ResultSuccess &&
                      ReplyCode(reinterpret_cast<const char*>(reply)) == 423;  // nothing there
    if (result == nntp::ResultSuccess || none) {
        const std::size_t before = fetch.dropped.size();
        for (const nntp::OverviewEntry& entry : session.overview) {
            if (entry.number <= fetch.overviewTo || entry.number > fetch.overviewAsked) continue;
            const spool::FilterRule* rule = fetch.groupFilter.Judge(FactsOf(entry));
            if (rule == nullptr) continue;
            fetch.dropped.push_back(entry.number);
            ++fetch.filtered[fetch.groupFilter.IndexOf(rule)];
        }
        // A server may list in any order, or a number twice.
        std::sort(fetch.dropped.begin() + static_cast<long>(before), fetch.dropped.end());
        fetch.dropped.erase(std::unique(fetch.dropped.begin() + static_cast<long>(before),
                                        fetch.dropped.end()),
                            fetch.dropped.end());
        fetch.overviewTo = fetch.overviewAsked;
    } else {
        // No OVER here: every article is judged when it has arrived.
        fetch.overview = false;
        fetch.noOverview = true;
    }
    session.overview.clear();
    TopUp(cycle);
    if (fetch.requested.empty() && !fetch.overviewOut && !MoreToRequest(fetch)) GroupFetched(cycle);
}

}  // namespace app
