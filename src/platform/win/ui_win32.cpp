// The Windows build's interface: a top-level frame with the menu bar, the
// activity log as a list box and the cycle's status in a status bar; the
// dialogs come from resources (qivnews.rc) and run in Windows' own modal
// loop, which dispatches the program's other messages meanwhile.
//
// The frame is a view of the application's main window, as the terminal
// is: menu choices, the close box and size changes are posted to the main
// window as msg::Command, msg::Close and msg::Size. Sizes are given in cells
// of 10 pixels, so that the log's one-cell margin is the 10-pixel margin of
// the classic layout; its bounds keep their distance from the nearer edge.
//
// Text is 8-bit: each byte is shown as the Latin-1 character of its value,
// after the same cleaning the terminal applies.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>
#include <commctrl.h>

// windows.h names its functions as macros; the platform's functions of the
// same names must stay themselves in this file.
#undef CreateWindow
#undef DefWindowProc
#undef DispatchMessage
#undef GetMessage
#undef MessageBox
#undef PeekMessage
#undef PostMessage
#undef SendMessage

#include <algorithm>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/ui_widgets.h"
#include "platform/win/event_sink.h"
#include "platform/win/resource.h"

namespace plat::ui {

namespace {

constexpr wchar_t kFrameClass[] = L"QivNewsClient";
constexpr int kCellPixels = 10;
constexpr std::size_t kLogCapacity = 20000;  // as the terminal's log keeps

std::wstring Widen(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (const char c : text) out.push_back(static_cast<unsigned char>(c));
    return out;
}

// What the user typed, back to bytes: Latin-1, anything beyond it as '?'.
std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(*text <= 0xFF ? static_cast<char>(*text) : '?');
    return out;
}

std::wstring Shown(const std::string& text) {
    return Widen(widgets::TerminalText(text));
}

HINSTANCE Instance() {
    return GetModuleHandleW(nullptr);
}

// One dialog on its way through the modal loop.
struct DialogRun {
    Dialog* model;
    bool ended = false;
    int result = 2;
};

bool IsModelButton(const Dialog& d, int id) {
    const Control* c = d.Find(id);
    return c != nullptr && (c->kind == ControlKind::Button || c->kind == ControlKind::DefaultButton);
}

// The answers, from the controls into the model.
void Collect(HWND dialog, Dialog& d) {
    for (Control& c : d.controls) {
        if (c.id < 0) continue;
        HWND item = GetDlgItem(dialog, c.id);
        if (item == nullptr) continue;
        if (c.kind == ControlKind::Edit || c.kind == ControlKind::Password) {
            std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1);
            GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
            c.text = Narrow(text.data());
        } else if (c.kind == ControlKind::Radio) {
            c.checked = IsDlgButtonChecked(dialog, c.id) == BST_CHECKED;
        }
    }
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* run = reinterpret_cast<DialogRun*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG: {
            run = reinterpret_cast<DialogRun*>(lParam);
            SetWindowLongPtrW(dialog, DWLP_USER, lParam);
            Dialog& d = *run->model;
            SetWindowTextW(dialog, Shown(d.caption).c_str());
            for (const Control& c : d.controls) {
                if (c.id < 0) continue;
                HWND item = GetDlgItem(dialog, c.id);
                if (item == nullptr) continue;
                if (c.kind == ControlKind::Edit || c.kind == ControlKind::Password) {
                    SendMessageW(item, EM_LIMITTEXT, c.maxLength, 0);
                    SetWindowTextW(item, Widen(c.text).c_str());
                } else if (c.kind == ControlKind::Radio) {
                    CheckDlgButton(dialog, c.id, c.checked ? BST_CHECKED : BST_UNCHECKED);
                }
            }
            if (d.focus >= 0 && GetDlgItem(dialog, d.focus) != nullptr) {
                SetFocus(GetDlgItem(dialog, d.focus));
                return FALSE;  // the focus stays where it was put
            }
            return TRUE;
        }
        case WM_COMMAND: {
            if (run == nullptr) return FALSE;
            const int id = LOWORD(wParam);
            // Enter and Escape arrive as 1 and 2 whether or not such a button exists.
            if (HIWORD(wParam) != BN_CLICKED || (id != IDOK && id != IDCANCEL && !IsModelButton(*run->model, id)))
                return FALSE;
            Dialog& d = *run->model;
            Collect(dialog, d);
            // The handler may refuse (and warn in a box of its own) to keep the dialog open.
            if (d.onCommand && !d.onCommand(d, id)) return TRUE;
            run->ended = true;
            run->result = id;
            EndDialog(dialog, id);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

// A dialog without a resource: an in-memory template laid out in rows as
// the terminal lays it out, a cell taken as 4 by 14 dialog units.
class TemplateWriter {
public:
    std::vector<WORD> words;

    void Dword(DWORD v) {
        words.push_back(LOWORD(v));
        words.push_back(HIWORD(v));
    }
    void Text(const std::wstring& s) {
        for (const wchar_t c : s) words.push_back(static_cast<WORD>(c));
        words.push_back(0);
    }
    void Align() {
        if (words.size() % 2 != 0) words.push_back(0);
    }
    void Item(DWORD style, int x, int y, int cx, int cy, int id, WORD kind, const std::wstring& text) {
        Align();
        Dword(style | WS_CHILD | WS_VISIBLE);
        Dword(0);
        for (const int v : {x, y, cx, cy}) words.push_back(static_cast<WORD>(v));
        words.push_back(static_cast<WORD>(id));
        words.push_back(0xFFFF);
        words.push_back(kind);
        Text(text);
        words.push_back(0);
    }
};

std::vector<WORD> BuildTemplate(const Dialog& d) {
    const widgets::DialogLayout layout = widgets::LayoutDialog(d, 76);
    constexpr int kX = 4, kY = 14, kMargin = 7;
    TemplateWriter t;
    t.Dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT);
    t.Dword(0);
    t.words.push_back(static_cast<WORD>(layout.placed.size()));
    t.words.push_back(0);
    t.words.push_back(0);
    t.words.push_back(static_cast<WORD>(layout.width * kX + 2 * kMargin));
    t.words.push_back(static_cast<WORD>(layout.height * kY + 2 * kMargin));
    t.words.push_back(0);  // no menu
    t.words.push_back(0);  // the dialog class
    t.Text(Widen(d.caption));
    t.words.push_back(8);
    t.Text(L"MS Sans Serif");
    bool groupOpen = false;
    for (const widgets::PlacedControl& p : layout.placed) {
        const Control& c = d.controls[p.index];
        const int x = kMargin + p.col * kX, y = kMargin + p.row * kY;
        const int width = std::max(p.width, 1) * kX;
        const int id = c.id < 0 ? 0xFFFF : c.id;
        switch (c.kind) {
            case ControlKind::Edit:
            case ControlKind::Password:
                t.Item(WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL |
                           (c.kind == ControlKind::Password ? ES_PASSWORD : 0),
                       x, y, width + 2 * kX, 12, id, 0x0081, L"");
                break;
            case ControlKind::Radio:
                t.Item(BS_AUTORADIOBUTTON | (groupOpen ? 0 : WS_GROUP), x, y, width + 4 * kX, 10,
                       id, 0x0080, Widen(c.text));
                groupOpen = true;
                continue;
            case ControlKind::Button:
            case ControlKind::DefaultButton:
                t.Item((c.kind == ControlKind::DefaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) |
                           WS_TABSTOP | WS_GROUP,
                       x, y, std::max(width, 12) * kX / 2 + 16, 14, id, 0x0080, Widen(c.text));
                break;
            case ControlKind::Icon:
                t.Item(SS_ICON, x, y, 20, 20, id, 0x0082, L"#102");
                break;
            default:
                t.Item(SS_LEFT | WS_GROUP, x, y + 2, width, 8, id, 0x0082, Widen(c.text));
                break;
        }
        groupOpen = false;
    }
    return t.words;
}

class Win32Backend final : public Backend {
public:
    bool Create() {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
        InitCommonControlsEx(&controls);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        if (!GetClassInfoExW(Instance(), kFrameClass, &wc)) {
            wc = WNDCLASSEXW{};
            wc.cbSize = sizeof wc;
            wc.style = CS_HREDRAW | CS_VREDRAW;
            wc.lpfnWndProc = FrameProc;
            wc.hInstance = Instance();
            wc.hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_QIVNEWS));
            wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
            wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
            wc.lpszClassName = kFrameClass;
            if (!RegisterClassExW(&wc)) return false;
        }
        frame_ = CreateWindowExW(0, kFrameClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 720, 480, nullptr, nullptr,
                                 Instance(), this);
        return frame_ != nullptr;
    }

    ~Win32Backend() override {
        if (frame_ != nullptr) {
            SetWindowLongPtrW(frame_, GWLP_USERDATA, 0);
            DestroyWindow(frame_);
        }
    }

    // ------------------------------------------------------------ Backend
    void Attach(WindowHandle mainWindow) override { main_ = mainWindow; }

    void SetTitle(const std::string& title) override {
        SetWindowTextW(frame_, Shown(title).c_str());
    }

    void SetMenu(const Menu& menu) override {
        model_.Set(menu);
        HMENU bar = CreateMenu();
        for (const MenuPopup& popup : menu) {
            HMENU items = CreatePopupMenu();
            for (const MenuItem& item : popup.items) {
                if (item.IsSeparator())
                    AppendMenuW(items, MF_SEPARATOR, 0, nullptr);
                else
                    AppendMenuW(items, MF_STRING | (item.grayed ? MF_GRAYED : MF_ENABLED),
                                item.command, Widen(item.text).c_str());
            }
            AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(items), Widen(popup.text).c_str());
        }
        HMENU old = GetMenu(frame_);
        ::SetMenu(frame_, bar);
        if (old != nullptr) DestroyMenu(old);
        Layout();  // the menu bar takes its height from the client area
    }

    void SetMenuItemGrayed(unsigned command, bool grayed) override {
        model_.SetGrayed(command, grayed);
        if (HMENU bar = GetMenu(frame_)) {
            EnableMenuItem(bar, command, MF_BYCOMMAND | (grayed ? MF_GRAYED : MF_ENABLED));
            DrawMenuBar(frame_);
        }
    }

    bool MenuItemGrayed(unsigned command) const override { return model_.Grayed(command); }

    void Show() override {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        GetStartupInfoW(&startup);
        const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 &&
                                 startup.wShowWindow != SW_HIDE
                             ? startup.wShowWindow
                             : SW_SHOWNORMAL;
        ShowWindow(frame_, show);
        UpdateWindow(frame_);
        PostSize();
    }

    void LogAdd(const std::string& line) override {
        if (log_ == nullptr) return;
        // The view follows the newest line unless the user scrolled back.
        const LRESULT count = SendMessageW(log_, LB_GETCOUNT, 0, 0);
        const bool following = count == 0 || LastLineShown(count);
        if (static_cast<std::size_t>(count) >= kLogCapacity) SendMessageW(log_, LB_DELETESTRING, 0, 0);
        const LRESULT added = SendMessageW(log_, LB_ADDSTRING, 0,
                                           reinterpret_cast<LPARAM>(Shown(line).c_str()));
        if (following && added >= 0) SendMessageW(log_, LB_SETTOPINDEX, added, 0);
    }

    void LogReset() override {
        if (log_ != nullptr) SendMessageW(log_, LB_RESETCONTENT, 0, 0);
    }

    std::size_t LogCount() const override {
        if (log_ == nullptr) return 0;
        const LRESULT count = SendMessageW(log_, LB_GETCOUNT, 0, 0);
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    }

    void SetLogBounds(int x, int y, int width, int height) override {
        bounds_ = {x, y, width, height};
        boundsSet_ = true;
        Layout();
    }

    void SetStatus(const Status& status) override {
        if (status_ != nullptr)
            SendMessageW(status_, SB_SETTEXTW, 0,
                         reinterpret_cast<LPARAM>(Shown(" " + widgets::FormatStatus(status)).c_str()));
    }

    int RunDialog(Dialog& dialog) override {
        if (frame_ == nullptr) return 2;
        DialogRun run{&dialog};
        const HWND owner = Owner();
        INT_PTR r = -1;
        // Windows' modal loop runs the dialog; the cycle goes on meanwhile.
        win::BeginForeignLoop();
        if (dialog.templateId != 0 &&
            FindResourceW(Instance(), MAKEINTRESOURCEW(dialog.templateId), MAKEINTRESOURCEW(5)))
            r = DialogBoxParamW(Instance(), MAKEINTRESOURCEW(dialog.templateId), owner, DialogProc,
                                reinterpret_cast<LPARAM>(&run));
        if (r == -1 && !run.ended) {
            const std::vector<WORD> words = BuildTemplate(dialog);
            DialogBoxIndirectParamW(Instance(), reinterpret_cast<LPCDLGTEMPLATEW>(words.data()),
                                    owner, DialogProc, reinterpret_cast<LPARAM>(&run));
        }
        win::EndForeignLoop();
        // Ended by the loop's quit rather than a button: as Cancel.
        return run.ended ? run.result : 2;
    }

    void MessageBox(const std::string& caption, const std::string& text) override {
        win::BeginForeignLoop();
        MessageBoxW(Owner(), Shown(text).c_str(), Shown(caption).c_str(), MB_OK | MB_ICONWARNING);
        win::EndForeignLoop();
    }

    int ClientWidth() const override { return LogArea().right / kCellPixels; }
    int ClientHeight() const override { return LogArea().bottom / kCellPixels; }

