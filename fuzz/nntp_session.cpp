// The NNTP session fed arbitrary server bytes: the real CNntpSession with
// its network layer served from memory, started in the state the first
// byte chooses, then driven by a script of receives, completed sends,
// connection events and further operations taken from the input.
//
// Input: [op] [options] [n] [n script bytes] ([length] [article] if op is a
// post) [server bytes...]
//   op % 8:   0 greeting awaited, 1 GROUP, 2 ARTICLE, 3 LIST, 4 POST,
//             5 QUIT, 6 NEXT, 7 AUTHINFO USER (all but 0 after a 200 greeting)
//   options:  bits 0-1 send behaviour (0 at once, 1 queued, 2 queued every
//             other time, 3 error at send number bits 4-7 + 1);
//             bit 2 the post's article stream is left unopened;
//             bit 3 the transfer files cannot be created;
//             bit 6 the group, user and password arguments are unsendable;
//             bit 7 the server closes the connection after the last byte
//   script byte: kind (top two bits) and value (low six):
//             0 receive v+1 server bytes (v < 32), (v-31)*64 bytes
//               (v < 63), or all the rest (v = 63)
//             1 a receive that fails (v even) or finds nothing (v odd)
//             2 v%4: 0 oldest queued send done, 1 ... given up with an
//               error, 2 a send of another buffer done, 3 connection closed
//             3 an operation (v % 12, see StartOperation)
// Checked throughout: the reader's buffers stay within bounds and
// terminated, every command goes out as one CR LF line, a queued buffer is
// not changed before its send completes, the states agree with the transfer
// flags, and every notification carries a valid result and pointer.
#include "nntp/nntp_session.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "platform/files.h"
#include "platform/message_loop.h"
#include "platform/wsa_errors.h"

namespace {

enum : unsigned {
    kConnect = 1024,
    kGroup = 1025,
    kArticle = 1026,
    kNext = 1027,
    kList = 1028,
    kPost = 1029,
    kQuit = 1030,
    kUser = 1033,
    kPass = 1034,
    kClose = 1040,
};

constexpr int kWouldBlock = 10035;

// QIV_FUZZ_TRACE=1 prints what goes out and what the owner hears, to see
// what an input does.
const bool trace = std::getenv("QIV_FUZZ_TRACE") != nullptr;
constexpr int kConnReset = 10054;
const nntp::ServerConfig kFuzzServer{.host = "fuzz.example"};

class FuzzSession;
FuzzSession* current = nullptr;

class FuzzSession : public nntp::CNntpSession {
public:
    struct Queued {
        const void* buffer;
        std::string bytes;  // what the session asked to send
    };

    std::deque<std::string> chunks;
    std::deque<Queued> queue;
    int sendMode = 0;
    int failAt = 0;
    int sends = 0;
    int receiveError = 0;
    bool attempt = false;    // a connection attempt awaits its report
    bool connected = false;  // the stream may report events
    bool otherSendDone = false;

    const void* CommandAddress() const { return commandBuffer; }
    bool Contains(const void* p) const {
        const auto* b = reinterpret_cast<const char*>(this);
        const auto* c = static_cast<const char*>(p);
        return c >= b && c < b + sizeof(*this);
    }
    std::size_t RoomFrom(const void* p) const {
        return static_cast<std::size_t>(reinterpret_cast<const char*>(this) + sizeof(*this) -
                                        static_cast<const char*>(p));
    }

    // Serves one chunk of server bytes through as many receives as it takes.
    void Feed(const std::string& chunk) {
        if (!connected || chunk.empty()) return;
        chunks.push_back(chunk);
        int rounds = 0;
        while (connected && !chunks.empty()) {
            FUZZ_CHECK(++rounds < 100000, "the reader makes no progress");
            StreamCallback(0, net::StreamEvent::Readable, 0, nullptr);
            Check();
        }
        chunks.clear();
    }

    void Readable() {
        if (!connected) return;
        StreamCallback(0, net::StreamEvent::Readable, 0, nullptr);
        Check();
    }

    void Closed() {
        if (!connected) return;
        connected = false;
        chunks.clear();
        StreamCallback(0, net::StreamEvent::Closed, 0, nullptr);
        Check();
    }

