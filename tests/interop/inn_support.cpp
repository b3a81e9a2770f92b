#include "inn_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "spool/index_record.h"

namespace interop {

namespace {

constexpr int kProbeTimeoutSeconds = 15;

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::size_t end = nl;
        if (end > start && text[end - 1] == '\r') --end;
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The value of key in [section] of a profile file; "" when missing.
std::string ProfileValue(const std::string& path, const std::string& section,
                         const std::string& key) {
    bool inSection = false;
    for (const std::string& line : SplitLines(ReadFile(path))) {
        if (!line.empty() && line[0] == '[') {
            const std::size_t close = line.find(']');
            inSection =
                close != std::string::npos && EqualNoCase(line.substr(1, close - 1), section);
            continue;
        }
        const std::size_t eq = line.find('=');
        if (inSection && eq != std::string::npos && EqualNoCase(line.substr(0, eq), key))
            return line.substr(eq + 1);
    }
    return std::string();
}

std::string ProgramPath() {
    if (const char* dir = std::getenv("QIV_BUILD_DIR"); dir && *dir)
        return std::string(dir) + "/qivnews";
    // Run by hand: the test program sits in <build>/tests.
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    path = path.substr(0, path.rfind('/'));
    return path.substr(0, path.rfind('/')) + "/qivnews";
}

bool LoadEnv(InnEnv& env, std::string& why) {
    const char* given = std::getenv("QIV_INN_ENV");
    const std::string path = given && *given ? given : "/tmp/qiv-inn.env";
    std::ifstream in(path);
    if (!in) {
        why = path + " is missing";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        if (key == "QIV_INN_HOST") env.host = value;
        if (key == "QIV_INN_TRANSIT_PORT") env.transitPort = std::atoi(value.c_str());
        if (key == "QIV_INN_READER_PORT") env.readerPort = std::atoi(value.c_str());
        if (key == "QIV_INN_AUTH_PORT") env.authPort = std::atoi(value.c_str());
        if (key == "QIV_INN_USER") env.user = value;
        if (key == "QIV_INN_PASS") env.password = value;
        if (key == "QIV_INN_TLS_PORT") env.tlsPort = std::atoi(value.c_str());
        if (key == "QIV_INN_STARTTLS_PORT") env.startTlsPort = std::atoi(value.c_str());
        if (key == "QIV_INN_IPV6_PORT") env.ipv6Port = std::atoi(value.c_str());
        if (key == "QIV_INN_CA") env.caFile = value;
    }
    if (env.host.rfind("127.", 0) != 0) {
        why = path + ": the server must be on a loopback address, not \"" + env.host + "\"";
        return false;
    }
    if (env.transitPort <= 0 || env.readerPort <= 0 || env.authPort <= 0 || env.user.empty()) {
        why = path + " lacks a port or the user";
        return false;
    }
    return true;
}

}  // namespace

// ---- Finding the server ----

bool FindInn(InnEnv& env, std::string& why) {
    // Once per test program: the answer does not change during a run.
    static const struct Found {
        bool ok = false;
        InnEnv env;
        std::string why;
        Found() {
            if (!LoadEnv(env, why)) return;
            NntpProbe probe;
            std::string greeting;
            if (!probe.Open(env.host, env.readerPort, &greeting)) {
                why = "nothing answers on " + env.host + ":" + std::to_string(env.readerPort);
                return;
            }
            if (greeting.rfind("200", 0) != 0 && greeting.rfind("201", 0) != 0) {
                why = "the reader daemon greets with \"" + greeting + "\"";
                return;
            }
            probe.Command("QUIT");
            ok = true;
        }
    } found;
    env = found.env;
    why = found.why;
    return found.ok;
}

// ---- The program ----

std::vector<std::string> ProgramResult::Lines() const {
    return SplitLines(out);
}

void InnTest::SetUp() {
    std::string why;
    if (!FindInn(inn_, why)) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true")
            FAIL() << "INN is not available: " << why << " (tests/interop/inn-setup starts it)";
        if (geteuid() != 0)
            GTEST_SKIP() << "INN is not available: " << why
                         << "; as root, tests/interop/inn-setup installs and starts it";
        FAIL() << "INN is not available: " << why
               << "; run tests/interop/inn-setup (scripts/test does)";
    }
    work_ = MakeTempDir();
    profile_ = work_ + "/profile";
    spool_ = work_ + "/spool";
}

