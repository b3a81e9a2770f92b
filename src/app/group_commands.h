// The group commands of the menu: subscribe, unsubscribe, expire.
#pragma once

#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "spool/spool_context.h"

namespace app {

// Command 40005: asks for a name and subscribes it.
void SubscribeGroupCommand(plat::WindowHandle window);
// Command 40006: asks for a name and unsubscribes it.
void UnsubscribeGroupCommand(plat::WindowHandle window);
// Command 40009: expires every group, in steps of a few records; the first
// runs inside the command, each further one is a deferred call.
void ExpireCommand(plat::WindowHandle window);
// The program ends: the group being expired is finished first.
void FinishExpiryAtExit();
// A subscribe or unsubscribe of names from anywhere: the menu (one name,
// from the Select Group dialog), the command line and the control channel
// (many). Each caller shows the outcomes its own way.
enum class GroupAction { Subscribe, Unsubscribe };
const char* GroupActionName(GroupAction action);  // "subscribe", "unsubscribe"
struct GroupOutcome {
    bool ok = false;
    std::string message;  // the line for the user
};
// One outcome per name, in order, with one pass over the spool's files; a
// single failed outcome, saying why, when the spool cannot be used at all.
std::vector<GroupOutcome> RunGroupAction(GroupAction action, const std::vector<std::string>& names);
// Leaves the name in the Select Group dialog's answer buffer, as OK there does.
void SetSelectedGroupName(const std::string& name);
// What the spool operations get from the application.
spool::SpoolContext MakeSpoolContext();
// Why the spool cannot be used (not set up, or its directories missing);
// empty when it can.
std::string SpoolProblem();

}  // namespace app
