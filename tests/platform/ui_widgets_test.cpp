// The terminal's widgets without a terminal: keys in, state and results out.
#include "platform/ui_widgets.h"

#include <gtest/gtest.h>

using namespace plat::ui;
using namespace plat::ui::widgets;

namespace {

KeyResult::Kind Kind(const KeyResult& r) {
    return r.kind;
}

void Type(DialogView& view, const std::string& text) {
    for (unsigned char c : text) view.OnKey(c);
}

TEST(UiText, MnemonicsStatusAndWrapping) {
    EXPECT_EQ(StripMnemonic("&System"), "System");
    EXPECT_EQ(StripMnemonic("S&top Timer"), "Stop Timer");
    EXPECT_EQ(StripMnemonic("Fish && &Chips"), "Fish & Chips");
    EXPECT_EQ(MnemonicIndex("S&top Timer"), 1);
    EXPECT_EQ(MnemonicIndex("Fish && &Chips"), 7);
    EXPECT_EQ(MnemonicIndex("None"), -1);
    EXPECT_EQ(MnemonicIndex("Trailing&"), -1);
    EXPECT_EQ(Mnemonic("E&xit"), 'x');
    EXPECT_EQ(Mnemonic("&Connect"), 'c');
    EXPECT_EQ(Mnemonic("A && B"), 0);

    // C1 controls would act on a terminal; they are written out instead.
    EXPECT_EQ(TerminalText("a\x9b"
                           "2J\x80\x9f\xa0\xe9"),
              "aM-^[2JM-^@M-^_\xa0\xe9");
    EXPECT_EQ(TerminalText("\x1b[m"), "^[[m");

    EXPECT_EQ(FormatStatus({"Connected", "comp.lang.c", 17, 4}),
              "Connected | Fetched: 17 | Next: 4 min | Group: comp.lang.c");
    EXPECT_EQ(FormatStatus({"", "", 0, -1}), "Disconnected | Fetched: 0 | Next: - | Group: -");

    EXPECT_EQ(WrapText("the quick brown fox", 9),
              (std::vector<std::string>{"the quick", "brown fox"}));
    EXPECT_EQ(WrapText("abcdefghij", 4), (std::vector<std::string>{"abcd", "efgh", "ij"}));
    EXPECT_EQ(WrapText("one\n\ntwo", 10), (std::vector<std::string>{"one", "", "two"}));
    EXPECT_EQ(WrapText("", 10), (std::vector<std::string>{""}));
}

TEST(UiLogView, FollowsUntilScrolledBackAndKeepsItsPlace) {
    LogView log(100);
    log.SetHeight(3);
    for (int i = 0; i < 5; ++i) log.Add("line " + std::to_string(i));
    EXPECT_EQ(log.Top(), 2u);  // lines 2-4 shown
    EXPECT_TRUE(log.Following());

    EXPECT_EQ(Kind(log.OnKey(kKeyUp)), KeyResult::Handled);
    EXPECT_EQ(log.Top(), 1u);
    EXPECT_FALSE(log.Following());
    log.Add("line 5");
    EXPECT_EQ(log.Top(), 1u);  // the view stays where the user put it
    log.OnKey(kKeyPageDown);
    EXPECT_EQ(log.Top(), 3u);  // the bottom again
    EXPECT_TRUE(log.Following());
    log.Add("line 6");
    EXPECT_EQ(log.Top(), 4u);

    log.OnKey(kKeyHome);
    EXPECT_EQ(log.Top(), 0u);
    log.OnKey(kKeyUp);
    EXPECT_EQ(log.Top(), 0u);
    log.OnKey(kKeyEnd);
    EXPECT_TRUE(log.Following());
    EXPECT_EQ(Kind(log.OnKey('a')), KeyResult::Ignored);

    // A taller view shows more; everything fits, so Home keeps following.
    log.SetHeight(10);
    EXPECT_EQ(log.Top(), 0u);
    log.OnKey(kKeyHome);
    EXPECT_TRUE(log.Following());
    log.Reset();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.Top(), 0u);
}

