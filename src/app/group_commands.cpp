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

GroupCommandAnswer* presetAnswer = nullptr;

// Asks for the group name; false on Cancel.
bool AskGroupName(std::string& name) {
    if (presetAnswer != nullptr) {
        // As OK in the dialog: the name is also left in the answer buffer.
        name = presetAnswer->name;
        char* buffer = App().selectedGroupName;
        const std::size_t length = std::min(name.size(), kGroupNameBufferSize - 1);
        std::memcpy(buffer, name.data(), length);
        buffer[length] = '\0';
        return true;
    }
    if (RunSelectGroupDialog() != 1) return false;
    name = App().selectedGroupName;
    return true;
}

void Report(bool ok, const std::string& message) {
    if (presetAnswer != nullptr) {
        presetAnswer->done = true;
        presetAnswer->ok = ok;
        presetAnswer->message = message;
    } else if (!ok) {
        Warn(message);
    }
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

void SetGroupCommandAnswer(GroupCommandAnswer* answer) {
    presetAnswer = answer;
}

void SubscribeGroupCommand(plat::WindowHandle) {
    std::string name;
    if (!AskGroupName(name)) return;
    if (const std::string problem = SpoolProblem(); !problem.empty()) return Report(false, problem);
    const spool::SubscribeResult result = spool::SubscribeGroup(MakeSpoolContext(), name);
    Report(result.Ok(), result.message);
}

void UnsubscribeGroupCommand(plat::WindowHandle) {
    std::string name;
    if (!AskGroupName(name)) return;
    if (const std::string problem = SpoolProblem(); !problem.empty()) return Report(false, problem);
    const spool::UnsubscribeResult result = spool::UnsubscribeGroup(MakeSpoolContext(), name);
    Report(result.Ok(), result.message);
}

namespace {

// The loop gets a turn after every record, as it did when the expiry
// dispatched a waiting message per record.
constexpr long kExpiryRecordsPerStep = 1;

void ExpiryStep(void*);

CDeferredCall& ExpiryContinuation() {
    static CDeferredCall call(ExpiryStep, nullptr);
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
