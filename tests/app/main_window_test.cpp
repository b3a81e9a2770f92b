#include "app/main_window.h"

#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/log.h"
#include "app/menu.h"
#include "app/startup.h"
#include "app/status.h"
#include "cycle_support.h"
#include "net/event_window.h"

namespace apptest {
namespace {

using namespace app;

// The shell runs real cycles against the test server where it starts any.
class MainWindowTest : public CycleTest {
protected:
    void SetInterval(int minutes) { State().settings.timerInterval = minutes; }
    // The ticks (1-based) on which a cycle was started. Each runs to its end
    // on the test server; the count is then put back where the tick left
    // it, so that it follows the ticks alone (the reset at a cycle's end is
    // looked at on its own).
    std::vector<int> TickRun(int ticks) {
        std::vector<int> at;
        for (int i = 1; i <= ticks; ++i) {
            const int connections = server_.Connections();
            Tick();
            if (!Cycle().Running()) continue;
            at.push_back(i);
            const std::int32_t count = State().timerTicks;
            EXPECT_TRUE(RunToEnd());
            EXPECT_EQ(server_.Connections(), connections + 1);
            State().timerTicks = count;
        }
        return at;
    }
    bool RunToEnd() {
        return Pump([&] { return !Cycle().Running(); }) && Log().back() == "Server disconnected";
    }
};

TEST_F(MainWindowTest, MenuHasItsItemsSeparatorsAndInitialStates) {
    Start();
    EXPECT_EQ(ui_->Title(), "Qiv News Client");
    const plat::ui::Menu& menu = ui_->GetMenu();
    std::vector<std::string> shape;
    for (const auto& popup : menu) {
        std::string line = popup.text + ":";
        for (const auto& item : popup.items) {
            line += item.IsSeparator() ? std::string(" -")
                                       : " " + item.text + (item.grayed ? "(g)" : "");
        }
        shape.push_back(line);
    }
    EXPECT_EQ(shape, (std::vector<std::string>{
                         "&System: &Setup - &Connect &Disconnect(g) - S&top Timer &Restart "
                         "Timer(g) - E&xit",
                         "&Groups: Get newsgroups &list - &Subscribe &Unsubscribe - &Expire "
                         "messages",
                         "&View: &Reset listbox",
                         "&Help: &About",
                     }));
    EXPECT_FALSE(ui_->HasMenuItem(IDM_FETCH_ALL));
    EXPECT_FALSE(ui_->HasMenuItem(IDM_POST_ALL));
}

TEST_F(MainWindowTest, NetworkCommandsRunOnlyWhileIdle) {
    Configure();
    LogLine("old line");
    Cycle().appIdle = false;
    for (unsigned id :
         {IDM_CONNECT, IDM_DISCONNECT, IDM_GET_GROUP_LIST, IDM_FETCH_ALL, IDM_POST_ALL})
        Command(id);
    EXPECT_EQ(Log(), (std::vector<std::string>{"old line"})) << "a refused connect keeps the log";
    EXPECT_FALSE(Cycle().Running());

    // Without a connection the steps that need one say so.
    Cycle().appIdle = true;
    Cycle().currentGroup = 7;
    Command(IDM_DISCONNECT);
    EXPECT_EQ(Cycle().currentGroup, 1);
    Cycle().currentGroup = 7;
    Command(IDM_FETCH_ALL);
    EXPECT_EQ(Cycle().currentGroup, 1);
    Command(IDM_POST_ALL);
    EXPECT_EQ(Log(), (std::vector<std::string>{"old line", "Server not connected",
                                               "Server not connected", "Server not connected"}));

    Command(IDM_CONNECT);
    EXPECT_EQ(Log().front(), "Connecting to server") << "connect empties the log first";
    EXPECT_TRUE(RunToEnd());
    Command(IDM_GET_GROUP_LIST);
    EXPECT_TRUE(RunToEnd());
    EXPECT_EQ(LogCount("Group list received"), 1);
    EXPECT_EQ(server_.Connections(), 2);
    EXPECT_EQ(ServerCommands("LIST").size(), 1u);

    // Only the plain command matches: a notification code in the high word
    // makes it another message.
    plat::SendMessage(window_, plat::msg::Command, (1u << 16) | IDM_CONNECT, 0);
    EXPECT_FALSE(Cycle().Running());
    EXPECT_EQ(server_.Connections(), 2);
}

TEST_F(MainWindowTest, UngatedCommandsRunInTheMiddleOfACycle) {
    Start();
    Cycle().appIdle = false;
    for (unsigned id : {IDM_SETUP, IDM_SUBSCRIBE, IDM_UNSUBSCRIBE, IDM_ABOUT}) Command(id);
    std::vector<std::string> captions;
    for (const auto& run : ui_->Dialogs()) captions.push_back(run.caption);
    EXPECT_EQ(captions, (std::vector<std::string>{"Qiv News Client Configuration", "Select Group",
                                                  "Select Group", "About Qiv News Client"}));
    LogLine("a");
    Command(IDM_RESET_LOG);
    EXPECT_TRUE(ui_->Log().empty());
}

TEST_F(MainWindowTest, TimerConnectsOnTheTickThatReachesTwiceTheInterval) {
    Configure();
    SetInterval(5);
    EXPECT_EQ(TickRun(30), (std::vector<int>{10})) << "counts past the mark: no retry";
    EXPECT_EQ(ui_->LogResets(), 0) << "a timed connection keeps the log";
    // A completed disconnect resets the count; ten more ticks to the next one.
    Command(IDM_CONNECT);
    EXPECT_TRUE(RunToEnd());
    EXPECT_EQ(State().timerTicks, 0);
    EXPECT_EQ(TickRun(12), (std::vector<int>{10}));
}

TEST_F(MainWindowTest, ALoweredIntervalStartsACycleOnTheNextTick) {
    Configure();
    SetInterval(10);
    EXPECT_TRUE(TickRun(15).empty());
    // The count (15) is past the new mark (10): the next tick connects, once.
    SetInterval(5);
    EXPECT_EQ(TickRun(3), (std::vector<int>{1}));

    // A cycle that runs on that tick is not interrupted: the first tick
    // that finds the gateway idle connects.
    State().timerTicks = 0;
    SetInterval(10);
    TickRun(15);
    Cycle().appIdle = false;
    SetInterval(5);
    EXPECT_TRUE(TickRun(2).empty());
    Cycle().appIdle = true;
    EXPECT_EQ(TickRun(2), (std::vector<int>{1}));

    // Raised above the count: it waits for the new mark as always.
    State().timerTicks = 0;
    SetInterval(1);
    TickRun(4);
    SetInterval(3);
    EXPECT_EQ(TickRun(3), (std::vector<int>{2}));
}

TEST_F(MainWindowTest, IntervalZeroNeverConnectsWhileTheTimerRuns) {
    Configure();
    SetInterval(0);
    EXPECT_TRUE(TickRun(50).empty());
}

TEST_F(MainWindowTest, StopAndRestartTimer) {
    Configure();
    SetInterval(5);
    TickRun(4);
    Command(IDM_STOP_TIMER);
    EXPECT_TRUE(ui_->MenuItemGrayed(IDM_STOP_TIMER));
    EXPECT_FALSE(ui_->MenuItemGrayed(IDM_RESTART_TIMER));
    EXPECT_FALSE(State().timerEnabled);
    EXPECT_TRUE(TickRun(20).empty());
    EXPECT_EQ(State().timerTicks, 4) << "stopped ticks do not count";
    Command(IDM_RESTART_TIMER);
    EXPECT_FALSE(ui_->MenuItemGrayed(IDM_STOP_TIMER));
    EXPECT_TRUE(ui_->MenuItemGrayed(IDM_RESTART_TIMER));
    EXPECT_EQ(State().timerTicks, 4);
    EXPECT_EQ(TickRun(6), (std::vector<int>{6}));

    // Stopped on the mark, every tick connects again until a disconnect.
    Command(IDM_STOP_TIMER);
    EXPECT_EQ(TickRun(3), (std::vector<int>{1, 2, 3}));

    // Interval 0 with the timer stopped at a count of 0: every tick.
    SetInterval(0);
    State().timerTicks = 0;
    EXPECT_EQ(TickRun(2), (std::vector<int>{1, 2}));
}

TEST_F(MainWindowTest, StatusShowsMinutesToTheNextTimedConnection) {
    Start();
    SetInterval(5);
    EXPECT_EQ(ui_->GetStatus().connection, kStatusDisconnected);
    TickRun(1);
    EXPECT_EQ(ui_->GetStatus().minutesToNext, 5);  // 9 ticks: 4.5 minutes, rounded up
    TickRun(3);
    EXPECT_EQ(ui_->GetStatus().minutesToNext, 3);
    Command(IDM_STOP_TIMER);
    EXPECT_EQ(ui_->GetStatus().minutesToNext, -1);
    Command(IDM_RESTART_TIMER);
    EXPECT_EQ(ui_->GetStatus().minutesToNext, 3);

    EXPECT_EQ(MinutesToNextConnection(0, 0, 1), -1);
    EXPECT_EQ(MinutesToNextConnection(0, 0, 0), 0);
    EXPECT_EQ(MinutesToNextConnection(11, 5, 1), -1);
    EXPECT_EQ(MinutesToNextConnection(9, 5, 1), 1);

    StatusStartCycle();
    StatusSetGroup("comp.lang.c");
    StatusArticleFetched();
    StatusArticleFetched();
    StatusSetConnection(kStatusConnected);
    EXPECT_EQ(ui_->GetStatus().group, "comp.lang.c");
    EXPECT_EQ(ui_->GetStatus().fetched, 2);
    EXPECT_EQ(ui_->GetStatus().connection, kStatusConnected);
    StatusStartCycle();
    EXPECT_EQ(ui_->GetStatus().fetched, 0);
    EXPECT_EQ(ui_->GetStatus().group, "");
}

TEST_F(MainWindowTest, LogLinesAreCutTo255Characters) {
    Start();
    const std::string exact(255, 'a');
    LogLine(exact.c_str());
    LogLine((exact + "bcdef").c_str());
    LogLineF("%s:%s", std::string(200, 'x').c_str(), std::string(200, 'y').c_str());
    LogLine(State().logLine + 10);  // a part of the buffer itself
    ASSERT_EQ(ui_->Log().size(), 4u);
    EXPECT_EQ(ui_->Log()[0], exact);
    EXPECT_EQ(ui_->Log()[1], exact);
    EXPECT_EQ(ui_->Log()[2], std::string(200, 'x') + ":" + std::string(54, 'y'));
    EXPECT_EQ(ui_->Log()[3], std::string(190, 'x') + ":" + std::string(54, 'y'));

    LogReplyText(0);
    LogReplyText(reinterpret_cast<plat::LParam>(""));
    LogReplyText(reinterpret_cast<plat::LParam>("411 no such group"));
    EXPECT_EQ(ui_->Log()[4], kNoReplyText);
    EXPECT_EQ(ui_->Log()[5], kNoReplyText);
    EXPECT_EQ(ui_->Log()[6], "411 no such group");
}

TEST_F(MainWindowTest, LogHasItsMarginFromTheStartAndOnEveryResize) {
    Start();
    // Laid out before the window is shown.
    EXPECT_FALSE(ui_->Shown());
    EXPECT_EQ(ui_->LogBounds().x, kLogMargin);
    EXPECT_EQ(ui_->LogBounds().y, kLogMargin);
    EXPECT_EQ(ui_->LogBounds().width, 80 - 2 * kLogMargin);
    EXPECT_EQ(ui_->LogBounds().height, 21 - 2 * kLogMargin);

    ui_->Resize(120, 40);
    ASSERT_TRUE(plat::PumpUntil([&] { return ui_->LogBounds().width == 118; }, 5000));
    EXPECT_EQ(ui_->LogBounds().height, 38);
    // Below the margins the size goes on as it comes out.
    ui_->Resize(1, 0);
    ASSERT_TRUE(plat::PumpUntil([&] { return ui_->LogBounds().width == -1; }, 5000));
    EXPECT_EQ(ui_->LogBounds().height, -2);
}

TEST_F(MainWindowTest, ExitAndCloseEndTheLoopWithZero) {
    for (unsigned how : {0u, 1u}) {
        Restart();
        if (how == 0)
            ui_->Choose(IDM_EXIT);
        else
            plat::PostMessage(window_, plat::msg::Close, 0, 0);
        EXPECT_EQ(plat::RunMessageLoop(), 0);
        EXPECT_FALSE(plat::IsWindow(window_));
    }
}

TEST_F(MainWindowTest, AboutAndSelectGroupDialogs) {
    Start();
    Command(IDM_ABOUT);
    ASSERT_EQ(ui_->Dialogs().size(), 1u);
    const plat::ui::Dialog& about = ui_->Dialogs()[0].opened;
    EXPECT_EQ(about.caption, "About Qiv News Client");
    bool versionShown = false;
    for (const auto& c : about.controls) versionShown |= c.text == "Qiv News Client v0.17";
    EXPECT_TRUE(versionShown);
    ASSERT_NE(about.Find(1), nullptr);
    EXPECT_EQ(about.Find(1)->text, "&OK");

    ui_->QueueDialogAnswer([](plat::ui::Dialog& d) {
        d.SetText(kGroupNameEditId, "comp.lang.c");
        return 1;
    });
    EXPECT_EQ(RunSelectGroupDialog(), 1);
    EXPECT_STREQ(State().selectedGroupName, "comp.lang.c");
    ui_->QueueDialogAnswer([](plat::ui::Dialog& d) {
        d.SetText(kGroupNameEditId, "alt.other");
        return 2;
    });
    EXPECT_EQ(RunSelectGroupDialog(), 0);
    EXPECT_STREQ(State().selectedGroupName, "comp.lang.c") << "kept on Cancel";
    const plat::ui::Dialog& select = ui_->Dialogs()[1].opened;
    EXPECT_EQ(select.caption, "Select Group");
    EXPECT_EQ(select.focus, kGroupNameEditId);
}

TEST_F(MainWindowTest, StartUpFailsWhenTheNetworkLayerCannotStart) {
    // A second event window cannot be made: the network layer refuses.
    ASSERT_TRUE(net::CreateEventWindow(false));
    std::string error;
    EXPECT_EQ(StartMainWindow(true, error), 0u);
    EXPECT_NE(error.find("network"), std::string::npos) << error;
}

}  // namespace
}  // namespace apptest
