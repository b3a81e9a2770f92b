#include "app/unattended.h"

#include <cstdio>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/log.h"
#include "app/settings.h"
#include "app/startup.h"
#include "platform/journal.h"

namespace app {

namespace {

void PrintError(const std::string& text) {
    plat::WriteLines(stderr, plat::Priority::Error, std::string("qivnews") + ": " + text + "\n");
}

// Why a cycle cannot be run with these settings; empty when it can.
std::string ConfigProblem() {
    const AppSettings& s = App().settings;
    if (!IsRealValue(s.nntpServer)) return "no news server is set up (qivnews setup --server HOST)";
    return SpoolProblem();
}

int Run(plat::WindowHandle window, unsigned command, const char* what, int idleLimitMs) {
    if (const std::string problem = ConfigProblem(); !problem.empty()) {
        PrintError(std::string(what) + ": " + problem);
        return 1;
    }
    RouteStopSignals(window);
    // As choosing the command from the menu does.
    plat::SendMessage(window, plat::msg::Command, command, 0);
    const int status = FinishCycle(window, command == IDM_GET_GROUP_LIST, idleLimitMs);
    const CycleReport& r = LastCycle();
    // A cycle that went through with work left undone says which.
    if (status != 0 && !r.lost && r.disconnected && !r.undone.empty())
        PrintError(std::string(what) + ": " + r.undone);
    else if (status != 0)
        PrintError(std::string(what) + ": the cycle did not complete");
    return status;
}

}  // namespace

int FinishCycle(plat::WindowHandle window, bool listMode, int idleLimitMs) {
    std::uint64_t lastEvent = plat::NowMs();
    while (LastCycle().running) {
        plat::Message m;
        if (plat::PeekMessage(m)) {
            if (m.message == plat::msg::Quit) break;  // SIGINT or SIGTERM
            plat::DispatchMessage(m);
            lastEvent = plat::NowMs();
            continue;
        }
        const std::uint64_t now = plat::NowMs();
        if (now - lastEvent >= static_cast<std::uint64_t>(idleLimitMs)) {
            LogLineF("No answer from the server for %d seconds", idleLimitMs / 1000);
            ConnectionLost(window, 0);
            break;
        }
        const std::uint64_t left = static_cast<std::uint64_t>(idleLimitMs) - (now - lastEvent);
        plat::PollSources(static_cast<int>(left < 1000 ? left : 1000));
    }
    const CycleReport& r = LastCycle();
    const bool ok = !r.running && r.connected && !r.authRejected && !r.lost && r.disconnected &&
                    r.undone.empty() && (!listMode || r.listReceived);
    return ok ? 0 : 1;
}

int RunOnce(plat::WindowHandle window, int idleLimitMs) {
    return Run(window, IDM_CONNECT, "--once", idleLimitMs);
}

int RunListGroups(plat::WindowHandle window, int idleLimitMs) {
    return Run(window, IDM_GET_GROUP_LIST, "list-groups", idleLimitMs);
}

}  // namespace app
