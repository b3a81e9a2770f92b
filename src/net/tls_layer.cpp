#include "net/tls_layer.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>

#include "platform/wsa_errors.h"

namespace net {

namespace {

// One read of the socket per event: a record is at most about 16 KB, and
// reading no more than that keeps the ciphertext held in memory small.
constexpr int kReadSize = 16 * 1024 + 256;
// The owner's reads in a row before the loop gets its turn.
constexpr int kOffersInARow = 16;
// Bounds the plaintext offered at a close, in the owner's reads.
constexpr int kMaxOffersAtClose = 1 << 16;

bool IsAddressLiteral(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// With a pinned fingerprint the certificate is judged by the pin alone.
int AcceptAnyChain(int, X509_STORE_CTX*) {
    return 1;
}

// The system store as a hashed directory, read one certificate at a time
// as a chain needs it, rather than the whole bundle file parsed for every
// connection (a few MB and some milliseconds). SSL_CERT_FILE and
// SSL_CERT_DIR still choose other places, as everywhere else.
void LoadSystemAuthorities(SSL_CTX* ctx) {
    const char* dir = std::getenv(X509_get_default_cert_dir_env());
    SSL_CTX_load_verify_dir(ctx,
                            dir != nullptr && *dir != '\0' ? dir : X509_get_default_cert_dir());
    const char* file = std::getenv(X509_get_default_cert_file_env());
    if (file != nullptr && *file != '\0') SSL_CTX_load_verify_file(ctx, file);
    ERR_clear_error();  // a place that does not exist is no error here
}

}  // namespace

CTlsLayer::CTlsLayer() = default;

CTlsLayer::~CTlsLayer() {
    Reset();
}

bool CTlsLayer::Active() const {
    return ssl_ != nullptr;
}

void CTlsLayer::Reset() {
    more_.Cancel();
    if (ssl_ != nullptr) SSL_free(ssl_);  // frees both BIOs
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    ssl_ = nullptr;
    ctx_ = nullptr;
    in_ = out_ = nullptr;
    chunks_.clear();
    pin_.clear();
    secured_ = sawBytes_ = tlsRecords_ = drained_ = peerClosed_ = broken_ = false;
}

int CTlsLayer::Begin(CStreamSocket* socket, CStreamClient* owner, const TlsOptions& options) {
    Reset();
    problem_.clear();
    socket_ = socket;
    owner_ = owner;
    host_ = options.host;
    if (host_.size() > 2 && host_.front() == '[' && host_.back() == ']')
        host_ = host_.substr(1, host_.size() - 2);
    if (!options.fingerprint.empty() && !ParseFingerprint(options.fingerprint, pin_)) {
        problem_ = "TlsFingerprint is not a SHA-256 fingerprint (64 hex digits)";
        return plat::wsa::Invalid;
    }
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx_ == nullptr) {
        problem_ = "TLS cannot be set up";
        return plat::wsa::NoBuffers;
    }
    SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
    LoadSystemAuthorities(ctx_);
    if (!options.caFile.empty() &&
        SSL_CTX_load_verify_locations(ctx_, options.caFile.c_str(), nullptr) != 1) {
        problem_ = "the CA file " + options.caFile + " cannot be read";
        Reset();
        return plat::wsa::Invalid;
    }
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    if (ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
        if (ssl_ == nullptr) {
            BIO_free(in_);
            BIO_free(out_);
        } else {
            SSL_set_bio(ssl_, in_, out_);
        }
        problem_ = "TLS cannot be set up";
        Reset();
        return plat::wsa::NoBuffers;
    }
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
    if (IsAddressLiteral(host_)) {
        // No name to send; the address must be among the certificate's.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host_.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl_, host_.c_str());
        SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl_, host_.c_str());
    }
    SSL_set_verify(ssl_, SSL_VERIFY_PEER, pin_.empty() ? nullptr : AcceptAnyChain);
    socket_->client = this;
    socket_->clientCookie = 0;
    // The first message; nothing can have arrived yet, so this only writes.
    SSL_do_handshake(ssl_);
    const int sent = Flush(nullptr);
    if (sent != 0 && sent != plat::wsa::WouldBlock) {
        problem_ = "the TLS handshake could not be sent";
        socket_->client = owner_;
        Reset();
        return sent;
    }
    return 0;
}

