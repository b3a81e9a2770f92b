#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/group_commands.h"
#include "app/settings.h"
#include "app_fixture.h"
#include "platform/profile.h"
#include "spool/expiry.h"

namespace apptest {
namespace {

using namespace app;

class GroupCommandsTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        spool_ = dir_ + "/spool";
        ASSERT_EQ(mkdir(spool_.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((spool_ + "/news").c_str(), 0755), 0);
        const std::string spoolLine = "QivNewsDir=" + spool_;
        WriteSettings({"NNTPServer=news", "NNTPPort=119", spoolLine.c_str()});
        Start();
    }
    // Chooses a group command and answers the Select Group dialog.
    void GroupCommand(unsigned id, const std::string& name, int button = 1) {
        ui_->QueueDialogAnswer([name, button](plat::ui::Dialog& d) {
            d.SetText(104, name);
            return button;
        });
        Command(id);
    }
    std::string Registry() { return ReadFile(spool_ + "/newsys.rc"); }
    std::string spool_;
};

TEST_F(GroupCommandsTest, SubscribeAndUnsubscribeWithTheNameFromTheDialog) {
    GroupCommand(IDM_SUBSCRIBE, "comp.lang.c");
    GroupCommand(IDM_SUBSCRIBE, "alt.test");
    EXPECT_EQ(Registry(), "comp.lang.c:1\r\nalt.test:2\r\n");
    EXPECT_EQ(State().settings.lastGroupNum, 3);
    EXPECT_NE(Settings().find("LastGroupNum=3\r\n"), std::string::npos);
    EXPECT_TRUE(Exists(spool_ + "/news/NG2"));

    GroupCommand(IDM_UNSUBSCRIBE, "ALT.TEST");
    EXPECT_EQ(Registry(), "comp.lang.c:1\n");
    EXPECT_FALSE(Exists(spool_ + "/news/NG2"));
    EXPECT_FALSE(plat::ProfileSectionExists("NG2", kGroupProfileFile));
    EXPECT_TRUE(ui_->MessageBoxes().empty());

    // Cancel does nothing at all.
    GroupCommand(IDM_SUBSCRIBE, "comp.other", 2);
    GroupCommand(IDM_UNSUBSCRIBE, "comp.lang.c", 2);
    EXPECT_EQ(Registry(), "comp.lang.c:1\n");
    EXPECT_EQ(State().settings.lastGroupNum, 3);
}

TEST_F(GroupCommandsTest, RefusalsAreShownInAWarning) {
    GroupCommand(IDM_SUBSCRIBE, "comp.lang.c");
    GroupCommand(IDM_SUBSCRIBE, "comp.lang.c");
    GroupCommand(IDM_UNSUBSCRIBE, "no.such.group");
    ASSERT_EQ(ui_->MessageBoxes().size(), 2u);
    EXPECT_NE(ui_->MessageBoxes()[0].text.find("subscribed already"), std::string::npos);
    EXPECT_NE(ui_->MessageBoxes()[1].text.find("not subscribed"), std::string::npos);
    EXPECT_EQ(Registry().find("no.such"), std::string::npos);
    EXPECT_EQ(Registry().rfind("comp.lang.c:1", 0), 0u);
}

TEST_F(GroupCommandsTest, ASpoolNotSetUpIsReportedAndLeftAlone) {
    State().settings.qivNewsDir = "NotYetSet";
    GroupCommand(IDM_SUBSCRIBE, "comp.lang.c");
    Command(IDM_EXPIRE);
    State().settings.qivNewsDir = spool_ + "/missing";
    GroupCommand(IDM_SUBSCRIBE, "comp.lang.c");
    ASSERT_EQ(ui_->MessageBoxes().size(), 3u);
    EXPECT_NE(ui_->MessageBoxes()[0].text.find("not set up"), std::string::npos);
    EXPECT_NE(ui_->MessageBoxes()[2].text.find("does not exist"), std::string::npos);
    EXPECT_FALSE(Exists(spool_ + "/newsys.rc"));
    EXPECT_FALSE(Exists("NotYetSet"));
    EXPECT_EQ(State().settings.lastGroupNum, 1);
}

// What the menu, the command line and the control channel all call.
TEST_F(GroupCommandsTest, AnActionOnManyNamesGivesAnOutcomeForEach) {
    std::vector<GroupOutcome> o =
        RunGroupAction(GroupAction::Subscribe, {"alt.a", "alt.a", "", "alt.b"});
    ASSERT_EQ(o.size(), 4u);
    EXPECT_TRUE(o[0].ok && o[3].ok);
    EXPECT_FALSE(o[1].ok || o[2].ok);
    EXPECT_EQ(o[1].message, "alt.a is subscribed already");
    EXPECT_EQ(o[3].message, "Subscribed to alt.b as group 2");
    EXPECT_EQ(State().settings.lastGroupNum, 3);
    o = RunGroupAction(GroupAction::Unsubscribe, {"ALT.B", "alt.c"});
    ASSERT_EQ(o.size(), 2u);
    EXPECT_TRUE(o[0].ok);
    EXPECT_EQ(o[1].message, "alt.c is not subscribed");
    EXPECT_EQ(Registry(), "alt.a:1\n");
    EXPECT_TRUE(ui_->MessageBoxes().empty());

    // A spool that cannot be used: one outcome that says why, whatever the count.
    State().settings.qivNewsDir = spool_ + "/missing";
    o = RunGroupAction(GroupAction::Subscribe, {"alt.x", "alt.y"});
    ASSERT_EQ(o.size(), 1u);
    EXPECT_FALSE(o[0].ok);
    EXPECT_NE(o[0].message.find("does not exist"), std::string::npos);
    EXPECT_STREQ(GroupActionName(GroupAction::Unsubscribe), "unsubscribe");
}

TEST_F(GroupCommandsTest, ExpireRunsInStepsToTheEnd) {
    for (const char* name : {"a.one", "b.two", "c.three"}) GroupCommand(IDM_SUBSCRIBE, name);
    GroupCommand(IDM_UNSUBSCRIBE, "b.two");
    Command(IDM_EXPIRE);
    // The first group inside the command, the others in later steps.
    EXPECT_EQ(plat::GetProfileString("NG1", "ExpireDays", "-", 25, kGroupProfileFile), "1");
    EXPECT_EQ(plat::GetProfileString("NG3", "ExpireDays", "-", 25, kGroupProfileFile), "-");
    EXPECT_EQ(spool::ExpiryGroup(), 3) << "the retired number 2 costs no step";
    ASSERT_TRUE(plat::PumpUntil([] { return spool::ExpiryGroup() == 1; }, 5000));
    EXPECT_EQ(plat::GetProfileString("NG3", "ExpireDays", "-", 25, kGroupProfileFile), "1");
    EXPECT_FALSE(plat::ProfileSectionExists("NG2", kGroupProfileFile));
}

}  // namespace
}  // namespace apptest
