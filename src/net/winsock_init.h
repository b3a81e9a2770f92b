// Start-up of the sockets layer for the process.
#pragma once

namespace net {

// Built once, before the event window: from then on a write to a connection
// the peer has closed reports an error instead of ending the process.
class CWinsockInit {
public:
    CWinsockInit();
    CWinsockInit(const CWinsockInit&) = delete;
    CWinsockInit& operator=(const CWinsockInit&) = delete;
};

// The process's one start-up object.
CWinsockInit& WinsockInit();

}  // namespace net