TEST(UiLogView, OldestLinesGoBeyondTheCapacityWithoutMovingTheView) {
    LogView log(4);
    log.SetHeight(2);
    for (int i = 0; i < 4; ++i) log.Add(std::to_string(i));
    log.OnKey(kKeyHome);
    log.OnKey(kKeyDown);  // showing "1" and "2"
    log.Add("4");         // "0" goes
    EXPECT_EQ(log.Count(), 4u);
    EXPECT_EQ(log.Line(0), "1");
    EXPECT_EQ(log.Line(log.Top()), "1");
    log.SetHeight(0);
    EXPECT_EQ(Kind(log.OnKey(kKeyPageUp)), KeyResult::Handled);
}

Menu SystemMenu() {
    return {{"&System",
             {{"&Setup", 40000},
              {"", 0},
              {"&Connect", 40001},
              {"&Disconnect", 40002, true},
              {"", 0},
              {"E&xit", 40003}}},
            {"&Groups", {{"&Subscribe", 40005, true}}},
            {"&Help", {{"&About", 40010}}}};
}

// Moving, wrapping and choosing are driven through a real terminal in
// ui_terminal_test; these are the cases it does not reach.
TEST(UiMenuBar, ClosedIgnoresKeysAndNothingGrayedIsChosen) {
    MenuBar bar;
    bar.Set(SystemMenu());
    EXPECT_EQ(Kind(bar.OnKey(kKeyDown)), KeyResult::Ignored);  // closed: the log's key
    EXPECT_EQ(Kind(bar.OnKey('x')), KeyResult::Ignored);
    EXPECT_EQ(Kind(bar.OnKey(kAltFlag | 'q')), KeyResult::Ignored);  // no such popup

    // A popup with nothing selectable opens but chooses nothing.
    bar.OnKey(kAltFlag | 'G');
    EXPECT_EQ(bar.OpenPopup(), 1);
    EXPECT_EQ(bar.Selected(), -1);
    EXPECT_EQ(Kind(bar.OnKey(kKeyEnter)), KeyResult::Handled);
    EXPECT_EQ(Kind(bar.OnKey('s')), KeyResult::Handled);  // grayed Subscribe's letter
    EXPECT_EQ(Kind(bar.OnKey('z')), KeyResult::Handled);  // open menus take every key
    EXPECT_TRUE(bar.IsOpen());
    bar.OnKey(kKeyLeft);
    EXPECT_EQ(bar.OpenPopup(), 0);
    EXPECT_EQ(Kind(bar.OnKey('d')), KeyResult::Handled);  // Disconnect is grayed
    EXPECT_TRUE(bar.IsOpen());
    bar.OnKey(kKeyEnd);
    EXPECT_EQ(bar.Selected(), 5);
    bar.OnKey(kKeyHome);
    EXPECT_EQ(bar.Selected(), 0);
    const KeyResult byLetter = bar.OnKey('X');  // letters ignore case
    EXPECT_EQ(byLetter.kind, KeyResult::Command);
    EXPECT_EQ(byLetter.id, 40003);
    EXPECT_FALSE(bar.IsOpen());
}

TEST(UiMenuBar, GrayingTheSelectedItemMovesTheSelection) {
    MenuBar bar;
    bar.Set(SystemMenu());
    EXPECT_TRUE(bar.Grayed(40002));
    EXPECT_FALSE(bar.SetGrayed(99999, true));
    bar.OnKey(kKeyF10);
    bar.OnKey(kKeyDown);
    ASSERT_EQ(bar.Selected(), 2);  // Connect
    EXPECT_TRUE(bar.SetGrayed(40000, true));
    EXPECT_TRUE(bar.SetGrayed(40001, true));
    EXPECT_EQ(bar.Selected(), 5);  // Exit, the only one left
    EXPECT_TRUE(bar.SetGrayed(40002, false));
    bar.OnKey(kKeyUp);
    EXPECT_EQ(bar.Selected(), 3);
    EXPECT_EQ(bar.TitleColumns(), (std::vector<int>{0, 8, 16}));
}

