// Windows Sockets error numbers, which the network layer and session compare
// against, and the one place where errno values are mapped to them.
#pragma once

namespace plat {

namespace wsa {
constexpr int Interrupted = 10004;
constexpr int BadFile = 10009;
constexpr int AccessDenied = 10013;
constexpr int Fault = 10014;
constexpr int Invalid = 10022;
constexpr int TooManyOpen = 10024;
constexpr int WouldBlock = 10035;
constexpr int InProgress = 10036;
constexpr int Already = 10037;
constexpr int NotSocket = 10038;
constexpr int MessageSize = 10040;
constexpr int AddressFamilyNotSupported = 10047;
constexpr int AddressInUse = 10048;
constexpr int AddressNotAvailable = 10049;
constexpr int NetworkDown = 10050;
constexpr int NetworkUnreachable = 10051;
constexpr int NetworkReset = 10052;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int NoBuffers = 10055;
constexpr int IsConnected = 10056;
constexpr int NotConnected = 10057;
constexpr int Shutdown = 10058;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int HostDown = 10064;
constexpr int HostUnreachable = 10065;
constexpr int SystemNotReady = 10091;
constexpr int VersionNotSupported = 10092;
constexpr int NotInitialised = 10093;
constexpr int HostNotFound = 11001;
constexpr int TryAgain = 11002;
constexpr int NoRecovery = 11003;
constexpr int NoData = 11004;
}  // namespace wsa

// Maps an errno value to the Windows Sockets number (Invalid for values
// that have no counterpart). EINPROGRESS gives WouldBlock, as a connect in
// progress does in Windows Sockets; EPIPE gives ConnectionAborted; EBADF
// and ENOTSOCK give NotSocket.
int WsaFromErrno(int err);

}  // namespace plat
