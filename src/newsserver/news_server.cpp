#include "newsserver/news_server.h"


#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <list>
#include <set>
#include <mutex>
#include <thread>

#include "newsserver/news_content.h"
#include "newsserver/server_state.h"

namespace testsrv {

namespace {

using detail::Connection;
using detail::ServerState;

// Joins the threads of connections that have ended. Runs on the accept thread,
// the only one that starts connection threads.
void Reap(ServerState* s) {
    std::list<std::shared_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        for (auto it = s->conns.begin(); it != s->conns.end();) {
            if ((*it)->done) {
                finished.push_back(*it);
                it = s->conns.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) c->thread.join();
}

void AcceptLoop(ServerState* s) {
    for (;;) {
        pollfd fds[2] = {{s->listenFd, POLLIN, 0}, {s->wakePipe[0], POLLIN, 0}};
        int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || (fds[1].revents & POLLIN) != 0) return;
        if ((fds[0].revents & POLLIN) == 0) continue;
        int fd = accept4(s->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Reap(s);
        auto conn = std::make_shared<Connection>();
        conn->fd = fd;
        std::lock_guard<std::mutex> lock(s->mu);
        if (s->noDelay) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        ++s->connections;
        ++s->openConnections;
        s->conns.push_back(conn);
        conn->thread = std::thread(detail::Serve, s, conn);
    }
}

}  // namespace

NewsServer::NewsServer() : state_(std::make_unique<detail::ServerState>()) {}

NewsServer::~NewsServer() {
    Stop();
}

bool NewsServer::Start(std::uint16_t port) {
    return StartOn("127.0.0.1", port);
}

bool NewsServer::StartOn(const std::string& address, std::uint16_t port) {
    ServerState* s = state_.get();
    std::lock_guard<std::mutex> lock(s->mu);
    if (s->running) return false;
    const bool six = address.find(':') != std::string::npos;
    int fd = socket(six ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t len;
    if (six) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&storage);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(port);
        len = sizeof *a6;
        if (inet_pton(AF_INET6, address.c_str(), &a6->sin6_addr) != 1) {
            close(fd);
            return false;
        }
    } else {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&storage);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(port);
        len = sizeof *a4;
        if (inet_pton(AF_INET, address.c_str(), &a4->sin_addr) != 1) {
            close(fd);
            return false;
        }
    }
    auto* addr = reinterpret_cast<sockaddr*>(&storage);
    if (bind(fd, addr, len) != 0 || listen(fd, 64) != 0 || getsockname(fd, addr, &len) != 0 ||
        pipe2(s->wakePipe, O_CLOEXEC) != 0) {
        close(fd);
        return false;
    }
    s->listenFd = fd;
    s->port = ntohs(six ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                        : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
    s->running = true;
    s->stopping = false;
    s->acceptThread = std::thread(AcceptLoop, s);
    return true;
}

void NewsServer::Stop() {
    ServerState* s = state_.get();
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (!s->running || s->stopping) return;
        s->stopping = true;
    }
    s->stopCv.notify_all();
    char c = 0;
    while (write(s->wakePipe[1], &c, 1) < 0 && errno == EINTR) {
    }
    s->acceptThread.join();
    std::list<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        for (auto& conn : s->conns) {
            if (!conn->closed) shutdown(conn->fd, SHUT_RDWR);
        }
        conns.swap(s->conns);
    }
    for (auto& conn : conns) conn->thread.join();
    std::lock_guard<std::mutex> lock(s->mu);
    close(s->listenFd);
    close(s->wakePipe[0]);
    close(s->wakePipe[1]);
    s->listenFd = s->wakePipe[0] = s->wakePipe[1] = -1;
    s->running = false;
    s->stopping = false;
}

std::uint16_t NewsServer::Port() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->port;
}

void NewsServer::SetGreeting(int code, const std::string& text) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->greetingCode = code;
    state_->greetingText = text;
}

void NewsServer::SetAccounts(const std::map<std::string, std::string>& accounts, bool required) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->accounts = accounts;
    state_->authRequired = required;
}

void NewsServer::SetAuthReplies(const std::string& userReply, const std::string& acceptReply,
                                const std::string& rejectReply) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->userReply = userReply;
    state_->acceptReply = acceptReply;
    state_->rejectReply = rejectReply;
}

void NewsServer::SetModeReader(ModeReader mode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->modeReader = mode;
}

void NewsServer::SetPosting(Posting posting) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->posting = posting;
}

void NewsServer::SetTwoWrites(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->twoWrites = on;
}

void NewsServer::SetListGroup(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->listGroup = on;
}

void NewsServer::SetHead(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->head = on;
}

void NewsServer::SetOver(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->over = on;
}

void NewsServer::SetNoDelay(bool on) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->noDelay = on;
}

