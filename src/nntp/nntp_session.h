// The program's NNTP client: one object, reused for every connection, that
// the main window drives through operations and that reports every outcome
// by a message posted to the window (result in wParam, data in lParam).
//
// Inside it is a state machine whose states are member handlers; events come
// from the operations, from the reply reader (reply lines, data lines,
// connection loss, completed sends) and from the connection manager.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "net/conn_mgr.h"
#include "net/deferred_call.h"
#include "net/deflate_layer.h"
#include "net/state_drive.h"
#include "net/stream_socket.h"
#include "net/tls_layer.h"
#include "nntp/server_config.h"
#include "spool/spool_paths.h"
#include "platform/files.h"
#include "platform/message_loop.h"

namespace nntp {

// The wParam of every notification. Only ResultSuccess means success.
enum SessionResult : int {
    ResultClosed = 0,     // the session was closed by Close
    ResultSuccess = 1,    // the exchange succeeded (also: QUIT answered or connection closed)
    ResultFailure = 2,    // the server refused the request; lParam: its reply line;
                          // the connection stays usable
    ResultSendError = 3,  // kept for its value; the session reports send errors as ResultBroken
    ResultBroken = 4,     // the exchange did not complete and the connection has been ended;
                          // lParam: the reply line that broke it or a text of ours
    ResultRefusedLocally = 5,  // the session refused the request itself and sent nothing;
                               // lParam: why; the connection stays usable
};

// The data of a successful FetchArticle notification. Allocated by the
// session; the receiver owns the record and its path and releases both with
// ReleaseArticleSaved.
struct ArticleSaved {
    std::int64_t articleNumber;  // the number FetchArticle asked for
    char* path;                  // the file that holds the article
};

void ReleaseArticleSaved(ArticleSaved* record);

// The data of a RequestArticle notification (ResultSuccess or ResultFailure).
// Allocated by the session; the receiver owns it and deletes it.
struct ArticleAnswer {
    std::int64_t articleNumber = 0;  // the number RequestArticle asked for
    std::string path;                // the file that holds the article; empty when none was stored
    std::string reply;               // ResultFailure: the server's refusal
    // The answer to RequestHead: its header lines, each ending in "\n",
    // dot-stuffing undone, at most kMaxHeadBytes of them.
    bool head = false;
    std::string headers;
};

// One line of an OVER reply (RFC 3977 8.3): the article's number and the
// overview's fields, each at most kMaxOverviewField characters.
struct OverviewEntry {
    std::int64_t number = 0;
    std::string subject, from, date, messageId, references;
    std::int64_t bytes = -1;  // -1: the field held no number
    std::int64_t lines = -1;
    bool operator==(const OverviewEntry&) const = default;
};

// Consecutive article numbers first..last, as ListArticles reports them.
struct ArticleRun {
    std::int64_t first = 0;
    std::int64_t last = 0;
    bool operator==(const ArticleRun&) const = default;
};

class CNntpSession : public net::CConnectClient, public net::CStreamClient {
public:
    enum SessionEvent : int {
        Enter = 0,
        ConnectOk = 1,
        LinkLost = 2,
        DataLine = 3,  // a data line, or the last piece of one (lineContinued)
        DataEnd = 4,
        Reply1 = 5,
        Reply2 = 6,
        Reply3 = 7,
        Reply4 = 8,
        Reply5 = 9,
        Fault = 10,
        CloseReq = 11,
        GroupReq = 12,
        NextReq = 13,
        HeadReq = 14,  // reserved; nothing raises it
        ArticleReq = 15,
        QuitReq = 16,
        ListReq = 17,
        PostReq = 18,
        Writable = 19,
        UserReq = 20,
        PassReq = 21,
        // A data line longer than the receive buffer is handed on in pieces:
        // every piece but the last arrives as DataPart, the last as DataLine.
        DataPart = 22,
        // A reply line (outside multi-line mode) that does not fit the
        // receive buffer; the reader skips the rest of it.
        Overflow = 23,
        // The exchange has made no progress for replyTimeoutMs.
        TimedOut = 24,
        // The TLS handshake ended: the channel is secured and verified, or
        // it failed (the cause in SecurityProblem()).
        SecureOk = 25,
        SecureFailed = 26,
        ListArticlesReq = 27,
        RequestArticleReq = 28,
        OverviewReq = 29,
        CompressReq = 30,
    };

