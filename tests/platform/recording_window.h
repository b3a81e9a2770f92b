// A window class for the platform tests: every message a window receives is
// logged, and a test may give a window its own handler.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "platform/message_loop.h"

namespace qivtest {

using Handler = std::function<plat::LResult(const plat::Message&)>;

struct Recorder {
    std::vector<plat::Message> log;
    std::map<plat::WindowHandle, Handler> handlers;

    static Recorder& Get() {
        static Recorder recorder;
        return recorder;
    }

    static plat::LResult Proc(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                              plat::LParam lParam) {
        const plat::Message m{window, message, wParam, lParam};
        Get().log.push_back(m);
        auto it = Get().handlers.find(window);
        if (it != Get().handlers.end() && it->second) {
            Handler handler = it->second;  // may replace itself
            return handler(m);
        }
        return plat::DefWindowProc(window, message, wParam, lParam);
    }

    // Messages window received, optionally only those numbered message.
    std::vector<plat::Message> For(plat::WindowHandle window, unsigned message = 0) const {
        std::vector<plat::Message> out;
        for (const auto& m : log)
            if (m.window == window && (message == 0 || m.message == message)) out.push_back(m);
        return out;
    }

    std::size_t Count(plat::WindowHandle window, unsigned message) const {
        return For(window, message).size();
    }
};

constexpr const char* kTestClass = "QivTestWindow";

// Fresh loop and class for every test.
inline void ResetLoop() {
    plat::ResetMessageLoopForTests();
    Recorder::Get().log.clear();
    Recorder::Get().handlers.clear();
    plat::RegisterWindowClass(kTestClass, &Recorder::Proc);
}

inline plat::WindowHandle NewWindow(Handler handler = nullptr) {
    const plat::WindowHandle w = plat::CreateWindow(kTestClass);
    if (handler) Recorder::Get().handlers[w] = std::move(handler);
    return w;
}

// Spins for ms without touching the loop: a handler that is busy.
inline void BusyFor(unsigned ms) {
    const std::uint64_t until = plat::NowMs() + ms;
    while (plat::NowMs() < until) {
    }
}

}  // namespace qivtest
