// The Windows window under Wine (on Xvfb): menu, log, status, the dialogs
// from resources and built in memory, message boxes, driven by messages.
// Each modal step is taken by a thread timer that the dialog's own loop
// dispatches, the way a user's click arrives. QIV_SCREENSHOT names a BMP
// file for a picture of the main window at the end.
#include <windows.h>
#include <commctrl.h>

#undef CreateWindow
#undef DefWindowProc
#undef DispatchMessage
#undef GetMessage
#undef MessageBox
#undef PeekMessage
#undef PostMessage
#undef SendMessage

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"
#include "platform/ui_widgets.h"
#include "platform/win/resource.h"

// What the window posts to the application's main window, which here is a
// window of the platform's that keeps every message it gets.
namespace {
std::vector<plat::Message> g_posted;

plat::LResult MainProc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                       plat::LParam lParam) {
    g_posted.push_back(plat::Message{window, message, wParam, lParam});
    return 0;
}

// Dispatches what the platform's queue holds, as its loop would.
void TakePosted() {
    plat::Message m;
    while (plat::PeekMessage(m) && m.message != plat::msg::Quit) plat::DispatchMessage(m);
}
}  // namespace

namespace {

using namespace plat::ui;

plat::WindowHandle kMain = 0;

// Runs Windows' loop until pred() holds or the bound passes.
bool Pump(const std::function<bool()>& pred, int boundMs = 10000) {
    const DWORD deadline = GetTickCount() + static_cast<DWORD>(boundMs);
    while (!pred()) {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) return pred();
            TranslateMessage(&m);
            DispatchMessageW(&m);
            if (pred()) return true;
        }
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) return pred();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return true;
}

bool Posted(unsigned message, plat::WParam wParam) {
    TakePosted();
    for (const plat::Message& m : g_posted)
        if (m.window == kMain && m.message == message && m.wParam == wParam) return true;
    return false;
}

const plat::Message* LastPosted(unsigned message) {
    TakePosted();
    for (auto it = g_posted.rbegin(); it != g_posted.rend(); ++it)
        if (it->message == message) return &*it;
    return nullptr;
}

HWND Frame() {
    return FindWindowW(L"QivNewsClient", nullptr);
}

HWND Log() {
    return GetDlgItem(Frame(), IDC_LOG);
}

std::wstring LogLine(int i) {
    wchar_t text[1024] = L"";
    SendMessageW(Log(), LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = L"";
    GetWindowTextW(window, text, 1024);
    return text;
}

// The steps a user takes inside a modal box, one per tick of a thread timer
// that the box's loop dispatches: each step runs when the box is up.
std::vector<std::function<bool()>> g_steps;
std::size_t g_step = 0;

void CALLBACK StepTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (g_step < g_steps.size() && g_steps[g_step]()) ++g_step;
}

struct Steps {
    UINT_PTR timer;
    explicit Steps(std::vector<std::function<bool()>> steps) {
        g_steps = std::move(steps);
        g_step = 0;
        timer = SetTimer(nullptr, 0, 20, StepTimer);
    }
    ~Steps() { KillTimer(nullptr, timer); }
    bool AllTaken() const { return g_step == g_steps.size(); }
};

HWND Box(const wchar_t* caption) {
    return FindWindowW(L"#32770", caption);
}

// Clicks a button of the open box with this caption; false until it is up.
std::function<bool()> Click(const wchar_t* caption, int id) {
    return [=] {
        const HWND box = Box(caption);
        if (box == nullptr || !IsWindowEnabled(box)) return false;
        SendMessageW(GetDlgItem(box, id), BM_CLICK, 0, 0);
        return true;
    };
}

std::function<bool()> Type(const wchar_t* caption, int id, const wchar_t* text) {
    return [=] {
        const HWND box = Box(caption);
        if (box == nullptr || !IsWindowEnabled(box)) return false;
        SetDlgItemTextW(box, id, text);
        return true;
    };
}

