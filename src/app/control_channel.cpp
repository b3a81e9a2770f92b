#include "app/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/instance_lock.h"
#include "app/log.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/setup.h"
#include "platform/journal.h"
#include "platform/profile.h"
#include "spool/expiry.h"

namespace app {

namespace {

constexpr char kProgram[] = "qivnews";
// How long a subcommand waits for the profile while another subcommand
// works on it, or while a gateway that holds it has not opened its socket
// yet (it is starting, or stopping).
constexpr int kBusyWaitMs = 30000;
constexpr int kBusyPollMs = 25;
// A gateway that keeps answering "retry" is not waited for for ever.
constexpr int kMaxRetries = 5;
constexpr std::size_t kMaxAnswerLength = 64 * 1024;

void PrintError(const std::string& text) {
    plat::WriteLines(stderr, plat::Priority::Error, std::string(kProgram) + ": " + text + "\n");
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

void AppendEscaped(std::string& out, const std::string& field) {
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : field) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (IsControl(c)) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One line of answer text: control characters would break the line.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (IsControl(static_cast<unsigned char>(c))) c = ' ';
    return out;
}

std::string DirOf(const std::string& profileDir) {
    return profileDir.empty() ? std::string(".") : profileDir;
}

// ---- client side ----------------------------------------------------------

enum class HandResult { Answered, NotListening, Retry, Failed };

struct Answer {
    int status = 1;
    std::string text;
};

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Sends the request to the gateway and waits for its answer. NotListening
// when nobody accepts on the socket (yet, or any more).
HandResult HandOver(const std::string& dir, const std::string& line, Answer& answer,
                    std::string& error) {
    int dirFd = -1;
    if (!SocketPathFits(dir)) {
        dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            error = "cannot open " + dir + ": " + std::strerror(errno);
            return HandResult::Failed;
        }
    }
    const std::string path = SocketAddressPath(dir, dirFd);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        CloseFd(dirFd);
        return HandResult::Failed;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int connectError = errno;
    CloseFd(dirFd);
    if (rc != 0) {
        CloseFd(fd);
        if (connectError == ENOENT || connectError == ECONNREFUSED || connectError == EAGAIN)
            return HandResult::NotListening;
        error = "cannot reach the control socket " + dir + "/" + kSocketFileName + ": " +
                std::strerror(connectError);
        return HandResult::Failed;
    }
    // The request may carry the password: only to our own user.
    ucred peer{};
    socklen_t peerLength = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerLength) != 0 || peer.uid != geteuid()) {
        CloseFd(fd);
        error = "the control socket " + dir + "/" + kSocketFileName +
                " is served by another user; nothing was sent";
        return HandResult::Failed;
    }

    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, kBusyWaitMs) > 0) continue;
        }
        CloseFd(fd);
        error = "the running qivnews did not take the request";
        return HandResult::Failed;
    }

    // The answer comes when the command has completed, which for expire and
    // list-groups may take long; the gateway itself bounds a stalled server.
    std::string in;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        in.append(buffer, static_cast<std::size_t>(n));
        if (in.find('\n') != std::string::npos || in.size() > kMaxAnswerLength) break;
    }
    CloseFd(fd);
    const std::size_t nl = in.find('\n');
    const std::size_t tab = in.find('\t');
    if (nl == std::string::npos || tab == std::string::npos || tab > nl) {
        error = "the running qivnews ended the connection without an answer";
        return HandResult::Failed;
    }
    const std::string head = in.substr(0, tab);
    answer.text = in.substr(tab + 1, nl - tab - 1);
    if (head == "retry") return HandResult::Retry;
    if (head.empty() || head.size() > 3 ||
        !std::all_of(head.begin(), head.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        error = "the running qivnews gave an answer that is not understood";
        return HandResult::Failed;
    }
    answer.status = std::stoi(head);
    return HandResult::Answered;
}