    // The oldest queued buffer has gone (or was given up).
    void DeliverSend(int error) {
        if (!connected || queue.empty()) return;
        const Queued q = queue.front();
        queue.pop_front();
        FUZZ_CHECK(std::memcmp(q.buffer, q.bytes.data(), q.bytes.size()) == 0,
                   "a queued buffer changed before its send completed: " + q.bytes);
        if (error != 0) {
            // A socket that gives up one buffer gives up the connection.
            queue.clear();
            connected = false;
        }
        StreamCallback(0, net::StreamEvent::SendDone, error, q.buffer);
        Check();
    }

    void DeliverOther() {
        if (!connected) return;
        static const char other[] = "x";
        StreamCallback(0, net::StreamEvent::SendDone, 0, other);
        Check();
    }

    void Report(net::ConnectResult result) {
        if (!attempt) return;
        attempt = false;
        if (result == net::ConnectResult::Connected) connected = true;
        ConnectCallback(0, result);
        Check();
    }

    // NEXT's success carries the article number, any 64-bit value a server
    // names; a record's address is told from it by the numbers seen.
    mutable std::set<std::int64_t> articleNumbers;
    bool NamedArticle(plat::LParam value) const {
        return articleNumbers.count(static_cast<std::int64_t>(value)) != 0;
    }

    void Check() const {
        articleNumbers.insert(currentArticle);
        FUZZ_CHECK(receiveCount >= 0 && receiveCount < kReceiveSize,
                   "receiveCount " + std::to_string(receiveCount));
        FUZZ_CHECK(currentLength >= 0 && currentLength < kReceiveSize,
                   "currentLength " + std::to_string(currentLength));
        FUZZ_CHECK(currentLine[currentLength] == '\0', "currentLine not terminated");
        FUZZ_CHECK(strnlen(commandBuffer, kCommandSize) < kCommandSize, "commandBuffer full");
        FUZZ_CHECK(strnlen(reasonText, kReceiveSize) < kReceiveSize, "reasonText full");
        FUZZ_CHECK(strnlen(filePath, kPathSize) < kPathSize, "filePath full");
        if (state.Is(&FuzzSession::Ready)) {
            FUZZ_CHECK(!multiLine, "Ready in multi-line mode");
            FUZZ_CHECK(!outputFile.IsOpen(), "Ready with a transfer file open");
            FUZZ_CHECK(!waitingWritable, "Ready waiting for a send");
        }
        if (state.Is(&FuzzSession::Ended)) {
            FUZZ_CHECK(!multiLine, "Ended in multi-line mode");
            FUZZ_CHECK(!outputFile.IsOpen(), "Ended with a transfer file open");
        }
        if (state.Is(&FuzzSession::ListData) || state.Is(&FuzzSession::ArticleData))
            FUZZ_CHECK(multiLine && outputFile.IsOpen(), "data state without its file");
        if (outputFile.IsOpen())
            FUZZ_CHECK(state.Is(&FuzzSession::ListData) || state.Is(&FuzzSession::ArticleData),
                       "a transfer file open outside the data states");
    }

    bool IsEnded() const { return state.Is(&FuzzSession::Ended); }

protected:
    // As the connection manager does, a new attempt closes the old
    // connection, and its send queue goes with it.
    void StartConnection() override {
        CloseConnection();
        attempt = true;
    }
    void CancelConnection() override { attempt = false; }
    void CloseConnection() override {
        attempt = false;
        connected = false;
        queue.clear();
        chunks.clear();
    }

    int SendBytes(const void* buffer, int length) override {
        FUZZ_CHECK(connected, "a send without a connection");
        FUZZ_CHECK(length > 0 && length < kCommandSize, "send of " + std::to_string(length));
        const std::string bytes(static_cast<const char*>(buffer), static_cast<std::size_t>(length));
        const bool posting = state.Is(&FuzzSession::PostData);
        if (bytes != ".") {
            // One line, ended by its CR LF; a command carries no other line
            // break (it would smuggle a second command to the server).
            FUZZ_CHECK(bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0,
                       "a send that is not a line: " + bytes);
            const std::string text = bytes.substr(0, bytes.size() - 2);
            FUZZ_CHECK(text.find('\n') == std::string::npos, "LF inside a sent line: " + bytes);
            FUZZ_CHECK(text.find('\r') == std::string::npos, "CR inside a sent line: " + bytes);
            FUZZ_CHECK(text.find('\0') == std::string::npos, "NUL inside a sent line");
            if (posting)
                for (const char c : text)
                    FUZZ_CHECK((static_cast<unsigned char>(c) & 0x80) == 0, "8-bit posted byte");
        } else {
            FUZZ_CHECK(buffer != CommandAddress(), "the stuffed dot sent from commandBuffer");
        }
        for (const Queued& q : queue)
            FUZZ_CHECK(q.buffer != buffer || buffer != CommandAddress(),
                       "commandBuffer sent again while still queued");
        ++sends;
        if (trace) std::fprintf(stderr, "send %d: %s", sends, bytes.c_str());
        int result = 0;
        if (!queue.empty()) {
            result = kWouldBlock;  // the socket queues while anything waits
        } else {
            switch (sendMode) {
                case 1:
                    result = kWouldBlock;
                    break;
                case 2:
                    result = (sends % 2 == 0) ? kWouldBlock : 0;
                    break;
                case 3:
                    result = sends == failAt ? kConnReset : 0;
                    break;
                default:
                    break;
            }
        }
        if (result == kWouldBlock) queue.push_back({buffer, bytes});
        return result;
    }

