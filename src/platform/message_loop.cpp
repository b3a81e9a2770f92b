#include "platform/message_loop.h"

#include "platform/loop_wait.h"

#include <algorithm>
#include <deque>
#include <map>
#include <unordered_map>
#include <utility>

namespace plat {

namespace {

// Windows clamp shorter intervals the same way; a zero interval would
// otherwise keep an idle loop spinning.
constexpr unsigned kMinTimerIntervalMs = 10;

struct WindowRecord {
    WindowProc proc = nullptr;
    std::uintptr_t data = 0;
    bool destroying = false;
};

struct TimerRecord {
    unsigned intervalMs = 0;
    std::uint64_t due = 0;
};

struct PollPart {
    LoopSource* source;
    std::size_t first;
    std::size_t count;
};

struct PollBuffers {
    std::vector<LoopSource*> sources;
    std::vector<PollFd> fds;
    std::vector<PollPart> parts;
};

struct LoopState {
    std::unordered_map<std::string, WindowProc> classes;
    std::unordered_map<WindowHandle, WindowRecord> windows;
    WindowHandle nextWindow = 1;
    std::deque<Message> queue;
    std::map<std::pair<WindowHandle, unsigned>, TimerRecord> timers;
    std::vector<LoopSource*> sources;
    bool quitPending = false;
    int quitCode = 0;
    // How many window procedures are running; a quit is consumed only by a
    // loop that runs outside every procedure, so nested loops cannot swallow it.
    int procDepth = 0;
    // The buffers of a round of the sources, kept between rounds so that a
    // round allocates nothing. A nested round finds them taken and makes its
    // own.
    PollBuffers spare;
};

// Never destroyed: static teardowns at exit may still close sockets or post.
LoopState& State() {
    static LoopState* state = new LoopState;
    return *state;
}

LResult CallProc(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    LoopState& s = State();
    auto it = s.windows.find(window);
    if (it == s.windows.end()) return 0;
    // Copy: the procedure may create windows and rehash the table.
    WindowProc proc = it->second.proc;
    ++s.procDepth;
    LResult result = proc(window, message, wParam, lParam);
    --s.procDepth;
    return result;
}

bool IsRegisteredSource(LoopSource* source) {
    const auto& sources = State().sources;
    return std::find(sources.begin(), sources.end(), source) != sources.end();
}

// One round of the sources: collect, poll (timeoutMs, -1 for no limit),
// dispatch. Every source is dispatched after the poll even when nothing is
// ready, so that it can act on its own timeouts.
void PollOnce(int timeoutMs) {
    LoopState& s = State();
    PollBuffers b = std::move(s.spare);
    // The sources as they are now: a Dispatch may add or remove some.
    b.sources.assign(s.sources.begin(), s.sources.end());
    b.fds.clear();
    b.parts.clear();
    int timeout = timeoutMs;
    for (LoopSource* source : b.sources) {
        const std::size_t first = b.fds.size();
        int sourceTimeout = -1;
        source->Collect(b.fds, sourceTimeout);
        b.parts.push_back({source, first, b.fds.size() - first});
        if (sourceTimeout >= 0 && (timeout < 0 || sourceTimeout < timeout)) timeout = sourceTimeout;
    }
    for (PollFd& p : b.fds) p.revents = 0;
    if (WaitForSources(b.fds.data(), b.fds.size(), timeout) < 0) {
        for (PollFd& p : b.fds) p.revents = 0;
    }
    for (const PollPart& part : b.parts) {
        if (!IsRegisteredSource(part.source)) continue;  // removed by an earlier Dispatch
        part.source->Dispatch(b.fds.data() + part.first, part.count);
    }
    State().spare = std::move(b);
}

// How long a wait may last given the queue and the timers; requested -1
// means no limit of its own.
int WaitTimeout(int requested) {
    LoopState& s = State();
    if (!s.queue.empty() || s.quitPending) return 0;
    int timeout = requested;
    if (!s.timers.empty()) {
        std::uint64_t earliest = UINT64_MAX;
        for (const auto& [key, timer] : s.timers) earliest = std::min(earliest, timer.due);
        const std::uint64_t now = NowMs();
        const std::uint64_t wait = earliest > now ? earliest - now : 0;
        const int waitMs = wait > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wait);
        if (timeout < 0 || waitMs < timeout) timeout = waitMs;
    }
    return timeout;
}

// Timer messages are made when they are taken, so a busy loop finds at most
// one per timer however many periods went by.
bool TakeDueTimer(Message& out) {
    LoopState& s = State();
    const std::uint64_t now = NowMs();
    auto due = s.timers.end();
    for (auto it = s.timers.begin(); it != s.timers.end(); ++it) {
        if (it->second.due > now) continue;
        if (due == s.timers.end() || it->second.due < due->second.due) due = it;
    }
    if (due == s.timers.end()) return false;
    due->second.due = now + due->second.intervalMs;
    out = Message{due->first.first, msg::Timer, due->first.second, 0};
    return true;
}

bool PopPosted(Message& out) {
    LoopState& s = State();
    if (s.queue.empty()) return false;
    out = s.queue.front();
    s.queue.pop_front();
    return true;
}

void TakeQuit(Message& out) {
    LoopState& s = State();
    out = Message{0, msg::Quit, static_cast<WParam>(s.quitCode), 0};
    if (s.procDepth == 0) s.quitPending = false;
}

}  // namespace

