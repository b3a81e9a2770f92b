// Posting the articles the board queued in out.dat: the queue itself (its
// records, flags and leftovers) is spool::OutboundQueue; this drives the
// session through it and logs.
#include <cstring>
#include <memory>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/settings.h"
#include "nntp/nntp_session.h"
#include "spool/outbound_queue.h"

namespace app {

struct PostingState {
    spool::OutboundQueue queue;
};

void CyclePartDeleter::operator()(PostingState* state) const {
    delete state;
}

std::unique_ptr<PostingState, CyclePartDeleter> NewPostingState() {
    return std::unique_ptr<PostingState, CyclePartDeleter>(new PostingState);
}

namespace {

void EndPass(NewsCycle& cycle) {
    cycle.posting->queue.Close();
    BeginDisconnect(cycle);
    // Set after the disconnect has started: QUIT runs with the gate open.
    cycle.appIdle = true;
}

void FinishPass(NewsCycle& cycle) {
    if (cycle.posting->queue.AnyRecord()) LogLine("Finished posting essages");
    EndPass(cycle);
}

// The queue could not write down that a record was handled: it would be
// posted again by every pass.
void Stopped(NewsCycle& cycle) {
    const std::string& line = cycle.posting->queue.StopReason();
    LogLine(line.c_str());
    cycle.NoteUndone(line);
    EndPass(cycle);
}

bool HasCode(const char* reply, const char* code) {
    return reply != nullptr && std::strncmp(reply, code, 3) == 0 &&
           (reply[3] == ' ' || reply[3] == '\0');
}

void LogQueueLine(const std::string& line) {
    LogLine(line.c_str());
}

}  // namespace

bool PostingFilesOpen(const NewsCycle& cycle) {
    spool::OutboundQueue& queue = cycle.posting->queue;
    return queue.Walking() || queue.Article().IsOpen();
}

void AbandonPosting(NewsCycle& cycle) {
    cycle.posting->queue.Close();
}

void BeginPosting(NewsCycle& cycle) {
    if (!BeginStep(cycle)) return;
    LogLine("Posting Messages");
    if (!cycle.posting->queue.Begin(App().settings.qivNewsDir, LogQueueLine))
        return FinishPass(cycle);
    PostRecord(cycle);
}

void PostRecord(NewsCycle& cycle) {
    spool::OutboundQueue& queue = cycle.posting->queue;
    if (!queue.Walking()) return;
    switch (queue.NextArticle()) {
        case spool::OutboundQueue::Next::Article:
            cycle.session->PostArticle(cycle.window, MAIN_MSG_POST_DONE, &queue.Article());
            return;
        case spool::OutboundQueue::Next::Done:
            return FinishPass(cycle);
        case spool::OutboundQueue::Next::Stopped:
            return Stopped(cycle);
    }
}

void OnPostDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    spool::OutboundQueue& queue = cycle.posting->queue;
    if (!cycle.connected || !queue.Walking()) return;
    queue.Article().Close();
    // Broken off: the file and its record stay for the next pass.
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    const char* text = reinterpret_cast<const char*>(reply);
    bool marked = false;
    if (result == nntp::ResultSuccess) {
        marked = queue.Posted();
    } else if (result == nntp::ResultRefusedLocally) {
        // Not sent at all (a line too long for the server): kept for the
        // board to see.
        marked = queue.Kept(text != nullptr ? text : "");
    } else if (cycle.session->articleSent && HasCode(text, "441")) {
        // The server's verdict on this article.
        LogReplyText(reply);
        marked = queue.Refused();
    } else {
        // No verdict on the article (no permission, a login wanted, a
        // server in trouble): it stays queued, and so does all after it.
        LogReplyText(reply);
        const std::string line = "Posting stopped; " + queue.ArticleName() + " stays queued";
        LogLine(line.c_str());
        cycle.NoteUndone(line);
        return EndPass(cycle);
    }
    if (!marked) return Stopped(cycle);
    PostRecord(cycle);
}

}  // namespace app