    void Drive(int event) override {
        if (trace)
            std::fprintf(stderr, "event %d line \"%.60s\" multiLine %d\n", event, currentLine,
                         multiLine);
        nntp::CNntpSession::Drive(event);
    }

    int ReceiveBytes(void* buffer, int& length) override {
        FUZZ_CHECK(connected, "a receive without a connection");
        FUZZ_CHECK(length > 0 && length <= kReceiveSize, "receive room " + std::to_string(length));
        if (receiveError != 0) {
            const int error = receiveError;
            receiveError = 0;
            length = 0;
            return error;
        }
        if (chunks.empty()) {
            length = 0;
            return kWouldBlock;
        }
        std::string& chunk = chunks.front();
        const std::size_t n = std::min(chunk.size(), static_cast<std::size_t>(length));
        std::memcpy(buffer, chunk.data(), n);
        chunk.erase(0, n);
        if (chunk.empty()) chunks.pop_front();
        length = static_cast<int>(n);
        return 0;
    }
};

plat::LResult OwnerProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                        plat::LParam lParam) {
    if (message < plat::msg::User) return plat::DefWindowProc(window, message, wParam, lParam);
    const int result = static_cast<int>(wParam);
    FUZZ_CHECK(result >= nntp::ResultClosed && result <= nntp::ResultRefusedLocally,
               "result " + std::to_string(result));
    FUZZ_CHECK(current != nullptr, "a notification outlived its session");
    if (trace) std::fprintf(stderr, "notify %u: result %d\n", message, result);
    const void* p = reinterpret_cast<const void*>(lParam);
    if (lParam != 0 && current->Contains(p)) {
        // A text of the session's: terminated inside the object.
        FUZZ_CHECK(
            strnlen(static_cast<const char*>(p), current->RoomFrom(p)) < current->RoomFrom(p),
            "an unterminated notification text");
        return 0;
    }
    const bool fitsNumber = lParam >= INT32_MIN && lParam <= INT32_MAX;
    if (result == nntp::ResultSuccess && !fitsNumber && !current->NamedArticle(lParam)) {
        auto* saved = reinterpret_cast<nntp::ArticleSaved*>(lParam);
        FUZZ_CHECK(saved->path != nullptr, "ArticleSaved without a path");
        const std::string path = saved->path;
        FUZZ_CHECK(path.rfind(fuzz::ScratchDir(), 0) == 0, "article saved outside: " + path);
        FUZZ_CHECK(fuzz::Exists(path), "saved article missing: " + path);
        nntp::ReleaseArticleSaved(saved);
        return 0;
    }
    // Failures carry a text of the session's or nothing.
    FUZZ_CHECK(result == nntp::ResultSuccess || result == nntp::ResultClosed || lParam == 0,
               "a failure whose text is not the session's");
    return 0;
}

plat::WindowHandle OwnerWindow() {
    static plat::WindowHandle window = [] {
        plat::RegisterWindowClass("FuzzSessionOwner", OwnerProc);
        return plat::CreateWindow("FuzzSessionOwner");
    }();
    return window;
}

