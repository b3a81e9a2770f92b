// The recording backend as the application's tests use it, the installed
// backend, the dialog helpers and Sanitize.
#include "platform/ui_recording.h"

#include <gtest/gtest.h>

#include "platform/ui.h"
#include "recording_window.h"

using namespace plat;
using plat::ui::Control;
using plat::ui::ControlKind;
using plat::ui::Dialog;
using plat::ui::RecordingBackend;
using qivtest::Recorder;

namespace {

ui::Menu SmallMenu() {
    return {{"&System", {{"&Connect", 40001}, {"", 0}, {"&Disconnect", 40002, true}}},
            {"&Help", {{"&About", 40010}}}};
}

Dialog SetupLike() {
    Dialog d;
    d.caption = "Qiv News Client Configuration";
    d.controls = {
        {ControlKind::Label, -1, "NNTP Server"},     {ControlKind::Edit, 101, "z"},
        {ControlKind::Radio, 1011, "Yes", false, 1}, {ControlKind::Radio, 1012, "No", true, 1},
        {ControlKind::DefaultButton, 1, "OK"},       {ControlKind::Button, 2, "Cancel"}};
    return d;
}

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        qivtest::ResetLoop();
        main = qivtest::NewWindow();
        ui.Attach(main);
        ui.SetMenu(SmallMenu());
    }
    void TearDown() override { qivtest::ResetLoop(); }

    std::vector<Message> Commands() { return Recorder::Get().For(main, msg::Command); }

    RecordingBackend ui;
    WindowHandle main = 0;
};

TEST_F(RecordingTest, ChoosingPostsTheCommandUnlessGrayedOrMissing) {
    EXPECT_TRUE(ui.Choose(40001));
    EXPECT_TRUE(ui.Choose(40010));
    EXPECT_FALSE(ui.Choose(40002));  // grayed
    EXPECT_FALSE(ui.Choose(40007));  // no menu item
    EXPECT_FALSE(ui.Choose(0));      // separators carry no command
    // Posted, not sent: nothing arrives before the loop runs.
    EXPECT_TRUE(Commands().empty());
    ASSERT_TRUE(PumpUntil([&] { return Commands().size() == 2; }));
    EXPECT_EQ(Commands()[0].wParam, 40001u);
    EXPECT_EQ(Commands()[0].lParam, 0);
    EXPECT_EQ(Commands()[1].wParam, 40010u);

    ui.SetMenuItemGrayed(40001, true);
    ui.SetMenuItemGrayed(40002, false);
    EXPECT_TRUE(ui.MenuItemGrayed(40001));
    EXPECT_FALSE(ui.MenuItemGrayed(40002));
    EXPECT_FALSE(ui.Choose(40001));
    EXPECT_TRUE(ui.Choose(40002));
    ASSERT_TRUE(PumpUntil([&] { return Commands().size() == 3; }));
    EXPECT_EQ(Commands()[2].wParam, 40002u);
    EXPECT_FALSE(ui.MenuItemGrayed(12345));
    EXPECT_TRUE(ui.HasMenuItem(40010));
    EXPECT_FALSE(ui.HasMenuItem(40007));
}

TEST_F(RecordingTest, ShowAndResizePostTheClientSize) {
    EXPECT_FALSE(ui.Shown());
    ui.Show();
    EXPECT_TRUE(ui.Shown());
    ui.Resize(100, 27);
    ASSERT_TRUE(PumpUntil([&] { return Recorder::Get().Count(main, msg::Size) == 2; }));
    const auto sizes = Recorder::Get().For(main, msg::Size);
    EXPECT_EQ(sizes[0].lParam, (21 << 16) | 80);
    EXPECT_EQ(sizes[1].lParam, (27 << 16) | 100);
    EXPECT_EQ(ui.ClientWidth(), 100);
    EXPECT_EQ(ui.ClientHeight(), 27);
}