bool RegisterWindowClass(const std::string& className, WindowProc proc) {
    if (proc == nullptr || className.empty()) return false;
    return State().classes.emplace(className, proc).second;
}

bool IsWindowClassRegistered(const std::string& className) {
    return State().classes.count(className) != 0;
}

WindowHandle CreateWindow(const std::string& className, LParam createParam) {
    LoopState& s = State();
    auto cls = s.classes.find(className);
    if (cls == s.classes.end()) return 0;
    const WindowHandle window = s.nextWindow++;
    s.windows[window] = WindowRecord{cls->second, 0, false};
    if (CallProc(window, msg::Create, 0, createParam) == -1) {
        DestroyWindow(window);
        return 0;
    }
    return IsWindow(window) ? window : 0;
}

bool DestroyWindow(WindowHandle window) {
    LoopState& s = State();
    auto it = s.windows.find(window);
    if (it == s.windows.end()) return false;
    if (it->second.destroying) return true;
    it->second.destroying = true;
    CallProc(window, msg::Destroy, 0, 0);
    for (auto t = s.timers.begin(); t != s.timers.end();) {
        t = t->first.first == window ? s.timers.erase(t) : std::next(t);
    }
    RemoveQueuedMessagesIf([window](const Message& m) { return m.window == window; });
    s.windows.erase(window);
    return true;
}

bool IsWindow(WindowHandle window) {
    return window != 0 && State().windows.count(window) != 0;
}

std::uintptr_t GetWindowData(WindowHandle window) {
    auto& windows = State().windows;
    auto it = windows.find(window);
    return it == windows.end() ? 0 : it->second.data;
}

void SetWindowData(WindowHandle window, std::uintptr_t data) {
    auto& windows = State().windows;
    auto it = windows.find(window);
    if (it != windows.end()) it->second.data = data;
}

LResult DefWindowProc(WindowHandle window, unsigned message, WParam, LParam) {
    if (message == msg::Close) DestroyWindow(window);
    return 0;
}

bool PostMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    // Window 0 is a message for the thread itself: GetMessage returns it and
    // DispatchMessage has nobody to give it to.
    if (window != 0 && !IsWindow(window)) return false;
    State().queue.push_back(Message{window, message, wParam, lParam});
    return true;
}

LResult SendMessage(WindowHandle window, unsigned message, WParam wParam, LParam lParam) {
    return CallProc(window, message, wParam, lParam);
}

bool GetMessage(Message& out) {
    // A look at the sources first, so that readiness is queued in time order
    // with what was posted.
    PollOnce(0);
    for (;;) {
        if (PopPosted(out)) return true;
        if (State().quitPending) {
            TakeQuit(out);
            return false;
        }
        if (TakeDueTimer(out)) return true;
        PollOnce(WaitTimeout(-1));
    }
}

bool PeekMessage(Message& out) {
    PollOnce(0);
    if (PopPosted(out)) return true;
    if (State().quitPending) {
        TakeQuit(out);
        return true;
    }
    return TakeDueTimer(out);
}

LResult DispatchMessage(const Message& m) {
    if (m.window == 0) return 0;
    if (m.message == msg::Timer) {
        // A timer killed after its message was taken sends nothing more.
        if (State().timers.count({m.window, static_cast<unsigned>(m.wParam)}) == 0) return 0;
    }
    return CallProc(m.window, m.message, m.wParam, m.lParam);
}

void PostQuitMessage(int exitCode) {
    LoopState& s = State();
    s.quitPending = true;
    s.quitCode = exitCode;
}

int QuitCode() {
    return State().quitCode;
}

int RunMessageLoop() {
    Message m;
    while (GetMessage(m)) DispatchMessage(m);
    return static_cast<int>(m.wParam);
}

void RemoveQueuedMessages(WindowHandle window, unsigned message, WParam wParam) {
    RemoveQueuedMessagesIf([=](const Message& m) {
        return m.window == window && m.message == message && m.wParam == wParam;
    });
}

void RemoveQueuedMessagesIf(const std::function<bool(const Message&)>& match) {
    auto& queue = State().queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(), match), queue.end());
}

std::size_t QueuedMessageCount() {
    return State().queue.size();
}

bool SetTimer(WindowHandle window, unsigned id, unsigned intervalMs) {
    if (!IsWindow(window)) return false;
    const unsigned interval = std::max(intervalMs, kMinTimerIntervalMs);
    State().timers[{window, id}] = TimerRecord{interval, NowMs() + interval};
    return true;
}

bool KillTimer(WindowHandle window, unsigned id) {
    return State().timers.erase({window, id}) != 0;
}

void AddLoopSource(LoopSource* source) {
    if (source == nullptr || IsRegisteredSource(source)) return;
    State().sources.push_back(source);
}

void RemoveLoopSource(LoopSource* source) {
    auto& sources = State().sources;
    sources.erase(std::remove(sources.begin(), sources.end(), source), sources.end());
}

void PollSources(int timeoutMs) {
    PollOnce(WaitTimeout(timeoutMs < 0 ? -1 : timeoutMs));
}

void ResetMessageLoopForTests() {
    LoopState& s = State();
    s.classes.clear();
    s.windows.clear();
    s.queue.clear();
    s.timers.clear();
    s.quitPending = false;
    s.quitCode = 0;
    s.procDepth = 0;
    // Sources stay: they belong to the modules that added them (sockets,
    // resolver, signals) and outlive any one test.
}

}  // namespace plat
