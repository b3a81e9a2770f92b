#include "app/settings.h"

#include <gtest/gtest.h>

#include "app_fixture.h"
#include "nntp/nntp_session.h"

namespace apptest {
namespace {

using app::App;

class SettingsTest : public AppTest {};

const std::string kFirstStartFile =
    IniText({"NNTPServer=NotYetSet", "UserVerification=NO", "QivNewsUsername=NotYetSet",
             "QivNewsPassword=NotYetSet", "NNTPPort=119", "QivNewsDir=NotYetSet", "LastFileNumIn=0",
             "LastFileNumOut=0", "LastGroupNum=1"});

TEST_F(SettingsTest, FirstStartWritesEveryPlaceholderInOrderAndLeavesTheSessionEmpty) {
    Start();
    EXPECT_EQ(Settings(), kFirstStartFile);
    EXPECT_FALSE(State().configComplete);
    EXPECT_EQ(Server().host, "");
    EXPECT_EQ(Server().port, 0u);

    // In memory the texts stay "z"; only the numbers take their defaults.
    const app::AppSettings& s = State().settings;
    EXPECT_EQ(s.nntpServer, "z");
    EXPECT_EQ(s.qivNewsDir, "z");
    EXPECT_EQ(s.qivNewsUsername, "z");
    EXPECT_EQ(s.nntpPort, 119);
    EXPECT_EQ(s.timerInterval, 0);
    EXPECT_EQ(s.userVerification, 0);
    EXPECT_EQ(s.lastFileNumIn, 0);
    EXPECT_EQ(s.lastGroupNum, 1);
}

TEST_F(SettingsTest, SecondStartTakesThePlaceholdersAsPresent) {
    Start();
    Restart();
    EXPECT_EQ(Settings(), kFirstStartFile);  // nothing written again
    EXPECT_TRUE(State().configComplete);
    EXPECT_EQ(Server().host, "NotYetSet");
    EXPECT_EQ(Server().port, 119u);
}

TEST_F(SettingsTest, OnlyYesInAnyCaseTurnsVerificationOn) {
    for (const char* value : {"YES", "Yes", "yes", "y", "1", "true", "yes please", ""}) {
        SCOPED_TRACE(value);
        const std::string line = std::string("UserVerification=") + value;
        WriteSettings({line.c_str()});
        app::LoadSettings();
        const std::string v = value;
        const bool on = v == "YES" || v == "Yes" || v == "yes";
        EXPECT_EQ(State().settings.userVerification, on ? 1 : 0);
        EXPECT_NE(Settings().find(line + "\r\n"), std::string::npos) << "value kept";
    }
}

TEST_F(SettingsTest, PortThatIsZeroOrNoNumberBecomes119AndClearsConfigComplete) {
    for (const char* value : {"abc", "0", ""}) {
        SCOPED_TRACE(value);
        const std::string line = std::string("NNTPPort=") + value;
        WriteSettings({"NNTPServer=news", "QivNewsDir=/spool", line.c_str()});
        State().configComplete = true;
        app::LoadSettings();
        EXPECT_EQ(State().settings.nntpPort, 119);
        EXPECT_FALSE(State().configComplete);
        EXPECT_NE(Settings().find("NNTPPort=119\r\n"), std::string::npos);
    }
    WriteSettings({"NNTPServer=news", "QivNewsDir=/spool", "NNTPPort=563"});
    State().configComplete = true;
    app::LoadSettings();
    EXPECT_EQ(State().settings.nntpPort, 563);
    EXPECT_TRUE(State().configComplete);
}

TEST_F(SettingsTest, AStoredZInAnyCaseCountsAsMissing) {
    WriteSettings({"NNTPServer=Z", "QivNewsDir=/spool", "NNTPPort=119"});
    State().configComplete = true;
    app::LoadSettings();
    EXPECT_FALSE(State().configComplete);
    EXPECT_NE(Settings().find("NNTPServer=NotYetSet\r\n"), std::string::npos);
    EXPECT_EQ(State().settings.nntpServer, "Z");
}

TEST_F(SettingsTest, CountersParseLikeLongsAndKeepTheirValueOnGarbage) {
    WriteSettings({"LastFileNumIn=  42", "LastFileNumOut=-7x", "LastGroupNum=abc"});
    app::LoadSettings();
    EXPECT_EQ(State().settings.lastFileNumIn, 42);
    EXPECT_EQ(State().settings.lastFileNumOut, -7);
    EXPECT_EQ(State().settings.lastGroupNum, 0);  // unparsed: stays at its start value
    EXPECT_NE(Settings().find("LastGroupNum=abc\r\n"), std::string::npos) << "nothing written";

    // Beyond 32 bits the value is clamped, not wrapped.
    WriteSettings({"LastFileNumIn=99999999999", "LastFileNumOut=-99999999999"});
    app::LoadSettings();
    EXPECT_EQ(State().settings.lastFileNumIn, INT32_MAX);
    EXPECT_EQ(State().settings.lastFileNumOut, INT32_MIN);
    EXPECT_EQ(State().settings.lastGroupNum, 1);  // missing: default written
    EXPECT_NE(Settings().find("LastGroupNum=1\r\n"), std::string::npos);
}

TEST_F(SettingsTest, OverlongValuesEditedIntoTheFileAreCutToTheirBuffers) {
    const std::string longName(300, 'u');
    const std::string user = "QivNewsUsername=" + longName;
    const std::string server = "NNTPServer=" + longName;
    WriteSettings({user.c_str(), server.c_str(), "NNTPPort=119", "QivNewsDir=/spool"});
    Start();
    EXPECT_EQ(State().settings.qivNewsUsername.size(), 31u);
    EXPECT_EQ(State().settings.nntpServer.size(), 255u);
    EXPECT_EQ(std::string(Server().host), longName.substr(0, 255));
}

}  // namespace
}  // namespace apptest
