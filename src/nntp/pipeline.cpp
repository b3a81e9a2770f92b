// The pipelined fetch: LISTGROUP for the articles a range holds, and ARTICLE
// requests sent without waiting for the answers to those before them
// (RFC 3977 3.5). Answers come in the order of the requests, so the oldest
// request still out is the one the next answer belongs to.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "nntp/nntp_session.h"
#include "nntp/reply_fields.h"
#include "platform/wsa_errors.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kSendFailed = "Unable to send command";
constexpr const char* kOutOfStep = "The server answered a request it cannot have read";
constexpr const char* kListTooLong = "LISTGROUP listed more articles than are kept in memory";

// A data line of LISTGROUP as an article number: digits, nothing else but
// blanks around them.
bool ListedNumber(const char* text, int length, std::int64_t& number) {
    int i = 0;
    while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == length || text[i] < '0' || text[i] > '9') return false;
    number = 0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (number > (INT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
    return i == length;
}

}  // namespace

// ListArticlesCommand: a command state (nntp_session.cpp) that sends
// "LISTGROUP group first-last"; a line that would not fit is refused locally.
int CNntpSession::ListArticlesCommand(int event) {
    switch (event) {
        case Enter: {
            const int length =
                std::snprintf(commandBuffer, sizeof commandBuffer, "LISTGROUP %s %lld-%lld\r\n",
                              groupName.c_str(), static_cast<long long>(listFirst),
                              static_cast<long long>(listLast));
            if (groupName.size() > static_cast<std::size_t>(kMaxGroupName) || length < 0 ||
                length >= static_cast<int>(sizeof commandBuffer) ||
                groupName.find_first_of("\r\n") != std::string::npos) {
                commandBuffer[0] = '\0';
                return RefuseLocally("Group name too long to list its articles");
            }
            return SendCommand(&CNntpSession::ListArticlesReply);
        }
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// ListArticlesReply
//   211                           multi-line                   ListArticlesData
//   Reply4, Reply5                refuse (a server without     Ready
//                                 LISTGROUP or its range says
//                                 500 or 501)
//   other reply, Fault, Overflow  break, QUIT first            Abandoning
//   LinkLost, TimedOut            break                        Ended
//   CloseReq                      Closed                       Closing
int CNntpSession::ListArticlesReply(int event) {
    switch (event) {
        case Reply2:
            if (std::strncmp(currentLine, "211", 3) != 0) return Break(currentLine, true);
            multiLine = true;
            listedArticles.clear();
            listInOrder = true;
            listOverflow = false;
            return Go(&CNntpSession::ListArticlesData);
        case Reply5:
            return Refuse();
        default:
            return ReplyState(event);
    }
}

// ListArticlesData
//   DataLine    note the number when it lies in the range
//   DataEnd     post Success (too many runs: Failure)       Ready
//   LinkLost, TimedOut   break                               Ended
//   CloseReq    Closed                                       Closing
int CNntpSession::ListArticlesData(int event) {
    std::int64_t number = 0;
    switch (event) {
        case DataLine:
            if (lineContinued == 0 && ListedNumber(currentLine, currentLength, number))
                NoteListed(number);
            return 0;
        case DataEnd:
            multiLine = false;
            if (listOverflow) {
                listedArticles.clear();
                Notify(ResultFailure, reinterpret_cast<plat::LParam>(kListTooLong));
                return Go(&CNntpSession::Ready);
            }
            if (!listInOrder) SortListed();
            Notify(ResultSuccess, 0);
            return Go(&CNntpSession::Ready);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            multiLine = false;
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// Numbers outside the range asked for (a server that ignores the range)
// are passed over; runs of consecutive numbers take one entry.
void CNntpSession::NoteListed(std::int64_t number) {
    if (number < listFirst || number > listLast || listOverflow) return;
    if (!listedArticles.empty()) {
        ArticleRun& run = listedArticles.back();
        if (number >= run.first && number <= run.last) return;  // listed before
        if (number == run.last + 1) {
            run.last = number;
            return;
        }
        if (number < run.first) listInOrder = false;
    }
    if (listedArticles.size() >= kMaxListedRuns) {
        listOverflow = true;
        return;
    }
    listedArticles.push_back(ArticleRun{number, number});
}

// A list out of order (or with numbers repeated out of turn) still says
// which articles exist: in order, each once.
void CNntpSession::SortListed() {
    std::sort(listedArticles.begin(), listedArticles.end(),
              [](const ArticleRun& a, const ArticleRun& b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (const ArticleRun& run : listedArticles) {
        if (kept > 0 && run.first <= listedArticles[kept - 1].last + 1) {
            listedArticles[kept - 1].last = std::max(listedArticles[kept - 1].last, run.last);
            continue;
        }
        listedArticles[kept++] = run;
    }
    listedArticles.resize(kept);
}

// In Ready and in the pipeline states: the request joins the pipeline and
// its command goes out at once. Each entry keeps its own command text,
// since the socket may hold it queued while further commands follow.
int CNntpSession::SendPipelined() {
    PipelinedArticle& article = pipeline.emplace_back();
    article.number = requestedNumber;
    article.path = std::move(requestedPath);
    article.head = requestedHead;
    const int length =
        std::snprintf(article.command, sizeof article.command,
                      article.head ? "HEAD %lld\r\n" : "ARTICLE %lld\r\n",
                      static_cast<long long>(article.number));
    const int result = SendBytes(article.command, length);
    if (result == plat::wsa::WouldBlock) {
        article.queued = true;
    } else if (result != 0) {
        return Break(kSendFailed, false);
    }
    if (state.Is(&CNntpSession::Ready)) return Go(&CNntpSession::PipelineReply);
    return 0;
}

void CNntpSession::PipelineSent(const void* buffer, int error) {
    for (PipelinedArticle& article : pipeline) {
        if (article.command != buffer) continue;
        article.queued = false;
        // A command the socket gave up never reached the server.
        if (error != 0) Drive(LinkLost);
        return;
    }
}

int CNntpSession::PipelineAnswered(SessionResult result, ArticleAnswer* answer) {
    pipeline.pop_front();
    // Nobody can release an answer that never arrives.
    if (!Notify(result, reinterpret_cast<plat::LParam>(answer))) delete answer;
    return Go(pipeline.empty() ? &CNntpSession::Ready : &CNntpSession::PipelineReply);
}

// PipelineReply: the status line of the oldest request still out.
//   RequestArticleReq   send one more                           -
//   Reply2 naming another article: out of step, break            Ended
//   Reply2              open its file (dropped: none);          PipelineData
//                       multi-line
//                       cannot create: break, QUIT first        Abandoning
//   Reply4 (HEAD: 4, 5) post (Failure, an ArticleAnswer)        PipelineReply / Ready
//   Reply2 for a HEAD   multi-line                              PipelineHeadData
//   Reply1/3/5, Fault, Overflow   break, QUIT first             Abandoning
//   any reply while its command is still queued: out of step,   Ended
//                       break
//   LinkLost, TimedOut  break                                   Ended
//   CloseReq            Closed                                  Closing
int CNntpSession::PipelineReply(int event) {
    if (event == RequestArticleReq) return SendPipelined();
    const bool reply = event >= Reply1 && event <= Reply5;
    if (pipeline.empty()) return ReplyState(event);
    if ((reply || event == Fault || event == Overflow) && pipeline.front().queued)
        return Break(kOutOfStep, false);
    PipelinedArticle& article = pipeline.front();
    switch (event) {
        case Reply2:
            // An answer that belongs to another request means one went
            // unanswered: everything after it would land under the wrong
            // number.
            if (NamesAnotherArticle(currentLine, article.number))
                return AnsweredOutOfStep(article.number);
            multiLine = true;
            if (article.head) return Go(&CNntpSession::PipelineHeadData);
            if (article.drop) return Go(&CNntpSession::PipelineData);
            // Named where the write failures of a transfer are reported.
            std::snprintf(filePath, sizeof filePath, "%s", article.path.c_str());
            if (!outputFile.Open(article.path.c_str(), "w")) {
                std::snprintf(reasonText, sizeof reasonText, "Unable to create %s", filePath);
                return Break(reasonText, true);
            }
            return Go(&CNntpSession::PipelineData);
        case Reply5:
            // A server without HEAD says so with 500; the connection stays usable.
            if (!article.head) return ReplyState(event);
            [[fallthrough]];
        case Reply4: {
            auto* answer = new (std::nothrow) ArticleAnswer;
            if (answer == nullptr) return Break("Out of memory", true);
            answer->articleNumber = article.number;
            answer->reply = currentLine;
            answer->head = article.head;
            return PipelineAnswered(ResultFailure, answer);
        }
        default:
            return ReplyState(event);
    }
}

// PipelineData: the article of the oldest request.
//   RequestArticleReq   send one more                           -
//   DataPart, DataLine  write it (dropped before it began: pass over it)
//                       a write fails: break, QUIT first        Abandoning
//   DataEnd             close the file; post (Success, an       PipelineReply / Ready
//                       ArticleAnswer)
//   LinkLost, TimedOut  break                                   Ended
//   CloseReq            close the file; Closed                  Closing
int CNntpSession::PipelineData(int event) {
    PipelinedArticle& article = pipeline.front();
    switch (event) {
        case RequestArticleReq:
            return SendPipelined();
        // A drop that comes while an article is being stored leaves it to
        // be stored whole: the file is open, and its owner hears of it.
        case DataPart:
        case DataLine:
            return outputFile.IsOpen() ? StoreData(event == DataLine) : 0;
        case DataEnd: {
            multiLine = false;
            const bool stored = outputFile.IsOpen();
            if (stored && !outputFile.Close()) return WriteFailed();
            auto* answer = new (std::nothrow) ArticleAnswer;
            if (answer == nullptr) return Break("Out of memory", true);
            answer->articleNumber = article.number;
            if (stored) answer->path = std::move(article.path);
            return PipelineAnswered(ResultSuccess, answer);
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

}  // namespace nntp
