#include "net/warning.h"

#include <cstdio>
#include <string>
#include <utility>

#include "platform/journal.h"

namespace net {

namespace {

WarningSink& Sink() {
    static WarningSink sink;
    return sink;
}

}  // namespace

WarningSink SetWarningSink(WarningSink sink) {
    return std::exchange(Sink(), std::move(sink));
}

void ShowWarning(const char* text) {
    // A copy, so that a sink may replace itself while it runs.
    WarningSink sink = Sink();
    if (sink) {
        sink(text);
        return;
    }
    plat::WriteLines(stderr, plat::Priority::Warning,
                     std::string(kWarningCaption) + ": " + text + "\n");
}

}  // namespace net
