// Connecting, authenticating, fetching the group list and disconnecting.
//
// Every step hands one operation to the session and returns; the handler of
// its completion message chooses the next step.
#include <algorithm>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/commands.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/menu.h"
#include "app/settings.h"
#include "app/setup.h"
#include "app/status.h"
#include "nntp/nntp_session.h"

namespace app {

namespace {

void ShowConnected(bool connected) {
    SetMenuItemGrayed(IDM_CONNECT, connected);
    SetMenuItemGrayed(IDM_DISCONNECT, !connected);
}

// 483: the server serves this only over an encrypted channel. Logs the hint.
bool AsksForEncryption(plat::LParam reply) {
    const char* text = reinterpret_cast<const char*>(reply);
    if (text == nullptr || std::strncmp(text, "483", 3) != 0) return false;
    LogLine("The server requires encryption: set Security to tls (port 563) or starttls");
    return true;
}

// The cycle has ended in the disconnected state.
void ShowDisconnected() {
    ShowConnected(false);
    StatusSetGroup(std::string());
    StatusSetConnection(kStatusDisconnected);
    StatusUpdateTimer();
}

}  // namespace

CycleReport& LastCycle() {
    static CycleReport report;
    return report;
}

void NoteUndone(const std::string& reason) {
    if (LastCycle().undone.empty()) LastCycle().undone = reason;
}

bool IsBroken(plat::WParam result) {
    return result == ResultBroken || result == ResultSendError || result == ResultClosed;
}

MainWindowData* BeginStep(plat::WindowHandle window) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    app.appIdle = 0;
    if (data != nullptr && data->connected != 0) return data;
    LogLine("Server not connected");
    app.appIdle = 1;
    LastCycle().running = false;
    return nullptr;
}

void ConnectionLost(plat::WindowHandle window, plat::LParam reason) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    // The session has ended the connection already; this only makes sure
    // that nothing of it is left (a QUIT still waiting for its answer).
    if (data != nullptr && data->session != nullptr) data->session->Close(window, 0, false);
    AbandonPosting();
    if (data != nullptr) data->connected = 0;
    app.appIdle = 1;
    app.currentGroup = 1;
    app.timerTicks = 0;
    const char* text = reinterpret_cast<const char*>(reason);
    if (text != nullptr && *text != '\0')
        LogLineF("%s: %s", kConnectionLostLine, text);
    else
        LogLine(kConnectionLostLine);
    ShowDisconnected();
    LastCycle().lost = true;
    LastCycle().running = false;
}

void BeginConnect(plat::WindowHandle window) {
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr) return;
    if (data->connected == 1) {
        LogLine("Server already connected");
        return;
    }
    App().appIdle = 0;
    LastCycle() = CycleReport{};
    LastCycle().running = true;
    LogLine("Connecting to server");
    const AppSettings& s = App().settings;
    if (s.userVerification != 0 && s.security == 0 && !IsLoopbackServer(s.nntpServer))
        LogLine("Warning: the password will travel unencrypted (set Security to tls or starttls)");
    StatusStartCycle();
    StatusSetConnection(kStatusConnecting);
    data->session->Connect(window, MAIN_MSG_CONNECT_DONE);
}

void OnConnectDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr) return;
    app.appIdle = 1;
    if (result != ResultSuccess) {
        // Why, when the secured channel (or its absence) is the cause.
        if (const char* why = data->session->SecurityProblem(); why[0] != '\0') LogLine(why);
        // A server that refused its greeting is still connected.
        data->session->Close(window, 0, false);
        LogLine("Could not connect to server");
        // The next timed attempt comes a whole interval later, as after a
        // completed cycle; otherwise the count would run past its mark and
        // the gateway would never try again.
        app.timerTicks = 0;
        ShowDisconnected();
        LastCycle().running = false;
        return;
    }
    LogLine("Server connected");
    data->connected = 1;
    ShowConnected(true);
    StatusSetConnection(kStatusConnected);
    LastCycle().connected = true;

    if (app.settings.userVerification)
        BeginSendUser(window);
    else if (app.groupListRequested == 1)
        BeginListGroups(window);
    else
        BeginGroupFetch(window);
}

