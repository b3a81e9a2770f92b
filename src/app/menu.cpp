#include "app/menu.h"

#include <algorithm>
#include <cstring>

#include "app/app_state.h"
#include "app/commands.h"

namespace app {

using plat::ui::Control;
using plat::ui::ControlKind;
using plat::ui::Dialog;
using plat::ui::Menu;
using plat::ui::MenuItem;

namespace {

MenuItem Item(const char* text, unsigned command, bool grayed = false) {
    return MenuItem{text, command, grayed};
}

MenuItem Separator() {
    return MenuItem{};
}

Control Make(ControlKind kind, int id, const char* text) {
    Control c;
    c.kind = kind;
    c.id = id;
    c.text = text;
    return c;
}

}  // namespace

Menu BuildMainMenu() {
    return Menu{
        {"&System",
         {Item("&Setup", IDM_SETUP), Separator(), Item("&Connect", IDM_CONNECT),
          Item("&Disconnect", IDM_DISCONNECT, true), Separator(),
          Item("S&top Timer", IDM_STOP_TIMER), Item("&Restart Timer", IDM_RESTART_TIMER, true),
          Separator(), Item("E&xit", IDM_EXIT)}},
        {"&Groups",
         {Item("Get newsgroups &list", IDM_GET_GROUP_LIST), Separator(),
          Item("&Subscribe", IDM_SUBSCRIBE), Item("&Unsubscribe", IDM_UNSUBSCRIBE), Separator(),
          Item("&Expire messages", IDM_EXPIRE)}},
        {"&View", {Item("&Reset listbox", IDM_RESET_LOG)}},
        {"&Help", {Item("&About", IDM_ABOUT)}},
    };
}

void SetMenuItemGrayed(unsigned command, bool grayed) {
    plat::ui::Current().SetMenuItemGrayed(command, grayed);
}

Dialog BuildAboutDialog() {
    Dialog d;
    d.caption = "About Qiv News Client";
    d.templateId = 102;
    d.controls = {
        Make(ControlKind::Icon, -1, "Qiv"),
        Make(ControlKind::Label, -1, kProgramVersionLine),
        Make(ControlKind::Label, -1, "Copyright (C) the Qiv News Client authors"),
        Make(ControlKind::Label, -1, "Support: your message-board system operator"),
        Make(ControlKind::DefaultButton, 1, "&OK"),
    };
    return d;
}

int RunAboutDialog() {
    Dialog d = BuildAboutDialog();
    plat::ui::Current().RunDialog(d);
    return 1;
}

Dialog BuildSelectGroupDialog() {
    Dialog d;
    d.caption = "Select Group";
    d.templateId = 103;
    Control edit = Make(ControlKind::Edit, kGroupNameEditId, "");
    edit.maxLength = kGroupNameBufferSize - 1;
    d.controls = {
        Make(ControlKind::Label, -1, "Newsgroup Name"),
        edit,
        Make(ControlKind::DefaultButton, 1, "OK"),
        Make(ControlKind::Button, 2, "Cancel"),
    };
    d.focus = kGroupNameEditId;
    d.onCommand = SelectGroupDialogProc;
    return d;
}

bool SelectGroupDialogProc(Dialog& dialog, int buttonId) {
    if (buttonId == 1) {
        const std::string name = dialog.Text(kGroupNameEditId);
        char* buffer = App().selectedGroupName;
        const std::size_t length = std::min(name.size(), kGroupNameBufferSize - 1);
        std::memcpy(buffer, name.data(), length);
        buffer[length] = '\0';
    }
    return true;
}

int RunSelectGroupDialog() {
    Dialog d = BuildSelectGroupDialog();
    return plat::ui::Current().RunDialog(d) == 1 ? 1 : 0;
}

}  // namespace app