    // How the connection is secured.
    enum Security : int {
        SecurityNone = 0,      // plain
        SecurityTls = 1,       // TLS from the first byte
        SecurityStartTls = 2,  // plain greeting, then STARTTLS; never falls back
    };

    // When StartCompression sends COMPRESS DEFLATE (RFC 8054).
    enum Compress : int {
        CompressOff = 0,   // never
        CompressOn = 1,    // always
        CompressAuto = 2,  // when the server's capability list names it
    };

    static constexpr int kReceiveSize = 2048;
    // A command line may hold 512 octets with its CR LF (RFC 3977 3.1).
    static constexpr int kCommandSize = 512 + 1;
    static constexpr int kPathSize = 256;
    static constexpr int kNameSize = 30;
    // Every name the registry takes can be sent: the longest command that
    // carries one is "LISTGROUP <name> <first>-<last>".
    static constexpr int kMaxGroupName = static_cast<int>(spool::kMaxGroupName);
    static_assert(sizeof "LISTGROUP " - 1 + kMaxGroupName + sizeof " -\r\n" - 1 + 2 * 19 <
                  kCommandSize);
    static constexpr int kMaxPostLine = 197;   // a posted line with CR LF (and a stuffed dot)
    // What is kept of a HEAD answer and of an overview field; the rest is
    // read and dropped, so that a hostile server cannot fill the memory.
    static constexpr std::size_t kMaxHeadBytes = 65536;
    static constexpr std::size_t kMaxOverviewField = 4096;
    // An OVER request covers at most this many article numbers.
    static constexpr std::int64_t kMaxOverviewRange = 1000;

    CNntpSession();
    CNntpSession(const CNntpSession&) = delete;
    CNntpSession& operator=(const CNntpSession&) = delete;

    void ConnectCallback(std::uint32_t clientValue, net::ConnectResult result) override;
    // Performs Close without window or notification.
    ~CNntpSession() override;
    void StreamCallback(std::uint32_t cookie, net::StreamEvent kind, int error,
                        const void* data) override;

