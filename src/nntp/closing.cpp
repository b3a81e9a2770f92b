// CNntpSession: how exchanges end without a result of their own: the watch
// on a server gone silent, the refusals and breaks the reply states share,
// QUIT, closing, and abandoning a connection whose exchange broke.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "nntp/nntp_session.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kLineTooLong = "Reply line too long";

}  // namespace

// ---- Silence ----

void CNntpSession::MarkProgress() {
    lastProgressMs = plat::NowMs();
}

// The states that wait on the server. OpenWait is not among them: a lookup
// and a connection attempt end by themselves, and the connection manager
// must be free to try the next address.
bool CNntpSession::Watching() const {
    if (replyTimeoutMs == 0) return false;
    static constexpr Handler kWaiting[] = {
        &CNntpSession::Greeting,         &CNntpSession::UserReply,
        &CNntpSession::PassReply,        &CNntpSession::GroupReply,
        &CNntpSession::NextReply,        &CNntpSession::QuitReply,
        &CNntpSession::ListReply,        &CNntpSession::ListData,
        &CNntpSession::ArticleReply,     &CNntpSession::ArticleData,
        &CNntpSession::PostReply,        &CNntpSession::PostData,
        &CNntpSession::PostResult,       &CNntpSession::Abandoning,
        &CNntpSession::ModeReply,        &CNntpSession::Handshaking,
        &CNntpSession::CapaReply,        &CNntpSession::CapaData,
        &CNntpSession::StartTlsReply,    &CNntpSession::ListArticlesReply,
        &CNntpSession::ListArticlesData, &CNntpSession::PipelineReply,
        &CNntpSession::PipelineData,     &CNntpSession::PipelineHeadData,
        &CNntpSession::OverviewReply,    &CNntpSession::OverviewData,
        &CNntpSession::CompressReply,    &CNntpSession::CompressCapaReply,
        &CNntpSession::CompressCapaData,
    };
    for (const Handler h : kWaiting)
        if (state.Is(h)) return true;
    return false;
}

std::uint64_t CNntpSession::SilenceLeft() const {
    const std::uint64_t silent = plat::NowMs() - lastProgressMs;
    return silent >= replyTimeoutMs ? 0 : replyTimeoutMs - silent;
}

void CNntpSession::SilenceWatch::Collect(std::vector<plat::PollFd>&, int& timeoutMs) {
    // Once the call is on its way the loop need not wake for it again.
    if (!session_.Watching() || session_.silenceCall.Pending()) return;
    const std::uint64_t left = session_.SilenceLeft();
    timeoutMs = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

void CNntpSession::SilenceWatch::Dispatch(const plat::PollFd*, std::size_t) {
    if (!session_.Watching() || session_.silenceCall.Pending() || session_.SilenceLeft() > 0)
        return;
    // Without an event window nothing can be posted; rather than wake the
    // loop at once again, look again a whole timeout later.
    if (session_.silenceCall.Post() != 0) session_.MarkProgress();
}

// Bytes may have arrived between the check and this call.
void CNntpSession::OnSilenceCall(void* context) {
    CNntpSession& session = *static_cast<CNntpSession*>(context);
    if (session.Watching() && session.SilenceLeft() == 0) session.Drive(TimedOut);
}

// The reason a timed-out exchange reports.
const char* CNntpSession::SilenceReason() {
    const unsigned seconds = (replyTimeoutMs + 999) / 1000;
    std::snprintf(reasonText, sizeof reasonText, "No answer from the server for %u second%s",
                  seconds, seconds == 1 ? "" : "s");
    return reasonText;
}

// ---- Ending states ----

// The rows that GroupReply, NextReply, ListReply and ArticleReply share:
// everything but their Reply2.
int CNntpSession::ReplyState(int event) {
    switch (event) {
        case Reply4:
            return Refuse();
        case Reply1:
        case Reply3:
        case Reply5:
        case Fault:
            return Break(currentLine, true);
        case Overflow:
            return Break(kLineTooLong, true);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// QuitCommand: any event -> send QUIT: sent or queued -> QuitReply;
// send error -> break.
int CNntpSession::QuitCommand(int) {
    std::strcpy(commandBuffer, "QUIT\r\n");
    return SendCommand(&CNntpSession::QuitReply);
}

// QuitReply
//   any reply, Fault, Overflow, LinkLost   Success          Closing
//   TimedOut                               break            Ended
//   CloseReq                               Closed           Closing
int CNntpSession::QuitReply(int event) {
    switch (event) {
        case TimedOut:
            return Break(SilenceReason(), false);
        case Reply1:
        case Reply2:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
        case Overflow:
        case LinkLost:
            closeResult = ResultSuccess;
            return Go(&CNntpSession::Closing);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// Closing: any event -> close; post (closeResult, 0) if asked to; Ended.
int CNntpSession::Closing(int) {
    multiLine = false;
    outputFile.Close();
    Disconnect();
    if (notifyOnClose != 0) Notify(closeResult, 0);
    return Go(&CNntpSession::Ended);
}

// Ended: ignores everything; only Connect leaves it.
int CNntpSession::Ended(int) {
    return 0;
}

// Abandoning: an exchange broke on a connection that still worked and QUIT
// has gone out. The owner has been told; this only waits to close.
//   DataLine, DataPart            (the rest of a transfer) ignored
//   DataEnd                       end of multi-line mode
//   any reply, Fault, Overflow, LinkLost, TimedOut   close    Ended
//   CloseReq                      Closed                      Closing
int CNntpSession::Abandoning(int event) {
    switch (event) {
        case DataEnd:
            multiLine = false;
            return 0;
        case TimedOut:
        case Reply1:
        case Reply2:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
        case Overflow:
        case LinkLost:
            multiLine = false;
            Disconnect();
            return Go(&CNntpSession::Ended);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

}  // namespace nntp
