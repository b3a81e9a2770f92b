// The multi-line exchanges: LIST into groups.txt, ARTICLE into a numbered
// .nws file, and POST from the caller's text stream, paced by the socket's
// send queue.
#include <cstdio>
#include <cstring>
#include <new>

#include "nntp/nntp_session.h"
#include "nntp/reply_fields.h"
#include "platform/wsa_errors.h"
#include "spool/spool_paths.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kSendFailed = "Unable to send command";
constexpr const char* kLineTooLong = "Reply line too long";
constexpr const char* kPostLineTooLong = "Article line longer than 197 characters";

// Sent ahead of a posted line that begins with a dot. A constant, because
// the socket may keep its address queued.
constexpr char kDot[] = ".";

bool Sent(int result) {
    return result == 0 || result == plat::wsa::WouldBlock;
}

// An empty directory input, or one too long for a path, names no place a
// path can be made from.
bool UsableDir(const std::string& dir) {
    return !dir.empty() && dir.size() < CNntpSession::kPathSize;
}

}  // namespace

// The file of a transfer is named before its command goes out, so that a
// request that could only write to the wrong place is refused unsent.
bool CNntpSession::PreparePath(const std::string& path) {
    if (path.size() >= sizeof filePath) return false;
    std::memcpy(filePath, path.c_str(), path.size() + 1);
    return true;
}

