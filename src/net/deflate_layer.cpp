#include "net/deflate_layer.h"

#include <zlib.h>

#include <cstring>

#include "net/tls_layer.h"
#include "platform/wsa_errors.h"

namespace net {

namespace {

// As the TLS layer: the owner's reads in a row before the loop gets its
// turn, and the bound on what is offered when the stream below closes.
constexpr int kOffersInARow = 16;
constexpr int kMaxOffersAtClose = 1 << 16;
// Raw deflate, no zlib or gzip wrapper, with the largest window.
constexpr int kWindowBits = -15;

}  // namespace

CDeflateLayer::CDeflateLayer() = default;

CDeflateLayer::~CDeflateLayer() {
    Reset();
}

void CDeflateLayer::Reset() {
    more_.Cancel();
    if (deflate_ != nullptr) {
        deflateEnd(deflate_);
        delete deflate_;
    }
    if (inflate_ != nullptr) {
        inflateEnd(inflate_);
        delete inflate_;
    }
    deflate_ = inflate_ = nullptr;
    chunks_.clear();
    input_.clear();
    input_.shrink_to_fit();
    active_ = broken_ = full_ = ended_ = false;
}

int CDeflateLayer::Begin(CStreamSocket* socket, CTlsLayer* tls, CStreamClient* owner,
                         const char* early, int earlyLength) {
    Reset();
    problem_.clear();
    plainIn_ = plainOut_ = wireIn_ = wireOut_ = 0;
    if (earlyLength < 0 || earlyLength > kInputSize) return plat::wsa::Invalid;
    deflate_ = new z_stream{};
    inflate_ = new z_stream{};
    const bool ready = deflateInit2(deflate_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kWindowBits, 8,
                                    Z_DEFAULT_STRATEGY) == Z_OK;
    if (!ready || inflateInit2(inflate_, kWindowBits) != Z_OK) {
        if (ready) deflateEnd(deflate_);
        delete deflate_;
        delete inflate_;
        deflate_ = inflate_ = nullptr;
        problem_ = "compression cannot be set up";
        return plat::wsa::NoBuffers;
    }
    socket_ = socket;
    tls_ = tls != nullptr && tls->Active() ? tls : nullptr;
    owner_ = owner;
    input_.resize(kInputSize);
    if (earlyLength > 0) std::memcpy(input_.data(), early, static_cast<std::size_t>(earlyLength));
    inflate_->next_in = input_.data();
    inflate_->avail_in = static_cast<uInt>(earlyLength);
    wireIn_ = static_cast<std::uint64_t>(earlyLength);
    if (tls_ != nullptr) {
        tls_->SetOwner(this);
    } else {
        socket_->client = this;
        socket_->clientCookie = 0;
    }
    active_ = true;
    // Nothing below reports bytes that have already been read from it.
    if (earlyLength > 0) more_.Post();
    return 0;
}

int CDeflateLayer::LowerSend(const void* buffer, int length) {
    return tls_ != nullptr ? tls_->Send(buffer, length) : socket_->Send(buffer, length);
}

int CDeflateLayer::LowerReceive(void* buffer, int& length) {
    return tls_ != nullptr ? tls_->Receive(buffer, length) : socket_->Receive(buffer, length);
}

int CDeflateLayer::Send(const void* buffer, int length) {
    if (!active_ || broken_) return plat::wsa::NotConnected;
    if (length <= 0) return 0;
    z_stream& z = *deflate_;
    z.next_in = static_cast<Bytef*>(const_cast<void*>(buffer));
    z.avail_in = static_cast<uInt>(length);
    chunks_.push_back(Chunk{std::vector<char>(), buffer});
    std::vector<char>& out = chunks_.back().bytes;
    std::size_t used = 0;
    // A full output buffer may hide more: deflate is called again with room.
    do {
        out.resize(used + static_cast<std::size_t>(length) + 64);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + used);
        z.avail_out = static_cast<uInt>(out.size() - used);
        if (deflate(&z, Z_SYNC_FLUSH) == Z_STREAM_ERROR) {
            chunks_.pop_back();
            return plat::wsa::ConnectionAborted;
        }
        used = out.size() - z.avail_out;
    } while (z.avail_out == 0);
    out.resize(used);
    plainOut_ += static_cast<std::uint64_t>(length);
    wireOut_ += used;
    const int result = LowerSend(out.data(), static_cast<int>(used));
    if (result != plat::wsa::WouldBlock) chunks_.pop_back();
    return result;
}