std::string InUse(const std::string& dir, const LockOwner& owner) {
    return "the profile directory " + dir + " is in use by another qivnews (" + owner.Describe() +
           ")";
}

// ---- gateway side ---------------------------------------------------------

constexpr char kControlWindowClass[] = "QivControlWindow";
constexpr unsigned kRunRequestMessage = plat::msg::User + 1;  // lParam: the client's id
constexpr std::size_t kMaxClients = 16;
int clientTimeoutMs = 10000;

bool ExpiryQueued(plat::WindowHandle mainWindow) {
    // The queue offers no look of its own; a match that removes nothing is one.
    bool found = false;
    plat::RemoveQueuedMessagesIf([&](const plat::Message& m) {
        if (m.window == mainWindow && m.message == MAIN_MSG_EXPIRE_NEXT) found = true;
        return false;
    });
    return found;
}

bool GatewayIdle(plat::WindowHandle mainWindow) {
    const NewsCycle* cycle = CycleOf(mainWindow);
    return cycle != nullptr && cycle->Idle();
}

// The gateway's cycle has ended (or the gateway is gone).
bool CycleOver(plat::WindowHandle mainWindow) {
    const NewsCycle* cycle = CycleOf(mainWindow);
    return cycle == nullptr || !cycle->Running();
}

// Why the gateway cannot fetch the group list; empty when it can. The same
// words as a list-groups run alone.
std::string ListProblem() {
    if (!IsRealValue(App().settings.nntpServer))
        return "no news server is set up (qivnews setup --server HOST)";
    return SpoolProblem();
}

class ControlChannel final : public plat::LoopSource {
public:
    ~ControlChannel() override { Close(); }
    bool Open(plat::WindowHandle mainWindow, std::string& error);
    void Close();
    bool IsOpen() const { return listenFd_ >= 0; }
    void Run(std::uint64_t id);

    void Collect(std::vector<pollfd>& fds, int& timeoutMs) override;
    void Dispatch(const pollfd* fds, std::size_t count) override;

private:
    enum class State { Reading, Queued, WaitingIdle, RunningExpire, RunningList, Writing, Closed };
    struct Client {
        std::uint64_t id = 0;
        int fd = -1;
        pid_t pid = 0;
        State state = State::Reading;
        bool hungUp = false;  // gone before its answer; the command may still run
        bool logged = false;
        std::uint64_t deadline = 0;
        std::string in;
        std::string out;
        ControlRequest request;
    };

    Client* Find(std::uint64_t id);
    void Accept();
    void ReadRequest(Client& c);
    void Reply(Client& c, const std::string& head, const std::string& text);
    void Flush(Client& c);
    void Drop(Client& c);
    void Sweep();
    void CheckProgress(int& timeoutMs);
    void LogRequest(Client& c);
    void RunGroupCommand(Client& c, unsigned command);
    void RunSetup(Client& c);
    void StartList(Client& c);
    void FinishList(Client& c);

    plat::WindowHandle mainWindow_ = 0;
    plat::WindowHandle window_ = 0;
    int dirFd_ = -1;
    int listenFd_ = -1;
    ino_t socketInode_ = 0;
    std::uint64_t nextId_ = 1;
    std::vector<std::unique_ptr<Client>> clients_;
};

ControlChannel& Channel() {
    // Made on first use, after the message loop's own state, so that it is
    // torn down before it at exit.
    static ControlChannel channel;
    return channel;
}

plat::LResult ControlWindowProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                                plat::LParam lParam) {
    if (message == kRunRequestMessage) {
        Channel().Run(static_cast<std::uint64_t>(lParam));
        return 0;
    }
    return plat::DefWindowProc(window, message, wParam, lParam);
}

