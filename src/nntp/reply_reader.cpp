// The receiving half of the session: turns the byte stream into CR LF lines,
// classifies each into an event and drives it, one line at a time, so that a
// line that switches multi-line mode governs the lines held behind it.
#include <cstring>

#include "net/warning.h"
#include "nntp/nntp_session.h"
#include "platform/wsa_errors.h"

namespace nntp {

namespace {

constexpr const char* kLineTooLong = "Reply line too long";

}  // namespace

void CNntpSession::StreamCallback(std::uint32_t, net::StreamEvent kind, int error,
                                  const void* data) {
    switch (kind) {
        case net::StreamEvent::Readable:
            OnReadable();
            return;
        case net::StreamEvent::SendDone:
            if (error == 0) MarkProgress();
            // The "." sent ahead of a posted line completes silently; the
            // commands of a pipelined fetch are the pipeline's.
            if (data != commandBuffer) {
                PipelineSent(data, error);
                return;
            }
            commandQueued = false;
            waitingWritable = false;
            // A queued command that the socket gave up never reached the
            // server: the connection has failed.
            Drive(error == 0 ? Writable : LinkLost);
            return;
        case net::StreamEvent::Closed:
            Drive(LinkLost);
            return;
        case net::StreamEvent::ConnectDone:
            // Only the TLS layer reports it to the session: its handshake ended.
            if (tls.Active()) {
                Drive(error == 0 ? SecureOk : SecureFailed);
                return;
            }
            net::ShowWarning("Unknown socket error");
            return;
        default:
            net::ShowWarning("Unknown socket error");
            return;
    }
}

void CNntpSession::ConnectCallback(std::uint32_t, net::ConnectResult result) {
    switch (result) {
        case net::ConnectResult::Connected:
            MarkProgress();  // the wait for the greeting starts
            Drive(ConnectOk);
            return;
        case net::ConnectResult::Failed:
            Drive(Fault);
            return;
        default:
            return;
    }
}

void CNntpSession::OnReadable() {
    int length = kReceiveSize - receiveCount;
    const int result = ReceiveBytes(receiveBuffer + receiveCount, length);
    if (result != 0 && result != plat::wsa::WouldBlock) {
        net::ShowWarning("Error reading socket");
        return;
    }
    if (length > 0) {
        MarkProgress();
        receivedAny = true;
    }
    receiveCount += length;
    ExtractLines();
}

void CNntpSession::TakeLine(int length) {
    std::memcpy(currentLine, receiveBuffer, static_cast<std::size_t>(length));
    currentLine[length] = '\0';
    currentLength = length;
}

void CNntpSession::Consume(int count) {
    receiveCount -= count;
    std::memmove(receiveBuffer, receiveBuffer + count, static_cast<std::size_t>(receiveCount));
}

namespace {

// The offset of the first CR LF, or -1.
int FindLineEnd(const char* buffer, int count) {
    const char* p = buffer;
    const char* end = buffer + count;
    while (p < end) {
        const char* cr = static_cast<const char*>(std::memchr(p, '\r', end - p));
        if (cr == nullptr || cr + 1 >= end) return -1;
        if (cr[1] == '\n') return static_cast<int>(cr - buffer);
        p = cr + 1;
    }
    return -1;
}

}  // namespace

void CNntpSession::ExtractLines() {
    for (;;) {
        const int length = FindLineEnd(receiveBuffer, receiveCount);
        if (length >= 0) {
            if (skippingLine) {
                skippingLine = false;
                Consume(length + 2);
                continue;
            }
            TakeLine(length);
            Consume(length + 2);
            if (multiLine) {
                const bool dot = !lineContinued && length == 1 && currentLine[0] == '.';
                Drive(dot ? DataEnd : DataLine);
            } else {
                const char first = length > 0 ? currentLine[0] : '\0';
                DriveReply((first >= '1' && first <= '5') ? Reply1 + (first - '1') : Fault);
            }
            lineContinued = false;
            continue;
        }
        if (receiveCount < kReceiveSize) return;

        // The buffer is full without a line end. Its last byte stays: it may
        // be the CR of a CR LF whose LF has not arrived.
        const int piece = kReceiveSize - 1;
        if (multiLine && !skippingLine) {
            // A data line is stored whole, whatever its length.
            TakeLine(piece);
            Consume(piece);
            Drive(DataPart);
            lineContinued = true;
        } else {
            Consume(piece);
            if (!skippingLine) {
                skippingLine = true;
                DriveReply(Overflow);
            }
        }
    }
}

// A reply that arrives while our command still waits in the socket's queue
// answers something the server cannot have read: it is out of step, and
// nothing it says can be matched to our commands any more. The exchange
// breaks at once, without QUIT, which the server would read behind a
// command it has already "answered". Since only a reply (or a completed
// send, while posting) leads to the next write of commandBuffer, this is
// also what keeps that buffer unchanged while the socket holds it.
void CNntpSession::DriveReply(int event) {
    if (!commandQueued) {
        Drive(event);
        return;
    }
    Break(event == Overflow ? kLineTooLong : currentLine, false);
}

}  // namespace nntp
