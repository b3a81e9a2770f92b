#include "app/group_commands.h"

#include <algorithm>
#include <cstring>

#include "app/app_state.h"
#include "app/log.h"
#include "app/menu.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "spool/expiry.h"
#include "spool/group_registry.h"

namespace app {

namespace {

constexpr char kCaption[] = "Qiv News Client";

void Warn(const std::string& text) {
    plat::ui::Current().MessageBox(kCaption, text);
}

// Asks for the group name; false on Cancel.
bool AskGroupName(std::string& name) {
    if (RunSelectGroupDialog() != 1) return false;
    name = App().selectedGroupName;
    return true;
}

// The menu's commands: one name, a failure in a warning box.
void RunMenuGroupCommand(GroupAction action) {
    std::string name;
    if (!AskGroupName(name)) return;
    for (const GroupOutcome& outcome : RunGroupAction(action, {name}))
        if (!outcome.ok) Warn(outcome.message);
}

template <class Result>
std::vector<GroupOutcome> Outcomes(const std::vector<Result>& results) {
    std::vector<GroupOutcome> outcomes;
    outcomes.reserve(results.size());
    for (const Result& r : results) outcomes.push_back({r.Ok(), r.message});
    return outcomes;
}

}  // namespace

spool::SpoolContext MakeSpoolContext() {
    AppState& app = App();
    spool::SpoolContext context;
    context.spoolDir = app.settings.qivNewsDir;
    context.lastGroupNum = &app.settings.lastGroupNum;
    context.mainWindow = app.mainWindow;
    context.log = [](const std::string& line) { LogLine(line.c_str()); };
    return context;
}

std::string SpoolProblem() {
    const std::string& dir = App().settings.qivNewsDir;
    if (!IsRealValue(dir)) return "The spool directory (QivNewsDir) is not set up";
    if (!plat::DirectoryExists(dir)) return "The spool directory " + dir + " does not exist";
    const std::string news = plat::FormatPath("%s\\news", dir.c_str());
    if (!plat::DirectoryExists(news)) return "The spool directory has no news directory: " + news;
    return std::string();
}

void SetSelectedGroupName(const std::string& name) {
    char* buffer = App().selectedGroupName;
    const std::size_t length = std::min(name.size(), kGroupNameBufferSize - 1);
    std::memcpy(buffer, name.data(), length);
    buffer[length] = '\0';
}

const char* GroupActionName(GroupAction action) {
    return action == GroupAction::Subscribe ? "subscribe" : "unsubscribe";
}

std::vector<GroupOutcome> RunGroupAction(GroupAction action,
                                         const std::vector<std::string>& names) {
    if (const std::string problem = SpoolProblem(); !problem.empty()) return {{false, problem}};
    if (action == GroupAction::Subscribe)
        return Outcomes(spool::SubscribeGroups(MakeSpoolContext(), names));
    return Outcomes(spool::UnsubscribeGroups(MakeSpoolContext(), names));
}

void SubscribeGroupCommand(plat::WindowHandle) {
    RunMenuGroupCommand(GroupAction::Subscribe);
}

void UnsubscribeGroupCommand(plat::WindowHandle) {
    RunMenuGroupCommand(GroupAction::Unsubscribe);
}

void ExpireCommand(plat::WindowHandle) {
    if (const std::string problem = SpoolProblem(); !problem.empty()) return Warn(problem);
    spool::StartExpiry(MakeSpoolContext());
}

void ExpireNextStep(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {
    // The spool may have been set up anew since the chain began.
    if (!SpoolProblem().empty()) return;
    spool::ExpireGroupStep(MakeSpoolContext());
}

}  // namespace app