// Moves what the engine wrote into a chunk of our own and hands it to the
// socket, which keeps a pointer to it while it is queued.
int CTlsLayer::Flush(const void* ownerBuffer) {
    const std::size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0) return 0;
    chunks_.push_back(Chunk{std::vector<char>(pending), ownerBuffer});
    Chunk& chunk = chunks_.back();
    BIO_read(out_, chunk.bytes.data(), static_cast<int>(pending));
    const int result = socket_->Send(chunk.bytes.data(), static_cast<int>(pending));
    if (result != plat::wsa::WouldBlock) chunks_.pop_back();
    return result;
}

int CTlsLayer::Send(const void* buffer, int length) {
    if (!secured_ || broken_) return plat::wsa::NotConnected;
    if (length <= 0) return 0;
    ERR_clear_error();
    // A memory sink takes every byte; the record goes out whole or queued.
    if (SSL_write(ssl_, buffer, length) != length) return plat::wsa::ConnectionAborted;
    return Flush(buffer);
}

int CTlsLayer::Receive(void* buffer, int& length) {
    const int room = length;
    length = 0;
    if (!secured_ || broken_) return plat::wsa::NotConnected;
    ERR_clear_error();
    const int got = SSL_read(ssl_, buffer, room);
    if (got > 0) {
        length = got;
        return 0;
    }
    drained_ = true;
    switch (SSL_get_error(ssl_, got)) {
        case SSL_ERROR_WANT_READ:
            Flush(nullptr);  // the engine may have answered something
            return plat::wsa::WouldBlock;
        case SSL_ERROR_ZERO_RETURN:
            peerClosed_ = true;
            return 0;
        default:
            // Tampered or garbled records: the connection is over, and the
            // owner hears it as a lost connection once this read returns.
            broken_ = true;
            more_.Post();
            return plat::wsa::WouldBlock;
    }
}

bool CTlsLayer::Pull() {
    char buffer[kReadSize];
    int length = kReadSize;
    const int result = socket_->Receive(buffer, length);
    if (result != 0 || length <= 0) return false;
    if (!sawBytes_) {
        sawBytes_ = true;
        // A handshake record or an alert: anything else is no TLS at all.
        tlsRecords_ = buffer[0] == 0x16 || buffer[0] == 0x15;
    }
    BIO_write(in_, buffer, length);
    drained_ = false;
    return true;
}

bool CTlsLayer::Holding() const {
    if (ssl_ == nullptr || !secured_ || drained_ || broken_ || peerClosed_) return false;
    return SSL_pending(ssl_) > 0 || BIO_ctrl_pending(in_) > 0;
}

// The owner reads once per Readable; what stays in the engine is offered
// again at once, since the socket will not report it, and after a bound
// from the loop, so that one busy connection does not hold up the rest.
void CTlsLayer::OfferPlaintext() {
    for (int i = 0; i < kOffersInARow; ++i) {
        owner_->StreamCallback(0, StreamEvent::Readable, 0, nullptr);
        if (!Holding()) return;  // drained, or closed by the owner
    }
    if (!more_.Pending()) more_.Post();
}

void CTlsLayer::OnMore(void* self) {
    CTlsLayer& layer = *static_cast<CTlsLayer*>(self);
    if (layer.ssl_ == nullptr) return;
    if (layer.broken_) {
        layer.owner_->StreamCallback(0, StreamEvent::Closed, plat::wsa::ConnectionAborted, nullptr);
        return;
    }
    if (layer.Holding()) layer.OfferPlaintext();
}

std::string CTlsLayer::HandshakeProblem() const {
    if (!sawBytes_) return "the server closed the connection during the TLS handshake";
    if (!tlsRecords_) return "the server does not speak TLS on this port";
    const long verify = SSL_get_verify_result(ssl_);
    if (verify != X509_V_OK && pin_.empty()) {
        switch (verify) {
            case X509_V_ERR_HOSTNAME_MISMATCH:
            case X509_V_ERR_IP_ADDRESS_MISMATCH:
                return "the server's certificate does not match the server name " + host_;
            case X509_V_ERR_CERT_HAS_EXPIRED:
            case X509_V_ERR_CERT_NOT_YET_VALID:
                return "the server's certificate has expired or is not yet valid";
            default:
                return std::string("the server's certificate is not trusted (") +
                       X509_verify_cert_error_string(verify) + ")";
        }
    }
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return std::string("the TLS handshake failed (") + (reason != nullptr ? reason : "no reason") +
           ")";
}

