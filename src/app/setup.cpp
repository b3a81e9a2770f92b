#include "app/setup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>

#include "app/app_state.h"
#include "app/cycles.h"
#include "app/log.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/status.h"
#include "net/tls_layer.h"
#include "platform/files.h"
#include "platform/profile.h"

namespace app {

using plat::ui::Control;
using plat::ui::ControlKind;
using plat::ui::Dialog;

namespace {

constexpr char kWarningCaption[] = "Qiv News Client";

std::optional<AppSettings>& Pending() {
    return App().pendingSetup;
}

bool CycleRunning(plat::WindowHandle window) {
    const NewsCycle* cycle = CycleOf(window);
    return cycle != nullptr && !cycle->Idle();
}

// What a running cycle keeps until it ends: one list, so that holding a
// change back and taking it later cannot disagree.
void CopyConnectionSettings(AppSettings& to, const AppSettings& from) {
    to.nntpServer = from.nntpServer;
    to.qivNewsDir = from.qivNewsDir;
    to.nntpPort = from.nntpPort;
    to.userVerification = from.userVerification;
    to.qivNewsUsername = from.qivNewsUsername;
    to.qivNewsPassword = from.qivNewsPassword;
    to.security = from.security;
    to.caFile = from.caFile;
    to.tlsFingerprint = from.tlsFingerprint;
    to.compress = from.compress;
}

// The spool, server and login a cycle works with stay as they were when it
// began: a spool changed halfway would split the articles and the index
// between two directories. The file holds the new values already; the
// interval counts from the next tick and InitialFetch and PipelineDepth
// hold from the next group, as none of them splits anything.
void HoldUntilNextCycle(plat::WindowHandle window, const AppSettings& before) {
    AppSettings& s = App().settings;
    if (!CycleRunning(window)) {
        Pending().reset();
        plat::SetSpoolRoot(s.qivNewsDir);
        return;
    }
    Pending() = s;
    CopyConnectionSettings(s, before);
    GiveServerToSession(window);
    LogLine("New settings stored; they take effect at the next cycle");
}

Control Label(const char* text, bool sameRow = false) {
    Control c;
    c.kind = ControlKind::Label;
    c.text = text;
    c.sameRow = sameRow;
    return c;
}

Control Edit(int id, const std::string& text, int width, ControlKind kind = ControlKind::Edit) {
    Control c;
    c.kind = kind;
    c.id = id;
    c.text = text;
    c.width = width;
    return c;
}

Control Radio(int id, const char* text, bool checked, int group = 1) {
    Control c;
    c.kind = ControlKind::Radio;
    c.id = id;
    c.text = text;
    c.checked = checked;
    c.group = group;
    return c;
}

// A key that is neither set nor in the file stays out of it.
bool WriteOptional(const char* key, const std::string& value, bool set) {
    if (!set && IsMissing(ReadSetting(key))) return true;
    return WriteSetting(key, value);
}

Control Button(ControlKind kind, int id, const char* text) {
    Control c;
    c.kind = kind;
    c.id = id;
    c.text = text;
    return c;
}

std::string Unsigned(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(value));
    return text;
}

bool Warn(const char* text) {
    plat::ui::Current().MessageBox(kWarningCaption, text);
    return false;
}

}  // namespace

std::uint32_t ParseDialogUnsigned(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > UINT32_MAX) return 0;
    }
    while (i < text.size() && text[i] == ' ') ++i;
    if (digits == 0 || i != text.size()) return 0;
    return static_cast<std::uint32_t>(value);
}

