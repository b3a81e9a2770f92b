#include "news_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <list>
#include <set>
#include <mutex>
#include <thread>

#include "news_content.h"

namespace testsrv {

namespace {

constexpr std::size_t kMaxPendingLine = 1 << 20;
constexpr int kOrderlyCloseDrainMs = 2000;

bool IsAll2xx(int code) {
    return code >= 200 && code <= 299;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits "VERB rest" at the first run of blanks.
void SplitWord(const std::string& line, std::string* word, std::string* rest) {
    std::size_t end = line.find_first_of(" \t");
    *word = line.substr(0, end);
    if (end == std::string::npos) {
        rest->clear();
        return;
    }
    std::size_t start = line.find_first_not_of(" \t", end);
    *rest = start == std::string::npos ? std::string() : line.substr(start);
}

int ReplyCodeOf(const std::string& sent) {
    if (sent.size() < 3) return 0;
    for (int i = 0; i < 3; ++i) {
        if (sent[i] < '0' || sent[i] > '9') return 0;
    }
    return (sent[0] - '0') * 100 + (sent[1] - '0') * 10 + (sent[2] - '0');
}

struct GroupData {
    char postingFlag = 'y';
    std::map<long, std::shared_ptr<const PreparedArticle>> articles;
    long highWater = 0;  // the highest number cancelled; GROUP's last never drops below it
};

// What a step writes and how the connection goes on afterwards.
struct Plan {
    enum class End { Keep, Close, Reset, Stall };
    std::vector<std::string> writes;
    int pauseBeforeMs = 0;
    int pauseBetweenMs = 0;
    End end = End::Keep;
};

void Truncate(std::vector<std::string>* writes, std::size_t bytes) {
    std::vector<std::string> kept;
    for (const std::string& w : *writes) {
        if (bytes == 0) break;
        std::size_t n = std::min(bytes, w.size());
        kept.push_back(w.substr(0, n));
        bytes -= n;
    }
    *writes = std::move(kept);
}

std::string Flatten(const std::vector<std::string>& writes) {
    std::string all;
    for (const std::string& w : writes) all += w;
    return all;
}

// Applies a fault's action to the normal writes of a step.
Plan MakePlan(const Fault* fault, std::vector<std::string> writes) {
    Plan plan;
    plan.writes = std::move(writes);
    if (fault == nullptr) return plan;
    switch (fault->action) {
        case Fault::Action::Close:
        case Fault::Action::Reset:
        case Fault::Action::Stall:
            Truncate(&plan.writes, fault->bytes);
            plan.end = fault->action == Fault::Action::Close   ? Plan::End::Close
                       : fault->action == Fault::Action::Reset ? Plan::End::Reset
                                                               : Plan::End::Stall;
            break;
        case Fault::Action::Reply:
            plan.writes = {fault->text + "\r\n"};
            break;
        case Fault::Action::Split: {
            std::string all = Flatten(plan.writes);
            std::vector<std::size_t> cuts = fault->cuts;
            if (cuts.empty() && fault->pieces > 1) {
                for (int i = 1; i < fault->pieces; ++i) {
                    cuts.push_back(all.size() * static_cast<std::size_t>(i) /
                                   static_cast<std::size_t>(fault->pieces));
                }
            }
            std::sort(cuts.begin(), cuts.end());
            plan.writes.clear();
            std::size_t from = 0;
            for (std::size_t cut : cuts) {
                if (cut <= from || cut >= all.size()) continue;
                plan.writes.push_back(all.substr(from, cut - from));
                from = cut;
            }
            if (from < all.size()) plan.writes.push_back(all.substr(from));
            plan.pauseBetweenMs = fault->pauseMs;
            break;
        }
        case Fault::Action::Delay:
            plan.pauseBeforeMs = fault->pauseMs;
            break;
        case Fault::Action::OverlongLine:
        case Fault::Action::TopBitBytes: {
            if (plan.writes.empty()) plan.writes.push_back("\r\n");
            std::string& first = plan.writes[0];
            std::size_t eol = first.find("\r\n");
            if (eol == std::string::npos) eol = first.size();
            std::string status = first.substr(0, eol);
            std::string rest = first.substr(std::min(first.size(), eol + 2));
            if (fault->action == Fault::Action::OverlongLine) {
                if (status.size() < fault->bytes) {
                    if (!status.empty()) status += ' ';
                    status.resize(std::max(status.size(), fault->bytes), 'x');
                }
            } else {
                status += " \xE9\xFF\x80\xA0";
            }
            first = status + "\r\n" + rest;
            break;
        }
    }
    return plan;
}

}  // namespace

namespace detail {

struct Connection {
    int fd = -1;
    bool closed = false;  // fd closed; guarded by State::mu
    bool done = false;    // thread finished its work; guarded by State::mu
    bool drain = false;   // half-closed: wait for the client's close before closing
    std::thread thread;
};

struct ServerState {
    mutable std::mutex mu;
    std::condition_variable stopCv;
    bool running = false;
    bool stopping = false;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::uint16_t port = 0;
    std::thread acceptThread;
    std::list<std::shared_ptr<Connection>> conns;

