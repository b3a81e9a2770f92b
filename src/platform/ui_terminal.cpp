// The full-screen terminal: title row, menu bar, the client area with the
// activity log, a status row; dialogs and message boxes as centred boxes.
//
// Keys are read when standard input is ready (a loop source) and posted to a
// hidden input window, so that they reach the widgets through the message
// loop like everything else, also inside the nested loops of modal boxes.
// The widgets' logic lives in ui_widgets and the painting of boxes in
// ui_screen; this file reads keys and lays out the main window.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>

#include "platform/signals.h"
#include "platform/ui.h"
#include "platform/ui_screen.h"
#include "platform/ui_widgets.h"

namespace plat::ui {

namespace {

using namespace widgets;
using namespace screen;

constexpr const char* kInputClass = "QivTerminalInput";
constexpr unsigned kKeyMessage = msg::User + 1;     // wParam = widget key
constexpr unsigned kResizeMessage = msg::User + 2;  // from SIGWINCH

// Rows around the client area.
constexpr int kTitleRow = 0;
constexpr int kMenuRow = 1;
constexpr int kClientTop = 2;
constexpr int kRowsOutsideClient = 3;  // title, menu bar, status

class TerminalBackend;
TerminalBackend* g_live = nullptr;  // the one screen; given back at exit

void GiveBackTerminal();

// One modal box on the stack: a dialog or a message box.
struct Modal {
    DialogView* dialog = nullptr;
    std::string caption;  // message boxes
    std::vector<std::string> lines;
    bool done = false;
    int result = 2;
};

class TerminalBackend final : public Backend, public LoopSource {
public:
    TerminalBackend(SCREEN* screen, std::FILE* in, std::FILE* out)
        : screen_(screen), in_(in), out_(out) {
        g_live = this;
        static bool registered = false;
        if (!registered) {
            registered = true;
            std::atexit(GiveBackTerminal);
        }
        raw();
        noecho();
        nonl();
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        set_escdelay(50);
        curs_set(0);
        EnsureInputWindow();
        AddLoopSource(this);
        RouteSignal(SIGWINCH, input_, kResizeMessage);
        Layout();
    }

    ~TerminalBackend() override {
        UnrouteSignal(SIGWINCH);
        RemoveLoopSource(this);
        if (IsWindow(input_)) DestroyWindow(input_);
        Close();
    }

    // Ends curses and gives the terminal back in its earlier state.
    void Close() {
        if (!screen_) return;
        endwin();
        delscreen(screen_);
        screen_ = nullptr;
        if (g_live == this) g_live = nullptr;
    }

    // ------------------------------------------------------------ Backend
    void Attach(WindowHandle mainWindow) override { main_ = mainWindow; }
    void SetTitle(const std::string& title) override {
        title_ = title;
        Invalidate();
    }
    void SetMenu(const Menu& menu) override {
        menu_.Set(menu);
        Invalidate();
    }
    void SetMenuItemGrayed(unsigned command, bool grayed) override {
        menu_.SetGrayed(command, grayed);
        Invalidate();
    }
    bool MenuItemGrayed(unsigned command) const override { return menu_.Grayed(command); }
    void Show() override {
        shown_ = true;
        Redraw();
        PostSize();
    }

    void LogAdd(const std::string& line) override {
        log_.Add(TerminalText(line));
        Invalidate();
    }
    void LogReset() override {
        log_.Reset();
        Invalidate();
    }
    std::size_t LogCount() const override { return log_.Count(); }
    void SetLogBounds(int x, int y, int width, int height) override {
        bounds_ = {x, y, width, height};
        boundsSet_ = true;
        Layout();
        Invalidate();
    }
    void SetStatus(const Status& status) override {
        status_ = status;
        Invalidate();
    }

    int RunDialog(Dialog& dialog) override {
        DialogView view(dialog, MaxBoxWidth());
        Modal modal;
        modal.dialog = &view;
        return RunModal(modal);
    }

    void MessageBox(const std::string& caption, const std::string& text) override {
        Modal modal;
        modal.caption = TerminalText(caption);
        const int width = std::max(MaxBoxWidth(), 10);
        std::string shown;
        for (const std::string& line : WrapText(text, width)) shown += TerminalText(line) + '\n';
        // Cleaning may lengthen lines again; wrap what is shown.
        modal.lines = WrapText(shown.substr(0, shown.size() - 1), width);
        RunModal(modal);
    }

