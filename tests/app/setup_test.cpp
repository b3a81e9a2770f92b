#include "app/setup.h"

#include <gtest/gtest.h>

#include "app/commands.h"
#include "app/settings.h"
#include "app_fixture.h"
#include "nntp/nntp_session.h"
#include "platform/profile.h"

namespace apptest {
namespace {

using plat::ui::Dialog;

class SetupTest : public AppTest {
protected:
    // Opens Setup through the menu and answers it.
    void RunSetup(std::function<int(Dialog&)> answer) {
        const std::size_t before = ui_->Dialogs().size();
        ui_->QueueDialogAnswer(std::move(answer));
        ASSERT_TRUE(ui_->Choose(app::IDM_SETUP));
        ASSERT_TRUE(plat::PumpUntil([&] { return ui_->Dialogs().size() == before + 1; }, 5000));
    }
};

int Fill(Dialog& d, bool verify) {
    d.SetText(app::kSetupServerId, "news.example.org");
    d.SetText(app::kSetupPortId, "1190");
    d.SetText(app::kSetupSpoolDirId, "/srv/spool");
    d.SetText(app::kSetupUserId, "bob");
    d.SetText(app::kSetupPasswordId, "secret");
    d.SetText(app::kSetupIntervalId, "15");
    d.Check(verify ? app::kSetupVerifyYesId : app::kSetupVerifyNoId, true);
    return 1;
}

TEST_F(SetupTest, OpensWithTheSettingsInMemoryAndAnEmptyPassword) {
    Start();
    RunSetup([](Dialog&) { return 2; });
    const Dialog& d = ui_->Dialogs()[0].opened;
    EXPECT_EQ(d.caption, "Qiv News Client Configuration");
    EXPECT_EQ(d.Text(app::kSetupServerId), "z");
    EXPECT_EQ(d.Text(app::kSetupSpoolDirId), "z");
    EXPECT_EQ(d.Text(app::kSetupUserId), "z");
    EXPECT_EQ(d.Text(app::kSetupPortId), "119");
    EXPECT_EQ(d.Text(app::kSetupIntervalId), "0");
    EXPECT_EQ(d.Text(app::kSetupPasswordId), "");
    EXPECT_TRUE(d.Checked(app::kSetupVerifyNoId));
    EXPECT_FALSE(d.Checked(app::kSetupVerifyYesId));
    ASSERT_NE(d.Find(app::kSetupPasswordId), nullptr);
    EXPECT_EQ(d.Find(app::kSetupPasswordId)->kind, plat::ui::ControlKind::Password);
}

TEST_F(SetupTest, ConfirmWritesInItsOrderAndGivesTheSessionTheServer) {
    Start();
    // Without the start-up's keys the file shows the order of the writes.
    std::remove((dir_ + "/qiv.ini").c_str());
    RunSetup([](Dialog& d) { return Fill(d, true); });
    EXPECT_EQ(Settings(), IniText({"NNTPServer=news.example.org", "QivNewsDir=/srv/spool",
                                   "QivNewsUsername=bob", "QivNewsPassword=secret",
                                   "TimerInterval=15", "UserVerification=Yes", "NNTPPort=1190"}));
    EXPECT_TRUE(State().configComplete);
    EXPECT_EQ(State().settings.timerInterval, 15);
    EXPECT_EQ(State().settings.userVerification, 1);
    EXPECT_EQ(Server().host, "news.example.org");
    EXPECT_EQ(Server().port, 1190u);
}

TEST_F(SetupTest, SecurityFieldsAreWrittenOnlyOnceSetAndGoToTheSession) {
    Start();
    std::remove((dir_ + "/qiv.ini").c_str());
    RunSetup([](Dialog& d) {
        EXPECT_TRUE(d.Checked(app::kSetupSecurityNoneId));
        Fill(d, true);
        d.Check(app::kSetupSecurityStartTlsId, true);
        d.SetText(app::kSetupCaFileId, "/etc/news/ca.pem");
        d.SetText(app::kSetupFingerprintId, std::string(64, 'b'));
        return 1;
    });
    EXPECT_NE(Settings().find("Security=starttls\r\nCAFile=/etc/news/ca.pem\r\nTlsFingerprint=" +
                              std::string(64, 'b')),
              std::string::npos)
        << Settings();
    EXPECT_EQ(Server().security, nntp::CNntpSession::SecurityStartTls);
    EXPECT_EQ(Server().caFile, "/etc/news/ca.pem");
    EXPECT_FALSE(Server().tlsFingerprint.empty());
}

TEST_F(SetupTest, InitialFetchIsShownAndWrittenOnlyOnceSetOrInTheFile) {
    Start();
    std::remove((dir_ + "/qiv.ini").c_str());
    RunSetup([](Dialog& d) {
        EXPECT_EQ(d.Text(app::kSetupInitialFetchId), "0");
        return Fill(d, true);
    });
    EXPECT_EQ(Settings().find("InitialFetch"), std::string::npos) << Settings();

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"250", "InitialFetch=250\r\n"},
        {" 7 ", "InitialFetch=7\r\n"},
        {"4294967295", "InitialFetch=2147483647\r\n"},
        {"-3", "InitialFetch=0\r\n"},  // kept in the file once there
    };
    for (const auto& [typed, line] : cases) {
        SCOPED_TRACE(typed);
        RunSetup([&](Dialog& d) {
            d.SetText(app::kSetupInitialFetchId, typed);
            return 1;
        });
        EXPECT_NE(Settings().find(line), std::string::npos) << Settings();
    }
    EXPECT_EQ(State().settings.initialFetch, 0);
    RunSetup([](Dialog& d) {
        d.SetText(app::kSetupInitialFetchId, "12");
        return 1;
    });
    EXPECT_EQ(State().settings.initialFetch, 12) << "in effect at once";
    EXPECT_EQ(app::ReadInitialFetch(), 12);
}

