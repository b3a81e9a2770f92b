// How close a whole unattended cycle (qivnews --once) comes to the bare
// network exchange it is built on. Both fetch the same generated group from
// the scriptable server over loopback, in the same run:
//
//   floor   a blocking client on a raw socket: GROUP, then ARTICLE and NEXT
//           in turn, reading each reply to its end and keeping nothing;
//   cycle   the real program: connect, the same exchange, every article
//           stored, indexed and counted in the profile files, the posting
//           pass, disconnect. Its peak memory is the child's VmHWM.
//   tls     the same cycle over TLS (Security=tls, the certificate checked
//           against an authority made for the run) from a second server.
//
// Memory is each cycle's VmHWM, and apart the highest RssAnon seen: the
// first counts the resident pages of shared libraries too.
//
//   bench_once_fetch [articles ...]     (default: 3000 30000)
//   bench_once_fetch --sparse [articles] (default 1000: spread over 1-5000000
//                                        without LISTGROUP, against listed)
//   TMPDIR=/dev/shm bench_once_fetch    (spool and profile on tmpfs)
//
// qivnews and qiv-testserver are found in $QIV_BUILD_DIR, else in the build
// directory above the bench's. Articles are about 3.3 KB.
#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_pki.h"

namespace {

constexpr std::size_t kArticleSize = 3300;
constexpr char kGroup[] = "bench.group";

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads CR LF lines from a blocking socket.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    bool Line(std::string& line) {
        for (;;) {
            const std::size_t nl = buffer_.find("\r\n", start_);
            if (nl != std::string::npos) {
                line.assign(buffer_, start_, nl - start_);
                start_ = nl + 2;
                return true;
            }
            buffer_.erase(0, start_);
            start_ = 0;
            char chunk[65536];
            const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
    std::size_t start_ = 0;
};

bool SendLine(int fd, const std::string& text) {
    const std::string line = text + "\r\n";
    return send(fd, line.data(), line.size(), 0) == static_cast<ssize_t>(line.size());
}

// The floor: seconds for the exchange, or a negative value on failure.
double Floor(std::uint16_t port, long expected) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const double start = Now();
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    LineReader in(fd);
    std::string line;
    long fetched = 0;
    bool ok = in.Line(line) && SendLine(fd, std::string("GROUP ") + kGroup) && in.Line(line);
    long code = 0, count = 0, first = 0;
    ok = ok && std::sscanf(line.c_str(), "%ld %ld %ld", &code, &count, &first) == 3;
    long number = first;
    while (ok) {
        ok = SendLine(fd, "ARTICLE " + std::to_string(number)) && in.Line(line);
        if (!ok || line.rfind("220", 0) != 0) break;
        while ((ok = in.Line(line)) && line != ".") {
        }
        ++fetched;
        ok = ok && SendLine(fd, "NEXT") && in.Line(line);
        if (!ok || line.rfind("223", 0) != 0) break;
        number = std::strtol(line.c_str() + 4, nullptr, 10);
    }
    SendLine(fd, "QUIT");
    in.Line(line);
    const double seconds = Now() - start;
    close(fd);
    return ok && fetched == expected ? seconds : -1;
}

// A program of the build: $QIV_BUILD_DIR/name, else beside the bench
// directory.
std::string Program(const char* name) {
    if (const char* dir = std::getenv("QIV_BUILD_DIR"); dir != nullptr && *dir != '\0')
        return std::string(dir) + "/" + name;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string dir = path.substr(0, path.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/" + name;
}

// The server runs as a process of its own (qiv-testserver), so that its
// articles are not counted in the memory of the processes this one starts.
struct ServerProcess {
    pid_t pid = 0;
    std::uint16_t port = 0;
};

ServerProcess StartServer(const std::string& binary, long count,
                          const std::vector<std::string>& extra = {}, long stride = 1) {
    ServerProcess server;
    int out[2];
    if (pipe(out) != 0) return server;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {
        binary, "--port", "0", "--generate",
        std::string(kGroup) + ":" + std::to_string(count) + ":" + std::to_string(kArticleSize) +
            ":" + std::to_string(stride)};
    args.insert(args.end(), extra.begin(), extra.end());
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
    unsigned port = 0;
    if (spawned != 0 || std::sscanf(line.c_str(), "port %u", &port) != 1) {
        if (spawned == 0) kill(server.pid, SIGTERM);
        server.pid = 0;
        return server;
    }
    server.port = static_cast<std::uint16_t>(port);
    return server;
}

void StopServer(const ServerProcess& server) {
    if (server.pid <= 0) return;
    kill(server.pid, SIGTERM);
    waitpid(server.pid, nullptr, 0);
}

struct Memory {
    long peakKb = 0;  // VmHWM: every resident page, shared library code too
    long anonKb = 0;  // RssAnon now: the memory of this process alone
};

// The memory of a running process, zeros when it cannot be read.
Memory MemoryOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    Memory memory;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) memory.peakKb = std::atol(line.c_str() + 6);
        if (line.rfind("RssAnon:", 0) == 0) memory.anonKb = std::atol(line.c_str() + 8);
    }
    return memory;
}

