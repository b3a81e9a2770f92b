#include "app/main_window.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/group_commands.h"
#include "app/log.h"
#include "app/menu.h"
#include "app/news_cycle.h"
#include "app/settings.h"
#include "app/setup.h"
#include "app/status.h"
#include "nntp/nntp_session.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/ui.h"

namespace app {

using plat::LParam;
using plat::LResult;
using plat::WindowHandle;
using plat::WParam;

namespace {

// The interval the previous tick saw, and whether a change of it left the
// count already past its new mark.
struct TimerMark {
    std::int32_t interval = -1;
    bool overdue = false;
};

// What the main window keeps, in its data slot from its creation until it
// is destroyed.
struct MainWindow final : CycleListener {
    explicit MainWindow(WindowHandle window) : cycle(window) { cycle.AddListener(this); }
    // A closed connection starts the count to the next timed cycle afresh.
    void ConnectionClosed() override { App().timerTicks = 0; }

    NewsCycle cycle;
    TimerMark mark;
};

MainWindow* MainWindowOf(WindowHandle window) {
    if (window == 0 || window != App().mainWindow) return nullptr;
    return reinterpret_cast<MainWindow*>(plat::GetWindowData(window));
}

LResult OnCreate(WindowHandle window, LParam flags) {
    AppState& app = App();
    // One main window per process: its shell starts as a new process's.
    app = AppState{};
    app.mainWindow = window;

    auto* data = new MainWindow(window);
    plat::SetWindowData(window, reinterpret_cast<std::uintptr_t>(data));

    plat::ui::Backend& ui = plat::ui::Current();
    ui.Attach(window);
    ui.SetTitle(kMainWindowTitle);
    ui.SetMenu(BuildMainMenu());

    app.configComplete = true;
    plat::SetRefusalReporter([](const std::string& line) { LogLine(line.c_str()); });
    plat::MarkProfilePrivate(kProfileFile);
    // Made by hand or by an older version: the password must not stay
    // readable by others.
    if (IsRealValue(ReadSetting("QivNewsPassword", kCredentialBufferSize)) &&
        plat::TightenProfile(kProfileFile))
        LogLineF("%s was readable by others; made readable by its owner only", kProfileFile);
    LoadSettings();

    data->cycle.session->groupName.clear();
    data->cycle.server.host.clear();
    if (app.configComplete) GiveServerToSession(window);

    app.timerTicks = 0;
    data->mark = TimerMark{app.settings.timerInterval, false};
    if ((flags & kCreateWithoutTimer) == 0) plat::SetTimer(window, kMainTimerId, kTimerPeriodMs);
    app.timerEnabled = true;

    app.status = plat::ui::Status{};
    app.status.connection = kStatusDisconnected;
    app.status.minutesToNext =
        MinutesToNextConnection(app.timerTicks, app.settings.timerInterval, app.timerEnabled);
    ui.SetStatus(app.status);
    return 0;
}

// Every tick counts while the timer is enabled; whether enabled or not, the
// tick on which the count reaches twice the interval (in minutes) starts a
// connection. An interval lowered below the count starts one on the next
// tick that finds no cycle running: waiting for the count to equal the mark
// would never connect again.
void OnTimer(MainWindow& data) {
    AppState& app = App();
    if (app.timerEnabled && app.timerTicks < INT32_MAX) ++app.timerTicks;
    const std::int32_t interval = app.settings.timerInterval;
    const long long mark = 2LL * interval;
    TimerMark& seen = data.mark;
    if (seen.interval != interval) {
        seen.overdue = interval > 0 && app.timerTicks > mark;
        seen.interval = interval;
    }
    const bool idle = data.cycle.Idle();
    const bool overdue = seen.overdue && app.timerEnabled && idle;
    if (app.timerTicks == mark || overdue) {
        seen.overdue = false;
        if (idle) TakePendingSetup(data.cycle.window);
        BeginConnect(data.cycle);
    }
    StatusUpdateTimer();
}

void SetTimerEnabled(bool enabled) {
    SetMenuItemGrayed(IDM_STOP_TIMER, !enabled);
    SetMenuItemGrayed(IDM_RESTART_TIMER, enabled);
    App().timerEnabled = enabled;
    StatusUpdateTimer();
}

// False for a command the window does not know.
bool OnCommand(WindowHandle window, NewsCycle& cycle, WParam command) {
    // A setup stored during the last cycle is taken before anything new
    // starts (a connect takes it after emptying the log, so that it shows).
    if (command != IDM_CONNECT) TakePendingSetup(window);
    switch (command) {
        case IDM_SETUP:
            RunSetup(window);
            break;
        case IDM_CONNECT:
            if (cycle.appIdle) {
                ResetLog();
                TakePendingSetup(window);
                BeginConnect(cycle);
            }
            break;
        case IDM_DISCONNECT:
            if (cycle.appIdle) {
                cycle.currentGroup = 1;
                BeginDisconnect(cycle);
            }
            break;
        case IDM_EXIT:
            plat::DestroyWindow(window);
            break;
        case IDM_GET_GROUP_LIST:
            if (cycle.appIdle) RequestGroupList(cycle);
            break;
        case IDM_SUBSCRIBE:
            SubscribeGroupCommand(window);
            break;
        case IDM_UNSUBSCRIBE:
            UnsubscribeGroupCommand(window);
            break;
        case IDM_FETCH_ALL:
            if (cycle.appIdle) {
                cycle.currentGroup = 1;
                BeginGroupFetch(cycle);
            }
            break;
        case IDM_POST_ALL:
            if (cycle.appIdle) BeginPosting(cycle);
            break;
        case IDM_EXPIRE:
            ExpireCommand(window);
            break;
        case IDM_ABOUT:
            RunAboutDialog();
            break;
        case IDM_RESET_LOG:
            ResetLog();
            break;
        case IDM_STOP_TIMER:
            SetTimerEnabled(false);
            break;
        case IDM_RESTART_TIMER:
            SetTimerEnabled(true);
            break;
        default:
            return false;
    }
    return true;
}

void OnDestroy(WindowHandle window) {
    plat::KillTimer(window, kMainTimerId);
    delete MainWindowOf(window);
    plat::SetWindowData(window, 0);
    plat::PostQuitMessage(0);
}

}  // namespace

NewsCycle* CycleOf(WindowHandle window) {
    MainWindow* data = MainWindowOf(window);
    return data != nullptr ? &data->cycle : nullptr;
}

void GiveServerToSession(WindowHandle window) {
    NewsCycle* cycle = CycleOf(window);
    if (cycle == nullptr) return;
    nntp::CNntpSession& session = *cycle->session;
    const AppSettings& s = App().settings;
    nntp::ServerConfig& server = cycle->server;
    server.host = s.nntpServer.substr(0, nntp::CNntpSession::kPathSize - 1);
    server.port = static_cast<std::uint32_t>(s.nntpPort);
    session.replyTimeoutMs = static_cast<std::uint32_t>(s.replyTimeout) * 1000u;
    server.security = s.security;
    server.caFile = s.caFile;
    server.tlsFingerprint = s.tlsFingerprint;
    server.compress = s.compress == kBadCompress ? nntp::CNntpSession::CompressAuto : s.compress;
}

void LayoutLog(int clientWidth, int clientHeight) {
    plat::ui::Current().SetLogBounds(kLogMargin, kLogMargin, clientWidth - 2 * kLogMargin,
                                     clientHeight - 2 * kLogMargin);
}

LResult MainWindowProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    MainWindow* data = MainWindowOf(window);
    switch (message) {
        case plat::msg::Create:
            return OnCreate(window, lParam);
        case plat::msg::Size:
            LayoutLog(static_cast<int>(lParam & 0xFFFF), static_cast<int>((lParam >> 16) & 0xFFFF));
            return 0;
        case plat::msg::Timer:
            if (data != nullptr) OnTimer(*data);
            return 0;
        case plat::msg::Command:
            if (data != nullptr && OnCommand(window, data->cycle, wParam)) return 0;
            break;
        case plat::msg::Close:
            plat::DestroyWindow(window);
            return 0;
        case plat::msg::Destroy:
            FinishExpiryAtExit();
            OnDestroy(window);
            return 0;
        default:
            if (data != nullptr && data->cycle.Dispatch(message, wParam, lParam)) return 0;
            break;
    }
    return plat::DefWindowProc(window, message, wParam, lParam);
}

}  // namespace app
