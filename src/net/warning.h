// The warning box of the network layer and the NNTP session: conditions that
// should not occur are shown with a fixed English text and otherwise ignored.
#pragma once

#include <functional>

namespace net {

// Caption of every warning.
inline constexpr const char* kWarningCaption = "Qiv News Client";

// Where warnings go. The terminal UI installs one that shows a modal box
// (which keeps dispatching messages while it is open); headless runs keep the
// default, which writes the text to standard error; tests record the texts.
using WarningSink = std::function<void(const char* text)>;

// Installs a sink (an empty one restores the default) and returns the
// previous one.
WarningSink SetWarningSink(WarningSink sink);

// Shows text through the current sink and returns when it is done.
void ShowWarning(const char* text);

}  // namespace net
