// Secured connections and IPv6 against INN's reader daemon: TLS from the
// first byte (nnrpd -S), STARTTLS, a login that INN accepts only over an
// encrypted channel, the verification failures, and nnrpd on ::1.
#include "inn_support.h"

namespace interop {
namespace {

class InnTlsTest : public InnTest {
protected:
    void SetUp() override {
        InnTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!HaveTls()) {
            const char* ci = std::getenv("CI");
            if (ci != nullptr && std::string(ci) == "true")
                FAIL() << "inn-setup did not start the TLS and IPv6 reader daemons";
            GTEST_SKIP() << "inn-setup did not start the TLS and IPv6 reader daemons";
        }
    }

    // Logs in over the given security and fetches qiv.test.mixed.
    ProgramResult FetchOver(int port, const std::vector<std::string>& security) {
        Configure(port, inn_.user, inn_.password);
        Secure(security);
        EXPECT_EQ(Subscribe("qiv.test.mixed"), 1);
        return Qiv({"--once"});
    }

    void ExpectFetched(const ProgramResult& r) {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const std::vector<std::string> log = r.Lines();
        ASSERT_GE(log.size(), 6u) << r.out;
        EXPECT_EQ(log[4], "Sending password");
        EXPECT_EQ(log[5].substr(0, 4), "281 ");
        EXPECT_EQ(log.back(), "Server disconnected");
        NntpProbe probe;
        ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
        const std::vector<long> numbers = probe.ListGroup("qiv.test.mixed");
        const std::vector<IndexRecord> index = ReadIndex(Spool("1.grp"));
        ASSERT_EQ(index.size(), numbers.size());
        EXPECT_EQ(ReadFile(Spool("news/NG1/" + index.back().fileName)),
                  probe.Article(std::to_string(numbers.back())));
    }

    void ExpectRefused(const ProgramResult& r, const std::string& line) {
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.Lines(), (std::vector<std::string>{"Connecting to server", line,
                                                       "Could not connect to server"}));
        EXPECT_FALSE(Exists(Spool("1.grp")));
    }
};

TEST_F(InnTlsTest, LoginAndFetchOverImplicitTls) {
    ExpectFetched(
        FetchOver(inn_.tlsPort, {"--security", "tls", "--port", std::to_string(inn_.tlsPort),
                                 "--ca-file", inn_.caFile, "--server", "localhost"}));
}

TEST_F(InnTlsTest, LoginAndFetchOverStartTls) {
    ExpectFetched(
        FetchOver(inn_.startTlsPort, {"--security", "starttls", "--ca-file", inn_.caFile}));
}

TEST_F(InnTlsTest, GroupListOverTls) {
    Configure(inn_.tlsPort, inn_.user, inn_.password);
    Secure({"--security", "tls", "--port", std::to_string(inn_.tlsPort), "--ca-file", inn_.caFile});
    const ProgramResult r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(ReadFile(Spool("groups.txt")).find("qiv.test.mixed"), std::string::npos);
}

TEST_F(InnTlsTest, PlainLoginIsRefusedWith483AndAHintAndNoPassword) {
    const ProgramResult r = FetchOver(inn_.startTlsPort, {"--security", "none"});
    EXPECT_EQ(r.status, 1) << r.out;
    bool hint = false;
    for (const std::string& l : r.Lines()) {
        EXPECT_NE(l, "Sending password");
        hint = hint || l == "The server requires encryption: set Security to tls (port 563) or "
                            "starttls";
    }
    EXPECT_TRUE(hint) << r.out;
    EXPECT_FALSE(Exists(Spool("1.grp")));
}

TEST_F(InnTlsTest, VerificationFailuresEndTheRunBeforeTheLogin) {
    // No authority given: the test authority, which INN sends along, is in
    // no system store.
    ExpectRefused(
        FetchOver(inn_.tlsPort, {"--security", "tls", "--port", std::to_string(inn_.tlsPort)}),
        "TLS: the server's certificate is not trusted (self-signed certificate in "
        "certificate chain)");
    Secure({"--ca-file", inn_.caFile, "--fingerprint", std::string(64, '0')});
    ExpectRefused(Qiv({"--once"}), "TLS: the server's certificate does not match TlsFingerprint");
    // The open reader daemon speaks no TLS; it offers STARTTLS but, having
    // no certificate, cannot start it.
    Secure({"--fingerprint", "", "--port", std::to_string(inn_.readerPort)});
    ExpectRefused(Qiv({"--once"}), "TLS: the server does not speak TLS on this port");
    Secure({"--security", "starttls"});
    ExpectRefused(Qiv({"--once"}), "TLS: the server refused STARTTLS: 580 Error initializing TLS");
}

TEST_F(InnTlsTest, FetchFromInnOverIPv6) {
    for (const char* server : {"::1", "[::1]"}) {
        SCOPED_TRACE(server);
        Configure(inn_.ipv6Port);
        Secure({"--server", server});
        if (GroupKey(1, "Name").empty()) {
            EXPECT_EQ(Subscribe("qiv.test.mixed"), 1);
        }
        const ProgramResult r = Qiv({"--once"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_FALSE(ReadIndex(Spool("1.grp")).empty());
    }
}

}  // namespace
}  // namespace interop