bool NewsServer::SetTls(TlsMode mode, const std::string& certPem, const std::string& keyPem) {
    std::shared_ptr<SSL_CTX> context;
    // TLS writes through write(2), which has no MSG_NOSIGNAL: a client gone
    // away must not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (mode != TlsMode::None) {
        context.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
        if (!context) return false;
        BIO* bio = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
        X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        bool ok = cert != nullptr && SSL_CTX_use_certificate(context.get(), cert) == 1;
        X509_free(cert);
        // The rest of the file is the chain.
        while (ok) {
            X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            if (extra == nullptr) break;
            if (SSL_CTX_add_extra_chain_cert(context.get(), extra) != 1) {
                X509_free(extra);
                ok = false;
            }
        }
        BIO_free(bio);
        ERR_clear_error();
        bio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        BIO_free(bio);
        ok = ok && key != nullptr && SSL_CTX_use_PrivateKey(context.get(), key) == 1 &&
             SSL_CTX_check_private_key(context.get()) == 1;
        EVP_PKEY_free(key);
        if (!ok) return false;
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->tlsMode = mode;
    state_->tlsContext = std::move(context);
    return true;
}

void NewsServer::SetCompress(CompressMode mode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->compress = mode;
}

void NewsServer::CorruptCompressedAfter(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->corruptAfter = bytes;
}

int NewsServer::CompressStarts() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->compressStarts;
}

std::uint64_t NewsServer::CompressPlainBytes() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->compressPlain;
}

std::uint64_t NewsServer::CompressWireBytes() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->compressWire;
}

int NewsServer::TlsHandshakes() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->tlsHandshakes;
}

std::string NewsServer::LastServerName() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->lastServerName;
}

void NewsServer::AddGroup(const Group& group) {
    GroupData data;
    data.postingFlag = group.postingFlag;
    for (const Article& a : group.articles) {
        data.articles[a.number] = PrepareArticle(group.name, a);
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->groups[group.name] = std::move(data);
}

bool NewsServer::RemoveGroup(const std::string& name) {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->groups.erase(name) > 0;
}

void NewsServer::AddArticle(const std::string& group, const Article& article) {
    auto prepared = PrepareArticle(group, article);
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->groups[group].articles[article.number] = std::move(prepared);
}

bool NewsServer::RemoveArticle(const std::string& group, long number) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->groups.find(group);
    return it != state_->groups.end() && it->second.articles.erase(number) > 0;
}

bool NewsServer::CancelArticle(const std::string& group, long number) {
    std::lock_guard<std::mutex> lock(state_->mu);
    auto it = state_->groups.find(group);
    if (it == state_->groups.end() || it->second.articles.erase(number) == 0) return false;
    it->second.highWater = std::max(it->second.highWater, number);
    return true;
}

void NewsServer::GenerateArticles(const std::string& group, long count, std::size_t size,
                                  long firstNumber, long stride) {
    std::map<long, std::shared_ptr<const PreparedArticle>> made;
    for (long i = 0; i < count; ++i) {
        const long n = firstNumber + i * stride;
        made[n] = PrepareArticle(group, Article{n, GeneratedArticleText(group, n, size)});
    }
    std::lock_guard<std::mutex> lock(state_->mu);
    auto& arts = state_->groups[group].articles;
    for (auto& [n, a] : made) arts[n] = std::move(a);
}

void NewsServer::AddDemoGroups() {
    for (const Group& g : DemoGroups()) AddGroup(g);
}

long NewsServer::LoadDirectory(const std::string& dir) {
    std::vector<Group> groups;
    if (!ReadGroupDirectory(dir, &groups)) return -1;
    long count = 0;
    for (const Group& g : groups) {
        AddGroup(g);
        count += static_cast<long>(g.articles.size());
    }
    return count;
}

std::vector<std::string> NewsServer::GroupNames() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> names;
    for (const auto& [name, data] : state_->groups) names.push_back(name);
    return names;
}

void NewsServer::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faults.push_back(fault);
}

void NewsServer::ClearFaults() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faults.clear();
}

int NewsServer::Connections() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->connections;
}

int NewsServer::OpenConnections() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->openConnections;
}

std::vector<std::string> NewsServer::Commands() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->commands;
}

long NewsServer::Writes() const {
    return state_->writes.load();
}

std::vector<std::string> NewsServer::Posted() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    std::vector<std::string> texts;
    for (const PostRecord& r : state_->posts) {
        if (r.complete && IsAll2xx(r.replyCode)) texts.push_back(r.text);
    }
    return texts;
}

std::vector<PostRecord> NewsServer::PostLog() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->posts;
}

void NewsServer::SetPostDirectory(const std::string& dir) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->postDir = dir;
}

void NewsServer::StallFromCommand(std::size_t nth) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->stallFrom = nth;
}

}  // namespace testsrv
