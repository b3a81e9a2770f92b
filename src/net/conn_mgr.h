// Turns a server name (or dotted IPv4 address) and port into a connected
// stream without blocking, moving on to the next resolved address after an
// unreachable network or a time-out.
#pragma once

#include <cstdint>
#include <string>

#include "net/deferred_call.h"
#include "net/host_lookup.h"
#include "net/state_drive.h"
#include "net/stream_socket.h"

namespace net {

enum class ConnectResult : int {
    None = 0,  // set when an attempt starts; never reported
    Cancelled = 1,
    Connected = 2,
    Failed = 3,  // lastError holds the code
};

class CConnectClient {
public:
    virtual void ConnectCallback(std::uint32_t clientValue, ConnectResult result) = 0;
    virtual ~CConnectClient() = default;
};

class CConnMgr : public CLookupClient, public CStreamClient {
public:
    enum ConnMgrEvent : int {
        Enter = 0,
        LookupDone = 1,          // lastError holds the lookup's error
        ConnectAttemptDone = 2,  // lastError holds ConnectDone's error
        CancelRequested = 3,
        StreamBroken = 4,  // an unexpected stream event while connecting
        ReportDue = 5,     // the deferred report of an attempt that ended in Start
    };

    CConnMgr(CConnectClient* client, std::uint32_t clientValue);
    CConnMgr(const CConnMgr&) = delete;
    CConnMgr& operator=(const CConnMgr&) = delete;

    void LookupCallback(std::uint32_t clientValue, int error) override;
    ~CConnMgr() override;
    void StreamCallback(std::uint32_t cookie, StreamEvent kind, int error,
                        const void* data) override;

    // False, doing nothing, unless Idle; else true with the attempt under way. The
    // stream is owned by this manager until the attempt ends; then it is
    // given to savedClient with savedCookie, and after that one
    // ConnectCallback reports the outcome. ConnectCallback is never made
    // from inside Start: an attempt that ends there is reported from the
    // message loop after Start has returned.
    bool Start(const char* hostName, std::uint16_t port, CStreamSocket* stream,
               CStreamClient* savedClient, std::uint32_t savedCookie);
    // Abandons an attempt: notify reports Cancelled from inside Cancel,
    // otherwise it keeps silent (a report already scheduled is dropped too).
    // No effect when Idle. Must not be called from inside ConnectCallback.
    void Cancel(bool notify);

    bool IsIdle() const { return state.Is(&CConnMgr::Idle); }
    ConnectResult Result() const { return result; }
    const CHostLookup& Lookup() const { return lookup; }

private:
    CConnectClient* client;
    std::uint32_t clientValue;
    ConnectResult result = ConnectResult::None;
    std::string hostName;
    std::uint16_t port = 0;
    CStreamSocket* stream = nullptr;
    CStreamClient* savedClient = nullptr;
    std::uint32_t savedCookie = 0;
    StateDrive<CConnMgr> state{&CConnMgr::Idle};
    bool isDottedAddress = false;
    CHostLookup lookup;
    CNetAddress address;

public:
    int lastError = 0;

private:
    bool notifyClient = false;
    bool inStart = false;    // Start is running its drive
    bool reporting = false;  // ConnectCallback is running
    CDeferredCall report;    // carries an outcome reached inside Start to the loop

    void Drive(int event) { state.Drive(*this, event); }
    int FailWith(int error);
    // After a failure that another address may not share, moves on to the
    // next resolved address; false when there is none to try.
    bool TryNextAddress(int error);
    static void OnReportDue(void* self);

    int Idle(int event);
    int Begin(int event);
    int AwaitLookup(int event);
    int StartConnect(int event);
    int AwaitConnect(int event);
    int Finish(int event);
};

}  // namespace net
