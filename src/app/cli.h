// The command line of qivnews.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app {

enum class RunMode { Default, Headless, Once, Demo };

struct CommandLine {
    std::string profileDir;  // empty: the default
    RunMode mode = RunMode::Default;
    bool help = false;
    bool version = false;
    std::string subcommand;  // empty: the user interface
    std::vector<std::string> args;
};

struct SetupOptions {
    std::optional<std::string> server;
    std::optional<std::string> spoolDir;
    std::optional<std::uint32_t> port;
    std::optional<bool> auth;
    std::optional<std::string> user;
    std::optional<std::string> password;
    bool passwordFromStdin = false;
    std::optional<std::uint32_t> interval;
    std::optional<int> security;  // a nntp::CNntpSession::Security
    std::optional<std::string> caFile;
    std::optional<std::string> fingerprint;
    std::optional<std::uint32_t> initialFetch;
    std::optional<std::uint32_t> pipelineDepth;
    std::optional<int> compress;  // a nntp::CNntpSession::Compress
};

// Exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Takes the process out of core dumps and out of reach of other processes
// of the same user (ptrace, /proc/<pid>/mem): it holds the news server's
// password in memory. False when the kernel refuses.
bool KeepMemoryPrivate();

// False with the reason when the arguments are malformed.
bool ParseCommandLine(const std::vector<std::string>& argv, CommandLine& out, std::string& error);
bool ParseSetupOptions(const std::vector<std::string>& args, SetupOptions& out, std::string& error);
// Why a user name or password cannot be stored; empty when it can.
std::string CheckCredential(const std::string& option, const std::string& value);

// $QIVNEWS_HOME, else $XDG_CONFIG_HOME/qivnews, else ~/.config/qivnews;
// empty when none can be found.
std::string DefaultProfileDir();

// The whole program: parses, runs, returns the exit status.
int RunCommandLine(int argc, char** argv);

std::string UsageText();

}  // namespace app
