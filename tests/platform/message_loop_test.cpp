#include "platform/message_loop.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include "recording_window.h"

using namespace plat;
using qivtest::NewWindow;
using qivtest::Recorder;

namespace {

constexpr unsigned kA = msg::User + 1;
constexpr unsigned kB = msg::User + 2;
constexpr unsigned kC = msg::User + 3;

class MessageLoopTest : public ::testing::Test {
protected:
    void SetUp() override { qivtest::ResetLoop(); }
    void TearDown() override { qivtest::ResetLoop(); }
    Recorder& rec = Recorder::Get();
};

TEST_F(MessageLoopTest, WindowsAndClasses) {
    EXPECT_FALSE(RegisterWindowClass(qivtest::kTestClass, &Recorder::Proc));
    EXPECT_TRUE(IsWindowClassRegistered(qivtest::kTestClass));
    EXPECT_FALSE(IsWindowClassRegistered("NoSuchClass"));
    EXPECT_EQ(CreateWindow("NoSuchClass"), 0u);

    // Create reaches the procedure before CreateWindow returns, with its parameter.
    const WindowHandle w = CreateWindow(qivtest::kTestClass, 4242);
    ASSERT_NE(w, 0u);
    ASSERT_EQ(rec.log.size(), 1u);
    EXPECT_EQ(rec.log[0].message, msg::Create);
    EXPECT_EQ(rec.log[0].window, w);
    EXPECT_EQ(rec.log[0].lParam, 4242);

    EXPECT_EQ(GetWindowData(w), 0u);
    SetWindowData(w, 0xDEADBEEFu);
    EXPECT_EQ(GetWindowData(w), 0xDEADBEEFu);

    // Handles are never reused, even after a destroy.
    EXPECT_TRUE(DestroyWindow(w));
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(DestroyWindow(w));
    EXPECT_EQ(GetWindowData(w), 0u);
    const WindowHandle w2 = NewWindow();
    EXPECT_NE(w2, w);
    EXPECT_TRUE(IsWindow(w2));
    EXPECT_FALSE(IsWindow(0));
}

TEST_F(MessageLoopTest, CreateRefusedByProcedureFails) {
    static bool destroyed = false;
    destroyed = false;
    ASSERT_TRUE(RegisterWindowClass("Refuser", [](WindowHandle, unsigned m, WParam, LParam) {
        if (m == msg::Destroy) destroyed = true;
        return m == msg::Create ? LResult{-1} : LResult{0};
    }));
    EXPECT_EQ(CreateWindow("Refuser"), 0u);
    EXPECT_TRUE(destroyed);
}

TEST_F(MessageLoopTest, PostedMessagesComeInOrderAcrossWindows) {
    const WindowHandle w1 = NewWindow();
    const WindowHandle w2 = NewWindow();
    rec.log.clear();
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(PostMessage(i % 2 ? w2 : w1, kA, i, -i));
    EXPECT_FALSE(PostMessage(9999, kA, 0, 0));
    EXPECT_EQ(QueuedMessageCount(), 6u);
    ASSERT_TRUE(PumpUntil([&] { return rec.log.size() == 6; }, 5000));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(rec.log[i].window, i % 2 ? w2 : w1);
        EXPECT_EQ(rec.log[i].wParam, static_cast<WParam>(i));
        EXPECT_EQ(rec.log[i].lParam, -i);
    }
}

TEST_F(MessageLoopTest, SendMessageRunsNestedAndReturnsTheResult) {
    std::vector<std::string> trace;
    const WindowHandle inner = NewWindow([&](const Message& m) -> LResult {
        if (m.message != kB) return 0;
        trace.push_back("inner");
        return static_cast<LResult>(m.wParam * 2);
    });
    const WindowHandle outer = NewWindow([&](const Message& m) -> LResult {
        if (m.message != kA) return 0;
        trace.push_back("outer begin");
        const LResult r = SendMessage(inner, kB, 21, 0);
        trace.push_back("outer end " + std::to_string(r));
        return 0;
    });
    PostMessage(outer, kA, 0, 0);
    PostMessage(inner, kC, 0, 0);  // queued behind: must not run inside outer's handler
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(inner, kC) == 1; }, 5000));
    EXPECT_EQ(trace, (std::vector<std::string>{"outer begin", "inner", "outer end 42"}));
    EXPECT_EQ(SendMessage(123456, kA, 0, 0), 0);
}

