// The fingerprint setting, shared by both TLS engines.
#include "net/tls_fingerprint.h"

#include <cctype>

namespace net {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool ParseFingerprint(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    int high = -1;
    for (const char c : text) {
        if (c == ':' || c == ' ') {
            if (high >= 0) return false;  // a separator inside a byte
            continue;
        }
        const int v = HexValue(c);
        if (v < 0) return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>(high * 16 + v));
            high = -1;
        }
    }
    return high < 0 && out.size() == 32;
}

}  // namespace net