Dialog SetupDialog() {
    Dialog d;
    d.caption = "Qiv News Client Configuration";
    Control port{ControlKind::Edit, 102, "119"};
    port.width = 6;
    Control password{ControlKind::Password, 1010, ""};
    password.maxLength = 5;
    Control unit{ControlKind::Label, -1, "minute(s)"};
    unit.sameRow = true;
    d.controls = {{ControlKind::Label, -1, "NNTP &Port"},            // 0
                  port,                                              // 1
                  {ControlKind::Label, -1, "NNTP Server"},           // 2
                  {ControlKind::Edit, 101, "z"},                     // 3
                  {ControlKind::Label, -1, "Password"},              // 4
                  password,                                          // 5
                  {ControlKind::GroupBox, -1, "User Verification"},  // 6
                  {ControlKind::Radio, 1011, "&Yes", false, 1},      // 7
                  {ControlKind::Radio, 1012, "&No", true, 1},        // 8
                  {ControlKind::DefaultButton, 1, "OK"},             // 9
                  {ControlKind::Button, 2, "&Cancel"},               // 10
                  {ControlKind::Label, -1, "Connect every"},         // 11
                  {ControlKind::Edit, 1013, "0"},                    // 12
                  unit};                                             // 13
    return d;
}

TEST(UiDialogLayout, RowsFollowTemplateOrder) {
    Dialog d = SetupDialog();
    const DialogLayout layout = LayoutDialog(d, 76);
    auto at = [&](std::size_t i) { return *layout.Find(i); };
    EXPECT_EQ(at(0).row, 0);
    EXPECT_EQ(at(1).row, 0);  // the label's edit box beside it
    EXPECT_EQ(at(3).row, 1);
    EXPECT_EQ(at(1).col, at(3).col);  // edit boxes line up past the longest label
    EXPECT_EQ(at(1).col, 14);         // "Connect every" + 1
    EXPECT_EQ(at(1).width, 6);
    EXPECT_EQ(at(6).row, 3);
    EXPECT_EQ(at(7).row, 4);  // both radios on one row, indented under the group box
    EXPECT_EQ(at(8).row, 4);
    EXPECT_EQ(at(7).col, 2);
    EXPECT_EQ(at(9).row, 6);  // a blank row above the buttons
    EXPECT_EQ(at(10).row, 6);
    EXPECT_EQ(at(12).row, 7);
    EXPECT_EQ(at(13).row, 7);  // the unit after its box
    EXPECT_EQ(at(13).col, at(12).col + at(12).width + 3);
    EXPECT_EQ(layout.height, 8);
    EXPECT_EQ(layout.width, 14 + 24 + 2 + 1 + 9);  // the interval row is the widest
    // Buttons are centred.
    const int buttons = at(10).col + 10 - at(9).col;
    EXPECT_NEAR(at(9).col, (layout.width - buttons) / 2, 1);

    // A narrow screen narrows the edit boxes instead of cutting the rows.
    const DialogLayout narrow = LayoutDialog(d, 30);
    EXPECT_EQ(narrow.width, 30);
    EXPECT_EQ(narrow.Find(3)->col + narrow.Find(3)->width + 2, 30);
    EXPECT_EQ(narrow.Find(13)->col + 9, 30);  // "minute(s)" still whole
    EXPECT_EQ(narrow.Find(1)->width, 6);      // the port box fitted already

    // A long caption widens the box.
    d.caption = std::string(60, 'c');
    EXPECT_EQ(LayoutDialog(d, 76).width, 62);
}

TEST(UiDialogView, FocusMovesOverTabStopsAndStartsWhereAsked) {
    Dialog d = SetupDialog();
    DialogView first(d, 76);
    EXPECT_EQ(first.Focus(), 1);  // the first tab stop
    first.OnKey(kKeyBackTab);
    EXPECT_EQ(first.Focus(), 12);  // wraps backwards
    first.OnKey(kKeyTab);
    EXPECT_EQ(first.Focus(), 1);
    for (int expected : {3, 5, 7, 8, 9, 10, 12}) {
        first.OnKey(kKeyTab);
        EXPECT_EQ(first.Focus(), expected);
    }

    d.focus = 101;
    EXPECT_EQ(DialogView(d, 76).Focus(), 3);
    d.controls[1].kind = ControlKind::Label;  // no longer a tab stop
    d.focus = 102;
    EXPECT_EQ(DialogView(d, 76).Focus(), 3);
}

