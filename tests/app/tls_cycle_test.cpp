// Secured connections: TLS from the first byte and STARTTLS against the
// scriptable server with certificates made for the run, every way the
// channel can fail to be secured, and what must never cross a channel that
// failed (the login above all).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "app/cycles.h"
#include "app/settings.h"
#include "cycle_support.h"
#include "test_pki.h"

namespace apptest {
namespace {

using testsrv::Fault;
using testsrv::TestCertificates;
using testsrv::TlsMode;

class TlsCycleTest : public CycleTest {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        caFile_ = dir_ + "/test-ca.pem";
        WriteFile(caFile_, TestCertificates().authority.certPem);
        server_.SetAccounts({{"joe", "secret"}});
        server_.AddGroup(MakeGroup("alt.tls", 1, 3));
        Subscribe(1, "alt.tls");
    }

    void Serve(TlsMode mode, const testsrv::KeyPair& pair) {
        ASSERT_TRUE(server_.SetTls(mode, pair.certPem, pair.keyPem));
    }

    // Logs in and fetches; the extra lines choose the security.
    void Cycle(std::vector<std::string> extra) {
        extra.insert(extra.end(),
                     {"UserVerification=yes", "QivNewsUsername=joe", "QivNewsPassword=secret"});
        std::vector<const char*> lines;
        for (const std::string& l : extra) lines.push_back(l.c_str());
        ConfigureLines(lines);
        ASSERT_TRUE(RunCycle());
    }

    void ConfigureLines(const std::vector<const char*>& lines) {
        switch (lines.size()) {
            case 3:
                return Configure({lines[0], lines[1], lines[2]});
            case 4:
                return Configure({lines[0], lines[1], lines[2], lines[3]});
            case 5:
                return Configure({lines[0], lines[1], lines[2], lines[3], lines[4]});
            case 6:
                return Configure({lines[0], lines[1], lines[2], lines[3], lines[4], lines[5]});
            default:
                FAIL() << "add a case for " << lines.size() << " lines";
        }
    }

    std::string CaLine() const { return "CAFile=" + caFile_; }

    bool PasswordSent() const {
        for (const std::string& c : server_.Commands())
            if (c.rfind("AUTHINFO", 0) == 0) return true;
        return false;
    }

    long StoredArticles() const { return static_cast<long>(ReadIndex(Spool("1.grp")).size()); }