// Out of 1..256 a typed depth is brought within it; the default is not
// written until the file holds the key.
TEST_F(SetupTest, PipelineDepthIsShownClampedAndWrittenOnlyOnceChanged) {
    Start();
    std::remove((dir_ + "/qiv.ini").c_str());
    RunSetup([](Dialog& d) {
        EXPECT_EQ(d.Text(app::kSetupPipelineDepthId), "32");
        return Fill(d, true);
    });
    EXPECT_EQ(Settings().find("PipelineDepth"), std::string::npos) << Settings();

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1", "PipelineDepth=1\r\n"},
        {"0", "PipelineDepth=1\r\n"},
        {"999", "PipelineDepth=256\r\n"},
        {"32", "PipelineDepth=32\r\n"},  // kept in the file once there
    };
    for (const auto& [typed, line] : cases) {
        SCOPED_TRACE(typed);
        RunSetup([&](Dialog& d) {
            d.SetText(app::kSetupPipelineDepthId, typed);
            return 1;
        });
        EXPECT_NE(Settings().find(line), std::string::npos) << Settings();
    }
    RunSetup([](Dialog& d) {
        d.SetText(app::kSetupPipelineDepthId, "8");
        return 1;
    });
    EXPECT_EQ(State().settings.pipelineDepth, 8) << "in effect at once";
    EXPECT_EQ(app::ReadPipelineDepth(), 8);
    // A hand-edited value out of range reads as the default.
    ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "PipelineDepth", "0", "qiv.ini"));
    EXPECT_EQ(app::ReadPipelineDepth(), app::kDefaultPipelineDepth);
}

// Compress: the radio of the value in memory is checked (one the file holds
// that is none of them counts as auto); a choice is written once it differs
// from auto or the file already holds the key, and goes to the session.
TEST_F(SetupTest, CompressIsShownAndWrittenOnlyOnceChanged) {
    struct Shown {
        const char* inFile;  // nullptr: no key
        int checked;
    };
    const Shown shown[] = {{nullptr, app::kSetupCompressAutoId},
                           {"off", app::kSetupCompressOffId},
                           {" ON ", app::kSetupCompressOnId},
                           {"Auto", app::kSetupCompressAutoId},
                           {"sometimes", app::kSetupCompressAutoId}};
    for (const Shown& c : shown) {
        SCOPED_TRACE(c.inFile != nullptr ? c.inFile : "(none)");
        WriteSettings({"NNTPServer=news", "QivNewsDir=/spool", "NNTPPort=119"});
        if (c.inFile != nullptr)
            ASSERT_TRUE(plat::WriteProfileString("QIVNEWS", "Compress", c.inFile, "qiv.ini"));
        Restart();
        RunSetup([&](Dialog& d) {
            for (const int id :
                 {app::kSetupCompressAutoId, app::kSetupCompressOnId, app::kSetupCompressOffId})
                EXPECT_EQ(d.Checked(id), id == c.checked) << id;
            return 1;
        });
        if (c.inFile == nullptr)
            EXPECT_EQ(Settings().find("Compress"), std::string::npos) << Settings();
    }

    WriteSettings({"NNTPServer=news", "QivNewsDir=/spool", "NNTPPort=119"});
    Restart();
    struct Chosen {
        int radio;
        const char* line;
        int session;
    };
    const Chosen chosen[] = {
        {app::kSetupCompressOffId, "Compress=off\r\n", nntp::CNntpSession::CompressOff},
        {app::kSetupCompressOnId, "Compress=on\r\n", nntp::CNntpSession::CompressOn},
        // Kept in the file once there.
        {app::kSetupCompressAutoId, "Compress=auto\r\n", nntp::CNntpSession::CompressAuto},
    };
    for (const Chosen& c : chosen) {
        SCOPED_TRACE(c.line);
        RunSetup([&](Dialog& d) {
            d.Check(c.radio, true);
            return 1;
        });
        EXPECT_NE(Settings().find(c.line), std::string::npos) << Settings();
        EXPECT_EQ(static_cast<int>(Server().compress), c.session);
        RunSetup([&](Dialog& d) {
            EXPECT_TRUE(d.Checked(c.radio)) << "shown as chosen";
            return 2;
        });
    }
}

