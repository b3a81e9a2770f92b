#include "platform/wsa_errors.h"

#include <cerrno>

namespace plat {

int WsaFromErrno(int err) {
    switch (err) {
        case 0:
            return 0;
        case EINTR:
            return wsa::Interrupted;
        case EBADF:
        case ENOTSOCK:
            return wsa::NotSocket;
        case EACCES:
        case EPERM:
            return wsa::AccessDenied;
        case EFAULT:
            return wsa::Fault;
        case EINVAL:
            return wsa::Invalid;
        case EMFILE:
        case ENFILE:
            return wsa::TooManyOpen;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        // A non-blocking connect in progress answers "would block", as
        // Windows Sockets does; the connect notification follows.
        case EINPROGRESS:
            return wsa::WouldBlock;
        case EALREADY:
            return wsa::Already;
        case EMSGSIZE:
            return wsa::MessageSize;
        case EADDRINUSE:
            return wsa::AddressInUse;
        case EAFNOSUPPORT:
            return wsa::AddressFamilyNotSupported;
        case EADDRNOTAVAIL:
            return wsa::AddressNotAvailable;
        case ENETDOWN:
            return wsa::NetworkDown;
        case ENETUNREACH:
            return wsa::NetworkUnreachable;
        case ENETRESET:
            return wsa::NetworkReset;
        // Writing to a connection that is already gone: Linux says EPIPE once
        // the reset has been reported; the connection was aborted either way.
        case EPIPE:
        case ECONNABORTED:
            return wsa::ConnectionAborted;
        case ECONNRESET:
            return wsa::ConnectionReset;
        case ENOBUFS:
        case ENOMEM:
            return wsa::NoBuffers;
        case EISCONN:
            return wsa::IsConnected;
        case ENOTCONN:
            return wsa::NotConnected;
#ifdef ESHUTDOWN
        case ESHUTDOWN:
            return wsa::Shutdown;
#endif
        case ETIMEDOUT:
            return wsa::TimedOut;
        case ECONNREFUSED:
            return wsa::ConnectionRefused;
#ifdef EHOSTDOWN
        case EHOSTDOWN:
            return wsa::HostDown;
#endif
        case EHOSTUNREACH:
            return wsa::HostUnreachable;
        default:
            return wsa::Invalid;
    }
}

}  // namespace plat