    std::string caFile_;
};

// ---- Secured cycles ----

struct SecuredCase {
    const char* name;
    const char* server;  // NNTPServer
    TlsMode mode;
    const char* security;
    const char* sniExpected;  // what the server heard as SNI
    std::vector<std::string> firstCommands;
};

class SecuredCycle : public TlsCycleTest, public ::testing::WithParamInterface<SecuredCase> {};

TEST_P(SecuredCycle, LogsInFetchesAndQuitsOverTheSecuredChannel) {
    const SecuredCase& c = GetParam();
    serverName_ = c.server;
    Serve(c.mode, TestCertificates().server);
    Cycle({std::string("Security=") + c.security, CaLine()});
    EXPECT_EQ(LogCount("TLS"), 0);
    EXPECT_EQ(LogCount("Warning"), 0) << "the password went encrypted";
    EXPECT_EQ(LogFrom("Sending password").front(), "Sending password");
    EXPECT_EQ(LogCount("281 authentication accepted"), 1);
    EXPECT_EQ(Log().back(), "Server disconnected");
    EXPECT_EQ(StoredArticles(), 3);
    EXPECT_EQ(server_.TlsHandshakes(), 1);
    EXPECT_EQ(server_.LastServerName(), c.sniExpected);
    const std::vector<std::string> commands = server_.Commands();
    ASSERT_GE(commands.size(), c.firstCommands.size());
    EXPECT_EQ(std::vector<std::string>(
                  commands.begin(), commands.begin() + static_cast<long>(c.firstCommands.size())),
              c.firstCommands);
    EXPECT_EQ(commands.back(), "QUIT");
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SecuredCycle,
    ::testing::Values(SecuredCase{"TlsByName",
                                  "localhost",
                                  TlsMode::Implicit,
                                  "tls",
                                  "localhost",
                                  {"MODE READER", "AUTHINFO USER joe", "AUTHINFO PASS secret"}},
                      SecuredCase{"TlsByAddress",
                                  "127.0.0.1",
                                  TlsMode::Implicit,
                                  "TLS",
                                  "",
                                  {"MODE READER", "AUTHINFO USER joe", "AUTHINFO PASS secret"}},
                      SecuredCase{"StartTls",
                                  "localhost",
                                  TlsMode::StartTls,
                                  "starttls",
                                  "localhost",
                                  {"CAPABILITIES", "STARTTLS", "CAPABILITIES", "MODE READER",
                                   "AUTHINFO USER joe", "AUTHINFO PASS secret"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsCycleTest, APinnedFingerprintTrustsASelfSignedServer) {
    serverName_ = "localhost";
    Serve(TlsMode::Implicit, TestCertificates().selfSigned);
    // Lower case, with colons: as a user may paste it.
    std::string pin = testsrv::CertificateFingerprint(TestCertificates().selfSigned.certPem);
    std::transform(pin.begin(), pin.end(), pin.begin(), ::tolower);
    Cycle({"Security=tls", "TlsFingerprint=" + pin});
    EXPECT_EQ(LogCount("TLS"), 0);
    EXPECT_EQ(StoredArticles(), 3);
}

TEST_F(TlsCycleTest, PostingOverTls) {
    serverName_ = "localhost";
    Serve(TlsMode::Implicit, TestCertificates().server);
    WriteFile(Spool("out/t1.nws"),
              "Newsgroups: alt.tls\r\nSubject: secured\r\nFrom: a@b.c\r\n\r\nbody\r\n");
    WriteFile(Spool("out.dat"), OutRecord("t1.nws"));
    Cycle({"Security=tls", CaLine()});
    ASSERT_EQ(server_.Posted().size(), 1u);
    EXPECT_NE(server_.Posted()[0].find("Subject: secured"), std::string::npos);
}

// A record holds up to 16 KB and the reader takes 2 KB at a time: the rest
// waits inside the engine, where the socket cannot report it.
TEST_F(TlsCycleTest, ArticlesLargerThanARecordArriveWholeFromInsideTheEngine) {
    serverName_ = "localhost";
    Serve(TlsMode::Implicit, TestCertificates().server);
    server_.SetTwoWrites(false);
    server_.RemoveGroup("alt.tls");
    server_.GenerateArticles("alt.tls", 2, 150000);
    Cycle({"Security=tls", CaLine(), "ReplyTimeout=5"});
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 2u) << ::testing::PrintToString(Log());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + index[i].fileName)),
                  Stored(testsrv::GeneratedArticleText("alt.tls", i + 1, 150000)));
    }
}

// Compression over TLS: after the login, plaintext compressed and then
// encrypted; after STARTTLS the list read once the channel is secured
// answers for COMPRESS, so no third CAPABILITIES goes out. Articles larger
// than a record and than the layer's input arrive whole.
struct CompressedCase {
    const char* name;
    TlsMode mode;
    const char* security;
    long capabilities;
};

void PrintTo(const CompressedCase& c, std::ostream* out) {
    *out << c.name;
}

class CompressedTlsCycle : public TlsCycleTest,
                           public ::testing::WithParamInterface<CompressedCase> {};

TEST_P(CompressedTlsCycle, CompressesInsideTheSecuredChannelAfterTheLogin) {
    const CompressedCase& c = GetParam();
    serverName_ = "localhost";
    server_.SetCompress(testsrv::CompressMode::Deflate);
    server_.RemoveGroup("alt.tls");
    server_.GenerateArticles("alt.tls", 6, 40000);
    Serve(c.mode, TestCertificates().server);
    Cycle({c.security, CaLine()});
    EXPECT_EQ(server_.CompressStarts(), 1);
    EXPECT_EQ(LogCount("TLS"), 0);
    const std::vector<std::string> commands = server_.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "CAPABILITIES"), c.capabilities);
    const auto pass = std::find(commands.begin(), commands.end(), "AUTHINFO PASS secret");
    ASSERT_NE(pass, commands.end());
    EXPECT_EQ(std::find(commands.begin(), pass, "COMPRESS DEFLATE"), pass)
        << "the credentials went before compression";
    EXPECT_NE(std::find(pass, commands.end(), "COMPRESS DEFLATE"), commands.end());
    EXPECT_EQ(commands.back(), "QUIT");
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 6u) << ::testing::PrintToString(Log());
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + index[i].fileName)),
                  Stored(testsrv::GeneratedArticleText("alt.tls", i + 1, 40000)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CompressedTlsCycle,
    ::testing::Values(CompressedCase{"Tls", TlsMode::Implicit, "Security=tls", 1},
                      CompressedCase{"StartTls", TlsMode::StartTls, "Security=starttls", 2}),
    [](const auto& info) { return std::string(info.param.name); });

