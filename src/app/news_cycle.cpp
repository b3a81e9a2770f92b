#include "app/news_cycle.h"

#include <algorithm>

#include "app/commands.h"
#include "app/cycles.h"
#include "nntp/nntp_session.h"

namespace app {

bool CycleSucceeded(const CycleReport& r, bool listMode) {
    return !r.running && r.connected && !r.authRejected && !r.lost && r.disconnected &&
           r.undone.empty() && (!listMode || r.listReceived);
}

NewsCycle::NewsCycle(plat::WindowHandle window)
    : window(window),
      session(std::make_unique<nntp::CNntpSession>()),
      fetch(NewFetchState()),
      posting(NewPostingState()) {}

NewsCycle::~NewsCycle() = default;

void NewsCycle::AddListener(CycleListener* listener) {
    listeners_.push_back(listener);
}

void NewsCycle::RemoveListener(CycleListener* listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

void NewsCycle::End() {
    if (!report.running) return;
    report.running = false;
    // A copy: a listener may stop listening when it hears the end.
    const std::vector<CycleListener*> listeners = listeners_;
    for (CycleListener* l : listeners) l->CycleEnded(report);
}

void NewsCycle::Closed() {
    const std::vector<CycleListener*> listeners = listeners_;
    for (CycleListener* l : listeners) l->ConnectionClosed();
}

void NewsCycle::NoteUndone(const std::string& reason) {
    if (report.undone.empty()) report.undone = reason;
}

namespace {

using Handler = void (*)(NewsCycle& cycle, plat::WParam result, plat::LParam data);

// The handler of a completion message, or null for any other message.
Handler HandlerOf(unsigned message) {
    switch (message) {
        case MAIN_MSG_CONNECT_DONE:
            return OnConnectDone;
        case MAIN_MSG_USER_DONE:
            return OnUserDone;
        case MAIN_MSG_PASS_DONE:
            return OnPassDone;
        case MAIN_MSG_COMPRESS_DONE:
            return OnCompressDone;
        case MAIN_MSG_LIST_DONE:
            return OnListDone;
        case MAIN_MSG_QUIT_DONE:
            return OnQuitDone;
        case MAIN_MSG_GROUP_DONE:
            return OnGroupDone;
        case MAIN_MSG_ARTICLE_DONE:
            return OnArticleDone;
        case MAIN_MSG_NEXT_DONE:
            return OnNextDone;
        case MAIN_MSG_GROUP_FINISHED:
            return OnGroupFinished;
        case MAIN_MSG_ARTICLES_LISTED:
            return OnArticlesListed;
        case MAIN_MSG_ARTICLE_ANSWER:
            return OnArticleAnswer;
        case MAIN_MSG_OVERVIEW_DONE:
            return OnOverviewDone;
        case MAIN_MSG_HEAD_ANSWER:
            return OnHeadAnswer;
        case MAIN_MSG_POST_DONE:
            return OnPostDone;
        default:
            return nullptr;
    }
}

}  // namespace

bool NewsCycle::Dispatch(unsigned message, plat::WParam result, plat::LParam data) {
    const Handler handler = HandlerOf(message);
    if (handler == nullptr) return false;
    handler(*this, result, data);
    return true;
}

}  // namespace app
