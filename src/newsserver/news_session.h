// The conversation on one connection, run on the connection's own thread:
// news_session.cpp reads commands and writes replies (with their faults, TLS
// and posting), news_articles.cpp serves the groups and their articles.
// Private to the server's files.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "newsserver/server_state.h"

struct z_stream_s;

namespace testsrv {

namespace detail {

// Raw deflate both ways, for one connection after COMPRESS DEFLATE.
class Compressor {
public:
    Compressor() = default;
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    ~Compressor();
    bool Start();
    bool Active() const { return out_ != nullptr; }
    // The bytes for the wire, flushed so that the client can read them all.
    std::string Deflate(const std::string& plain);
    // Appends what `data` inflates to; false when it is no deflate stream.
    bool Inflate(const char* data, std::size_t size, std::string* plain);
    std::size_t wireOut = 0;  // compressed bytes written so far

private:
    z_stream_s* out_ = nullptr;
    z_stream_s* in_ = nullptr;
};

std::string Upper(std::string s);
// Splits "VERB rest" at the first run of blanks.
void SplitWord(const std::string& line, std::string* word, std::string* rest);

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
    bool HandleArticle(const std::string& arg, bool headOnly);
    bool HandleOver(const std::string& range);
    bool HandleNext();
    bool HandleList(const std::string& arg);
    bool HandlePost();
    bool ReceiveArticle();
    void RecordPost(PostRecord record);
    bool Gated(const std::string& step, std::string* reply);
    bool Handshake(const std::shared_ptr<SSL_CTX>& context);
    bool HandleStartTls();
    bool HandleCapabilities();
    bool HandleCompress(const std::string& rest);
    // What goes on the wire for `data`: itself, or compressed (and
    // corrupted when the test asks for it).
    std::string Encode(const std::string& data);

    ServerState& s_;
    SSL* ssl_ = nullptr;
    std::shared_ptr<SSL_CTX> tlsContext_;  // the one this connection started with
    TlsMode tlsMode_ = TlsMode::None;
    Connection& c_;
    int fd_;
    Compressor compressor_;
    std::string in_;
    std::size_t inPos_ = 0;

    bool authed_ = false;
    bool haveUser_ = false;
    std::string user_;
    bool readerMode_ = false;
    std::string group_;
    long current_ = 0;  // 0: no current article
};

}  // namespace detail

}  // namespace testsrv
