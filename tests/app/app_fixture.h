// Shared set-up of the application tests: a fresh message loop, a recording
// user interface and a profile directory of their own.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "app/app_state.h"
#include "app/news_cycle.h"
#include "platform/message_loop.h"
#include "platform/ui_recording.h"

namespace apptest {

std::string MakeTempDir();
void RemoveTree(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool Exists(const std::string& path);

// The QIVNEWS section as the program writes it: CR LF after every line.
std::string IniText(std::initializer_list<const char*> lines);

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the application as the program does; fails the test when it
    // cannot.
    plat::WindowHandle Start(bool withTimer = true);
    // The state of a fresh process, keeping the profile directory.
    void Restart(bool withTimer = true);
    // Destroys the main window, and with it its cycle; nothing when there is none.
    void Stop();

    void Command(unsigned id);
    // Sends one timer tick, as the 30-second timer would.
    void Tick();
    std::string Settings() const;  // qiv.ini
    void WriteSettings(std::initializer_list<const char*> lines);

    app::AppState& State() { return app::App(); }
    // The main window's news cycle, its session and the server it connects to.
    app::NewsCycle& Cycle();
    nntp::CNntpSession& Session();
    nntp::ServerConfig& Server();

    std::string dir_;
    plat::WindowHandle window_ = 0;
    plat::ui::RecordingBackend* ui_ = nullptr;
};

}  // namespace apptest
