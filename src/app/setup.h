// The Setup dialog: edits and stores the user-facing settings.
#pragma once

#include <cstdint>
#include <string>

#include "app/cli.h"
#include "platform/message_loop.h"
#include "platform/ui.h"

namespace app {

// Control ids of the Setup dialog.
constexpr int kSetupServerId = 101;
constexpr int kSetupPortId = 102;
constexpr int kSetupSpoolDirId = 103;
constexpr int kSetupUserId = 1009;
constexpr int kSetupPasswordId = 1010;
constexpr int kSetupVerifyYesId = 1011;
constexpr int kSetupVerifyNoId = 1012;
constexpr int kSetupIntervalId = 1013;
constexpr int kSetupSecurityNoneId = 1014;
constexpr int kSetupSecurityTlsId = 1015;
constexpr int kSetupSecurityStartTlsId = 1016;
constexpr int kSetupCaFileId = 1017;
constexpr int kSetupFingerprintId = 1018;
constexpr int kSetupInitialFetchId = 1019;
constexpr int kSetupPipelineDepthId = 1020;
constexpr int kSetupCompressAutoId = 1021;
constexpr int kSetupCompressOnId = 1022;
constexpr int kSetupCompressOffId = 1023;

constexpr char kTooLongUserName[] = "The user name can be at most 29 characters long.";
constexpr char kTooLongPassword[] = "The password can be at most 29 characters long.";
constexpr char kBadFingerprint[] =
    "The TLS fingerprint must be a SHA-256 fingerprint: 64 hex digits, colons allowed.";
constexpr char kTooLongSpoolDir[] =
    "The QivNewsDir path is too long: the paths built from it would not fit.";

// The dialog filled from the in-memory settings; the password box is empty.
plat::ui::Dialog BuildSetupDialog();
// OK copies the boxes into the settings (after checking their lengths; a
// value too long is refused with a warning and the dialog stays open);
// Cancel changes nothing.
bool SetupDialogProc(plat::ui::Dialog& dialog, int buttonId);

// Command 40000: runs the dialog and, on OK, stores the settings and hands
// the server to the session.
void RunSetup(plat::WindowHandle window);

// The keys Setup stores; a key left out keeps what the file holds.
struct SetupKeys {
    bool server = true;
    bool spoolDir = true;
    bool userName = true;
    bool password = true;
    bool timerInterval = true;
    bool userVerification = true;
    bool port = true;
    // Written only when set or already in the file: a file without them
    // means a plain connection (and every article of a new group), as
    // before they existed.
    bool security = true;
    bool caFile = true;
    bool fingerprint = true;
    bool initialFetch = true;
    bool pipelineDepth = true;
    bool compress = true;
};
// Writes the chosen keys from the in-memory settings, in Setup's order.
// False when a write failed.
bool WriteSetupSettings(const SetupKeys& keys);

// The last part of confirming Setup, shared by the dialog and the command
// line: the configuration counts as complete, the chosen keys are written
// from the in-memory settings, the session gets the server and the status
// line the new interval. A profile file that now holds a password is made
// readable by its owner only. False when a write failed (errno tells why).
bool StoreSetup(plat::WindowHandle window, const SetupKeys& keys);

// Setup from the command line, here or handed to a running gateway: the
// options given go into the in-memory settings as the dialog's OK puts them
// there, then StoreSetup for just those keys. False with the reason when
// the profile could not be written.
bool ApplySetupOptions(const SetupOptions& options, plat::WindowHandle window, std::string& error);

// A setup stored during a cycle is held back until the cycle has ended;
// TakePendingSetup makes it current once none runs (logged).
bool SetupPending();
void TakePendingSetup(plat::WindowHandle window);

// Reads an edit box's number the way the dialog does: an unsigned decimal
// number, surrounding blanks allowed; anything else gives 0.
std::uint32_t ParseDialogUnsigned(const std::string& text);

}  // namespace app
