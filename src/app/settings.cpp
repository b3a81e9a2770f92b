#include "app/settings.h"

#include <cctype>
#include <climits>
#include <cstdio>

#include "app/app_state.h"
#include "platform/files.h"
#include "platform/inet.h"
#include "platform/profile.h"

namespace app {

namespace {

bool EqualsNoCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == '\0';
}

std::string FormatLong(long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%ld", value);
    return text;
}

// A counter key: parsed when present, given its default in memory and in
// the file when missing. A value that does not parse leaves the counter as
// it was.
void LoadCounter(const char* key, std::int32_t defaultValue, std::int32_t& counter) {
    const std::string text = ReadSetting(key, kCounterBufferSize);
    if (!IsMissing(text)) {
        ParseLong(text, counter);
        return;
    }
    counter = defaultValue;
    WriteSetting(key, FormatLong(defaultValue));
}

}  // namespace

bool IsMissing(const std::string& value) {
    return EqualsNoCase(value, kMissing);
}

bool IsRealValue(const std::string& value) {
    return !value.empty() && !IsMissing(value) && !EqualsNoCase(value, kPlaceholder);
}

bool ParseLong(const std::string& text, std::int32_t& out) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT32_MAX) + 1)
            value = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    out = static_cast<std::int32_t>(value);
    return true;
}

std::string ReadSetting(const char* key, std::size_t bufferSize) {
    return plat::GetProfileString(kSection, key, kMissing, bufferSize, kProfileFile);
}

bool WriteSetting(const char* key, const std::string& value) {
    return plat::WriteProfileString(kSection, key, value, kProfileFile);
}

void LoadSettings() {
    AppState& app = App();
    AppSettings& s = app.settings;

    s.nntpServer = ReadSetting("NNTPServer");
    s.qivNewsDir = ReadSetting("QivNewsDir");
    s.nntpPort = plat::GetProfileInt(kSection, "NNTPPort", 0, kProfileFile);

    if (IsMissing(s.nntpServer)) {
        WriteSetting("NNTPServer", kPlaceholder);
        app.configComplete = false;
    }

    const std::string verification = ReadSetting("UserVerification");
    if (IsMissing(verification)) WriteSetting("UserVerification", "NO");
    s.userVerification = EqualsNoCase(verification, "yes") ? 1 : 0;

    // Read into the 32-byte buffers, so that a longer value edited into the
    // file is cut rather than carried along.
    s.qivNewsUsername = ReadSetting("QivNewsUsername", kCredentialBufferSize);
    if (IsMissing(s.qivNewsUsername)) WriteSetting("QivNewsUsername", kPlaceholder);
    s.qivNewsPassword = ReadSetting("QivNewsPassword", kCredentialBufferSize);
    if (IsMissing(s.qivNewsPassword)) WriteSetting("QivNewsPassword", kPlaceholder);

    s.timerInterval = plat::GetProfileInt(kSection, "TimerInterval", 0, kProfileFile);
    s.replyTimeout =
        plat::GetProfileInt(kSection, "ReplyTimeout", kDefaultReplyTimeout, kProfileFile);
    if (s.replyTimeout < 1 || s.replyTimeout > kMaxReplyTimeout)
        s.replyTimeout = kDefaultReplyTimeout;

    s.initialFetch = ReadInitialFetch();
    s.pipelineDepth = ReadPipelineDepth();

    const std::string compress = ReadSetting("Compress");
    s.compress = IsMissing(compress) ? 2 : ParseCompress(compress);

    const std::string security = ReadSetting("Security");
    s.security = IsMissing(security) ? 0 : ParseSecurity(security);
    s.caFile = ReadSetting("CAFile", kPathBufferSize);
    if (IsMissing(s.caFile)) s.caFile.clear();
    s.tlsFingerprint = ReadSetting("TlsFingerprint");
    if (IsMissing(s.tlsFingerprint)) s.tlsFingerprint.clear();

    if (s.nntpPort == 0) {
        s.nntpPort = 119;
        WriteSetting("NNTPPort", "119");
        app.configComplete = false;
    }

    if (IsMissing(s.qivNewsDir)) {
        WriteSetting("QivNewsDir", kPlaceholder);
        app.configComplete = false;
    }

    plat::SetSpoolRoot(s.qivNewsDir);

    LoadCounter("LastFileNumIn", 0, s.lastFileNumIn);
    LoadCounter("LastFileNumOut", 0, s.lastFileNumOut);
    LoadCounter("LastGroupNum", 1, s.lastGroupNum);
}

std::int32_t ReadInitialFetch() {
    const std::int32_t value = plat::GetProfileInt(kSection, "InitialFetch", 0, kProfileFile);
    return value > 0 ? value : 0;
}

std::int32_t ReadPipelineDepth() {
    const std::int32_t value =
        plat::GetProfileInt(kSection, "PipelineDepth", kDefaultPipelineDepth, kProfileFile);
    return value >= 1 && value <= kMaxPipelineDepth ? value : kDefaultPipelineDepth;
}

int ParseSecurity(const std::string& text) {
    std::size_t begin = text.find_first_not_of(' ');
    std::size_t end = text.find_last_not_of(' ');
    const std::string word = begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
    if (EqualsNoCase(word, "none")) return 0;
    if (EqualsNoCase(word, "tls")) return 1;
    if (EqualsNoCase(word, "starttls")) return 2;
    return kBadSecurity;
}

int ParseCompress(const std::string& text) {
    std::size_t begin = text.find_first_not_of(' ');
    std::size_t end = text.find_last_not_of(' ');
    const std::string word = begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
    if (EqualsNoCase(word, "off")) return 0;
    if (EqualsNoCase(word, "on")) return 1;
    if (EqualsNoCase(word, "auto")) return 2;
    return kBadCompress;
}

const char* CompressName(int compress) {
    switch (compress) {
        case 0:
            return "off";
        case 1:
            return "on";
        default:
            return "auto";
    }
}

const char* SecurityName(int security) {
    switch (security) {
        case 1:
            return "tls";
        case 2:
            return "starttls";
        default:
            return "none";
    }
}

bool IsLoopbackServer(const std::string& server) {
    std::string host = server;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (EqualsNoCase(host, "localhost") || EqualsNoCase(host, "localhost.") || host == "::1")
        return true;
    // Read as the connection manager reads a dotted address ("127.1" too).
    const in_addr_t address = inet_addr(host.c_str());
    return address != INADDR_NONE && (ntohl(address) >> 24) == 127;
}

bool CredentialFits(const std::string& value) {
    return value.size() <= kMaxCredentialLength;
}

bool SpoolDirFits(const std::string& value) {
    return value.size() <= kMaxSpoolDirLength;
}

}  // namespace app