bool ControlChannel::Open(plat::WindowHandle mainWindow, std::string& error) {
    if (IsOpen()) return true;
    const std::string dir = DirOf(plat::ProfileDir());
    dirFd_ = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) {
        error = "cannot open " + dir + ": " + std::strerror(errno);
        return false;
    }
    // This process holds the profile lock, so a socket file found here was
    // left by a gateway that did not get to remove it (killed): nobody
    // listens on it any more.
    struct stat st;
    if (fstatat(dirFd_, kSocketFileName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISSOCK(st.st_mode) || unlinkat(dirFd_, kSocketFileName, 0) != 0) {
            error = dir + "/" + kSocketFileName + " is in the way and cannot be replaced";
            CloseFd(dirFd_);
            return false;
        }
    }
    const std::string path = SocketAddressPath(dir, dirFd_);
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const mode_t oldMask = umask(0177);  // the socket is made 0600
    const bool bound =
        listenFd_ >= 0 &&
        bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    umask(oldMask);
    if (!bound || listen(listenFd_, static_cast<int>(kMaxClients)) != 0 ||
        fstatat(dirFd_, kSocketFileName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        error = "cannot serve " + dir + "/" + kSocketFileName + ": " + std::strerror(errno);
        if (bound) unlinkat(dirFd_, kSocketFileName, 0);
        CloseFd(listenFd_);
        CloseFd(dirFd_);
        return false;
    }
    socketInode_ = st.st_ino;
    if (!plat::IsWindowClassRegistered(kControlWindowClass))
        plat::RegisterWindowClass(kControlWindowClass, ControlWindowProc);
    window_ = plat::CreateWindow(kControlWindowClass);
    mainWindow_ = mainWindow;
    plat::AddLoopSource(this);
    return true;
}

void ControlChannel::Close() {
    if (!IsOpen()) return;
    for (auto& c : clients_) {
        if (c->state != State::Reading && c->state != State::Writing && c->state != State::Closed &&
            !c->hungUp) {
            const std::string line = "retry\tthe running qivnews stopped before it could do this\n";
            if (send(c->fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                // Nobody is left to tell.
            }
        } else if (c->state == State::Writing && !c->out.empty()) {
            Flush(*c);
        }
        CloseFd(c->fd);
    }
    clients_.clear();
    plat::RemoveLoopSource(this);
    if (plat::IsWindow(window_)) plat::DestroyWindow(window_);
    window_ = 0;
    CloseFd(listenFd_);
    // Removed only while it is still the one this process made.
    struct stat st;
    if (fstatat(dirFd_, kSocketFileName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_ino == socketInode_ && S_ISSOCK(st.st_mode))
        unlinkat(dirFd_, kSocketFileName, 0);
    CloseFd(dirFd_);
}

ControlChannel::Client* ControlChannel::Find(std::uint64_t id) {
    for (auto& c : clients_)
        if (c->id == id) return c.get();
    return nullptr;
}

void ControlChannel::Drop(Client& c) {
    CloseFd(c.fd);
    c.state = State::Closed;
}

void ControlChannel::Sweep() {
    clients_.erase(
        std::remove_if(clients_.begin(), clients_.end(),
                       [](const std::unique_ptr<Client>& c) { return c->state == State::Closed; }),
        clients_.end());
}

void ControlChannel::Accept() {
    while (clients_.size() < kMaxClients) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ucred peer{};
        socklen_t length = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != geteuid()) {
            LogLineF("Refused a control connection from user %ld", static_cast<long>(peer.uid));
            close(fd);
            continue;
        }
        auto c = std::make_unique<Client>();
        c->id = nextId_++;
        c->fd = fd;
        c->pid = peer.pid;
        c->deadline = plat::NowMs() + static_cast<std::uint64_t>(clientTimeoutMs);
        clients_.push_back(std::move(c));
    }
}

