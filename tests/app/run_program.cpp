#include "run_program.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app_fixture.h"
#include "platform/message_loop.h"

namespace apptest {

std::string QivnewsPath() {
    if (const char* dir = std::getenv("QIV_BUILD_DIR"); dir && *dir)
        return std::string(dir) + "/qivnews";
    // Run by hand: the test program sits in <build>/tests.
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    path = path.substr(0, path.rfind('/'));
    return path.substr(0, path.rfind('/')) + "/qivnews";
}

pid_t StartProgram(const ProgramRun& run) {
    WriteFile(run.workDir + "/stdin.txt", run.input);
    const std::string binary = QivnewsPath();
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + run.workDir + "/home"};
    for (const auto& [key, value] : run.env) {
        if (key == "HOME")
            env[1] = "HOME=" + value;
        else
            env.push_back(key + "=" + value);
    }
    if (run.journal) {
        // Created here so that its inode is known; the child truncates the same file.
        WriteFile(run.workDir + "/stdout.txt", "");
        struct stat st {};
        if (stat((run.workDir + "/stdout.txt").c_str(), &st) == 0)
            env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                          std::to_string(st.st_ino));
    }
    std::vector<char*> argv = {const_cast<char*>(binary.c_str())};
    for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(run.workDir.c_str()) != 0) _exit(120);
        const int in = open("stdin.txt", O_RDONLY);
        const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(121);
        dup2(in, 0);
        dup2(out, 1);
        dup2(run.journal ? out : err, 2);
        execve(binary.c_str(), argv.data(), envp.data());
        _exit(122);
    }
    return pid;
}

ProgramResult FinishProgram(pid_t pid, const ProgramRun& run, int boundMs) {
    ProgramResult result;
    int status = 0;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        if (poll(&p, 1, boundMs) == 0) {
            ADD_FAILURE() << "qivnews did not end within " << boundMs << " ms";
            kill(pid, SIGKILL);
        }
        close(pidfd);
    }
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = ReadFile(run.workDir + "/stdout.txt");
    result.err = ReadFile(run.workDir + "/stderr.txt");
    return result;
}

ProgramResult RunProgram(const ProgramRun& run, int boundMs) {
    return FinishProgram(StartProgram(run), run, boundMs);
}

bool WaitForHandler(pid_t pid, int signo, int boundMs) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    const std::uint64_t deadline = plat::NowMs() + static_cast<std::uint64_t>(boundMs);
    while (plat::NowMs() < deadline) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("SigCgt:", 0) != 0) continue;
            const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
            if (mask & (1ULL << (signo - 1))) return true;
        }
        poll(nullptr, 0, 5);  // the child gives no other sign of being ready
    }
    return false;
}

}  // namespace apptest
