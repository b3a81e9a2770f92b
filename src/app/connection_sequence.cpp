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
#include "spool/group_files.h"

namespace app {

namespace {

void ShowConnected(bool connected) {
    SetMenuItemGrayed(IDM_CONNECT, connected);
    SetMenuItemGrayed(IDM_DISCONNECT, !connected);
}

// The cycle has ended in the disconnected state.
void ShowDisconnected() {
    ShowConnected(false);
    StatusSetGroup(std::string());
    StatusSetConnection(kStatusDisconnected);
    StatusUpdateTimer();
}

}  // namespace

bool AsksForEncryption(plat::LParam reply) {
    const char* text = reinterpret_cast<const char*>(reply);
    if (text == nullptr || std::strncmp(text, "483", 3) != 0) return false;
    LogLine("The server requires encryption: set Security to tls (port 563) or starttls");
    return true;
}

bool IsBroken(plat::WParam result) {
    return result == nntp::ResultBroken || result == nntp::ResultSendError ||
           result == nntp::ResultClosed;
}

bool BeginStep(NewsCycle& cycle) {
    cycle.appIdle = false;
    if (cycle.connected) return true;
    LogLine("Server not connected");
    cycle.appIdle = true;
    cycle.End();
    return false;
}

void ConnectionLost(NewsCycle& cycle, plat::LParam reason) {
    // The session has ended the connection already; this only makes sure
    // that nothing of it is left (a QUIT still waiting for its answer).
    cycle.session->Close(cycle.window, 0, false);
    ReportSkippedDuplicates(cycle);
    spool::SetGroupInFetch(0);
    AbandonPosting(cycle);
    cycle.connected = false;
    cycle.appIdle = true;
    cycle.currentGroup = 1;
    const char* text = reinterpret_cast<const char*>(reason);
    if (text != nullptr && *text != '\0')
        LogLineF("%s: %s", kConnectionLostLine, text);
    else
        LogLine(kConnectionLostLine);
    cycle.Closed();
    ShowDisconnected();
    cycle.report.lost = true;
    cycle.End();
}

void BeginConnect(NewsCycle& cycle) {
    if (cycle.connected) {
        LogLine("Server already connected");
        return;
    }
    cycle.appIdle = false;
    cycle.report = CycleReport{};
    cycle.report.running = true;
    LogLine("Connecting to server");
    const AppSettings& s = App().settings;
    if (s.userVerification != 0 && s.security == 0 && !IsLoopbackServer(s.nntpServer))
        LogLine("Warning: the password will travel unencrypted (set Security to tls or starttls)");
    StatusStartCycle();
    StatusSetConnection(kStatusConnecting);
    cycle.session->Connect(cycle.window, MAIN_MSG_CONNECT_DONE, cycle.server);
}

void OnConnectDone(NewsCycle& cycle, plat::WParam result, plat::LParam) {
    cycle.appIdle = true;
    if (result != nntp::ResultSuccess) {
        // Why, when the secured channel (or its absence) is the cause.
        if (const char* why = cycle.session->SecurityProblem(); why[0] != '\0') LogLine(why);
        // A server that refused its greeting is still connected.
        cycle.session->Close(cycle.window, 0, false);
        LogLine("Could not connect to server");
        // Told as a closed connection, so that the next timed attempt comes
        // a whole interval later, as after a completed cycle; otherwise the
        // count would run past its mark and the gateway would never try
        // again.
        cycle.Closed();
        ShowDisconnected();
        cycle.End();
        return;
    }
    LogLine("Server connected");
    cycle.connected = true;
    ShowConnected(true);
    StatusSetConnection(kStatusConnected);
    cycle.report.connected = true;

    if (App().settings.userVerification)
        BeginSendUser(cycle);
    else
        BeginCompress(cycle);
}

void BeginSendUser(NewsCycle& cycle) {
    AppState& app = App();
    if (!BeginStep(cycle)) return;
    // Taken from the file at the moment of sending, so that an edit takes
    // effect at the next connection; not a setup stored after this cycle
    // began, which waits for the next one.
    if (!SetupPending()) app.settings.qivNewsUsername = ReadSetting("QivNewsUsername");
    LogLine("Sending username");
    cycle.session->userName = app.settings.qivNewsUsername;
    cycle.session->SendUser(cycle.window, MAIN_MSG_USER_DONE);
}

void OnUserDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!cycle.connected) return;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    // Most servers answer the user name with 381 (password required), which
    // is not a success; the password goes out whatever the answer was,
    // except to a server that has said it wants an encrypted channel first.
    LogReplyText(reply);
    if (AsksForEncryption(reply)) {
        cycle.appIdle = true;
        cycle.report.authRejected = true;
        BeginDisconnect(cycle);
        return;
    }
    cycle.appIdle = true;
    BeginSendPass(cycle);
}