TEST(UiDialogView, EnterEscapeSpaceAndLetters) {
    Dialog d = SetupDialog();
    DialogView view(d, 76);
    KeyResult r = view.OnKey(kKeyEnter);  // in an edit box: the default button
    EXPECT_EQ(r.kind, KeyResult::Command);
    EXPECT_EQ(r.id, 1);
    r = view.OnKey(kKeyEscape);
    EXPECT_EQ(r.kind, KeyResult::Command);
    EXPECT_EQ(r.id, 2);

    view.OnKey(kKeyBackTab);
    view.OnKey(kKeyBackTab);
    ASSERT_EQ(view.Focus(), 10);  // Cancel
    EXPECT_EQ(view.OnKey(kKeyEnter).id, 2);
    EXPECT_EQ(view.OnKey(' ').id, 2);
    EXPECT_EQ(view.OnKey('c').id, 2);  // its letter, outside an edit box

    // Space and arrows in a radio group check as they go.
    view.OnKey(kKeyBackTab);
    view.OnKey(kKeyBackTab);
    view.OnKey(kKeyBackTab);
    ASSERT_EQ(view.Focus(), 7);
    view.OnKey(' ');
    EXPECT_TRUE(d.Checked(1011));
    EXPECT_FALSE(d.Checked(1012));
    view.OnKey(kKeyDown);
    EXPECT_EQ(view.Focus(), 8);
    EXPECT_TRUE(d.Checked(1012));
    EXPECT_FALSE(d.Checked(1011));
    view.OnKey(kKeyDown);  // wraps within the group
    EXPECT_EQ(view.Focus(), 7);
    EXPECT_TRUE(d.Checked(1011));

    // Alt+letter: a radio button is checked, a label sends the focus to its box.
    view.OnKey(kAltFlag | 'n');
    EXPECT_TRUE(d.Checked(1012));
    view.OnKey(kAltFlag | 'p');
    EXPECT_EQ(view.Focus(), 1);
    view.OnKey('c');  // typed into the edit box, not pressing Cancel
    EXPECT_EQ(d.Text(102), "119c");
    EXPECT_EQ(view.OnKey(kAltFlag | 'c').id, 2);

    // Without a default button Enter means OK.
    d.controls[9].kind = ControlKind::Button;
    EXPECT_EQ(view.OnKey(kKeyEnter).id, 1);
}

TEST(UiDialogView, EditBoxesKeepTheirLimitCaretAndScroll) {
    Dialog d = SetupDialog();
    d.focus = 1010;
    DialogView view(d, 76);
    Type(view, "secret");
    EXPECT_EQ(d.Text(1010), "secre");  // maxLength 5
    view.OnKey(kKeyHome);
    view.OnKey(kKeyDelete);
    view.OnKey(kKeyRight);
    view.OnKey('X');
    EXPECT_EQ(d.Text(1010), "eXcre");
    EXPECT_EQ(view.Caret(5), 2u);
    view.OnKey(kKeyEnd);
    view.OnKey(kKeyBackspace);
    view.OnKey(0x9b);  // C1 bytes are not typed
    view.OnKey(0x07);
    view.OnKey(0xe9);  // Latin-1 letters are
    EXPECT_EQ(d.Text(1010), "eXcr\xe9");

    // A six-cell box scrolls to keep the caret in view.
    d.focus = 102;
    DialogView port(d, 76);
    EXPECT_EQ(port.FirstShown(1), 0u);
    Type(port, "12345");
    EXPECT_EQ(d.Text(102), "11912345");
    EXPECT_EQ(port.Caret(1), 8u);
    EXPECT_EQ(port.FirstShown(1), 3u);
    port.OnKey(kKeyHome);
    EXPECT_EQ(port.FirstShown(1), 0u);

    // The owner may change texts; carets follow.
    d.SetText(102, "1");
    port.OnKey(kKeyEnd);
    port.Refresh(76);
    EXPECT_EQ(port.Caret(1), 1u);
    port.OnKey(kKeyUp);  // Up and Down move between controls from an edit box
    EXPECT_EQ(port.Focus(), 12);
}

}  // namespace