    int greetingCode = 200;
    std::string greetingText = "qiv test news server ready - posting allowed";
    std::map<std::string, std::string> accounts;
    bool authRequired = false;
    std::string userReply = "381 password required";
    std::string acceptReply = "281 authentication accepted";
    std::string rejectReply = "481 authentication failed";
    ModeReader modeReader = ModeReader::Accept;
    Posting posting = Posting::Accept;
    bool twoWrites = true;
    bool listGroup = true;
    bool noDelay = true;
    TlsMode tlsMode = TlsMode::None;
    std::shared_ptr<SSL_CTX> tlsContext;
    int tlsHandshakes = 0;
    std::string lastServerName;
    std::map<std::string, GroupData> groups;

    std::vector<Fault> faults;
    std::map<std::string, int> stepCounts;
    int anyStepCount = 0;

    int connections = 0;
    int openConnections = 0;
    std::vector<std::string> commands;
    std::size_t stallFrom = 0;
    std::atomic<long> writes{0};
    std::vector<PostRecord> posts;
    std::set<std::string> postedIds;  // of posts answered 2xx
    std::string postDir;
    int postFiles = 0;

    // Counts the step and returns a copy of the fault that acts on it.
    bool FindFault(const std::string& step, Fault* out) {
        std::lock_guard<std::mutex> lock(mu);
        int count = ++stepCounts[step];
        bool anyStep = step != "POST_LINE";
        int anyCount = anyStep ? ++anyStepCount : 0;
        for (const Fault& f : faults) {
            bool hit = (f.when == step && (f.nth == 0 || f.nth == count)) ||
                       (anyStep && f.when == "*" && (f.nth == 0 || f.nth == anyCount));
            if (hit) {
                *out = f;
                return true;
            }
        }
        return false;
    }

    // Waits up to `ms`; false when the server is stopping.
    bool Pause(int ms) {
        std::unique_lock<std::mutex> lock(mu);
        return !stopCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }
};

}  // namespace detail

namespace {

using detail::Connection;
using detail::ServerState;

// The conversation on one connection, run on the connection's own thread.
class Session {
public:
    Session(ServerState& s, Connection& c) : s_(s), c_(c), fd_(c.fd) {}
    ~Session() {
        if (ssl_ != nullptr) SSL_free(ssl_);
    }

    // Returns when the connection has ended; the caller closes the descriptor
    // unless a reset already did.
    void Run();

private:
    bool ReadLine(std::string* line, std::string* raw);
    bool WriteAll(const std::string& data);
    // Writes the step's reply (as changed by a fault). False when the
    // connection has ended. `sent` receives the bytes actually written.
    bool Deliver(const std::string& step, std::vector<std::string> writes,
                 std::string* sent = nullptr);
    bool Perform(const Fault* fault, std::vector<std::string> writes, std::string* sent);
    bool Execute(const Plan& plan, std::string* sent);
    void OrderlyClose();
    void ResetClose();
    void StallUntilClosed();
    std::vector<std::string> WithBody(const std::string& status, const std::string& body) const;
    bool HandleCommand(const std::string& line);
    bool HandleAuthinfo(const std::string& step, const std::string& rest);
    bool HandleGroup(const std::string& name);
    bool HandleListGroup(const std::string& arg);
    bool HandleArticle(const std::string& arg);
    bool HandleNext();
    bool HandleList(const std::string& arg);
    bool HandlePost();
    bool ReceiveArticle();
    void RecordPost(PostRecord record);
    bool Gated(const std::string& step, std::string* reply);
    bool Handshake(const std::shared_ptr<SSL_CTX>& context);
    bool HandleStartTls();
    bool HandleCapabilities();

