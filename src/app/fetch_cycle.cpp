// Fetching every subscribed group, article by article.
//
// Not written yet: every step and handler below returns without doing
// anything.
#include "app/cycles.h"

namespace app {

void BeginGroupFetch(plat::WindowHandle) {}

void OnGroupDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnArticleDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnNextDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnGroupFinished(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}

}  // namespace app
