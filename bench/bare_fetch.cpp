// The floor for fetching one group from a real news server: a blocking
// client on a raw socket sends GROUP, then ARTICLE and NEXT in turn as the
// fetch cycle does, reads each reply to its end and keeps nothing.
//
//   bench_bare_fetch HOST PORT GROUP [--mode-reader] [--depth N]
//
// With --depth N it asks for every number of GROUP's range instead, with N
// ARTICLE requests in flight, reading the replies in order: the limit for a
// server far away.
//
// Its socket is tuned as the program's are (no Nagle, quick ACKs).
// Prints "articles N bytes B seconds S" on success (exit 0); the time covers
// connect to QUIT. bench/vs-suck runs it beside qivnews and suck.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kOne = 1;

class Connection {
public:
    ~Connection() {
        if (fd_ >= 0) close(fd_);
    }
    bool Open(const char* host, int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) return false;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &kOne, sizeof kOne);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) return false;
        return connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    // One CR LF line, without the line end.
    bool Line(std::string& line) {
        for (;;) {
            const char* begin = buffer_ + start_;
            const char* nl = static_cast<const char*>(std::memchr(begin, '\n', end_ - start_));
            if (nl != nullptr) {
                std::size_t n = static_cast<std::size_t>(nl - begin);
                if (n > 0 && begin[n - 1] == '\r') --n;
                line.assign(begin, n);
                start_ = static_cast<std::size_t>(nl - buffer_) + 1;
                bytes_ += n + 2;
                return true;
            }
            std::memmove(buffer_, begin, end_ - start_);
            end_ -= start_;
            start_ = 0;
            if (end_ == sizeof buffer_) return false;  // no line fits
            const ssize_t got = recv(fd_, buffer_ + end_, sizeof buffer_ - end_, 0);
            if (got <= 0) return false;
            // As the program's sockets do: answer at once, or the server's
            // second write of a reply waits for our delayed ACK (40 ms).
            setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &kOne, sizeof kOne);
            end_ += static_cast<std::size_t>(got);
        }
    }
    bool Send(const std::string& command) {
        const std::string text = command + "\r\n";
        return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    std::string Command(const std::string& command) {
        std::string line;
        if (!Send(command) || !Line(line)) return std::string();
        return line;
    }
    // The lines of a multi-line reply up to ".".
    bool SkipData() {
        std::string line;
        while (Line(line))
            if (line == ".") return true;
        return false;
    }
    std::size_t Bytes() const { return bytes_; }

private:
    int fd_ = -1;
    char buffer_[65536];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
    std::size_t bytes_ = 0;
};

int Fail(const char* what, const std::string& reply) {
    std::fprintf(stderr, "bench_bare_fetch: %s: %s\n", what, reply.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: bench_bare_fetch HOST PORT GROUP [--mode-reader] [--depth N]\n");
        return 2;
    }
    bool modeReader = false;
    long depth = 0;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mode-reader") == 0) modeReader = true;
        if (std::strcmp(argv[i], "--depth") == 0 && i + 1 < argc) depth = std::atol(argv[++i]);
    }
    const auto start = std::chrono::steady_clock::now();
    Connection c;
    if (!c.Open(argv[1], std::atoi(argv[2]))) return Fail("connect", std::strerror(errno));
    std::string line;
    if (!c.Line(line) || line.empty() || line[0] != '2') return Fail("greeting", line);
    if (modeReader) c.Command("MODE READER");
    line = c.Command(std::string("GROUP ") + argv[3]);
    long count = 0, first = 0, last = 0;
    if (std::sscanf(line.c_str(), "211 %ld %ld %ld", &count, &first, &last) != 3)
        return Fail("GROUP", line);

    long articles = 0;
    long number = first;
    if (depth > 0 && count > 0) {
        // Requests go out while replies come in; they are small, so a
        // blocking send never waits for the replies to be read.
        long asked = first;
        for (long answered = first; answered <= last; ++answered) {
            for (; asked <= last && asked < answered + depth; ++asked)
                if (!c.Send("ARTICLE " + std::to_string(asked))) return Fail("send", "lost");
            if (!c.Line(line)) return Fail("ARTICLE", "connection lost");
            if (line.rfind("220", 0) == 0) {
                if (!c.SkipData()) return Fail("ARTICLE data", "connection lost");
                ++articles;
            } else if (line.empty() || line[0] != '4') {
                return Fail("ARTICLE", line);
            }
        }
        count = 0;
    }
    while (count > 0) {
        line = c.Command("ARTICLE " + std::to_string(number));
        if (line.rfind("220", 0) == 0) {
            if (!c.SkipData()) return Fail("ARTICLE data", "connection lost");
            ++articles;
        } else if (line.empty() || line[0] != '4') {
            return Fail("ARTICLE", line);
        }
        line = c.Command("NEXT");
        if (line.rfind("223", 0) != 0) break;
        number = std::atol(line.c_str() + 4);
    }
    c.Command("QUIT");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("articles %ld bytes %zu seconds %.3f\n", articles, c.Bytes(), seconds);
    return 0;
}