private:
    struct Bounds {
        int x = 0, y = 0, width = 0, height = 0;
    };

    static LRESULT CALLBACK FrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<Win32Backend*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
        switch (message) {
            case WM_CREATE:
                self->frame_ = window;
                self->MakeChildren();
                return 0;
            case WM_SIZE:
                if (self->status_ != nullptr) SendMessageW(self->status_, WM_SIZE, 0, 0);
                self->Layout();
                self->PostSize();
                return 0;
            case WM_COMMAND:
                // Menu choices only; the children's notifications stay here.
                if (lParam == 0 && HIWORD(wParam) == 0 && self->main_ != 0)
                    PostMessage(self->main_, msg::Command, LOWORD(wParam), 0);
                return 0;
            case WM_CLOSE:
                // The main window decides; the frame goes with the backend.
                if (self->main_ != 0) PostMessage(self->main_, msg::Close, 0, 0);
                return 0;
            default:
                return DefWindowProcW(window, message, wParam, lParam);
        }
    }

    void MakeChildren() {
        // A failed list box leaves the program running without a visible log.
        log_ = CreateWindowExW(0, L"listbox", nullptr,
                               WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL, 0, 0, 0, 0, frame_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_LOG)), Instance(),
                               nullptr);
        status_ = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                  frame_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)),
                                  Instance(), nullptr);
        if (status_ != nullptr) SendMessageW(status_, WM_SIZE, 0, 0);  // takes its height now
        const HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
        if (log_ != nullptr) SendMessageW(log_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }

    // The client area above the status bar.
    RECT LogArea() const {
        RECT client{};
        if (frame_ == nullptr) return client;
        GetClientRect(frame_, &client);
        // The bar's own style, not IsWindowVisible: the frame is hidden
        // until Show, and the log is laid out before that.
        if (status_ != nullptr && (GetWindowLongW(status_, GWL_STYLE) & WS_VISIBLE) != 0) {
            RECT bar{};
            GetWindowRect(status_, &bar);
            client.bottom = std::max<LONG>(client.bottom - (bar.bottom - bar.top), 0);
        }
        return client;
    }

    void Layout() {
        if (log_ == nullptr || !boundsSet_) return;
        const RECT area = LogArea();
        const int cw = area.right / kCellPixels, ch = area.bottom / kCellPixels;
        // Each side keeps its distance in cells from the edge it is nearer.
        const int left = bounds_.x * kCellPixels, top = bounds_.y * kCellPixels;
        const int right = area.right - (cw - bounds_.x - bounds_.width) * kCellPixels;
        const int bottom = area.bottom - (ch - bounds_.y - bounds_.height) * kCellPixels;
        MoveWindow(log_, left, top, right - left, bottom - top, TRUE);
    }

    void PostSize() {
        if (main_ == 0) return;
        const LParam size =
            (static_cast<LParam>(ClientHeight() & 0xFFFF) << 16) | (ClientWidth() & 0xFFFF);
        PostMessage(main_, msg::Size, 0, size);
    }

    bool LastLineShown(LRESULT count) const {
        RECT box{};
        GetClientRect(log_, &box);
        const LRESULT itemHeight = std::max<LRESULT>(SendMessageW(log_, LB_GETITEMHEIGHT, 0, 0), 1);
        const LRESULT top = SendMessageW(log_, LB_GETTOPINDEX, 0, 0);
        return top + std::max<LRESULT>(box.bottom / itemHeight, 1) >= count;
    }

    // The box a modal window belongs to: the topmost one of ours.
    HWND Owner() const {
        const HWND active = GetActiveWindow();
        return active != nullptr ? active : frame_;
    }

    HWND frame_ = nullptr;
    HWND log_ = nullptr;
    HWND status_ = nullptr;
    WindowHandle main_ = 0;
    widgets::MenuBar model_;
    Bounds bounds_;
    bool boundsSet_ = false;
};

}  // namespace

std::unique_ptr<Backend> MakeWin32Backend() {
    auto backend = std::make_unique<Win32Backend>();
    if (!backend->Create()) return nullptr;
    return backend;
}

}  // namespace plat::ui
