#include "net/conn_mgr.h"

#include <cstring>
#include <string>

#include "net/warning.h"
#include "platform/inet.h"
#include "platform/wsa_errors.h"

namespace net {

CConnMgr::CConnMgr(CConnectClient* connectClient, std::uint32_t connectClientValue)
    : client(connectClient), clientValue(connectClientValue), report(&CConnMgr::OnReportDue, this) {
    address.family = AF_INET;
}

CConnMgr::~CConnMgr() = default;

bool CConnMgr::Start(const char* host, std::uint16_t hostPort, CStreamSocket* connectStream,
                     CStreamClient* owner, std::uint32_t ownerCookie) {
    if (!IsIdle() || host == nullptr || connectStream == nullptr) return false;
    result = ConnectResult::None;
    hostName = host;
    port = hostPort;
    stream = connectStream;
    savedClient = owner;
    savedCookie = ownerCookie;
    notifyClient = true;
    stream->client = this;
    stream->clientCookie = 0;
    stream->Close();
    state.Set(&CConnMgr::Begin);
    inStart = true;
    Drive(Enter);
    inStart = false;
    return true;
}

void CConnMgr::Cancel(bool notify) {
    if (IsIdle()) return;
    notifyClient = notify;
    Drive(CancelRequested);
}

void CConnMgr::LookupCallback(std::uint32_t, int error) {
    lastError = error;
    Drive(LookupDone);
}

void CConnMgr::StreamCallback(std::uint32_t, StreamEvent kind, int error, const void*) {
    lastError = error;
    if (kind == StreamEvent::ConnectDone) {
        Drive(ConnectAttemptDone);
        return;
    }
    stream->Close();
    ShowWarning("Unexpected socket event in CConnMgr::StreamCallback");
    // The warning may have let a Cancel end the attempt meanwhile; if not,
    // the attempt fails here rather than wait for ever.
    Drive(StreamBroken);
}

void CConnMgr::OnReportDue(void* self) {
    static_cast<CConnMgr*>(self)->Drive(ReportDue);
}

int CConnMgr::FailWith(int error) {
    lastError = error;
    result = ConnectResult::Failed;
    state.Set(&CConnMgr::Finish);
    return 1;
}

int CConnMgr::Idle(int) {
    return 0;
}

int CConnMgr::Begin(int) {
    const in_addr_t dotted = inet_addr(hostName.c_str());
    if (dotted != INADDR_NONE) {
        isDottedAddress = true;
        address = CNetAddress();
        address.family = AF_INET;
        std::memcpy(address.bytes, &dotted, 4);
        state.Set(&CConnMgr::StartConnect);
        return 1;
    }
    // An IPv6 address, bare or in brackets as in a URL: no lookup either.
    std::string literal = hostName;
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
        literal = literal.substr(1, literal.size() - 2);
    in6_addr v6{};
    if (inet_pton(AF_INET6, literal.c_str(), &v6) == 1) {
        isDottedAddress = true;
        address = CNetAddress();
        address.family = AF_INET6;
        std::memcpy(address.bytes, &v6, 16);
        state.Set(&CConnMgr::StartConnect);
        return 1;
    }
    isDottedAddress = false;
    lookup.hostName = hostName.c_str();
    lastError = lookup.Start(this, 0);
    if (lastError != 0) return FailWith(lastError);
    state.Set(&CConnMgr::AwaitLookup);
    return 1;
}

int CConnMgr::AwaitLookup(int event) {
    if (event == CancelRequested) {
        lookup.Cancel();
        result = ConnectResult::Cancelled;
        state.Set(&CConnMgr::Finish);
        return 1;
    }
    if (event != LookupDone) return 0;
    if (lastError != 0) return FailWith(lastError);
    bool found = false;
    lookup.FirstAddress(address, found);  // either family
    if (found) {
        state.Set(&CConnMgr::StartConnect);
        return 1;
    }
    // A name without any address: nothing to connect to. The attempt is
    // ended before the warning, whose box dispatches messages while open, so
    // that a Cancel arriving meanwhile finds it ending and not waiting.
    FailWith(plat::wsa::NoData);
    ShowWarning("Can't access address following lookup in CConnMgr::AwaitLookup");
    return 1;
}

int CConnMgr::StartConnect(int) {
    address.port = htons(port);
    lastError = stream->Connect(address);
    if (lastError == 0 || lastError == plat::wsa::WouldBlock) {
        // Even a connection made at once is reported through ConnectDone.
        state.Set(&CConnMgr::AwaitConnect);
        return 1;
    }
    const int error = lastError;
    stream->Close();
    // A machine without IPv6 refuses such an address at once.
    if (TryNextAddress(error)) return 1;
    return FailWith(error);
}

bool CConnMgr::TryNextAddress(int error) {
    // A refusal is the server's answer and ends the attempt; these say only
    // that this address cannot be reached from here.
    const bool unreachable =
        error == plat::wsa::NetworkUnreachable || error == plat::wsa::TimedOut ||
        error == plat::wsa::AddressNotAvailable || error == plat::wsa::AddressFamilyNotSupported;
    if (!unreachable || isDottedAddress) return false;
    CNetAddress next;
    bool found = false;
    lookup.NextAddress(next, found);
    if (!found) return false;
    address = next;
    stream->Close();
    state.Set(&CConnMgr::StartConnect);
    return true;
}

int CConnMgr::AwaitConnect(int event) {
    switch (event) {
        case ConnectAttemptDone: {
            if (lastError == 0) {
                result = ConnectResult::Connected;
                state.Set(&CConnMgr::Finish);
                return 1;
            }
            if (TryNextAddress(lastError)) return 1;
            const int error = lastError;
            stream->Close();
            return FailWith(error);
        }
        case CancelRequested:
            stream->Close();
            result = ConnectResult::Cancelled;
            state.Set(&CConnMgr::Finish);
            return 1;
        case StreamBroken:
            // The stream is closed already. An event without an error of its
            // own still has to leave a code for the client to read.
            return FailWith(lastError != 0 ? lastError : plat::wsa::ConnectionAborted);
        default:
            return 0;
    }
}

int CConnMgr::Finish(int event) {
    if (reporting) return 0;  // a Cancel from inside ConnectCallback
    if (report.Pending()) {
        // Waiting for the loop to deliver an outcome reached inside Start.
        if (event == CancelRequested) {
            report.Cancel();
            result = ConnectResult::Cancelled;
        } else if (event != ReportDue) {
            return 0;
        }
    } else if (event == CancelRequested) {
        // A Cancel that came while a warning box was open: it decides.
        result = ConnectResult::Cancelled;
    } else if (inStart && notifyClient && report.Post() == 0) {
        // The client is inside Start and must not be called from there.
        return 0;
    }
    hostName.clear();
    lookup.hostName = nullptr;
    stream->client = savedClient;
    stream->clientCookie = savedCookie;
    if (notifyClient && client != nullptr) {
        reporting = true;
        client->ConnectCallback(clientValue, result);
        reporting = false;
    }
    state.Set(&CConnMgr::Idle);
    return 1;
}

}  // namespace net
