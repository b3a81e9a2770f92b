// The group commands of the menu: subscribe, unsubscribe, expire.
#pragma once

#include <string>

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
// A subscribe or unsubscribe handed over by another qivnews: the name stands
// in for the Select Group answer, and the outcome comes back here rather
// than in a warning box (no one sits at the gateway to close it).
struct GroupCommandAnswer {
    std::string name;
    bool done = false;  // the command ran to its outcome
    bool ok = false;
    std::string message;
};
// While set (not null), commands 40005 and 40006 use it.
void SetGroupCommandAnswer(GroupCommandAnswer* answer);
// What the spool operations get from the application.
spool::SpoolContext MakeSpoolContext();
// Why the spool cannot be used (not set up, or its directories missing);
// empty when it can.
std::string SpoolProblem();

}  // namespace app