    // Operations. Each stores owner and message (and sets the close
    // notification flag, except Close, which takes it) and drives its event.
    // A request that the current state does not accept sends and posts
    // nothing, but has replaced owner, message and the flag all the same
    // (and nothing else: the running exchange goes on as it was).
    //
    // An accepted request is answered by exactly one notification (Close
    // without notice by none). lParam of a success:
    //   Connect                       the greeting line (a session buffer);
    //                                 MODE READER has been sent and answered;
    //                                 the server is kept for the connection
    //   SendUser, SendPass            the reply line (a session buffer)
    //   SelectGroup                   the reply line (a session buffer);
    //                                 firstArticle, lastArticle (and the
    //                                 estimate articleCount) updated, all
    //                                 -1 when the reply holds no readable pair
    //   NextArticle                   the article number (currentArticle),
    //                                 -1 when the reply holds none
    //   FetchArticle                  a new ArticleSaved; the receiver owns it
    //   ListGroups, PostArticle       0
    //   ListArticles                  0; listedArticles filled
    //   RequestArticle                a new ArticleAnswer (also with
    //                                 ResultFailure); the receiver owns it
    //   Quit                          0, once the connection is closed
    //   Close (notify set)            0, with ResultClosed
    // Every other result carries a text in the session, valid until the
    // session reads its next line (ResultFailure) or breaks again
    // (ResultBroken, ResultRefusedLocally); copy it to keep it. After
    // ResultBroken the connection is gone: the next exchange is Connect.
    void Connect(plat::WindowHandle window, unsigned message, const ServerConfig& server);
    void SendUser(plat::WindowHandle window, unsigned message);
    void SendPass(plat::WindowHandle window, unsigned message);
    void SelectGroup(plat::WindowHandle window, unsigned message);
    void NextArticle(plat::WindowHandle window, unsigned message);
    void FetchArticle(plat::WindowHandle window, unsigned message, std::int64_t number);
    void ListGroups(plat::WindowHandle window, unsigned message);
    // LISTGROUP of groupName for first-last: the articles the server has
    // there. A refusal of any kind (500 and 501 from a server without it
    // included) leaves the connection usable; so does a local refusal when
    // the command does not fit.
    void ListArticles(plat::WindowHandle window, unsigned message, std::int64_t first,
                      std::int64_t last);
    // ARTICLE number, stored into path, without waiting for the answers to
    // the requests still out (pipelining): the answers are read in order
    // and each request gets its own notification, in the order of the
    // requests. GROUP and the others wait until every answer is in.
    void RequestArticle(plat::WindowHandle window, unsigned message, std::int64_t number,
                        std::string path);
    // HEAD number, pipelined as RequestArticle and answered in the same
    // order with an ArticleAnswer whose head is set (headers filled on
    // success).
    void RequestHead(plat::WindowHandle window, unsigned message, std::int64_t number);
    // OVER first-last of the selected group (at most kMaxOverviewRange
    // numbers): success fills overview; any refusal (500 from a server
    // without OVER) leaves the connection usable.
    void ListOverview(plat::WindowHandle window, unsigned message, std::int64_t first,
                      std::int64_t last);
    // The answers to the requests still out are read but not stored (an
    // article already being stored is finished): each is still notified,
    // one not stored with an empty path.
    void DropArticles();
    // Requests whose notification has not been posted yet.
    std::size_t ArticlesOut() const { return pipeline.size(); }
    // The stream is read (twice: checked first, then sent) but neither
    // opened nor closed; keep it open until the notification.
    void PostArticle(plat::WindowHandle window, unsigned message, plat::TextReader* input);
    // COMPRESS DEFLATE as serverConfig.compress says, meant for after the
    // login, so that the credentials never travel compressed. Auto sends
    // it when the capability list read on this connection names COMPRESS
    // DEFLATE, and asks CAPABILITIES first when none that still holds has
    // been read. Success (0): Compressed() tells whether the link is now
    // compressed; a refusal (ResultFailure, the reply line) leaves it
    // usable and uncompressed.
    void StartCompression(plat::WindowHandle window, unsigned message);
    void Quit(plat::WindowHandle window, unsigned message);
    void Close(plat::WindowHandle window, unsigned message, bool notify);

    // Written by the session on success, read by the owner afterwards.
    // Article numbers are 64-bit: servers run past 2^31 - 1.
    std::int64_t lastArticle = 0;
    std::int64_t firstArticle = 0;
    std::int64_t articleCount = 0;
    std::int64_t currentArticle = 0;
    // ListArticles: the listed numbers within the range asked for, in order,
    // each once, whatever order the server gave them in. A list of more
    // than kMaxListedRuns runs is refused (ResultFailure): its memory would
    // be the server's to choose.
    std::vector<ArticleRun> listedArticles;
    static constexpr std::size_t kMaxListedRuns = 1 << 20;
    // ListOverview: the lines within the range asked for, as they came.
    std::vector<OverviewEntry> overview;
    // PostArticle: the whole article went out, so a refusal is the server's
    // verdict on it rather than on the request.
    bool articleSent = false;
    // Written by the owner before the operation that uses them. A value
    // too long for its command or path is refused, never shortened: names
    // up to kNameSize - 1 characters, a group name up to kMaxGroupName,
    // directories below kPathSize.
    std::int32_t fileNumber = 0;
    std::string articleDir;
    std::string groupName;
    std::string userName;
    std::string password;
    // The spool directory, which receives groups.txt; before ListGroups.
    std::string spoolDir;
    // How long an exchange may go without progress (nothing received while
    // a reply or data is awaited, nothing sent while a post waits for the
    // socket) before it is broken off: (ResultBroken, a reason) as for a
    // lost connection. 0: no limit. Applies from the next check.
    std::uint32_t replyTimeoutMs = 120000;

    // Why the last connect failed when the cause was the secured channel
    // (or its absence); empty otherwise. Valid until the next Connect.
    const char* SecurityProblem() const { return securityProblem; }
    // The link is compressed (from the 206 answer to its end).
    bool Compressed() const { return deflate.Active(); }
    const net::CDeflateLayer& Compression() const { return deflate; }

protected:
    using Handler = int (CNntpSession::*)(int event);

