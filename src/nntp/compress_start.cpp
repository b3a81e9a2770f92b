// Compressing the link (COMPRESS DEFLATE, RFC 8054), once the owner has
// logged in: credentials never go through the compressor, where over TLS
// the length of what is sent could give them away. A server that refuses
// is used uncompressed; a stream that does not inflate breaks the exchange
// like a lost connection.
#include <cstdio>
#include <cstring>

#include "nntp/nntp_session.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kLineTooLong = "Reply line too long";

}  // namespace

void CNntpSession::StartCompression(plat::WindowHandle window, unsigned message) {
    Request(window, message, CompressReq);
}

const char* CNntpSession::LostReason(const char* reason) const {
    // Whatever fails after the stream broke (a send, the link) fails by it.
    if (!deflate.Broken()) return reason;
    static char text[kReceiveSize];
    std::snprintf(text, sizeof text, "The compressed stream from the server is corrupt (%s)",
                  deflate.Problem().c_str());
    return text;
}

// CompressCommand: a command state (as UserCommand).
//   Enter   already compressed, or off: post Success       Ready
//           auto without a list that holds                  CompressCapaCommand
//           auto, the list names no COMPRESS DEFLATE:
//           post Success                                    Ready
//           otherwise send COMPRESS DEFLATE                 CompressReply
int CNntpSession::CompressCommand(int event) {
    switch (event) {
        case Enter:
            if (deflate.Active() || serverConfig.compress == CompressOff) {
                Notify(ResultSuccess, 0);
                return Go(&CNntpSession::Ready);
            }
            if (serverConfig.compress == CompressAuto) {
                if (!capabilitiesRead) return Go(&CNntpSession::CompressCapaCommand);
                if (!compressOffered) {
                    Notify(ResultSuccess, 0);
                    return Go(&CNntpSession::Ready);
                }
            }
            std::strcpy(commandBuffer, "COMPRESS DEFLATE\r\n");
            return SendCommand(&CNntpSession::CompressReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// CompressReply: compression starts with the first byte after the CR LF
// of the 206, in both directions; bytes already read behind the line are
// the first of the compressed stream.
//   206                           start the layer; post Success   Ready
//   Reply4, Reply5                refuse (uncompressed)           Ready
//   other reply, Fault            break (either side may already
//                                 be compressing)                 Ended
//   Overflow                      break                           Ended
//   LinkLost, TimedOut            break                           Ended
//   CloseReq                      Closed                          Closing
int CNntpSession::CompressReply(int event) {
    switch (event) {
        case Reply2:
            if (std::strncmp(currentLine, "206", 3) != 0) break;
            if (deflate.Begin(&stream, &tls, this, receiveBuffer, receiveCount) != 0)
                return Break("Compression cannot be set up", false);
            receiveCount = 0;
            Notify(ResultSuccess, 0);
            return Go(&CNntpSession::Ready);
        case Reply4:
        case Reply5:
            closeResult = ResultFailure;
            return Refuse();
        case Reply1:
        case Reply3:
        case Fault:
            break;
        case Overflow:
            return Break(kLineTooLong, false);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
    return Break(currentLine, false);
}

// CompressCapaCommand: a command state that sends CAPABILITIES.
int CNntpSession::CompressCapaCommand(int event) {
    switch (event) {
        case Enter:
            std::strcpy(commandBuffer, "CAPABILITIES\r\n");
            return SendCommand(&CNntpSession::CompressCapaReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// CompressCapaReply
//   Reply1 (the list follows)     multi-line mode                 CompressCapaData
//   other reply, Fault            no list: post Success           Ready
//   Overflow                      break, QUIT first               Abandoning
//   LinkLost, TimedOut            break                           Ended
//   CloseReq                      Closed                          Closing
int CNntpSession::CompressCapaReply(int event) {
    switch (event) {
        case Reply1:
            multiLine = true;
            compressOffered = readerListed = false;
            return Go(&CNntpSession::CompressCapaData);
        case Reply2:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
            // A server without CAPABILITIES offers no COMPRESS either.
            capabilitiesRead = true;
            compressOffered = false;
            Notify(ResultSuccess, 0);
            return Go(&CNntpSession::Ready);
        case Overflow:
            return Break(kLineTooLong, true);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// CompressCapaData
//   DataLine                      note COMPRESS DEFLATE           -
//   DataEnd                       decide                          CompressCommand
//   LinkLost, TimedOut            break                           Ended
//   CloseReq                      Closed                          Closing
int CNntpSession::CompressCapaData(int event) {
    switch (event) {
        case DataLine:
            NoteCapability();
            return 0;
        case DataEnd:
            multiLine = false;
            capabilitiesRead = true;
            return Go(&CNntpSession::CompressCommand);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut:
            return Break(SilenceReason(), false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

}  // namespace nntp
