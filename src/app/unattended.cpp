// Not written yet: both runs need the connection sequence and the cycles,
// which do nothing so far. They say so and fail rather than pretend.
#include "app/unattended.h"

#include <cstdio>

namespace app {

int RunOnce(plat::WindowHandle) {
    std::fprintf(stderr, "qivnews: --once cannot run yet: the news cycle is not built\n");
    return 1;
}

int RunListGroups(plat::WindowHandle) {
    std::fprintf(stderr, "qivnews: list-groups cannot run yet: the news cycle is not built\n");
    return 1;
}

}  // namespace app