bool CTlsLayer::PinMatches() const {
    X509* cert = SSL_get0_peer_certificate(ssl_);
    if (cert == nullptr) return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &size) != 1) return false;
    return size == pin_.size() && std::memcmp(digest, pin_.data(), size) == 0;
}

void CTlsLayer::FailHandshake(const std::string& problem) {
    problem_ = problem;
    Flush(nullptr);  // the alert, if the socket takes it
    owner_->StreamCallback(0, StreamEvent::ConnectDone, plat::wsa::ConnectionAborted, nullptr);
}

void CTlsLayer::Handshake() {
    ERR_clear_error();
    const int done = SSL_do_handshake(ssl_);
    if (done == 1) {
        Flush(nullptr);
        if (!pin_.empty() && !PinMatches()) {
            FailHandshake("the server's certificate does not match TlsFingerprint");
            return;
        }
        secured_ = true;
        owner_->StreamCallback(0, StreamEvent::ConnectDone, 0, nullptr);
        // The server may have written behind its last handshake message.
        if (Holding() && !more_.Pending()) more_.Post();
        return;
    }
    if (SSL_get_error(ssl_, done) == SSL_ERROR_WANT_READ) {
        Flush(nullptr);
        return;
    }
    FailHandshake(HandshakeProblem());
}

void CTlsLayer::StreamCallback(std::uint32_t, StreamEvent kind, int error, const void* data) {
    if (ssl_ == nullptr) return;
    switch (kind) {
        case StreamEvent::Readable:
            if (!Pull()) return;
            if (!secured_) {
                Handshake();
            } else {
                OfferPlaintext();
            }
            return;
        case StreamEvent::SendDone: {
            const void* ownerBuffer = nullptr;
            for (auto it = chunks_.begin(); it != chunks_.end(); ++it) {
                if (it->bytes.data() != data) continue;
                ownerBuffer = it->ownerBuffer;
                chunks_.erase(it);
                break;
            }
            if (ownerBuffer != nullptr) {
                owner_->StreamCallback(0, StreamEvent::SendDone, error, ownerBuffer);
            } else if (error != 0 && secured_ && !broken_) {
                broken_ = true;  // a record of the engine's own was lost
                more_.Post();
            }
            return;
        }
        case StreamEvent::Closed: {
            if (!secured_) {
                while (Pull()) {
                }
                Handshake();
                if (ssl_ == nullptr) return;
                if (!secured_ && problem_.empty()) {
                    FailHandshake(HandshakeProblem());
                } else if (secured_) {
                    owner_->StreamCallback(0, StreamEvent::Closed, error, nullptr);
                }
                return;
            }
            // Every byte before the close is offered first; a close without
            // the server's TLS close may have cut a transfer short, which the
            // owner sees as the lost connection it is.
            while (Pull()) {
            }
            for (int i = 0; i < kMaxOffersAtClose && Holding(); ++i) {
                owner_->StreamCallback(0, StreamEvent::Readable, 0, nullptr);
                if (ssl_ == nullptr) return;
            }
            more_.Cancel();
            owner_->StreamCallback(0, StreamEvent::Closed, error, nullptr);
            return;
        }
        default:
            owner_->StreamCallback(0, kind, error, data);
            return;
    }
}

void CTlsLayer::Close() {
    if (ssl_ == nullptr) return;
    if (secured_ && !broken_ && socket_ != nullptr && socket_->Handle() != plat::kInvalidSocket &&
        !socket_->SendQueued()) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        const std::size_t pending = BIO_ctrl_pending(out_);
        std::vector<char> notify(pending);
        BIO_read(out_, notify.data(), static_cast<int>(pending));
        // Whatever the socket does not take at once is dropped by the
        // close below, before this buffer goes.
        if (pending > 0) socket_->Send(notify.data(), static_cast<int>(pending));
    }
    if (socket_ != nullptr) socket_->Close();
    Reset();
}

}  // namespace net
