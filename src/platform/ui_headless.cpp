// Headless: for machines without a terminal. Each log line is written to
// the output stream the moment it is added, exactly as the log holds it;
// message boxes go to the error stream; dialogs cannot be answered. Without
// streams it is the silent backend in use before one is installed.
#include <cstdio>
#include <string>

#include "platform/journal.h"
#include "platform/ui.h"
#include "platform/ui_widgets.h"

namespace plat::ui {

namespace {

class HeadlessBackend : public Backend {
public:
    HeadlessBackend(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}

    void Attach(WindowHandle mainWindow) override { main_ = mainWindow; }
    void SetTitle(const std::string&) override {}
    void SetMenu(const Menu& menu) override { menu_ = menu; }
    void SetMenuItemGrayed(unsigned command, bool grayed) override {
        for (MenuPopup& popup : menu_)
            for (MenuItem& item : popup.items)
                if (!item.IsSeparator() && item.command == command) item.grayed = grayed;
    }
    bool MenuItemGrayed(unsigned command) const override {
        for (const MenuPopup& popup : menu_)
            for (const MenuItem& item : popup.items)
                if (!item.IsSeparator() && item.command == command) return item.grayed;
        return false;
    }
    void Show() override {
        // The application lays out its log on the size message, as it would on a screen.
        if (main_ != 0)
            PostMessage(main_, msg::Size, 0, (static_cast<LParam>(kHeight) << 16) | kWidth);
    }

    void LogAdd(const std::string& line) override {
        ++count_;
        if (out_ == nullptr) return;
        // Standard output is often a terminal too; one that reads 8-bit
        // controls would act on a bare 0x9B (CSI) from a server.
        // Flushed: a reader (a pipe, a log collector) sees each line at once.
        WriteLines(out_, Priority::Info, widgets::TerminalText(line) + '\n');
    }
    void LogReset() override { count_ = 0; }
    std::size_t LogCount() const override { return count_; }
    void SetLogBounds(int, int, int, int) override {}
    void SetStatus(const Status&) override {}

    int RunDialog(Dialog&) override { return 2; }
    void MessageBox(const std::string& caption, const std::string& text) override {
        if (err_ == nullptr) return;
        std::string shown = widgets::TerminalText(caption) + ": ";
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            shown += widgets::TerminalText(text.substr(start, end - start)) + "\n  ";
        shown += widgets::TerminalText(text.substr(start)) + '\n';
        WriteLines(err_, Priority::Warning, shown);
    }

    int ClientWidth() const override { return kWidth; }
    int ClientHeight() const override { return kHeight; }

private:
    // The size of the terminal screen's client area on an 80 by 24 terminal.
    static constexpr int kWidth = 80;
    static constexpr int kHeight = 21;

    std::FILE* out_;
    std::FILE* err_;
    WindowHandle main_ = 0;
    Menu menu_;
    std::size_t count_ = 0;
};

}  // namespace

std::unique_ptr<Backend> MakeHeadlessBackend() {
    return MakeHeadlessBackend(stdout, stderr);
}

std::unique_ptr<Backend> MakeHeadlessBackend(std::FILE* out, std::FILE* err) {
    return std::make_unique<HeadlessBackend>(out, err);
}

std::unique_ptr<Backend> MakeSilentBackend() {
    return std::make_unique<HeadlessBackend>(nullptr, nullptr);
}

}  // namespace plat::ui
