#include <csignal>

#include "app/cli.h"

int main(int argc, char** argv) {
    // A file that reaches the size limit (RLIMIT_FSIZE) must fail its write,
    // which every caller handles, rather than end the process mid-cycle.
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    app::KeepMemoryPrivate();
    return app::RunCommandLine(argc, argv);
}