Menu TestMenu() {
    return Menu{
        {"&System",
         {{"&Setup", 40000}, {}, {"&Connect", 40001}, {"&Disconnect", 40002, true}, {},
          {"E&xit", 40003}}},
        {"&Help", {{"&About", 40010}}},
    };
}

class Win32Window : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        plat::RegisterWindowClass("QivUiTestMain", MainProc);
        kMain = plat::CreateWindow("QivUiTestMain");
        ASSERT_NE(kMain, 0u);
        backend_ = MakeWin32Backend().release();
        ASSERT_NE(backend_, nullptr);
        backend_->Attach(kMain);
        backend_->SetTitle("Qiv News Client");
        backend_->SetMenu(TestMenu());
        backend_->Show();
        // As start-up lays out the log: a cell's margin all round.
        backend_->SetLogBounds(1, 1, backend_->ClientWidth() - 2, backend_->ClientHeight() - 2);
    }
    static void TearDownTestSuite() {
        delete backend_;
        backend_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(backend_, nullptr);
        TakePosted();
        g_posted.clear();
        ui().LogReset();
    }
    static Backend& ui() { return *backend_; }
    static Backend* backend_;
};

Backend* Win32Window::backend_ = nullptr;

TEST_F(Win32Window, MenuBarHoldsTheCommandsAndTheirStates) {
    ASSERT_NE(Frame(), nullptr);
    EXPECT_EQ(WindowText(Frame()), L"Qiv News Client");
    HMENU bar = GetMenu(Frame());
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    wchar_t text[64];
    GetMenuStringW(bar, 0, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(text, L"&System");
    HMENU system = GetSubMenu(bar, 0);
    EXPECT_EQ(GetMenuItemCount(system), 6);
    EXPECT_EQ(GetMenuItemID(system, 3), 40002u);
    EXPECT_NE(GetMenuState(system, 1, MF_BYPOSITION) & MF_SEPARATOR, 0u);
    GetMenuStringW(bar, 40003, text, 64, MF_BYCOMMAND);
    EXPECT_STREQ(text, L"E&xit");

    EXPECT_NE(GetMenuState(bar, 40002, MF_BYCOMMAND) & MF_GRAYED, 0u);
    EXPECT_EQ(GetMenuState(bar, 40001, MF_BYCOMMAND) & MF_GRAYED, 0u);
    const struct {
        unsigned command;
        bool grayed;
    } changes[] = {{40001, true}, {40002, false}, {40001, false}, {40002, true}};
    for (const auto& c : changes) {
        ui().SetMenuItemGrayed(c.command, c.grayed);
        EXPECT_EQ((GetMenuState(bar, c.command, MF_BYCOMMAND) & MF_GRAYED) != 0, c.grayed)
            << c.command;
        EXPECT_EQ(ui().MenuItemGrayed(c.command), c.grayed) << c.command;
    }
}

TEST_F(Win32Window, MenuChoicesAndTheCloseBoxReachTheMainWindow) {
    PostMessageW(Frame(), WM_COMMAND, 40010, 0);                 // a menu choice
    PostMessageW(Frame(), WM_COMMAND, MAKEWPARAM(40001, 1), 0);  // an accelerator: no
    PostMessageW(Frame(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(Pump([] { return Posted(plat::msg::Close, 0); }));
    EXPECT_TRUE(Posted(plat::msg::Command, 40010));
    EXPECT_FALSE(Posted(plat::msg::Command, 40001));
    EXPECT_TRUE(IsWindow(Frame())) << "the main window decides whether to close";
}

TEST_F(Win32Window, LogKeepsOrderCleansTextAndFollowsTheNewest) {
    ui().LogAdd("Connecting to server");
    ui().LogAdd("200 caf\xE9 \x1B[2J ready\r");
    EXPECT_EQ(ui().LogCount(), 2u);
    EXPECT_EQ(LogLine(0), L"Connecting to server");
    EXPECT_EQ(LogLine(1), L"200 caf\u00E9 ^[[2J ready^M");
    for (int i = 0; i < 300; ++i) ui().LogAdd("line " + std::to_string(i));
    EXPECT_EQ(ui().LogCount(), 302u);
    const LRESULT top = SendMessageW(Log(), LB_GETTOPINDEX, 0, 0);
    RECT box;
    GetClientRect(Log(), &box);
    const LRESULT rows = box.bottom / SendMessageW(Log(), LB_GETITEMHEIGHT, 0, 0);
    EXPECT_GT(top, 0);
    EXPECT_GE(top + rows, 302) << "the newest line is shown";
    // Scrolled back, the view stays where the user put it.
    SendMessageW(Log(), LB_SETTOPINDEX, 0, 0);
    ui().LogAdd("one more");
    EXPECT_EQ(SendMessageW(Log(), LB_GETTOPINDEX, 0, 0), 0);
    ui().LogReset();
    EXPECT_EQ(ui().LogCount(), 0u);
}

TEST_F(Win32Window, SizeInCellsAndTheLogsTenPixelMargin) {
    SetWindowPos(Frame(), nullptr, 0, 0, 647, 433, SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(Pump([] { return LastPosted(plat::msg::Size) != nullptr; }));
    const plat::LParam size = LastPosted(plat::msg::Size)->lParam;
    const int cw = static_cast<int>(size & 0xFFFF), ch = static_cast<int>(size >> 16);
    EXPECT_EQ(cw, ui().ClientWidth());
    EXPECT_EQ(ch, ui().ClientHeight());
    ui().SetLogBounds(1, 1, cw - 2, ch - 2);
    RECT client, status, log;
    GetClientRect(Frame(), &client);
    GetWindowRect(GetDlgItem(Frame(), IDC_STATUS), &status);
    GetWindowRect(Log(), &log);
    MapWindowPoints(nullptr, Frame(), reinterpret_cast<POINT*>(&log), 2);
    const int above = client.bottom - (status.bottom - status.top);
    EXPECT_EQ(cw, client.right / 10);
    EXPECT_EQ(ch, above / 10);
    EXPECT_EQ(log.left, 10);
    EXPECT_EQ(log.top, 10);
    EXPECT_EQ(log.right, client.right - 10);
    // The list box shows whole lines, so its bottom may stop above the margin.
    EXPECT_LE(log.bottom, above - 10);
    EXPECT_GT(log.bottom, above - 40);
}

TEST_F(Win32Window, StatusBarShowsTheCycle) {
    Status s;
    s.connection = "Connected";
    s.group = "alt.test";
    s.fetched = 42;
    s.minutesToNext = 5;
    ui().SetStatus(s);
    wchar_t text[256] = L"";
    SendMessageW(GetDlgItem(Frame(), IDC_STATUS), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L" Connected | Fetched: 42 | Next: 5 min | Group: alt.test");
}

Dialog SelectGroup(std::function<bool(Dialog&, int)> onCommand = {}) {
    Dialog d;
    d.caption = "Select Group";
    d.templateId = IDD_SELECT_GROUP;
    Control label;
    label.text = "Newsgroup Name";
    Control edit;
    edit.kind = ControlKind::Edit;
    edit.id = 104;
    edit.maxLength = 255;
    Control ok;
    ok.kind = ControlKind::DefaultButton;
    ok.id = 1;
    ok.text = "OK";
    Control cancel;
    cancel.kind = ControlKind::Button;
    cancel.id = 2;
    cancel.text = "Cancel";
    d.controls = {label, edit, ok, cancel};
    d.focus = 104;
    d.onCommand = std::move(onCommand);
    return d;
}

TEST_F(Win32Window, DialogFromItsResourceFillsAndReturnsTheAnswers) {
    Dialog d = SelectGroup();
    d.SetText(104, "was here");
    bool focused = false;
    std::wstring shown;
    Steps steps({[&] {
                     const HWND box = Box(L"Select Group");
                     if (box == nullptr) return false;
                     focused = GetFocus() == GetDlgItem(box, 104);
                     shown = WindowText(GetDlgItem(box, 104));
                     return true;
                 },
                 Type(L"Select Group", 104, L"comp.os.ms-windows.programmer.tools.mfc.caf\u00E9"),
                 Click(L"Select Group", IDOK)});
    EXPECT_EQ(ui().RunDialog(d), 1);
    EXPECT_TRUE(steps.AllTaken());
    EXPECT_TRUE(focused) << "the focus starts in the name box";
    EXPECT_EQ(shown, L"was here");
    EXPECT_EQ(d.Text(104), "comp.os.ms-windows.programmer.tools.mfc.caf\xE9");
    EXPECT_EQ(Box(L"Select Group"), nullptr);
}

TEST_F(Win32Window, RefusedButtonKeepsTheDialogAndEscapeCancels) {
    int asked = 0;
    Dialog d = SelectGroup([&](Dialog& dialog, int id) {
        ++asked;
        return id != 1 || !dialog.Text(104).empty();  // OK needs a name
    });
    Steps steps({Click(L"Select Group", IDOK), [&] { return asked == 1 && Box(L"Select Group"); },
                 [] {
                     const HWND box = Box(L"Select Group");
                     SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // Escape
                     return true;
                 }});
    EXPECT_EQ(ui().RunDialog(d), 2);
    EXPECT_EQ(asked, 2);
}

TEST_F(Win32Window, SetupResourceHasEveryControlAndItsRadioGroups) {
    Dialog d;
    d.caption = "Qiv News Client Configuration";
    d.templateId = IDD_SETUP;
    const int edits[] = {102, 101, 103, 1009, 1010, 1017, 1018, 1019, 1020, 1013};
    for (const int id : edits) {
        Control c;
        c.kind = id == 1010 ? ControlKind::Password : ControlKind::Edit;
        c.id = id;
        c.text = "v" + std::to_string(id);
        d.controls.push_back(c);
    }
    for (const int id : {1011, 1012, 1014, 1015, 1016}) {
        Control c;
        c.kind = ControlKind::Radio;
        c.id = id;
        c.group = id < 1014 ? 1 : 2;
        c.checked = id == 1012 || id == 1016;
        d.controls.push_back(c);
    }
    std::vector<int> missing;
    bool password = false;
    Steps steps({[&] {
                     const HWND box = Box(L"Qiv News Client Configuration");
                     if (box == nullptr) return false;
                     for (const Control& c : d.controls)
                         if (GetDlgItem(box, c.id) == nullptr) missing.push_back(c.id);
                     password = (GetWindowLongW(GetDlgItem(box, 1010), GWL_STYLE) & ES_PASSWORD) != 0;
                     return true;
                 },
                 Click(L"Qiv News Client Configuration", 1011),
                 Click(L"Qiv News Client Configuration", 1015),
                 Type(L"Qiv News Client Configuration", 101, L"news.example.org"),
                 Click(L"Qiv News Client Configuration", IDOK)});
    EXPECT_EQ(ui().RunDialog(d), 1);
    EXPECT_TRUE(missing.empty()) << missing.size() << " ids missing, first " << missing[0];
    EXPECT_TRUE(password);
    EXPECT_EQ(d.Text(101), "news.example.org");
    EXPECT_EQ(d.Text(1013), "v1013");
    // Each group keeps one choice: a click in one leaves the other alone.
    EXPECT_TRUE(d.Checked(1011));
    EXPECT_FALSE(d.Checked(1012));
    EXPECT_TRUE(d.Checked(1015));
    EXPECT_FALSE(d.Checked(1016));
    EXPECT_FALSE(d.Checked(1014));
}

TEST_F(Win32Window, DialogWithoutAResourceIsBuiltFromItsControls) {
    Dialog d = SelectGroup();
    d.caption = "Made in memory";
    d.templateId = 0;
    d.SetText(104, "abc");
    std::wstring label;
    Steps steps({[&] {
                     const HWND box = Box(L"Made in memory");
                     if (box == nullptr) return false;
                     label = WindowText(GetDlgItem(box, 1));
                     return true;
                 },
                 Type(L"Made in memory", 104, L"typed"), Click(L"Made in memory", IDOK)});
    EXPECT_EQ(ui().RunDialog(d), 1);
    EXPECT_EQ(label, L"OK");
    EXPECT_EQ(d.Text(104), "typed");
}

TEST_F(Win32Window, QuitWhileADialogIsOpenEndsItAsCancelAndStaysPending) {
    Dialog d = SelectGroup();
    Steps steps({[] {
        if (Box(L"Select Group") == nullptr) return false;
        PostQuitMessage(3);
        return true;
    }});
    EXPECT_EQ(ui().RunDialog(d), 2);
    MSG m;
    bool quit = false;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
        if (m.message == WM_QUIT) quit = m.wParam == 3;
    EXPECT_TRUE(quit) << "the outer loop still sees the quit";
}

TEST_F(Win32Window, MessageBoxShowsTheCleanedText) {
    std::wstring caption, text;
    Steps steps({[&] {
                     const HWND box = Box(L"Qiv News Client");
                     if (box == nullptr) return false;
                     caption = WindowText(box);
                     text = WindowText(GetDlgItem(box, 0xFFFF));  // the box's text
                     return true;
                 },
                 Click(L"Qiv News Client", IDOK)});
    ui().MessageBox("Qiv News Client", "Warning: \x07 bell");
    EXPECT_TRUE(steps.AllTaken());
    EXPECT_EQ(caption, L"Qiv News Client");
    EXPECT_EQ(text, L"Warning: ^G bell");
}

// Not a check: the picture kept as the test's artifact.
TEST_F(Win32Window, Screenshot) {
    const char* path = std::getenv("QIV_SCREENSHOT");
    if (path == nullptr || *path == '\0') GTEST_SKIP();
    SetWindowPos(Frame(), HWND_TOP, 0, 0, 720, 420, SWP_SHOWWINDOW);
    const plat::LParam size = (static_cast<plat::LParam>(ui().ClientHeight()) << 16) | ui().ClientWidth();
    ui().SetLogBounds(1, 1, static_cast<int>(size & 0xFFFF) - 2, static_cast<int>(size >> 16) - 2);
    const char* lines[] = {"Connecting to server",
                           "200 news.example.org InterNetNews NNRP server INN 2.7.1 ready (posting ok)",
                           "Connected",
                           "Fetching alt.test",
                           "211 3000 1 3000 alt.test",
                           "3000 articles fetched from alt.test",
                           "Posting articles",
                           "No articles to post",
                           "Disconnecting",
                           "205 Bye!",
                           "Disconnected"};
    for (const char* line : lines) ui().LogAdd(line);
    Status s;
    s.connection = "Disconnected";
    s.fetched = 3000;
    s.minutesToNext = 15;
    ui().SetStatus(s);
    RedrawWindow(Frame(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    Pump([] { return false; }, 300);  // let the painting settle; nothing is checked
    RECT r;
    GetWindowRect(Frame(), &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    SelectObject(mem, bitmap);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    file.bfSize = file.bfOffBits + stride * static_cast<DWORD>(h);
    if (std::FILE* out = std::fopen(path, "wb")) {
        std::fwrite(&file, sizeof file, 1, out);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
        std::fwrite(bits, stride, static_cast<std::size_t>(h), out);
        std::fclose(out);
    }
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

}  // namespace