void ControlChannel::ReadRequest(Client& c) {
    char buffer[1024];
    for (;;) {
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) return Drop(c);  // gone before it said anything
        c.in.append(buffer, static_cast<std::size_t>(n));
        const std::size_t nl = c.in.find('\n');
        if (nl == std::string::npos) {
            if (c.in.size() > kMaxRequestLength) return Reply(c, "1", "the request is too long");
            continue;
        }
        std::string error;
        if (nl + 1 != c.in.size()) {
            return Reply(c, "1", "one request per connection");
        }
        if (!DecodeRequest(c.in.substr(0, nl), c.request, error)) {
            return Reply(c, "1", "malformed request: " + error);
        }
        c.in.clear();
        c.state = State::Queued;
        plat::PostMessage(window_, kRunRequestMessage, 0, static_cast<plat::LParam>(c.id));
        return;
    }
}

void ControlChannel::Reply(Client& c, const std::string& head, const std::string& text) {
    if (c.hungUp) return Drop(c);
    c.out = head + "\t" + OneLine(text) + "\n";
    c.state = State::Writing;
    c.deadline = plat::NowMs() + static_cast<std::uint64_t>(clientTimeoutMs);
    Flush(c);
}

void ControlChannel::Flush(Client& c) {
    while (!c.out.empty()) {
        const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;  // the rest when it can take it
        break;
    }
    Drop(c);
}

void ControlChannel::LogRequest(Client& c) {
    if (c.logged) return;
    c.logged = true;
    std::string text = c.request.command;
    for (const std::string& arg : c.request.args) {
        // Names of setup options only where the value is the password.
        text += ' ';
        text += arg.rfind("--password=", 0) == 0 ? std::string("--password") : arg;
    }
    LogLineF("Request from qivnews (pid %ld): %.200s", static_cast<long>(c.pid), text.c_str());
}

void ControlChannel::Run(std::uint64_t id) {
    Client* c = Find(id);
    // A request that arrived whole is carried out even when its client has
    // gone meanwhile: only the answer is lost.
    if (c == nullptr || c->state != State::Queued) return;
    const std::string& command = c->request.command;
    const std::size_t argCount = c->request.args.size();
    if ((command == "subscribe" || command == "unsubscribe") && argCount == 1) {
        RunGroupCommand(*c, command == "subscribe" ? IDM_SUBSCRIBE : IDM_UNSUBSCRIBE);
    } else if (command == "setup") {
        RunSetup(*c);
    } else if (command == "expire" && argCount == 0) {
        LogRequest(*c);
        if (const std::string problem = SpoolProblem(); !problem.empty()) {
            LogLine(problem.c_str());
            return Reply(*c, "1", "expire: " + problem);
        }
        // Answered from CheckProgress once the whole chain has run.
        c->state = State::RunningExpire;
        plat::SendMessage(mainWindow_, plat::msg::Command, IDM_EXPIRE, 0);
    } else if (command == "list-groups" && argCount == 0) {
        StartList(*c);
    } else {
        Reply(*c, "1", "the running qivnews does not know the request " + OneLine(command));
    }
}

void ControlChannel::RunGroupCommand(Client& c, unsigned command) {
    const std::uint64_t id = c.id;
    const std::string what = c.request.command;
    LogRequest(c);
    GroupCommandAnswer answer;
    answer.name = c.request.args[0];
    SetGroupCommandAnswer(&answer);
    plat::SendMessage(mainWindow_, plat::msg::Command, command, 0);
    SetGroupCommandAnswer(nullptr);
    if (answer.done) LogLine(answer.message.c_str());
    Client* again = Find(id);
    if (again == nullptr) return;
    if (!answer.done) return Reply(*again, "1", what + ": the command did not run");
    if (answer.ok) return Reply(*again, "0", answer.message);
    Reply(*again, "1", what + ": " + answer.message);
}

void ControlChannel::RunSetup(Client& c) {
    SetupOptions options;
    std::string error;
    if (!ParseSetupOptions(c.request.args, options, error) || options.passwordFromStdin) {
        return Reply(c, "1", "setup: " + (error.empty() ? "malformed request" : error));
    }
    LogRequest(c);
    if (!ApplySetupOptions(options, mainWindow_, error)) {
        LogLine(error.c_str());
        return Reply(c, "1", "setup: " + error);
    }
    LogLine("Settings stored");
    Reply(c, "0", "");
}