void StartOperation(FuzzSession& s, int which, plat::TextReader* article) {
    const plat::WindowHandle w = OwnerWindow();
    switch (which % 12) {
        case 0:
            s.SelectGroup(w, kGroup);
            break;
        case 1:
            s.NextArticle(w, kNext);
            break;
        case 2:
            s.FetchArticle(w, kArticle, which);
            break;
        case 3:
            s.ListGroups(w, kList);
            break;
        case 4:
            s.PostArticle(w, kPost, article);
            break;
        case 5:
            s.Quit(w, kQuit);
            break;
        case 6:
            s.SendUser(w, kUser);
            break;
        case 7:
            s.SendPass(w, kPass);
            break;
        case 8:
            s.Close(w, kClose, (which & 16) != 0);
            break;
        case 9:
            s.Connect(w, kConnect, kFuzzServer);
            s.Report(net::ConnectResult::Connected);
            break;
        case 10:
            s.Report(net::ConnectResult::Failed);
            break;
        default:
            s.Report(net::ConnectResult::Cancelled);
            break;
    }
    s.Check();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        fuzz::SilenceWarnings();
        OwnerWindow();
        return true;
    }();
    (void)ready;
    fuzz::ClearScratch();
    const std::string dir = fuzz::ScratchDir();
    const plat::WindowHandle owner = OwnerWindow();

    fuzz::Input in(data, size);
    const int op = in.Byte() % 8;
    const int options = in.Byte();
    const std::string script = in.Bytes(in.Byte() % 32);
    std::string articleText = "Subject: fuzz\n\nbody\n.dot\n";
    if (op == 4) articleText = in.Bytes(in.Byte());
    const std::string server = in.Rest();

    const std::string articlePath = fuzz::Join(dir, "article.txt");
    fuzz::WriteBytes(articlePath, articleText);
    plat::TextReader article;
    if ((options & 4) == 0) article.Open(articlePath);

    auto session = std::make_unique<FuzzSession>();
    FuzzSession& s = *session;
    current = &s;
    s.sendMode = options & 3;
    s.failAt = (options >> 4) + 1;
    s.articleDir = dir;
    s.spoolDir = dir;
    s.groupName = "alt.test";
    s.userName = "user";
    s.password = "secret";
    if (options & 8) {
        // Transfers whose file cannot be created.
        s.articleDir = dir + "/missing";
        s.spoolDir = dir + "/missing";
    }
    if (options & 64) {
        // Arguments that would smuggle a second command, or do not fit.
        s.groupName = "alt.test\r\nQUIT";
        s.userName = std::string(nntp::CNntpSession::kNameSize, 'u');
        s.password = "pw\nX";
    }
    s.fileNumber = 42;

    s.Connect(owner, kConnect, kFuzzServer);
    s.Report(net::ConnectResult::Connected);
    if (op != 0) {
        // The greeting, and the answer to MODE READER where the session sends it.
        s.Feed("200 fuzz ready\r\n200 reader\r\n");
        fuzz::DrainMessages();
        static const int operations[8] = {0, 0, 2, 3, 4, 5, 1, 6};
        StartOperation(s, operations[op], &article);
    }
    fuzz::DrainMessages();

    std::size_t at = 0;
    for (const char c : script) {
        const int kind = (static_cast<unsigned char>(c) >> 6) & 3;
        const int value = c & 63;
        switch (kind) {
            case 0: {
                const std::size_t n = value == 63  ? server.size() - at
                                      : value < 32 ? static_cast<std::size_t>(value + 1)
                                                   : static_cast<std::size_t>(value - 31) * 64;
                const std::string chunk = server.substr(at, n);
                at += chunk.size();
                s.Feed(chunk);
                break;
            }
            case 1:
                s.receiveError = value % 2 == 0 ? kConnReset : 0;
                s.Readable();
                s.receiveError = 0;
                break;
            case 2:
                if (value % 4 == 0) s.DeliverSend(0);
                if (value % 4 == 1) s.DeliverSend(kConnReset);
                if (value % 4 == 2) s.DeliverOther();
                if (value % 4 == 3) s.Closed();
                break;
            default:
                StartOperation(s, value, &article);
                break;
        }
        fuzz::DrainMessages();
    }
    if (at < server.size()) s.Feed(server.substr(at));
    fuzz::DrainMessages();
    for (int i = 0; i < 1000 && !s.queue.empty(); ++i) {
        s.DeliverSend(0);
        fuzz::DrainMessages();
    }
    if (options & 0x80) s.Closed();
    fuzz::DrainMessages();

    s.Close(owner, kClose, true);
    fuzz::DrainMessages();
    FUZZ_CHECK(s.IsEnded(), "Close did not end the session");
    FUZZ_CHECK(plat::QueuedMessageCount() == 0, "notifications still queued");
    current = nullptr;
    session.reset();
    return 0;
}
