// What a TLS client costs in memory with this machine's OpenSSL, apart from
// this program: a bare blocking client verifies the server as qivnews does
// (the system store's hashed directory and an authority file, host name,
// TLS 1.2 or later), then fetches the articles with ARTICLE. It prints its
// VmHWM and RssAnon before its first OpenSSL call, after the handshake and
// at the end, so that bench_once_fetch's TLS peak can be set against what
// OpenSSL alone adds.
//
//   bench_tls_client_memory [articles]     (default: 3000)
//
// qiv-testserver is found in $QIV_BUILD_DIR, else in the build directory
// above the bench's. Articles are about 3.3 KB.
#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_pki.h"

namespace {

std::string Status(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0)
            return std::to_string(std::atol(line.c_str() + std::strlen(key)));
    return "?";
}

void Report(const char* when) {
    std::printf("%-16s %10s %10s\n", when, Status("VmHWM:").c_str(), Status("RssAnon:").c_str());
    std::fflush(stdout);
}

// Reads until the reply's last line: a status line alone, or a body ending
// in a line holding a dot.
bool ReadReply(SSL* ssl, bool multiline) {
    std::string tail;
    char buffer[16384];
    for (;;) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0) return false;
        tail.append(buffer, static_cast<std::size_t>(n));
        if (tail.size() > 8) tail.erase(0, tail.size() - 8);
        if (!multiline && tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "\r\n") == 0)
            return true;
        if (multiline && tail.size() >= 5 && tail.compare(tail.size() - 5, 5, "\r\n.\r\n") == 0)
            return true;
    }
}

bool Send(SSL* ssl, const std::string& line) {
    const std::string text = line + "\r\n";
    return SSL_write(ssl, text.data(), static_cast<int>(text.size())) ==
           static_cast<int>(text.size());
}

int Client(std::uint16_t port, const char* caFile, long count) {
    Report("start");
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_load_verify_dir(ctx, X509_get_default_cert_dir());
    if (SSL_CTX_load_verify_file(ctx, caFile) != 1) return 1;
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set_tlsext_host_name(ssl, "localhost");
    SSL_set1_host(ssl, "localhost");
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (SSL_connect(ssl) != 1 || !ReadReply(ssl, false)) return 1;
    Report("handshake");
    if (!Send(ssl, "GROUP bench.group") || !ReadReply(ssl, false)) return 1;
    for (long number = 1; number <= count; ++number)
        if (!Send(ssl, "ARTICLE " + std::to_string(number)) || !ReadReply(ssl, true)) return 1;
    Send(ssl, "QUIT");
    Report("end");
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return 0;
}

std::string BuildDir() {
    if (const char* dir = std::getenv("QIV_BUILD_DIR"); dir != nullptr && *dir != '\0') return dir;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    const std::string dir = path.substr(0, path.rfind('/'));
    return dir.substr(0, dir.rfind('/'));
}

// Runs argv and waits for it; its exit status, or -1.
int Run(std::vector<std::string> args, pid_t* background = nullptr, int* out = nullptr) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (out != nullptr) {
        if (pipe(pipeFds) != 0) return -1;
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out != nullptr) {
        close(pipeFds[1]);
        *out = pipeFds[0];
    }
    if (spawned != 0) return -1;
    if (background != nullptr) {
        *background = pid;
        return 0;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--client") == 0)
        return Client(static_cast<std::uint16_t>(std::atoi(argv[2])), argv[3], std::atol(argv[4]));
    const long count = argc > 1 ? std::atol(argv[1]) : 3000;

    const char* tmp = std::getenv("TMPDIR");
    std::string base =
        std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/qiv-bench-tls-XXXXXX";
    if (mkdtemp(base.data()) == nullptr) return 1;
    // Made here, so that the client, a process of its own, starts untouched.
    const testsrv::TestPki& pki = testsrv::TestCertificates();
    std::ofstream(base + "/ca.pem") << pki.authority.certPem;
    std::ofstream(base + "/cert.pem") << pki.server.certPem;
    std::ofstream(base + "/key.pem") << pki.server.keyPem;

    pid_t server = 0;
    int out = -1;
    const std::string generate = "bench.group:" + std::to_string(count) + ":3300";
    Run({BuildDir() + "/qiv-testserver", "--port", "0", "--generate", generate, "--tls",
         base + "/cert.pem", base + "/key.pem"},
        &server, &out);
    std::string line;
    char c;
    while (server > 0 && read(out, &c, 1) == 1 && c != '\n') line += c;
    close(out);
    unsigned port = 0;
    int status = 1;
    if (std::sscanf(line.c_str(), "port %u", &port) == 1) {
        std::printf("%-16s %10s %10s\n", "", "VmHWM KB", "RssAnon KB");
        std::fflush(stdout);
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        status = Run({std::string(self, n > 0 ? static_cast<std::size_t>(n) : 0), "--client",
                      std::to_string(port), base + "/ca.pem", std::to_string(count)});
        if (status != 0) std::fprintf(stderr, "the TLS client failed\n");
    } else {
        std::fprintf(stderr, "the news server did not start\n");
    }
    if (server > 0) {
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
    }
    std::filesystem::remove_all(base);
    return status;
}
