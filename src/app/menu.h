// The main menu and the dialogs of the main window.
#pragma once

#include "platform/message_loop.h"
#include "platform/ui.h"

namespace app {

// The menu bar in its initial state.
plat::ui::Menu BuildMainMenu();

// Grays or enables one item of the main menu.
void SetMenuItemGrayed(unsigned command, bool grayed);

// About: the program's name and version; ends with 1.
plat::ui::Dialog BuildAboutDialog();
int RunAboutDialog();

// Select Group: asks for a newsgroup name. On OK the name is left in
// selectedGroupName and the result is 1; on Cancel the result is 0 and the
// buffer keeps what it held.
constexpr int kGroupNameEditId = 104;
plat::ui::Dialog BuildSelectGroupDialog();
bool SelectGroupDialogProc(plat::ui::Dialog& dialog, int buttonId);
int RunSelectGroupDialog();

}  // namespace app
