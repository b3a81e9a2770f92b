// The settings and counters of section QIVNEWS in "qiv.ini".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

constexpr char kProfileFile[] = "qiv.ini";
constexpr char kGroupProfileFile[] = "qivnews.ini";
constexpr char kSection[] = "QIVNEWS";
// The default a string key is read with; "z" in any letter case means missing.
constexpr char kMissing[] = "z";
// What a missing text key is given in the file, so that the user finds it.
constexpr char kPlaceholder[] = "NotYetSet";

constexpr std::size_t kSettingBufferSize = 256;    // server, spool directory
constexpr std::size_t kCredentialBufferSize = 32;  // user name, password
constexpr std::size_t kCounterBufferSize = 25;     // counters: at most 24 characters
// The session's user name and password fields hold 29 characters.
constexpr std::size_t kMaxCredentialLength = 29;
constexpr std::size_t kMaxServerLength = kSettingBufferSize - 1;
// Every path built from the spool directory must stay within 255 characters;
// the longest is an article file: "/news/NG" + a group number (10 digits) +
// "/" + a file number ("%08ld", 11 characters) + ".nws".
constexpr std::size_t kMaxSpoolDirLength = 255 - 8 - 10 - 1 - 11 - 4;

struct AppSettings {
    std::string nntpServer;           // NNTPServer
    std::string qivNewsDir;           // QivNewsDir, the spool directory
    std::int32_t nntpPort = 0;        // NNTPPort
    int userVerification = 0;         // UserVerification: 1 when "yes" in any case
    std::string qivNewsUsername;      // QivNewsUsername, read again before sending it
    std::string qivNewsPassword;      // QivNewsPassword, read again before sending it
    std::int32_t timerInterval = 0;   // TimerInterval, minutes
    std::int32_t lastFileNumIn = 0;   // number of the next incoming article file
    std::int32_t lastFileNumOut = 0;  // kept for the board; never changed
    std::int32_t lastGroupNum = 0;    // one more than the highest group number given out
    std::int32_t replyTimeout = 0;    // ReplyTimeout, seconds a server may stay silent
    int security = 0;                 // Security: a nntp::CNntpSession::Security, or kBadSecurity
    std::string caFile;               // CAFile: authorities trusted besides the system's
    std::string tlsFingerprint;       // TlsFingerprint: the pinned certificate, hex
    std::int32_t initialFetch = 0;    // InitialFetch: articles a new group starts with; 0 all
    std::int32_t pipelineDepth = 0;   // PipelineDepth: ARTICLE requests in flight; 1 lock-step
    int compress = 2;                 // Compress: a nntp::CNntpSession::Compress, or kBadCompress
};

// Security, CAFile and TlsFingerprint are read but never written unless set,
// so that a missing key means a plain connection, as it always did.
constexpr int kBadSecurity = -1;  // a value other than none, tls or starttls
constexpr std::size_t kPathBufferSize = 4096;
// "none", "tls" or "starttls" in any letter case, else kBadSecurity.
int ParseSecurity(const std::string& text);
const char* SecurityName(int security);
// The server is this machine (a loopback address or localhost): a password
// sent to it in the clear does not travel.
bool IsLoopbackServer(const std::string& server);

// ReplyTimeout is read but never written, so that a first start leaves the
// file as it always was. Values outside 1..kMaxReplyTimeout mean the default.
constexpr std::int32_t kDefaultReplyTimeout = 120;
constexpr std::int32_t kMaxReplyTimeout = 24 * 60 * 60;

// InitialFetch likewise stays out of the file until set; a missing key, 0 or
// a negative value means a group without Index starts at its first article.
std::int32_t ReadInitialFetch();

// PipelineDepth too; missing or out of 1..kMaxPipelineDepth: the default.
// 1 is the exchange of ARTICLE and NEXT in turn.
constexpr std::int32_t kDefaultPipelineDepth = 32;
constexpr std::int32_t kMaxPipelineDepth = 256;
std::int32_t ReadPipelineDepth();

// Compress likewise; missing means auto: compressed when the server offers
// COMPRESS DEFLATE. A value other than auto, on or off is kBadCompress,
// used as auto and logged.
constexpr int kBadCompress = -1;
int ParseCompress(const std::string& text);
const char* CompressName(int compress);

// True for the value a key reads as when it is missing ("z", any case).
bool IsMissing(const std::string& value);
// True when a text setting holds something the user entered: neither missing
// nor the placeholder written for a missing key.
bool IsRealValue(const std::string& value);

// Reads a counter the way the profile's "%ld" values are read: leading white
// space, an optional sign, at least one digit; the value is clamped to 32
// bits. False (and out unchanged) when the text holds no number.
bool ParseLong(const std::string& text, std::int32_t& out);

// Reads a QIVNEWS key as text, at most bufferSize - 1 characters.
std::string ReadSetting(const char* key, std::size_t bufferSize = kSettingBufferSize);
bool WriteSetting(const char* key, const std::string& value);

// Fills AppSettings from "qiv.ini", writing a placeholder or default for
// most missing keys; clears configComplete when the server, port or spool
// directory is missing.
void LoadSettings();

// Limits of what Setup accepts.
bool CredentialFits(const std::string& value);
bool SpoolDirFits(const std::string& value);

}  // namespace app
