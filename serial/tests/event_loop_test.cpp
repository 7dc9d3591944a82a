#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/event_loop.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using Clock = CEventLoop::Clock;

// Generous: only reached when the behaviour under test is broken.
constexpr auto kPatience = 10s;

// Waits (on the test thread, without running the loop) until a sender's call is queued.
void WaitUntilQueued(const CEventLoop& loop, std::size_t n) {
    const auto giveUp = Clock::now() + kPatience;
    while (loop.PendingCalls() < n && Clock::now() < giveUp) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(loop.PendingCalls(), n);
}

TEST(EventLoop, SendSyncRunsTheCallOnTheLoopThreadAndWaitsForIt) {
    CEventLoop loop;
    std::atomic<bool> abandon{false};
    std::thread::id ranOn;
    std::atomic<bool> sent{false};
    bool returned = false;
    std::thread sender([&] {
        returned = loop.SendSync([&] { ranOn = std::this_thread::get_id(); }, abandon);
        sent = true;
        loop.Post([] {});  // wakes the loop so it sees `sent`
    });
    EXPECT_TRUE(loop.RunUntil([&] { return sent.load(); }, Clock::now() + kPatience));
    sender.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // From the loop thread itself the call runs at once.
    bool inline_ran = false;
    EXPECT_TRUE(loop.SendSync([&] { inline_ran = true; }, abandon));
    EXPECT_TRUE(inline_ran);
}

TEST(EventLoop, SentCallsRunBeforePostedCallsAndBothBeforeADueTick) {
    CEventLoop loop;
    std::vector<std::string> order;
    loop.SetTimerHandler([&](unsigned id) { order.push_back("tick" + std::to_string(id)); });
    loop.SetTimer(1, 10);
    loop.Post([&] { order.push_back("posted"); });
    std::atomic<bool> abandon{false};
    std::thread sender([&] { loop.SendSync([&] { order.push_back("sent"); }, abandon); });
    WaitUntilQueued(loop, 1);
    std::this_thread::sleep_for(30ms);  // the tick is due as well now

    loop.DispatchPending();
    sender.join();
    EXPECT_EQ(order, (std::vector<std::string>{"sent", "posted", "tick1"}));
}

TEST(EventLoop, TicksThatFallDueWhileTheLoopIsBusyCoalesceIntoOne) {
    CEventLoop loop;
    std::vector<unsigned> ticks;
    loop.SetTimerHandler([&](unsigned id) { ticks.push_back(id); });
    loop.SetTimer(1, 50);
    loop.SetTimer(2, 80);
    std::this_thread::sleep_for(420ms);  // busy: many periods of both go by

    loop.DispatchPending();
    EXPECT_EQ(ticks, (std::vector<unsigned>{1, 2}));  // one each, the earlier due first
}

TEST(EventLoop, SetTimerRestartsARunningTimerAndKillTimerStopsIt) {
    CEventLoop loop;
    std::vector<unsigned> ticks;
    loop.SetTimerHandler([&](unsigned id) { ticks.push_back(id); });

    loop.SetTimer(3, 3'600'000);
    loop.SetTimer(3, 20);  // restarted with the short period
    EXPECT_TRUE(loop.RunUntil([&] { return ticks.size() >= 2; }, Clock::now() + kPatience));
    EXPECT_EQ(ticks, (std::vector<unsigned>{3, 3}));

    loop.KillTimer(3);
    EXPECT_FALSE(loop.TimerRunning(3));
    ticks.clear();
    EXPECT_FALSE(loop.RunUntil([&] { return !ticks.empty(); }, Clock::now() + 100ms));
}

TEST(EventLoop, AnAbandonedCallIsNeverRunAndItsSenderReturnsFalse) {
    CEventLoop loop;
    std::atomic<bool> abandon{false};
    bool ran = false;
    bool result = true;
    std::thread sender([&] { result = loop.SendSync([&] { ran = true; }, abandon); });
    WaitUntilQueued(loop, 1);

    abandon = true;  // the loop thread is busy elsewhere (here: not running at all)
    sender.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(loop.PendingCalls(), 0u);
    loop.DispatchPending();
    EXPECT_FALSE(ran);

    // An abandon flag already set does not even queue the call.
    std::thread late([&] { result = loop.SendSync([&] { ran = true; }, abandon); });
    late.join();
    EXPECT_FALSE(result);
    loop.DispatchPending();
    EXPECT_FALSE(ran);
}

TEST(EventLoop, ANestedRunDispatchesTicksAndSentCallsWhileTheOuterHandlerWaits) {
    CEventLoop loop;
    std::atomic<bool> abandon{false};
    int fastTicks = 0;
    bool sentRan = false;
    bool nestedDone = false;
    std::thread sender;
    loop.SetTimerHandler([&](unsigned id) {
        if (id == 2) {
            ++fastTicks;
            return;
        }
        // Timer 1's handler waits modally, as a message box does.
        loop.KillTimer(1);
        sender = std::thread([&] { loop.SendSync([&] { sentRan = true; }, abandon); });
        nestedDone =
            loop.RunUntil([&] { return sentRan && fastTicks >= 3; }, Clock::now() + kPatience);
        loop.Quit();
    });
    loop.SetTimer(1, 10);
    loop.SetTimer(2, 10);

    loop.Run();  // ends through the Quit inside the nested run
    sender.join();
    EXPECT_TRUE(nestedDone);
    EXPECT_TRUE(sentRan);
    EXPECT_GE(fastTicks, 3);
}

TEST(EventLoop, QuitFromAnotherThreadEndsRunAndOnlyThatRun) {
    CEventLoop loop;
    std::thread quitter([&] { loop.Post([&] { loop.Quit(); }); });
    loop.Run();
    quitter.join();

    // The quit was used up by the run it ended.
    bool ran = false;
    loop.Post([&] { ran = true; });
    EXPECT_TRUE(loop.RunUntil([&] { return ran; }, Clock::now() + kPatience));
}

TEST(EventLoop, DestroyingTheLoopReleasesAWaitingSender) {
    auto loop = std::make_unique<CEventLoop>();
    std::atomic<bool> abandon{false};
    bool result = true;
    bool ran = false;
    std::thread sender([&] { result = loop->SendSync([&] { ran = true; }, abandon); });
    WaitUntilQueued(*loop, 1);
    loop.reset();
    sender.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace quorvel