void ControlChannel::StartList(Client& c) {
    LogRequest(c);
    // One cycle at a time: the list waits for a running one to end.
    if (!GatewayIdle(mainWindow_)) {
        c.state = State::WaitingIdle;
        return;
    }
    if (const std::string problem = ListProblem(); !problem.empty()) {
        LogLine(problem.c_str());
        return Reply(c, "1", "list-groups: " + problem);
    }
    const std::uint64_t id = c.id;
    plat::SendMessage(mainWindow_, plat::msg::Command, IDM_GET_GROUP_LIST, 0);
    Client* again = Find(id);
    if (again == nullptr) return;
    again->state = State::RunningList;
    if (CycleOver(mainWindow_)) FinishList(*again);
}

void ControlChannel::FinishList(Client& c) {
    const NewsCycle* cycle = CycleOf(mainWindow_);
    if (cycle != nullptr && CycleSucceeded(cycle->report, true))
        return Reply(c, "0", "Group list received");
    Reply(c, "1", "list-groups: the cycle did not complete");
}

void ControlChannel::CheckProgress(int& timeoutMs) {
    const std::uint64_t now = plat::NowMs();
    bool expiryQuiet = false;
    bool expiryLooked = false;
    for (auto& owned : clients_) {
        Client& c = *owned;
        switch (c.state) {
            case State::Reading:
            case State::Writing:
                if (now >= c.deadline) {
                    Drop(c);
                } else {
                    const std::uint64_t left = c.deadline - now;
                    const int wait = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
                    if (timeoutMs < 0 || wait < timeoutMs) timeoutMs = wait;
                }
                break;
            case State::WaitingIdle:
                if (GatewayIdle(mainWindow_)) {
                    c.state = State::Queued;
                    plat::PostMessage(window_, kRunRequestMessage, 0,
                                      static_cast<plat::LParam>(c.id));
                    timeoutMs = 0;
                }
                break;
            case State::RunningExpire:
                if (!expiryLooked) {
                    expiryQuiet = !spool::ExpiryRunning() && !ExpiryQueued(mainWindow_);
                    expiryLooked = true;
                }
                if (expiryQuiet) {
                    if (!c.logged) LogRequest(c);
                    LogLine("Expiry finished");
                    const std::string& failure = spool::ExpiryFailure();
                    if (failure.empty())
                        Reply(c, "0", "");
                    else
                        Reply(c, "1", "expire: " + failure);
                }
                break;
            case State::RunningList:
                if (CycleOver(mainWindow_)) FinishList(c);
                break;
            case State::Queued:
            case State::Closed:
                break;
        }
    }
}

void ControlChannel::Collect(std::vector<pollfd>& fds, int& timeoutMs) {
    CheckProgress(timeoutMs);
    Sweep();
    if (clients_.size() < kMaxClients) fds.push_back(pollfd{listenFd_, POLLIN, 0});
    for (const auto& c : clients_) {
        // Past its request a client has nothing more to say: reading tells
        // when it hangs up. One that has is not watched any more.
        if (c->hungUp) continue;
        const short events = c->state == State::Writing ? POLLOUT : POLLIN;
        fds.push_back(pollfd{c->fd, events, 0});
    }
}

