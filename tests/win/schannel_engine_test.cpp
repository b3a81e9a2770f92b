// The Schannel engine against real TLS servers on 127.0.0.1 (openssl
// s_server, started by tests/win/run-tls-tests): the same verdicts, in the
// same words, as the OpenSSL build gives for each case. A blocking socket
// carries the bytes here; the engine itself never touches one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "net/tls_fingerprint.h"
#include "net/win/schannel_engine.h"

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

int Port(const char* name) {
    return std::atoi(Env(name).c_str());
}

std::string Pki(const char* file) {
    return Env("QIV_TLS_PKI") + "\\" + file;
}

struct Outcome {
    bool started = false;
    bool secured = false;
    std::string problem;
    std::string protocol;
    std::string reply;
};

class Connection {
public:
    explicit Connection(int port) {
        s_ = socket(AF_INET, SOCK_STREAM, 0);
        DWORD timeout = 20000;  // a bound for a broken server, not a pace
        setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(s_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Connection() { closesocket(s_); }
    bool Connected() const { return connected_; }

    bool Flush(net::CSchannelEngine& engine) {
        const std::vector<char> out = engine.TakeOutput();
        for (std::size_t sent = 0; sent < out.size();) {
            const int n = send(s_, out.data() + sent, static_cast<int>(out.size() - sent), 0);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Pull(net::CSchannelEngine& engine) {
        char buffer[16384];
        const int n = recv(s_, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        engine.Feed(buffer, static_cast<std::size_t>(n));
        return true;
    }

private:
    SOCKET s_ = INVALID_SOCKET;
    bool connected_ = false;
};

// Handshakes with the server on port as the layer would for host, then
// sends text and reads until as many lines came back.
Outcome Exchange(int port, const std::string& host, const std::string& caFile, const std::string& pin,
            const std::string& text = "hello\n") {
    Outcome outcome;
    Connection c(port);
    if (!c.Connected()) {
        outcome.problem = "no server on port " + std::to_string(port);
        return outcome;
    }
    std::vector<unsigned char> digest;
    if (!pin.empty()) net::ParseFingerprint(pin, digest);
    net::CSchannelEngine engine;
    outcome.started = engine.Start(host, caFile, digest);
    if (!outcome.started) {
        outcome.problem = engine.Problem();
        return outcome;
    }
    for (;;) {
        c.Flush(engine);
        const auto r = engine.Handshake();
        c.Flush(engine);
        if (r == net::CSchannelEngine::Done) break;
        if (r == net::CSchannelEngine::Failed) {
            outcome.problem = engine.Problem();
            return outcome;
        }
        if (!c.Pull(engine)) {
            outcome.problem = "closed during the handshake";
            return outcome;
        }
    }
    outcome.secured = engine.Secured();
    outcome.protocol = engine.Protocol();
    if (!engine.Write(text.data(), static_cast<int>(text.size()))) return outcome;
    c.Flush(engine);
    std::size_t lines = 0;
    for (const char ch : text) lines += ch == '\n';
    std::size_t seen = 0;
    while (seen < lines) {
        char buffer[4096];
        int got = 0;
        const auto r = engine.Read(buffer, sizeof buffer, got);
        if (r == net::CSchannelEngine::Done) {
            outcome.reply.append(buffer, static_cast<std::size_t>(got));
            for (int i = 0; i < got; ++i) seen += buffer[i] == '\n';
            continue;
        }
        if (r != net::CSchannelEngine::WantRead || !c.Pull(engine)) break;
    }
    engine.Shutdown();
    c.Flush(engine);
    return outcome;
}

class SchannelEngine : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        if (Port("QIV_TLS_GOOD_PORT") == 0) GTEST_SKIP() << "run through tests/win/run-tls-tests";
    }
    void TearDown() override { WSACleanup(); }
};

struct Case {
    const char* name;
    const char* portVariable;
    const char* host;
    const char* caFile;  // in the PKI directory; empty for none
    const char* pin;     // "good", "bad" or empty
    const char* problem;  // empty: secured
};

TEST_F(SchannelEngine, VerdictsAsTheOpenSslBuildGivesThem) {
    const std::string badPin(64, '0');
    const Case cases[] = {
        {"trusted through the CA file", "QIV_TLS_GOOD_PORT", "localhost", "ca.pem", "", ""},
        {"address among the certificate's", "QIV_TLS_GOOD_PORT", "::1", "ca.pem", "", ""},
        {"name in other letter case", "QIV_TLS_GOOD_PORT", "LocalHost", "ca.pem", "", ""},
        {"wrong authority", "QIV_TLS_GOOD_PORT", "localhost", "other.pem", "", 
         "the server's certificate is not trusted (unable to get local issuer certificate)"},
        {"no authority for it", "QIV_TLS_GOOD_PORT", "localhost", "", "",
         "the server's certificate is not trusted (unable to get local issuer certificate)"},
        {"self-signed", "QIV_TLS_SELF_PORT", "localhost", "", "",
         "the server's certificate is not trusted (self-signed certificate)"},
        {"self-signed, other CA file", "QIV_TLS_SELF_PORT", "localhost", "ca.pem", "",
         "the server's certificate is not trusted (self-signed certificate)"},
        {"wrong name", "QIV_TLS_GOOD_PORT", "news.example.org", "ca.pem", "",
         "the server's certificate does not match the server name news.example.org"},
        {"address not on it", "QIV_TLS_GOOD_PORT", "127.0.0.1", "ca.pem", "",
         "the server's certificate does not match the server name 127.0.0.1"},
        {"pin alone decides, even without trust", "QIV_TLS_SELF_PORT", "other.example", "", "self",
         ""},
        {"pin matches", "QIV_TLS_GOOD_PORT", "localhost", "ca.pem", "good", ""},
        {"pin mismatch despite trust", "QIV_TLS_GOOD_PORT", "localhost", "ca.pem", "bad",
         "the server's certificate does not match TlsFingerprint"},
        // OpenSSL offers TLS 1.3, which this server answers with an alert
        // ("tlsv1 alert protocol version"); Wine's Schannel offers no more
        // than TLS 1.2, and the server agrees to 1.1, which is refused.
        {"TLS 1.1 only", "QIV_TLS_OLD_PORT", "localhost", "ca.pem", "",
         "the TLS handshake failed (unsupported protocol)"},
        {"unreadable CA file", "QIV_TLS_GOOD_PORT", "localhost", "missing.pem", "",
         "the CA file @missing.pem cannot be read"},
        {"CA file without a certificate", "QIV_TLS_GOOD_PORT", "localhost", "server.key", "",
         "the CA file @server.key cannot be read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string caFile = *c.caFile != 0 ? Pki(c.caFile) : "";
        const std::string pin = std::string(c.pin) == "good"   ? Env("QIV_TLS_PIN")
                                : std::string(c.pin) == "self" ? Env("QIV_TLS_SELF_PIN")
                                : std::string(c.pin) == "bad"  ? badPin
                                                               : "";
        const Outcome o = Exchange(Port(c.portVariable), c.host, caFile, pin);
        std::string expected = c.problem;
        if (const auto at = expected.find('@'); at != std::string::npos) {
            const auto end = expected.find(' ', at);
            expected = expected.substr(0, at) + Pki(expected.substr(at + 1, end - at - 1).c_str()) +
                       expected.substr(end);
        }
        EXPECT_EQ(o.problem, expected);
        EXPECT_EQ(o.secured, expected.empty());
        if (expected.empty()) {
            EXPECT_EQ(o.protocol, "TLS 1.2");  // Wine's Schannel has no TLS 1.3
            EXPECT_EQ(o.reply, "olleh\n");
        }
    }
}

// Writes larger than one record and replies spread over many records, some
// cut between reads of the socket.
TEST_F(SchannelEngine, ManyRecordsBothWays) {
    std::string text, expected;
    for (int i = 0; i < 400; ++i) {
        std::string line(200, static_cast<char>('a' + i % 26));
        line += std::to_string(i);
        text += line + "\n";
        expected += std::string(line.rbegin(), line.rend()) + "\n";
    }
    const Outcome o = Exchange(Port("QIV_TLS_GOOD_PORT"), "localhost", Pki("ca.pem"), "", text);
    EXPECT_EQ(o.problem, "");
    EXPECT_EQ(o.reply.size(), expected.size());
    EXPECT_TRUE(o.reply == expected);
}

TEST(CertificateName, MatchesAsOpenSslWithoutPartialWildcards) {
    struct NameCase {
        const char* pattern;
        const char* host;
        bool match;
    } cases[] = {
        {"news.example.org", "news.example.org", true},
        {"NEWS.example.ORG", "news.Example.org", true},
        {"news.example.org", "news.example.org.evil", false},
        {"*.example.org", "news.example.org", true},
        {"*.example.org", "example.org", false},
        {"*.example.org", "a.news.example.org", false},
        {"*.example.org", ".example.org", false},
        {"n*.example.org", "news.example.org", false},
        {"*.org", "example.org", false},
        {"*", "localhost", false},
        {"", "", false},
        {"*.*.org", "a.b.org", false},
    };
    for (const NameCase& c : cases)
        EXPECT_EQ(net::CertificateNameMatches(c.pattern, c.host), c.match)
            << c.pattern << " vs " << c.host;
}

}  // namespace
