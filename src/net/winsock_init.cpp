#include "net/winsock_init.h"

#include "net/callback_registry.h"
#include "platform/wsa_errors.h"

CWinsockInit::CWinsockInit(std::uint16_t requestedVersion, std::uint16_t requiredVersion) {
    startupError = plat::SocketsStartup(requestedVersion, wsaData);
    if (startupError != 0) {
        started = 0;
        return;
    }
    started = 1;
    // A version word holds the major number in its low byte.
    const unsigned grantedMajor = wsaData.version & 0xFF;
    const unsigned grantedMinor = wsaData.version >> 8;
    const unsigned requiredMajor = requiredVersion & 0xFF;
    const unsigned requiredMinor = requiredVersion >> 8;
    if (grantedMajor < requiredMajor ||
        (grantedMajor == requiredMajor && grantedMinor < requiredMinor)) {
        // Still started: the clean-up is owed all the same.
        startupError = plat::wsa::VersionNotSupported;
    }
}

CWinsockInit::~CWinsockInit() {
    Cleanup();
}

void CWinsockInit::Cleanup() {
    if (started == 0) return;
    started = 0;
    const int error = plat::SocketsCleanup();
    if (error != 0) startupError = error;
}

CWinsockInit& WinsockInit() {
    // The registry first, so that it is torn down after this object.
    CallbackRegistry();
    static CWinsockInit init(0x0101, 0x0101);
    return init;
}
