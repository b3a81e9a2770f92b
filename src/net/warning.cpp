#include "net/warning.h"

#include <cstdio>
#include <utility>

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
    std::fprintf(stderr, "%s: %s\n", kWarningCaption, text);
    std::fflush(stderr);
}
