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

CycleSteps& Steps() {
    static CycleSteps steps;
    return steps;
}

namespace {

// The interval the previous tick saw, and whether a change of it left the
// count already past its new mark.
struct TimerMark {
    std::int32_t interval = -1;
    bool overdue = false;
};

TimerMark& Mark() {
    static TimerMark mark;
    return mark;
}

LResult OnCreate(WindowHandle window, LParam flags) {
    AppState& app = App();
    app.mainWindow = window;

    auto* data = new MainWindowData;
    data->session = new CNntpSession;
    app.mainWindowData = data;
    plat::SetWindowData(window, reinterpret_cast<std::uintptr_t>(data));

    plat::ui::Backend& ui = plat::ui::Current();
    ui.Attach(window);
    ui.SetTitle(kMainWindowTitle);
    ui.SetMenu(BuildMainMenu());

    app.configComplete = 1;
    app.groupListRequested = 0;
    plat::SetRefusalReporter([](const std::string& line) { LogLine(line.c_str()); });
    plat::MarkProfilePrivate(kProfileFile);
    // Made by hand or by an older version: the password must not stay
    // readable by others.
    if (IsRealValue(ReadSetting("QivNewsPassword", kCredentialBufferSize)) &&
        plat::TightenProfile(kProfileFile))
        LogLineF("%s was readable by others; made readable by its owner only", kProfileFile);
    LoadSettings();

    data->session->groupName.clear();
    data->session->hostName.clear();
    if (app.configComplete == 1) GiveServerToSession(window);

    app.appIdle = 1;
    app.timerTicks = 0;
    Mark() = TimerMark{app.settings.timerInterval, false};
    if ((flags & kCreateWithoutTimer) == 0) plat::SetTimer(window, kMainTimerId, kTimerPeriodMs);
    app.timerEnabled = 1;

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
void OnTimer(WindowHandle window) {
    AppState& app = App();
    if (app.timerEnabled == 1 && app.timerTicks < INT32_MAX) ++app.timerTicks;
    const std::int32_t interval = app.settings.timerInterval;
    const long long mark = 2LL * interval;
    TimerMark& seen = Mark();
    if (seen.interval != interval) {
        seen.overdue = interval > 0 && app.timerTicks > mark;
        seen.interval = interval;
    }
    const MainWindowData* data = GetMainWindowData(window);
    const bool idle =
        data != nullptr && data->connected == 0 && app.appIdle == 1 && !LastCycle().running;
    const bool overdue = seen.overdue && app.timerEnabled == 1 && idle;
    if (app.timerTicks == mark || overdue) {
        seen.overdue = false;
        if (idle) TakePendingSetup(window);
        Steps().beginConnect(window);
    }
    StatusUpdateTimer();
}

void SetTimerEnabled(bool enabled) {
    SetMenuItemGrayed(IDM_STOP_TIMER, !enabled);
    SetMenuItemGrayed(IDM_RESTART_TIMER, enabled);
    App().timerEnabled = enabled ? 1 : 0;
    StatusUpdateTimer();
}

// False for a command the window does not know.
bool OnCommand(WindowHandle window, WParam command) {
    AppState& app = App();
    // A setup stored during the last cycle is taken before anything new
    // starts (a connect takes it after emptying the log, so that it shows).
    if (command != IDM_CONNECT) TakePendingSetup(window);
    switch (command) {
        case IDM_SETUP:
            RunSetup(window);
            break;
        case IDM_CONNECT:
            if (app.appIdle) {
                ResetLog();
                TakePendingSetup(window);
                Steps().beginConnect(window);
            }
            break;
        case IDM_DISCONNECT:
            if (app.appIdle) {
                app.currentGroup = 1;
                Steps().beginDisconnect(window);
            }
            break;
        case IDM_EXIT:
            plat::DestroyWindow(window);
            break;
        case IDM_GET_GROUP_LIST:
            if (app.appIdle) Steps().requestGroupList(window);
            break;
        case IDM_SUBSCRIBE:
            SubscribeGroupCommand(window);
            break;
        case IDM_UNSUBSCRIBE:
            UnsubscribeGroupCommand(window);
            break;
        case IDM_FETCH_ALL:
            if (app.appIdle) {
                app.currentGroup = 1;
                Steps().beginGroupFetch(window);
            }
            break;
        case IDM_POST_ALL:
            if (app.appIdle) Steps().beginPosting(window);
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

// The handler of a completion message, or null for any other message.
HandlerFn CompletionHandler(unsigned message) {
    const CycleSteps& s = Steps();
    switch (message) {
        case MAIN_MSG_CONNECT_DONE:
            return s.onConnectDone;
        case MAIN_MSG_GROUP_DONE:
            return s.onGroupDone;
        case MAIN_MSG_ARTICLE_DONE:
            return s.onArticleDone;
        case MAIN_MSG_NEXT_DONE:
            return s.onNextDone;
        case MAIN_MSG_LIST_DONE:
            return s.onListDone;
        case MAIN_MSG_POST_DONE:
            return s.onPostDone;
        case MAIN_MSG_QUIT_DONE:
            return s.onQuitDone;
        case MAIN_MSG_GROUP_FINISHED:
            return s.onGroupFinished;
        case MAIN_MSG_USER_DONE:
            return s.onUserDone;
        case MAIN_MSG_PASS_DONE:
            return s.onPassDone;
        case MAIN_MSG_ARTICLES_LISTED:
            return s.onArticlesListed;
        case MAIN_MSG_ARTICLE_ANSWER:
            return s.onArticleAnswer;
        default:
            return nullptr;
    }
}

}  // namespace

void GiveServerToSession(WindowHandle window) {
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->session == nullptr) return;
    const AppSettings& s = App().settings;
    data->session->hostName = s.nntpServer.substr(0, CNntpSession::kPathSize - 1);
    data->session->port = static_cast<std::uint32_t>(s.nntpPort);
    data->session->replyTimeoutMs = static_cast<std::uint32_t>(s.replyTimeout) * 1000u;
    data->session->security = s.security;
    data->session->caFile = s.caFile;
    data->session->tlsFingerprint = s.tlsFingerprint;
}

void LayoutLog(int clientWidth, int clientHeight) {
    plat::ui::Current().SetLogBounds(kLogMargin, kLogMargin, clientWidth - 2 * kLogMargin,
                                     clientHeight - 2 * kLogMargin);
}

LResult MainWindowProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    switch (message) {
        case plat::msg::Create:
            return OnCreate(window, lParam);
        case plat::msg::Size:
            LayoutLog(static_cast<int>(lParam & 0xFFFF), static_cast<int>((lParam >> 16) & 0xFFFF));
            return 0;
        case plat::msg::Timer:
            OnTimer(window);
            return 0;
        case plat::msg::Command:
            if (OnCommand(window, wParam)) return 0;
            break;
        case plat::msg::Close:
            plat::DestroyWindow(window);
            return 0;
        case plat::msg::Destroy:
            plat::KillTimer(window, kMainTimerId);
            FinishExpiryAtExit();
            plat::PostQuitMessage(0);
            return 0;
        default:
            if (HandlerFn handler = CompletionHandler(message)) {
                handler(window, message, wParam, lParam);
                return 0;
            }
            break;
    }
    return plat::DefWindowProc(window, message, wParam, lParam);
}

}  // namespace app