void ControlChannel::Dispatch(const pollfd* fds, std::size_t count) {
    bool accept = false;
    for (std::size_t i = 0; i < count; ++i) {
        const pollfd& p = fds[i];
        if (p.revents == 0) continue;
        if (p.fd == listenFd_) {
            accept = true;
            continue;
        }
        auto it = std::find_if(clients_.begin(), clients_.end(),
                               [&](const std::unique_ptr<Client>& c) { return c->fd == p.fd; });
        if (it == clients_.end()) continue;
        Client& c = **it;
        if (c.state == State::Reading) {
            ReadRequest(c);
        } else if (c.state == State::Writing) {
            if ((p.revents & POLLOUT) != 0)
                Flush(c);
            else
                Drop(c);
        } else if (c.state != State::Closed && !c.hungUp) {
            // Anything past the request line, or its end: either way there
            // is nobody to answer any more.
            c.hungUp = true;
        }
    }
    Sweep();
    if (accept) Accept();
}

}  // namespace

// ---- protocol ---------------------------------------------------------------

std::string EncodeRequest(const ControlRequest& request) {
    std::string line;
    AppendEscaped(line, request.command);
    for (const std::string& arg : request.args) {
        line += '\t';
        AppendEscaped(line, arg);
    }
    line += '\n';
    return line;
}

bool DecodeRequest(const std::string& line, ControlRequest& out, std::string& error) {
    out = ControlRequest{};
    if (line.size() > kMaxRequestLength) {
        error = "too long";
        return false;
    }
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\') {
            if (i + 1 >= line.size()) {
                error = "a broken escape";
                return false;
            }
            const char e = line[++i];
            if (e == '\\') {
                fields.back() += '\\';
            } else if (e == 't') {
                fields.back() += '\t';
            } else if (e == 'n') {
                fields.back() += '\n';
            } else if (e == 'r') {
                fields.back() += '\r';
            } else if (e == 'x' && i + 2 < line.size() && HexValue(line[i + 1]) >= 0 &&
                       HexValue(line[i + 2]) >= 0) {
                fields.back() +=
                    static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
                i += 2;
            } else {
                error = "a broken escape";
                return false;
            }
        } else if (IsControl(c)) {
            error = "a control character";
            return false;
        } else {
            fields.back() += static_cast<char>(c);
        }
    }
    if (fields[0].empty()) {
        error = "no command";
        return false;
    }
    out.command = fields[0];
    out.args.assign(fields.begin() + 1, fields.end());
    return true;
}

ControlRequest SetupRequest(const SetupOptions& options) {
    ControlRequest request{"setup", {}};
    std::vector<std::string>& a = request.args;
    if (options.server) a.push_back("--server=" + *options.server);
    if (options.spoolDir) a.push_back("--spool=" + *options.spoolDir);
    if (options.port) a.push_back("--port=" + std::to_string(*options.port));
    if (options.auth) a.push_back(std::string("--auth=") + (*options.auth ? "yes" : "no"));
    if (options.user) a.push_back("--user=" + *options.user);
    if (options.password) a.push_back("--password=" + *options.password);
    if (options.interval) a.push_back("--interval=" + std::to_string(*options.interval));
    if (options.security) a.push_back(std::string("--security=") + SecurityName(*options.security));
    if (options.caFile) a.push_back("--ca-file=" + *options.caFile);
    if (options.fingerprint) a.push_back("--fingerprint=" + *options.fingerprint);
    if (options.initialFetch)
        a.push_back("--initial-fetch=" + std::to_string(*options.initialFetch));
    return request;
}

bool SocketPathFits(const std::string& dir) {
    return DirOf(dir).size() + 1 + std::strlen(kSocketFileName) < sizeof(sockaddr_un::sun_path);
}

std::string SocketAddressPath(const std::string& dir, int dirFd) {
    if (SocketPathFits(dir)) return DirOf(dir) + "/" + kSocketFileName;
    return "/proc/self/fd/" + std::to_string(dirFd) + "/" + kSocketFileName;
}

// ---- claiming the profile ----------------------------------------------------

// Once the profile is ours, nobody of ours writes it but us: what a killed
// writer left behind can go. A minute's grace spares a temporary file that
// some other program may be writing right now.
namespace {

constexpr int kLeftoverTempAgeSeconds = 60;

void RemoveLeftovers() {
    plat::RemoveLeftoverProfileTemps(kProfileFile, kLeftoverTempAgeSeconds);
    plat::RemoveLeftoverProfileTemps(kGroupProfileFile, kLeftoverTempAgeSeconds);
}

}  // namespace