TEST_F(RecordingTest, DialogsAreAnsweredQueuedFirstThenStandingThenCancelled) {
    Dialog d = SetupLike();
    EXPECT_EQ(ui.RunDialog(d), 2);  // nobody answers: cancelled, untouched
    EXPECT_EQ(d.Text(101), "z");

    ui.QueueDialogAnswer([](Dialog& dialog) {
        dialog.SetText(101, "news.example.org");
        dialog.Check(1011, true);
        return 1;
    });
    ui.QueueDialogAnswer([](Dialog&) { return 2; });
    ui.AnswerDialogs([](Dialog& dialog) {
        dialog.SetText(101, "standing");
        return 1;
    });
    EXPECT_EQ(ui.PendingDialogAnswers(), 2);

    Dialog first = SetupLike();
    EXPECT_EQ(ui.RunDialog(first), 1);
    EXPECT_EQ(first.Text(101), "news.example.org");
    EXPECT_TRUE(first.Checked(1011));
    EXPECT_FALSE(first.Checked(1012));

    Dialog second = SetupLike();
    EXPECT_EQ(ui.RunDialog(second), 2);
    Dialog third = SetupLike();
    EXPECT_EQ(ui.RunDialog(third), 1);
    EXPECT_EQ(third.Text(101), "standing");

    ASSERT_EQ(ui.Dialogs().size(), 4u);
    EXPECT_EQ(ui.Dialogs()[1].caption, "Qiv News Client Configuration");
    EXPECT_EQ(ui.Dialogs()[1].opened.Text(101), "z");  // as the application filled it in
    EXPECT_EQ(ui.Dialogs()[1].result, 1);
    EXPECT_EQ(ui.Dialogs()[2].result, 2);
    EXPECT_TRUE(ui.Dialogs()[0].presses.empty());
}

TEST_F(RecordingTest, RefusedButtonKeepsTheDialogOpen) {
    Dialog d = SetupLike();
    std::vector<int> seen;
    d.onCommand = [&](Dialog& dialog, int id) {
        seen.push_back(id);
        if (id == 1 && dialog.Text(101).empty()) {
            ui.MessageBox("Qiv News Client", "Server missing");
            return false;
        }
        return true;
    };
    int calls = 0;
    ui.AnswerDialogs([&](Dialog& dialog) {
        // First an empty server (refused), then a real one.
        dialog.SetText(101, ++calls == 1 ? "" : "news");
        return 1;
    });
    EXPECT_EQ(ui.RunDialog(d), 1);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seen, (std::vector<int>{1, 1}));
    EXPECT_EQ(ui.Dialogs()[0].presses, (std::vector<int>{1, 1}));
    ASSERT_EQ(ui.MessageBoxes().size(), 1u);
    EXPECT_EQ(ui.MessageBoxes()[0].text, "Server missing");

    // A dialog that refuses everything is given up as cancelled.
    Dialog stubborn = SetupLike();
    stubborn.onCommand = [](Dialog&, int) { return false; };
    EXPECT_EQ(ui.RunDialog(stubborn), 2);
    EXPECT_EQ(ui.Dialogs()[1].presses.size(),
              static_cast<std::size_t>(RecordingBackend::kMaxPresses));
}

TEST_F(RecordingTest, AnAnswerCanRunTheLoopWhileTheDialogIsOpen) {
    int ticks = 0;
    Recorder::Get().handlers[main] = [&](const Message& m) -> LResult {
        if (m.message == msg::Timer) ++ticks;
        return 0;
    };
    ASSERT_TRUE(SetTimer(main, 1, 10));
    ui.AnswerDialogs([&](Dialog&) {
        EXPECT_TRUE(PumpUntil([&] { return ticks >= 3; }));
        return 1;
    });
    Dialog d = SetupLike();
    EXPECT_EQ(ui.RunDialog(d), 1);
    EXPECT_GE(ticks, 3);
}

