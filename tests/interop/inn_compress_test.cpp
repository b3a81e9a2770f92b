// COMPRESS DEFLATE against INN, which offers it: the session compresses on
// the open port, after the login on the port that wants one, and inside
// TLS, storing every article as the server holds it; and the program's
// cycle stores the same spool with Compress off and with its default.
#include <sys/stat.h>

#include <memory>

#include "inn_support.h"
#include "net/event_window.h"
#include "nntp/nntp_session.h"
#include "platform/message_loop.h"

namespace interop {
namespace {

using nntp::CNntpSession;

constexpr const char* kGroup = "qiv.test.mixed";
constexpr char kOwnerClass[] = "QivInnCompressOwner";

// The session's owner: keeps the result and the answers' paths.
struct Owner {
    Owner() {
        if (!plat::IsWindowClassRegistered(kOwnerClass))
            plat::RegisterWindowClass(kOwnerClass, Proc);
        window = plat::CreateWindow(kOwnerClass);
        plat::SetWindowData(window, reinterpret_cast<std::uintptr_t>(this));
    }
    ~Owner() { plat::DestroyWindow(window); }

    static plat::LResult Proc(plat::WindowHandle w, unsigned message, plat::WParam wParam,
                              plat::LParam lParam) {
        auto* self = reinterpret_cast<Owner*>(plat::GetWindowData(w));
        if (self == nullptr || message < plat::msg::User)
            return plat::DefWindowProc(w, message, wParam, lParam);
        self->results.push_back(static_cast<int>(wParam));
        if (message == kAnswer && wParam == nntp::ResultSuccess) {
            const std::unique_ptr<nntp::ArticleAnswer> answer(
                reinterpret_cast<nntp::ArticleAnswer*>(lParam));
            self->paths.push_back(answer->path);
        } else if (wParam != nntp::ResultSuccess && lParam != 0) {
            self->texts.emplace_back(reinterpret_cast<const char*>(lParam));
        }
        return 0;
    }

    // Runs the loop until `count` notifications are in.
    bool WaitFor(std::size_t count) {
        return plat::PumpUntil([&] { return results.size() >= count; }, 20000);
    }

    static constexpr unsigned kStep = plat::msg::User + 1;
    static constexpr unsigned kAnswer = plat::msg::User + 2;
    plat::WindowHandle window = 0;
    std::vector<int> results;
    std::vector<std::string> texts;
    std::vector<std::string> paths;
};

class InnCompressTest : public InnTest {
protected:
    void SetUp() override {
        InnTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (net::GetEventWindow() == 0 || !plat::IsWindow(net::GetEventWindow()))
            net::InitNetworkLayer(false);
    }

    // One step of the session, expected to succeed.
    void Step(const std::function<void()>& operation, int expected = nntp::ResultSuccess) {
        const std::size_t before = owner_.results.size();
        operation();
        ASSERT_TRUE(owner_.WaitFor(before + 1));
        ASSERT_EQ(owner_.results[before], expected)
            << (owner_.texts.empty() ? "" : owner_.texts.back());
    }

    // Connects (logging in when a user is given), compresses as `mode`
    // says and fetches the group; checks every article against the server.
    void FetchWithSession(nntp::ServerConfig config, int mode, bool compressed,
                          const std::string& user = "") {
        config.host = config.host.empty() ? inn_.host : config.host;
        config.compress = mode;
        ASSERT_NO_FATAL_FAILURE(
            Step([&] { session_.Connect(owner_.window, Owner::kStep, config); }));
        if (!user.empty()) {
            session_.userName = user;
            session_.password = inn_.password;
            session_.SendUser(owner_.window, Owner::kStep);
            ASSERT_TRUE(owner_.WaitFor(owner_.results.size() + 1));
            ASSERT_NO_FATAL_FAILURE(Step([&] { session_.SendPass(owner_.window, Owner::kStep); }));
        }
        ASSERT_NO_FATAL_FAILURE(
            Step([&] { session_.StartCompression(owner_.window, Owner::kStep); }));
        EXPECT_EQ(session_.Compressed(), compressed);
        session_.groupName = kGroup;
        ASSERT_NO_FATAL_FAILURE(Step([&] { session_.SelectGroup(owner_.window, Owner::kStep); }));

        NntpProbe probe;
        ASSERT_TRUE(probe.Open(inn_.host, inn_.readerPort));
        const std::vector<long> numbers = probe.ListGroup(kGroup);
        ASSERT_FALSE(numbers.empty());
        const std::size_t before = owner_.results.size();
        const std::size_t pathsBefore = owner_.paths.size();
        for (long n : numbers)
            session_.RequestArticle(owner_.window, Owner::kAnswer, n,
                                    work_ + "/a" + std::to_string(n));
        ASSERT_TRUE(owner_.WaitFor(before + numbers.size()));
        ASSERT_EQ(owner_.paths.size() - pathsBefore, numbers.size());
        for (std::size_t i = 0; i < numbers.size(); ++i)
            EXPECT_EQ(ReadFile(owner_.paths[pathsBefore + i]),
                      probe.Article(std::to_string(numbers[i])))
                << numbers[i];
        if (compressed) {
            const net::CDeflateLayer& z = session_.Compression();
            EXPECT_GT(z.PlainIn(), 0u);
            EXPECT_LT(z.WireIn(), z.PlainIn());
        }
        ASSERT_NO_FATAL_FAILURE(Step([&] { session_.Quit(owner_.window, Owner::kStep); }));
    }