// A handler that runs its own loop (a modal box) keeps every window's
// messages and timers flowing, and returns once its own condition holds.
TEST_F(MessageLoopTest, NestedLoopKeepsOtherWindowsFlowing) {
    bool dialogDone = false;
    int otherSeen = 0;
    const WindowHandle other = NewWindow([&](const Message& m) -> LResult {
        if (m.message == kB) ++otherSeen;
        if (m.message == msg::Timer) {
            KillTimer(m.window, 1);
            dialogDone = true;
        }
        return 0;
    });
    bool nestedReturned = false;
    const WindowHandle modal = NewWindow([&](const Message& m) -> LResult {
        if (m.message != kA) return 0;
        PostMessage(other, kB, 0, 0);
        PostMessage(other, kB, 0, 0);
        SetTimer(other, 1, 10);
        Message inner;
        while (!dialogDone && GetMessage(inner)) DispatchMessage(inner);
        nestedReturned = true;
        return 0;
    });
    PostMessage(modal, kA, 0, 0);
    PostMessage(other, kB, 0, 0);  // posted before the nested loop starts
    ASSERT_TRUE(PumpUntil([&] { return nestedReturned; }, 5000));
    EXPECT_EQ(otherSeen, 3);
    EXPECT_TRUE(dialogDone);
}

TEST_F(MessageLoopTest, QuitComesAfterPostedMessagesOnly) {
    const WindowHandle w = NewWindow();
    PostMessage(w, kA, 0, 0);
    PostQuitMessage(7);
    PostMessage(w, kB, 0, 0);
    Message m;
    ASSERT_TRUE(GetMessage(m));
    EXPECT_EQ(m.message, kA);
    ASSERT_TRUE(GetMessage(m));
    EXPECT_EQ(m.message, kB);
    EXPECT_FALSE(GetMessage(m));
    EXPECT_EQ(m.message, msg::Quit);
    EXPECT_EQ(m.wParam, 7u);
    EXPECT_EQ(QuitCode(), 7);
    // Consumed: nothing waits any more.
    EXPECT_FALSE(PeekMessage(m));

    PostQuitMessage(3);
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, msg::Quit);
    EXPECT_EQ(m.wParam, 3u);
    EXPECT_FALSE(PeekMessage(m));
}

TEST_F(MessageLoopTest, QuitInsideNestedLoopEndsTheOuterLoopToo) {
    int nestedExits = 0;
    const WindowHandle w = NewWindow([&](const Message& m) -> LResult {
        if (m.message == kA) {
            PostQuitMessage(5);
            Message inner;
            while (GetMessage(inner)) DispatchMessage(inner);
            ++nestedExits;
            // A peek loop nested in a handler sees it as well and cannot lose it.
            EXPECT_TRUE(PeekMessage(inner));
            EXPECT_EQ(inner.message, msg::Quit);
        }
        return 0;
    });
    PostMessage(w, kA, 0, 0);
    PostMessage(w, kB, 0, 0);
    EXPECT_EQ(RunMessageLoop(), 5);
    EXPECT_EQ(nestedExits, 1);
    EXPECT_EQ(rec.Count(w, kB), 1u);  // delivered by the nested loop before the quit
    Message m;
    EXPECT_FALSE(PeekMessage(m));
}

