// The backend that tests drive: it draws nothing and records everything.
// A test chooses menu commands (posted to the main window as a menu choice
// would be), answers dialogs with scripted functions, and reads the log,
// the menu states, the status and the message boxes shown.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace plat::ui {

class RecordingBackend : public Backend {
public:
    // Answers one dialog: may change its controls (type into edit boxes,
    // check radio buttons) and returns the id of the button to press. It is
    // called again while the dialog's onCommand refuses to end the dialog,
    // and it may run the message loop (PumpUntil) to let time pass while the
    // dialog is open.
    using DialogAnswer = std::function<int(Dialog&)>;

    struct DialogRun {
        std::string caption;
        Dialog opened;             // the controls as the application filled them in
        std::vector<int> presses;  // buttons pressed, in order
        int result = 2;            // what RunDialog returned
    };
    struct Box {
        std::string caption;
        std::string text;
    };
    struct Bounds {
        int x = 0, y = 0, width = 0, height = 0;
    };

    // Gives up on a dialog (Cancel) after this many refused presses.
    static constexpr int kMaxPresses = 100;

    explicit RecordingBackend(int clientWidth = 80, int clientHeight = 21);

    void Attach(WindowHandle mainWindow) override { main_ = mainWindow; }
    void SetTitle(const std::string& title) override { title_ = title; }
    void SetMenu(const Menu& menu) override { menu_ = menu; }
    void SetMenuItemGrayed(unsigned command, bool grayed) override;
    bool MenuItemGrayed(unsigned command) const override;
    void Show() override;
    void LogAdd(const std::string& line) override;
    void LogReset() override;
    std::size_t LogCount() const override { return log_.size(); }
    void SetLogBounds(int x, int y, int width, int height) override;
    void SetStatus(const Status& status) override;
    int RunDialog(Dialog& dialog) override;
    void MessageBox(const std::string& caption, const std::string& text) override;
    int ClientWidth() const override { return width_; }
    int ClientHeight() const override { return height_; }

    // What a test does.
    // Posts msg::Command for an item of the menu, as choosing it would;
    // false (and nothing posted) when no item has the command or it is grayed.
    bool Choose(unsigned command);
    // The next dialog is answered by this (answers queue up, one per dialog).
    void QueueDialogAnswer(DialogAnswer answer);
    // Dialogs with no queued answer are answered by this; without one they
    // are cancelled (2), as in headless mode.
    void AnswerDialogs(DialogAnswer answer) { standing_ = std::move(answer); }
    // Changes the client size and posts msg::Size, as a terminal resize does.
    void Resize(int clientWidth, int clientHeight);

    // What a test reads.
    WindowHandle MainWindow() const { return main_; }
    bool Shown() const { return shown_; }
    const std::string& Title() const { return title_; }
    const Menu& GetMenu() const { return menu_; }
    bool HasMenuItem(unsigned command) const;
    const std::vector<std::string>& Log() const { return log_; }  // as shown: sanitized
    int LogResets() const { return resets_; }
    const Bounds& LogBounds() const { return bounds_; }
    const Status& GetStatus() const { return status_; }
    int StatusUpdates() const { return statusUpdates_; }
    const std::vector<DialogRun>& Dialogs() const { return dialogs_; }
    const std::vector<Box>& MessageBoxes() const { return boxes_; }
    int PendingDialogAnswers() const { return static_cast<int>(queued_.size()); }

private:
    const MenuItem* FindItem(unsigned command) const;
    void PostSize();

    WindowHandle main_ = 0;
    int width_;
    int height_;
    bool shown_ = false;
    std::string title_;
    Menu menu_;
    std::vector<std::string> log_;
    int resets_ = 0;
    Bounds bounds_;
    Status status_;
    int statusUpdates_ = 0;
    std::deque<DialogAnswer> queued_;
    DialogAnswer standing_;
    std::vector<DialogRun> dialogs_;
    std::vector<Box> boxes_;
};

}  // namespace plat::ui