    ServerState& s_;
    SSL* ssl_ = nullptr;
    std::shared_ptr<SSL_CTX> tlsContext_;  // the one this connection started with
    TlsMode tlsMode_ = TlsMode::None;
    Connection& c_;
    int fd_;
    std::string in_;
    std::size_t inPos_ = 0;

    bool authed_ = false;
    bool haveUser_ = false;
    std::string user_;
    bool readerMode_ = false;
    std::string group_;
    long current_ = 0;  // 0: no current article
};

bool Session::ReadLine(std::string* line, std::string* raw) {
    for (;;) {
        std::size_t nl = in_.find('\n', inPos_);
        if (nl != std::string::npos) {
            raw->assign(in_, inPos_, nl + 1 - inPos_);
            std::size_t end = nl;
            if (end > inPos_ && in_[end - 1] == '\r') --end;
            line->assign(in_, inPos_, end - inPos_);
            inPos_ = nl + 1;
            return true;
        }
        if (inPos_ > 0) {
            in_.erase(0, inPos_);
            inPos_ = 0;
        }
        if (in_.size() > kMaxPendingLine) return false;
        char buf[65536];
        ssize_t n;
        if (ssl_ != nullptr) {
            n = SSL_read(ssl_, buf, sizeof buf);
        } else {
            n = recv(fd_, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n <= 0) return false;
        in_.append(buf, static_cast<std::size_t>(n));
    }
}

bool Session::WriteAll(const std::string& data) {
    ++s_.writes;
    std::size_t done = 0;
    while (done < data.size()) {
        if (ssl_ != nullptr) {
            const int n = SSL_write(ssl_, data.data() + done, static_cast<int>(data.size() - done));
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
            continue;
        }
        ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void Session::OrderlyClose() {
    shutdown(fd_, SHUT_WR);
    c_.drain = true;
}

void Session::ResetClose() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    std::lock_guard<std::mutex> lock(s_.mu);
    close(fd_);
    c_.closed = true;
}

void Session::StallUntilClosed() {
    char buf[4096];
    for (;;) {
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
    }
}

bool Session::Deliver(const std::string& step, std::vector<std::string> writes, std::string* sent) {
    Fault fault;
    bool faulty = s_.FindFault(step, &fault);
    return Perform(faulty ? &fault : nullptr, std::move(writes), sent);
}

bool Session::Perform(const Fault* fault, std::vector<std::string> writes, std::string* sent) {
    return Execute(MakePlan(fault, std::move(writes)), sent);
}

bool Session::Execute(const Plan& plan, std::string* sent) {
    if (plan.pauseBeforeMs > 0 && !s_.Pause(plan.pauseBeforeMs)) return false;
    for (std::size_t i = 0; i < plan.writes.size(); ++i) {
        if (i > 0 && plan.pauseBetweenMs > 0 && !s_.Pause(plan.pauseBetweenMs)) return false;
        if (!WriteAll(plan.writes[i])) return false;
        if (sent != nullptr) *sent += plan.writes[i];
    }
    switch (plan.end) {
        case Plan::End::Keep:
            return true;
        case Plan::End::Close:
            OrderlyClose();
            return false;
        case Plan::End::Reset:
            ResetClose();
            return false;
        case Plan::End::Stall:
            StallUntilClosed();
            return false;
    }
    return false;
}

std::vector<std::string> Session::WithBody(const std::string& status,
                                           const std::string& body) const {
    bool two;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        two = s_.twoWrites;
    }
    if (two) return {status, body};
    return {status + body};
}

void Session::RecordPost(PostRecord record) {
    std::lock_guard<std::mutex> lock(s_.mu);
    if (record.complete && IsAll2xx(record.replyCode)) {
        const std::string id = FindMessageId(record.text);
        if (!id.empty()) s_.postedIds.insert(id);
    }
    if (record.complete && IsAll2xx(record.replyCode) && !s_.postDir.empty()) {
        std::string path = s_.postDir + "/" + std::to_string(++s_.postFiles);
        std::ofstream out(path, std::ios::binary);
        out << record.text;
    }
    s_.posts.push_back(std::move(record));
}

// False when the handshake failed (the client refused the certificate,
// or spoke no TLS); the connection then ends.
bool Session::Handshake(const std::shared_ptr<SSL_CTX>& context) {
    ssl_ = SSL_new(context.get());
    if (ssl_ == nullptr) return false;
    SSL_set_fd(ssl_, fd_);
    if (SSL_accept(ssl_) != 1) {
        ERR_clear_error();
        SSL_free(ssl_);
        ssl_ = nullptr;
        return false;
    }
    const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    std::lock_guard<std::mutex> lock(s_.mu);
    ++s_.tlsHandshakes;
    s_.lastServerName = name != nullptr ? name : "";
    return true;
}

void Session::Run() {
    int code;
    std::string text;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        code = s_.greetingCode;
        text = s_.greetingText;
        tlsMode_ = s_.tlsMode;
        tlsContext_ = s_.tlsContext;
    }
    if (tlsMode_ == TlsMode::Implicit && !Handshake(tlsContext_)) return;
    if (!Deliver("GREETING", {std::to_string(code) + " " + text + "\r\n"})) return;
    if (!IsAll2xx(code)) {
        OrderlyClose();
        return;
    }
    std::string line, raw;
    while (ReadLine(&line, &raw)) {
        bool stall;
        {
            std::lock_guard<std::mutex> lock(s_.mu);
            s_.commands.push_back(line);
            stall = s_.stallFrom != 0 && s_.commands.size() >= s_.stallFrom;
        }
        if (stall) {
            StallUntilClosed();
            return;
        }
        if (!HandleCommand(line)) return;
    }
}

// Answers `reply` instead of running the command when the login or the reader
// mode is missing. True when the command may run.
bool Session::Gated(const std::string& step, std::string* reply) {
    std::lock_guard<std::mutex> lock(s_.mu);
    bool exempt = step.rfind("AUTHINFO", 0) == 0 || step == "MODE READER" || step == "QUIT" ||
                  step == "CAPABILITIES" || step == "STARTTLS";
    if (s_.authRequired && !authed_ && !exempt) {
        *reply = "480 authentication required";
        return false;
    }
    bool readerCommand = step == "GROUP" || step == "ARTICLE" || step == "NEXT" ||
                         step == "POST" || step == "LISTGROUP";
    if (s_.modeReader == ModeReader::Transit && !readerMode_ && readerCommand) {
        *reply = "401 MODE-READER";
        return false;
    }
    return true;
}

bool Session::HandleCommand(const std::string& line) {
    std::string word, rest;
    SplitWord(line, &word, &rest);
    std::string step = Upper(word);
    if (step == "AUTHINFO" || step == "MODE") {
        std::string sub, arg;
        SplitWord(rest, &sub, &arg);
        if (!sub.empty()) {
            step += " " + Upper(sub);
            rest = arg;
        }
    }
    std::string refusal;
    if (!Gated(step, &refusal)) return Deliver(step, {refusal + "\r\n"});

    if (step == "AUTHINFO USER" || step == "AUTHINFO PASS") return HandleAuthinfo(step, rest);
    if (step == "MODE READER") {
        ModeReader mode;
        Posting posting;
        {
            std::lock_guard<std::mutex> lock(s_.mu);
            mode = s_.modeReader;
            posting = s_.posting;
        }
        if (mode == ModeReader::Unknown) return Deliver(step, {"500 unknown command\r\n"});
        readerMode_ = true;
        return Deliver(step,
                       {posting == Posting::Refuse ? "201 reader mode, posting prohibited\r\n"
                                                   : "200 reader mode, posting permitted\r\n"});
    }
    if (step == "GROUP") return HandleGroup(rest);
    if (step == "LISTGROUP") return HandleListGroup(rest);
    if (step == "ARTICLE") return HandleArticle(rest);
    if (step == "NEXT") return HandleNext();
    if (step == "LIST") return HandleList(rest);
    if (step == "POST") return HandlePost();
    if (step == "CAPABILITIES") return HandleCapabilities();
    if (step == "STARTTLS" && tlsMode_ == TlsMode::StartTls) return HandleStartTls();
    if (step == "QUIT") {
        if (Deliver(step, {"205 closing connection\r\n"})) {
            if (ssl_ != nullptr) SSL_shutdown(ssl_);
            OrderlyClose();
        }
        return false;
    }
    return Deliver(step, {"500 unknown command\r\n"});
}

bool Session::HandleCapabilities() {
    std::string list = "101 capability list follows\r\nVERSION 2\r\nREADER\r\nPOST\r\n";
    if (!authed_) list += "AUTHINFO USER\r\n";
    if (tlsMode_ == TlsMode::StartTls && ssl_ == nullptr) list += "STARTTLS\r\n";
    return Deliver("CAPABILITIES", {list + ".\r\n"});
}

// A STARTTLS after the handshake (or with unread input behind it, which
// would have to be thrown away) is refused as RFC 4642 says.
bool Session::HandleStartTls() {
    if (ssl_ != nullptr) return Deliver("STARTTLS", {"502 already using TLS\r\n"});
    std::string sent;
    if (!Deliver("STARTTLS", {"382 continue with TLS negotiation\r\n"}, &sent)) return false;
    if (sent.rfind("382", 0) != 0) return true;
    in_.clear();
    inPos_ = 0;
    if (!Handshake(tlsContext_)) return false;
    // A new start: whatever was said before TLS no longer counts.
    authed_ = haveUser_ = readerMode_ = false;
    return true;
}

bool Session::HandleAuthinfo(const std::string& step, const std::string& rest) {
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (authed_) {
            reply = "502 command unavailable";
        } else if (step == "AUTHINFO USER") {
            user_ = rest;
            haveUser_ = true;
            reply = s_.userReply;
            if (!reply.empty() && reply[0] == '2') authed_ = true;
        } else if (!haveUser_) {
            reply = "482 authentication commands issued out of sequence";
        } else {
            auto it = s_.accounts.find(user_);
            if (it != s_.accounts.end() && it->second == rest) {
                authed_ = true;
                reply = s_.acceptReply;
            } else {
                haveUser_ = false;
                reply = s_.rejectReply;
            }
        }
    }
    return Deliver(step, {reply + "\r\n"});
}

bool Session::HandleGroup(const std::string& name) {
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        auto it = s_.groups.find(name);
        if (it == s_.groups.end()) {
            reply = "411 no such newsgroup";
        } else {
            const auto& arts = it->second.articles;
            const long high = std::max(arts.empty() ? 0 : arts.rbegin()->first, it->second.highWater);
            group_ = name;
            current_ = arts.empty() ? 0 : arts.begin()->first;
            reply = "211 " + GroupCounts(arts.size(), arts.empty() ? high + 1 : arts.begin()->first, high) +
                    " " + name;
        }
    }
    return Deliver("GROUP", {reply + "\r\n"});
}

// "LISTGROUP [group [first[-[last]]]]": selects the group as GROUP does and
// lists the numbers of its articles within the range.
bool Session::HandleListGroup(const std::string& arg) {
    std::string name, range;
    SplitWord(arg, &name, &range);
    std::string reply;
    std::string body;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (!s_.listGroup) {
            reply = "500 unknown command";
        } else if (name.empty() && group_.empty()) {
            reply = "412 no newsgroup selected";
        } else if (!name.empty() && s_.groups.count(name) == 0) {
            reply = "411 no such newsgroup";
        }
        long low = 0;
        long high = LONG_MAX;
        if (reply.empty() && !range.empty()) {
            char* end = nullptr;
            low = std::strtol(range.c_str(), &end, 10);
            if (*end == '-') {
                high = end[1] == '\0' ? LONG_MAX : std::strtol(end + 1, &end, 10);
                if (high != LONG_MAX && *end != '\0') reply = "501 syntax error";
            } else if (*end == '\0') {
                high = low;
            } else {
                reply = "501 syntax error";
            }
        }
        if (reply.empty()) {
            if (!name.empty()) group_ = name;
            const auto& data = s_.groups[group_];
            const auto& arts = data.articles;
            const long last = std::max(arts.empty() ? 0 : arts.rbegin()->first, data.highWater);
            current_ = arts.empty() ? 0 : arts.begin()->first;
            reply = "211 " + GroupCounts(arts.size(), arts.empty() ? last + 1 : arts.begin()->first,
                                         last) +
                    " " + group_ + " list follows";
            for (auto it = arts.lower_bound(low); it != arts.end() && it->first <= high; ++it)
                body += std::to_string(it->first) + "\r\n";
            body += ".\r\n";
        }
    }
    if (body.empty()) return Deliver("LISTGROUP", {reply + "\r\n"});
    return Deliver("LISTGROUP", WithBody(reply + "\r\n", body));
}

