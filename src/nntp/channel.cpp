// The session's way to the server: the socket, with the TLS layer over it
// when the connection is secured and the compression layer over both once
// COMPRESS has been answered. Plaintext is compressed first, then encrypted.
#include "nntp/nntp_session.h"

namespace nntp {

void CNntpSession::StartConnection() {
    connMgr.Start(serverConfig.host.c_str(), static_cast<std::uint16_t>(serverConfig.port & 0xFFFF),
                  &stream, this, 0);
}

void CNntpSession::CancelConnection() {
    connMgr.Cancel(false);
}

int CNntpSession::SendBytes(const void* buffer, int length) {
    if (deflate.Active()) return deflate.Send(buffer, length);
    if (tls.Active()) return tls.Send(buffer, length);
    return stream.Send(buffer, length);
}

int CNntpSession::ReceiveBytes(void* buffer, int& length) {
    if (deflate.Active()) return deflate.Receive(buffer, length);
    if (tls.Active()) return tls.Receive(buffer, length);
    return stream.Receive(buffer, length);
}

// The layers go after the socket: until it is closed it may still hold
// their buffers in its queue.
void CNntpSession::CloseConnection() {
    if (tls.Active()) {
        tls.Close();
    } else {
        stream.Close();
    }
    deflate.Reset();
}

void CNntpSession::ResetChannels() {
    if (tls.Active()) tls.Close();
    deflate.Reset();
    capabilitiesRead = false;
    compressOffered = false;
}

}  // namespace nntp
