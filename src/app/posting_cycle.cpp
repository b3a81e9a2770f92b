// Posting the articles the board queued in out.dat: the queue itself (its
// records, flags and leftovers) is spool::OutboundQueue; this drives the
// session through it and logs.
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/settings.h"
#include "nntp/nntp_session.h"
#include "spool/outbound_queue.h"

namespace app {

namespace {

struct PostingState {
    spool::OutboundQueue queue;
};

PostingState& Posting() {
    static PostingState state;
    return state;
}

void EndPass(plat::WindowHandle window) {
    Posting().queue.Close();
    BeginDisconnect(window);
    // Set after the disconnect has started: QUIT runs with the gate open.
    App().appIdle = 1;
}

void FinishPass(plat::WindowHandle window) {
    if (Posting().queue.AnyRecord()) LogLine("Finished posting essages");
    EndPass(window);
}

// The queue could not write down that a record was handled: it would be
// posted again by every pass.
void Stopped(plat::WindowHandle window) {
    const std::string& line = Posting().queue.StopReason();
    LogLine(line.c_str());
    NoteUndone(line);
    EndPass(window);
}

bool HasCode(const char* reply, const char* code) {
    return reply != nullptr && std::strncmp(reply, code, 3) == 0 &&
           (reply[3] == ' ' || reply[3] == '\0');
}

void LogQueueLine(const std::string& line) {
    LogLine(line.c_str());
}

}  // namespace

bool PostingFilesOpen() {
    spool::OutboundQueue& queue = Posting().queue;
    return queue.Walking() || queue.Article().IsOpen();
}

void AbandonPosting() {
    Posting().queue.Close();
}

void BeginPosting(plat::WindowHandle window) {
    MainWindowData* data = BeginStep(window);
    if (data == nullptr) return;
    LogLine("Posting Messages");
    if (!Posting().queue.Begin(App().settings.qivNewsDir, LogQueueLine)) return FinishPass(window);
    PostRecord(window);
}

void PostRecord(plat::WindowHandle window) {
    spool::OutboundQueue& queue = Posting().queue;
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || !queue.Walking()) return;
    switch (queue.NextArticle()) {
        case spool::OutboundQueue::Next::Article:
            data->session->PostArticle(window, MAIN_MSG_POST_DONE, &queue.Article());
            return;
        case spool::OutboundQueue::Next::Done:
            return FinishPass(window);
        case spool::OutboundQueue::Next::Stopped:
            return Stopped(window);
    }
}

void OnPostDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam reply) {
    spool::OutboundQueue& queue = Posting().queue;
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->connected == 0 || !queue.Walking()) return;
    queue.Article().Close();
    // Broken off: the file and its record stay for the next pass.
    if (IsBroken(result)) return ConnectionLost(window, reply);
    const char* text = reinterpret_cast<const char*>(reply);
    bool marked = false;
    if (result == ResultSuccess) {
        marked = queue.Posted();
    } else if (result == ResultRefusedLocally) {
        // Not sent at all (a line too long for the server): kept for the
        // board to see.
        marked = queue.Kept(text != nullptr ? text : "");
    } else if (data->session->articleSent && HasCode(text, "441")) {
        // The server's verdict on this article.
        LogReplyText(reply);
        marked = queue.Refused();
    } else {
        // No verdict on the article (no permission, a login wanted, a
        // server in trouble): it stays queued, and so does all after it.
        LogReplyText(reply);
        const std::string line = "Posting stopped; " + queue.ArticleName() + " stays queued";
        LogLine(line.c_str());
        NoteUndone(line);
        return EndPass(window);
    }
    if (!marked) return Stopped(window);
    PostRecord(window);
}

}  // namespace app