// IPv6: the server on ::1 only, named by its literal with or without the
// brackets, plain and over TLS (the certificate names ::1).
class IPv6Cycle : public TlsCycleTest,
                  public ::testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(IPv6Cycle, FetchesFromALiteralAddress) {
    const auto& [name, security] = GetParam();
    server_.Stop();
    ASSERT_TRUE(server_.StartOn("::1")) << "no IPv6 loopback";
    if (std::string(security) == "tls") Serve(TlsMode::Implicit, TestCertificates().server);
    serverName_ = name;
    Cycle({std::string("Security=") + security, CaLine()});
    EXPECT_EQ(LogCount("TLS"), 0) << ::testing::PrintToString(Log());
    EXPECT_EQ(Log().back(), "Server disconnected");
    EXPECT_EQ(StoredArticles(), 3);
    EXPECT_EQ(server_.TlsHandshakes(), std::string(security) == "tls" ? 1 : 0);
    EXPECT_EQ(server_.LastServerName(), "") << "no SNI for an address";
}

INSTANTIATE_TEST_SUITE_P(Literals, IPv6Cycle,
                         ::testing::Values(std::make_pair("[::1]", "tls"),
                                           std::make_pair("::1", "tls"),
                                           std::make_pair("[::1]", "none")));

// ---- Channels that cannot be secured ----

struct FailureCase {
    const char* name;
    const char* server;
    TlsMode mode;     // what the server speaks
    int certificate;  // 0 server, 1 other name, 2 self-signed
    const char* security;
    const char* extra;  // CA, fingerprint ("@other": the other certificate's pin)
    const char* fault;  // a STARTTLS reply, or null
    const char* logLine;
};

