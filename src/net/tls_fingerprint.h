// The TlsFingerprint setting: the SHA-256 of the server's certificate.
#pragma once

#include <string>
#include <vector>

namespace net {

// 32 bytes from 64 hex digits, colons (and blanks) between them allowed.
bool ParseFingerprint(const std::string& text, std::vector<unsigned char>& out);

}  // namespace net
