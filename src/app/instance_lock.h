// One qivnews at a time per profile directory.
//
// A running gateway loads LastGroupNum and the other counters once and never
// reads them again, so a second process writing the same profile files would
// hand out numbers twice. Whoever works on a profile therefore holds an
// exclusive flock on ".qivnews.lock" in its directory for as long as the
// process lives; the kernel drops it when the process ends, however it ends,
// so a lock file left by a killed process is no obstacle. The file itself
// stays and holds "<pid> <mode>\n" of the holder, for the messages of those
// who find it taken.
#pragma once

#include <sys/types.h>

#include <string>

namespace app {

constexpr char kLockFileName[] = ".qivnews.lock";

// Modes written into the lock file. The gateways serve the control socket;
// a subcommand running alone writes its own name.
constexpr char kModeTerminal[] = "terminal";
constexpr char kModeHeadless[] = "headless";
constexpr char kModeOnce[] = "once";
bool IsGatewayMode(const std::string& mode);

// Who holds a lock, as far as its file tells; pid 0 and an empty mode when
// the file does not say (its holder may not have written it yet).
struct LockOwner {
    pid_t pid = 0;
    std::string mode;
    // "pid 1234, headless", or "another process" when unknown.
    std::string Describe() const;
};

enum class LockResult { Taken, Held, Failed };

class ProfileLock {
public:
    ProfileLock() = default;
    ~ProfileLock();  // releases it
    ProfileLock(const ProfileLock&) = delete;
    ProfileLock& operator=(const ProfileLock&) = delete;

    // One attempt, without waiting. Taken: this object holds the lock and
    // the file names this process and mode. Held: someone else holds it;
    // owner tells who (the file stays open for the next attempt). Failed:
    // the lock file cannot be opened (error says why).
    LockResult TryTake(const std::string& dir, const std::string& mode, LockOwner& owner,
                       std::string& error);
    bool Held() const { return held_; }
    void Release();

private:
    int fd_ = -1;
    bool held_ = false;
};

// Reads the holder from a lock file's text.
LockOwner ParseLockOwner(const std::string& text);

// The lock this process holds on its profile directory; it stays taken
// until the process ends.
ProfileLock& ProcessProfileLock();

}  // namespace app
