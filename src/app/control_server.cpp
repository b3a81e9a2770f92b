#include "app/control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "app/cli.h"
#include "app/commands.h"
#include "app/control_protocol.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/log.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/setup.h"
#include "platform/profile.h"
#include "spool/expiry.h"

namespace app {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

constexpr char kControlWindowClass[] = "QivControlWindow";
constexpr unsigned kRunRequestMessage = plat::msg::User + 1;  // lParam: the client's id
constexpr std::size_t kMaxClients = 16;
int clientTimeoutMs = 10000;

bool GatewayIdle(plat::WindowHandle mainWindow) {
    const NewsCycle* cycle = CycleOf(mainWindow);
    return cycle != nullptr && cycle->Idle();
}

// Why the gateway cannot fetch the group list; empty when it can. The same
// words as a list-groups run alone.
std::string ListProblem() {
    if (!IsRealValue(App().settings.nntpServer))
        return "no news server is set up (qivnews setup --server HOST)";
    return SpoolProblem();
}

class ControlChannel final : public plat::LoopSource, public CycleListener {
public:
    ~ControlChannel() override { Close(); }
    bool Open(plat::WindowHandle mainWindow, std::string& error);
    void Close();
    bool IsOpen() const { return listenFd_ >= 0; }
    void Run(std::uint64_t id);

    void Collect(std::vector<pollfd>& fds, int& timeoutMs) override;
    void Dispatch(const pollfd* fds, std::size_t count) override;
    // A list-groups request is answered when the cycle it started ends.
    void CycleEnded(const CycleReport& report) override;

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
    void Send(Client& c, std::string answer);
    void Flush(Client& c);
    void Drop(Client& c);
    void Sweep();
    void CheckProgress(int& timeoutMs);
    void LogRequest(Client& c);
    void RunGroupCommand(Client& c, GroupAction action);
    void RunSetup(Client& c);
    void StartList(Client& c);
    void FinishList(Client& c, const CycleReport& report);
    void StopListening();

    plat::WindowHandle mainWindow_ = 0;
    plat::WindowHandle window_ = 0;
    int dirFd_ = -1;
    int listenFd_ = -1;
    ino_t socketInode_ = 0;
    std::uint64_t nextId_ = 1;
    std::vector<std::unique_ptr<Client>> clients_;
    bool listening_ = false;  // to the main window's cycle
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
    const std::string dir = ChannelDir(plat::ProfileDir());
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
    StopListening();
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
    char buffer[65536];
    for (;;) {
        const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) return Drop(c);  // gone before it said anything
        // Only the new bytes are searched: a long request comes in many reads.
        const std::size_t from = c.in.size();
        c.in.append(buffer, static_cast<std::size_t>(n));
        const std::size_t nl = c.in.find('\n', from);
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
    Send(c, AnswerLine(head, text));
}

void ControlChannel::Send(Client& c, std::string answer) {
    if (c.hungUp) return Drop(c);
    c.out = std::move(answer);
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
    if ((command == "subscribe" || command == "unsubscribe") && argCount >= 1) {
        RunGroupCommand(*c, command == "subscribe" ? GroupAction::Subscribe
                                                   : GroupAction::Unsubscribe);
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
        Reply(*c, "1", "the running qivnews does not know the request " + command);
    }
}

void ControlChannel::RunGroupCommand(Client& c, GroupAction action) {
    LogRequest(c);
    // As if the Select Group dialog had been answered with each name in turn.
    SetSelectedGroupName(c.request.args.back());
    ControlAnswer answer;
    for (const GroupOutcome& outcome : RunGroupAction(action, c.request.args)) {
        LogLine(outcome.message.c_str());
        const std::string text =
            outcome.ok ? outcome.message : GroupActionName(action) + (": " + outcome.message);
        answer.lines.push_back({!outcome.ok, text});
        if (!outcome.ok) answer.status = kExitFailed;
    }
    Send(c, EncodeAnswer(answer));
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
    NewsCycle* cycle = CycleOf(mainWindow_);
    // The command may not have started a cycle (a refusal already logged).
    if (cycle == nullptr || !cycle->Running())
        return FinishList(*again, cycle != nullptr ? cycle->report : CycleReport{});
    if (!listening_) cycle->AddListener(this);
    listening_ = true;
}

void ControlChannel::CycleEnded(const CycleReport& report) {
    for (auto& c : clients_)
        if (c->state == State::RunningList) FinishList(*c, report);
}

void ControlChannel::StopListening() {
    // The cycle goes with the main window; once that is gone there is no
    // one to stop listening to.
    if (NewsCycle* cycle = CycleOf(mainWindow_); listening_ && cycle != nullptr)
        cycle->RemoveListener(this);
    listening_ = false;
}

void ControlChannel::FinishList(Client& c, const CycleReport& report) {
    if (CycleSucceeded(report, true)) return Reply(c, "0", "Group list received");
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
                    expiryQuiet = !spool::ExpiryRunning();
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