bool Session::HandleArticle(const std::string& arg) {
    std::shared_ptr<const PreparedArticle> article;
    std::string reply;
    long number = 0;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (!arg.empty() && arg[0] == '<') {
            for (const auto& [name, data] : s_.groups) {
                for (const auto& [n, a] : data.articles) {
                    if (a->messageId == arg) article = a;
                }
            }
            if (!article) reply = "430 no article with that message-id";
        } else if (group_.empty() || s_.groups.count(group_) == 0) {
            reply = "412 no newsgroup has been selected";
        } else {
            const auto& arts = s_.groups[group_].articles;
            if (arg.empty()) {
                number = current_;
                if (number == 0) reply = "420 no current article has been selected";
            } else {
                char* end = nullptr;
                number = strtol(arg.c_str(), &end, 10);
                if (end == arg.c_str() || *end != '\0') reply = "501 syntax error";
            }
            if (reply.empty()) {
                auto it = arts.find(number);
                if (it == arts.end()) {
                    reply = "423 no such article number in this group";
                } else {
                    article = it->second;
                    current_ = number;
                }
            }
        }
    }
    if (!article) return Deliver("ARTICLE", {reply + "\r\n"});
    std::string status =
        "220 " + std::to_string(number) + " " + article->messageId + " article\r\n";
    return Deliver("ARTICLE", WithBody(status, article->wire));
}

