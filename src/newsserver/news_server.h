// A scriptable NNTP server for tests, benchmarks and the demo.
//
// It listens on a loopback port and serves groups of numbered articles held in
// memory, one thread per connection. Tests configure it before or while it
// runs (every member is thread-safe), script faults at chosen steps of the
// conversation, and read back what the client sent: the command lines, the
// posted articles, and counters of connections and writes.
//
// By default a reply with a body (ARTICLE, LIST) goes out in two writes, the
// status line and then the body, as real servers do, and TCP_NODELAY is set so
// that the server itself adds no Nagle delay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsrv {

namespace detail {
struct ServerState;
}

// One article. `text` is the whole article (header lines, an empty line, the
// body) with "\n" or "\r\n" line ends; the server sends it with CR LF line ends
// and dot-stuffing. The message-id in replies comes from the Message-ID header
// when there is one, otherwise "<number.group@qiv-testserver>".
struct Article {
    long number = 0;
    std::string text;
};

// A group as LIST and GROUP show it. Articles need not be in order.
struct Group {
    std::string name;
    std::vector<Article> articles;
    char postingFlag = 'y';  // the last field of the LIST line
};

// One scripted fault. A fault is tied to a step of the conversation:
//  - "GREETING": the server's first line on a new connection;
//  - a command: "AUTHINFO USER", "AUTHINFO PASS", "MODE READER", "GROUP",
//    "ARTICLE", "NEXT", "LIST", "POST", "QUIT", or the upper-cased first word
//    of any other command line (for example "HELP");
//  - "POST_LINE": the arrival of one line of an article being posted;
//  - "POST_DATA": the reply after the article's terminating "." line;
//  - "*": any step except POST_LINE.
// Occurrences of a step are counted over the server's whole life, across all
// connections, starting at 1 (the nth GREETING is the nth connection). A fault
// with `nth` 0 fires on every occurrence. When several faults match, the one
// added first wins; one fault acts per step.
//
// The normal reply of the step is built first (as a list of writes); the
// action then changes what is written:
//  - Close / Reset / Stall: write only the first `bytes` bytes of the normal
//    reply (0: nothing; kWhole: all of it), then close in an orderly way,
//    close with a reset (SO_LINGER 0), or stop answering (the server keeps
//    reading and discarding input until the client closes or the server stops).
//  - Reply: write `text` and CR LF instead of the normal reply.
//  - Split: write the normal reply in `pieces` writes of nearly equal size, or
//    cut at the byte offsets in `cuts`, pausing `pauseMs` between writes.
//  - Delay: wait `pauseMs` before writing the normal reply.
//  - OverlongLine: pad the status line with 'x' to `bytes` characters
//    (without its CR LF).
//  - TopBitBytes: insert the bytes E9 FF 80 A0 into the status line's text.
//  - Omit: write nothing and go on reading commands, as a server that lost
//    one request of a pipeline.
// The command itself is carried out as usual in every case (a GROUP whose
// reply was replaced still selects the group); only the bytes written change.
// POST reads the article only when the reply actually sent begins with '3'. A
// Reply at POST_LINE abandons the article being posted, so the lines that
// follow are read as commands again.
struct Fault {
    enum class Action {
        Close, Reset, Stall, Reply, Split, Delay, OverlongLine, TopBitBytes, Omit
    };
    static constexpr std::size_t kWhole = static_cast<std::size_t>(-1);

    std::string when;
    int nth = 0;
    Action action = Action::Close;
    std::string text;
    std::size_t bytes = 0;
    int pieces = 0;
    std::vector<std::size_t> cuts;
    int pauseMs = 0;

    static Fault Close(std::string when, int nth = 0);
    static Fault CloseAfter(std::string when, std::size_t bytes, int nth = 0);
    static Fault Reset(std::string when, int nth = 0);
    static Fault ResetAfter(std::string when, std::size_t bytes, int nth = 0);
    static Fault Stall(std::string when, int nth = 0);
    static Fault StallAfter(std::string when, std::size_t bytes, int nth = 0);
    static Fault Reply(std::string when, std::string text, int nth = 0);
    // A reply line that is no reply at all: it begins with neither a digit nor
    // anything else a client could classify.
    static Fault Nonsense(std::string when, int nth = 0);
    static Fault Split(std::string when, int pieces, int pauseMs, int nth = 0);
    static Fault SplitAt(std::string when, std::vector<std::size_t> cuts, int pauseMs, int nth = 0);
    static Fault Delay(std::string when, int pauseMs, int nth = 0);
    static Fault OverlongLine(std::string when, std::size_t length, int nth = 0);
    static Fault TopBitBytes(std::string when, int nth = 0);
    static Fault Omit(std::string when, int nth = 0);
};

