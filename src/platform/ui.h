// The user interface beneath the application: one main window with a title,
// a menu bar, an activity log and a status line, plus modal dialogs and
// message boxes. Backends implement it: the full-screen terminal (ncurses),
// headless (log to standard output, warnings to standard error, no
// dialogs), a recording one that tests drive and, on Windows, the window.
//
// Menu choices reach the main window as msg::Command with the command id in
// wParam; the window's size reaches it as msg::Size (on Show and on every
// terminal resize); the backend posts both. Keystrokes stay inside the
// backend. Modal calls (RunDialog, MessageBox) keep the message loop running
// while they wait, so timers and network completions go on underneath.
//
// Every text shown (log lines, box texts, status) passes through Sanitize.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/message_loop.h"

namespace plat::ui {

struct MenuItem {
    std::string text;  // with '&' before the marked letter; empty for a separator
    unsigned command = 0;
    bool grayed = false;
    bool IsSeparator() const { return text.empty(); }
};

struct MenuPopup {
    std::string text;  // "&System"
    std::vector<MenuItem> items;
};

using Menu = std::vector<MenuPopup>;

// GroupBox is the heading of the radio buttons that follow it.
enum class ControlKind { Label, Edit, Password, Radio, Button, DefaultButton, Icon, GroupBox };

// Controls are laid out in rows, in template order. A label followed by an
// edit box shares its row (the label is the box's caption), and so do
// neighbouring buttons and neighbouring radio buttons of one group; sameRow
// puts any other control to the right of the one before it (e.g. a unit
// after an edit box). Tab visits edit boxes, radio buttons and buttons.
struct Control {
    ControlKind kind = ControlKind::Label;
    int id = -1;       // -1 for static text
    std::string text;  // label or button caption ('&' marks the letter); the edit box's contents
    bool checked = false;         // radio buttons
    int group = 0;                // radio buttons in the same group exclude each other
    std::size_t maxLength = 255;  // edit boxes: typing stops at this many characters
    bool sameRow = false;
    int width = 0;  // edit boxes: cells shown (0: a default); longer text scrolls
};

// A dialog in template order. RunDialog ends when a button is pressed whose
// id is 1 (OK) or 2 (Cancel), or any other button id, unless onCommand
// returns false for it (the dialog then stays open, e.g. after a warning).
// Escape presses 2 and Enter the default button (1 when there is none), as
// in Win32 dialogs. The controls' texts and checks are updated in place, so
// the caller reads the answers from the dialog after RunDialog returns.
struct Dialog {
    std::string caption;
    std::vector<Control> controls;
    std::function<bool(Dialog&, int buttonId)> onCommand;  // may be empty
    int focus = -1;  // id of the control that has the focus first; -1: the first tab stop
    // The Windows build's dialog resource with these controls (by id); 0:
    // laid out from the controls, as the terminal does.
    int templateId = 0;

    Control* Find(int id);
    const Control* Find(int id) const;
    std::string Text(int id) const;
    void SetText(int id, const std::string& text);
    bool Checked(int id) const;
    void Check(int id, bool on);  // also clears the other radios of its group
};

struct Status {
    std::string connection;   // "Disconnected", "Connected", ...
    std::string group;        // the group being fetched, may be empty
    long fetched = 0;         // articles fetched in this cycle
    long minutesToNext = -1;  // -1 when no timed connection is due
};

class Backend {
public:
    virtual ~Backend() = default;

    // The main window; key input and resizes are posted to it.
    virtual void Attach(WindowHandle mainWindow) = 0;
    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetMenu(const Menu& menu) = 0;
    virtual void SetMenuItemGrayed(unsigned command, bool grayed) = 0;
    virtual bool MenuItemGrayed(unsigned command) const = 0;
    // Draws the window and posts msg::Size with the client size.
    virtual void Show() = 0;

    // The activity log.
    virtual void LogAdd(const std::string& line) = 0;
    virtual void LogReset() = 0;
    virtual std::size_t LogCount() const = 0;
    // In cells of the client area; a width or height of zero or less hides it.
    virtual void SetLogBounds(int x, int y, int width, int height) = 0;

    virtual void SetStatus(const Status& status) = 0;

    // Modal. Returns the id of the button that ended the dialog; 2 (Cancel)
    // when dialogs cannot be shown or the loop is quitting.
    virtual int RunDialog(Dialog& dialog) = 0;
    virtual void MessageBox(const std::string& caption, const std::string& text) = 0;

    // The size of the main window's client area in cells.
    virtual int ClientWidth() const = 0;
    virtual int ClientHeight() const = 0;
};

// The backend in use; the application installs one at start-up. Until then
// (and after Install(nullptr)) a silent backend counts log lines, drops them
// and cancels dialogs. Installing a backend destroys the previous one.
Backend& Current();
void Install(std::unique_ptr<Backend> backend);

// Full screen on standard input and output (which should both be a terminal).
// Returns null when the terminal cannot be initialised (unknown TERM, not a
// terminal). The screen is taken over at once and given back when the
// backend is destroyed. Ctrl+C and a hang-up of the terminal post msg::Close
// to the main window.
std::unique_ptr<Backend> MakeTerminalBackend();
// Log lines to out, message box texts to err (standard output and error).
std::unique_ptr<Backend> MakeHeadlessBackend();
std::unique_ptr<Backend> MakeHeadlessBackend(std::FILE* out, std::FILE* err);
// Headless without streams: what Current() gives while none is installed.
std::unique_ptr<Backend> MakeSilentBackend();
// The Windows build's window: a frame with the menu bar, the log list box
// and a status bar, dialogs from resources. Null when the window cannot be
// made. Closing the frame posts msg::Close to the main window.
std::unique_ptr<Backend> MakeWin32Backend();

// Replaces control characters and escape sequences so that text from a
// server cannot drive the terminal.
std::string Sanitize(const std::string& text);

}  // namespace plat::ui