bool CDeflateLayer::Pull() {
    int length = kInputSize;
    const int result = LowerReceive(input_.data(), length);
    if (result != 0 || length <= 0) return false;
    wireIn_ += static_cast<std::uint64_t>(length);
    inflate_->next_in = input_.data();
    inflate_->avail_in = static_cast<uInt>(length);
    return true;
}

void CDeflateLayer::Fail(const char* why) {
    if (broken_) return;
    broken_ = true;
    problem_ = why;
    more_.Post();
}

int CDeflateLayer::Receive(void* buffer, int& length) {
    const int room = length;
    length = 0;
    if (!active_) return plat::wsa::NotConnected;
    if (broken_ || room <= 0) return plat::wsa::WouldBlock;
    z_stream& z = *inflate_;
    z.next_out = static_cast<Bytef*>(buffer);
    z.avail_out = static_cast<uInt>(room);
    for (;;) {
        if (z.avail_in == 0 && !Pull()) break;
        if (ended_) {
            Fail("the server sent data behind the end of its compressed stream");
            break;
        }
        const int result = inflate(&z, Z_SYNC_FLUSH);
        if (result == Z_STREAM_END) {
            ended_ = true;
        } else if (result != Z_OK && result != Z_BUF_ERROR) {
            Fail(z.msg != nullptr ? z.msg : "the compressed stream is corrupt");
            break;
        }
        if (z.avail_out == 0) break;
    }
    // What a broken stream gave in its last read is not trusted: the line
    // it belongs to is cut off with the connection.
    if (broken_) return plat::wsa::WouldBlock;
    full_ = z.avail_out == 0;
    length = room - static_cast<int>(z.avail_out);
    plainIn_ += static_cast<std::uint64_t>(length);
    return length > 0 ? 0 : plat::wsa::WouldBlock;
}

bool CDeflateLayer::Holding() const {
    return active_ && !broken_ && (inflate_->avail_in > 0 || full_);
}

// The owner reads once per Readable; what the layer still holds is offered
// again, as the TLS layer does with its plaintext.
void CDeflateLayer::OfferPlaintext() {
    for (int i = 0; i < kOffersInARow; ++i) {
        owner_->StreamCallback(0, StreamEvent::Readable, 0, nullptr);
        if (!Holding()) return;
    }
    if (!more_.Pending()) more_.Post();
}

void CDeflateLayer::OnMore(void* self) {
    CDeflateLayer& layer = *static_cast<CDeflateLayer*>(self);
    if (!layer.active_) return;
    if (layer.broken_) {
        layer.owner_->StreamCallback(0, StreamEvent::Closed, plat::wsa::ConnectionAborted, nullptr);
        return;
    }
    if (layer.Holding() || layer.inflate_->avail_in > 0) layer.OfferPlaintext();
}

void CDeflateLayer::StreamCallback(std::uint32_t, StreamEvent kind, int error, const void* data) {
    if (!active_) return;
    switch (kind) {
        case StreamEvent::Readable:
            if (!broken_) OfferPlaintext();
            return;
        case StreamEvent::SendDone: {
            const void* ownerBuffer = nullptr;
            for (auto it = chunks_.begin(); it != chunks_.end(); ++it) {
                if (it->bytes.data() != data) continue;
                ownerBuffer = it->ownerBuffer;
                chunks_.erase(it);
                break;
            }
            if (ownerBuffer != nullptr) owner_->StreamCallback(0, kind, error, ownerBuffer);
            return;
        }
        case StreamEvent::Closed:
            // Every byte before the close is offered first, as below.
            for (int i = 0; i < kMaxOffersAtClose && !broken_; ++i) {
                if (!Holding() && !Pull()) break;
                owner_->StreamCallback(0, StreamEvent::Readable, 0, nullptr);
                if (!active_) return;
            }
            more_.Cancel();
            owner_->StreamCallback(0, StreamEvent::Closed,
                                   broken_ ? plat::wsa::ConnectionAborted : error, nullptr);
            return;
        default:
            owner_->StreamCallback(0, kind, error, data);
            return;
    }
}

}  // namespace net