struct CycleResult {
    double seconds = -1;
    long maxRssKb = 0;
    long maxAnonKb = 0;  // the highest RssAnon seen while it ran
    long indexed = 0;
};

// security: extra qiv.ini lines ("" for a plain connection).
CycleResult Cycle(const std::string& program, std::uint16_t port, const std::string& base,
                  const std::string& security = "") {
    namespace fs = std::filesystem;
    const std::string profile = base + "/profile";
    const std::string spool = base + "/spool";
    fs::create_directories(profile);
    fs::create_directories(spool + "/news/NG1");
    fs::create_directories(spool + "/out");
    std::ofstream(profile + "/qiv.ini")
        << "[QIVNEWS]\r\nNNTPServer=" << (security.empty() ? "127.0.0.1" : "localhost")
        << "\r\nNNTPPort=" << port << "\r\nQivNewsDir=" << spool
        << "\r\nUserVerification=NO\r\nLastFileNumIn=1\r\nLastGroupNum=2\r\n"
        << security;
    std::ofstream(profile + "/qivnews.ini") << "[NG1]\r\nName=" << kGroup << "\r\n";

    CycleResult result;
    std::fflush(stdout);
    const double start = Now();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args = {program, "--profile-dir", profile, "--once"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return result;
    // The peak is read from the child while it runs: its ru_maxrss would
    // also count this process, whose memory a spawned child shares until
    // it execs.
    // The shared pages of the libraries (OpenSSL's code above all) count
    // in VmHWM though every process using them shares one copy; RssAnon
    // shows apart what the cycle itself holds.
    int status = 0;
    long peakKb = 0, anonKb = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return result;
        const Memory memory = MemoryOf(pid);
        peakKb = std::max(peakKb, memory.peakKb);
        anonKb = std::max(anonKb, memory.anonKb);
        usleep(2000);
    }
    const double seconds = Now() - start;
    struct stat st;
    if (stat((spool + "/1.grp").c_str(), &st) == 0) result.indexed = st.st_size / 322;
    result.maxRssKb = peakKb;
    result.maxAnonKb = anonKb;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) result.seconds = seconds;
    return result;
}

}  // namespace

// A group whose range is far wider than its articles, on a server without
// LISTGROUP, against the same number of articles listed: best of three each.
int Sparse(const std::string& program, const std::string& serverProgram, const std::string& base,
           long count) {
    const long stride = 5000000 / count;
    const ServerProcess listed = StartServer(serverProgram, count);
    const ServerProcess sparse = StartServer(serverProgram, count, {"--no-listgroup"}, stride);
    double best[2] = {-1, -1};
    long indexed[2] = {0, 0};
    for (int round = 0; round < 3 && listed.pid > 0 && sparse.pid > 0; ++round) {
        const ServerProcess* servers[2] = {&listed, &sparse};
        for (int k = 0; k < 2; ++k) {
            const std::string dir = base + "/sparse" + std::to_string(k) + "-" + std::to_string(round);
            const CycleResult c = Cycle(program, servers[k]->port, dir);
            if (c.seconds > 0 && (best[k] < 0 || c.seconds < best[k])) best[k] = c.seconds;
            indexed[k] = c.indexed;
            std::filesystem::remove_all(dir);
        }
    }
    StopServer(listed);
    StopServer(sparse);
    if (best[0] < 0 || best[1] < 0 || indexed[0] != count || indexed[1] != count) {
        std::fprintf(stderr, "a run failed (indexed %ld and %ld)\n", indexed[0], indexed[1]);
        return 1;
    }
    std::printf("%8s %18s %22s %7s\n", "articles", "listed 1-N (s)", "unlisted 1-5000000 (s)",
                "ratio");
    std::printf("%8ld %18.3f %22.3f %7.2f\n", count, best[0], best[1], best[1] / best[0]);
    return 0;
}

