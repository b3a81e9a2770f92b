// The Windows build's side of control_channel.h: the profile lock alone.
// There is no control socket to hand a subcommand to a running gateway, so
// a subcommand that finds one refuses, naming it, as it does on Linux when
// the gateway does not answer.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/commands.h"
#include "app/control_client.h"
#include "app/control_server.h"
#include "app/instance_lock.h"
#include "app/settings.h"
#include "platform/journal.h"
#include "platform/message_loop.h"
#include "platform/profile.h"

namespace app {

namespace {

constexpr int kBusyWaitMs = 30000;  // a subcommand finishes soon
constexpr int kLeftoverTempAgeSeconds = 60;

void PrintError(const std::string& text) {
    plat::WriteLines(stderr, plat::Priority::Error, std::string("qivnews: ") + text + "\n");
}

// Takes the lock, waiting while another subcommand holds it; a gateway's is
// not waited for. handOver names the request for the message.
std::optional<int> Claim(const std::string& mode, const std::string& request) {
    const std::string dir = ChannelDir(plat::ProfileDir());
    const std::uint64_t deadline = plat::NowMs() + kBusyWaitMs;
    for (;;) {
        LockOwner owner;
        std::string error;
        switch (ProcessProfileLock().TryTake(dir, mode, owner, error)) {
            case LockResult::Taken:
                plat::RemoveLeftoverProfileTemps(kProfileFile, kLeftoverTempAgeSeconds);
                plat::RemoveLeftoverProfileTemps(kGroupProfileFile, kLeftoverTempAgeSeconds);
                return std::nullopt;
            case LockResult::Failed:
                PrintError(error);
                return kExitFailed;
            case LockResult::Held:
                break;
        }
        if (IsGatewayMode(owner.mode) || plat::NowMs() >= deadline) {
            std::string text = "the profile directory " + dir + " is in use by another qivnews (" +
                               owner.Describe() + ")";
            if (!request.empty() && IsGatewayMode(owner.mode))
                text = request + ": " + text + "; stop it first (no hand-over on Windows)";
            PrintError(text);
            return kExitFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

}  // namespace

std::optional<int> ClaimProfile(const std::string& mode) {
    return Claim(mode, "");
}

std::optional<int> RunHereOrHandOver(const ControlRequest& request) {
    return Claim(request.command, request.command);
}

bool OpenControlChannel(plat::WindowHandle) {
    return false;
}

void CloseControlChannel() {}

bool ControlChannelOpen() {
    return false;
}

void SetControlClientTimeoutForTests(int) {}

}  // namespace app
