#include "gateway_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "app/control_channel.h"
#include "app_fixture.h"
#include "platform/message_loop.h"

namespace apptest {

bool WaitFor(const std::function<bool()>& pred, int boundMs) {
    const std::uint64_t deadline = plat::NowMs() + static_cast<std::uint64_t>(boundMs);
    while (!pred()) {
        if (plat::NowMs() >= deadline) return pred();
        poll(nullptr, 0, 5);
    }
    return true;
}

bool SocketAnswers(const std::string& profileDir) {
    const int dirFd = open(profileDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const std::string path = app::SocketAddressPath(profileDir, dirFd);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (dirFd >= 0) close(dirFd);
    return ok;
}

Gateway::Gateway(std::string profileDir, std::string workDir) : profile_(std::move(profileDir)) {
    run_.workDir = std::move(workDir);
}

Gateway::~Gateway() {
    if (pid_ > 0) Kill();
}

bool Gateway::Start(const std::string& modeArg) {
    run_.args = {"--profile-dir", profile_, modeArg};
    pid_ = StartProgram(run_);
    return WaitFor([&] {
               int status;
               if (waitpid(pid_, &status, WNOHANG) == pid_) {
                   pid_ = -1;
                   return true;
               }
               return SocketAnswers(profile_);
           }) &&
           pid_ > 0;
}

ProgramResult Gateway::Stop() {
    WaitForHandler(pid_, SIGTERM);
    kill(pid_, SIGTERM);
    const ProgramResult r = FinishProgram(pid_, run_);
    pid_ = -1;
    return r;
}

ProgramResult Gateway::Finish() {
    const ProgramResult r = FinishProgram(pid_, run_);
    pid_ = -1;
    return r;
}

void Gateway::Kill() {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string Gateway::Out() const {
    return ReadFile(run_.workDir + "/stdout.txt");
}

std::string Gateway::Err() const {
    return ReadFile(run_.workDir + "/stderr.txt");
}

}  // namespace apptest
