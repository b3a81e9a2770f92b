#include "app_fixture.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/commands.h"
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
    app::ResetAppStateForTests();
    app::Steps() = app::CycleSteps{};
    dir_ = MakeTempDir();
    plat::SetProfileDir(dir_);
    auto backend = std::make_unique<plat::ui::RecordingBackend>();
    ui_ = backend.get();
    plat::ui::Install(std::move(backend));
}

void AppTest::TearDown() {
    app::ResetAppStateForTests();
    plat::ResetMessageLoopForTests();
    app::Steps() = app::CycleSteps{};
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
    app::ResetAppStateForTests();
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

CNntpSession& AppTest::Session() {
    return *app::GetMainWindowData(window_)->session;
}

StepLog& StepLog::Get() {
    static StepLog log;
    return log;
}

int StepLog::Count(const std::string& name) const {
    int n = 0;
    for (const Call& c : calls) n += c.name == name;
    return n;
}

namespace {

template <const char* Name>
void Step(plat::WindowHandle) {
    StepLog::Get().calls.push_back({Name});
}

template <const char* Name>
void Handler(plat::WindowHandle, unsigned message, plat::WParam wParam, plat::LParam lParam) {
    StepLog::Get().calls.push_back({Name, message, wParam, lParam});
}

constexpr char kConnect[] = "BeginConnect";
constexpr char kDisconnect[] = "BeginDisconnect";
constexpr char kGroupList[] = "RequestGroupList";
constexpr char kFetch[] = "BeginGroupFetch";
constexpr char kPost[] = "BeginPosting";
constexpr char kConnectDone[] = "OnConnectDone";
constexpr char kGroupDone[] = "OnGroupDone";
constexpr char kArticleDone[] = "OnArticleDone";
constexpr char kNextDone[] = "OnNextDone";
constexpr char kListDone[] = "OnListDone";
constexpr char kPostDone[] = "OnPostDone";
constexpr char kQuitDone[] = "OnQuitDone";
constexpr char kGroupFinished[] = "OnGroupFinished";
constexpr char kUserDone[] = "OnUserDone";
constexpr char kPassDone[] = "OnPassDone";

}  // namespace

void StepLog::Install() {
    calls.clear();
    app::CycleSteps& s = app::Steps();
    s.beginConnect = Step<kConnect>;
    s.beginDisconnect = Step<kDisconnect>;
    s.requestGroupList = Step<kGroupList>;
    s.beginGroupFetch = Step<kFetch>;
    s.beginPosting = Step<kPost>;
    s.onConnectDone = Handler<kConnectDone>;
    s.onGroupDone = Handler<kGroupDone>;
    s.onArticleDone = Handler<kArticleDone>;
    s.onNextDone = Handler<kNextDone>;
    s.onListDone = Handler<kListDone>;
    s.onPostDone = Handler<kPostDone>;
    s.onQuitDone = Handler<kQuitDone>;
    s.onGroupFinished = Handler<kGroupFinished>;
    s.onUserDone = Handler<kUserDone>;
    s.onPassDone = Handler<kPassDone>;
}

}  // namespace apptest