    int ClientWidth() const override { return screen_ ? getmaxx(stdscr) : 0; }
    int ClientHeight() const override {
        return screen_ ? std::max(getmaxy(stdscr) - kRowsOutsideClient, 0) : 0;
    }

    // ------------------------------------------------------------ LoopSource
    void Collect(std::vector<pollfd>& fds, int& timeoutMs) override {
        if (!screen_) return;
        if (dirty_) {
            const std::uint64_t due = lastDraw_ + kRedrawIntervalMs, now = NowMs();
            timeoutMs = due > now ? static_cast<int>(due - now) : 0;
        }
        if (!hungUp_) fds.push_back({fileno(in_), POLLIN, 0});
    }

    void Dispatch(const pollfd* fds, std::size_t count) override {
        if (!screen_) return;
        if (count > 0 && fds[0].revents != 0) {
            EnsureInputWindow();
            ReadKeys();
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                // The terminal went away: close the window as its owner would.
                hungUp_ = true;
                if (main_ != 0) PostMessage(main_, msg::Close, 0, 0);
            }
        }
        if (dirty_ && NowMs() >= lastDraw_ + kRedrawIntervalMs) Redraw();
    }

private:
    struct Bounds {
        int x = 0, y = 0, width = 0, height = 0;
    };

    static LResult InputProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
        auto* self = reinterpret_cast<TerminalBackend*>(GetWindowData(window));
        if (!self) return DefWindowProc(window, message, wParam, lParam);
        switch (message) {
            case kKeyMessage:
                self->HandleKey(static_cast<int>(wParam));
                return 0;
            case kResizeMessage:
                self->OnResize(true);
                return 0;
            default:
                return DefWindowProc(window, message, wParam, lParam);
        }
    }

    // The loop's windows can be reset under us (tests do), so the input
    // window is made again when it is gone.
    void EnsureInputWindow() {
        if (input_ != 0 && IsWindow(input_)) return;
        if (!IsWindowClassRegistered(kInputClass)) RegisterWindowClass(kInputClass, InputProc);
        input_ = CreateWindow(kInputClass);
        SetWindowData(input_, reinterpret_cast<std::uintptr_t>(this));
        RouteSignal(SIGWINCH, input_, kResizeMessage);
    }

    void PostSize() {
        if (main_ == 0) return;
        const LParam size =
            (static_cast<LParam>(ClientHeight() & 0xFFFF) << 16) | (ClientWidth() & 0xFFFF);
        PostMessage(main_, msg::Size, 0, size);
    }

    int MaxBoxWidth() const { return std::max((screen_ ? getmaxx(stdscr) : 80) - 4, 1); }

    int RunModal(Modal& modal) {
        if (!screen_) return 2;
        EnsureInputWindow();
        modal_.push_back(&modal);
        Redraw();
        Message m;
        while (!modal.done) {
            if (!GetMessage(m)) {  // quitting: the quit stays pending for the outer loop
                modal.result = 2;
                break;
            }
            DispatchMessage(m);
        }
        modal_.erase(std::find(modal_.begin(), modal_.end(), &modal));
        Redraw();
        return modal.result;
    }

    // ------------------------------------------------------------ keys
    static int Translate(int key) {
        switch (key) {
            case KEY_UP:
                return kKeyUp;
            case KEY_DOWN:
                return kKeyDown;
            case KEY_LEFT:
                return kKeyLeft;
            case KEY_RIGHT:
                return kKeyRight;
            case KEY_PPAGE:
                return kKeyPageUp;
            case KEY_NPAGE:
                return kKeyPageDown;
            case KEY_HOME:
                return kKeyHome;
            case KEY_END:
                return kKeyEnd;
            case KEY_BTAB:
                return kKeyBackTab;
            case KEY_ENTER:
                return kKeyEnter;
            case KEY_BACKSPACE:
                return kKeyBackspace;
            case KEY_DC:
                return kKeyDelete;
            case '\t':
                return kKeyTab;
            case '\r':
            case '\n':
                return kKeyEnter;
            case 0x7F:
            case 0x08:
                return kKeyBackspace;
            case 0x1B:
                return kKeyEscape;
            default:
                break;
        }
        if (key == KEY_F(10)) return kKeyF10;
        if (key >= 0 && key < 0x100) return key;
        return -1;
    }

