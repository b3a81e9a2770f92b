// The steps of the unattended cycle and the handlers of their completion
// messages. Each step starts one operation of the session and returns; the
// handler named for its message carries on.
//
//   connection_sequence.cpp  connect, authenticate, group list, disconnect
//   fetch_cycle.cpp          every subscribed group, article by article
//   posting_cycle.cpp        the outbound queue
#pragma once

#include "platform/message_loop.h"

namespace app {

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

// Posting cycle.
void BeginPosting(plat::WindowHandle window);
void PostRecord(plat::WindowHandle window, long recordIndex);
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
};

CycleSteps& Steps();

}  // namespace app
