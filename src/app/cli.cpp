#include "app/cli.h"

#ifndef _WIN32
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/control_channel.h"
#include "app/group_commands.h"
#include "app/instance_lock.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/setup.h"
#include "app/startup.h"
#include "app/unattended.h"
#include "net/tls_layer.h"
#include "net/warning.h"
#include "platform/journal.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "spool/expiry.h"

namespace app {

namespace {

constexpr char kProgram[] = "qivnews";

void PrintError(const std::string& text) {
    plat::WriteLines(stderr, plat::Priority::Error, std::string(kProgram) + ": " + text + "\n");
}

int UsageError(const std::string& text) {
    PrintError(text);
    plat::WriteLines(stderr, plat::Priority::Error, UsageText());
    return kExitUsage;
}

// Creates the directory and its missing parents with the given mode.
bool MakeDirectories(const std::string& dir, mode_t mode, std::string& error) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
#ifdef _WIN32
        pos = dir.find_first_of("/\\", pos + 1);
#else
        pos = dir.find('/', pos + 1);
#endif
        partial = dir.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            struct stat st;
            if (stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = dir + " is not a directory";
        return false;
    }
    return true;
}

// Starts the application for a subcommand: headless, without a timer.
plat::WindowHandle StartForCommand() {
    plat::ui::Install(plat::ui::MakeHeadlessBackend());
    std::string error;
    const plat::WindowHandle window = StartMainWindow(false, error);
    if (window == 0) PrintError("cannot start: " + error);
    return window;
}

int RunSetupCommand(const std::vector<std::string>& args) {
    SetupOptions options;
    std::string error;
    if (!ParseSetupOptions(args, options, error)) return UsageError("setup: " + error);

    // The server and the spool must be given until the file holds them.
    if (!options.server && !IsRealValue(ReadSetting("NNTPServer")))
        return UsageError("setup: --server is required: no server is set up yet");
    if (!options.spoolDir && !IsRealValue(ReadSetting("QivNewsDir")))
        return UsageError("setup: --spool is required: no spool directory is set up yet");

    if (options.passwordFromStdin) {
        std::string line;
        int c;
        bool any = false;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
            any = true;
            if (line.size() <= kMaxCredentialLength) line.push_back(static_cast<char>(c));
        }
        if (!any && c == EOF)
            return UsageError("setup: --password-stdin: nothing on standard input");
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (std::string problem = CheckCredential("--password-stdin", line); !problem.empty())
            return UsageError("setup: " + problem);
        options.password = line;
    }

    // Before the hand-over: a running gateway needs them just the same.
    if (options.spoolDir) {
        const std::string& dir = *options.spoolDir;
        for (const std::string& path : {dir, dir + "/news", dir + "/out"}) {
            if (!MakeDirectories(path, 0755, error)) {
                PrintError("setup: " + error);
                return kExitFailed;
            }
        }
    }

    if (const std::optional<int> status = RunHereOrHandOver(SetupRequest(options))) return *status;
    if (StartForCommand() == 0) return kExitFailed;
    // As confirming the Setup dialog; only what was given is written.
    if (!ApplySetupOptions(options, App().mainWindow, error)) {
        PrintError("setup: " + error);
        return kExitFailed;
    }
    return kExitOk;
}

int RunGroupCommand(const std::string& subcommand, const std::vector<std::string>& names) {
    if (const std::optional<int> status = RunHereOrHandOver({subcommand, names})) return *status;
    if (StartForCommand() == 0) return kExitFailed;
    const GroupAction action =
        subcommand == "subscribe" ? GroupAction::Subscribe : GroupAction::Unsubscribe;
    int status = kExitOk;
    for (const GroupOutcome& outcome : RunGroupAction(action, names)) {
        if (outcome.ok) {
            plat::WriteLines(stdout, plat::Priority::Info, outcome.message + "\n");
        } else {
            PrintError(subcommand + ": " + outcome.message);
            status = kExitFailed;
        }
    }
    return status;
}

int RunExpireCommand() {
    if (const std::optional<int> status = RunHereOrHandOver({"expire", {}})) return *status;
    const plat::WindowHandle window = StartForCommand();
    if (window == 0) return kExitFailed;
    if (const std::string problem = SpoolProblem(); !problem.empty()) {
        PrintError("expire: " + problem);
        return kExitFailed;
    }
    plat::SendMessage(window, plat::msg::Command, IDM_EXPIRE, 0);
    // Each step posts the message for the next before it returns, and
    // nothing else posts here: the chain has ended when nothing waits.
    plat::Message m;
    while (plat::PeekMessage(m) && m.message != plat::msg::Quit) plat::DispatchMessage(m);
    if (const std::string& failure = spool::ExpiryFailure(); !failure.empty()) {
        PrintError("expire: " + failure);
        return kExitFailed;
    }
    return kExitOk;
}

