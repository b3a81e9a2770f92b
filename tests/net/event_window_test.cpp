// The registry, the event window's routing, the sockets start-up check, the
// warning sink, deferred calls and the shared state-machine drive.
#include "net/event_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/callback_registry.h"
#include "net/deferred_call.h"
#include "net/state_drive.h"
#include "net/warning.h"
#include "net_support.h"
#include "platform/socket.h"
#include "platform/wsa_errors.h"

namespace {

using nettest::WarningRecorder;

struct Call {
    plat::WindowHandle window;
    unsigned message;
    plat::WParam wParam;
    plat::LParam lParam;
};

class RecordingTarget : public net::CEventTarget {
public:
    void EventCallback(plat::WindowHandle window, unsigned message, plat::WParam wParam,
                       plat::LParam lParam) override {
        calls.push_back({window, message, wParam, lParam});
    }
    std::vector<Call> calls;
};

class EventWindowTest : public ::testing::Test {
protected:
    void SetUp() override { nettest::EnsureNetworkLayer(); }
    // Handles far from anything the sockets layer hands out.
    static constexpr std::uint32_t kHandle = 0x7A000001;
};

TEST_F(EventWindowTest, RoutesByHandleAndKindWithBothKindsOnOneHandle) {
    RecordingTarget task, socket;
    WarningRecorder warnings;
    task.RegisterCallback(kHandle, net::CallbackKind::AsyncTask);
    socket.RegisterCallback(kHandle, net::CallbackKind::Socket);
    EXPECT_TRUE(warnings.texts.empty());

    net::CEventTarget* found = nullptr;
    ASSERT_TRUE(net::CallbackRegistry().Find(kHandle, net::CallbackKind::Socket, found));
    EXPECT_EQ(found, &socket);
    ASSERT_TRUE(net::CallbackRegistry().Find(kHandle, net::CallbackKind::AsyncTask, found));
    EXPECT_EQ(found, &task);

    const plat::WindowHandle w = net::GetEventWindow();
    for (unsigned m = 1024; m <= 1029; ++m) {
        EXPECT_EQ(plat::SendMessage(w, m, kHandle, 0x12340056), 0);
    }
    plat::SendMessage(w, 1030, kHandle, plat::MakeSelectLParam(plat::EvRead, 10054));

    ASSERT_EQ(task.calls.size(), 6u);
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(task.calls[i].window, w);
        EXPECT_EQ(task.calls[i].message, 1024 + i);
        EXPECT_EQ(task.calls[i].wParam, kHandle);
        EXPECT_EQ(task.calls[i].lParam, 0x12340056);
    }
    ASSERT_EQ(socket.calls.size(), 1u);
    EXPECT_EQ(socket.calls[0].message, 1030u);
    EXPECT_EQ(socket.calls[0].lParam, plat::MakeSelectLParam(plat::EvRead, 10054));

    // Unknown handles, and messages outside the range, reach nobody.
    plat::SendMessage(w, 1025, kHandle + 1, 0);
    plat::SendMessage(w, 1030, kHandle + 1, 0);
    plat::SendMessage(w, 1023, kHandle, 0);
    plat::SendMessage(w, 1032, kHandle, 0);
    plat::SendMessage(w, 1031, kHandle, 0);  // nothing registered as deferred
    EXPECT_EQ(task.calls.size(), 6u);
    EXPECT_EQ(socket.calls.size(), 1u);

    task.UnregisterCallback(kHandle, net::CallbackKind::AsyncTask);
    socket.UnregisterCallback(kHandle, net::CallbackKind::Socket);
    EXPECT_TRUE(warnings.texts.empty());
    plat::SendMessage(w, 1025, kHandle, 0);
    EXPECT_EQ(task.calls.size(), 6u);
}

TEST_F(EventWindowTest, OtherMessagesGetTheDefaultHandling) {
    // A probe window of the same procedure: the default handling of Close
    // destroys it, which a swallowed message would not.
    static bool registered = plat::RegisterWindowClass("QivEventWindowProbe", net::EventWindowProc);
    ASSERT_TRUE(registered);
    const plat::WindowHandle probe = plat::CreateWindow("QivEventWindowProbe");
    ASSERT_NE(probe, 0u);
    plat::SendMessage(probe, 1030, kHandle, 0);
    plat::SendMessage(probe, 1025, kHandle, 0);
    EXPECT_TRUE(plat::IsWindow(probe));
    plat::SendMessage(probe, plat::msg::Close, 0, 0);
    EXPECT_FALSE(plat::IsWindow(probe));
}

TEST_F(EventWindowTest, ClashesAndMissingEntriesAreWarnedAbout) {
    RecordingTarget first, second;
    WarningRecorder warnings;
    first.RegisterCallback(kHandle, net::CallbackKind::Socket);
    second.RegisterCallback(kHandle, net::CallbackKind::Socket);
    ASSERT_EQ(warnings.texts, std::vector<std::string>{"Unable to register callback"});
    EXPECT_FALSE(net::CallbackRegistry().Add(kHandle, net::CallbackKind::Socket, &second));

    plat::SendMessage(net::GetEventWindow(), 1030, kHandle, 0);
    EXPECT_EQ(first.calls.size(), 1u);
    EXPECT_TRUE(second.calls.empty());

    first.UnregisterCallback(kHandle, net::CallbackKind::Socket);
    EXPECT_EQ(warnings.texts.size(), 1u);
    first.UnregisterCallback(kHandle, net::CallbackKind::Socket);
    ASSERT_EQ(warnings.texts.size(), 2u);
    EXPECT_EQ(warnings.texts[1], "Unable to unregister callback");
    EXPECT_FALSE(net::CallbackRegistry().Remove(kHandle, net::CallbackKind::Socket));
}

