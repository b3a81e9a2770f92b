// What many groups cost: subscribing them, and a news cycle that finds
// nothing new in any of them (qivnews --once), per group, at each count.
// The scriptable server carries one small article in each group; the first
// cycle fetches it, the timed ones that follow find nothing new.
//
//   bench_groups [groups ...]            (default: 1 300 3000)
//   TMPDIR=/dev/shm bench_groups         (profile and spool on tmpfs)
//
// Subscribing uses one call for all the names when qivnews takes several
// names at once (timed alone: the whole call for all the groups), else one
// call per name. Cycles: median of 3, the counts
// taking turns. qivnews and qiv-testserver are found in $QIV_BUILD_DIR,
// else in the build directory above the bench's.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 3;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Program(const char* name) {
    if (const char* dir = std::getenv("QIV_BUILD_DIR"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/" + name;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string dir = path.substr(0, path.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/" + name;
}

std::string GroupName(int i) {
    return "bench.groups.g" + std::to_string(i);
}

// Runs a program with its output discarded; its exit status, -1 when it
// did not run or was killed. cpu: its user and system time in seconds.
int Run(std::vector<std::string> args, double* cpu = nullptr) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (spawned != 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
    if (cpu != nullptr)
        *cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Server {
    pid_t pid = 0;
    unsigned port = 0;
};

// qiv-testserver with groups 1..count, one article of 200 bytes each.
Server StartServer(const std::string& binary, int count) {
    Server server;
    int out[2];
    if (pipe(out) != 0) return server;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {binary, "--port", "0"};
    for (int i = 1; i <= count; ++i) {
        args.push_back("--generate");
        args.push_back(GroupName(i) + ":1:200");
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&server.pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (spawned == 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    if (spawned != 0 || std::sscanf(line.c_str(), "port %u", &server.port) != 1) {
        if (spawned == 0) kill(server.pid, SIGTERM);
        server.pid = 0;
    }
    return server;
}

struct Profile {
    int groups = 0;
    std::string dir;
    double subscribeSeconds = -1;
    bool oneCall = false;
    std::vector<double> cycles;
    std::vector<double> cpu;
};

// Sets up a profile subscribed to groups 1..p.groups; false on a failure.
bool Prepare(const std::string& qivnews, unsigned port, Profile& p) {
    const std::string profile = p.dir + "/profile";
    if (Run({qivnews, "--profile-dir", profile, "setup", "--server", "127.0.0.1", "--port",
             std::to_string(port), "--spool", p.dir + "/spool"}) != 0)
        return false;
    // A call with two names tells whether one call can take them all; they
    // are unsubscribed again (in one call too), so that the timed call below
    // subscribes all the groups at once.
    if (p.groups >= 2) {
        const int status =
            Run({qivnews, "--profile-dir", profile, "subscribe", GroupName(1), GroupName(2)});
        p.oneCall = status == 0 && Run({qivnews, "--profile-dir", profile, "unsubscribe",
                                        GroupName(1), GroupName(2)}) == 0;
        if (status == 0 && !p.oneCall) return false;
    }
    const double start = Now();
    if (p.oneCall) {
        std::vector<std::string> args = {qivnews, "--profile-dir", profile, "subscribe"};
        for (int i = 1; i <= p.groups; ++i) args.push_back(GroupName(i));
        if (Run(args) != 0) return false;
    } else {
        for (int i = 1; i <= p.groups; ++i)
            if (Run({qivnews, "--profile-dir", profile, "subscribe", GroupName(i)}) != 0)
                return false;
    }
    p.subscribeSeconds = Now() - start;
    // The first cycle fetches each group's article.
    return Run({qivnews, "--profile-dir", profile, "--once"}) == 0;
}

// One cycle's wall and CPU seconds (the CPU time holds on a busy machine).
void Cycle(const std::string& qivnews, Profile& p) {
    const double start = Now();
    double cpu = 0;
    const bool ok = Run({qivnews, "--profile-dir", p.dir + "/profile", "--once"}, &cpu) == 0;
    p.cycles.push_back(ok ? Now() - start : -1);
    p.cpu.push_back(cpu);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
    if (counts.empty()) counts = {1, 300, 3000};
    const std::string qivnews = Program("qivnews");
    const std::string serverProgram = Program("qiv-testserver");
    for (const std::string& p : {qivnews, serverProgram}) {
        if (access(p.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "cannot run %s (build it; or set QIV_BUILD_DIR)\n", p.c_str());
            return 1;
        }
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string base =
        std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/qiv-bench-groups-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) return 1;
    std::printf("profile and spool under %s\n", base.c_str());
    std::fflush(stdout);

    const Server server =
        StartServer(serverProgram, *std::max_element(counts.begin(), counts.end()));
    if (server.pid <= 0) {
        std::fprintf(stderr, "the news server did not start\n");
        return 1;
    }
    int status = 0;
    std::vector<Profile> profiles;
    for (int n : counts) {
        Profile p;
        p.groups = n;
        p.dir = base + "/g" + std::to_string(n);
        if (!Prepare(qivnews, server.port, p)) {
            std::fprintf(stderr, "%d groups: setting up failed\n", n);
            status = 1;
            continue;
        }
        profiles.push_back(p);
    }
    // A profile file changed in the last 3 s may still change unseen within
    // its timestamp's granularity, so a new process reads it again at every
    // lookup until then; a timed cycle started right after the first would
    // measure that instead of the steady state a timer's cycles see.
    sleep(4);
    for (int round = 0; round < kRounds; ++round)
        for (Profile& p : profiles) Cycle(qivnews, p);

    std::printf("%7s %10s %14s %12s %16s %10s %14s\n", "groups", "subscribe", "per subscribe",
                "empty cycle", "cycle per group", "cycle CPU", "CPU per group");
    double firstPer = 0, lastPer = 0;
    for (const Profile& p : profiles) {
        if (*std::min_element(p.cycles.begin(), p.cycles.end()) < 0) {
            std::fprintf(stderr, "%d groups: a cycle failed\n", p.groups);
            status = 1;
            continue;
        }
        const double cycle = Median(p.cycles);
        const double cpu = Median(p.cpu);
        const double per = cpu / p.groups;
        if (p.groups >= 300 && firstPer == 0) firstPer = per;
        if (p.groups >= 300) lastPer = per;
        std::printf("%7d %9.3fs %11.2f ms%s %10.3f s %13.1f us %8.3f s %11.1f us\n", p.groups,
                    p.subscribeSeconds, p.subscribeSeconds * 1000 / p.groups, p.oneCall ? "*" : " ",
                    cycle, cycle / p.groups * 1e6, cpu, per * 1e6);
    }
    if (firstPer > 0)
        std::printf("cycle CPU per group, most groups / first count >= 300: %.2f\n",
                    lastPer / firstPer);
    std::printf("(* one subscribe call for all names; else one call per name)\n");
    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
    std::filesystem::remove_all(base);
    return status;
}