    // The session's only ways into the network layer. A session driven from
    // memory overrides them (and calls the two callbacks itself).
    virtual void StartConnection();
    virtual void CancelConnection();
    virtual int SendBytes(const void* buffer, int length);
    virtual int ReceiveBytes(void* buffer, int& length);
    virtual void CloseConnection();

    // Hands one event to the current state.
    virtual void Drive(int event);

    SessionResult closeResult = ResultClosed;
    net::CConnMgr connMgr;
    net::CStreamSocket stream;
    char receiveBuffer[kReceiveSize];
    std::int32_t receiveCount = 0;
    char currentLine[kReceiveSize] = {};
    char commandBuffer[kCommandSize] = {};
    net::StateDrive<CNntpSession> state{&CNntpSession::Ended};
    char filePath[kPathSize] = {};
    bool notifyOnClose = false;
    plat::TextWriter outputFile;
    plat::WindowHandle owner = 0;
    unsigned notifyMessage = 0;
    bool multiLine = false;
    std::int64_t articleNumber = 0;
    plat::TextReader* inputStream = nullptr;
    bool waitingWritable = false;
    // The arguments of FetchArticle and PostArticle, taken over by the
    // command state only once the request is accepted: a refused request
    // must not change the exchange that is running.
    std::int64_t requestedArticle = 0;
    plat::TextReader* requestedInput = nullptr;
    // commandBuffer sits in the socket's send queue (Send returned 10035)
    // and must not change until its SendDone.
    bool commandQueued = false;

    // Reader bookkeeping beyond the line itself.
    int currentLength = 0;       // bytes in currentLine (data lines may hold NULs)
    bool lineContinued = false;  // currentLine continues a data line handed on before
    bool skippingLine = false;   // discarding the rest of an over-long reply line
    // The text a ResultBroken or ResultRefusedLocally notification points at;
    // unlike currentLine it survives the lines that arrive after the break.
    char reasonText[kReceiveSize] = {};
    // The greeting, which the connect reports once MODE READER is answered.
    char greetingLine[kReceiveSize] = {};
    std::string postLine;  // one line of the article being posted
    // LIST is written here and renamed to filePath once complete, so that
    // a list cut off on its way never replaces a whole one.
    std::string listTemp;

    // One ARTICLE of a pipelined fetch, from its request until its answer
    // has been read.
    struct PipelinedArticle {
        std::int64_t number = 0;
        std::string path;
        bool drop = false;    // read the answer, store nothing
        bool queued = false;  // the command waits in the socket's send queue
        bool head = false;    // HEAD rather than ARTICLE
        std::string headers;  // HEAD: the lines read so far
        char command[32] = {};
    };
    // Oldest first. Entries are removed only once answered or with the
    // socket, which may hold their commands until then.
    std::deque<PipelinedArticle> pipeline;
    std::int64_t requestedNumber = 0;
    std::string requestedPath;
    bool requestedHead = false;
    std::string overviewLine;  // an OVER line whose pieces are still arriving
    std::int64_t listFirst = 0;
    std::int64_t listLast = 0;
    bool listInOrder = true;
    bool listOverflow = false;

    // The server of the current connection, as Connect was given it.
    ServerConfig serverConfig;
    net::CTlsLayer tls;
    bool startTlsOffered = false;  // the capability list named STARTTLS
    bool receivedAny = false;      // something arrived on this connection
    char securityProblem[kReceiveSize] = {};
    net::CDeflateLayer deflate;
    // A capability list was read on this connection since anything that
    // changes it (TLS, MODE READER on a server not yet reading), and what
    // it said of COMPRESS DEFLATE.
    bool capabilitiesRead = false;
    bool compressOffered = false;
    bool readerListed = false;

    // Watches the waiting states for a server that has gone silent: checked
    // after every poll of the loop, acted on through a deferred call so that
    // the timeout reaches the states through dispatch like every event.
    class SilenceWatch : public plat::LoopSource {
    public:
        explicit SilenceWatch(CNntpSession& session) : session_(session) {}
        void Collect(std::vector<plat::PollFd>& fds, int& timeoutMs) override;
        void Dispatch(const plat::PollFd* fds, std::size_t count) override;