TEST_F(EventWindowTest, TargetMayChangeTheRegistryFromItsCallback) {
    class OneShot : public net::CEventTarget {
    public:
        void EventCallback(plat::WindowHandle, unsigned, plat::WParam wParam,
                           plat::LParam) override {
            ++calls;
            UnregisterCallback(static_cast<std::uint32_t>(wParam), net::CallbackKind::Socket);
            RegisterCallback(static_cast<std::uint32_t>(wParam) + 1, net::CallbackKind::Socket);
        }
        int calls = 0;
    } target;
    WarningRecorder warnings;
    target.RegisterCallback(kHandle, net::CallbackKind::Socket);
    const int before = net::CallbackRegistry().Count();
    plat::PostMessage(net::GetEventWindow(), 1030, kHandle, 0);
    plat::PostMessage(net::GetEventWindow(), 1030, kHandle, 0);
    plat::PumpUntil([] { return plat::QueuedMessageCount() == 0; }, 5000);
    EXPECT_EQ(target.calls, 1);  // the second message found no entry
    EXPECT_EQ(net::CallbackRegistry().Count(), before);
    target.UnregisterCallback(kHandle + 1, net::CallbackKind::Socket);
    EXPECT_TRUE(warnings.texts.empty());
}

TEST_F(EventWindowTest, SecondEventWindowIsRefused) {
    const plat::WindowHandle w = net::GetEventWindow();
    ASSERT_NE(w, 0u);
    EXPECT_FALSE(net::CreateEventWindow(false));
    EXPECT_FALSE(net::CreateEventWindow(true));
    EXPECT_FALSE(net::InitNetworkLayer(false));
    EXPECT_EQ(net::GetEventWindow(), w);
}

// Without a journal as is; with JOURNAL_STREAM naming standard error, as a
// warning for the journal.
TEST(WarningTest, DefaultSinkWritesToStandardError) {
    for (const bool journal : {false, true}) {
        SCOPED_TRACE(journal ? "journal" : "plain");
        char path[] = "/tmp/qiv-net-warn-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        struct stat st {};
        ASSERT_EQ(::fstat(fd, &st), 0);
        if (journal)
            ::setenv("JOURNAL_STREAM",
                     (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        net::WarningSink previous = net::SetWarningSink({});
        std::fflush(stderr);
        const int saved = ::dup(2);
        ::dup2(fd, 2);
        net::ShowWarning("Unable to register callback");
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        ::unsetenv("JOURNAL_STREAM");
        net::SetWarningSink(std::move(previous));
        char text[256] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        ::unlink(path);
        EXPECT_EQ(
            std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0),
            std::string(journal ? "<4>" : "") + "Qiv News Client: Unable to register callback\n");
    }
}

TEST_F(EventWindowTest, DeferredCallRunsFromTheLoopAndCanBeDropped) {
    int runs = 0;
    net::CDeferredCall call([](void* c) { ++*static_cast<int*>(c); }, &runs);
    ASSERT_EQ(call.Post(), 0);
    EXPECT_EQ(runs, 0);
    ASSERT_TRUE(plat::PumpUntil([&] { return runs == 1; }, 5000));
    EXPECT_FALSE(call.Pending());

    ASSERT_EQ(call.Post(), 0);
    const std::uint32_t dropped = call.Token();
    call.Cancel();
    EXPECT_FALSE(call.Pending());
    // A stale message for the dropped token, as if it had been queued twice.
    plat::PostMessage(net::GetEventWindow(), net::EVENT_MSG_DEFERRED, dropped, 0);
    ASSERT_EQ(call.Post(), 0);
    EXPECT_NE(call.Token(), dropped);
    ASSERT_TRUE(plat::PumpUntil([&] { return plat::QueuedMessageCount() == 0; }, 5000));
    EXPECT_EQ(runs, 2);
}

// A machine whose states count their entries and log their events.
class Machine {
public:
    int Waiting(int event) {
        log.push_back("W" + std::to_string(event));
        if (event != 7) return 0;
        state.Set(&Machine::Passing);
        return 1;
    }
    int Passing(int event) {
        log.push_back("P" + std::to_string(event));
        if (++passes < 3) return 1;  // not moving: entered afresh with Enter
        state.Set(&Machine::Waiting);
        return 1;
    }
    void Drive(int event) { state.Drive(*this, event); }
    net::StateDrive<Machine> state{&Machine::Waiting};
    std::vector<std::string> log;
    int passes = 0;
};

TEST(StateDriveTest, EnteredStatesRunWithEnterUntilOneStops) {
    Machine m;
    m.Drive(3);
    EXPECT_EQ(m.log, std::vector<std::string>{"W3"});
    m.log.clear();
    m.Drive(7);
    EXPECT_EQ(m.log, (std::vector<std::string>{"W7", "P0", "P0", "P0", "W0"}));
    EXPECT_TRUE(m.state.Is(&Machine::Waiting));
    EXPECT_FALSE(m.state.Driving());
}

}  // namespace
