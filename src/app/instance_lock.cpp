#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace app {

bool IsGatewayMode(const std::string& mode) {
    return mode == kModeTerminal || mode == kModeHeadless || mode == kModeOnce;
}

std::string LockOwner::Describe() const {
    if (pid <= 0) return "another process";
    return "pid " + std::to_string(pid) + (mode.empty() ? std::string() : ", " + mode);
}

LockOwner ParseLockOwner(const std::string& text) {
    LockOwner owner;
    const std::size_t nl = text.find('\n');
    if (nl == std::string::npos) return owner;  // not written completely yet
    const std::string line = text.substr(0, nl);
    const std::size_t space = line.find(' ');
    if (space == 0 || space == std::string::npos || space > 10) return owner;
    long pid = 0;
    for (std::size_t i = 0; i < space; ++i) {
        if (line[i] < '0' || line[i] > '9') return owner;
        pid = pid * 10 + (line[i] - '0');
    }
    std::string mode = line.substr(space + 1);
    if (mode.empty() || mode.size() > 32) return owner;
    for (char c : mode)
        if (!(c >= 'a' && c <= 'z') && c != '-') return owner;
    owner.pid = static_cast<pid_t>(pid);
    owner.mode = mode;
    return owner;
}

namespace {

LockOwner ReadOwner(int fd) {
    char buffer[128];
    const ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    return ParseLockOwner(n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string());
}

}  // namespace

ProfileLock::~ProfileLock() {
    Release();
}

void ProfileLock::Release() {
    if (fd_ >= 0) close(fd_);  // drops the flock
    fd_ = -1;
    held_ = false;
}

LockResult ProfileLock::TryTake(const std::string& dir, const std::string& mode, LockOwner& owner,
                                std::string& error) {
    if (held_) return LockResult::Taken;
    const std::string path = dir + "/" + kLockFileName;
    if (fd_ < 0) fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return LockResult::Failed;
    }
    const int fd = fd_;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        if (e == EWOULDBLOCK || e == EINTR) {
            owner = ReadOwner(fd);
            return LockResult::Held;
        }
        Release();
        error = "cannot lock " + path + ": " + std::strerror(e);
        return LockResult::Failed;
    }
    // The whole line in one write after emptying the file: a reader sees
    // either nothing or all of it.
    const std::string text = std::to_string(getpid()) + " " + mode + "\n";
    if (ftruncate(fd, 0) != 0 ||
        pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        // The lock holds all the same; only the message of whoever finds it
        // taken is the poorer.
    }
    held_ = true;
    return LockResult::Taken;
}

ProfileLock& ProcessProfileLock() {
    static ProfileLock lock;
    return lock;
}

}  // namespace app
