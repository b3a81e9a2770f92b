// A call made later from the message loop instead of from inside the caller:
// Post registers a fresh token under CallbackKind::Deferred and posts
// EVENT_MSG_DEFERRED for it to the event window; the dispatch of that message
// makes the call. Used where a report must not reach a client from inside the
// operation that the client called.
#pragma once

#include <cstdint>

#include "net/callback_registry.h"

namespace net {

class CDeferredCall : public CEventTarget {
public:
    using Handler = void (*)(void* context);

    CDeferredCall(Handler handler, void* context) : handler_(handler), context_(context) {}
    CDeferredCall(const CDeferredCall&) = delete;
    CDeferredCall& operator=(const CDeferredCall&) = delete;
    ~CDeferredCall() override;

    // Schedules one call; a call already scheduled is replaced. Returns 0, or
    // 10022 when there is no event window to post to (nothing is scheduled).
    int Post();
    // Drops a scheduled call, including a message already queued.
    void Cancel();
    bool Pending() const { return token_ != 0; }
    std::uint32_t Token() const { return token_; }

    void EventCallback(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                       plat::LParam lParam) override;

private:
    Handler handler_;
    void* context_;
    std::uint32_t token_ = 0;  // 0 when nothing is scheduled
};

}  // namespace net
