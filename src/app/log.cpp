#include "app/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/app_state.h"
#include "platform/ui.h"

namespace app {

void LogLine(const char* text) {
    char* line = App().logLine;
    if (text == nullptr) text = "";
    // memmove: the Parts format into this buffer and may pass a part of it.
    const std::size_t length = strnlen(text, kLogLineSize - 1);
    std::memmove(line, text, length);
    line[length] = '\0';
    plat::ui::Current().LogAdd(line);
}

void LogLineF(const char* format, ...) {
    char* line = App().logLine;
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, kLogLineSize, format, args);
    va_end(args);
    LogLine(line);
}

void LogReplyText(plat::LParam replyText) {
    const char* text = reinterpret_cast<const char*>(replyText);
    if (text == nullptr || *text == '\0') text = kNoReplyText;
    LogLineF("%s", text);
}

void ResetLog() {
    plat::ui::Current().LogReset();
}

}  // namespace app
