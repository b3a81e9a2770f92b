// The thread's message queue and its windows.
//
// Everything in the program runs on one thread and moves forward through
// messages: a window is a procedure plus one pointer-sized slot of data, a
// posted message waits in a FIFO queue, a sent message calls the procedure
// at once. The loop also waits on file descriptors (sockets, the resolver,
// the signal pipe) and on timers, and turns their readiness into posted
// messages, so that every event reaches the program through dispatch.
#pragma once

#ifndef _WIN32
#include <poll.h>
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

using WindowHandle = std::uintptr_t;  // 0 is "no window"; handles are never reused
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

// What a loop source waits on. On Windows sockets and lookups report through
// window messages instead, so no descriptor is ever polled there.
#ifdef _WIN32
struct PollFd {
    std::intptr_t fd;
    short events;
    short revents;
};
#else
using PollFd = ::pollfd;
#endif

using WindowProc = LResult (*)(WindowHandle window, unsigned message, WParam wParam, LParam lParam);

// Message numbers the platform itself generates or understands. They keep the
// values the program's stored state and tests were written against.
namespace msg {
constexpr unsigned Create = 0x0001;   // sent inside CreateWindow; lParam = create param
constexpr unsigned Destroy = 0x0002;  // sent inside DestroyWindow
constexpr unsigned Size = 0x0005;     // wParam 0, lParam = height << 16 | width
constexpr unsigned Close = 0x0010;    // default handling destroys the window
constexpr unsigned Quit = 0x0012;     // returned by PeekMessage after PostQuitMessage
constexpr unsigned Command = 0x0111;  // wParam = command id
constexpr unsigned Timer = 0x0113;    // wParam = timer id
constexpr unsigned User = 0x0400;     // first number free for the program
}  // namespace msg

struct Message {
    WindowHandle window = 0;
    unsigned message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
};

// Window classes and windows.
bool RegisterWindowClass(const std::string& className, WindowProc proc);
bool IsWindowClassRegistered(const std::string& className);
// Creates a window and sends it msg::Create (lParam = createParam) before
// returning. A procedure that answers Create with -1 makes the call fail (0).
WindowHandle CreateWindow(const std::string& className, LParam createParam = 0);
// Sends msg::Destroy, kills the window's timers, drops its queued messages.
bool DestroyWindow(WindowHandle window);
bool IsWindow(WindowHandle window);
std::uintptr_t GetWindowData(WindowHandle window);
void SetWindowData(WindowHandle window, std::uintptr_t data);
LResult DefWindowProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam);

// Queue.
bool PostMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
LResult SendMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam);
// Waits for the next message. Returns false when the quit message comes.
bool GetMessage(Message& out);
// Takes one waiting message without waiting: posted messages first, then
// readiness of descriptors and due timers (collected without blocking), then
// a pending quit (returned as msg::Quit). Returns false when nothing waits.
bool PeekMessage(Message& out);
LResult DispatchMessage(const Message& m);
// Ends the outermost GetMessage loop with the given code once the queue is
// empty. A loop nested inside a window procedure (a modal dialog, a peek
// loop) also sees the quit (GetMessage false, PeekMessage msg::Quit with the
// code in wParam) but leaves it pending, so that the outer loop ends too;
// only a loop running outside every procedure consumes it.
void PostQuitMessage(int exitCode);
int QuitCode();
// Runs GetMessage/DispatchMessage until quit; returns the quit code.
int RunMessageLoop();
// Drops every queued message matching window, message and wParam.
void RemoveQueuedMessages(WindowHandle window, unsigned message, WParam wParam);
// Drops every queued message for which match() holds.
void RemoveQueuedMessagesIf(const std::function<bool(const Message&)>& match);
std::size_t QueuedMessageCount();

// Timers: periodic, one per (window, id). WM_TIMER is generated only when no
// posted message waits, and at most one is ever pending per timer; the next
// one falls due an interval after the last was taken. Intervals below 10 ms
// count as 10 ms. SetTimer on an existing (window, id) restarts it.
bool SetTimer(WindowHandle window, unsigned id, unsigned intervalMs);
bool KillTimer(WindowHandle window, unsigned id);

// Something besides the queue that the loop waits on: sockets, the
// resolver, the signal pipe. Collect adds descriptors and may shorten the
// wait (milliseconds, -1 for none); Dispatch receives the polled entries it
// added (same order) and posts whatever messages they call for. Dispatch is
// called after every poll, even when nothing it added is ready or the wait
// timed out, so that a source can act on its own timeouts. Sources stay
// registered across ResetMessageLoopForTests.
class LoopSource {
public:
    virtual ~LoopSource() = default;
    virtual void Collect(std::vector<PollFd>& fds, int& timeoutMs) = 0;
    virtual void Dispatch(const PollFd* fds, std::size_t count) = 0;
};
void AddLoopSource(LoopSource* source);
void RemoveLoopSource(LoopSource* source);

// Waits at most timeoutMs (or until something is posted) and turns readiness
// into messages. Tests use it through PumpUntil.
void PollSources(int timeoutMs);

// Milliseconds of a monotonic clock.
std::uint64_t NowMs();

// Test and tool support: dispatches messages until pred() holds or the bound
// passes; a quit message ends it early. Returns pred().
template <class Pred>
bool PumpUntil(Pred pred, int boundMs = 10000) {
    const std::uint64_t deadline = NowMs() + static_cast<std::uint64_t>(boundMs);
    while (!pred()) {
        Message m;
        if (PeekMessage(m)) {
            if (m.message == msg::Quit) return pred();
            DispatchMessage(m);
            continue;
        }
        const std::uint64_t now = NowMs();
        if (now >= deadline) return pred();
        const std::uint64_t left = deadline - now;
        PollSources(static_cast<int>(left < 50 ? left : 50));
    }
    return true;
}

// Forgets every window, class, timer and queued message; for tests.
void ResetMessageLoopForTests();

}  // namespace plat