TEST_F(SetupTest, CancelChangesNothing) {
    Start();
    const std::string before = Settings();
    RunSetup([](Dialog& d) {
        Fill(d, true);
        return 2;
    });
    EXPECT_EQ(Settings(), before);
    EXPECT_FALSE(State().configComplete);
    EXPECT_EQ(State().settings.nntpServer, "z");
    EXPECT_EQ(Server().host, "");
}

TEST_F(SetupTest, AnUntouchedPasswordBoxKeepsTheStoredPassword) {
    WriteSettings({"NNTPServer=news", "QivNewsDir=/spool", "NNTPPort=119",
                   "QivNewsPassword=hunter2", "QivNewsUsername=bob"});
    Start();
    RunSetup([](Dialog& d) {
        d.SetText(app::kSetupUserId, "alice");
        return 1;
    });
    const std::string file = Settings();
    EXPECT_NE(file.find("QivNewsPassword=hunter2\r\n"), std::string::npos) << file;
    EXPECT_NE(file.find("QivNewsUsername=alice\r\n"), std::string::npos) << file;
    EXPECT_EQ(State().settings.qivNewsPassword, "hunter2");
}

TEST_F(SetupTest, PortOrIntervalThatIsNoUnsignedNumberIsStoredAsZero) {
    Start();
    RunSetup([](Dialog& d) {
        Fill(d, false);
        d.SetText(app::kSetupPortId, "-5");
        d.SetText(app::kSetupIntervalId, "ten");
        return 1;
    });
    EXPECT_NE(Settings().find("NNTPPort=0\r\n"), std::string::npos);
    EXPECT_NE(Settings().find("TimerInterval=0\r\n"), std::string::npos);
    EXPECT_NE(Settings().find("UserVerification=No\r\n"), std::string::npos);
    EXPECT_EQ(Server().port, 0u);

    EXPECT_EQ(app::ParseDialogUnsigned(" 42 "), 42u);
    EXPECT_EQ(app::ParseDialogUnsigned("4294967295"), 4294967295u);
    EXPECT_EQ(app::ParseDialogUnsigned("4294967296"), 0u);
    EXPECT_EQ(app::ParseDialogUnsigned("12ab"), 0u);
    EXPECT_EQ(app::ParseDialogUnsigned(""), 0u);
}

TEST_F(SetupTest, OverlongValuesAreRefusedWithAWarningAndTheDialogStaysOpen) {
    struct Case {
        int id;
        std::string tooLong;
        std::string fits;
        const char* warning;
    };
    const Case cases[] = {
        {app::kSetupUserId, std::string(30, 'u'), std::string(29, 'u'), app::kTooLongUserName},
        {app::kSetupPasswordId, std::string(30, 'p'), std::string(29, 'p'), app::kTooLongPassword},
        {app::kSetupSpoolDirId, "/" + std::string(app::kMaxSpoolDirLength, 's'),
         "/" + std::string(app::kMaxSpoolDirLength - 1, 's'), app::kTooLongSpoolDir},
        {app::kSetupFingerprintId, "12:34:" + std::string(59, 'c'), std::string(64, 'c'),
         app::kBadFingerprint},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        Restart();
        int calls = 0;
        RunSetup([&](Dialog& d) {
            Fill(d, false);
            d.SetText(c.id, ++calls == 1 ? c.tooLong : c.fits);
            return 1;
        });
        const auto& run = ui_->Dialogs()[0];
        EXPECT_EQ(run.presses, (std::vector<int>{1, 1}));
        EXPECT_EQ(run.result, 1);
        ASSERT_EQ(ui_->MessageBoxes().size(), 1u);
        EXPECT_EQ(ui_->MessageBoxes()[0].text, c.warning);
        EXPECT_EQ(ui_->MessageBoxes()[0].caption, "Qiv News Client");
        EXPECT_EQ(Settings().find(c.tooLong), std::string::npos);
        EXPECT_NE(Settings().find("=" + c.fits + "\r\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace apptest