void InnTest::TearDown() {
    if (!work_.empty() && !HasFailure()) RemoveTree(work_);
    if (HasFailure() && !work_.empty()) std::printf("kept for a look: %s\n", work_.c_str());
}

ProgramResult InnTest::Qiv(const std::vector<std::string>& args, int boundMs, int killAfterMs) {
    ProgramResult result;
    const std::string binary = ProgramPath();
    std::vector<std::string> all = {binary, "--profile-dir", profile_};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = work_ + "/stdout.txt";
    const std::string errPath = work_ + "/stderr.txt";

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(work_.c_str()) != 0) _exit(121);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        setenv("HOME", work_.c_str(), 1);
        setenv("TMPDIR", work_.c_str(), 1);
        execv(binary.c_str(), argv.data());
        _exit(122);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return result;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        if (killAfterMs >= 0) {
            if (poll(&p, 1, killAfterMs) == 0) kill(pid, SIGKILL);
        } else if (poll(&p, 1, boundMs) == 0) {
            ADD_FAILURE() << "qivnews did not end within " << boundMs << " ms";
            kill(pid, SIGKILL);
        }
        close(pidfd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    EXPECT_NE(result.status, 122) << "cannot run " << binary;
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
}

void InnTest::Configure(int port, const std::string& user, const std::string& password) {
    std::vector<std::string> args = {
        "setup",   "--server", inn_.host, "--port", std::to_string(port),
        "--spool", spool_,     "--auth"};
    args.push_back(user.empty() ? "no" : "yes");
    if (!user.empty()) {
        args.insert(args.end(), {"--user", user, "--password", password});
    }
    const ProgramResult r = Qiv(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

void InnTest::Secure(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"setup"};
    args.insert(args.end(), options.begin(), options.end());
    const ProgramResult r = Qiv(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

int InnTest::Subscribe(const std::string& group) {
    const ProgramResult r = Qiv({"subscribe", group});
    const std::string prefix = "Subscribed to " + group + " as group ";
    if (r.status != 0 || r.out.rfind(prefix, 0) != 0) {
        ADD_FAILURE() << "subscribe " << group << ": " << r.out << r.err;
        return -1;
    }
    return std::atoi(r.out.c_str() + prefix.size());
}

std::string InnTest::Setting(const std::string& key) const {
    return ProfileValue(profile_ + "/qiv.ini", "QIVNEWS", key);
}

std::string InnTest::GroupKey(int group, const std::string& key) const {
    return ProfileValue(profile_ + "/qivnews.ini", "NG" + std::to_string(group), key);
}

// ---- NntpProbe ----

NntpProbe::~NntpProbe() {
    if (fd_ >= 0) close(fd_);
}

bool NntpProbe::Open(const std::string& host, int port, std::string* greeting) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    timeval limit{kProbeTimeoutSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    std::string line;
    if (!Line(line)) return false;
    if (greeting) *greeting = line;
    return true;
}

bool NntpProbe::Line(std::string& line) {
    for (;;) {
        const std::size_t nl = buffer_.find("\r\n");
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 2);
            return true;
        }
        char chunk[8192];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string NntpProbe::Command(const std::string& command) {
    const std::string text = command + "\r\n";
    if (fd_ < 0 ||
        send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        return std::string();
    std::string line;
    return Line(line) ? line : std::string();
}

bool NntpProbe::Data(std::vector<std::string>& lines) {
    lines.clear();
    std::string line;
    while (Line(line)) {
        if (line == ".") return true;
        lines.push_back(!line.empty() && line[0] == '.' ? line.substr(1) : line);
    }
    return false;
}

std::vector<long> NntpProbe::ListGroup(const std::string& group) {
    std::vector<long> numbers;
    std::vector<std::string> lines;
    if (Command("LISTGROUP " + group).rfind("211", 0) != 0 || !Data(lines)) return numbers;
    for (const std::string& l : lines) numbers.push_back(std::atol(l.c_str()));
    return numbers;
}

std::string NntpProbe::Article(const std::string& which) {
    std::vector<std::string> lines;
    if (Command("ARTICLE " + which).rfind("220", 0) != 0 || !Data(lines)) return std::string();
    return CrLf(lines);
}

std::string NntpProbe::Post(const std::string& article) {
    if (Command("POST").rfind("340", 0) != 0) return std::string();
    std::string text;
    std::size_t at = 0;
    while (at < article.size()) {
        std::size_t end = article.find('\n', at);
        if (end == std::string::npos) end = article.size();
        const std::string line = article.substr(at, end - at);
        text += (!line.empty() && line[0] == '.' ? "." : "") + line + "\r\n";
        at = end + 1;
    }
    return Command(text + ".");
}

// ---- Files ----

std::vector<IndexRecord> ReadIndex(const std::string& path) {
    const std::string bytes = ReadFile(path);
    EXPECT_EQ(bytes.size() % spool::kRecordSize, 0u) << path << " is " << bytes.size() << " bytes";
    std::vector<IndexRecord> records;
    for (std::size_t at = 0; at + spool::kRecordSize <= bytes.size(); at += spool::kRecordSize) {
        IndexRecord r;
        r.raw = bytes.substr(at, spool::kRecordSize);
        const auto counted = [&r](std::size_t offset, std::size_t width) {
            const std::size_t n =
                std::min<std::size_t>(static_cast<unsigned char>(r.raw[offset]), width);
            return r.raw.substr(offset + 1, n);
        };
        r.groupNumber = counted(spool::kGroupNumberOffset, spool::kGroupNumberWidth);
        r.fixedTag = r.raw.substr(spool::kFixedTagOffset, spool::kFixedTagWidth);
        r.sender = r.raw.substr(spool::kSenderOffset, spool::kSenderWidth);
        r.dayMonth = r.raw.substr(spool::kDayMonthOffset, spool::kDayMonthWidth);
        const std::string subjectField = r.raw.substr(spool::kSubjectOffset, spool::kSubjectWidth);
        r.subject = subjectField.substr(0, subjectField.find('\0'));
        r.timestamp = counted(spool::kTimestampOffset, spool::kTimestampWidth);
        r.fileName = counted(spool::kFileNameOffset, spool::kFileNameWidth);
        r.fileNameCopy = counted(spool::kFileNameCopyOffset, spool::kFileNameWidth);
        r.articleNumber = counted(spool::kArticleNumberOffset, spool::kArticleNumberWidth);
        records.push_back(r);
    }
    return records;
}

std::string MakeTempDir() {
    char templ[] = "/tmp/qiv-inn-XXXXXX";
    const char* made = mkdtemp(templ);
    EXPECT_NE(made, nullptr);
    return made ? made : std::string();
}

void RemoveTree(const std::string& path) {
    if (path.rfind("/tmp/qiv-inn-", 0) != 0) return;
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, FTW*) { return std::remove(p), 0; }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return text;
}

std::string HeaderOf(const std::string& article, const std::string& name) {
    const std::vector<std::string> lines = SplitLines(article);
    for (std::size_t i = 0; i < lines.size() && !lines[i].empty(); ++i) {
        const std::string& l = lines[i];
        if (l.size() <= name.size() || l[name.size()] != ':' ||
            !EqualNoCase(l.substr(0, name.size()), name))
            continue;
        std::size_t start = name.size() + 1;
        while (start < l.size() && (l[start] == ' ' || l[start] == '\t')) ++start;
        std::string value = l.substr(start);
        for (++i;
             i < lines.size() && !lines[i].empty() && (lines[i][0] == ' ' || lines[i][0] == '\t');
             ++i)
            value += lines[i];
        return value;
    }
    return std::string();
}

std::string BodyOf(const std::string& article) {
    const std::size_t blank = article.find("\r\n\r\n");
    return blank == std::string::npos ? std::string() : article.substr(blank + 4);
}

bool CtlInnd(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        std::vector<const char*> argv = {"ctlinnd", "-t", "5"};
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        execv("/usr/lib/news/bin/ctlinnd", const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string UniqueTag() {
    static std::atomic<int> counter{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::to_string(getpid()) + "." + std::to_string(now.tv_sec) + "." +
           std::to_string(now.tv_nsec) + "." + std::to_string(++counter);
}

}  // namespace interop