int RunUnattended(RunMode mode, const std::string& subcommand) {
    const bool list = subcommand == "list-groups";
    const std::optional<int> status =
        list ? RunHereOrHandOver({subcommand, {}})
             : ClaimProfile(mode == RunMode::Once ? kModeOnce : kModeHeadless);
    if (status) return *status;
    if (mode == RunMode::Once || list) {
        const plat::WindowHandle window = StartForCommand();
        if (window == 0) return kExitFailed;
        if (list) return RunListGroups(window);
        OpenControlChannel(window);
        return RunOnce(window);
    }
    plat::ui::Install(plat::ui::MakeHeadlessBackend());
    std::string error;
    const plat::WindowHandle window = StartMainWindow(true, error);
    if (window == 0) {
        PrintError("cannot start: " + error);
        return kExitFailed;
    }
    OpenControlChannel(window);
    RouteStopSignals(window);
    return RunMainWindow();
}

#ifdef _WIN32
// Without a mode option the program's own window: the frame with the menu
// bar and the log, in place of the terminal interface.
int RunTerminal() {
    if (const std::optional<int> status = ClaimProfile(kModeTerminal)) return *status;
    plat::ui::Install(plat::ui::MakeWin32Backend());
    net::SetWarningSink(
        [](const char* text) { plat::ui::Current().MessageBox(net::kWarningCaption, text); });
    std::string error;
    const plat::WindowHandle window = StartMainWindow(true, error);
    int status = kExitFailed;
    if (window != 0) {
        OpenControlChannel(window);
        RouteStopSignals(window);
        status = RunMainWindow();
        CloseControlChannel();
    }
    net::SetWarningSink(nullptr);
    plat::ui::Install(nullptr);
    if (window == 0) PrintError("cannot start: " + error);
    return status;
}
#else
int RunTerminal() {
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
        PrintError(
            "standard input and output are not a terminal; use --headless to run without one");
        return kExitFailed;
    }
    if (const std::optional<int> status = ClaimProfile(kModeTerminal)) return *status;
    std::unique_ptr<plat::ui::Backend> backend = plat::ui::MakeTerminalBackend();
    if (!backend) {
        PrintError("cannot use this terminal (is TERM set?); use --headless to run without one");
        return kExitFailed;
    }
    plat::ui::Install(std::move(backend));
    net::SetWarningSink(
        [](const char* text) { plat::ui::Current().MessageBox(net::kWarningCaption, text); });
    std::string error;
    const plat::WindowHandle window = StartMainWindow(true, error);
    int status = kExitFailed;
    if (window != 0) {
        OpenControlChannel(window);
        RouteStopSignals(window);
        status = RunMainWindow();
        CloseControlChannel();
    }
    net::SetWarningSink(nullptr);
    plat::ui::Install(nullptr);  // gives the screen back before anything is printed
    if (window == 0) PrintError("cannot start: " + error);
    return status;
}
#endif

}  // namespace

bool KeepMemoryPrivate() {
#ifdef _WIN32
    return true;  // no core files there; Windows Error Reporting is the sysop's to set
#else
    return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
#endif
}

int RunCommandLine(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    CommandLine cl;
    std::string error;
    if (!ParseCommandLine(args, cl, error)) return UsageError(error);
    if (cl.help) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitOk;
    }
    if (cl.version) {
        std::printf("%s\n", kProgramVersionLine);
        return kExitOk;
    }

    // The demo brings a profile and a spool of its own.
#ifdef _WIN32
    // Its news server is a Linux program.
    if (cl.mode == RunMode::Demo) {
        PrintError("--demo is not part of the Windows build");
        return kExitFailed;
    }
#else
    if (cl.mode == RunMode::Demo) return RunDemo();
#endif

    const std::string profileDir = cl.profileDir.empty() ? DefaultProfileDir() : cl.profileDir;
    if (profileDir.empty()) {
        PrintError("no profile directory: set HOME or QIVNEWS_HOME, or give --profile-dir");
        return kExitFailed;
    }
    if (!MakeDirectories(profileDir, 0700, error)) {
        PrintError("profile directory: " + error);
        return kExitFailed;
    }
    plat::SetProfileDir(profileDir);

    const std::string& sub = cl.subcommand;
    if (sub == "setup") return RunSetupCommand(cl.args);
    if (sub == "subscribe" || sub == "unsubscribe") return RunGroupCommand(sub, cl.args);
    if (sub == "expire") return RunExpireCommand();
    if (sub == "list-groups" || cl.mode != RunMode::Default) return RunUnattended(cl.mode, sub);
    return RunTerminal();
}

}  // namespace app
