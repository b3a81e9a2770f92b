// A qivnews gateway run as a child process on a profile directory of the
// test's own, and the subcommands that talk to it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "run_program.h"

namespace apptest {

// Runs pred until it holds or the bound passes, looking again every few
// milliseconds; for states of other processes, which send no event.
bool WaitFor(const std::function<bool()>& pred, int boundMs = 10000);

// True when something accepts connections on the profile's control socket.
bool SocketAnswers(const std::string& profileDir);

class Gateway {
public:
    // The streams go to files in a directory of their own.
    Gateway(std::string profileDir, std::string workDir);
    ~Gateway();  // kills it if it still runs

    // Starts "qivnews --profile-dir DIR --headless" (or the given mode
    // argument) and waits until its socket answers.
    bool Start(const std::string& modeArg = "--headless");
    // SIGTERM, then collects the result.
    ProgramResult Stop();
    // Waits for it to end by itself (--once).
    ProgramResult Finish();
    // SIGKILL: nothing of it gets to tidy up.
    void Kill();
    pid_t Pid() const { return pid_; }
    std::string Out() const;  // its log so far
    std::string Err() const;

private:
    std::string profile_;
    ProgramRun run_;
    pid_t pid_ = -1;
};

}  // namespace apptest
