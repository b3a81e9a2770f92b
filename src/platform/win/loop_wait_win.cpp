// The wait of the message loop on Windows: the thread's Windows queue. Every
// event (socket, lookup, console signal, the frame's input) arrives as a
// Windows message; the hidden sink window turns its own into platform
// messages, and the frame's go to its window procedure as usual.
#include "platform/win/event_sink.h"

#include "platform/loop_wait.h"


namespace plat {

namespace win {

namespace {

constexpr wchar_t kSinkClass[] = L"QivNewsEventSink";
constexpr int kHandlers = 8;
constexpr UINT_PTR kDrainTimer = 1;
constexpr UINT kDrainIntervalMs = 20;  // how late a platform timer may come meanwhile
SinkHandler g_handlers[kHandlers] = {};
int g_foreign = 0;        // foreign loops running
bool g_draining = false;  // the sink is dispatching the platform's messages

// The platform's queue, as its own loop would take it, from inside a
// foreign one.
void Drain() {
    if (g_draining) return;
    g_draining = true;
    Message m;
    while (PeekMessage(m) && m.message != msg::Quit) DispatchMessage(m);
    g_draining = false;
}

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const UINT slot = message - WM_APP;
    if (message >= WM_APP && slot < kHandlers) {
        if (g_handlers[slot] != nullptr) g_handlers[slot](wParam, lParam);
        if (g_foreign > 0) Drain();
        return 0;
    }
    if (message == WM_TIMER && wParam == kDrainTimer) {
        if (g_foreign > 0) Drain();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

HWND EventSink() {
    static HWND sink = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = SinkProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kSinkClass;
        RegisterClassW(&wc);
        return CreateWindowExW(0, kSinkClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
    }();
    return sink;
}

void SetSinkHandler(UINT message, SinkHandler handler) {
    const UINT slot = message - WM_APP;
    if (slot < kHandlers) g_handlers[slot] = handler;
}

void BeginForeignLoop() {
    if (g_foreign++ == 0) SetTimer(EventSink(), kDrainTimer, kDrainIntervalMs, nullptr);
}

void EndForeignLoop() {
    if (g_foreign > 0 && --g_foreign == 0) KillTimer(EventSink(), kDrainTimer);
}

}  // namespace win

int WaitForSources(PollFd* fds, std::size_t count, int timeoutMs) {
    for (std::size_t i = 0; i < count; ++i) fds[i].revents = 0;
    win::EventSink();
    MSG m;
    // What waits already is taken first; otherwise wait for the next.
    if (!PeekMessageW(&m, win::g_draining ? win::EventSink() : nullptr, 0, 0, PM_NOREMOVE)) {
        const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
        MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE | MWMO_ALERTABLE);
    }
    // Inside a foreign loop only the sink's own messages are taken: the
    // dialog's belong to its loop (keyboard navigation, its end).
    const HWND only = win::g_draining ? win::EventSink() : nullptr;
    while (PeekMessageW(&m, only, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) break;  // the platform has its own quit
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return 0;
}

std::uint64_t NowMs() {
    return GetTickCount64();
}

}  // namespace plat