    void ReadKeys() {
        if (!screen_) return;
        for (int key; (key = wgetch(stdscr)) != ERR;) {
            if (key == KEY_RESIZE) {  // curses saw the resize itself
                OnResize(false);
                continue;
            }
            if (key == 0x03) {  // Ctrl+C: close the window, ending the program cleanly
                if (main_ != 0) PostMessage(main_, msg::Close, 0, 0);
                continue;
            }
            if (key == 0x0C) {  // Ctrl+L: paint the whole screen again
                clearok(curscr, TRUE);
                Redraw();
                continue;
            }
            int widgetKey = Translate(key);
            if (key == 0x1B) {
                // Escape followed at once by a character is Alt+character.
                const int next = wgetch(stdscr);
                if (next != ERR && next >= 0x20 && next < 0x7F) {
                    widgetKey = kAltFlag | next;
                } else if (next != ERR) {
                    PostMessage(input_, kKeyMessage, static_cast<WParam>(widgetKey), 0);
                    widgetKey = Translate(next);
                }
            }
            if (widgetKey >= 0) PostMessage(input_, kKeyMessage, static_cast<WParam>(widgetKey), 0);
        }
    }

    void HandleKey(int key) {
        if (!modal_.empty()) {
            Modal& top = *modal_.back();
            if (!top.dialog) {
                if (key == kKeyEnter || key == kKeyEscape || key == ' ') {
                    top.done = true;
                    top.result = 1;
                }
                return Redraw();
            }
            const KeyResult r = top.dialog->OnKey(key);
            if (r.kind == KeyResult::Command) {
                Dialog& d = top.dialog->Model();
                // The handler may refuse (and warn, in a box of its own) to keep the dialog open.
                if (!d.onCommand || d.onCommand(d, r.id)) {
                    top.done = true;
                    top.result = r.id;
                } else {
                    top.dialog->Refresh(MaxBoxWidth());
                }
            }
            return Redraw();
        }
        const KeyResult r = menu_.OnKey(key);
        if (r.kind == KeyResult::Command && main_ != 0)
            PostMessage(main_, msg::Command, static_cast<WParam>(r.id), 0);
        if (r.kind == KeyResult::Ignored) log_.OnKey(key);
        Redraw();
    }