void BeginSendUser(plat::WindowHandle window) {
    AppState& app = App();
    MainWindowData* data = BeginStep(window);
    if (data == nullptr) return;
    // Taken from the file at the moment of sending, so that an edit takes
    // effect at the next connection; not a setup stored after this cycle
    // began, which waits for the next one.
    if (!SetupPending()) app.settings.qivNewsUsername = ReadSetting("QivNewsUsername");
    LogLine("Sending username");
    data->session->userName = app.settings.qivNewsUsername;
    data->session->SendUser(window, MAIN_MSG_USER_DONE);
}

void OnUserDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam reply) {
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->connected == 0) return;
    if (IsBroken(result)) return ConnectionLost(window, reply);
    // Most servers answer the user name with 381 (password required), which
    // is not a success; the password goes out whatever the answer was,
    // except to a server that has said it wants an encrypted channel first.
    LogReplyText(reply);
    if (AsksForEncryption(reply)) {
        App().appIdle = 1;
        LastCycle().authRejected = true;
        BeginDisconnect(window);
        return;
    }
    App().appIdle = 1;
    BeginSendPass(window);
}

void BeginSendPass(plat::WindowHandle window) {
    AppState& app = App();
    MainWindowData* data = BeginStep(window);
    if (data == nullptr) return;
    if (!SetupPending()) app.settings.qivNewsPassword = ReadSetting("QivNewsPassword");
    LogLine("Sending password");
    data->session->password = app.settings.qivNewsPassword;
    data->session->SendPass(window, MAIN_MSG_PASS_DONE);
}

void OnPassDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam reply) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->connected == 0) return;
    app.appIdle = 1;
    if (IsBroken(result)) return ConnectionLost(window, reply);
    LogReplyText(reply);
    AsksForEncryption(reply);
    if (result != ResultSuccess) {
        LastCycle().authRejected = true;
        BeginDisconnect(window);
        return;
    }
    if (app.groupListRequested == 1)
        BeginListGroups(window);
    else
        BeginGroupFetch(window);
}

void RequestGroupList(plat::WindowHandle window) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->connected == 1) return;
    app.groupListRequested = 1;
    BeginConnect(window);
}

void BeginListGroups(plat::WindowHandle window) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr) return;
    LogLine("Getting Group List");
    // No other network command may start while the list is on its way.
    app.appIdle = 0;
    data->session->spoolDir = app.settings.qivNewsDir;
    data->session->ListGroups(window, MAIN_MSG_LIST_DONE);
}

void OnListDone(plat::WindowHandle window, unsigned, plat::WParam result, plat::LParam reply) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr || data->connected == 0) return;
    app.appIdle = 1;
    // The request stays, so the next connection lists again.
    if (IsBroken(result)) return ConnectionLost(window, reply);
    if (result == ResultSuccess) {
        LogLine("Group list received");
        LastCycle().listReceived = true;
    } else {
        LogReplyText(reply);
    }
    app.groupListRequested = 0;
    BeginDisconnect(window);
}

void BeginDisconnect(plat::WindowHandle window) {
    MainWindowData* data = BeginStep(window);
    if (data == nullptr) return;
    LogLine("Disconnecting from Server");
    StatusSetConnection(kStatusDisconnecting);
    data->session->Quit(window, MAIN_MSG_QUIT_DONE);
}

void OnQuitDone(plat::WindowHandle window, unsigned, plat::WParam, plat::LParam) {
    AppState& app = App();
    MainWindowData* data = GetMainWindowData(window);
    if (data == nullptr) return;
    app.appIdle = 1;
    LogLine("Server disconnected");
    data->connected = 0;
    app.timerTicks = 0;
    ShowDisconnected();
    if (LastCycle().running) LastCycle().disconnected = true;
    LastCycle().running = false;
}

}  // namespace app