// Parses the command-line form of a fault, "WHEN:NTH:ACTION[:ARG[:ARG]]", for
// example "ARTICLE:2:close-after:100", "GREETING:1:reply:400 busy",
// "NEXT:0:split:3:20", "POST_LINE:2:reset", "LIST:1:overlong:3000". Actions:
// close, close-after:N, reset, reset-after:N, stall, stall-after:N, reply:TEXT,
// nonsense, split:PIECES:MS, delay:MS, overlong:N, topbit, omit. Returns false on a
// malformed text.
bool ParseFault(const std::string& text, Fault* fault);

// What the server answers to MODE READER.
enum class ModeReader {
    Accept,   // 200 (201 when posting is refused)
    Unknown,  // 500, as a server that does not know the command
    Transit,  // GROUP, ARTICLE, NEXT and POST get "401 MODE-READER" until MODE READER
};

// What the server does with POST.
enum class Posting {
    Accept,  // 340, then 240 after the article
    Refuse,  // 440 posting not allowed
    Fail,    // 340, then 441 posting failed
    // As Accept, but an article whose Message-ID was taken before (answered
    // 2xx) gets "441 435 Duplicate", as INN answers it.
    AcceptOnce,
};

// TLS on the server's side.
enum class TlsMode {
    None,      // plain; CAPABILITIES names no STARTTLS, STARTTLS is unknown
    Implicit,  // every connection begins with the handshake (as port 563)
    StartTls,  // CAPABILITIES names STARTTLS until it has been used; 382, then the handshake
};

// COMPRESS DEFLATE (RFC 8054) on the server's side.
enum class CompressMode {
    None,       // not offered; COMPRESS is an unknown command
    Deflate,    // offered in CAPABILITIES; 206, then both directions compressed
    Refuse403,  // offered, but answered "403 unable to activate compression"
    Refuse502,  // offered, but answered "502 command unavailable"
};

// One article received through POST.
struct PostRecord {
    std::string text;       // dot-unstuffed lines, each followed by "\n" (CR LF removed)
    std::string raw;        // the bytes as received, terminating ".\r\n" included
    int replyCode = 0;      // code of the reply sent after it; 0 if none was sent
    bool complete = false;  // the terminating line arrived
};

class NewsServer {
public:
    NewsServer();
    ~NewsServer();  // stops the server
    NewsServer(const NewsServer&) = delete;
    NewsServer& operator=(const NewsServer&) = delete;

    // Binds 127.0.0.1 on `port` (0: an ephemeral port) and serves on a thread
    // of its own. False if the socket cannot be bound or the server runs.
    bool Start(std::uint16_t port = 0);
    // The same on another loopback address: "127.0.0.1" or "::1".
    bool StartOn(const std::string& address, std::uint16_t port = 0);
    // Closes the listening socket and every connection, and joins the threads.
    void Stop();
    std::uint16_t Port() const;

