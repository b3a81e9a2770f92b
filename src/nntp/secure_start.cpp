// Securing the connection: the TLS handshake (from the first byte, or after
// STARTTLS) and the capability lists around STARTTLS. Nothing of the news
// exchange, the login least of all, goes out before the channel is secured
// and its certificate verified; a server that cannot be secured ends the
// attempt, never a fall back to plain.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include <string>

#include "nntp/nntp_session.h"

namespace nntp {

namespace {

constexpr const char* kConnectionLost = "Connection lost";
constexpr const char* kLineTooLong = "Reply line too long";

// The first word of a capability line, in any letter case.
bool NamesCapability(const char* line, int length, const char* name) {
    const auto n = static_cast<int>(std::strlen(name));
    if (length < n || strncasecmp(line, name, static_cast<std::size_t>(n)) != 0) return false;
    return length == n || line[n] == ' ' || line[n] == '\t';
}

}  // namespace

void CNntpSession::NoteCapability() {
    if (lineContinued) return;
    if (NamesCapability(currentLine, currentLength, "STARTTLS")) startTlsOffered = true;
    if (NamesCapability(currentLine, currentLength, "READER")) readerListed = true;
    // "COMPRESS DEFLATE [other algorithms]"
    if (NamesCapability(currentLine, currentLength, "COMPRESS")) {
        for (const char* p = currentLine + 8; *p != '\0';) {
            while (*p == ' ' || *p == '\t') ++p;
            const char* word = p;
            while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
            if (p - word == 7 && strncasecmp(word, "DEFLATE", 7) == 0) compressOffered = true;
        }
    }
}

int CNntpSession::SecurityBreak(const std::string& why, bool quitFirst) {
    std::snprintf(securityProblem, sizeof securityProblem, "TLS: %s", why.c_str());
    return Break(securityProblem, quitFirst);
}

// Handshaking: TLS is being set up on the connection.
//   Enter          begin the handshake (it cannot: break)        Ended
//   SecureOk       after STARTTLS: CAPABILITIES again            CapaCommand
//                  TLS from the first byte: wait for it          Greeting
//   SecureFailed   break with the cause                          Ended
//   LinkLost       break                                         Ended
//   TimedOut       break with the cause                          Ended
//   CloseReq       Closed                                        Closing
int CNntpSession::Handshaking(int event) {
    switch (event) {
        case Enter: {
            const net::TlsOptions options{serverConfig.host, serverConfig.caFile,
                                          serverConfig.tlsFingerprint};
            if (tls.Begin(&stream, this, options) != 0) return SecurityBreak(tls.Problem(), false);
            MarkProgress();
            return 0;
        }
        case SecureOk:
            // What the server said before the handshake is forgotten: it
            // could have been put there by anyone on the way.
            startTlsOffered = false;
            capabilitiesRead = compressOffered = false;
            return Go(serverConfig.security == SecurityStartTls ? &CNntpSession::CapaCommand
                                                                : &CNntpSession::Greeting);
        case SecureFailed:
            return SecurityBreak(tls.Problem(), false);
        case LinkLost:
            return Break(kConnectionLost, false);
        case TimedOut: {
            // Said as the cause, or the sysop sees only that it failed.
            const unsigned seconds = (replyTimeoutMs + 999) / 1000;
            return SecurityBreak("no answer to the handshake for " + std::to_string(seconds) +
                                     (seconds == 1 ? " second" : " seconds"),
                                 false);
        }
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// CapaCommand, StartTlsCommand: command states as UserCommand.
int CNntpSession::CapaCommand(int event) {
    switch (event) {
        case Enter:
            std::strcpy(commandBuffer, "CAPABILITIES\r\n");
            return SendCommand(&CNntpSession::CapaReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

int CNntpSession::StartTlsCommand(int event) {
    switch (event) {
        case Enter:
            std::strcpy(commandBuffer, "STARTTLS\r\n");
            return SendCommand(&CNntpSession::StartTlsReply);
        case LinkLost:
            return Break(kConnectionLost, false);
        case CloseReq:
            closeResult = ResultClosed;
            return Go(&CNntpSession::Closing);
        default:
            return 0;
    }
}

// CapaReply
//   Reply1 (the list follows)     multi-line mode               CapaData
//   other reply, Fault: before TLS  break, QUIT first (no STARTTLS)  Abandoning
//                       after TLS   the list is advisory        ModeCommand
//   Overflow                      break, QUIT first             Abandoning
//   LinkLost, TimedOut            break                         Ended
//   CloseReq                      Closed                        Closing
int CNntpSession::CapaReply(int event) {
    switch (event) {
        case Reply1:
            multiLine = true;
            startTlsOffered = compressOffered = readerListed = false;
            return Go(&CNntpSession::CapaData);
        case Reply2:
        case Reply3:
        case Reply4:
        case Reply5:
        case Fault:
            if (tls.Secured()) return Go(&CNntpSession::ModeCommand);
            return SecurityBreak("the server does not offer STARTTLS", true);
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

// CapaData
//   DataLine                      note STARTTLS, COMPRESS       -
//   DataEnd: after TLS            keep the list for COMPRESS    ModeCommand
//                                 when MODE READER changes nothing
//            STARTTLS offered     -                             StartTlsCommand
//            not offered          break, QUIT first             Abandoning
//   LinkLost, TimedOut            break                         Ended
//   CloseReq                      Closed                        Closing
int CNntpSession::CapaData(int event) {
    switch (event) {
        case DataLine:
            NoteCapability();
            return 0;
        case DataEnd:
            multiLine = false;
            // A server not yet reading lists other capabilities after MODE
            // READER, which follows at once.
            capabilitiesRead = tls.Secured() && readerListed;
            if (tls.Secured()) return Go(&CNntpSession::ModeCommand);
            if (startTlsOffered) return Go(&CNntpSession::StartTlsCommand);
            return SecurityBreak("the server does not offer STARTTLS", true);
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

// StartTlsReply
//   382                           handshake                     Handshaking
//   382 with bytes behind it      break (injected plaintext)    Ended
//   any other reply, Fault        break, QUIT first (refused)   Abandoning
//   Overflow                      break, QUIT first             Abandoning
//   LinkLost, TimedOut            break                         Ended
//   CloseReq                      Closed                        Closing
int CNntpSession::StartTlsReply(int event) {
    switch (event) {
        case Reply3:
            if (std::strncmp(currentLine, "382", 3) != 0) break;
            // Bytes that came with the answer were sent before the handshake
            // and would be read as if secured: they end the attempt.
            if (receiveCount != 0)
                return SecurityBreak("the server sent data behind its STARTTLS answer", false);
            return Go(&CNntpSession::Handshaking);
        case Reply1:
        case Reply2:
        case Reply4:
        case Reply5:
        case Fault:
            break;
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
    return SecurityBreak(std::string("the server refused STARTTLS: ") + currentLine, true);
}

}  // namespace nntp