bool Session::HandleNext() {
    std::string reply;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        auto it = s_.groups.find(group_);
        if (group_.empty() || it == s_.groups.end()) {
            reply = "412 no newsgroup has been selected";
        } else if (current_ == 0) {
            reply = "420 no current article has been selected";
        } else {
            auto next = it->second.articles.upper_bound(current_);
            if (next == it->second.articles.end()) {
                reply = "421 no next article in this group";
            } else {
                current_ = next->first;
                reply = "223 " + std::to_string(next->first) + " " + next->second->messageId +
                        " article retrieved";
            }
        }
    }
    return Deliver("NEXT", {reply + "\r\n"});
}

bool Session::HandleList(const std::string& arg) {
    if (!arg.empty() && Upper(arg) != "ACTIVE") return Deliver("LIST", {"501 syntax error\r\n"});
    std::string body;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        for (const auto& [name, data] : s_.groups) {
            const auto& arts = data.articles;
            long first = arts.empty() ? 1 : arts.begin()->first;
            long last = arts.empty() ? 0 : arts.rbegin()->first;
            body += name + " " + std::to_string(last) + " " + std::to_string(first) + " " +
                    data.postingFlag + "\r\n";
        }
    }
    body += ".\r\n";
    return Deliver("LIST", WithBody("215 list of newsgroups follows\r\n", body));
}

