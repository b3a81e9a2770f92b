// Runs the built qivnews as a child process with files for its standard
// streams, an environment of the test's choosing and a bound on its time.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace apptest {

struct ProgramResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    int signal = 0;   // the signal that ended it, if any
    std::string out;
    std::string err;
};

struct ProgramRun {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;  // besides PATH; HOME defaults to workDir/home
    std::string input;                       // standard input
    std::string workDir;                     // also holds the stream files
    // As under systemd: standard output and error are one stream (out),
    // which JOURNAL_STREAM names.
    bool journal = false;
};

std::string QivnewsPath();

ProgramResult RunProgram(const ProgramRun& run, int boundMs = 30000);

// Starts it without waiting; Finish collects the result.
pid_t StartProgram(const ProgramRun& run);
ProgramResult FinishProgram(pid_t pid, const ProgramRun& run, int boundMs = 30000);

// True once the process has a handler for signo (it is ready for it).
bool WaitForHandler(pid_t pid, int signo, int boundMs = 10000);

}  // namespace apptest
