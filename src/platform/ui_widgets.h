// The terminal backend's widgets without the drawing: what a key does to the
// log view, the menu bar, a dialog or a message box, and where a dialog's
// controls go. Drawing lives in ui_screen.cpp; these classes know nothing
// of curses, so they are tested on their own.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace plat::ui::widgets {

// Keys as the widgets see them: 0-255 are typed bytes, the rest named keys.
enum Key : int {
    kKeyUp = 0x1000,
    kKeyDown,
    kKeyLeft,
    kKeyRight,
    kKeyPageUp,
    kKeyPageDown,
    kKeyHome,
    kKeyEnd,
    kKeyTab,
    kKeyBackTab,
    kKeyEnter,
    kKeyEscape,
    kKeyBackspace,
    kKeyDelete,
    kKeyF10,
};
constexpr int kAltFlag = 0x10000;  // Alt+c arrives as kAltFlag | c

struct KeyResult {
    enum Kind {
        Ignored,  // not for this widget
        Handled,  // taken (perhaps changing what is shown)
        Command,  // a menu item chosen or a button pressed: id
    };
    Kind kind = Ignored;
    int id = 0;
};

// Lower case of a typed byte, for mnemonics.
char Lower(unsigned char c);
// Cells the text takes on the terminal (see TerminalText).
int Cells(const std::string& text);

// "&System" -> "System"; "&&" stands for one '&'.
std::string StripMnemonic(const std::string& text);
// Position of the marked letter in the stripped text, or -1.
int MnemonicIndex(const std::string& text);
// The marked letter in lower case, or 0.
char Mnemonic(const std::string& text);

// For the terminal: Sanitize, then bytes 0x80-0x9F (C1 controls) in the
// form "M-^@", so that only printable bytes reach the screen.
std::string TerminalText(const std::string& text);

// The status line: connection, articles fetched, minutes to the next timed
// connection, group.
std::string FormatStatus(const Status& status);

// Splits at '\n' and wraps at word boundaries to at most width cells.
std::vector<std::string> WrapText(const std::string& text, int width);

// The activity log: lines in the order added, a window of `height` rows
// onto them that follows the newest line unless the user scrolled back.
class LogView {
public:
    explicit LogView(std::size_t capacity = 20000) : capacity_(capacity) {}

    void Add(std::string line);
    void Reset();
    std::size_t Count() const { return lines_.size(); }
    const std::string& Line(std::size_t i) const { return lines_[i]; }

    void SetHeight(int rows);
    int Height() const { return height_; }
    std::size_t Top() const { return top_; }  // index of the first visible line
    bool Following() const { return follow_; }

    // Up, Down, PageUp, PageDown, Home, End.
    KeyResult OnKey(int key);

private:
    std::size_t MaxTop() const;
    void ScrollTo(std::size_t top);

    std::deque<std::string> lines_;
    std::size_t capacity_;
    std::size_t top_ = 0;
    int height_ = 0;
    bool follow_ = true;
};

// The menu bar and its one open popup.
class MenuBar {
public:
    void Set(const Menu& menu);
    const Menu& Popups() const { return menu_; }
    bool SetGrayed(unsigned command, bool grayed);  // false when no item has the command
    bool Grayed(unsigned command) const;

    bool IsOpen() const { return open_ >= 0; }
    int OpenPopup() const { return open_; }
    int Selected() const { return selected_; }  // item index in the open popup, -1 for none
    void Open(int popup);
    void Close();

    // Closed: F10 or Alt+letter opens. Open: every key is taken.
    KeyResult OnKey(int key);

    // Columns where each popup's title starts on the bar (drawn " Title ").
    std::vector<int> TitleColumns() const;

private:
    bool Selectable(int popup, int item) const;
    void Move(int step);

    Menu menu_;
    int open_ = -1;
    int selected_ = -1;
};

// Where a dialog's controls go, in cells inside its border.
struct PlacedControl {
    std::size_t index;  // into Dialog::controls
    int row;
    int col;
    int width;  // cells; for edit boxes the inner field, without the brackets
};
struct DialogLayout {
    int width = 0;
    int height = 0;
    std::vector<PlacedControl> placed;
    const PlacedControl* Find(std::size_t index) const;
};
DialogLayout LayoutDialog(const Dialog& dialog, int maxWidth);
bool IsTabStop(ControlKind kind);
bool IsButton(ControlKind kind);
bool IsEdit(ControlKind kind);

// A dialog on the screen: focus, carets and keys. Pressing a button gives
// Command with its id; whether the dialog then ends is for its owner.
class DialogView {
public:
    DialogView(Dialog& dialog, int maxWidth);

    Dialog& Model() { return dialog_; }
    const Dialog& Model() const { return dialog_; }
    const DialogLayout& Layout() const { return layout_; }
    int Focus() const { return focus_; }  // control index, -1 when none can take it
    std::size_t Caret(std::size_t index) const;
    std::size_t FirstShown(std::size_t index) const;  // first character shown in an edit box

    KeyResult OnKey(int key);
    // After the owner changed the controls (or the screen width changed).
    void Refresh(int maxWidth);

private:
    void MoveFocus(int step);
    void CheckRadio(std::size_t index);
    KeyResult Press(int id);
    KeyResult EditKey(std::size_t index, int key);
    void KeepCaretShown(std::size_t index);
    int DefaultButtonId() const;
    int ByMnemonic(char letter) const;

    Dialog& dialog_;
    DialogLayout layout_;
    int focus_ = -1;
    std::vector<std::size_t> caret_;
    std::vector<std::size_t> first_;
};

}  // namespace plat::ui::widgets
