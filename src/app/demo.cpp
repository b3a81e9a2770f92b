// qivnews --demo: everything a first look needs, on this machine only.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/app_state.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/log.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/startup.h"
#include "app/unattended.h"
#include "net/warning.h"
#include "newsserver/news_server.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/ui.h"
#include "spool/group_registry.h"

namespace app {

namespace {

// The article the board has queued, in the board's text form (CR LF).
constexpr char kOutboundName[] = "DEMO0001.MSG";
constexpr char kOutboundText[] =
    "From: Demo User <demo@example.invalid>\r\n"
    "Newsgroups: qiv.demo.chat\r\n"
    "Subject: Hello from qivnews --demo\r\n"
    "\r\n"
    "This article was queued in out.dat and posted by the demo's first cycle.\r\n";

bool WriteWhole(const std::string& path, const std::string& content) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    return std::fclose(f) == 0 && ok;
}

std::string MakeDemoDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ =
        std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/qivnews-demo-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) return std::string();
    return templ;
}

// The profile of a gateway set up for the server on this port.
bool WriteDemoProfile(const std::string& spool, std::uint16_t port, bool timer) {
    const std::pair<const char*, std::string> keys[] = {
        {"NNTPServer", "127.0.0.1"},
        {"NNTPPort", std::to_string(port)},
        {"QivNewsDir", spool},
        {"UserVerification", "No"},
        {"QivNewsUsername", kPlaceholder},
        {"QivNewsPassword", kPlaceholder},
        // In the terminal the timer runs a cycle every minute after the first.
        {"TimerInterval", timer ? "1" : "0"},
    };
    for (const auto& [key, value] : keys)
        if (!WriteSetting(key, value)) return false;
    return true;
}

bool QueueOutbound(const std::string& spool) {
    std::string record(13, '\0');
    record.replace(1, 12, kOutboundName);
    return WriteWhole(spool + "/out/" + kOutboundName, kOutboundText) &&
           WriteWhole(spool + "/out.dat", record);
}

void PrintWhere(const std::string& base, const std::string& spool) {
    std::printf("Demo spool: %s\n", spool.c_str());
    std::printf("Demo profile: %s/profile (remove %s when done)\n", base.c_str(), base.c_str());
    std::fflush(stdout);
}

}  // namespace

int RunDemo() {
    const std::string base = MakeDemoDirectory();
    if (base.empty()) {
        std::fprintf(stderr, "qivnews: --demo: cannot create a temporary directory\n");
        return 1;
    }
    const std::string profile = base + "/profile";
    const std::string spool = base + "/spool";
    for (const std::string& dir : {profile, spool, spool + "/news", spool + "/out"}) {
        if (mkdir(dir.c_str(), 0700) != 0) {
            std::fprintf(stderr, "qivnews: --demo: cannot create %s\n", dir.c_str());
            return 1;
        }
    }

    testsrv::NewsServer server;
    server.AddDemoGroups();
    if (!server.Start()) {
        std::fprintf(stderr, "qivnews: --demo: the news server cannot listen on 127.0.0.1\n");
        return 1;
    }

    std::unique_ptr<plat::ui::Backend> terminal;
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        // The location is printed before the screen is taken over, and again
        // once it has been given back.
        PrintWhere(base, spool);
        terminal = plat::ui::MakeTerminalBackend();
    }
    const bool interactive = terminal != nullptr;

    plat::SetProfileDir(profile);
    if (!WriteDemoProfile(spool, server.Port(), interactive) || !QueueOutbound(spool)) {
        std::fprintf(stderr, "qivnews: --demo: cannot write the demo files in %s\n", base.c_str());
        return 1;
    }
    if (!interactive) PrintWhere(base, spool);

    if (interactive) {
        plat::ui::Install(std::move(terminal));
        net::SetWarningSink(
            [](const char* text) { plat::ui::Current().MessageBox(net::kWarningCaption, text); });
    } else {
        plat::ui::Install(plat::ui::MakeHeadlessBackend());
    }

    std::string error;
    const plat::WindowHandle window = StartMainWindow(interactive, error);
    int status = 1;
    if (window != 0) {
        for (const std::string& name : server.GroupNames())
            spool::SubscribeGroup(MakeSpoolContext(), name);
        RouteStopSignals(window);
        // As the timer starts a cycle: the log keeps what it holds.
        if (interactive) {
            LogLineF("Demo spool: %s", spool.c_str());
            BeginConnect(*CycleOf(window));
            status = RunMainWindow();
        } else {
            BeginConnect(*CycleOf(window));
            status = FinishCycle(window, false);
        }
    }
    net::SetWarningSink(nullptr);
    plat::ui::Install(nullptr);
    if (window == 0) std::fprintf(stderr, "qivnews: --demo: cannot start: %s\n", error.c_str());
    PrintWhere(base, spool);
    return status;
}

}  // namespace app