bool Session::HandlePost() {
    Posting posting;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        posting = s_.posting;
    }
    std::string reply = posting == Posting::Refuse
                            ? "440 posting not allowed"
                            : "340 send article to be posted. End with <CR-LF>.<CR-LF>";
    std::string sent;
    if (!Deliver("POST", {reply + "\r\n"}, &sent)) return false;
    if (sent.empty() || sent[0] != '3') return true;
    return ReceiveArticle();
}

bool Session::ReceiveArticle() {
    PostRecord record;
    std::string line, raw;
    for (;;) {
        if (!ReadLine(&line, &raw)) {
            RecordPost(std::move(record));
            return false;
        }
        record.raw += raw;
        if (line == ".") break;
        record.text += line[0] == '.' ? line.substr(1) : line;
        record.text += '\n';
        Fault fault;
        if (s_.FindFault("POST_LINE", &fault)) {
            // A reply or a broken connection abandons the article; record it
            // before acting, so that it is there when the client notices.
            bool abandons =
                fault.action == Fault::Action::Reply || fault.action == Fault::Action::Close ||
                fault.action == Fault::Action::Reset || fault.action == Fault::Action::Stall;
            if (abandons) RecordPost(record);
            bool alive = Perform(&fault, {}, nullptr);
            // After a reply the client gives up on the article, so what it
            // sends next is a command again.
            if (abandons) return alive;
            if (!alive) {
                RecordPost(std::move(record));
                return false;
            }
        }
    }
    record.complete = true;
    Posting posting;
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        posting = s_.posting;
    }
    std::string reply = posting == Posting::Fail ? "441 posting failed" : "240 article posted ok";
    if (posting == Posting::AcceptOnce) {
        const std::string id = FindMessageId(record.text);
        std::lock_guard<std::mutex> lock(s_.mu);
        if (!id.empty() && s_.postedIds.count(id) != 0) reply = "441 435 Duplicate";
    }
    // The record is kept before the reply goes out, so that a client that has
    // read the reply finds the article there.
    Fault fault;
    bool faulty = s_.FindFault("POST_DATA", &fault);
    Plan plan = MakePlan(faulty ? &fault : nullptr, {reply + "\r\n"});
    record.replyCode = ReplyCodeOf(Flatten(plan.writes));
    RecordPost(std::move(record));
    bool alive = Execute(plan, nullptr);
    return alive;
}