TEST_F(MessageLoopTest, TimersCoalesceAndYieldToPostedMessages) {
    const WindowHandle w = NewWindow();
    ASSERT_TRUE(SetTimer(w, 9, 40));
    EXPECT_FALSE(SetTimer(777777, 1, 10));
    // Busy for several periods: one tick waits, not one per period.
    qivtest::BusyFor(130);
    PostMessage(w, kA, 0, 0);
    PostMessage(w, kB, 0, 0);
    Message m;
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, kA);
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, kB);
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, msg::Timer);
    EXPECT_EQ(m.window, w);
    EXPECT_EQ(m.wParam, 9u);
    EXPECT_FALSE(PeekMessage(m));

    // The next tick comes an interval after the last one was taken.
    const std::uint64_t taken = NowMs();
    rec.log.clear();
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(w, msg::Timer) == 1; }, 5000));
    EXPECT_GE(NowMs() - taken, 39u);
}

TEST_F(MessageLoopTest, KilledAndDestroyedTimersStop) {
    const WindowHandle w = NewWindow();
    const WindowHandle w2 = NewWindow();
    ASSERT_TRUE(SetTimer(w, 1, 10));
    ASSERT_TRUE(SetTimer(w2, 1, 10));
    ASSERT_TRUE(SetTimer(w2, 2, 10));
    ASSERT_TRUE(PumpUntil([&] { return rec.Count(w, msg::Timer) >= 2; }, 5000));
    EXPECT_TRUE(KillTimer(w, 1));
    EXPECT_FALSE(KillTimer(w, 1));
    DestroyWindow(w2);
    EXPECT_FALSE(KillTimer(w2, 2));
    rec.log.clear();
    // Nothing may come: the bound runs out.
    EXPECT_FALSE(PumpUntil([&] { return !rec.log.empty(); }, 60));
}

TEST_F(MessageLoopTest, TimerKilledAfterItsMessageWasTakenIsNotDispatched) {
    const WindowHandle w = NewWindow();
    SetTimer(w, 4, 10);
    qivtest::BusyFor(15);
    Message m;
    ASSERT_TRUE(PeekMessage(m));
    ASSERT_EQ(m.message, msg::Timer);
    KillTimer(w, 4);
    rec.log.clear();
    DispatchMessage(m);
    EXPECT_TRUE(rec.log.empty());
}

TEST_F(MessageLoopTest, DestroyDropsQueuedMessagesAndCloseDestroys) {
    const WindowHandle keep = NewWindow();
    const WindowHandle gone = NewWindow([&](const Message& m) -> LResult {
        // A message posted during its own destruction goes too.
        if (m.message == msg::Destroy) PostMessage(m.window, kC, 0, 0);
        return DefWindowProc(m.window, m.message, m.wParam, m.lParam);
    });
    PostMessage(gone, kA, 0, 0);
    PostMessage(keep, kA, 0, 0);
    PostMessage(gone, kB, 0, 0);
    EXPECT_TRUE(DestroyWindow(gone));
    EXPECT_EQ(rec.Count(gone, msg::Destroy), 1u);
    EXPECT_EQ(QueuedMessageCount(), 1u);

    const WindowHandle closing = NewWindow();
    PostMessage(closing, msg::Close, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(closing); }, 5000));
    EXPECT_EQ(rec.Count(closing, msg::Destroy), 1u);
    EXPECT_EQ(rec.Count(keep, kA), 1u);
    EXPECT_EQ(rec.Count(gone, kA) + rec.Count(gone, kB) + rec.Count(gone, kC), 0u);
}

TEST_F(MessageLoopTest, RemoveQueuedMessagesMatchesAllThree) {
    const WindowHandle w = NewWindow();
    const WindowHandle w2 = NewWindow();
    PostMessage(w, kA, 1, 0);
    PostMessage(w, kA, 2, 0);
    PostMessage(w, kB, 1, 0);
    PostMessage(w2, kA, 1, 0);
    PostMessage(w, kA, 1, 5);
    RemoveQueuedMessages(w, kA, 1);
    EXPECT_EQ(QueuedMessageCount(), 3u);
    ASSERT_TRUE(PumpUntil([&] { return rec.log.size() == 5; }, 5000));  // 2 creates + 3
    EXPECT_EQ(rec.Count(w, kA), 1u);
    EXPECT_EQ(rec.For(w, kA)[0].wParam, 2u);
}