class FailedChannel : public TlsCycleTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedChannel, EndsTheAttemptWithItsCauseAndNothingCrossesIt) {
    const FailureCase& c = GetParam();
    serverName_ = c.server;
    const testsrv::KeyPair* pairs[] = {&TestCertificates().server, &TestCertificates().other,
                                       &TestCertificates().selfSigned};
    if (c.mode != TlsMode::None) Serve(c.mode, *pairs[c.certificate]);
    if (c.fault != nullptr) server_.AddFault(Fault::Reply("STARTTLS", c.fault));
    std::string extra = c.extra;
    if (extra == "@other")
        extra =
            "TlsFingerprint=" + testsrv::CertificateFingerprint(TestCertificates().other.certPem);
    if (extra == "@ca") extra = CaLine();
    Cycle({std::string("Security=") + c.security, extra, "ReplyTimeout=1"});
    const std::vector<std::string> tail = LogFrom(c.logLine);
    ASSERT_EQ(tail.size(), 2u) << ::testing::PrintToString(Log());
    EXPECT_EQ(tail[1], "Could not connect to server");
    EXPECT_FALSE(PasswordSent());
    EXPECT_TRUE(ServerCommands("MODE").empty());
    EXPECT_TRUE(ServerCommands("GROUP").empty());
    EXPECT_EQ(StoredArticles(), 0);
    EXPECT_FALSE(AppTest::Cycle().report.connected);
    ExpectDisconnectedState();
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailedChannel,
    ::testing::Values(
        FailureCase{"Untrusted", "localhost", TlsMode::Implicit, 2, "tls", "", nullptr,
                    "TLS: the server's certificate is not trusted (self-signed certificate)"},
        FailureCase{"UntrustedWithoutTheAuthority", "localhost", TlsMode::Implicit, 0, "tls", "",
                    nullptr,
                    "TLS: the server's certificate is not trusted (unable to get local issuer "
                    "certificate)"},
        FailureCase{"NameMismatch", "localhost", TlsMode::Implicit, 1, "tls", "@ca", nullptr,
                    "TLS: the server's certificate does not match the server name localhost"},
        FailureCase{"AddressMismatch", "127.0.0.1", TlsMode::Implicit, 1, "tls", "@ca", nullptr,
                    "TLS: the server's certificate does not match the server name 127.0.0.1"},
        FailureCase{"FingerprintMismatch", "localhost", TlsMode::Implicit, 0, "tls", "@other",
                    nullptr, "TLS: the server's certificate does not match TlsFingerprint"},
        FailureCase{"FingerprintMismatchOverStartTls", "localhost", TlsMode::StartTls, 0,
                    "starttls", "@other", nullptr,
                    "TLS: the server's certificate does not match TlsFingerprint"},
        FailureCase{"NoStartTlsOffered", "localhost", TlsMode::None, 0, "starttls", "@ca", nullptr,
                    "TLS: the server does not offer STARTTLS"},
        FailureCase{"StartTlsRefused", "localhost", TlsMode::StartTls, 0, "starttls", "@ca",
                    "580 can not initiate TLS negotiation",
                    "TLS: the server refused STARTTLS: 580 can not initiate TLS negotiation"},
        // Plaintext behind the 382 would be read as if it came secured.
        FailureCase{"InjectedBehindStartTls", "localhost", TlsMode::StartTls, 0, "starttls", "@ca",
                    "382 continue\r\n211 injected",
                    "TLS: the server sent data behind its STARTTLS answer"},
        FailureCase{"PlainServerOnATlsSetting", "localhost", TlsMode::None, 0, "tls", "@ca",
                    nullptr, "TLS: the server does not speak TLS on this port"},
        FailureCase{"TlsServerWithSecurityNone", "localhost", TlsMode::Implicit, 0, "none", "@ca",
                    nullptr,
                    "TLS: no greeting from the server; if this port speaks TLS (as 563 does), "
                    "set Security to tls"},
        FailureCase{"UnreadableCaFile", "localhost", TlsMode::Implicit, 0, "tls",
                    "CAFile=/nonexistent/ca.pem", nullptr,
                    "TLS: the CA file /nonexistent/ca.pem cannot be read"},
        FailureCase{"MalformedFingerprint", "localhost", TlsMode::Implicit, 0, "tls",
                    "TlsFingerprint=12:34", nullptr,
                    "TLS: TlsFingerprint is not a SHA-256 fingerprint (64 hex digits)"},
        FailureCase{"UnknownSecurity", "localhost", TlsMode::Implicit, 0, "ssl", "@ca", nullptr,
                    "TLS: Security must be none, tls or starttls"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Peers that are no TLS server ----

// A loopback peer that accepts one connection, writes `bytes`, and then
// either closes or reads and drops whatever comes until the other side
// closes.
class RawPeer {
public:
    RawPeer(std::string bytes, bool closeAfter) : bytes_(std::move(bytes)), close_(closeAfter) {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~RawPeer() {
        shutdown(listener_, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }
    std::uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_; }

private:
    void Serve() {
        const int fd = accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        ++accepted_;
        if (!bytes_.empty() && send(fd, bytes_.data(), bytes_.size(), MSG_NOSIGNAL) < 0) {
            close(fd);
            return;
        }
        char sink[4096];
        while (!close_ && recv(fd, sink, sizeof sink, 0) > 0) {
        }
        close(fd);
    }

    std::string bytes_;
    bool close_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

struct PeerCase {
    const char* name;
    std::string bytes;
    bool closeAfter;
    const char* logLine;
};

void PrintTo(const PeerCase& c, std::ostream* os) {
    *os << c.name;
}

std::string Garbage(std::size_t n) {
    std::string bytes(n, '\0');
    unsigned x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

class NoTlsPeer : public TlsCycleTest, public ::testing::WithParamInterface<PeerCase> {};

// Silence in the handshake ends the attempt within ReplyTimeout; bytes
// that are no handshake end it at once. Either way nothing is sent in the
// clear, and --once would exit 1 (the cycle never connected).
TEST_P(NoTlsPeer, EndsTheAttemptWithinTheReplyTimeoutAndSendsNothing) {
    const PeerCase& c = GetParam();
    RawPeer peer(c.bytes, c.closeAfter);
    ASSERT_NE(peer.Port(), 0);
    port_ = peer.Port();
    serverName_ = "localhost";
    const auto start = std::chrono::steady_clock::now();
    Cycle({"Security=tls", CaLine(), "ReplyTimeout=1"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(peer.Accepted(), 1);
    const std::vector<std::string> tail = LogFrom(c.logLine);
    ASSERT_EQ(tail.size(), 2u) << ::testing::PrintToString(Log());
    EXPECT_EQ(tail[1], "Could not connect to server");
    EXPECT_FALSE(AppTest::Cycle().report.connected);
    EXPECT_LT(took, std::chrono::seconds(8)) << "a second of silence allowed, not more";
    ExpectDisconnectedState();
}

INSTANTIATE_TEST_SUITE_P(
    Peers, NoTlsPeer,
    ::testing::Values(
        PeerCase{"SilentInTheHandshake", "", false, "TLS: no answer to the handshake for 1 second"},
        PeerCase{"GarbageThenSilence", Garbage(4096), false,
                 "TLS: the server does not speak TLS on this port"},
        PeerCase{"GarbageThenClose", Garbage(300), true,
                 "TLS: the server does not speak TLS on this port"},
        PeerCase{"ClosedAtOnce", "", true,
                 "TLS: the server closed the connection during the TLS handshake"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Cut short ----

TEST_F(TlsCycleTest, AConnectionCutWithoutTheTlsCloseMidArticleIsABrokenExchange) {
    serverName_ = "localhost";
    Serve(TlsMode::Implicit, TestCertificates().server);
    // The status line and part of the body, then the TCP close alone.
    server_.SetTwoWrites(false);
    server_.AddFault(Fault::CloseAfter("ARTICLE", 120, 2));
    Cycle({"Security=tls", CaLine()});
    EXPECT_EQ(LogCount("Connection to server lost"), 1);
    EXPECT_EQ(StoredArticles(), 1) << "only the article before the cut";
    EXPECT_TRUE(AppTest::Cycle().report.lost);
}

TEST_F(TlsCycleTest, EncryptionRequiredIsLoggedWithAHintAndThePasswordStaysHome) {
    server_.SetAuthReplies("483 Encryption required", "281 authentication accepted",
                           "481 authentication failed");
    Cycle({"Security=none"});
    EXPECT_EQ(LogFrom("483 Encryption required"),
              (std::vector<std::string>{
                  "483 Encryption required",
                  "The server requires encryption: set Security to tls (port 563) or starttls",
                  "Disconnecting from Server", "Server disconnected"}));
    EXPECT_TRUE(ServerCommands("AUTHINFO PASS").empty());
    EXPECT_TRUE(AppTest::Cycle().report.authRejected);
}

TEST(LoopbackServer, DecidesWhetherAPasswordInTheClearLeavesTheMachine) {
    for (const char* local :
         {"localhost", "LOCALHOST", "127.0.0.1", "127.1.2.3", "127.1", "::1", "[::1]"})
        EXPECT_TRUE(app::IsLoopbackServer(local)) << local;
    for (const char* remote :
         {"news.example.org", "128.0.0.1", "10.0.0.1", "localhost.example", "::2", ""})
        EXPECT_FALSE(app::IsLoopbackServer(remote)) << remote;
}

}  // namespace
}  // namespace apptest

namespace apptest {
namespace {

// The built program with --once: a channel that cannot be secured fails the
// run with its cause on standard output, a secured one completes it.
class OnceTlsTest : public ProgramCycleTest {
protected:
    void Profile(const std::string& security, const std::string& extra) {
        std::string text = IniText({"NNTPServer=localhost"});
        text += "NNTPPort=" + std::to_string(server_.Port()) + "\r\n";
        text += "QivNewsDir=" + spool_ + "\r\n";
        text += "UserVerification=yes\r\nQivNewsUsername=joe\r\nQivNewsPassword=secret\r\n";
        text += "LastGroupNum=2\r\nSecurity=" + security + "\r\n" + extra + "\r\n";
        WriteFile(dir_ + "/qiv.ini", text);
        server_.SetAccounts({{"joe", "secret"}});
        server_.AddGroup(MakeGroup("alt.tls", 1, 2));
        Subscribe(1, "alt.tls");
    }
};

TEST_F(OnceTlsTest, ExitsZeroOverTlsAndOneWithTheCauseWhenUntrusted) {
    WriteFile(dir_ + "/ca.pem", testsrv::TestCertificates().authority.certPem);
    ASSERT_TRUE(server_.SetTls(testsrv::TlsMode::Implicit,
                               testsrv::TestCertificates().server.certPem,
                               testsrv::TestCertificates().server.keyPem));
    Profile("tls", "CAFile=" + dir_ + "/ca.pem");
    ProgramResult r = Qiv();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 2u);

    // The same server, now trusted by nothing the run knows.
    Profile("tls", "");
    const std::size_t commandsBefore = server_.Commands().size();
    r = Qiv();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  "Connecting to server",
                  "TLS: the server's certificate is not trusted (unable to get local issuer "
                  "certificate)",
                  "Could not connect to server"}));
    EXPECT_EQ(server_.Commands().size(), commandsBefore) << "nothing crossed the channel";
}

}  // namespace
}  // namespace apptest
