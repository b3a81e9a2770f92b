// Compression (raw deflate, RFC 1951, as NNTP's COMPRESS DEFLATE uses it)
// between the stream below, the socket or the TLS layer above it, and the
// owner. Plaintext is compressed before TLS encrypts it. Each Send is
// flushed to a byte boundary (Z_SYNC_FLUSH), so that the server can read
// every command as soon as it is sent.
//
// To the owner the layer looks like what it sits on: Send and Receive carry
// plaintext with the socket's results, and it hears Readable, SendDone (with
// the buffer it gave to Send) and Closed. Memory is bounded: one read of
// compressed input is held at a time, and inflated bytes go straight into
// the owner's buffer. A stream that does not inflate is a broken
// connection: the owner hears Closed (error 10053) and reads nothing more.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "net/deferred_call.h"
#include "net/stream_socket.h"

struct z_stream_s;

namespace net {

class CTlsLayer;

class CDeflateLayer : public CStreamClient {
public:
    // One read of the stream below; also what the layer holds of it.
    static constexpr int kInputSize = 16 * 1024;

    CDeflateLayer();
    CDeflateLayer(const CDeflateLayer&) = delete;
    CDeflateLayer& operator=(const CDeflateLayer&) = delete;
    ~CDeflateLayer() override;

    // Puts the layer between `owner` and the stream below it: tls when it is
    // active, the socket otherwise. `early` holds bytes already read from
    // below that belong to the compressed stream. 0, or nonzero (nothing
    // changed) when zlib cannot be set up.
    int Begin(CStreamSocket* socket, CTlsLayer* tls, CStreamClient* owner, const char* early,
              int earlyLength);
    // Plaintext. 0: gone at once; 10035: queued, SendDone(buffer) follows;
    // another code: failed.
    int Send(const void* buffer, int length);
    // 10035 while nothing inflates (or once the stream is broken).
    int Receive(void* buffer, int& length);
    // Forgets the stream; the caller closes what lies below. The owner's
    // place below is not given back: the connection ends with the layer.
    void Reset();

    bool Active() const { return active_; }
    bool Broken() const { return broken_; }
    const std::string& Problem() const { return problem_; }
    // Bytes on each side of the layer since Begin.
    std::uint64_t PlainIn() const { return plainIn_; }
    std::uint64_t PlainOut() const { return plainOut_; }
    std::uint64_t WireIn() const { return wireIn_; }
    std::uint64_t WireOut() const { return wireOut_; }

    void StreamCallback(std::uint32_t cookie, StreamEvent kind, int error,
                        const void* data) override;

private:
    struct Chunk {
        std::vector<char> bytes;
        const void* ownerBuffer;
    };

    CStreamSocket* socket_ = nullptr;
    CTlsLayer* tls_ = nullptr;
    CStreamClient* owner_ = nullptr;
    z_stream_s* deflate_ = nullptr;
    z_stream_s* inflate_ = nullptr;
    std::vector<unsigned char> input_;  // compressed bytes not yet inflated
    std::list<Chunk> chunks_;           // compressed bytes the stream below holds
    std::string problem_;
    bool active_ = false;
    bool broken_ = false;
    bool full_ = false;   // the last inflate filled the owner's buffer
    bool ended_ = false;  // the server's stream has ended (a final block)
    std::uint64_t plainIn_ = 0, plainOut_ = 0, wireIn_ = 0, wireOut_ = 0;
    CDeferredCall more_{&CDeflateLayer::OnMore, this};

    static void OnMore(void* self);
    int LowerSend(const void* buffer, int length);
    int LowerReceive(void* buffer, int& length);
    bool Pull();
    bool Holding() const;
    void OfferPlaintext();
    void Fail(const char* why);
};

}  // namespace net
