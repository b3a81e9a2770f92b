// TLS between a connected stream socket and its owner. The engine talks to
// memory buffers, never to the socket: ciphertext the socket delivers is fed
// in, ciphertext the engine makes is sent through the socket's queue. So the
// socket keeps its event contract, nothing blocks, and plaintext the engine
// already holds is offered again from the loop even when the socket has
// nothing more to read.
//
// To the owner the layer looks like the socket: Send and Receive carry
// plaintext with the socket's results, and it hears Readable, SendDone (with
// the buffer it gave to Send) and Closed. One extra report, ConnectDone, ends
// the handshake: error 0 when the channel is secured and verified, otherwise
// nonzero with the cause in Problem(); nothing has then been exchanged but
// the handshake.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "net/deferred_call.h"
#include "net/tls_fingerprint.h"
#include "net/stream_socket.h"

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace net {

class CSchannelEngine;

struct TlsOptions {
    std::string host;         // the configured server: checked and sent as SNI
    std::string caFile;       // PEM authorities trusted besides the system store
    std::string fingerprint;  // SHA-256 of the certificate, hex; empty: none
};

class CTlsLayer : public CStreamClient {
public:
    CTlsLayer();
    CTlsLayer(const CTlsLayer&) = delete;
    CTlsLayer& operator=(const CTlsLayer&) = delete;
    ~CTlsLayer() override;

    // Takes over a connected socket (its client becomes this layer) and sends
    // the first handshake message. 0, or nonzero with Problem() set when the
    // settings cannot be used; the socket is then left as it was.
    int Begin(CStreamSocket* socket, CStreamClient* owner, const TlsOptions& options);
    // Plaintext. 0: gone at once; 10035: queued, SendDone(buffer) follows;
    // another code: failed.
    int Send(const void* buffer, int length);
    // 10035 while the engine has no plaintext; 0 with length 0 after the
    // server's TLS close.
    int Receive(void* buffer, int& length);
    // Sends the TLS close when the socket takes it at once, then closes the
    // socket. Nothing is reported.
    void Close();

    bool Active() const;
    bool Secured() const { return secured_; }
    // A layer above (compression) takes the owner's place.
    void SetOwner(CStreamClient* owner) { owner_ = owner; }
    const std::string& Problem() const { return problem_; }

    void StreamCallback(std::uint32_t cookie, StreamEvent kind, int error,
                        const void* data) override;

private:
    struct Chunk {
        std::vector<char> bytes;
        const void* ownerBuffer;  // null for bytes the engine made itself
    };

    CStreamSocket* socket_ = nullptr;
    CStreamClient* owner_ = nullptr;
#ifdef _WIN32
    CSchannelEngine* engine_ = nullptr;  // the Windows build's engine (Schannel)
#else
    ssl_ctx_st* ctx_ = nullptr;
    ssl_st* ssl_ = nullptr;
    bio_st* in_ = nullptr;     // ciphertext from the server, owned by ssl_
    bio_st* out_ = nullptr;    // ciphertext for the server, owned by ssl_
#endif
    std::list<Chunk> chunks_;  // ciphertext the socket still holds by pointer
    std::vector<unsigned char> pin_;
    std::string host_;
    std::string problem_;
    bool secured_ = false;
    bool sawBytes_ = false;    // something arrived during the handshake
    bool tlsRecords_ = false;  // and it began like a TLS record
    bool drained_ = false;     // the last Receive found nothing more
    bool peerClosed_ = false;  // the server's TLS close arrived
    bool broken_ = false;      // the engine failed after the handshake
    CDeferredCall more_{&CTlsLayer::OnMore, this};

    static void OnMore(void* self);
    void Reset();
    int Flush(const void* ownerBuffer);
    bool Pull();
    void Handshake();
    void FailHandshake(const std::string& problem);
    std::string HandshakeProblem() const;
#ifndef _WIN32
    bool PinMatches() const;
#endif
    void OfferPlaintext();
    bool Holding() const;
};

}  // namespace net
