#include "app/group_commands.h"

#include <algorithm>
#include <cstring>

#include "app/app_state.h"
#include "app/log.h"
#include "app/menu.h"
#include "net/deferred_call.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "spool/expiry.h"
#include "spool/group_registry.h"
#include "spool/spool_paths.h"

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
    context.log = [](const std::string& line) { LogLine(line.c_str()); };
    return context;
}

std::string SpoolProblem() {
    const std::string& dir = App().settings.qivNewsDir;
    if (!IsRealValue(dir)) return "The spool directory (QivNewsDir) is not set up";
    if (!plat::DirectoryExists(dir)) return "The spool directory " + dir + " does not exist";
    const std::string news = spool::NewsDirectory(dir);
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

namespace {

// The loop gets a turn after every record, as it did when the expiry
// dispatched a waiting message per record.
constexpr long kExpiryRecordsPerStep = 1;

void ExpiryStep(void*);

net::CDeferredCall& ExpiryContinuation() {
    static net::CDeferredCall call(ExpiryStep, nullptr);
    return call;
}

// One step of the expiry; the next is called from the loop, never from
// inside this one.
void ExpiryStep(void*) {
    // The spool may have been set up anew since the run began.
    if (!SpoolProblem().empty()) return spool::AbandonExpiry();
    const spool::SpoolContext context = MakeSpoolContext();
    if (!spool::ExpiryStep(context, kExpiryRecordsPerStep)) return;
    // Without an event window nothing else can run meanwhile either.
    if (ExpiryContinuation().Post() != 0)
        while (spool::ExpiryStep(context, kExpiryRecordsPerStep)) {
        }
}

}  // namespace

void ExpireCommand(plat::WindowHandle) {
    if (const std::string problem = SpoolProblem(); !problem.empty()) return Warn(problem);
    spool::StartExpiry();
    // A step already scheduled takes the run from where it is.
    if (!ExpiryContinuation().Pending()) ExpiryStep(nullptr);
}

void FinishExpiryAtExit() {
    ExpiryContinuation().Cancel();
    if (SpoolProblem().empty()) spool::FinishExpiryGroup(MakeSpoolContext());
    spool::AbandonExpiry();
}

}  // namespace app
