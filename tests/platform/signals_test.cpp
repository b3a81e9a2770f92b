#include "platform/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include "recording_window.h"

using namespace plat;
using qivtest::Recorder;

namespace {

constexpr unsigned kSignalMsg = msg::User + 40;

class SignalsTest : public ::testing::Test {
protected:
    void SetUp() override { qivtest::ResetLoop(); }
    void TearDown() override {
        UnrouteSignal(SIGUSR1);
        UnrouteSignal(SIGUSR2);
        qivtest::ResetLoop();
    }
    Recorder& rec = Recorder::Get();
};

TEST_F(SignalsTest, SignalsArriveAsPostedMessages) {
    const WindowHandle w = qivtest::NewWindow();
    ASSERT_TRUE(RouteSignal(SIGUSR1, w, kSignalMsg));
    ASSERT_TRUE(RouteSignal(SIGUSR2, w, kSignalMsg + 1));
    ASSERT_EQ(::raise(SIGUSR1), 0);
    ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
    ASSERT_TRUE(PumpUntil(
        [&] { return rec.Count(w, kSignalMsg) == 1 && rec.Count(w, kSignalMsg + 1) == 1; }));
    EXPECT_EQ(rec.For(w, kSignalMsg)[0].wParam, static_cast<WParam>(SIGUSR1));
    EXPECT_EQ(rec.For(w, kSignalMsg + 1)[0].wParam, static_cast<WParam>(SIGUSR2));
    EXPECT_EQ(rec.For(w, kSignalMsg)[0].lParam, 0);

    // Each arrival is one message.
    ::raise(SIGUSR1);
    ::raise(SIGUSR1);
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(w, kSignalMsg) == 3; }));
}

TEST_F(SignalsTest, RerouteReplacesAndUnrouteRestores) {
    const WindowHandle first = qivtest::NewWindow();
    const WindowHandle second = qivtest::NewWindow();
    // What was there before routing comes back afterwards.
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGUSR2, &ignore, &old);

    ASSERT_TRUE(RouteSignal(SIGUSR2, first, kSignalMsg));
    ASSERT_TRUE(RouteSignal(SIGUSR2, second, kSignalMsg + 2));
    ::raise(SIGUSR2);
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(second, kSignalMsg + 2) == 1; }));
    EXPECT_EQ(rec.Count(first, kSignalMsg), 0u);

    UnrouteSignal(SIGUSR2);
    struct sigaction now {};
    ::sigaction(SIGUSR2, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ::raise(SIGUSR2);  // ignored: neither a message nor the end of the program
    EXPECT_FALSE(PumpUntil([&] { return rec.Count(second, kSignalMsg + 2) > 1; }, 50));
    ::sigaction(SIGUSR2, &old, nullptr);
}

TEST_F(SignalsTest, RefusesSignalsThatCannotBeCaught) {
    const WindowHandle w = qivtest::NewWindow();
    EXPECT_FALSE(RouteSignal(SIGKILL, w, kSignalMsg));
    EXPECT_FALSE(RouteSignal(SIGSTOP, w, kSignalMsg));
    EXPECT_FALSE(RouteSignal(0, w, kSignalMsg));
    EXPECT_FALSE(RouteSignal(NSIG, w, kSignalMsg));
}

// A signal that lands while the loop is blocked in poll wakes it.
TEST_F(SignalsTest, SignalWakesABlockedWait) {
    const WindowHandle w = qivtest::NewWindow([](const Message& m) -> LResult {
        if (m.message == kSignalMsg) PostQuitMessage(static_cast<int>(m.wParam));
        if (m.message == msg::Timer) PostQuitMessage(-1);  // the signal never came
        return 0;
    });
    ASSERT_TRUE(RouteSignal(SIGALRM, w, kSignalMsg));
    SetTimer(w, 1, 10000);
    itimerval shot{};
    shot.it_value.tv_usec = 20000;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &shot, nullptr), 0);
    EXPECT_EQ(RunMessageLoop(), SIGALRM);
    UnrouteSignal(SIGALRM);
}

}  // namespace
