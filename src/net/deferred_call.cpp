#include "net/deferred_call.h"

#include "net/event_window.h"
#include "platform/wsa_errors.h"

namespace net {

namespace {

// Tokens are never reused, so a message left from an earlier Post can never
// be taken for a later one.
std::uint32_t nextToken = 1;

}  // namespace

CDeferredCall::~CDeferredCall() {
    Cancel();
}

int CDeferredCall::Post() {
    Cancel();
    const plat::WindowHandle window = GetEventWindow();
    if (window == 0) return plat::wsa::Invalid;
    std::uint32_t token = nextToken++;
    if (token == 0) token = nextToken++;
    if (!plat::PostMessage(window, EVENT_MSG_DEFERRED, token, 0)) return plat::wsa::Invalid;
    token_ = token;
    RegisterCallback(token_, CallbackKind::Deferred);
    return 0;
}

void CDeferredCall::Cancel() {
    if (token_ == 0) return;
    UnregisterCallback(token_, CallbackKind::Deferred);
    plat::RemoveQueuedMessages(GetEventWindow(), EVENT_MSG_DEFERRED, token_);
    token_ = 0;
}

void CDeferredCall::EventCallback(plat::WindowHandle, unsigned, plat::WParam wParam, plat::LParam) {
    if (token_ == 0 || wParam != token_) return;
    UnregisterCallback(token_, CallbackKind::Deferred);
    token_ = 0;
    handler_(context_);
}

}  // namespace net