// ListCommand, ArticleCommand, PostCommand: the command-state table
// (nntp_session.cpp), with these commands.
int CNntpSession::ListCommand(int event) {
    switch (event) {
        case Enter:
            if (!UsableDir(spoolDir) || !PreparePath(spool::GroupListPath(spoolDir)))
                return RefuseLocally("No usable spool directory for the group list");
            listTemp = spool::GroupListTempPath(spoolDir);
            std::strcpy(commandBuffer, "LIST\r\n");
            return SendCommand(&CNntpSession::ListReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::ArticleCommand(int event) {
    switch (event) {
        case Enter:
            articleNumber = requestedArticle;
            if (!UsableDir(articleDir) || !PreparePath(spool::ArticlePath(articleDir, fileNumber)))
                return RefuseLocally("No usable article directory");
            std::snprintf(commandBuffer, sizeof commandBuffer, "ARTICLE %lld\r\n",
                          static_cast<long long>(articleNumber));
            return SendCommand(&CNntpSession::ArticleReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::PostCommand(int event) {
    switch (event) {
        case Enter:
            inputStream = requestedInput;
            articleSent = false;
            // A post that could not be finished must not begin: the server
            // would be left inside an unfinished article.
            if (!CheckArticle()) return RefuseLocally(reasonText);
            std::strcpy(commandBuffer, "POST\r\n");
            return SendCommand(&CNntpSession::PostReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// ListReply, ArticleReply
//   Reply2 naming another article (ArticleReply): break          Ended
//   Reply2                        open filePath; multi-line    ListData / ArticleData
//                                 cannot create: break, QUIT   Abandoning
//   other rows                    as GroupReply (ReplyState)
int CNntpSession::ListReply(int event) {
    if (event == Reply2) return StartData(&CNntpSession::ListData);
    return ReplyState(event);
}

int CNntpSession::ArticleReply(int event) {
    if (event == Reply2 && NamesAnotherArticle(currentLine, articleNumber))
        return AnsweredOutOfStep(articleNumber);
    if (event == Reply2) return StartData(&CNntpSession::ArticleData);
    return ReplyState(event);
}

int CNntpSession::StartData(Handler dataState) {
    // The data follows whatever becomes of the file; multi-line mode lets
    // Abandoning read past it.
    multiLine = true;
    const bool list = dataState == &CNntpSession::ListData;
    if (!outputFile.Open(list ? listTemp.c_str() : filePath, "w")) {
        std::snprintf(reasonText, sizeof reasonText, "Unable to create %s", filePath);
        return Break(reasonText, true);
    }
    return Go(dataState);
}

// ListData, ArticleData
//   DataPart    write the piece (first piece: without a leading '.')
//   DataLine    write the line (or its last piece), then a newline
//               a write fails: break, QUIT first            Abandoning
//   DataEnd     close the file; post Success (LIST: 0, once   Ready
//               groups.tmp is renamed groups.txt; ARTICLE: a
//               new ArticleSaved)
//               the file cannot be completed: break, QUIT   Abandoning
//   LinkLost, TimedOut   break                              Ended
//   CloseReq    close the file; Closed                      Closing
// A LIST that does not end with DataEnd removes its groups.tmp.
int CNntpSession::ListData(int event) {
    switch (event) {
        case DataPart:
            return StoreData(false);
        case DataLine:
            return StoreData(true);
        case DataEnd:
            multiLine = false;
            if (!outputFile.Close() || !plat::RenameReplace(listTemp, filePath))
                return WriteFailed();
            Notify(ResultSuccess, 0);
            return Go(&CNntpSession::Ready);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            multiLine = false;
            outputFile.Close();
            plat::DeleteFile(listTemp);
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::ArticleData(int event) {
    switch (event) {
        case DataPart:
            return StoreData(false);
        case DataLine:
            return StoreData(true);
        case DataEnd: {
            multiLine = false;
            if (!outputFile.Close()) return WriteFailed();
            const std::size_t length = std::strlen(filePath);
            ArticleSaved* saved = new (std::nothrow) ArticleSaved{articleNumber, nullptr};
            if (saved != nullptr) saved->path = new (std::nothrow) char[length + 1];
            if (saved == nullptr || saved->path == nullptr) {
                ReleaseArticleSaved(saved);
                return Break("Out of memory", true);
            }
            std::memcpy(saved->path, filePath, length + 1);
            // Nobody can release a record that never arrives.
            if (!Notify(ResultSuccess, reinterpret_cast<plat::LParam>(saved)))
                ReleaseArticleSaved(saved);
            return Go(&CNntpSession::Ready);
        }
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            multiLine = false;
            outputFile.Close();
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::StoreData(bool wholeLine) {
    // Dot-stuffing is undone at the start of a line only, never at the start
    // of a later piece of a long one.
    const int skip = (!lineContinued && currentLength > 0 && currentLine[0] == '.') ? 1 : 0;
    bool ok = outputFile.Write(currentLine + skip, static_cast<std::size_t>(currentLength - skip));
    if (wholeLine) ok = outputFile.Write("\n", 1) && ok;
    if (!ok) return WriteFailed();
    return 0;
}

int CNntpSession::WriteFailed() {
    std::snprintf(reasonText, sizeof reasonText, "Unable to write %s", filePath);
    return Break(reasonText, true);
}

// Nothing after such an answer can be matched to its request, so the link
// is given up without waiting for more.
int CNntpSession::AnsweredOutOfStep(std::int64_t asked) {
    std::snprintf(reasonText, sizeof reasonText, "Asked for article %lld, the server answered %.80s",
                  static_cast<long long>(asked), currentLine);
    return Break(reasonText, false);
}

// PostReply
//   Reply3                        (the server wants the article)  PostData
//   Reply1/2/4/5                  refuse                          Ready
//   Fault, Overflow               break, no QUIT (it may have     Ended
//                                 asked for the article); a line
//                                 that is no reply refuses
//                                 nothing, so the caller keeps
//                                 the article
//   LinkLost, TimedOut            break                           Ended
//   CloseReq                      Closed                          Closing
int CNntpSession::PostReply(int event) {
    switch (event) {
        case Reply3:
            return Go(&CNntpSession::PostData);
        case Reply1:
        case Reply2:
        case Reply4:
        case Reply5:
            return Refuse();
        case Fault:
            return Break(currentLine, false);
        case Overflow:
            return Break(kLineTooLong, false);
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

// PostData
//   Enter       waiting for the queue: stop; else run the pump
//   Writable    run the pump
//   Reply1..5, Fault,     break, no QUIT (the server would    Ended
//   Overflow              take it for a line of the article);
//                         whatever the server now thinks, the
//                         replies that follow cannot be trusted
//   LinkLost, TimedOut   break (a full socket that does not    Ended
//               drain for the timeout has timed out too)
//   CloseReq    Closed                                        Closing
int CNntpSession::PostData(int event) {
    switch (event) {
        case Enter:
            if (waitingWritable) return 0;
            return Pump();
        case Writable:
            return Pump();
        case Reply1:
        case Reply2:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
            return Break(currentLine, false);
        case Overflow:
            return Break(kLineTooLong, false);
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

// Sends at most one line; the drive repeats it (1 with the state unchanged
// means another Enter) until the input ends or the send queue is in use.
// commandBuffer is refilled only once the socket no longer holds it.
int CNntpSession::Pump() {
    if (inputStream == nullptr || !inputStream->HasMore()) {
        std::strcpy(commandBuffer, ".\r\n");
        if (!Sent(SendCommandBuffer(3))) return Break(kSendFailed, false);
        MarkProgress();  // the wait for the server's verdict starts now
        articleSent = true;
        state.Set(&CNntpSession::PostResult);
        return 0;
    }
    bool truncated = false;
    inputStream->ReadLine(postLine, kMaxPostLine + 2, &truncated);
    // CheckArticle refused such a line; only a file changed since can get here.
    if (truncated || postLine.size() > static_cast<std::size_t>(kMaxPostLine))
        return Break(kPostLineTooLong, false);
    int length = 0;
    for (const char c : postLine) {
        const char plain = static_cast<char>(c & 0x7F);  // 7-bit text
        if (plain == 0) break;
        // A line break inside the line (a stray CR, or 0x8A/0x8D made 7-bit)
        // would end it early: a "." or a command could reach the server.
        if (plain == '\r' || plain == '\n') continue;
        commandBuffer[length++] = plain;
    }
    commandBuffer[length++] = '\r';
    commandBuffer[length++] = '\n';
    commandBuffer[length] = '\0';
    if (commandBuffer[0] == '.' && !Sent(SendBytes(kDot, 1))) return Break(kSendFailed, false);
    const int result = SendCommandBuffer(length);
    if (result == 0) {
        MarkProgress();
        return 1;
    }
    if (result == plat::wsa::WouldBlock) {
        waitingWritable = true;
        return 1;
    }
    return Break(kSendFailed, false);
}

// Reads the whole article once before POST goes out: every line must fit.
// A stream that is not open posts an empty article, as one at its end does.
bool CNntpSession::CheckArticle() {
    if (inputStream == nullptr || !inputStream->IsOpen()) return true;
    if (!inputStream->Rewind()) {
        std::snprintf(reasonText, sizeof reasonText, "Unable to read the article");
        return false;
    }
    bool truncated = false;
    while (inputStream->ReadLine(postLine, kMaxPostLine, &truncated)) {
        if (truncated) {
            std::snprintf(reasonText, sizeof reasonText, "%s", kPostLineTooLong);
            inputStream->Rewind();
            return false;
        }
    }
    if (!inputStream->Rewind()) {
        std::snprintf(reasonText, sizeof reasonText, "Unable to read the article");
        return false;
    }
    return true;
}

// PostResult
//   Reply2                        Success; post Success         Ready
//   Reply1/3/4/5                  refuse                        Ready
//   Fault, Overflow               break, QUIT first: no verdict,   Abandoning
//                                 so the caller keeps the article
//   LinkLost, TimedOut            break                         Ended
//   CloseReq                      Closed                        Closing
int CNntpSession::PostResult(int event) {
    switch (event) {
        case Reply2:
            closeResult = ResultSuccess;
            Notify(ResultSuccess, 0);
            return Go(&CNntpSession::Ready);
        case Reply1:
        case Reply3:
        case Reply4:
        case Reply5:
            return Refuse();
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

}  // namespace nntp