// Reads and drops input until the client closes, for a bounded time, so that
// input still in flight does not turn the final close into a reset.
void Drain(int fd) {
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kOrderlyCloseDrainMs);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EINTR)) return;
    }
}

void Serve(ServerState* s, std::shared_ptr<Connection> conn) {
    Session session(*s, *conn);
    session.Run();
    if (conn->drain && !conn->closed) Drain(conn->fd);
    std::lock_guard<std::mutex> lock(s->mu);
    if (!conn->closed) close(conn->fd);
    conn->closed = true;
    conn->done = true;
    --s->openConnections;
}

// Joins the threads of connections that have ended. Runs on the accept thread,
// the only one that starts connection threads.
void Reap(ServerState* s) {
    std::list<std::shared_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        for (auto it = s->conns.begin(); it != s->conns.end();) {
            if ((*it)->done) {
                finished.push_back(*it);
                it = s->conns.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) c->thread.join();
}

void AcceptLoop(ServerState* s) {
    for (;;) {
        pollfd fds[2] = {{s->listenFd, POLLIN, 0}, {s->wakePipe[0], POLLIN, 0}};
        int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Reap(s);
        auto conn = std::make_shared<Connection>();
        conn->fd = fd;
        std::lock_guard<std::mutex> lock(s->mu);
        if (s->noDelay) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        ++s->connections;
        ++s->openConnections;
        s->conns.push_back(conn);
        conn->thread = std::thread(Serve, s, conn);
    }
}

}  // namespace

NewsServer::NewsServer() : state_(std::make_unique<detail::ServerState>()) {}

NewsServer::~NewsServer() {
    Stop();
}

bool NewsServer::Start(std::uint16_t port) {
    return StartOn("127.0.0.1", port);
}

bool NewsServer::StartOn(const std::string& address, std::uint16_t port) {
    ServerState* s = state_.get();
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->running) return false;
    const bool six = address.find(':') != std::string::npos;
    int fd = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t len;
    if (six) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&storage);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        len = sizeof *a6;
        if (inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr) != 1) {
            close(fd);
            return false;
        }
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&storage);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        len = sizeof *a4;
        if (inet_pton(AF_INET, address.c_str(), &a4->sin_addr) != 1) {
            close(fd);
            return false;
        }
    }
    auto* addr = reinterpret_cast<sockaddr*>(&storage);
    if (bind(fd, addr, len) != 0 || listen(fd, 64) != 0 || getsockname(fd, addr, &len) != 0 ||
        pipe2(s->wakePipe, O_CLOEXEC) != 0) {
        close(fd);
        return false;
    }
    s->listenFd = fd;
    s->port = ntohs(six ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    s->running = true;
    s->stopping = false;
    s->acceptThread = std::thread(AcceptLoop, s);
    return true;
}

void NewsServer::Stop() {
    ServerState* s = state_.get();
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (!s->running || s->stopping) return;
        s->stopping = true;
    }
    s->stopCv.notify_all();
    char c = 0;
    while (write(s->wakePipe[1], &c, 1) < 0 && errno == EINTR) {
    }
    s->acceptThread.join();
    std::list<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        for (auto& conn : s->conns) {
            if (!conn->closed) shutdown(conn->fd, SHUT_RDWR);
        }
        conns.swap(s->conns);
    }
    for (auto& conn : conns) conn->thread.join();
    std::lock_guard<std::mutex> lock(s->mu);
    close(s->listenFd);
    close(s->wakePipe[0]);
    close(s->wakePipe[1]);
    s->listenFd = s->wakePipe[0] = s->wakePipe[1] = -1;
    s->running = false;
    s->stopping = false;
}

std::uint16_t NewsServer::Port() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->port;
}

void NewsServer::SetGreeting(int code, const std::string& text) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->greetingCode = code;
    state_->greetingText = text;
}

void NewsServer::SetAccounts(const std::map<std::string, std::string>& accounts, bool required) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->accounts = accounts;
    state_->authRequired = required;
}

void NewsServer::SetAuthReplies(const std::string& userReply, const std::string& acceptReply,
                                const std::string& rejectReply) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->userReply = userReply;
    state_->acceptReply = acceptReply;
    state_->rejectReply = rejectReply;
}

void NewsServer::SetModeReader(ModeReader mode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modeReader = mode;
}