Dialog BuildSetupDialog() {
    const AppSettings& s = App().settings;
    Dialog d;
    d.caption = "Qiv News Client Configuration";
    d.templateId = 101;
    Control group;
    group.kind = ControlKind::GroupBox;
    group.text = "User Verificarion required:";
    Control security;
    security.kind = ControlKind::GroupBox;
    security.text = "Security:";
    Control compress;
    compress.kind = ControlKind::GroupBox;
    compress.text = "Compress:";
    // The interval sits above the buttons so that they close the dialog.
    d.controls = {
        Label("NNTP Port"),
        Edit(kSetupPortId, Unsigned(s.nntpPort), 6),
        Label("NNTP Server"),
        Edit(kSetupServerId, s.nntpServer, 40),
        Label("QivNewsDir"),
        Edit(kSetupSpoolDirId, s.qivNewsDir, 40),
        Label("Username"),
        Edit(kSetupUserId, s.qivNewsUsername, 30),
        Label("Password"),
        Edit(kSetupPasswordId, "", 30, ControlKind::Password),
        group,
        Radio(kSetupVerifyYesId, "Yes", s.userVerification != 0),
        Radio(kSetupVerifyNoId, "No", s.userVerification == 0),
        security,
        Radio(kSetupSecurityNoneId, "None", s.security <= 0, 2),
        Radio(kSetupSecurityTlsId, "TLS", s.security == 1, 2),
        Radio(kSetupSecurityStartTlsId, "STARTTLS", s.security == 2, 2),
        compress,
        // A value the file holds that is none of them counts as auto.
        Radio(kSetupCompressAutoId, "Auto", s.compress != 0 && s.compress != 1, 3),
        Radio(kSetupCompressOnId, "On", s.compress == 1, 3),
        Radio(kSetupCompressOffId, "Off", s.compress == 0, 3),
        Label("CA file"),
        Edit(kSetupCaFileId, s.caFile, 40),
        Label("TLS fingerprint"),
        Edit(kSetupFingerprintId, s.tlsFingerprint, 40),
        Label("Initial fetch"),
        Edit(kSetupInitialFetchId, Unsigned(s.initialFetch), 10),
        Label("newest articles of a new group (0: all)", true),
        Label("Pipeline depth"),
        Edit(kSetupPipelineDepthId, Unsigned(s.pipelineDepth), 4),
        Label("articles asked for at once (1: one at a time)", true),
        Label("Connect every"),
        Edit(kSetupIntervalId, Unsigned(s.timerInterval), 6),
        Label("minute(s)", true),
        Button(ControlKind::DefaultButton, 1, "OK"),
        Button(ControlKind::Button, 2, "Cancel"),
    };
    d.onCommand = SetupDialogProc;
    return d;
}

bool SetupDialogProc(Dialog& dialog, int buttonId) {
    if (buttonId != 1) return true;
    const std::string user = dialog.Text(kSetupUserId);
    const std::string password = dialog.Text(kSetupPasswordId);
    const std::string spoolDir = dialog.Text(kSetupSpoolDirId);
    if (!CredentialFits(user)) return Warn(kTooLongUserName);
    if (!CredentialFits(password)) return Warn(kTooLongPassword);
    if (!SpoolDirFits(spoolDir)) return Warn(kTooLongSpoolDir);
    const std::string fingerprint = dialog.Text(kSetupFingerprintId);
    std::vector<unsigned char> digest;
    if (!fingerprint.empty() && !net::ParseFingerprint(fingerprint, digest))
        return Warn(kBadFingerprint);

    AppSettings& s = App().settings;
    s.nntpServer = dialog.Text(kSetupServerId).substr(0, kMaxServerLength);
    s.qivNewsDir = spoolDir;
    s.qivNewsUsername = user;
    // An empty box means the password was not retyped: the stored one stays.
    s.qivNewsPassword =
        password.empty() ? ReadSetting("QivNewsPassword", kCredentialBufferSize) : password;
    s.nntpPort = static_cast<std::int32_t>(ParseDialogUnsigned(dialog.Text(kSetupPortId)));
    s.timerInterval = static_cast<std::int32_t>(ParseDialogUnsigned(dialog.Text(kSetupIntervalId)));
    s.userVerification = dialog.Checked(kSetupVerifyYesId) ? 1 : 0;
    s.security = dialog.Checked(kSetupSecurityTlsId)        ? 1
                 : dialog.Checked(kSetupSecurityStartTlsId) ? 2
                                                            : 0;
    s.compress = dialog.Checked(kSetupCompressOnId)    ? 1
                 : dialog.Checked(kSetupCompressOffId) ? 0
                                                       : 2;
    s.caFile = dialog.Text(kSetupCaFileId).substr(0, kPathBufferSize - 1);
    s.tlsFingerprint = fingerprint;
    s.initialFetch = static_cast<std::int32_t>(
        std::min<std::uint32_t>(ParseDialogUnsigned(dialog.Text(kSetupInitialFetchId)), INT32_MAX));
    s.pipelineDepth = static_cast<std::int32_t>(std::clamp<std::uint32_t>(
        ParseDialogUnsigned(dialog.Text(kSetupPipelineDepthId)), 1, kMaxPipelineDepth));
    return true;
}