#ifndef _WIN32
// A source backed by a pipe: readiness becomes a posted message. (Windows
// sources poll no descriptor: their events come as Windows messages.)
class PipeSource : public LoopSource {
public:
    explicit PipeSource(WindowHandle w) : window(w) {
        EXPECT_EQ(::pipe(fds), 0);
        AddLoopSource(this);
    }
    ~PipeSource() override {
        RemoveLoopSource(this);
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void Collect(std::vector<pollfd>& out, int& timeoutMs) override {
        ++collects;
        out.push_back(pollfd{fds[0], POLLIN, 0});
        if (wakeAt != 0) {
            const std::uint64_t now = NowMs();
            const int wait = wakeAt > now ? static_cast<int>(wakeAt - now) : 0;
            if (timeoutMs < 0 || wait < timeoutMs) timeoutMs = wait;
        }
    }
    void Dispatch(const pollfd* p, std::size_t count) override {
        ASSERT_EQ(count, 1u);
        if (p[0].revents & POLLIN) {
            char c;
            if (::read(fds[0], &c, 1) == 1) PostMessage(window, kA, static_cast<WParam>(c), 0);
        }
        if (wakeAt != 0 && NowMs() >= wakeAt) {
            wakeAt = 0;
            PostMessage(window, kB, 0, 0);
        }
    }
    int fds[2];
    WindowHandle window;
    std::uint64_t wakeAt = 0;
    int collects = 0;
};

TEST_F(MessageLoopTest, SourcesFeedTheQueueInTimeOrder) {
    const WindowHandle w = NewWindow();
    PipeSource source(w);
    PostMessage(w, kC, 0, 0);
    ASSERT_EQ(::write(source.fds[1], "x", 1), 1);
    PostMessage(w, kC, 1, 0);
    // The byte arrived between the two posts but is only seen at the next
    // look; it then queues behind what was posted before it was noticed.
    Message m;
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, kC);
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, kC);
    ASSERT_TRUE(PeekMessage(m));
    EXPECT_EQ(m.message, kA);
    EXPECT_EQ(m.wParam, static_cast<WParam>('x'));

    // Peek never waits, even with a source that would.
    source.wakeAt = NowMs() + 10000;
    const std::uint64_t before = NowMs();
    EXPECT_FALSE(PeekMessage(m));
    EXPECT_LT(NowMs() - before, 1000u);

    // GetMessage sleeps until the source's own timeout and returns what its
    // Dispatch posted.
    source.wakeAt = NowMs() + 30;
    ASSERT_TRUE(GetMessage(m));
    EXPECT_EQ(m.message, kB);
    EXPECT_EQ(source.wakeAt, 0u);
}

TEST_F(MessageLoopTest, SourceRemovedDuringDispatchIsNotCalledAgain) {
    const WindowHandle w = NewWindow();
    auto* second = new PipeSource(w);
    struct Remover : LoopSource {
        PipeSource** victim;
        void Collect(std::vector<PollFd>&, int&) override {}
        void Dispatch(const PollFd*, std::size_t) override {
            delete *victim;
            *victim = nullptr;
        }
    } remover;
    // The remover must run first: re-add the pipe source behind it.
    RemoveLoopSource(second);
    AddLoopSource(&remover);
    AddLoopSource(second);
    remover.victim = &second;
    ASSERT_EQ(::write(second->fds[1], "y", 1), 1);
    PollSources(0);
    RemoveLoopSource(&remover);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(QueuedMessageCount(), 0u);
}

#endif

}  // namespace
