// The server a session connects to, apart from the session so that its
// owner can keep one without the whole session's header.
#pragma once

#include <cstdint>
#include <string>

namespace nntp {

// Where Connect goes and how it secures the connection. Every member has
// an initializer, so that a designated initializer may name only some.
struct ServerConfig {
    std::string host{};  // longer than CNntpSession::kPathSize - 1: refused
    std::uint32_t port = 0;
    int security = 0;              // a CNntpSession::Security
    std::string caFile{};          // extra authorities; empty: none
    std::string tlsFingerprint{};  // the pinned certificate; empty: none
    int compress = 0;              // a CNntpSession::Compress
};

}  // namespace nntp
