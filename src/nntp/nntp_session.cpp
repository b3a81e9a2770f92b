// CNntpSession: operations, notifications, and the states of the exchanges
// that carry no data (connect and greeting, AUTHINFO, GROUP, NEXT, QUIT,
// closing). The transfers live in transfers.cpp and pipeline.cpp, the
// reader in reply_reader.cpp, the ending states in closing.cpp.
//
// How an exchange can end, as the owner sees it:
//  - success:  (ResultSuccess, the operation's data);
//  - refused:  (ResultFailure, the reply line); the connection stays usable;
//  - broken:   (ResultBroken, a reason); the connection has been ended (with
//              QUIT first where it still worked) and nothing else follows;
//  - refused locally: (ResultRefusedLocally, a reason); nothing was sent.
#include "nntp/nntp_session.h"
#include "nntp/reply_fields.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "net/warning.h"
#include "platform/wsa_errors.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kSendFailed = "Unable to send command";
constexpr const char* kLineTooLong = "Reply line too long";

// The QUIT that ends a broken exchange. A constant, because the socket may
// keep its address queued, and commandBuffer may still be queued itself.
constexpr char kQuit[] = "QUIT\r\n";

bool Sent(int result) {
    return result == 0 || result == plat::wsa::WouldBlock;
}

// An argument goes into a command line: it must fit and must not carry a
// line break that would smuggle a second command to the server.
bool ArgumentFits(const std::string& text, std::size_t maxChars) {
    return text.size() <= maxChars && text.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

void ReleaseArticleSaved(ArticleSaved* record) {
    if (record == nullptr) return;
    delete[] record->path;
    delete record;
}

CNntpSession::CNntpSession() : connMgr(this, 0) {
    postLine.reserve(kCommandSize);
    plat::AddLoopSource(&silenceWatch);
}

CNntpSession::~CNntpSession() {
    Close(0, 0, 0);
    plat::RemoveLoopSource(&silenceWatch);
}

// ---- Drive and notifications ----

void CNntpSession::Drive(int event) {
    state.Drive(*this, event);
}

bool CNntpSession::Notify(SessionResult result, plat::LParam data) {
    return plat::PostMessage(owner, notifyMessage, static_cast<plat::WParam>(result), data);
}

int CNntpSession::Go(Handler next) {
    state.Set(next);
    return 1;
}

int CNntpSession::Refuse() {
    Notify(ResultFailure, reinterpret_cast<plat::LParam>(currentLine));
    return Go(&CNntpSession::Ready);
}

int CNntpSession::RefuseLocally(const char* reason) {
    if (reason != reasonText) std::snprintf(reasonText, sizeof reasonText, "%s", reason);
    Notify(ResultRefusedLocally, reinterpret_cast<plat::LParam>(reasonText));
    return Go(&CNntpSession::Ready);
}

// The one way an exchange ends without its result: the owner hears one
// ResultBroken and the connection is ended. quitFirst is for a connection
// that still works (an unexpected reply, a file that cannot be written):
// QUIT goes out and Abandoning closes once the server has answered it.
int CNntpSession::Break(const char* reason, bool quitFirst) {
    if (reason != reasonText)
        std::snprintf(reasonText, sizeof reasonText, "%s", LostReason(reason));
    outputFile.Close();
    if (state.Is(&CNntpSession::ListData)) plat::DeleteFile(listTemp);
    waitingWritable = false;
    Notify(ResultBroken, reinterpret_cast<plat::LParam>(reasonText));
    if (quitFirst && Sent(SendBytes(kQuit, static_cast<int>(sizeof kQuit - 1)))) {
        MarkProgress();
        return Go(&CNntpSession::Abandoning);
    }
    multiLine = false;
    Disconnect();
    return Go(&CNntpSession::Ended);
}

int CNntpSession::SendCommand(Handler replyState) {
    if (Sent(SendCommandBuffer(static_cast<int>(std::strlen(commandBuffer)))))
        return Go(replyState);
    return Break(kSendFailed, false);
}

int CNntpSession::SendCommandBuffer(int length) {
    const int result = SendBytes(commandBuffer, length);
    if (result == plat::wsa::WouldBlock) commandQueued = true;
    return result;
}

// A closed socket drops its queue, commandBuffer with it.
void CNntpSession::Disconnect() {
    commandQueued = false;
    CloseConnection();
    pipeline.clear();
}

// ---- Operations ----

void CNntpSession::Request(plat::WindowHandle window, unsigned message, int event) {
    owner = window;
    notifyMessage = message;
    notifyOnClose = true;
    MarkProgress();
    Drive(event);
}

void CNntpSession::Connect(plat::WindowHandle window, unsigned message,
                           const ServerConfig& server) {
    serverConfig = server;
    owner = window;
    notifyMessage = message;
    notifyOnClose = true;
    // Whatever ran before is dropped without a word; a file it was writing
    // is closed so that the next transfer writes to a file of its own.
    outputFile.Close();
    if (state.Is(&CNntpSession::ListData)) plat::DeleteFile(listTemp);
    state.Set(&CNntpSession::Opening);
    multiLine = false;
    receiveCount = 0;
    lineContinued = false;
    skippingLine = false;
    waitingWritable = false;
    commandQueued = false;
    receivedAny = false;
    securityProblem[0] = '\0';
    pipeline.clear();
    // A channel left from the last connection goes before the socket is reused.
    ResetChannels();
    Drive(Enter);
}

void CNntpSession::SendUser(plat::WindowHandle window, unsigned message) {
    Request(window, message, UserReq);
}

void CNntpSession::SendPass(plat::WindowHandle window, unsigned message) {
    Request(window, message, PassReq);
}

void CNntpSession::SelectGroup(plat::WindowHandle window, unsigned message) {
    Request(window, message, GroupReq);
}

void CNntpSession::NextArticle(plat::WindowHandle window, unsigned message) {
    Request(window, message, NextReq);
}

void CNntpSession::FetchArticle(plat::WindowHandle window, unsigned message, std::int64_t number) {
    requestedArticle = number;
    Request(window, message, ArticleReq);
}

void CNntpSession::ListGroups(plat::WindowHandle window, unsigned message) {
    Request(window, message, ListReq);
}

void CNntpSession::ListArticles(plat::WindowHandle window, unsigned message, std::int64_t first,
                                std::int64_t last) {
    listFirst = first;
    listLast = last;
    Request(window, message, ListArticlesReq);
}

void CNntpSession::RequestArticle(plat::WindowHandle window, unsigned message, std::int64_t number,
                                  std::string path) {
    RequestPipelined(window, message, number, std::move(path), false);
}

void CNntpSession::RequestHead(plat::WindowHandle window, unsigned message, std::int64_t number) {
    RequestPipelined(window, message, number, std::string(), true);
}

void CNntpSession::RequestPipelined(plat::WindowHandle window, unsigned message,
                                    std::int64_t number, std::string path, bool head) {
    requestedNumber = number;
    requestedPath = std::move(path);
    requestedHead = head;
    owner = window;
    notifyMessage = message;
    notifyOnClose = true;
    // Another request is no sign of life from the server.
    if (pipeline.empty()) MarkProgress();
    Drive(RequestArticleReq);
}

void CNntpSession::ListOverview(plat::WindowHandle window, unsigned message, std::int64_t first,
                                std::int64_t last) {
    listFirst = first;
    listLast = last;
    Request(window, message, OverviewReq);
}

void CNntpSession::DropArticles() {
    for (PipelinedArticle& article : pipeline) article.drop = true;
}

void CNntpSession::PostArticle(plat::WindowHandle window, unsigned message,
                               plat::TextReader* input) {
    requestedInput = input;
    Request(window, message, PostReq);
}

void CNntpSession::Quit(plat::WindowHandle window, unsigned message) {
    Request(window, message, QuitReq);
}

void CNntpSession::Close(plat::WindowHandle window, unsigned message, bool notify) {
    owner = window;
    notifyMessage = message;
    notifyOnClose = notify;
    Drive(CloseReq);
}

// ---- States ----
//
// A handler returns 1 after it has installed a new state (the drive then
// enters it) and 0 to stop. Rows not listed in a table are ignored.

// Opening: any event -> start the connection manager; OpenWait.
int CNntpSession::Opening(int) {
    if (serverConfig.host.size() >= kPathSize) return Break("Host name too long", false);
    if (serverConfig.security < SecurityNone || serverConfig.security > SecurityStartTls)
        return SecurityBreak("Security must be none, tls or starttls", false);
    // OpenWait is current before Start runs, so that a report made from
    // within Start finds the state that handles it.
    state.Set(&CNntpSession::OpenWait);
    StartConnection();
    return 1;
}

// OpenWait
//   ConnectOk   -                                   Greeting
//   Fault       break (connection failed)           Ended
//   CloseReq    cancel the attempt; Closed          Closing
int CNntpSession::OpenWait(int event) {
    switch (event) {
        case ConnectOk:
            return Go(serverConfig.security == SecurityTls ? &CNntpSession::Handshaking
                                                           : &CNntpSession::Greeting);
        case Fault: {
            char reason[64];
            std::snprintf(reason, sizeof reason, "Connection failed (error %d)", connMgr.lastError);
            return Break(reason, false);
        }
        case CloseReq:
            CancelConnection();
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// Greeting: as UserReply, except that a positive greeting is kept for the
// success notification and followed by MODE READER.
//   Reply2                        keep the line                ModeCommand
int CNntpSession::Greeting(int event) {
    if (event == Reply2) {
        std::snprintf(greetingLine, sizeof greetingLine, "%s", currentLine);
        // A STARTTLS connection is secured before anything else is said.
        if (serverConfig.security == SecurityStartTls && !tls.Secured())
            return Go(&CNntpSession::CapaCommand);
        return Go(&CNntpSession::ModeCommand);
    }
    if (serverConfig.security == SecurityNone && !tls.Active()) {
        // A TLS port says nothing until it hears a handshake, or answers
        // text with an alert record.
        const unsigned char first = static_cast<unsigned char>(currentLine[0]);
        if ((event == Fault || event == Overflow) && (first == 0x15 || first == 0x16))
            return SecurityBreak("the server speaks TLS on this port but Security is none", false);
        if (event == TimedOut && !receivedAny) {
            std::snprintf(securityProblem, sizeof securityProblem,
                          "TLS: no greeting from the server; if this port speaks TLS (as 563 "
                          "does), set Security to tls");
        }
    }
    return UserReply(event);
}

// ModeCommand: a command state (see below) that sends "MODE READER".
int CNntpSession::ModeCommand(int event) {
    switch (event) {
        case Enter:
            std::strcpy(commandBuffer, "MODE READER\r\n");
            return SendCommand(&CNntpSession::ModeReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// ModeReply: a server in transit mode serves groups only after MODE READER;
// one that does not know the command refuses it, which changes nothing. So
// any answer completes the connect, reported with the greeting.
//   Reply1-5, Fault, Overflow     post (Success, greeting)     Ready
//   LinkLost, TimedOut            break                        Ended
//   CloseReq                      Closed                       Closing
int CNntpSession::ModeReply(int event) {
    switch (event) {
        case Reply1:
        case Reply2:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
        case Overflow:
            Notify(ResultSuccess, reinterpret_cast<plat::LParam>(greetingLine));
            return Go(&CNntpSession::Ready);
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

// UserReply, PassReply
//   Reply2                        post (Success, reply line)   Ready
//   Reply1/3/4/5, Fault           refuse                       Ready
//   Overflow                      break, QUIT first            Abandoning
//   LinkLost, TimedOut            break                        Ended
//   CloseReq                      Closed                       Closing
int CNntpSession::UserReply(int event) {
    switch (event) {
        case Reply2:
            Notify(ResultSuccess, reinterpret_cast<plat::LParam>(currentLine));
            return Go(&CNntpSession::Ready);
        case Reply1:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
            closeResult = ResultFailure;
            return Refuse();
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

int CNntpSession::PassReply(int event) {
    return UserReply(event);
}

// Ready
//   LinkLost                      close the socket             LinkDown
//   CloseReq                      Closed                       Closing
//   UserReq ... PostReq           -                            the command state
//   ListArticlesReq               -                            ListArticlesCommand
//   RequestArticleReq             send ARTICLE                 PipelineReply
//   CompressReq                   -                            CompressCommand
int CNntpSession::Ready(int event) {
    switch (event) {
        case LinkLost:
            // No exchange is running, so nobody is told now; the next
            // request hears it.
            Disconnect();
            return Go(&CNntpSession::LinkDown);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        case UserReq:
            return Go(&CNntpSession::UserCommand);
        case PassReq:
            return Go(&CNntpSession::PassCommand);
        case GroupReq:
            return Go(&CNntpSession::GroupCommand);
        case NextReq:
            return Go(&CNntpSession::NextCommand);
        case QuitReq:
            return Go(&CNntpSession::QuitCommand);
        case ArticleReq:
            return Go(&CNntpSession::ArticleCommand);
        case ListReq:
            return Go(&CNntpSession::ListCommand);
        case PostReq:
            return Go(&CNntpSession::PostCommand);
        case ListArticlesReq:
            return Go(&CNntpSession::ListArticlesCommand);
        case RequestArticleReq:
            return SendPipelined();
        case OverviewReq:
            return Go(&CNntpSession::OverviewCommand);
        case CompressReq:
            return Go(&CNntpSession::CompressCommand);
        default:
            return 0;
    }
}

// LinkDown: the server closed the connection while no exchange ran.
//   UserReq ... PostReq (not Quit) break (connection lost)      Ended
//   QuitReq                        Success                      Closing
//   CloseReq                       Closed                       Closing
int CNntpSession::LinkDown(int event) {
    switch (event) {
        case UserReq:
        case PassReq:
        case GroupReq:
        case NextReq:
        case ArticleReq:
        case ListReq:
        case PostReq:
        case ListArticlesReq:
        case RequestArticleReq:
        case OverviewReq:
        case CompressReq:
            return Break(kConnectionLost, false);
        case QuitReq:
            closeResult = ResultSuccess;
            return Go(&CNntpSession::Closing);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// Command states (and ListCommand, ArticleCommand, PostCommand)
//   Enter       send the command: sent or queued               the reply state
//               argument does not fit: refuse locally          Ready
//               send error: break                              Ended
//   LinkLost    break                                          Ended
//   CloseReq    Closed                                         Closing
int CNntpSession::UserCommand(int event) {
    switch (event) {
        case Enter:
            if (!ArgumentFits(userName, kNameSize - 1))
                return RefuseLocally("User name too long or not a single line");
            std::snprintf(commandBuffer, sizeof commandBuffer, "AUTHINFO USER %s\r\n",
                          userName.c_str());
            return SendCommand(&CNntpSession::UserReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::PassCommand(int event) {
    switch (event) {
        case Enter:
            if (!ArgumentFits(password, kNameSize - 1))
                return RefuseLocally("Password too long or not a single line");
            std::snprintf(commandBuffer, sizeof commandBuffer, "AUTHINFO PASS %s\r\n",
                          password.c_str());
            return SendCommand(&CNntpSession::PassReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::GroupCommand(int event) {
    switch (event) {
        case Enter:
            if (!ArgumentFits(groupName, kMaxGroupName))
                return RefuseLocally("Group name too long or not a single line");
            std::snprintf(commandBuffer, sizeof commandBuffer, "GROUP %s\r\n",
                          groupName.c_str());
            return SendCommand(&CNntpSession::GroupReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::NextCommand(int event) {
    switch (event) {
        case Enter:
            std::strcpy(commandBuffer, "NEXT\r\n");
            return SendCommand(&CNntpSession::NextReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// GroupReply, NextReply
//   Reply2                        read the numbers; post Success  Ready
//   Reply4                        refuse                          Ready
//   Reply1/3/5, Fault, Overflow   break, QUIT first               Abandoning
//   LinkLost, TimedOut            break                           Ended
//   CloseReq                      Closed                          Closing
int CNntpSession::GroupReply(int event) {
    if (event == Reply2) {
        // "211 count first last group". Without both numbers the reply says
        // nothing about the group; the previous group's must not stand in.
        const char* p = currentLine;
        std::int64_t field[4] = {};
        bool read = true;
        for (std::int64_t& value : field) read = read && ReadNumber(p, value);
        articleCount = read ? field[1] : -1;
        firstArticle = read ? field[2] : -1;
        lastArticle = read ? field[3] : -1;
        Notify(ResultSuccess, reinterpret_cast<plat::LParam>(currentLine));
        return Go(&CNntpSession::Ready);
    }
    return ReplyState(event);
}

int CNntpSession::NextReply(int event) {
    if (event == Reply2) {
        const char* p = currentLine;
        std::int64_t code = 0;
        std::int64_t number = 0;
        currentArticle = ReadNumber(p, code) && ReadNumber(p, number) ? number : -1;
        Notify(ResultSuccess, static_cast<plat::LParam>(currentArticle));
        return Go(&CNntpSession::Ready);
    }
    return ReplyState(event);
}

}  // namespace nntp
