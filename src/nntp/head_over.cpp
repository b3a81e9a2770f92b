// What the filters decide on before an article is fetched: HEAD (pipelined
// like ARTICLE, the header lines kept in memory) and OVER for a range.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "nntp/nntp_session.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
// An overview line is kept up to its fields' bound; a longer one is cut.
constexpr std::size_t kMaxOverviewLine = 8 * CNntpSession::kMaxOverviewField;

bool ParseCount(const std::string& text, std::int64_t& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i == text.size()) return false;
    value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        if (value > (INT64_MAX - (c - '0')) / 10) return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

}  // namespace

// PipelineHeadData: the header lines of the oldest request, a HEAD.
//   RequestArticleReq   send one more                           -
//   DataPart, DataLine  keep it (up to kMaxHeadBytes)
//   DataEnd             post (Success, an ArticleAnswer)        PipelineReply / Ready
//   LinkLost, TimedOut  break                                   Ended
//   CloseReq            Closed                                  Closing
int CNntpSession::PipelineHeadData(int event) {
    PipelinedArticle& article = pipeline.front();
    switch (event) {
        case RequestArticleReq:
            return SendPipelined();
        case DataPart:
        case DataLine: {
            const int skip = (!lineContinued && currentLength > 0 && currentLine[0] == '.') ? 1 : 0;
            const std::size_t room = kMaxHeadBytes - std::min(kMaxHeadBytes, article.headers.size());
            // A line cut at the bound still ends, so that the next one
            // is not taken for its continuation.
            article.headers.append(currentLine + skip,
                                   std::min(room, static_cast<std::size_t>(currentLength - skip)));
            if (event == DataLine && article.headers.size() <= kMaxHeadBytes)
                article.headers += '\n';
            return 0;
        }
        case DataEnd: {
            multiLine = false;
            auto* answer = new (std::nothrow) ArticleAnswer;
            if (answer == nullptr) return Break("Out of memory", true);
            answer->articleNumber = article.number;
            answer->head = true;
            if (!article.drop) answer->headers = std::move(article.headers);
            return PipelineAnswered(ResultSuccess, answer);
        }
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

// OverviewCommand: a command state that sends "OVER first-last".
int CNntpSession::OverviewCommand(int event) {
    switch (event) {
        case Enter:
            if (listFirst < 0 || listLast < listFirst || listLast - listFirst >= kMaxOverviewRange)
                return RefuseLocally("No such overview range");
            std::snprintf(commandBuffer, sizeof commandBuffer, "OVER %lld-%lld\r\n",
                          static_cast<long long>(listFirst), static_cast<long long>(listLast));
            return SendCommand(&CNntpSession::OverviewReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// OverviewReply
//   224                           multi-line                   OverviewData
//   Reply4, Reply5                refuse (423: nothing in the  Ready
//                                 range; 500: no OVER)
//   other reply, Fault, Overflow  break, QUIT first            Abandoning
//   LinkLost, TimedOut            break                        Ended
//   CloseReq                      Closed                       Closing
int CNntpSession::OverviewReply(int event) {
    switch (event) {
        case Reply2:
            if (std::strncmp(currentLine, "224", 3) != 0) return Break(currentLine, true);
            multiLine = true;
            overview.clear();
            overviewLine.clear();
            return Go(&CNntpSession::OverviewData);
        case Reply5:
            return Refuse();
        default:
            return ReplyState(event);
    }
}

// OverviewData
//   DataPart            keep the piece
//   DataLine            note the line when its number lies in the range
//   DataEnd             post Success                                Ready
//   LinkLost, TimedOut  break                                       Ended
//   CloseReq            Closed                                      Closing
int CNntpSession::OverviewData(int event) {
    switch (event) {
        case DataPart:
        case DataLine:
            if (overviewLine.size() < kMaxOverviewLine)
                overviewLine.append(currentLine,
                                    std::min(static_cast<std::size_t>(currentLength),
                                             kMaxOverviewLine - overviewLine.size()));
            if (event == DataLine) {
                NoteOverview();
                overviewLine.clear();
            }
            return 0;
        case DataEnd:
            multiLine = false;
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

// "number TAB Subject TAB From TAB Date TAB Message-ID TAB References TAB
// bytes TAB lines [TAB more]". A line without a number in the range, or
// with fewer fields, is passed over: the article is then judged when its
// text arrives.
void CNntpSession::NoteOverview() {
    std::vector<std::string> fields;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t tab = overviewLine.find('\t', pos);
        const std::size_t end = tab == std::string::npos ? overviewLine.size() : tab;
        fields.push_back(overviewLine.substr(pos, std::min(end - pos, kMaxOverviewField)));
        if (tab == std::string::npos || fields.size() == 8) break;
        pos = tab + 1;
    }
    OverviewEntry entry;
    if (fields.size() < 8 || !ParseCount(fields[0], entry.number) || entry.number < listFirst ||
        entry.number > listLast)
        return;
    // The dot-stuffing of a line is undone in its first field only, which
    // is the number; a stuffed line would not hold one.
    entry.subject = std::move(fields[1]);
    entry.from = std::move(fields[2]);
    entry.date = std::move(fields[3]);
    entry.messageId = std::move(fields[4]);
    entry.references = std::move(fields[5]);
    if (!ParseCount(fields[6], entry.bytes)) entry.bytes = -1;
    if (!ParseCount(fields[7], entry.lines)) entry.lines = -1;
    overview.push_back(std::move(entry));
}

}  // namespace nntp
