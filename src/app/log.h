// The activity log: one line per step, in the order written.
#pragma once

#include "platform/message_loop.h"

namespace app {

// Copies text into the shared 256-byte log line and appends it to the log;
// longer text is cut to 255 characters.
void LogLine(const char* text);
// Formats into the same buffer (cut likewise) and appends the result.
void LogLineF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What a failure notification carries is the server's last reply line; a
// notification without text (a closed connection, a send error) is logged
// with kNoReplyText instead of an empty line.
constexpr char kNoReplyText[] = "Connection lost";
void LogReplyText(plat::LParam replyText);

// Empties the log.
void ResetLog();

}  // namespace app
