#include "platform/loop_wait.h"

#include <poll.h>
#include <time.h>

namespace plat {

int WaitForSources(PollFd* fds, std::size_t count, int timeoutMs) {
    return ::poll(fds, count, timeoutMs);
}

std::uint64_t NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace plat
