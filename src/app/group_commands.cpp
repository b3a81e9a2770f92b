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
    context.mainWindow = app.mainWindow;
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
