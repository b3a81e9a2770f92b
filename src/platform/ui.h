// The user interface beneath the application: one main window with a title,
// a menu bar, an activity log and a status line, plus modal dialogs and
// message boxes. Three backends implement it: the full-screen terminal
// (ncurses), headless (log to standard output, warnings to standard error,
// no dialogs) and a recording one that tests drive.
//
// Menu choices reach the main window as msg::Command with the command id in
// wParam; a terminal resize reaches it as msg::Size; the backend posts both.
// Modal calls (RunDialog, MessageBox) keep the message loop running while
// they wait, so timers and network completions go on underneath.
#pragma once

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

enum class ControlKind { Label, Edit, Password, Radio, Button, DefaultButton, Icon };

struct Control {
    ControlKind kind = ControlKind::Label;
    int id = -1;       // -1 for static text
    std::string text;  // label or button caption; the edit box's contents
    bool checked = false;   // radio buttons
    int group = 0;          // radio buttons in the same group exclude each other
    std::size_t maxLength = 255;  // edit boxes
};

// A dialog in template order. RunDialog ends when a button is pressed whose
// id is 1 (OK) or 2 (Cancel), or any other button id, unless onCommand
// returns false for it (the dialog then stays open, e.g. after a warning).
struct Dialog {
    std::string caption;
    std::vector<Control> controls;
    std::function<bool(Dialog&, int buttonId)> onCommand;  // may be empty

    Control* Find(int id);
    const Control* Find(int id) const;
    std::string Text(int id) const;
    void SetText(int id, const std::string& text);
    bool Checked(int id) const;
    void Check(int id, bool on);  // also clears the other radios of its group
};

struct Status {
    std::string connection;  // "Disconnected", "Connected", ...
    std::string group;       // the group being fetched, may be empty
    long fetched = 0;        // articles fetched in this cycle
    long minutesToNext = -1; // -1 when no timed connection is due
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
    virtual void Show() = 0;

    // The activity log.
    virtual void LogAdd(const std::string& line) = 0;
    virtual void LogReset() = 0;
    virtual std::size_t LogCount() const = 0;
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

// The backend in use; the application installs one at start-up.
Backend& Current();
void Install(std::unique_ptr<Backend> backend);

std::unique_ptr<Backend> MakeTerminalBackend();
std::unique_ptr<Backend> MakeHeadlessBackend();

// Replaces control characters and escape sequences so that text from a
// server cannot drive the terminal.
std::string Sanitize(const std::string& text);

}  // namespace plat::ui