void BeginSendPass(NewsCycle& cycle) {
    AppState& app = App();
    if (!BeginStep(cycle)) return;
    if (!SetupPending()) app.settings.qivNewsPassword = ReadSetting("QivNewsPassword");
    LogLine("Sending password");
    cycle.session->password = app.settings.qivNewsPassword;
    cycle.session->SendPass(cycle.window, MAIN_MSG_PASS_DONE);
}

void OnPassDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!cycle.connected) return;
    cycle.appIdle = true;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    LogReplyText(reply);
    AsksForEncryption(reply);
    if (result != nntp::ResultSuccess) {
        cycle.report.authRejected = true;
        BeginDisconnect(cycle);
        return;
    }
    BeginCompress(cycle);
}

// After the login, so that the credentials never pass the compressor.
void BeginCompress(NewsCycle& cycle) {
    if (cycle.server.compress == nntp::CNntpSession::CompressOff) return BeginExchange(cycle);
    if (!BeginStep(cycle)) return;
    if (App().settings.compress == kBadCompress)
        LogLine("Compress must be auto, on or off; using auto");
    cycle.session->StartCompression(cycle.window, MAIN_MSG_COMPRESS_DONE);
}

void OnCompressDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!cycle.connected) return;
    cycle.appIdle = true;
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    // A compressed link is the quiet case: the log of a cycle stays as it
    // was without compression.
    if (result != nntp::ResultSuccess && !cycle.compressRefusalLogged) {
        const char* text = reinterpret_cast<const char*>(reply);
        LogLineF("The server refused COMPRESS DEFLATE (%s); continuing uncompressed",
                 text != nullptr ? text : "");
        cycle.compressRefusalLogged = true;
    }
    BeginExchange(cycle);
}

void BeginExchange(NewsCycle& cycle) {
    if (cycle.groupListRequested)
        BeginListGroups(cycle);
    else
        BeginGroupFetch(cycle);
}

void RequestGroupList(NewsCycle& cycle) {
    if (cycle.connected) return;
    cycle.groupListRequested = true;
    BeginConnect(cycle);
}

void BeginListGroups(NewsCycle& cycle) {
    LogLine("Getting Group List");
    // No other network command may start while the list is on its way.
    cycle.appIdle = false;
    cycle.session->spoolDir = App().settings.qivNewsDir;
    cycle.session->ListGroups(cycle.window, MAIN_MSG_LIST_DONE);
}

void OnListDone(NewsCycle& cycle, plat::WParam result, plat::LParam reply) {
    if (!cycle.connected) return;
    cycle.appIdle = true;
    // The request stays, so the next connection lists again.
    if (IsBroken(result)) return ConnectionLost(cycle, reply);
    if (result == nntp::ResultSuccess) {
        LogLine("Group list received");
        cycle.report.listReceived = true;
    } else {
        LogReplyText(reply);
    }
    cycle.groupListRequested = false;
    BeginDisconnect(cycle);
}

void BeginDisconnect(NewsCycle& cycle) {
    if (!BeginStep(cycle)) return;
    LogLine("Disconnecting from Server");
    StatusSetConnection(kStatusDisconnecting);
    cycle.session->Quit(cycle.window, MAIN_MSG_QUIT_DONE);
}

void OnQuitDone(NewsCycle& cycle, plat::WParam, plat::LParam) {
    cycle.appIdle = true;
    LogLine("Server disconnected");
    cycle.connected = false;
    cycle.Closed();
    ShowDisconnected();
    if (cycle.report.running) cycle.report.disconnected = true;
    cycle.End();
}

}  // namespace app
