// Connecting, authenticating, fetching the group list and disconnecting.
//
// Not written yet: every step and handler below returns without doing
// anything, so no command of the menu reaches the server.
#include "app/cycles.h"

namespace app {

void BeginConnect(plat::WindowHandle) {}
void BeginSendUser(plat::WindowHandle) {}
void BeginSendPass(plat::WindowHandle) {}
void BeginListGroups(plat::WindowHandle) {}
void BeginDisconnect(plat::WindowHandle) {}
void RequestGroupList(plat::WindowHandle) {}

void OnConnectDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnUserDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnPassDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnListDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}
void OnQuitDone(plat::WindowHandle, unsigned, plat::WParam, plat::LParam) {}

}  // namespace app
