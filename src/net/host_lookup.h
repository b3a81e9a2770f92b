// Asynchronous host-name lookups whose completion arrives at the event
// window as message 1025.
#pragma once

#include <cstdint>

#include "net/callback_registry.h"
#include "net/stream_socket.h"
#include "platform/resolver.h"

namespace net {

enum class RequestState : int { Idle = 0, Pending = 1, Complete = 2 };

class CLookupClient {
public:
    // Called exactly once per completed request, from the dispatch of its
    // completion message; error is 0 or a Windows Sockets error.
    virtual void LookupCallback(std::uint32_t clientValue, int error) = 0;
    virtual ~CLookupClient() = default;
};

// One asynchronous database request.
class CAsyncRequest : public CEventTarget {
public:
    static constexpr int kBufferSize = 1024;

    CAsyncRequest();
    CAsyncRequest(const CAsyncRequest&) = delete;
    CAsyncRequest& operator=(const CAsyncRequest&) = delete;

    // The completion: unregisters, records the outcome and calls the client.
    void EventCallback(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                       plat::LParam lParam) override;
    // Issues the request; returns its task handle, or 0 with the error in
    // plat::LastLookupError().
    virtual plat::TaskHandle IssueRequest() = 0;
    // Cancels a pending request and frees the buffer.
    ~CAsyncRequest() override;

    // 0 in flight; 1 when a request is pending already (lastError 1 too);
    // otherwise the error of IssueRequest.
    int Start(CLookupClient* client, std::uint32_t clientValue);
    // 0 when a pending request was abandoned (the client is not called and a
    // completion already queued is dropped); 2 when none was pending
    // (lastError 2 too); otherwise the cancel's error.
    int Cancel();

    RequestState State() const { return state; }
    plat::TaskHandle Handle() const { return handle; }

protected:
    char* buffer;  // kBufferSize bytes, owned
    CLookupClient* client = nullptr;
    std::uint32_t clientValue = 0;
    RequestState state = RequestState::Idle;
    plat::TaskHandle handle = 0;

public:
    int lastError = 0;
};

class CHostLookup : public CAsyncRequest {
public:
    plat::TaskHandle IssueRequest() override;

    // Hand out the resolved IPv4 addresses in the resolver's order, one at a
    // time, as family 2, port 0, the address. found is false (and the record's
    // address 0) past the last one or when the lookup is not Complete.
    void FirstAddress(CInetAddress& address, bool& found);
    void NextAddress(CInetAddress& address, bool& found);
    // The same over every address, IPv6 ones included, in the resolver's
    // order (found false past the last). Shares the position with the above.
    void FirstAddress(CNetAddress& address, bool& found);
    void NextAddress(CNetAddress& address, bool& found);

protected:
    int nextIndex = 0;

public:
    const char* hostName = nullptr;  // not owned; set before each Start
};

}  // namespace net
