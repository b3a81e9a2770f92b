// A TLS client engine on Schannel (SSPI) that works like an OpenSSL object
// between two memory buffers: ciphertext from the server is fed in,
// ciphertext for the server is taken out, plaintext goes through Read and
// Write. Nothing here touches a socket, blocks or starts a thread, so the
// layer above keeps the socket's event contract.
//
// The server is judged as the Linux build judges it: TLS 1.2 or later; with
// a pin, the SHA-256 of its certificate alone; otherwise a chain to the
// system's authorities or to those of the CA file, and the configured name
// (or address) among the certificate's names. Failures are worded as the
// OpenSSL build words them, so that the log reads the same on both.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace net {

class CSchannelEngine {
public:
    enum Result { Done = 1, WantRead = 0, PeerClosed = -1, Failed = -2 };

    CSchannelEngine();
    CSchannelEngine(const CSchannelEngine&) = delete;
    CSchannelEngine& operator=(const CSchannelEngine&) = delete;
    ~CSchannelEngine();

    // host: the configured server (brackets already taken off); caFile: PEM
    // authorities trusted besides the system store; pin: 32 bytes or empty.
    // Writes the first handshake message into the output. False with
    // Problem() set when the settings cannot be used.
    bool Start(const std::string& host, const std::string& caFile,
               const std::vector<unsigned char>& pin);

    void Feed(const char* data, std::size_t length);
    // Ciphertext waiting to go to the server; TakeOutput empties it.
    std::size_t OutputPending() const;
    std::vector<char> TakeOutput();

    // Goes on with the handshake on what was fed: Done once secured and
    // verified, WantRead for more input, Failed with Problem() set.
    Result Handshake();
    // Done with got > 0; WantRead; PeerClosed after the server's TLS close;
    // Failed for records that do not decrypt.
    Result Read(void* buffer, int room, int& got);
    // Encrypts into the output; false when the engine cannot.
    bool Write(const void* buffer, int length);
    // The TLS close, into the output.
    void Shutdown();

    std::size_t PlainPending() const;   // decrypted, not yet read
    std::size_t CipherPending() const;  // fed, not yet decrypted
    bool Secured() const;
    const std::string& Problem() const;

    // Test support: the protocol agreed, e.g. "TLS 1.2"; empty before.
    std::string Protocol() const;

private:
    struct State;
    std::unique_ptr<State> s_;
};

// Host-name rules of the check, apart so they can be tested alone: a
// pattern from the certificate against the configured name, as OpenSSL
// checks with partial wildcards refused ("*.example.org" matches one label).
bool CertificateNameMatches(const std::string& pattern, const std::string& host);

}  // namespace net
