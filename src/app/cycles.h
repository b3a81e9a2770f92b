// The steps of a news cycle and the handlers of their completion messages.
// Each step starts one operation of the cycle's session and returns; the
// handler named for its message carries on.
//
//   connection_sequence.cpp  connect, authenticate, group list, disconnect
//   fetch_cycle.cpp          every subscribed group, article by article
//   posting_cycle.cpp        the outbound queue
#pragma once

#include "app/news_cycle.h"
#include "platform/message_loop.h"

namespace app {

// The session reports three kinds of failure: a refusal (the connection
// stays usable), a local refusal (nothing was sent) and a break (the session
// has ended the connection; nothing else will arrive for it).
bool IsBroken(plat::WParam result);

// A break in the middle of a cycle: back to the disconnected state without
// touching the counters, so that the next cycle repeats what was cut off.
// reason is the text the failure notification carried (may be 0).
void ConnectionLost(NewsCycle& cycle, plat::LParam reason);
// The articles of the group at hand passed over as stored before, in one
// line; the group's history is closed.
void ReportSkippedDuplicates(NewsCycle& cycle);
// 483: the server serves this only over an encrypted channel. Logs the hint.
bool AsksForEncryption(plat::LParam reply);
constexpr char kConnectionLostLine[] = "Connection to server lost";

// How a step that needs the connection begins: appIdle is cleared; when the
// connection is gone, the step logs "Server not connected", the cycle ends
// there and the result is false.
bool BeginStep(NewsCycle& cycle);

// Whether a posting pass holds a queue file or an article open.
bool PostingFilesOpen(const NewsCycle& cycle);
// Closes out.dat and the article being posted of an interrupted pass; the
// queue stays as it is for the next pass.
void AbandonPosting(NewsCycle& cycle);

// Connection sequence.
void BeginConnect(NewsCycle& cycle);
void BeginSendUser(NewsCycle& cycle);
void BeginSendPass(NewsCycle& cycle);
void BeginCompress(NewsCycle& cycle);
// The work the connection was made for: the group list, or the fetch.
void BeginExchange(NewsCycle& cycle);
void BeginListGroups(NewsCycle& cycle);
void BeginDisconnect(NewsCycle& cycle);
void RequestGroupList(NewsCycle& cycle);
void OnConnectDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnUserDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnPassDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnCompressDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnListDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnQuitDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);

// Fetch cycle.
void BeginGroupFetch(NewsCycle& cycle);
void OnGroupDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnArticleDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnNextDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnGroupFinished(NewsCycle& cycle, plat::WParam result, plat::LParam data);
// The pipelined exchange (PipelineDepth above 1).
void OnArticlesListed(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnArticleAnswer(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnOverviewDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);
void OnHeadAnswer(NewsCycle& cycle, plat::WParam result, plat::LParam data);

// Posting cycle.
void BeginPosting(NewsCycle& cycle);
void PostRecord(NewsCycle& cycle);
void OnPostDone(NewsCycle& cycle, plat::WParam result, plat::LParam data);

}  // namespace app
