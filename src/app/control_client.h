// The subcommands' side of the control channel: claiming the profile, or
// handing the request to the gateway that holds it and waiting for its
// answer.
#pragma once

#include <optional>
#include <string>

#include "app/control_protocol.h"

namespace app {

// A gateway about to start. Empty when this process now holds the profile;
// otherwise the exit status, after the refusal naming the running instance
// has been printed. A subcommand running alone is waited for a little.
std::optional<int> ClaimProfile(const std::string& mode);

// A subcommand about to run. Empty when it is to run alone (this process
// now holds the profile); otherwise the exit status after the request was
// handed to the running gateway and its outcome printed, or after a failure
// to reach it was printed.
std::optional<int> RunHereOrHandOver(const ControlRequest& request);

}  // namespace app
