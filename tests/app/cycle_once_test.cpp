// The real program run unattended: --once, list-groups and --demo, with
// their exit statuses.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/cycles.h"
#include "app/unattended.h"
#include "cycle_support.h"
#include "platform/profile.h"
#include "run_program.h"

namespace apptest {
namespace {

using testsrv::Fault;

class OnceTest : public ProgramCycleTest {
protected:
    // qiv.ini in the profile directory (the test's own) for the server.
    void Profile(std::initializer_list<const char*> extra = {}, bool withServer = true) {
        std::string text = IniText({"UserVerification=NO", "LastGroupNum=2"});
        if (withServer) {
            text += "NNTPServer=127.0.0.1\r\nNNTPPort=" + std::to_string(server_.Port()) + "\r\n";
            text += "QivNewsDir=" + spool_ + "\r\n";
        }
        for (const char* line : extra) text += std::string(line) + "\r\n";
        WriteFile(dir_ + "/qiv.ini", text);
    }
};

TEST_F(OnceTest, OnceRunsTheWholeCycleAndExitsZero) {
    server_.AddGroup(MakeGroup("alt.once", 10, 12));
    // A refused article and a refused post do not make the cycle fail.
    server_.AddFault(Fault::Reply("ARTICLE", "430 no such article", 2));
    server_.AddFault(Fault::Reply("POST_DATA", "441 posting failed", 1));
    Subscribe(1, "alt.once");
    WriteFile(Spool("out/a.txt"), "Newsgroups: alt.once\r\nSubject: a\r\n\r\nA\r\n");
    WriteFile(Spool("out.dat"), OutRecord("a.txt"));
    Profile({"LastFileNumIn=0"});

    const ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  "Connecting to server", "Server connected", "Getting messages from alt.once",
                  "Finished getting messages", "Posting Messages", "441 posting failed",
                  "a.txt refused by the server; moved to out/rejected/a.txt",
                  "Finished posting essages", "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(r.err, "");
    const std::vector<IndexEntry> index = ReadIndex(Spool("1.grp"));
    ASSERT_EQ(index.size(), 2u);
    EXPECT_EQ(index[1].articleNumber, 12);
    EXPECT_EQ(plat::GetProfileString("NG1", "Index", "", 25, "qivnews.ini"), "13");
    EXPECT_EQ(ReadFile(Spool("out.dat")), "");
    EXPECT_EQ(server_.Connections(), 1);
}

// An article that could not be stored (its index record cannot be
// written: a directory in the way) leaves the cycle to run on, but the run
// says so in its status.
TEST_F(OnceTest, ArticleThatCouldNotBeStoredExitsOne) {
    server_.AddGroup(MakeGroup("alt.full", 1, 3));
    Subscribe(1, "alt.full");
    Profile({"LastFileNumIn=0"});
    ASSERT_EQ(mkdir(Spool("1.grp").c_str(), 0755), 0);
    ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Can't write the index of NG1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Server disconnected"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "qivnews: --once: Can't write the index of NG1\n");
    EXPECT_EQ(Ini("NG1", "Index"), "(missing)");

    ASSERT_EQ(rmdir(Spool("1.grp").c_str()), 0);
    r = Qiv({"--once"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ReadIndex(Spool("1.grp")).size(), 3u);
}

TEST_F(OnceTest, ProfileWithoutServerOrSpoolExitsOneWithoutConnecting) {
    Profile({}, false);
    ProgramResult r = Qiv({"--once"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no news server is set up"), std::string::npos) << r.err;
    r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 1);

    Profile();
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "QivNewsDir", work_ + "/nope", "qiv.ini"));
    r = Qiv({"--once"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(server_.Connections(), 0);
}

TEST_F(OnceTest, FailuresExitOne) {
    struct Case {
        const char* name;
        std::vector<const char*> extra;
        Fault fault;
        const char* lastLine;
    };
    server_.SetAccounts({{"joe", "secret"}}, false);
    server_.AddGroup(MakeGroup("alt.f", 1, 2));
    Subscribe(1, "alt.f");
    const std::vector<Case> cases = {
        {"password rejected",
         {"UserVerification=Yes", "QivNewsUsername=joe", "QivNewsPassword=bad"},
         Fault::Delay("*", 0, 0),
         "Server disconnected"},
        {"connection lost", {}, Fault::CloseAfter("ARTICLE", 40, 0), "Connection to server lost"},
        {"greeting refused",
         {},
         Fault::Reply("GREETING", "502 go away", 0),
         "Could not connect to server"},
        {"closed before the greeting",
         {},
         Fault::Close("GREETING", 0),
         "Could not connect to server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server_.ClearFaults();
        server_.AddFault(c.fault);
        std::string text = IniText({"UserVerification=NO", "LastGroupNum=2"});
        text += "NNTPServer=127.0.0.1\r\nNNTPPort=" + std::to_string(server_.Port()) + "\r\n";
        text += "QivNewsDir=" + spool_ + "\r\n";
        WriteFile(dir_ + "/qiv.ini", text);
        for (const char* line : c.extra) {
            const std::string l = line;
            const std::size_t eq = l.find('=');
            ASSERT_TRUE(
                plat::WriteProfileString("QIVNEWS", l.substr(0, eq), l.substr(eq + 1), "qiv.ini"));
        }
        const ProgramResult r = Qiv({"--once"});
        EXPECT_EQ(r.status, 1) << r.out;
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().rfind(c.lastLine, 0), 0u) << r.out;
        EXPECT_NE(r.err.find("the cycle did not complete"), std::string::npos) << r.err;
    }
}

TEST_F(OnceTest, RefusedConnectionEndsAtOnce) {
    Profile();
    ASSERT_TRUE(
        plat::WriteProfileString("QIVNEWS", "NNTPPort", std::to_string(ClosedPort()), "qiv.ini"));
    const std::uint64_t start = plat::NowMs();
    const ProgramResult r = Qiv({"--once"}, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Could not connect to server"}));
    EXPECT_LT(plat::NowMs() - start, 5000u);
}

TEST_F(OnceTest, ListGroupsStoresTheListAndExitsZero) {
    server_.AddGroup(MakeGroup("alt.l", 1, 3));
    Subscribe(1, "alt.l");
    Profile();
    ProgramResult r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"Connecting to server", "Server connected",
                                        "Getting Group List", "Group list received",
                                        "Disconnecting from Server", "Server disconnected"}));
    EXPECT_EQ(ReadFile(Spool("groups.txt")), "alt.l 3 1 y\r\n");
    EXPECT_FALSE(Exists(Spool("1.grp")));

    server_.AddFault(Fault::Reply("LIST", "481 no list for you", 0));
    r = Qiv({"list-groups"});
    EXPECT_EQ(r.status, 1) << r.out;
}

TEST_F(OnceTest, SigtermEndsAStalledRunWithOne) {
    server_.AddGroup(MakeGroup("alt.s", 1, 3));
    server_.AddFault(Fault::Stall("GROUP", 0));
    Subscribe(1, "alt.s");
    Profile();
    const ProgramRun run = Run();
    const pid_t pid = StartProgram(run);
    ASSERT_TRUE(plat::PumpUntil([&] { return !ServerCommands("GROUP").empty(); }));
    ASSERT_TRUE(WaitForHandler(pid, SIGTERM));
    kill(pid, SIGTERM);
    const ProgramResult r = FinishProgram(pid, run, 10000);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
}

TEST_F(OnceTest, AServerThatStopsAnsweringDoesNotHoldTheRunForEver) {
    server_.AddGroup(MakeGroup("alt.s", 1, 3));
    server_.AddFault(Fault::Stall("ARTICLE", 2));
    Subscribe(1, "alt.s");
    Configure({"LastFileNumIn=0"});
    const std::uint64_t start = plat::NowMs();
    EXPECT_EQ(app::RunOnce(window_, 1000), 1);
    EXPECT_LT(plat::NowMs() - start, 8000u);
    EXPECT_EQ(LogCount("No answer from the server for 1 seconds"), 1);
    EXPECT_EQ(Log().back(), "Connection to server lost");
    ExpectDisconnectedState();
    EXPECT_EQ(Ini("NG1", "Index"), "2") << "the first article stays fetched";
    EXPECT_TRUE(Pump([&] { return server_.OpenConnections() == 0; }, 5000));
}

TEST_F(OnceTest, DemoWithoutATerminalRunsOneCycleAndSaysWhereTheSpoolIs) {
    ProgramRun run;
    run.args = {"--demo"};
    run.workDir = work_;
    run.env["TMPDIR"] = work_;
    const ProgramResult r = RunProgram(run, 30000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string marker = "Demo spool: ";
    const std::size_t at = r.out.find(marker);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string spool =
        r.out.substr(at + marker.size(), r.out.find('\n', at) - at - marker.size());
    EXPECT_EQ(spool.rfind(work_ + "/qivnews-demo-", 0), 0u) << spool;
    EXPECT_NE(r.out.find("Finished posting essages"), std::string::npos);
    EXPECT_NE(r.out.find("Server disconnected"), std::string::npos);
    EXPECT_EQ(ReadFile(spool + "/out.dat"), "") << "the queued article was posted";
    EXPECT_NE(ReadFile(spool + "/newsys.rc").find("qiv.demo.welcome:"), std::string::npos);
    EXPECT_GE(ReadIndex(spool + "/1.grp").size(), 1u);
}

}  // namespace
}  // namespace apptest
