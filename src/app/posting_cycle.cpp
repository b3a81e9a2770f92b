// Posting the articles the board queued in out.dat.
//
// Not written yet: every step and handler below returns without doing
// anything.
#include "app/cycles.h"
#include "net/winsock_init.h"
#include "platform/files.h"

namespace app {

// The stream the articles are posted from: built after the sockets start-up
// and torn down before it.
plat::TextReader& PostingStream() {
    WinsockInit();
    static plat::TextReader stream;
    return stream;
}

namespace {
[[maybe_unused]] plat::TextReader& builtBeforeMain = PostingStream();
}  // namespace

void BeginPosting(plat::WindowHandle) {}
void PostRecord(plat::WindowHandle, long) {}

void OnPostDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}

}  // namespace app
