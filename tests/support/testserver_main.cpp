// qiv-testserver: the scriptable news server as a program of its own, for the
// demo, manual testing and tests that need it in another process.
//
// Prints "port N" as its first line once it listens, then serves until
// SIGTERM or SIGINT.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "newsserver/news_server.h"

namespace {

void Usage() {
    std::fprintf(
        stderr,
        "usage: qiv-testserver [--port N] [--dir DIR] [--groups-demo]\n"
        "                      [--generate GROUP:COUNT:SIZE[:STRIDE]]... [--greeting CODE]\n"
        "                      [--no-listgroup]\n"
        "                      [--user U --pass P] [--mode-reader accept|unknown|transit]\n"
        "                      [--posting accept|refuse|fail] [--post-dir DIR]\n"
        "                      [--one-write] [--fault WHEN:NTH:ACTION[:ARG]]...\n"
        "                      [--tls CERT.pem KEY.pem | --starttls CERT.pem KEY.pem]\n"
        "                      [--compress deflate|refuse403|refuse502]\n");
}

bool ParseLong(const char* text, long* value) {
    char* end = nullptr;
    *value = std::strtol(text, &end, 10);
    return *text != '\0' && *end == '\0';
}

// GROUP:COUNT:SIZE[:STRIDE]; the group name may not hold a colon.
bool ParseGenerate(const std::string& arg, std::string* group, long* count, long* size,
                   long* stride) {
    std::size_t a = arg.find(':');
    std::size_t b = a == std::string::npos ? a : arg.find(':', a + 1);
    if (b == std::string::npos || a == 0) return false;
    std::size_t c = arg.find(':', b + 1);
    *group = arg.substr(0, a);
    *stride = 1;
    if (c != std::string::npos && (!ParseLong(arg.substr(c + 1).c_str(), stride) || *stride < 1))
        return false;
    return ParseLong(arg.substr(a + 1, b - a - 1).c_str(), count) &&
           ParseLong(arg.substr(b + 1, c == std::string::npos ? c : c - b - 1).c_str(), size) &&
           *count >= 0 && *size >= 0;
}

}  // namespace

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int main(int argc, char** argv) {
    testsrv::NewsServer server;
    long port = 0;
    std::string user, pass;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        const char* val = i + 1 < argc ? argv[i + 1] : nullptr;
        auto need = [&]() {
            if (val == nullptr) {
                std::fprintf(stderr, "qiv-testserver: %s needs a value\n", opt.c_str());
                std::exit(2);
            }
            ++i;
            return std::string(val);
        };
        if (opt == "--port") {
            if (!ParseLong(need().c_str(), &port) || port < 0 || port > 65535) {
                std::fprintf(stderr, "qiv-testserver: bad port\n");
                return 2;
            }
        } else if (opt == "--dir") {
            std::string dir = need();
            if (server.LoadDirectory(dir) < 0) {
                std::fprintf(stderr, "qiv-testserver: cannot read %s\n", dir.c_str());
                return 2;
            }
        } else if (opt == "--groups-demo") {
            server.AddDemoGroups();
        } else if (opt == "--generate") {
            std::string group;
            long count, size, stride;
            if (!ParseGenerate(need(), &group, &count, &size, &stride)) {
                std::fprintf(stderr,
                             "qiv-testserver: --generate wants GROUP:COUNT:SIZE[:STRIDE]\n");
                return 2;
            }
            server.GenerateArticles(group, count, static_cast<std::size_t>(size), 1, stride);
        } else if (opt == "--no-listgroup") {
            server.SetListGroup(false);
        } else if (opt == "--greeting") {
            long code;
            if (!ParseLong(need().c_str(), &code)) {
                std::fprintf(stderr, "qiv-testserver: bad greeting code\n");
                return 2;
            }
            server.SetGreeting(static_cast<int>(code), code / 100 == 2
                                                           ? "qiv test news server ready"
                                                           : "service not available");
        } else if (opt == "--user") {
            user = need();
        } else if (opt == "--pass") {
            pass = need();
        } else if (opt == "--mode-reader") {
            std::string m = need();
            if (m == "accept") {
                server.SetModeReader(testsrv::ModeReader::Accept);
            } else if (m == "unknown") {
                server.SetModeReader(testsrv::ModeReader::Unknown);
            } else if (m == "transit") {
                server.SetModeReader(testsrv::ModeReader::Transit);
            } else {
                Usage();
                return 2;
            }
        } else if (opt == "--compress") {
            std::string m = need();
            if (m == "deflate") {
                server.SetCompress(testsrv::CompressMode::Deflate);
            } else if (m == "refuse403") {
                server.SetCompress(testsrv::CompressMode::Refuse403);
            } else if (m == "refuse502") {
                server.SetCompress(testsrv::CompressMode::Refuse502);
            } else {
                Usage();
                return 2;
            }
        } else if (opt == "--posting") {
            std::string m = need();
            if (m == "accept") {
                server.SetPosting(testsrv::Posting::Accept);
            } else if (m == "refuse") {
                server.SetPosting(testsrv::Posting::Refuse);
            } else if (m == "fail") {
                server.SetPosting(testsrv::Posting::Fail);
            } else {
                Usage();
                return 2;
            }
        } else if (opt == "--post-dir") {
            server.SetPostDirectory(need());
        } else if (opt == "--tls" || opt == "--starttls") {
            const std::string cert = ReadAll(need());
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qiv-testserver: %s needs a certificate and a key\n",
                             opt.c_str());
                return 2;
            }
            const std::string key = ReadAll(argv[++i]);
            if (!server.SetTls(
                    opt == "--tls" ? testsrv::TlsMode::Implicit : testsrv::TlsMode::StartTls, cert,
                    key)) {
                std::fprintf(stderr, "qiv-testserver: the certificate or key cannot be used\n");
                return 2;
            }
        } else if (opt == "--one-write") {
            server.SetTwoWrites(false);
        } else if (opt == "--fault") {
            testsrv::Fault fault;
            std::string arg = need();
            if (!testsrv::ParseFault(arg, &fault)) {
                std::fprintf(stderr, "qiv-testserver: bad fault %s\n", arg.c_str());
                return 2;
            }
            server.AddFault(fault);
        } else {
            Usage();
            return 2;
        }
    }
    if (user.empty() != pass.empty()) {
        std::fprintf(stderr, "qiv-testserver: --user and --pass go together\n");
        return 2;
    }
    if (!user.empty()) server.SetAccounts({{user, pass}}, true);

    // Block the stop signals before any thread starts, so that only sigwait
    // below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!server.Start(static_cast<std::uint16_t>(port))) {
        std::fprintf(stderr, "qiv-testserver: cannot listen on port %ld\n", port);
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    server.Stop();
    return 0;
}
