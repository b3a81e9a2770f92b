// Start-up and clean-up of the sockets layer for the process.
//
// Static objects and their order. Three objects live for the whole process
// and must be built in this order, and torn down in the reverse order at
// exit: the callback registry, the sockets start-up object, and the
// application's posting input stream. Each is a function-local static whose
// accessor first calls the accessor of its predecessor, so the order does not
// depend on how the linker orders the initialisers of different files:
//
//   CallbackRegistry()   registry, built empty
//   WinsockInit()        calls CallbackRegistry(), then builds CWinsockInit(0x0101, 0x0101)
//
// The application adds the third the same way, in its own file:
//
//   std::ifstream& PostingStream() {
//       WinsockInit();
//       static std::ifstream stream;
//       return stream;
//   }
//   static std::ifstream& builtBeforeMain = PostingStream();
//
// The file that defines WinsockInit() likewise touches it from a namespace-
// scope initialiser, so all of them are built before main runs.
#pragma once

#include <cstdint>

#include "platform/socket.h"

class CWinsockInit {
public:
    // Starts the sockets layer and checks that the granted version is at
    // least requiredVersion (major in the low byte, minor in the high byte).
    CWinsockInit(std::uint16_t requestedVersion, std::uint16_t requiredVersion);
    CWinsockInit(const CWinsockInit&) = delete;
    CWinsockInit& operator=(const CWinsockInit&) = delete;
    // Runs Cleanup.
    ~CWinsockInit();

    // Stops the sockets layer when start-up succeeded; a failure is recorded
    // in startupError. Runs at most once.
    void Cleanup();
    int StartupError() const { return startupError; }
    bool Started() const { return started != 0; }

    plat::SocketsStartupInfo wsaData{};
    int startupError = 0;  // 0, the start-up error, or 10092 for a version too low
    int started = 0;       // start-up succeeded, so clean-up is owed
};

// The process's one start-up object (see above).
CWinsockInit& WinsockInit();
