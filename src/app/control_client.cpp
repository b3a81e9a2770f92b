#include "app/control_client.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/instance_lock.h"
#include "app/settings.h"
#include "platform/journal.h"
#include "platform/message_loop.h"
#include "platform/profile.h"

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
// An answer holds a line per group name at most.
constexpr std::size_t kMaxAnswerLength = 64 << 20;

void PrintError(const std::string& text) {
    plat::WriteLines(stderr, plat::Priority::Error, std::string(kProgram) + ": " + text + "\n");
}

enum class HandResult { Answered, NotListening, Retry, Failed };

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Sends the request to the gateway and waits for its answer. NotListening
// when nobody accepts on the socket (yet, or any more).
HandResult HandOver(const std::string& dir, const std::string& line, ControlAnswer& answer,
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
    std::size_t taken = 0;  // bytes of in already decoded
    bool done = false, retry = false, understood = true;
    while (!done && understood) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        in.append(buffer, static_cast<std::size_t>(n));
        if (in.size() > kMaxAnswerLength) break;
        for (std::size_t nl; !done && understood && (nl = in.find('\n', taken)) != std::string::npos;
             taken = nl + 1)
            understood = DecodeAnswerLine(in.substr(taken, nl - taken), answer, done, retry);
    }
    CloseFd(fd);
    if (!understood) {
        error = "the running qivnews gave an answer that is not understood";
        return HandResult::Failed;
    }
    if (!done) {
        error = "the running qivnews ended the connection without an answer";
        return HandResult::Failed;
    }
    return retry ? HandResult::Retry : HandResult::Answered;
}

std::string InUse(const std::string& dir, const LockOwner& owner) {
    return "the profile directory " + dir + " is in use by another qivnews (" + owner.Describe() +
           ")";
}

}  // namespace

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
    const std::string dir = ChannelDir(plat::ProfileDir());
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
    const std::string dir = ChannelDir(plat::ProfileDir());
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
            ControlAnswer answer;
            switch (HandOver(dir, line, answer, error)) {
                case HandResult::Answered:
                    for (const ControlAnswer::Line& l : answer.lines) {
                        if (l.error)
                            PrintError(l.text);
                        else
                            plat::WriteLines(stdout, plat::Priority::Info, l.text + "\n");
                    }
                    return answer.status;
                case HandResult::Failed:
                    PrintError(request.command + ": " + error + " (" + owner.Describe() + ")");
                    return kExitFailed;
                case HandResult::Retry:
                    // It is stopping; the profile is about to be free.
                    if (++retries > kMaxRetries) {
                        const std::string why = answer.lines.empty() ? "" : answer.lines[0].text;
                        PrintError(request.command + ": " + why + " (" + owner.Describe() + ")");
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

}  // namespace app