bool WriteSetupSettings(const SetupKeys& keys) {
    const AppSettings& s = App().settings;
    bool ok = true;
    if (keys.server) ok &= WriteSetting("NNTPServer", s.nntpServer);
    if (keys.spoolDir) ok &= WriteSetting("QivNewsDir", s.qivNewsDir);
    if (keys.userName) ok &= WriteSetting("QivNewsUsername", s.qivNewsUsername);
    if (keys.password) ok &= WriteSetting("QivNewsPassword", s.qivNewsPassword);
    if (keys.timerInterval) ok &= WriteSetting("TimerInterval", Unsigned(s.timerInterval));
    if (keys.userVerification)
        ok &= WriteSetting("UserVerification", s.userVerification ? "Yes" : "No");
    if (keys.port) ok &= WriteSetting("NNTPPort", Unsigned(s.nntpPort));
    if (keys.security) ok &= WriteOptional("Security", SecurityName(s.security), s.security > 0);
    if (keys.caFile) ok &= WriteOptional("CAFile", s.caFile, !s.caFile.empty());
    if (keys.fingerprint)
        ok &= WriteOptional("TlsFingerprint", s.tlsFingerprint, !s.tlsFingerprint.empty());
    if (keys.initialFetch)
        ok &= WriteOptional("InitialFetch", Unsigned(s.initialFetch), s.initialFetch > 0);
    if (keys.pipelineDepth)
        ok &= WriteOptional("PipelineDepth", Unsigned(s.pipelineDepth),
                            s.pipelineDepth != kDefaultPipelineDepth);
    if (keys.compress) ok &= WriteOptional("Compress", CompressName(s.compress), s.compress != 2);
    return ok;
}

bool SetupPending() {
    return Pending().has_value();
}

void TakePendingSetup(plat::WindowHandle window) {
    if (!Pending() || CycleRunning(window)) return;
    AppSettings& s = App().settings;
    CopyConnectionSettings(s, *Pending());
    Pending().reset();
    plat::SetSpoolRoot(s.qivNewsDir);
    GiveServerToSession(window);
    LogLine("Took the new settings");
}

void RunSetup(plat::WindowHandle window) {
    const AppSettings before = App().settings;
    Dialog dialog = BuildSetupDialog();
    const int result = plat::ui::Current().RunDialog(dialog) == 1 ? 1 : 0;
    if (result == 0) return;
    SetupKeys keys;
    keys.password = !dialog.Text(kSetupPasswordId).empty();
    StoreSetup(window, keys);
    HoldUntilNextCycle(window, before);
}

bool StoreSetup(plat::WindowHandle window, const SetupKeys& keys) {
    App().configComplete = true;
    bool ok = WriteSetupSettings(keys);
    const int writeError = errno;
    if (keys.password) {
        // A file made by hand may be readable by others; the password must
        // not be.
        const std::string path = plat::ProfilePath(kProfileFile);
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0 &&
            chmod(path.c_str(), st.st_mode & 07700) != 0)
            ok = false;
    }
    GiveServerToSession(window);
    StatusUpdateTimer();
    if (!ok && writeError != 0) errno = writeError;
    return ok;
}

bool ApplySetupOptions(const SetupOptions& options, plat::WindowHandle window, std::string& error) {
    AppSettings& s = App().settings;
    const AppSettings before = s;
    SetupKeys keys;
    keys.server = options.server.has_value();
    keys.spoolDir = options.spoolDir.has_value();
    keys.userName = options.user.has_value();
    keys.password = options.password.has_value();
    keys.timerInterval = options.interval.has_value();
    keys.userVerification = options.auth.has_value();
    keys.port = options.port.has_value();
    keys.security = options.security.has_value();
    keys.caFile = options.caFile.has_value();
    keys.fingerprint = options.fingerprint.has_value();
    keys.initialFetch = options.initialFetch.has_value();
    keys.pipelineDepth = options.pipelineDepth.has_value();
    keys.compress = options.compress.has_value();
    // Implicit TLS has a port of its own.
    if (options.security == 1 && !options.port) {
        keys.port = true;
        s.nntpPort = 563;
    }
    if (options.server) s.nntpServer = *options.server;
    if (options.spoolDir) s.qivNewsDir = *options.spoolDir;
    if (options.user) s.qivNewsUsername = *options.user;
    if (options.password) s.qivNewsPassword = *options.password;
    if (options.interval) s.timerInterval = static_cast<std::int32_t>(*options.interval);
    if (options.auth) s.userVerification = *options.auth ? 1 : 0;
    if (options.port) s.nntpPort = static_cast<std::int32_t>(*options.port);
    if (options.security) s.security = *options.security;
    if (options.caFile) s.caFile = *options.caFile;
    if (options.fingerprint) s.tlsFingerprint = *options.fingerprint;
    if (options.initialFetch) s.initialFetch = static_cast<std::int32_t>(*options.initialFetch);
    if (options.pipelineDepth) s.pipelineDepth = static_cast<std::int32_t>(*options.pipelineDepth);
    if (options.compress) s.compress = *options.compress;
    errno = 0;
    const bool stored = StoreSetup(window, keys);
    const int writeError = errno;
    HoldUntilNextCycle(window, before);
    if (!stored) {
        error = "cannot write " + plat::ProfilePath(kProfileFile) + ": " +
                (writeError != 0 ? std::strerror(writeError) : "failed");
        return false;
    }
    return true;
}

}  // namespace app
