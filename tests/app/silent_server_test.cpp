// A server that stops answering: the limit comes from ReplyTimeout in
// qiv.ini, and an unattended run ends with a log line instead of waiting.
#include <gtest/gtest.h>

#include <memory>

#include "app/cycles.h"
#include "cycle_support.h"
#include "nntp/nntp_session.h"
#include "run_program.h"

namespace apptest {
namespace {

using testsrv::Fault;

class SilentServerTest : public CycleTest {};

// Read with its default and never written; values that make no sense as a
// number of seconds mean the default.
TEST_F(SilentServerTest, ReplyTimeoutIsReadNotWrittenAndSaneOrTheDefault) {
    const struct {
        const char* line;
        std::uint32_t ms;
    } cases[] = {
        {nullptr, 120000},
        {"ReplyTimeout=7", 7000},
        {"ReplyTimeout=0", 120000},
        {"ReplyTimeout=-3", 120000},
        {"ReplyTimeout=abc", 120000},
        {"ReplyTimeout=86401", 120000},
        {"ReplyTimeout=86400", 86400000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line != nullptr ? c.line : "missing");
        Stop();
        plat::ResetMessageLoopForTests();
        auto backend = std::make_unique<plat::ui::RecordingBackend>();
        ui_ = backend.get();
        plat::ui::Install(std::move(backend));
        if (c.line != nullptr)
            Configure({c.line});
        else
            Configure();
        EXPECT_EQ(Session().replyTimeoutMs, c.ms);
        EXPECT_EQ(Setting("ReplyTimeout"),
                  c.line != nullptr ? std::string(c.line).substr(13) : std::string("(missing)"));
    }
}

// The real program, run once against a server that goes silent in the
// middle of a group: it gives up after the timeout, says why, keeps what it
// had, and the next run fetches the rest.
TEST_F(SilentServerTest, OnceRunEndsWithALogLineAndTheNextRunResumes) {
    server_.AddGroup(MakeGroup("alt.quiet", 1, 3));
    server_.AddFault(Fault::Stall("ARTICLE", 2));
    Subscribe(1, "alt.quiet");
    const std::string work = MakeTempDir();
    WriteFile(dir_ + "/qiv.ini",
              IniText({"UserVerification=NO", "LastGroupNum=2", "LastFileNumIn=0", "ReplyTimeout=1",
                       "NNTPServer=127.0.0.1"}) +
                  "NNTPPort=" + std::to_string(server_.Port()) + "\r\nQivNewsDir=" + spool_ +
                  "\r\n");
    ProgramRun run;
    run.args = {"--profile-dir", dir_, "--once"};
    run.workDir = work;
    run.env["TMPDIR"] = work;

    const ProgramResult silent = RunProgram(run, 20000);
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.out.find("\nConnection to server lost: No answer from the server for 1 "
                              "second\n"),
              std::string::npos)
        << silent.out;
    ASSERT_EQ(ReadIndex(Spool("1.grp")).size(), 1u);
    EXPECT_EQ(Ini("NG1", "Index"), "2");
    EXPECT_FALSE(Exists(Spool("news/NG1/00000001.nws")));

    const ProgramResult next = RunProgram(run, 20000);
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    ASSERT_EQ(ReadIndex(Spool("1.grp")).size(), 3u);
    EXPECT_EQ(ReadIndex(Spool("1.grp"))[1].articleNumber, 2);
    RemoveTree(work);
}

}  // namespace
}  // namespace apptest
