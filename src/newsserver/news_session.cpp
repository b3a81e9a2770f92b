// The conversation on one connection: commands, replies, faults and TLS.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "newsserver/news_session.h"

namespace testsrv {

namespace {

constexpr std::size_t kMaxPendingLine = 1 << 20;
constexpr int kOrderlyCloseDrainMs = 2000;

int ReplyCodeOf(const std::string& sent) {
    if (sent.size() < 3) return 0;
    for (int i = 0; i < 3; ++i) {
        if (sent[i] < '0' || sent[i] > '9') return 0;
    }
    return (sent[0] - '0') * 100 + (sent[1] - '0') * 10 + (sent[2] - '0');
}

}  // namespace

namespace detail {

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

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
        if (!compressor_.Active()) {
            in_.append(buf, static_cast<std::size_t>(n));
        } else if (!compressor_.Inflate(buf, static_cast<std::size_t>(n), &in_)) {
            return false;
        }
    }
}

bool Session::WriteAll(const std::string& plain) {
    ++s_.writes;
    const std::string data = Encode(plain);
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
                         step == "POST" || step == "LISTGROUP" || step == "HEAD" || step == "OVER";
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
    if (step == "ARTICLE") return HandleArticle(rest, false);
    if (step == "HEAD") return HandleArticle(rest, true);
    if (step == "OVER") return HandleOver(rest);
    if (step == "NEXT") return HandleNext();
    if (step == "LIST") return HandleList(rest);
    if (step == "POST") return HandlePost();
    if (step == "CAPABILITIES") return HandleCapabilities();
    if (step == "COMPRESS") return HandleCompress(rest);
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
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (s_.over) list += "OVER\r\n";
    }
    if (!authed_) list += "AUTHINFO USER\r\n";
    if (tlsMode_ == TlsMode::StartTls && ssl_ == nullptr) list += "STARTTLS\r\n";
    {
        std::lock_guard<std::mutex> lock(s_.mu);
        if (s_.compress != CompressMode::None && !compressor_.Active())
            list += "COMPRESS DEFLATE\r\n";
    }
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

}  // namespace detail

namespace {

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

}  // namespace

namespace detail {

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

}  // namespace detail

}  // namespace testsrv