    // Configuration; may change while the server runs and applies from the
    // next step of each connection.
    // Greeting line "CODE TEXT". A code other than 2xx closes the connection
    // right after the greeting, as a server refusing service does.
    void SetGreeting(int code, const std::string& text);
    // Accounts user -> password. `required`: every command except AUTHINFO,
    // MODE READER and QUIT is answered 480 until the client has logged in.
    void SetAccounts(const std::map<std::string, std::string>& accounts, bool required = true);
    // Full reply lines (without CR LF) for AUTHINFO USER, for a PASS that
    // matches the account and for one that does not. Defaults: "381 password
    // required", "281 authentication accepted", "481 authentication failed".
    // A USER reply beginning with '2' logs the client in without a password.
    void SetAuthReplies(const std::string& userReply, const std::string& acceptReply,
                        const std::string& rejectReply);
    void SetModeReader(ModeReader mode);
    void SetPosting(Posting posting);
    // Two writes for status line and body (default), or one.
    void SetTwoWrites(bool on);
    // LISTGROUP [group [range]] (RFC 3977) is served by default; off, it is
    // answered "500 unknown command", as a server without it answers.
    void SetListGroup(bool on);
    // HEAD and OVER (RFC 3977) are served by default; off, each is answered
    // "500 unknown command" (and CAPABILITIES names no OVER).
    void SetHead(bool on);
    void SetOver(bool on);
    void SetNoDelay(bool on);  // TCP_NODELAY on accepted sockets (default on)
    // The certificate (PEM, chain allowed) and its key for TLS; false when
    // they cannot be used. Applies to connections accepted afterwards.
    // QUIT on a TLS connection ends with the TLS close; a Close fault does
    // not (a truncation, as a cut connection or an attacker makes it).
    bool SetTls(TlsMode mode, const std::string& certPem, const std::string& keyPem);
    // COMPRESS DEFLATE; applies from the next command of each connection.
    void SetCompress(CompressMode mode);
    // Corrupts a compressed stream: the first write of a connection that
    // begins at or beyond `bytes` compressed bytes goes out as 0xFF bytes
    // (an invalid block type, which no inflater accepts), and so does every
    // write after it. kWhole (the default): never.
    void CorruptCompressedAfter(std::size_t bytes);
    // Connections on which compression began (206 sent), and the bytes the
    // server has sent on them before and after compressing.
    int CompressStarts() const;
    std::uint64_t CompressPlainBytes() const;
    std::uint64_t CompressWireBytes() const;
    // Completed handshakes, and the server name the last one asked for
    // (SNI; empty when none was sent).
    int TlsHandshakes() const;
    std::string LastServerName() const;

    // Groups, replaced by name; may change while the server runs.
    void AddGroup(const Group& group);
    bool RemoveGroup(const std::string& name);
    void AddArticle(const std::string& group, const Article& article);  // creates the group
    bool RemoveArticle(const std::string& group, long number);
    // Removes an article as a cancel does on a real server: GROUP goes on
    // reporting its number as the group's last while no higher one exists.
    bool CancelArticle(const std::string& group, long number);
    // Adds `count` articles of about `size` bytes each, numbered from
    // `firstNumber` in steps of `stride`, to `group` (created if needed).
    // Article n has the subject "Article n of group" and a Message-ID; its
    // text is deterministic.
    void GenerateArticles(const std::string& group, long count, std::size_t size,
                          long firstNumber = 1, long stride = 1);
    // A few small groups for the demo and manual testing.
    void AddDemoGroups();
    // Loads DIR/<group name>/<number> files: every subdirectory is a group,
    // every file whose name is a decimal number an article. Returns the number
    // of articles loaded, or -1 if DIR cannot be read.
    long LoadDirectory(const std::string& dir);
    std::vector<std::string> GroupNames() const;

    // Faults.
    void AddFault(const Fault& fault);
    void ClearFaults();

    // Observations.
    int Connections() const;                    // connections accepted so far
    int OpenConnections() const;                // connections still open on the server's side
    std::vector<std::string> Commands() const;  // every command line received, in order
    long Writes() const;                      // write calls made so far (counted before each write)
    std::vector<std::string> Posted() const;  // texts of complete posts answered 2xx
    std::vector<PostRecord> PostLog() const;  // every post begun, in order
    // When set, every complete post answered 2xx is also written as
    // DIR/<n> (n = 1, 2, ...), its text as in Posted().
    void SetPostDirectory(const std::string& dir);
    // Stops answering from the nth command line of the server's life on (the
    // count Commands() shows, from 1), as a Stall would; 0 turns it off. A
    // test that kills the client mid-conversation uses it so that the client
    // cannot run past the moment it aims at, however fast the machine is.
    void StallFromCommand(std::size_t nth);

private:
    std::unique_ptr<detail::ServerState> state_;
};

// The text of a generated article, as GenerateArticles makes it.
std::string GeneratedArticleText(const std::string& group, long number, std::size_t size);

}  // namespace testsrv