int main(int argc, char** argv) {
    std::vector<long> counts;
    const bool sparse = argc > 1 && std::strcmp(argv[1], "--sparse") == 0;
    for (int i = sparse ? 2 : 1; i < argc; ++i) counts.push_back(std::atol(argv[i]));
    if (counts.empty()) counts = {3000, 30000};
    const std::string program = Program("qivnews");
    const std::string serverProgram = Program("qiv-testserver");
    for (const std::string& p : {program, serverProgram}) {
        if (access(p.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "cannot run %s (build it; or set QIV_BUILD_DIR)\n", p.c_str());
            return 1;
        }
    }
    // The spool and profile go to $TMPDIR (default /tmp): the disk they are
    // on decides much of the result.
    const char* tmp = std::getenv("TMPDIR");
    std::string base =
        std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/qiv-bench-once-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) return 1;
    std::printf("spool and profile under %s\n", base.c_str());
    if (sparse) {
        const int result = Sparse(program, serverProgram, base, counts.empty() ? 1000 : counts[0]);
        std::filesystem::remove_all(base);
        return result;
    }

    // The TLS server's certificate and the authority the cycle trusts.
    const testsrv::TestPki& pki = testsrv::TestCertificates();
    std::ofstream(base + "/ca.pem") << pki.authority.certPem;
    std::ofstream(base + "/cert.pem") << pki.server.certPem;
    std::ofstream(base + "/key.pem") << pki.server.keyPem;
    const std::string tlsLines = "Security=tls\r\nCAFile=" + base + "/ca.pem\r\n";

    std::printf("%8s %12s %12s %7s %12s %8s %12s %9s %12s %8s\n", "articles", "floor art/s",
                "cycle art/s", "ratio", "peak RSS KB", "anon KB", "tls art/s", "tls/plain",
                "tls RSS KB", "anon KB");
    int status = 0;
    for (long count : counts) {
        const ServerProcess server = StartServer(serverProgram, count);
        const ServerProcess tlsServer =
            StartServer(serverProgram, count, {"--tls", base + "/cert.pem", base + "/key.pem"});
        if (server.pid <= 0 || tlsServer.pid <= 0) {
            std::fprintf(stderr, "the news server did not start\n");
            StopServer(server);
            StopServer(tlsServer);
            return 1;
        }
        // Best of three for each, alternating, so that both see the same
        // state of the machine.
        double floor = -1, cycle = -1, tls = -1;
        long rss = 0, tlsRss = 0, anon = 0, tlsAnon = 0, indexed = 0, tlsIndexed = 0;
        for (int round = 0; round < 3; ++round) {
            const double f = Floor(server.port, count);
            const std::string dir =
                base + "/run" + std::to_string(count) + "-" + std::to_string(round);
            const CycleResult c = Cycle(program, server.port, dir);
            const CycleResult t = Cycle(program, tlsServer.port, dir + "-tls", tlsLines);
            if (f > 0 && (floor < 0 || f < floor)) floor = f;
            if (c.seconds > 0 && (cycle < 0 || c.seconds < cycle)) cycle = c.seconds;
            if (t.seconds > 0 && (tls < 0 || t.seconds < tls)) tls = t.seconds;
            rss = std::max(rss, c.maxRssKb);
            tlsRss = std::max(tlsRss, t.maxRssKb);
            anon = std::max(anon, c.maxAnonKb);
            tlsAnon = std::max(tlsAnon, t.maxAnonKb);
            indexed = c.indexed;
            tlsIndexed = t.indexed;
        }
        StopServer(server);
        StopServer(tlsServer);
        // Removed only now: on a disk, deleting thousands of files keeps it
        // busy for a while and would slow the next round.
        for (int round = 0; round < 3; ++round) {
            const std::string dir =
                base + "/run" + std::to_string(count) + "-" + std::to_string(round);
            std::filesystem::remove_all(dir);
            std::filesystem::remove_all(dir + "-tls");
        }
        if (floor < 0 || cycle < 0 || tls < 0 || indexed != count || tlsIndexed != count) {
            std::fprintf(stderr, "%ld articles: a run failed (indexed %ld, over TLS %ld)\n", count,
                         indexed, tlsIndexed);
            status = 1;
            continue;
        }
        std::printf("%8ld %12.0f %12.0f %7.2f %12ld %8ld %12.0f %9.2f %12ld %8ld\n", count,
                    count / floor, count / cycle, cycle / floor, rss, anon, count / tls,
                    tls / cycle, tlsRss, tlsAnon);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(base);
    return status;
}
