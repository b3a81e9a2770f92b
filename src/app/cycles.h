// The steps of the unattended cycle and the handlers of their completion
// messages. Each step starts one operation of the session and returns; the
// handler named for its message carries on.
//
//   connection_sequence.cpp  connect, authenticate, group list, disconnect
//   fetch_cycle.cpp          every subscribed group, article by article
//   posting_cycle.cpp        the outbound queue
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"
#include "platform/message_loop.h"

namespace app {

struct MainWindowData;

// How a cycle run ended, for the command-line runs that report it in their
// exit status. BeginConnect starts a new record; the steps fill it in.
struct CycleReport {
    bool running = false;       // from BeginConnect until the cycle has ended
    bool connected = false;     // the server greeted us
    bool authRejected = false;  // AUTHINFO was refused or not sent
    bool listReceived = false;  // the group list arrived
    bool disconnected = false;  // the cycle ended with "Server disconnected"
    bool lost = false;          // the connection broke off
    // Work the cycle left undone though the server answered: an article
    // that could not be stored, a post the server would not take now. The
    // first such reason; empty when there was none.
    std::string undone;
};
// Notes why the cycle's work stays undone (the first reason is kept).
void NoteUndone(const std::string& reason);
CycleReport& LastCycle();

// The session reports three kinds of failure: a refusal (the connection
// stays usable), a local refusal (nothing was sent) and a break (the session
// has ended the connection; nothing else will arrive for it).
bool IsBroken(plat::WParam result);

// A break in the middle of a cycle: back to the disconnected state without
// touching the counters, so that the next cycle repeats what was cut off.
// reason is the text the failure notification carried (may be 0).
void ConnectionLost(plat::WindowHandle window, plat::LParam reason);
constexpr char kConnectionLostLine[] = "Connection to server lost";

// How a step that needs the connection begins: appIdle is cleared and the
// main window's data returned; when the connection is gone, the step logs
// "Server not connected", the cycle ends there and the result is null.
MainWindowData* BeginStep(plat::WindowHandle window);

// Whether a posting pass holds a queue file or an article open.
bool PostingFilesOpen();
// Closes out.dat and the article of an interrupted pass; the queue stays
// as it is for the next pass.
void AbandonPosting();

// Connection sequence.
void BeginConnect(plat::WindowHandle window);
void BeginSendUser(plat::WindowHandle window);
void BeginSendPass(plat::WindowHandle window);
void BeginListGroups(plat::WindowHandle window);
void BeginDisconnect(plat::WindowHandle window);
void RequestGroupList(plat::WindowHandle window);
void OnConnectDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                   plat::LParam data);
void OnUserDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                plat::LParam data);
void OnPassDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                plat::LParam data);
void OnListDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                plat::LParam data);
void OnQuitDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                plat::LParam data);

// Fetch cycle.
void BeginGroupFetch(plat::WindowHandle window);
void OnGroupDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                 plat::LParam data);
void OnArticleDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                   plat::LParam data);
void OnNextDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                plat::LParam data);
void OnGroupFinished(plat::WindowHandle window, unsigned message, plat::WParam result,
                     plat::LParam data);
// The pipelined exchange (PipelineDepth above 1).
void OnArticlesListed(plat::WindowHandle window, unsigned message, plat::WParam result,
                      plat::LParam data);
void OnArticleAnswer(plat::WindowHandle window, unsigned message, plat::WParam result,
                     plat::LParam data);

// Posting cycle.
void BeginPosting(plat::WindowHandle window);
void PostRecord(plat::WindowHandle window);
void OnPostDone(plat::WindowHandle window, unsigned message, plat::WParam result,
                plat::LParam data);

using StepFn = void (*)(plat::WindowHandle window);
using HandlerFn = void (*)(plat::WindowHandle window, unsigned message, plat::WParam result,
                           plat::LParam data);

// The steps the main window starts and the handlers it routes its completion
// messages to. The main window calls them only through this table, so that a
// test can watch what the shell starts without running a cycle.
struct CycleSteps {
    StepFn beginConnect = BeginConnect;
    StepFn beginDisconnect = BeginDisconnect;
    StepFn requestGroupList = RequestGroupList;
    StepFn beginGroupFetch = BeginGroupFetch;
    StepFn beginPosting = BeginPosting;
    HandlerFn onConnectDone = OnConnectDone;
    HandlerFn onGroupDone = OnGroupDone;
    HandlerFn onArticleDone = OnArticleDone;
    HandlerFn onNextDone = OnNextDone;
    HandlerFn onListDone = OnListDone;
    HandlerFn onPostDone = OnPostDone;
    HandlerFn onQuitDone = OnQuitDone;
    HandlerFn onGroupFinished = OnGroupFinished;
    HandlerFn onUserDone = OnUserDone;
    HandlerFn onPassDone = OnPassDone;
    HandlerFn onArticlesListed = OnArticlesListed;
    HandlerFn onArticleAnswer = OnArticleAnswer;
};

CycleSteps& Steps();

}  // namespace app