    void OnResize(bool fromSignal) {
        if (!screen_) return;
        if (fromSignal) {
            winsize ws{};
            if (ioctl(fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
                resize_term(ws.ws_row, ws.ws_col);
        }
        Layout();
        for (Modal* modal : modal_)
            if (modal->dialog) modal->dialog->Refresh(MaxBoxWidth());
        clearok(curscr, TRUE);
        Redraw();
        PostSize();
    }

    // ------------------------------------------------------------ painting
    // The log's rectangle on the screen, clipped to the client area.
    Bounds LogRect() const {
        const int cw = ClientWidth(), ch = ClientHeight();
        Bounds b = boundsSet_ ? bounds_ : Bounds{1, 1, cw - 2, ch - 2};  // a one-cell margin
        const int x0 = std::max(b.x, 0), y0 = std::max(b.y, 0);
        const int x1 = std::min(b.x + b.width, cw), y1 = std::min(b.y + b.height, ch);
        return {x0, kClientTop + y0, std::max(x1 - x0, 0), std::max(y1 - y0, 0)};
    }

    void Layout() { log_.SetHeight(LogRect().height); }

    void DrawTitle(int cols) {
        Fill(kTitleRow, 0, cols, A_REVERSE);
        const std::string title = TerminalText(title_);
        const int w = std::min(static_cast<int>(title.size()), cols);
        Put(kTitleRow, (cols - w) / 2, title, w, A_REVERSE | A_BOLD);
    }

    void DrawMenuBar(int cols) {
        Fill(kMenuRow, 0, cols, A_NORMAL);
        const std::vector<int> columns = menu_.TitleColumns();
        for (std::size_t p = 0; p < columns.size(); ++p) {
            const attr_t attr = menu_.OpenPopup() == static_cast<int>(p) ? A_REVERSE : A_NORMAL;
            const std::string& text = menu_.Popups()[p].text;
            Put(kMenuRow, columns[p], " ", 1, attr);
            PutMarked(kMenuRow, columns[p] + 1, text, attr);
            Put(kMenuRow, columns[p] + 1 + static_cast<int>(StripMnemonic(text).size()), " ", 1,
                attr);
        }
    }

    void DrawLog() {
        const Bounds r = LogRect();
        for (int row = 0; row < r.height; ++row) {
            const std::size_t i = log_.Top() + static_cast<std::size_t>(row);
            if (i >= log_.Count()) break;
            Put(r.y + row, r.x, log_.Line(i), r.width, A_NORMAL);  // cut, not wrapped
        }
    }

    void DrawStatus(int rows, int cols) {
        if (rows < kRowsOutsideClient) return;
        const int y = rows - 1;
        Fill(y, 0, cols, A_REVERSE);
        std::string line = std::string(" ").append(TerminalText(FormatStatus(status_)));
        const Bounds r = LogRect();
        const std::size_t end = log_.Top() + static_cast<std::size_t>(r.height);
        if (!log_.Following() && end < log_.Count()) {
            const std::string below = "[+" + std::to_string(log_.Count() - end) + "] ";
            if (static_cast<int>(line.size() + below.size()) < cols)
                Put(y, cols - static_cast<int>(below.size()), below, cols, A_REVERSE | A_BOLD);
            cols -= static_cast<int>(below.size());
        }
        Put(y, 0, line, cols, A_REVERSE);
    }

    // Changes from the program (log lines, status) come in bursts during a
    // fetch; they are drawn at most every kRedrawIntervalMs, the rest when
    // the loop next waits. Keys and modal boxes draw at once.
    void Invalidate() {
        if (!screen_) return;
        if (NowMs() >= lastDraw_ + kRedrawIntervalMs)
            Redraw();
        else
            dirty_ = true;
    }

    void Redraw() {
        dirty_ = false;
        if (!screen_ || (!shown_ && modal_.empty())) return;
        lastDraw_ = NowMs();
        const int rows = getmaxy(stdscr), cols = getmaxx(stdscr);
        werase(stdscr);
        DrawTitle(cols);
        if (rows > kMenuRow) DrawMenuBar(cols);
        DrawLog();
        DrawStatus(rows, cols);
        DrawPopup(menu_, kMenuRow + 1);
        int cursorY = -1, cursorX = -1;
        for (Modal* modal : modal_) {
            cursorY = cursorX = -1;  // only the topmost box has the caret
            if (modal->dialog)
                DrawDialog(*modal->dialog, &cursorY, &cursorX);
            else
                DrawMessageBox(modal->caption, modal->lines);
        }
        if (cursorY >= 0 && cursorX >= 0 && cursorX < cols) {
            wmove(stdscr, cursorY, cursorX);
            curs_set(1);
        } else {
            curs_set(0);
        }
        wnoutrefresh(stdscr);
        doupdate();
    }

    static constexpr std::uint64_t kRedrawIntervalMs = 40;

    SCREEN* screen_;
    std::FILE* in_;
    std::FILE* out_;
    WindowHandle main_ = 0;
    WindowHandle input_ = 0;
    bool shown_ = false;
    bool hungUp_ = false;
    bool dirty_ = false;
    std::uint64_t lastDraw_ = 0;
    std::string title_;
    MenuBar menu_;
    LogView log_;
    Bounds bounds_;
    bool boundsSet_ = false;
    Status status_;
    std::vector<Modal*> modal_;  // the topmost last
};

void GiveBackTerminal() {
    if (g_live) g_live->Close();
}

}  // namespace

std::unique_ptr<Backend> MakeTerminalBackend() {
    if (!isatty(fileno(stdin)) || !isatty(fileno(stdout))) return nullptr;
    // 8-bit text is drawn as Latin-1 cells; curses needs the terminal's encoding for that.
    std::setlocale(LC_CTYPE, "");
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (!screen) return nullptr;
    set_term(screen);
    return std::make_unique<TerminalBackend>(screen, stdin, stdout);
}

}  // namespace plat::ui
