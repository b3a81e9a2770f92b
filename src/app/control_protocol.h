// The control channel's wire format: requests, answers, and where the
// socket is (see control_channel.h for the whole picture).
#pragma once

#include <string>
#include <vector>

#include "app/cli.h"

namespace app {

constexpr char kSocketFileName[] = ".qivnews.sock";
// One line, escapes included: thousands of group names fit.
constexpr std::size_t kMaxRequestLength = 1 << 20;

struct ControlRequest {
    std::string command;
    std::vector<std::string> args;
};

// The request line, LF included.
std::string EncodeRequest(const ControlRequest& request);
// False (with the reason) for a line that is no request: a NUL or another
// control character besides the field separator, a broken escape, an empty
// command, more than kMaxRequestLength bytes. The line is without its LF.
bool DecodeRequest(const std::string& line, ControlRequest& out, std::string& error);

// What the client prints, and its exit status.
struct ControlAnswer {
    struct Line {
        bool error = false;  // standard error rather than output
        std::string text;
    };
    std::vector<Line> lines;
    int status = 0;
};
// The answer's lines, the last LF included; control characters in a text
// become blanks. A status with one line that goes where the status says
// (output for 0) travels as the one status line.
std::string EncodeAnswer(const ControlAnswer& answer);
// Takes one answer line (without its LF) into answer. Done once the status
// line has come; retry for "retry" (its text then in the one line); false
// for a line that is not understood.
bool DecodeAnswerLine(const std::string& line, ControlAnswer& answer, bool& done, bool& retry);

// The setup options as a request (the password included, when given).
ControlRequest SetupRequest(const SetupOptions& options);

// The path by which the socket of the profile directory dir is reached:
// "<dir>/.qivnews.sock", or through dirFd when that is too long (dirFd is
// then needed, and must stay open while the path is used).
std::string SocketAddressPath(const std::string& dir, int dirFd);
bool SocketPathFits(const std::string& dir);
// The directory the socket lives in: the profile directory, "." for none.
std::string ChannelDir(const std::string& profileDir);
// One answer line "<head>\t<text>\n"; control characters in text become blanks.
std::string AnswerLine(const std::string& head, const std::string& text);

}  // namespace app
