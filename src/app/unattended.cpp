#include "app/unattended.h"

#include <cstdio>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/log.h"
#include "app/main_window.h"
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

// Hears how the cycle ended.
struct Outcome final : CycleListener {
    void CycleEnded(const CycleReport& report) override {
        heard = true;
        this->report = report;
    }
    bool heard = false;
    CycleReport report;
};

// Runs the cycle under way until it ends and returns how it ended; a report
// that still says running when the run stopped before its end (SIGINT,
// SIGTERM, the window gone).
CycleReport AwaitCycle(plat::WindowHandle window, int idleLimitMs) {
    NewsCycle* cycle = CycleOf(window);
    if (cycle == nullptr) {
        CycleReport gone;
        gone.running = true;
        return gone;
    }
    if (!cycle->Running()) return cycle->report;
    Outcome outcome;
    outcome.report = cycle->report;
    cycle->AddListener(&outcome);
    std::uint64_t lastEvent = plat::NowMs();
    while (!outcome.heard) {
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
            if (NewsCycle* still = CycleOf(window)) ConnectionLost(*still, 0);
            break;
        }
        const std::uint64_t left = static_cast<std::uint64_t>(idleLimitMs) - (now - lastEvent);
        plat::PollSources(static_cast<int>(left < 1000 ? left : 1000));
    }
    // Gone with the window when that was destroyed.
    if (NewsCycle* still = CycleOf(window)) still->RemoveListener(&outcome);
    return outcome.report;
}

int Run(plat::WindowHandle window, unsigned command, const char* what, int idleLimitMs) {
    if (const std::string problem = ConfigProblem(); !problem.empty()) {
        PrintError(std::string(what) + ": " + problem);
        return 1;
    }
    RouteStopSignals(window);
    // As choosing the command from the menu does.
    plat::SendMessage(window, plat::msg::Command, command, 0);
    const CycleReport r = AwaitCycle(window, idleLimitMs);
    if (CycleSucceeded(r, command == IDM_GET_GROUP_LIST)) return 0;
    // A cycle that went through with work left undone says which.
    if (!r.lost && r.disconnected && !r.undone.empty())
        PrintError(std::string(what) + ": " + r.undone);
    else
        PrintError(std::string(what) + ": the cycle did not complete");
    return 1;
}

}  // namespace

int FinishCycle(plat::WindowHandle window, bool listMode, int idleLimitMs) {
    return CycleSucceeded(AwaitCycle(window, idleLimitMs), listMode) ? 0 : 1;
}

int RunOnce(plat::WindowHandle window, int idleLimitMs) {
    return Run(window, IDM_CONNECT, "--once", idleLimitMs);
}

int RunListGroups(plat::WindowHandle window, int idleLimitMs) {
    return Run(window, IDM_GET_GROUP_LIST, "list-groups", idleLimitMs);
}

}  // namespace app
