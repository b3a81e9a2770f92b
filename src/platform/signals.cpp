#include "platform/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace plat {

namespace {

int g_pipe[2] = {-1, -1};

struct Route {
    WindowHandle window = 0;
    unsigned message = 0;
    struct sigaction previous {};
};

std::map<int, Route>& Routes() {
    static auto* routes = new std::map<int, Route>;
    return *routes;
}

// Runs in the signal handler: only the number goes through the pipe. A full
// pipe drops the signal, which is then already waiting to be read anyway.
void OnSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

class SignalSource : public LoopSource {
public:
    void Collect(std::vector<pollfd>& fds, int&) override {
        fds.push_back(pollfd{g_pipe[0], POLLIN, 0});
    }

    void Dispatch(const pollfd* fds, std::size_t count) override {
        if (count == 0 || (fds[0].revents & POLLIN) == 0) return;
        unsigned char bytes[64];
        for (;;) {
            const ssize_t n = ::read(g_pipe[0], bytes, sizeof bytes);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) {
                auto it = Routes().find(bytes[i]);
                if (it == Routes().end()) continue;  // unrouted since it arrived
                PostMessage(it->second.window, it->second.message, bytes[i], 0);
            }
        }
    }
};

bool EnsurePipe() {
    if (g_pipe[0] >= 0) return true;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) < 0) return false;
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    static SignalSource* source = new SignalSource;
    AddLoopSource(source);
    return true;
}

}  // namespace

bool RouteSignal(int signo, WindowHandle window, unsigned message) {
    if (signo <= 0 || signo >= NSIG || signo > 255 || signo == SIGKILL || signo == SIGSTOP)
        return false;
    if (!EnsurePipe()) return false;
    auto it = Routes().find(signo);
    if (it != Routes().end()) {
        it->second.window = window;
        it->second.message = message;
        return true;
    }
    Route route;
    route.window = window;
    route.message = message;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    if (::sigaction(signo, &sa, &route.previous) < 0) return false;
    Routes().emplace(signo, route);
    return true;
}

void UnrouteSignal(int signo) {
    auto it = Routes().find(signo);
    if (it == Routes().end()) return;
    ::sigaction(signo, &it->second.previous, nullptr);
    Routes().erase(it);
}

}  // namespace plat
