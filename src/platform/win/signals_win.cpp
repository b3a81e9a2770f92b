// Signals on Windows: the console's control events (Ctrl+C, Ctrl+Break,
// the console closing, log-off, shut-down) stand for SIGINT and SIGTERM.
// The handler runs on a thread of its own and only posts to the sink.
#include "platform/win/event_sink.h"

#include <csignal>
#include <map>
#include <utility>

#include "platform/signals.h"


namespace plat {

namespace {

std::map<int, std::pair<WindowHandle, unsigned>>& Routes() {
    static auto* routes = new std::map<int, std::pair<WindowHandle, unsigned>>;
    return *routes;
}

BOOL WINAPI OnControl(DWORD event) {
    const int signo = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    return PostMessageW(win::EventSink(), win::kSignalMessage, static_cast<WPARAM>(signo), 0);
}

void OnSignal(WPARAM wParam, LPARAM) {
    const int signo = static_cast<int>(wParam);
    auto it = Routes().find(signo);
    if (it != Routes().end()) PostMessage(it->second.first, it->second.second, wParam, 0);
}

}  // namespace

bool RouteSignal(int signo, WindowHandle window, unsigned message) {
    if (signo != SIGINT && signo != SIGTERM) return false;
    win::EventSink();
    win::SetSinkHandler(win::kSignalMessage, OnSignal);
    if (Routes().empty()) SetConsoleCtrlHandler(OnControl, TRUE);
    Routes()[signo] = {window, message};
    return true;
}

void UnrouteSignal(int signo) {
    Routes().erase(signo);
    if (Routes().empty()) SetConsoleCtrlHandler(OnControl, FALSE);
}

}  // namespace plat