    private:
        CNntpSession& session_;
    };
    std::uint64_t lastProgressMs = 0;  // when the exchange last moved
    SilenceWatch silenceWatch{*this};
    net::CDeferredCall silenceCall{&CNntpSession::OnSilenceCall, this};

    // States (one handler per state; see the .cpp files for their tables).
    int Opening(int event);
    int OpenWait(int event);
    int Greeting(int event);
    int ModeCommand(int event);
    int ModeReply(int event);
    int UserCommand(int event);
    int UserReply(int event);
    int PassCommand(int event);
    int PassReply(int event);
    int Ready(int event);
    int LinkDown(int event);
    int GroupCommand(int event);
    int GroupReply(int event);
    int NextCommand(int event);
    int NextReply(int event);
    int QuitCommand(int event);
    int QuitReply(int event);
    int Closing(int event);
    int Ended(int event);
    int Abandoning(int event);
    int ListCommand(int event);
    int ListReply(int event);
    int ListData(int event);
    int ArticleCommand(int event);
    int ArticleReply(int event);
    int ArticleData(int event);
    int PostCommand(int event);
    int PostReply(int event);
    int PostData(int event);
    int PostResult(int event);
    int Handshaking(int event);
    int CapaCommand(int event);
    int CapaReply(int event);
    int CapaData(int event);
    int StartTlsCommand(int event);
    int StartTlsReply(int event);
    int ListArticlesCommand(int event);
    int ListArticlesReply(int event);
    int ListArticlesData(int event);
    int PipelineReply(int event);
    int PipelineData(int event);
    int PipelineHeadData(int event);
    int OverviewCommand(int event);
    int OverviewReply(int event);
    int OverviewData(int event);
    int CompressCommand(int event);
    int CompressReply(int event);
    int CompressCapaCommand(int event);
    int CompressCapaReply(int event);
    int CompressCapaData(int event);

private:
    // The exchange moved: a request went out, bytes arrived or were sent.
    void MarkProgress();
    // True in the states that wait on the server.
    bool Watching() const;
    // Milliseconds until the current wait is overdue (0 when it is).
    std::uint64_t SilenceLeft() const;
    static void OnSilenceCall(void* context);
    const char* SilenceReason();
    void Request(plat::WindowHandle window, unsigned message, int event);
    bool Notify(SessionResult result, plat::LParam data);
    int Go(Handler next);
    int Refuse();
    int RefuseLocally(const char* reason);
    // Every exchange that ends without its result ends here, so a give-up
    // on a silent server needs nothing else.
    int Break(const char* reason, bool quitFirst);
    // A break whose cause is the secured channel: also kept for
    // SecurityProblem().
    int SecurityBreak(const std::string& why, bool quitFirst);
    int SendCommand(Handler replyState);
    // Sends commandBuffer (or its first length bytes) and notes whether the
    // socket keeps it queued; the result is that of the send.
    int SendCommandBuffer(int length);
    void Disconnect();
    // Drops the TLS and compression layers of the last connection.
    void ResetChannels();
    // A capability line: what the session looks for in it.
    void NoteCapability();
    // A lost connection's reason, told more exactly when the compressed
    // stream broke.
    const char* LostReason(const char* reason) const;
    int ReplyState(int event);

    bool PreparePath(const std::string& path);
    int StartData(Handler dataState);
    int StoreData(bool wholeLine);
    int WriteFailed();
    int AnsweredOutOfStep(std::int64_t asked);
    int Pump();
    bool CheckArticle();

    void RequestPipelined(plat::WindowHandle window, unsigned message, std::int64_t number,
                          std::string path, bool head);
    // Appends the requested article to the pipeline and sends its command.
    int SendPipelined();
    // An answer has been read: notify it and go on with the next one.
    int PipelineAnswered(SessionResult result, ArticleAnswer* answer);
    void NoteListed(std::int64_t number);
    void SortListed();
    void NoteOverview();
    // A SendDone for a buffer other than commandBuffer.
    void PipelineSent(const void* buffer, int error);

    void OnReadable();
    void ExtractLines();
    void DriveReply(int event);
    void TakeLine(int length);
    void Consume(int count);
};

}  // namespace nntp