void NewsServer::SetPosting(Posting posting) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->posting = posting;
}

void NewsServer::SetTwoWrites(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->twoWrites = on;
}

void NewsServer::SetListGroup(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->listGroup = on;
}

void NewsServer::SetNoDelay(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->noDelay = on;
}

bool NewsServer::SetTls(TlsMode mode, const std::string& certPem, const std::string& keyPem) {
    std::shared_ptr<SSL_CTX> context;
    // TLS writes through write(2), which has no MSG_NOSIGNAL: a client gone
    // away must not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (mode != TlsMode::None) {
        context.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!context) return false;
        BIO* bio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
        X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        bool ok = cert != nullptr && SSL_CTX_use_certificate(context.get(), cert) == 1;
        X509_free(cert);
        // The rest of the file is the chain.
        while (ok) {
            X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            if (extra == nullptr) break;
            if (SSL_CTX_add_extra_chain_cert(context.get(), extra) != 1) {
                X509_free(extra);
                ok = false;
            }
        }
        BIO_free(bio);
        ERR_clear_error();
        bio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        ok = ok && key != nullptr && SSL_CTX_use_PrivateKey(context.get(), key) == 1 &&
             SSL_CTX_check_private_key(context.get()) == 1;
        EVP_PKEY_free(key);
        if (!ok) return false;
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->tlsMode = mode;
    state_->tlsContext = std::move(context);
    return true;
}

int NewsServer::TlsHandshakes() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->tlsHandshakes;
}

std::string NewsServer::LastServerName() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->lastServerName;
}

void NewsServer::AddGroup(const Group& group) {
    GroupData data;
    data.postingFlag = group.postingFlag;
    for (const Article& a : group.articles) {
        data.articles[a.number] = PrepareArticle(group.name, a);
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->groups[group.name] = std::move(data);
}

bool NewsServer::RemoveGroup(const std::string& name) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->groups.erase(name) > 0;
}

void NewsServer::AddArticle(const std::string& group, const Article& article) {
    auto prepared = PrepareArticle(group, article);
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->groups[group].articles[article.number] = std::move(prepared);
}

bool NewsServer::RemoveArticle(const std::string& group, long number) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->groups.find(group);
    return it != state_->groups.end() && it->second.articles.erase(number) > 0;
}

bool NewsServer::CancelArticle(const std::string& group, long number) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->groups.find(group);
    if (it == state_->groups.end() || it->second.articles.erase(number) == 0) return false;
    it->second.highWater = std::max(it->second.highWater, number);
    return true;
}

void NewsServer::GenerateArticles(const std::string& group, long count, std::size_t size,
                                  long firstNumber) {
    std::map<long, std::shared_ptr<const PreparedArticle>> made;
    for (long n = firstNumber; n < firstNumber + count; ++n) {
        made[n] = PrepareArticle(group, Article{n, GeneratedArticleText(group, n, size)});
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    auto& arts = state_->groups[group].articles;
    for (auto& [n, a] : made) arts[n] = std::move(a);
}

void NewsServer::AddDemoGroups() {
    for (const Group& g : DemoGroups()) AddGroup(g);
}

long NewsServer::LoadDirectory(const std::string& dir) {
    std::vector<Group> groups;
    if (!ReadGroupDirectory(dir, &groups)) return -1;
    long count = 0;
    for (const Group& g : groups) {
        AddGroup(g);
        count += static_cast<long>(g.articles.size());
    }
    return count;
}

std::vector<std::string> NewsServer::GroupNames() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> names;
    for (const auto& [name, data] : state_->groups) names.push_back(name);
    return names;
}

void NewsServer::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faults.push_back(fault);
}

void NewsServer::ClearFaults() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faults.clear();
}

int NewsServer::Connections() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->connections;
}

int NewsServer::OpenConnections() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->openConnections;
}

std::vector<std::string> NewsServer::Commands() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->commands;
}

long NewsServer::Writes() const {
    return state_->writes.load();
}

std::vector<std::string> NewsServer::Posted() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> texts;
    for (const PostRecord& r : state_->posts) {
        if (r.complete && IsAll2xx(r.replyCode)) texts.push_back(r.text);
    }
    return texts;
}

std::vector<PostRecord> NewsServer::PostLog() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->posts;
}

void NewsServer::SetPostDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->postDir = dir;
}

void NewsServer::StallFromCommand(std::size_t nth) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stallFrom = nth;
}

}  // namespace testsrv
