// Shared set-up of the cycle tests: the application started in-process with
// the recording interface, a spool in a temporary directory and the
// scriptable news server on a loopback port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app_fixture.h"
#include "newsserver/news_server.h"
#include "run_program.h"

namespace apptest {

// One record of a group's index file, as far as the tests look at it.
struct IndexEntry {
    long group = 0;
    std::string fileName;
    long articleNumber = 0;
    std::string sender;
    std::string subject;
};

std::vector<IndexEntry> ReadIndex(const std::string& path);

// A 13-byte out.dat record.
std::string OutRecord(const std::string& name, unsigned char flag = 0);

class CycleTest : public AppTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // qiv.ini for the server and the spool, plus extra lines; then starts
    // the application without its timer.
    void Configure(std::initializer_list<const char*> extra = {});
    // Writes section NG<n> (Name, and Index when given) and makes the
    // group's directory.
    void Subscribe(int n, const std::string& name, const char* index = nullptr);
    // Connects as "&Connect" does and runs the loop until the cycle ends.
    // False when it did not end within the bound.
    bool RunCycle(unsigned command = 0);
    bool Pump(const std::function<bool()>& done, int boundMs = 10000);

    std::string Spool(const std::string& rel = std::string()) const;
    std::string Ini(const std::string& section, const std::string& key,
                    const std::string& file = "qivnews.ini") const;
    std::string Setting(const std::string& key) const { return Ini("QIVNEWS", key, "qiv.ini"); }
    std::vector<std::string> Log() const { return ui_->Log(); }
    // The log from the first line that equals `from`.
    std::vector<std::string> LogFrom(const std::string& from) const;
    int LogCount(const std::string& prefix) const;
    // Commands the server received whose verb is `verb`.
    std::vector<std::string> ServerCommands(const std::string& verb) const;

    // The disconnected state a cycle returns to.
    void ExpectDisconnectedState();
    // What the worked example leaves (LastFileNumIn 7, Index 0, alt.worked
    // 100-102 as group 1): files 7-9, records 7-9, the counters moved on.
    void ExpectWorkedExampleStored();
    // Group n (server group `name`) holds exactly `articles`, indexed in
    // that order under consecutive file numbers from firstFile (below 0:
    // rising numbers), each file the article as the server has it, and no
    // other file in its directory.
    void ExpectGroupHolds(int n, const std::string& name, const std::vector<long>& articles,
                          long firstFile = 0);
    // The names in a directory, sorted; none for a missing one.
    static std::vector<std::string> DirectoryNames(const std::string& dir);

    std::string spool_;
    // The PipelineDepth Configure writes; 0 writes none (the default).
    int pipelineDepth_ = 0;
    testsrv::NewsServer server_;
    std::string serverName_ = "127.0.0.1";  // NNTPServer as Configure writes it
    std::uint16_t port_ = 0;                // NNTPPort as Configure writes it; 0: the server's
};

// Cycle tests that run the built program as a child process on the
// fixture's profile and spool, in a working directory (and TMPDIR) of its own.
class ProgramCycleTest : public CycleTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // qivnews --profile-dir <profile> followed by args.
    ProgramRun Run(std::vector<std::string> args = {"--once"}) const;
    ProgramResult Qiv(std::vector<std::string> args = {"--once"}, int boundMs = 30000) const;
    static std::vector<std::string> Lines(const std::string& text);

    std::string work_;
};

// The depths the fetch scenarios run at: the exchange of ARTICLE and NEXT
// in turn, and the default pipeline. Their spool results must not differ.
std::vector<int> FetchDepths();
std::string DepthName(int depth);

// A cycle test run at each of FetchDepths().
class DepthTest : public CycleTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        CycleTest::SetUp();
        pipelineDepth_ = GetParam();
    }
    bool LockStep() const { return GetParam() == 1; }
};

// Articles n..m of a group as the server holds them.
testsrv::Group MakeGroup(const std::string& name, long first, long last);
std::string ArticleText(const std::string& group, long number);
// A loopback port that nothing listens on.
std::uint16_t ClosedPort();
// A file's text as it should be stored: CR LF line ends.
std::string Stored(const std::string& text);

}  // namespace apptest