std::optional<int> ClaimProfile(const std::string& mode) {
    const std::string dir = DirOf(plat::ProfileDir());
    const std::uint64_t deadline = plat::NowMs() + kBusyWaitMs;
    for (;;) {
        LockOwner owner;
        std::string error;
        switch (ProcessProfileLock().TryTake(dir, mode, owner, error)) {
            case LockResult::Taken:
                RemoveLeftovers();
                return std::nullopt;
            case LockResult::Failed:
                PrintError(error);
                return kExitFailed;
            case LockResult::Held:
                break;
        }
        // A subcommand finishes soon; a gateway does not.
        if (IsGatewayMode(owner.mode) || plat::NowMs() >= deadline) {
            PrintError(InUse(dir, owner));
            return kExitFailed;
        }
        poll(nullptr, 0, kBusyPollMs);
    }
}

std::optional<int> RunHereOrHandOver(const ControlRequest& request) {
    const std::string dir = DirOf(plat::ProfileDir());
    const std::string line = EncodeRequest(request);
    std::uint64_t deadline = plat::NowMs() + kBusyWaitMs;
    int retries = 0;
    bool gatewaySilent = false;
    for (;;) {
        LockOwner owner;
        std::string error;
        switch (ProcessProfileLock().TryTake(dir, request.command, owner, error)) {
            case LockResult::Taken:
                RemoveLeftovers();
                return std::nullopt;
            case LockResult::Failed:
                PrintError(error);
                return kExitFailed;
            case LockResult::Held:
                break;
        }
        gatewaySilent = false;
        if (IsGatewayMode(owner.mode)) {
            if (line.size() > kMaxRequestLength + 1) {
                PrintError(request.command + ": too long to hand to the running qivnews (" +
                           owner.Describe() + ")");
                return kExitFailed;
            }
            Answer answer;
            switch (HandOver(dir, line, answer, error)) {
                case HandResult::Answered:
                    if (answer.status == 0 && !answer.text.empty())
                        plat::WriteLines(stdout, plat::Priority::Info, answer.text + "\n");
                    if (answer.status != 0 && !answer.text.empty()) PrintError(answer.text);
                    return answer.status;
                case HandResult::Failed:
                    PrintError(request.command + ": " + error + " (" + owner.Describe() + ")");
                    return kExitFailed;
                case HandResult::Retry:
                    // It is stopping; the profile is about to be free.
                    if (++retries > kMaxRetries) {
                        PrintError(request.command + ": " + answer.text + " (" + owner.Describe() +
                                   ")");
                        return kExitFailed;
                    }
                    deadline = plat::NowMs() + kBusyWaitMs;
                    break;
                case HandResult::NotListening:
                    gatewaySilent = true;
                    break;
            }
        }
        if (plat::NowMs() >= deadline) {
            if (gatewaySilent)
                PrintError(request.command + ": another qivnews (" + owner.Describe() +
                           ") holds the profile directory " + dir +
                           " but does not answer on its control socket");
            else
                PrintError(request.command + ": " + InUse(dir, owner) + "; try again later");
            return kExitFailed;
        }
        poll(nullptr, 0, kBusyPollMs);
    }
}

// ---- gateway ------------------------------------------------------------------

bool OpenControlChannel(plat::WindowHandle mainWindow) {
    std::string error;
    if (Channel().Open(mainWindow, error)) return true;
    LogLineF("No control socket: %.200s", error.c_str());
    return false;
}

void CloseControlChannel() {
    Channel().Close();
}

bool ControlChannelOpen() {
    return Channel().IsOpen();
}

void SetControlClientTimeoutForTests(int ms) {
    clientTimeoutMs = ms;
}

}  // namespace app