    Owner owner_;
    CNntpSession session_;
};

TEST_F(InnCompressTest, TheSessionCompressesWhereInnOffersIt) {
    const struct {
        const char* name;
        int mode;
        bool compressed;
    } rows[] = {
        {"auto", CNntpSession::CompressAuto, true},
        {"on", CNntpSession::CompressOn, true},
        {"off", CNntpSession::CompressOff, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        nntp::ServerConfig config;
        config.port = static_cast<std::uint32_t>(inn_.readerPort);
        FetchWithSession(config, row.mode, row.compressed);
    }
}

TEST_F(InnCompressTest, AfterTheLoginAndInsideTls) {
    nntp::ServerConfig plain;
    plain.port = static_cast<std::uint32_t>(inn_.authPort);
    ASSERT_NO_FATAL_FAILURE(FetchWithSession(plain, CNntpSession::CompressAuto, true, inn_.user));
    if (!HaveTls()) GTEST_SKIP() << "inn-setup did not start the TLS reader daemons";
    nntp::ServerConfig tls;
    tls.host = "localhost";
    tls.port = static_cast<std::uint32_t>(inn_.tlsPort);
    tls.security = CNntpSession::SecurityTls;
    tls.caFile = inn_.caFile;
    ASSERT_NO_FATAL_FAILURE(FetchWithSession(tls, CNntpSession::CompressAuto, true, inn_.user));
    nntp::ServerConfig startTls = tls;
    startTls.port = static_cast<std::uint32_t>(inn_.startTlsPort);
    startTls.security = CNntpSession::SecurityStartTls;
    ASSERT_NO_FATAL_FAILURE(
        FetchWithSession(startTls, CNntpSession::CompressAuto, true, inn_.user));
}

// The program: Compress off and the default store the same spool.
TEST_F(InnCompressTest, TheCycleStoresTheSameSpoolCompressedAndNot) {
    std::vector<std::vector<std::string>> spools;
    for (const char* compress : {"off", "auto"}) {
        SCOPED_TRACE(compress);
        profile_ = work_ + "/profile-" + compress;
        spool_ = work_ + "/spool-" + compress;
        mkdir(profile_.c_str(), 0700);
        ASSERT_NO_FATAL_FAILURE(Configure(inn_.readerPort));
        ASSERT_EQ(Qiv({"setup", "--compress", compress}).status, 0);
        EXPECT_EQ(Setting("Compress"), std::string(compress) == "off" ? "off" : "");
        ASSERT_EQ(Subscribe(kGroup), 1);
        const ProgramResult r = Qiv({"--once"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        std::vector<std::string> spool;
        for (const IndexRecord& record : ReadIndex(Spool("1.grp"))) {
            spool.push_back(record.fileName + " " + record.articleNumber + " " + record.sender +
                            record.subject);
            spool.push_back(ReadFile(Spool("news/NG1/" + record.fileName)));
        }
        EXPECT_FALSE(spool.empty());
        spools.push_back(spool);
    }
    ASSERT_EQ(spools.size(), 2u);
    EXPECT_EQ(spools[0], spools[1]);
}

}  // namespace
}  // namespace interop
