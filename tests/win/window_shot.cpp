// window_shot OUT.bmp: drives the running qivnews.exe's main window by
// messages, as a user's menu choice would: Connect, then waits until the
// cycle's last line is in the log, checks the menu bar and the log, keeps a
// picture of the window and closes it. Exit status 0 when all was seen.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr UINT kConnect = 40001;  // app/commands.h IDM_CONNECT
constexpr int kLogId = 100;       // platform/win/resource.h IDC_LOG

// Polls until done() holds or boundMs passes, pumping this thread's queue.
template <class F>
bool WaitFor(F done, DWORD boundMs) {
    const ULONGLONG end = GetTickCount64() + boundMs;
    while (!done()) {
        if (GetTickCount64() >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    }
    return true;
}

std::vector<std::wstring> LogLines(HWND log) {
    std::vector<std::wstring> lines;
    const LRESULT n = SendMessageW(log, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        std::wstring line(static_cast<std::size_t>(SendMessageW(log, LB_GETTEXTLEN, i, 0)) + 1, L'\0');
        SendMessageW(log, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line.data()));
        line.resize(wcslen(line.c_str()));
        lines.push_back(line);
    }
    return lines;
}

bool Has(const std::vector<std::wstring>& lines, const wchar_t* text) {
    for (const std::wstring& l : lines)
        if (l.find(text) != std::wstring::npos) return true;
    return false;
}

bool Save(HWND window, const char* path) {
    RECT r;
    GetWindowRect(window, &r);
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
    bool ok = false;
    if (std::FILE* out = std::fopen(path, "wb")) {
        ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
             std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
             std::fwrite(bits, stride, static_cast<std::size_t>(h), out) == static_cast<std::size_t>(h);
        ok = std::fclose(out) == 0 && ok;
    }
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

HWND g_log = nullptr;

int Fail(const char* why) {
    std::fprintf(stderr, "window_shot: %s\n", why);
    if (g_log != nullptr)
        for (const std::wstring& line : LogLines(g_log)) std::fprintf(stderr, "  log: %ls\n", line.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return Fail("usage: window_shot OUT.bmp");
    HWND frame = nullptr;
    if (!WaitFor([&] { return (frame = FindWindowW(L"QivNewsClient", nullptr)) != nullptr; }, 20000))
        return Fail("no main window");
    HWND log = GetDlgItem(frame, kLogId);
    if (log == nullptr) return Fail("no log list box");
    g_log = log;
    // The menu comes once the application has started on the window. (Its
    // items cannot be counted from here: Wine keeps menus per process.)
    if (!WaitFor([&] { return GetMenu(frame) != nullptr; }, 20000))
        return Fail("no menu bar");
    SetWindowPos(frame, HWND_TOP, 0, 0, 760, 460, SWP_SHOWWINDOW);
    PostMessageW(frame, WM_COMMAND, kConnect, 0);
    if (!WaitFor([&] { return Has(LogLines(log), L"Server disconnected"); }, 120000))
        return Fail("the cycle did not end in the log");
    const std::vector<std::wstring> lines = LogLines(log);
    if (!Has(lines, L"Getting messages from alt.test") || !Has(lines, L"Server connected"))
        return Fail("the log lacks the cycle's lines");
    RedrawWindow(frame, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    WaitFor([] { return false; }, 300);  // the painting settles; nothing is checked
    if (!Save(frame, argv[1])) return Fail("cannot write the picture");
    PostMessageW(frame, WM_CLOSE, 0, 0);
    return 0;
}
