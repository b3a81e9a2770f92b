// Shared parts of the tests against a real news server (INN, started by
// tests/interop/inn-setup): where it listens, the built program run as a
// child process, a blocking NNTP client that looks at the server's side,
// and readers for the files the program leaves behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace interop {

// What inn-setup wrote to /tmp/qiv-inn.env (or $QIV_INN_ENV).
struct InnEnv {
    std::string host;
    int transitPort = 0;  // innd: "401 MODE-READER" until MODE READER
    int readerPort = 0;   // nnrpd, open
    int authPort = 0;     // nnrpd, AUTHINFO required
    std::string user;
    std::string password;
    int tlsPort = 0;       // nnrpd -S: TLS from the first byte; login only encrypted
    int startTlsPort = 0;  // nnrpd offering STARTTLS; login only encrypted
    int ipv6Port = 0;      // nnrpd on ::1, open
    std::string caFile;    // the authority of the TLS ports' certificate
};

// Reads the facts and checks that the reader daemon greets; false with the
// reason when INN cannot be used.
bool FindInn(InnEnv& env, std::string& why);

struct ProgramResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    int signal = 0;   // the signal that ended it, if any
    std::string out;
    std::string err;
    std::vector<std::string> Lines() const;  // standard output, line by line
};

// One qivnews run: its own profile directory and spool under a temporary
// directory. SetUp skips the test, or fails it in CI (CI=true) and as root,
// when INN is not there.
class InnTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs qivnews --profile-dir <profile> args...; killAfterMs >= 0 kills it
    // (SIGKILL) that long after the start if it still runs.
    ProgramResult Qiv(const std::vector<std::string>& args, int boundMs = 60000,
                      int killAfterMs = -1);
    // "setup" for the given port, without authentication unless user is set.
    void Configure(int port, const std::string& user = "", const std::string& password = "");
    // Setup options beyond those: --security, --ca-file, --server ...
    void Secure(const std::vector<std::string>& options);
    // Skips the test when inn-setup has not started the TLS and IPv6 daemons.
    bool HaveTls() const { return inn_.tlsPort > 0 && inn_.startTlsPort > 0 && inn_.ipv6Port > 0; }
    // "subscribe" and the group number it reports.
    int Subscribe(const std::string& group);

    std::string Spool(const std::string& rel = std::string()) const { return spool_ + "/" + rel; }
    // A key of qiv.ini (section QIVNEWS) or qivnews.ini; "" when missing.
    std::string Setting(const std::string& key) const;
    std::string GroupKey(int group, const std::string& key) const;

    InnEnv inn_;
    std::string work_;
    std::string profile_;
    std::string spool_;
};

// A blocking client for looking at the server's side. Every wait is bounded.
class NntpProbe {
public:
    NntpProbe() = default;
    ~NntpProbe();
    NntpProbe(const NntpProbe&) = delete;
    NntpProbe& operator=(const NntpProbe&) = delete;

    // Connects and reads the greeting; false when either fails.
    bool Open(const std::string& host, int port, std::string* greeting = nullptr);
    // Sends one command and returns the status line ("" when the connection
    // broke).
    std::string Command(const std::string& command);
    // After a status line that opens data: the lines up to ".", with the
    // leading dot of a stuffed line removed.
    bool Data(std::vector<std::string>& lines);

    // Convenience: LISTGROUP numbers; an article as the server holds it,
    // each line ending in CR LF ("" when the server does not have it).
    std::vector<long> ListGroup(const std::string& group);
    std::string Article(const std::string& which);
    // POSTs an article given with LF line ends; the status line after it
    // ("" when POST was refused or the connection broke).
    std::string Post(const std::string& article);

private:
    bool Line(std::string& line);
    int fd_ = -1;
    std::string buffer_;
};

// One 322-byte index record, field by field.
struct IndexRecord {
    std::string raw;  // all 322 bytes
    std::string groupNumber;
    std::string fixedTag;
    std::string sender;
    std::string dayMonth;
    std::string subject;
    std::string timestamp;
    std::string fileName;
    std::string fileNameCopy;
    std::string articleNumber;
};
std::vector<IndexRecord> ReadIndex(const std::string& path);

std::string MakeTempDir();
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);  // sorted, without . and ..

// Lines joined with CR LF after each, as a text file of the spool holds them.
std::string CrLf(const std::vector<std::string>& lines);
// A header's value from an article's text (first match, unfolded); "" when
// the article has none.
std::string HeaderOf(const std::string& article, const std::string& name);
// The body of an article's text: everything after the first empty line.
std::string BodyOf(const std::string& article);
// A text no other run of the tests has used: for subjects and message ids.
std::string UniqueTag();
// Runs INN's ctlinnd with the arguments (each one word); true when it
// succeeded. For "newgroup NAME" and "cancel <message-id>".
bool CtlInnd(const std::vector<std::string>& args);

}  // namespace interop
