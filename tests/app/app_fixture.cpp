#include "app_fixture.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/commands.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/startup.h"
#include "nntp/nntp_session.h"
#include "platform/profile.h"

namespace apptest {

std::string MakeTempDir() {
    char templ[] = "/tmp/qiv-app-XXXXXX";
    const char* made = mkdtemp(templ);
    EXPECT_NE(made, nullptr);
    return made ? made : "/tmp";
}

void RemoveTree(const std::string& path) {
    if (path.size() < 6 || path.rfind("/tmp/", 0) != 0) return;
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, FTW*) { return std::remove(p) == 0 ? 0 : 0; },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string IniText(std::initializer_list<const char*> lines) {
    std::string text = "[QIVNEWS]\r\n";
    for (const char* line : lines) text += std::string(line) + "\r\n";
    return text;
}

void AppTest::SetUp() {
    plat::ResetMessageLoopForTests();
    // The shell's state as a new process has it, for the tests that use it
    // without a main window; a main window starts it afresh itself.
    app::App() = app::AppState{};
    dir_ = MakeTempDir();
    plat::SetProfileDir(dir_);
    auto backend = std::make_unique<plat::ui::RecordingBackend>();
    ui_ = backend.get();
    plat::ui::Install(std::move(backend));
}

void AppTest::TearDown() {
    Stop();
    plat::ResetMessageLoopForTests();
    plat::ui::Install(nullptr);
    plat::SetProfileDir(".");
    RemoveTree(dir_);
}

plat::WindowHandle AppTest::Start(bool withTimer) {
    std::string error;
    window_ = app::StartMainWindow(withTimer, error);
    EXPECT_NE(window_, 0u) << error;
    return window_;
}

void AppTest::Restart(bool withTimer) {
    Stop();
    plat::ResetMessageLoopForTests();
    auto backend = std::make_unique<plat::ui::RecordingBackend>();
    ui_ = backend.get();
    plat::ui::Install(std::move(backend));
    Start(withTimer);
}

void AppTest::Command(unsigned id) {
    plat::SendMessage(window_, plat::msg::Command, id, 0);
}

void AppTest::Tick() {
    plat::SendMessage(window_, plat::msg::Timer, app::kMainTimerId, 0);
}

std::string AppTest::Settings() const {
    return ReadFile(dir_ + "/qiv.ini");
}

void AppTest::WriteSettings(std::initializer_list<const char*> lines) {
    WriteFile(dir_ + "/qiv.ini", IniText(lines));
}

void AppTest::Stop() {
    if (window_ != 0) plat::DestroyWindow(window_);
    window_ = 0;
}

app::NewsCycle& AppTest::Cycle() {
    app::NewsCycle* cycle = app::CycleOf(window_);
    EXPECT_NE(cycle, nullptr);
    return *cycle;
}

nntp::CNntpSession& AppTest::Session() {
    return *Cycle().session;
}

nntp::ServerConfig& AppTest::Server() {
    return Cycle().server;
}

}  // namespace apptest
