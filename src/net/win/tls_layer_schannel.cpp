// The TLS layer of the Windows build: the same contract and the same
// bookkeeping as the OpenSSL one, with Schannel as the engine between the
// memory buffers (net/win/schannel_engine.h). Windows headers stay in the
// engine.
#include <cstring>

#include "net/tls_layer.h"
#include "net/win/schannel_engine.h"
#include "platform/wsa_errors.h"

namespace net {

namespace {

// One read of the socket per event, about one record.
constexpr int kReadSize = 16 * 1024 + 256;
// The owner's reads in a row before the loop gets its turn.
constexpr int kOffersInARow = 16;
// Bounds the plaintext offered at a close, in the owner's reads.
constexpr int kMaxOffersAtClose = 1 << 16;

}  // namespace

CTlsLayer::CTlsLayer() = default;

CTlsLayer::~CTlsLayer() {
    Reset();
}

bool CTlsLayer::Active() const {
    return engine_ != nullptr;
}

void CTlsLayer::Reset() {
    more_.Cancel();
    delete engine_;
    engine_ = nullptr;
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
    engine_ = new CSchannelEngine;
    if (!engine_->Start(host_, options.caFile, pin_)) {
        problem_ = engine_->Problem();
        const bool unreadable = problem_.rfind("the CA file ", 0) == 0;
        Reset();
        return unreadable ? plat::wsa::Invalid : plat::wsa::NoBuffers;
    }
    socket_->client = this;
    socket_->clientCookie = 0;
    const int sent = Flush(nullptr);
    if (sent != 0 && sent != plat::wsa::WouldBlock) {
        problem_ = "the TLS handshake could not be sent";
        socket_->client = owner_;
        Reset();
        return sent;
    }
    return 0;
}

// Hands what the engine made to the socket in a chunk of our own, which the
// socket keeps a pointer to while it is queued.
int CTlsLayer::Flush(const void* ownerBuffer) {
    if (engine_->OutputPending() == 0) return 0;
    chunks_.push_back(Chunk{engine_->TakeOutput(), ownerBuffer});
    Chunk& chunk = chunks_.back();
    const int result = socket_->Send(chunk.bytes.data(), static_cast<int>(chunk.bytes.size()));
    if (result != plat::wsa::WouldBlock) chunks_.pop_back();
    return result;
}

int CTlsLayer::Send(const void* buffer, int length) {
    if (!secured_ || broken_) return plat::wsa::NotConnected;
    if (length <= 0) return 0;
    if (!engine_->Write(buffer, length)) return plat::wsa::ConnectionAborted;
    return Flush(buffer);
}

int CTlsLayer::Receive(void* buffer, int& length) {
    const int room = length;
    length = 0;
    if (!secured_ || broken_) return plat::wsa::NotConnected;
    int got = 0;
    switch (engine_->Read(buffer, room, got)) {
        case CSchannelEngine::Done:
            length = got;
            return 0;
        case CSchannelEngine::WantRead:
            drained_ = true;
            Flush(nullptr);  // the engine may have answered something
            return plat::wsa::WouldBlock;
        case CSchannelEngine::PeerClosed:
            drained_ = true;
            peerClosed_ = true;
            return 0;
        default:
            // Tampered or garbled records: the connection is over, and the
            // owner hears it as a lost connection once this read returns.
            drained_ = true;
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
    engine_->Feed(buffer, static_cast<std::size_t>(length));
    drained_ = false;
    return true;
}

bool CTlsLayer::Holding() const {
    if (engine_ == nullptr || !secured_ || drained_ || broken_ || peerClosed_) return false;
    return engine_->PlainPending() > 0 || engine_->CipherPending() > 0;
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
    if (layer.engine_ == nullptr) return;
    if (layer.broken_) {
        layer.owner_->StreamCallback(0, StreamEvent::Closed, plat::wsa::ConnectionAborted, nullptr);
        return;
    }
    if (layer.Holding()) layer.OfferPlaintext();
}

std::string CTlsLayer::HandshakeProblem() const {
    if (!sawBytes_) return "the server closed the connection during the TLS handshake";
    if (!tlsRecords_) return "the server does not speak TLS on this port";
    if (!engine_->Problem().empty()) return engine_->Problem();
    return "the TLS handshake failed (no reason)";
}

void CTlsLayer::FailHandshake(const std::string& problem) {
    problem_ = problem;
    Flush(nullptr);  // the alert, if the socket takes it
    owner_->StreamCallback(0, StreamEvent::ConnectDone, plat::wsa::ConnectionAborted, nullptr);
}

void CTlsLayer::Handshake() {
    switch (engine_->Handshake()) {
        case CSchannelEngine::Done:
            Flush(nullptr);
            secured_ = true;
            owner_->StreamCallback(0, StreamEvent::ConnectDone, 0, nullptr);
            // The server may have written behind its last handshake message.
            if (Holding() && !more_.Pending()) more_.Post();
            return;
        case CSchannelEngine::WantRead:
            Flush(nullptr);
            return;
        default:
            FailHandshake(HandshakeProblem());
            return;
    }
}

void CTlsLayer::StreamCallback(std::uint32_t, StreamEvent kind, int error, const void* data) {
    if (engine_ == nullptr) return;
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
                if (engine_->CipherPending() > 0) Handshake();
                if (engine_ == nullptr) return;
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
                if (engine_ == nullptr) return;
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
    if (engine_ == nullptr) return;
    if (secured_ && !broken_ && socket_ != nullptr && socket_->Handle() != plat::kInvalidSocket &&
        !socket_->SendQueued()) {
        engine_->Shutdown();
        const std::vector<char> notify = engine_->TakeOutput();
        // Whatever the socket does not take at once is dropped by the
        // close below, before this buffer goes.
        if (!notify.empty()) socket_->Send(notify.data(), static_cast<int>(notify.size()));
    }
    if (socket_ != nullptr) socket_->Close();
    Reset();
}

}  // namespace net