TEST_F(RecordingTest, LogStatusAndBoxesAreKeptAsShown) {
    ui.LogAdd("Connecting to server");
    ui.LogAdd("200 news\x1b[2J\r");
    EXPECT_EQ(ui.LogCount(), 2u);
    EXPECT_EQ(ui.Log(), (std::vector<std::string>{"Connecting to server", "200 news^[[2J^M"}));
    ui.LogReset();
    EXPECT_EQ(ui.LogCount(), 0u);
    EXPECT_EQ(ui.LogResets(), 1);
    ui.LogAdd("again");
    EXPECT_EQ(ui.Log(), (std::vector<std::string>{"again"}));

    ui.SetLogBounds(1, 1, 78, 19);
    EXPECT_EQ(ui.LogBounds().width, 78);
    EXPECT_EQ(ui.LogBounds().height, 19);

    ui.SetStatus({"Connected", "alt.test", 12, 3});
    EXPECT_EQ(ui.GetStatus().group, "alt.test");
    EXPECT_EQ(ui.GetStatus().fetched, 12);
    EXPECT_EQ(ui.StatusUpdates(), 1);

    ui.MessageBox("Qiv News Client", "line one\nline\x07two");
    ASSERT_EQ(ui.MessageBoxes().size(), 1u);
    EXPECT_EQ(ui.MessageBoxes()[0].caption, "Qiv News Client");
    EXPECT_EQ(ui.MessageBoxes()[0].text, "line one\nline^Gtwo");

    ui.SetTitle("Qiv News Client");
    EXPECT_EQ(ui.Title(), "Qiv News Client");
}

TEST(UiCurrent, DefaultIsSilentAndInstallReplaces) {
    ui::Install(nullptr);
    ui::Backend& fallback = ui::Current();
    Dialog d = SetupLike();
    EXPECT_EQ(fallback.RunDialog(d), 2);
    fallback.LogAdd("kept quietly");
    EXPECT_EQ(fallback.LogCount(), 1u);

    auto owned = std::make_unique<RecordingBackend>();
    RecordingBackend* recording = owned.get();
    ui::Install(std::move(owned));
    EXPECT_EQ(&ui::Current(), recording);
    ui::Current().LogAdd("to the installed one");
    EXPECT_EQ(recording->Log().size(), 1u);

    ui::Install(nullptr);
    EXPECT_EQ(ui::Current().LogCount(), 0u);  // a fresh silent backend
}

TEST(UiDialog, HelpersFindTextAndCheckWithinAGroup) {
    Dialog d;
    d.controls = {{ControlKind::Edit, 104, "comp.lang.c"},
                  {ControlKind::Radio, 1, "A", true, 1},
                  {ControlKind::Radio, 2, "B", false, 1},
                  {ControlKind::Radio, 3, "C", true, 2}};
    EXPECT_EQ(d.Text(104), "comp.lang.c");
    EXPECT_EQ(d.Text(999), "");
    d.SetText(104, "alt.test");
    d.SetText(999, "ignored");
    EXPECT_EQ(d.Find(104)->text, "alt.test");
    EXPECT_EQ(d.Find(999), nullptr);

    d.Check(2, true);
    EXPECT_FALSE(d.Checked(1));
    EXPECT_TRUE(d.Checked(2));
    EXPECT_TRUE(d.Checked(3));  // another group
    d.Check(2, false);
    EXPECT_FALSE(d.Checked(2));
    EXPECT_FALSE(d.Checked(999));
}

TEST(UiSanitize, ControlsBecomeVisibleAndTheRestPasses) {
    EXPECT_EQ(ui::Sanitize(""), "");
    EXPECT_EQ(ui::Sanitize("211 42 1 42 alt.test ^ ~"), "211 42 1 42 alt.test ^ ~");
    EXPECT_EQ(ui::Sanitize("\x1b[2J\x1b]0;owned\x07"), "^[[2J^[]0;owned^G");
    EXPECT_EQ(ui::Sanitize(std::string("a\0b", 3)), "a^@b");
    EXPECT_EQ(ui::Sanitize("\r\n\t\x01\x1f"), "^M^J^I^A^_");
    EXPECT_EQ(ui::Sanitize("\x7f"), "^?");
    // Eight-bit bytes are text here; the terminal deals with C1 itself.
    EXPECT_EQ(ui::Sanitize("caf\xe9 \x9b\x80\xff"), "caf\xe9 \x9b\x80\xff");
}

}  // namespace
