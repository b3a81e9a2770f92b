// Talking to the gateway that runs on a profile directory.
//
// A gateway (the terminal interface, --headless, --once) holds the profile
// lock (instance_lock.h) and serves a Unix-domain stream socket,
// ".qivnews.sock" in the profile directory, mode 0600, from its own message
// loop. The subcommands subscribe, unsubscribe, expire, list-groups and
// setup, when they find a gateway holding the lock, hand their command to it
// instead of running alone; the gateway carries it out as the menu command
// with the dialog's answer filled in, and answers once it has completed (for
// expire, when the whole chain has run; for list-groups, when the cycle that
// fetches the list has ended). Both ends check with SO_PEERCRED that the
// other runs under the same user, so the password that setup may carry goes
// to no one else.
//
// When "<dir>/.qivnews.sock" does not fit into a socket address (108 bytes),
// both ends reach it as "/proc/self/fd/<n>/.qivnews.sock" through a
// descriptor of the directory, so the socket stays where the lock is.
//
// Protocol: one request line per connection, fields separated by TAB, in
// which backslash, TAB, CR and LF travel as \\, \t, \r and \n. The answer
// is lines "<head>\t<text>\n": any number of "out" and "err" lines, whose
// text the client prints on its standard output or error, then one last
// line "<exit status>\t<text>" (text, when not empty, printed as the status
// says), or "retry\t<text>" when the gateway stopped before it could carry
// the request out (the client then starts over and may find the profile
// free). An answer of one line only is what a request of one name has
// always got. Requests:
//   subscribe NAME... | unsubscribe NAME... | expire | list-groups |
//   setup --server=HOST --spool=DIR ... (the setup options as given)
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "platform/message_loop.h"

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

// A gateway about to start. Empty when this process now holds the profile;
// otherwise the exit status, after the refusal naming the running instance
// has been printed. A subcommand running alone is waited for a little.
std::optional<int> ClaimProfile(const std::string& mode);

// A subcommand about to run. Empty when it is to run alone (this process
// now holds the profile); otherwise the exit status after the request was
// handed to the running gateway and its outcome printed, or after a failure
// to reach it was printed.
std::optional<int> RunHereOrHandOver(const ControlRequest& request);

// The gateway side: serves the socket for the main window. A socket file
// left by a gateway that was killed is replaced. On failure the reason is
// logged and the gateway runs on without the socket; false then.
bool OpenControlChannel(plat::WindowHandle mainWindow);
// Answers whatever waits "retry", closes and removes the socket. Runs at
// exit on its own; safe to call twice.
void CloseControlChannel();
bool ControlChannelOpen();

// For tests: how long a client may take to send its request or to take its
// answer before it is dropped.
void SetControlClientTimeoutForTests(int ms);

}  // namespace app
