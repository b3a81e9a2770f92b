#include "app/cli.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "platform/profile.h"
#include "run_program.h"

namespace apptest {
namespace {

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { work_ = MakeTempDir(); }
    void TearDown() override { RemoveTree(work_); }

    ProgramResult Run(std::vector<std::string> args, std::string input = "",
                      std::map<std::string, std::string> env = {}) {
        ProgramRun run;
        run.args = std::move(args);
        run.input = std::move(input);
        run.env = std::move(env);
        run.workDir = work_;
        return RunProgram(run);
    }
    // With --profile-dir <work>/p.
    ProgramResult Qiv(std::vector<std::string> args, std::string input = "") {
        args.insert(args.begin(), {"--profile-dir", Profile()});
        return Run(std::move(args), std::move(input));
    }
    std::string Profile() const { return work_ + "/p"; }
    std::string Spool() const { return work_ + "/spool"; }
    std::string Ini() const { return ReadFile(Profile() + "/qiv.ini"); }
    ProgramResult SetUpSpool() {
        ProgramResult r = Qiv({"setup", "--server", "news.example", "--spool", Spool()});
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    }

    std::string work_;
};

// A failure says why in one line on standard error.
void ExpectOneLineFailure(const ProgramResult& r, const std::string& says) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
}

// The process holds the server password: no core file and no debugger of
// the same user may read it.
TEST(ProcessTest, MemoryIsKeptOutOfCoreDumps) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char before = static_cast<char>(prctl(PR_GET_DUMPABLE));
        const char ok = app::KeepMemoryPrivate() ? 1 : 0;
        const char after = static_cast<char>(prctl(PR_GET_DUMPABLE));
        const char report[3] = {before, ok, after};
        _exit(write(result[1], report, sizeof report) == 3 ? 0 : 1);
    }
    close(result[1]);
    char report[3] = {};
    EXPECT_EQ(read(result[0], report, sizeof report), 3);
    close(result[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(report[0], 1);  // dumpable to begin with, so the check below means something
    EXPECT_EQ(report[1], 1);
    EXPECT_EQ(report[2], 0);
}

TEST_F(CliTest, NoErrorEchoesThePassword) {
    SetUpSpool();
    // Each a mistake next to a password; the message must say what is wrong
    // without the word that follows --password.
    const std::vector<std::vector<std::string>> mistakes = {
        {"setup", "--user", "--password", "hunter2"},
        {"setup", "--password", "hunter2", "--bogus"},
        {"setup", "--password", "hunter2", "stray"},
        {"setup", "--password=hunter2", "--password-stdin"},
        {"setup", "--password", "hunter2hunter2hunter2hunter2hunter2"},
        {"--password=hunter2", "setup"},
        {"--password", "hunter2", "setup"},
    };
    for (const std::vector<std::string>& args : mistakes) {
        const ProgramResult r = Qiv(args);
        EXPECT_NE(r.status, 0) << args[1];
        EXPECT_FALSE(r.err.empty()) << args[1];
        EXPECT_EQ(r.err.find("hunter2"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("hunter2"), std::string::npos) << r.out;
    }
    EXPECT_EQ(Ini().find("hunter2"), std::string::npos);
}

TEST_F(CliTest, AProfileThatHoldsThePasswordIsWrittenReadableByItsOwnerOnly) {
    SetUpSpool();
    ASSERT_EQ(Qiv({"setup", "--user", "joe", "--password", "\"pw\""}).status, 0);
    const std::string path = Profile() + "/qiv.ini";
    EXPECT_NE(Ini().find("QivNewsPassword=\"\"pw\"\""), std::string::npos) << Ini();
    // Made readable by others by hand: a setup that does not touch the
    // password leaves it private again, and says so.
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    const ProgramResult r = Qiv({"setup", "--interval", "7"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(r.out.find("qiv.ini was readable by others; made readable by its owner only"),
              std::string::npos)
        << r.out;
}

TEST_F(CliTest, VersionAndHelp) {
    ProgramResult r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Qiv News Client v0.17\n");
    r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, app::UsageText());
    r = Run({"setup", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, app::UsageText());
}

TEST_F(CliTest, MalformedArgumentsExitTwoWithTheUsageAndTouchNothing) {
    const std::string longSpool = "/" + std::string(230, 's');
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"frobnicate"},
        {""},
        {"--headless", "--once"},
        {"--headless", "expire"},
        {"--once", "subscribe", "a.b"},
        {"subscribe"},
        {"unsubscribe"},
        {"expire", "now"},
        {"list-groups", "x"},
        {"--profile-dir"},
        {"--profile-dir="},
        {"setup", "--server"},
        {"setup", "--server", ""},
        {"setup", "--server", "two words"},
        {"setup", "--server", "z"},
        {"setup", "--port", "0"},
        {"setup", "--port", "65536"},
        {"setup", "--port", "12x"},
        {"setup", "--port", "-1"},
        {"setup", "--interval", "-1"},
        {"setup", "--interval", "1.5"},
        {"setup", "--interval", "99999999999"},
        {"setup", "--initial-fetch", "-1"},
        {"setup", "--initial-fetch", "ten"},
        {"setup", "--initial-fetch", "2147483648"},
        {"setup", "--initial-fetch"},
        {"setup", "--pipeline-depth", "0"},
        {"setup", "--pipeline-depth", "257"},
        {"setup", "--pipeline-depth", "4x"},
        {"setup", "--compress", "yes"},
        {"setup", "--compress", ""},
        {"setup", "--compress"},
        {"setup", "--auth", "maybe"},
        {"setup", "--user", std::string(30, 'u')},
        {"setup", "--password", std::string(30, 'p')},
        {"setup", "--password", "line\nbreak"},
        {"setup", "--password", "x", "--password-stdin"},
        {"setup", "--spool", longSpool},
        {"setup", "--spool="},
        {"setup", "--frob", "1"},
        {"setup", "stray"},
        {"setup", "--security", "ssl"},
        {"setup", "--security", ""},
        {"setup", "--fingerprint", "12:34"},
        {"setup", "--fingerprint", std::string(63, 'a') + "g"},
        {"setup", "--fingerprint", std::string(66, 'a')},
        {"setup", "--ca-file"},
    };
    for (std::vector<std::string> args : cases) {
        std::string shown;
        for (const auto& a : args) shown += "[" + a + "]";
        SCOPED_TRACE(shown);
        if (args[0] != "--profile-dir" && args[0] != "--profile-dir=")
            args.insert(args.begin(), {"--profile-dir", Profile()});
        const ProgramResult r = Run(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("Usage: qivnews"), std::string::npos) << r.err;
        EXPECT_FALSE(Exists(Profile())) << "nothing is done with malformed arguments";
    }
}

TEST_F(CliTest, SetupOnAFreshProfileWritesAsTheDialogDoesAndMakesTheSpool) {
    const std::string nested = work_ + "/cfg/qivnews";
    // A relative spool path is stored absolute (the program runs in work_).
    const ProgramResult r = Run({"--profile-dir", nested, "setup", "--server", "news.example",
                                 "--spool", "sp/../spool", "--port", "1190", "--auth", "YES",
                                 "--user", "bob", "--password", "pw", "--interval", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The start-up's placeholders first, then Setup's writes over them.
    const std::string spoolLine = "QivNewsDir=" + Spool();
    EXPECT_EQ(ReadFile(nested + "/qiv.ini"),
              IniText({"NNTPServer=news.example", "UserVerification=Yes", "QivNewsUsername=bob",
                       "QivNewsPassword=pw", "NNTPPort=1190", spoolLine.c_str(), "LastFileNumIn=0",
                       "LastFileNumOut=0", "LastGroupNum=1", "TimerInterval=10"}));
    struct stat st;
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(Exists(Spool() + "/news"));
    EXPECT_TRUE(Exists(Spool() + "/out"));
}

TEST_F(CliTest, SetupKeepsWhatIsNotGivenAndNeverWritesZ) {
    SetUpSpool();
    const std::string first = Ini();
    EXPECT_EQ(first.find("=z"), std::string::npos) << first;
    EXPECT_EQ(first.find("TimerInterval"), std::string::npos) << "not given, not written";
    EXPECT_EQ(first.find("InitialFetch"), std::string::npos) << "not given, not written";
    EXPECT_EQ(first.find("PipelineDepth"), std::string::npos) << "not given, not written";
    EXPECT_NE(first.find("QivNewsPassword=NotYetSet\r\n"), std::string::npos);

    // Server and spool are now set: neither is required any more.
    ProgramResult r = Qiv({"setup", "--password-stdin", "--auth", "no"}, "s3cret\n");
    ASSERT_EQ(r.status, 0) << r.err;
    r = Qiv({"setup", "--interval", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Qiv({"setup", "--initial-fetch=2147483647"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = Qiv({"setup", "--pipeline-depth", "256"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The default is not written until another value has been.
    r = Qiv({"setup", "--compress", "auto"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Ini().find("Compress"), std::string::npos);
    r = Qiv({"setup", "--compress=OFF"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(Ini().find("Compress=off\r\n"), std::string::npos);
    r = Qiv({"setup", "--compress", "auto"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected = first;
    expected.replace(expected.find("QivNewsPassword=NotYetSet"), 25, "QivNewsPassword=s3cret");
    expected.replace(expected.find("UserVerification=NO"), 19, "UserVerification=No");
    expected +=
        "TimerInterval=0\r\nInitialFetch=2147483647\r\nPipelineDepth=256\r\nCompress=auto\r\n";
    EXPECT_EQ(Ini(), expected);
}

TEST_F(CliTest, SecuritySettingsAndTheTlsPort) {
    SetUpSpool();
    const std::string plain = Ini();
    EXPECT_EQ(plain.find("Security"), std::string::npos) << "not given, not written";
    const std::string pin(64, 'A');
    struct Step {
        std::vector<std::string> args;
        std::vector<std::string> expectedLines;  // each found in qiv.ini
    };
    const std::vector<Step> steps = {
        // tls alone takes the TLS port ...
        {{"--security", "tls", "--ca-file", "/etc/news/ca.pem"},
         {"Security=tls", "CAFile=/etc/news/ca.pem", "NNTPPort=563"}},
        // ... but not over a port given with it
        {{"--security", "TLS", "--port", "8563", "--fingerprint", pin},
         {"Security=tls", "NNTPPort=8563", "TlsFingerprint=" + pin}},
        // starttls keeps the port; empty values remove the others
        {{"--security", "starttls", "--ca-file", "", "--fingerprint", ""},
         {"Security=starttls", "NNTPPort=8563", "CAFile=\r\n", "TlsFingerprint=\r\n"}},
        {{"--security", "none"}, {"Security=none", "NNTPPort=8563"}},
    };
    for (const Step& step : steps) {
        std::vector<std::string> args = step.args;
        args.insert(args.begin(), "setup");
        const ProgramResult r = Qiv(args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const std::string& line : step.expectedLines)
            EXPECT_NE(Ini().find(line), std::string::npos) << line << " in\n" << Ini();
    }
}

TEST_F(CliTest, SetupRequiresServerAndSpoolUntilTheFileHoldsThem) {
    ProgramResult r = Qiv({"setup", "--server", "news.example"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--spool is required"), std::string::npos) << r.err;
    r = Qiv({"setup", "--spool", Spool()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--server is required"), std::string::npos) << r.err;
    EXPECT_FALSE(Exists(Spool()));
}

TEST_F(CliTest, PasswordFromStandardInput) {
    SetUpSpool();
    ProgramResult r = Qiv({"setup", "--password-stdin"}, std::string(30, 'p') + "\n");
    EXPECT_EQ(r.status, 2);
    r = Qiv({"setup", "--password-stdin"}, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(Ini().find("QivNewsPassword=NotYetSet\r\n"), std::string::npos);
    r = Qiv({"setup", "--password-stdin"}, "with blank inside\r\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(Ini().find("QivNewsPassword=with blank inside\r\n"), std::string::npos);
}

TEST_F(CliTest, SetupFailsWhenTheSpoolCannotBeMade) {
    WriteFile(work_ + "/file", "x");
    const ProgramResult r =
        Qiv({"setup", "--server", "news.example", "--spool", work_ + "/file/spool"});
    ExpectOneLineFailure(r, "cannot create");
    EXPECT_EQ(Ini().find("QivNewsDir=" + work_), std::string::npos);
}

TEST_F(CliTest, SubscribeUnsubscribeAndExpire) {
    SetUpSpool();
    ProgramResult r = Qiv({"subscribe", "comp.lang.c"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Qiv({"subscribe", "alt.test"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(Spool() + "/newsys.rc"), "comp.lang.c:1\r\nalt.test:2\r\n");
    EXPECT_NE(Ini().find("LastGroupNum=3\r\n"), std::string::npos);
    EXPECT_TRUE(Exists(Spool() + "/news/NG1"));

    ExpectOneLineFailure(Qiv({"subscribe", "COMP.lang.c"}), "subscribed already");
    ExpectOneLineFailure(Qiv({"subscribe", "bad:name"}), "colon");
    ExpectOneLineFailure(Qiv({"unsubscribe", "no.such.group"}), "not subscribed");

    r = Qiv({"expire"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string groups = ReadFile(Profile() + "/qivnews.ini");
    EXPECT_EQ(groups,
              "[NG1]\r\nName=comp.lang.c\r\nExpireDays=1\r\n[NG2]\r\nName=alt.test\r\n"
              "ExpireDays=1\r\n");
    EXPECT_TRUE(Exists(Spool() + "/1.grp"));
    EXPECT_TRUE(Exists(Spool() + "/2.grp"));

    r = Qiv({"unsubscribe", "alt.test"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Exists(Spool() + "/news/NG2"));
    EXPECT_FALSE(Exists(Spool() + "/2.grp"));
}

// Many names in one call: a line for each, on standard output or error;
// status 1 when any failed, the others done all the same.
TEST_F(CliTest, ManyNamesInOneCallEachWithItsOwnOutcome) {
    SetUpSpool();
    ASSERT_EQ(Qiv({"subscribe", "alt.old"}).status, 0);
    ProgramResult r = Qiv({"subscribe", "alt.a", "bad:name", "ALT.OLD", "alt.b", "Alt.A"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Subscribed to alt.a as group 2\nSubscribed to alt.b as group 3\n");
    EXPECT_EQ(r.err,
              "qivnews: subscribe: A group name may not hold a colon, white space or control "
              "characters\nqivnews: subscribe: ALT.OLD is subscribed already\n"
              "qivnews: subscribe: Alt.A is subscribed already\n");
    EXPECT_EQ(ReadFile(Spool() + "/newsys.rc"), "alt.old:1\r\nalt.a:2\r\nalt.b:3\r\n");
    EXPECT_NE(Ini().find("LastGroupNum=4\r\n"), std::string::npos);

    r = Qiv({"subscribe", "alt.c", "alt.d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Subscribed to alt.c as group 4\nSubscribed to alt.d as group 5\n");

    r = Qiv({"unsubscribe", "alt.a", "ALT.A", "nope", "alt.c"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Unsubscribed from alt.a\nUnsubscribed from alt.c\n");
    EXPECT_EQ(r.err,
              "qivnews: unsubscribe: ALT.A is not subscribed\n"
              "qivnews: unsubscribe: nope is not subscribed\n");
    EXPECT_EQ(ReadFile(Spool() + "/newsys.rc"), "alt.old:1\nalt.b:3\nalt.d:5\n");
    EXPECT_FALSE(Exists(Spool() + "/news/NG2"));
    EXPECT_FALSE(Exists(Spool() + "/news/NG4"));

    // Group numbers run out in the middle: the names before them are done.
    plat::SetProfileDir(Profile());
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "LastGroupNum", "99999999", "qiv.ini"));
    plat::SetProfileDir(".");
    r = Qiv({"subscribe", "alt.last", "alt.none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Subscribed to alt.last as group 99999999\n");
    EXPECT_EQ(r.err, "qivnews: subscribe: No group number is free\n");

    // A spool that cannot be used is said once, not once per name.
    RemoveTree(Spool());
    ExpectOneLineFailure(Qiv({"subscribe", "alt.x", "alt.y"}), "does not exist");
}

// Spool work that could not be done is no success: one line on standard
// error and status 1, and a subscribe leaves nothing of the group behind.
TEST_F(CliTest, GroupCommandsThatCannotWriteTheSpoolFail) {
    SetUpSpool();
    // A directory where the group's section would go.
    ASSERT_EQ(mkdir((Profile() + "/qivnews.ini").c_str(), 0700), 0);
    ExpectOneLineFailure(Qiv({"subscribe", "comp.lang.c"}), "Cannot write section NG1");
    EXPECT_EQ(ReadFile(Spool() + "/newsys.rc"), "");
    EXPECT_FALSE(Exists(Spool() + "/news/NG1"));
    ASSERT_EQ(rmdir((Profile() + "/qivnews.ini").c_str()), 0);

    // And where the registry would go: the section and directory go again.
    ASSERT_EQ(mkdir((Spool() + "/newsys.rc").c_str(), 0700), 0);
    ExpectOneLineFailure(Qiv({"subscribe", "comp.lang.c"}), "Cannot");
    EXPECT_EQ(ReadFile(Profile() + "/qivnews.ini"), "");
    EXPECT_FALSE(Exists(Spool() + "/news/NG1"));
    ASSERT_EQ(rmdir((Spool() + "/newsys.rc").c_str()), 0);

    ProgramResult r = Qiv({"subscribe", "comp.lang.c"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The expiry's copy of the index cannot be made a file of.
    ASSERT_EQ(mkdir((Spool() + "/1.tmp").c_str(), 0700), 0);
    ExpectOneLineFailure(Qiv({"expire"}), "Cannot expire group 1");
    ASSERT_EQ(rmdir((Spool() + "/1.tmp").c_str()), 0);
    r = Qiv({"expire"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(CliTest, GroupCommandsNeedASpool) {
    ExpectOneLineFailure(Qiv({"subscribe", "comp.lang.c"}), "not set up");
    ExpectOneLineFailure(Qiv({"expire"}), "not set up");
    SetUpSpool();
    RemoveTree(Spool());
    ExpectOneLineFailure(Qiv({"unsubscribe", "comp.lang.c"}), "does not exist");
    EXPECT_FALSE(Exists(Spool()));
}

TEST_F(CliTest, AProfileThatCannotBeUsedFailsWithTheReason) {
    WriteFile(work_ + "/taken", "a file");
    ProgramResult r = Run({"--profile-dir", work_ + "/taken", "expire"});
    ExpectOneLineFailure(r, "profile directory");

    // The settings file cannot be written: a directory stands in its place.
    ASSERT_EQ(mkdir(Profile().c_str(), 0700), 0);
    ASSERT_EQ(mkdir((Profile() + "/qiv.ini").c_str(), 0700), 0);
    r = Qiv({"setup", "--server", "news.example", "--spool", Spool()});
    ExpectOneLineFailure(r, "cannot write");
}

TEST_F(CliTest, DefaultProfileDirectory) {
    struct Case {
        std::map<std::string, std::string> env;
        std::string dir;
    };
    const std::vector<Case> cases = {
        {{{"QIVNEWS_HOME", work_ + "/q"}, {"XDG_CONFIG_HOME", work_ + "/x"}}, work_ + "/q"},
        {{{"XDG_CONFIG_HOME", work_ + "/x"}}, work_ + "/x/qivnews"},
        {{{"XDG_CONFIG_HOME", "relative"}, {"HOME", work_ + "/h"}}, work_ + "/h/.config/qivnews"},
        {{{"HOME", work_ + "/h2"}}, work_ + "/h2/.config/qivnews"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        const ProgramResult r =
            Run({"setup", "--server", "news.example", "--spool", Spool()}, "", c.env);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(ReadFile(c.dir + "/qiv.ini").find("NNTPServer=news.example"), std::string::npos);
    }
}

TEST_F(CliTest, WithoutATerminalTheInterfaceAsksForHeadless) {
    const ProgramResult r = Qiv({});
    ExpectOneLineFailure(r, "--headless");
}

TEST_F(CliTest, HeadlessRunsUntilSigtermOrSigintAndExitsZero) {
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        ProgramRun run;
        run.args = {"--profile-dir", Profile(), "--headless"};
        run.workDir = work_;
        const pid_t pid = StartProgram(run);
        ASSERT_TRUE(WaitForHandler(pid, signo));
        kill(pid, signo);
        const ProgramResult r = FinishProgram(pid, run);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0) << r.err;
        // It started as the program does: the settings were loaded.
        EXPECT_NE(Ini().find("NNTPServer=NotYetSet"), std::string::npos);
    }
}

}  // namespace
}  // namespace apptest
