// The bench's own guarantees, checked with a scripted client in place of the engine.

#include "bench/bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace quorvel::bench {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kKeepAlive = {0xFD, 0x00, 0x40, 0x90};

// Stands where the engine stands: whatever a test scripts for ticks, and a receive step
// that reads at most readCap bytes per notification.
class CScriptClient : public ILinkEvents {
  public:
    explicit CScriptClient(CBench& bench) : bench_(bench) { bench.Attach(*this); }

    std::function<void(unsigned)> onTimer;
    std::function<void()> onNotify;
    std::size_t readCap = 512;
    Bytes received;
    // "tick N" and "notify" in the order the client saw them.
    std::vector<std::string> calls;

    void OnTimer(unsigned id) override {
        calls.push_back("tick " + std::to_string(id));
        if (onTimer) {
            onTimer(id);
        }
    }
    void OnCommNotify(uint32_t eventMask, uint32_t count) override {
        EXPECT_EQ(eventMask, kEvRxChar);
        calls.push_back("notify");
        Bytes buf(std::min<std::size_t>(count, readCap));
        const std::size_t n = bench_.Host().ReadBytes(buf);
        received.insert(received.end(), buf.begin(), buf.begin() + static_cast<long>(n));
        if (onNotify) {
            onNotify();
        }
    }

  private:
    CBench& bench_;
};

// A fixture with the port open and a client attached.
class Bench : public ::testing::Test {
  protected:
    explicit Bench(SBenchConfig cfg = {}) : bench(std::move(cfg)), client(bench) {
        bench.Connect();
    }
    CBench bench;
    CScriptClient client;
    uint64_t bt = bench.ByteTimeNs();
    ILinkHost& host = bench.Host();

    // Runs `once` on the first tick of timer 1 (started at 10 ms) and stops the timer.
    void OnFirstTick(std::function<void()> once) {
        client.onTimer = [this, once = std::move(once)](unsigned id) {
            if (id == 1) {
                host.KillTimer(1);
                once();
            }
        };
        host.SetTimer(1, 10);
    }
};

TEST_F(Bench, AWriteBlocksForItsWireTimeAndItsEchoWaitsUntilItEnds) {
    uint64_t afterWrite = 0;
    OnFirstTick([&] {
        EXPECT_EQ(host.WriteBytes(kKeepAlive), 4u);
        afterWrite = bench.Now();
    });
    bench.RunFor(Ms(100));
    ASSERT_EQ(bench.Rec().writes.size(), 1u);
    const auto& w = bench.Rec().writes[0];
    EXPECT_EQ(w.tStartNs, Ms(10));
    EXPECT_EQ(w.tEndNs, Ms(10) + 4 * bt);
    EXPECT_EQ(afterWrite, w.tEndNs);
    // The four echo bytes arrived during the write and are announced together when it
    // ends; the reply comes a processing time and a byte time later.
    ASSERT_EQ(bench.Rec().notifies.size(), 2u);
    EXPECT_EQ(bench.Rec().notifies[0].tNs, w.tEndNs);
    EXPECT_EQ(bench.Rec().notifies[0].count, 4u);
    EXPECT_EQ(bench.Rec().notifies[1].tNs, w.tEndNs + Ms(1) + bt);
    EXPECT_EQ(bench.Rec().notifies[1].count, 1u);
    EXPECT_EQ(client.received, (Bytes{0xFD, 0x00, 0x40, 0x90, 0xC1}));
    EXPECT_EQ(bench.Esc().Count(sim::ReplyKind::kKeepAlive), 1u);
}

TEST_F(Bench, TicksThatFallDueDuringAWriteCoalesceAndKeepTheGrid) {
    // At the first tick of timer 1 a 1034-byte write blocks for about 565 ms.
    bool first = true;
    client.onTimer = [&](unsigned) {
        if (first) {
            first = false;
            host.WriteBytes(Bytes(1034, 0x55));
        }
    };
    host.SetTimer(1, 10);
    bench.RunFor(Ms(600));
    const uint64_t end = Ms(10) + 1034 * bt;
    const auto ticks = bench.Rec().TicksOf(1);
    ASSERT_GE(ticks.size(), 4u);
    EXPECT_EQ(ticks[0], Ms(10));
    EXPECT_EQ(ticks[1], end);  // one tick for the 56 missed
    EXPECT_EQ(ticks[2], (end / Ms(10) + 1) * Ms(10));
    EXPECT_EQ(ticks[3], ticks[2] + Ms(10));
}

TEST_F(Bench, APauseBlocksLikeAWrite) {
    OnFirstTick([&] {
        host.SetTimer(2, 10);
        host.WriteBytes(kKeepAlive);
        host.Pause(150);
    });
    bench.RunFor(Ms(300));
    const uint64_t resumed = Ms(10) + 4 * bt + Ms(150);
    // The reply arrived during the pause and is announced with the echo afterwards.
    ASSERT_FALSE(bench.Rec().notifies.empty());
    EXPECT_EQ(bench.Rec().notifies[0].tNs, resumed);
    EXPECT_EQ(bench.Rec().notifies[0].count, 5u);
    const auto ticks = bench.Rec().TicksOf(2);
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_EQ(ticks[0], resumed);
    EXPECT_EQ(ticks[1], Ms(170));  // the grid of 10 ms from its start at 10 ms
    ASSERT_EQ(bench.Rec().pauses.size(), 1u);
    EXPECT_EQ(bench.Rec().pauses[0].ms, 150u);
}

TEST(BenchOrder, ANotificationComesBeforeATickDueAtTheSameTime) {
    SBenchConfig cfg;
    // The keep-alive's reply ends exactly 2 ms after the write.
    cfg.esc.replyDelayNs = Ms(2) - cfg.esc.wire.ByteTimeNs();
    CBench bench(cfg);
    CScriptClient client(bench);
    bench.Connect();
    client.onTimer = [&](unsigned id) {
        if (id == 1) {
            bench.Host().KillTimer(1);
            bench.Host().WriteBytes(kKeepAlive);
            bench.Host().SetTimer(2, 2);
        } else {
            bench.Host().KillTimer(2);
        }
    };
    bench.Host().SetTimer(1, 10);
    bench.RunFor(Ms(50));
    const std::vector<std::string> expected = {"tick 1", "notify", "notify", "tick 2"};
    EXPECT_EQ(client.calls, expected);
    ASSERT_EQ(bench.Rec().notifies.size(), 2u);
    EXPECT_EQ(bench.Rec().notifies[1].tNs, bench.Rec().TicksOf(2).at(0));
}

TEST_F(Bench, ReadsOfAtMost512AnnounceTheRestAgainAtOnce) {
    OnFirstTick([&] { host.WriteBytes(Bytes(600, 0x55)); });
    bench.RunFor(Ms(400));
    const auto& n = bench.Rec().notifies;
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].count, 600u);
    EXPECT_EQ(n[1].count, 88u);
    EXPECT_EQ(n[0].tNs, n[1].tNs);
    EXPECT_EQ(client.received, Bytes(600, 0x55));
    ASSERT_EQ(bench.Rec().reads.size(), 2u);
    EXPECT_EQ(bench.Rec().reads[0].bytes.size(), 512u);
}

TEST_F(Bench, AHandlerThatReadsNothingIsCalledAgainOnlyForNewBytes) {
    client.readCap = 0;
    OnFirstTick([&] { host.WriteBytes(kKeepAlive); });
    bench.RunFor(Ms(100));
    const auto& n = bench.Rec().notifies;
    ASSERT_EQ(n.size(), 2u);  // the echo, then again when the reply arrives
    EXPECT_EQ(n[0].count, 4u);
    EXPECT_EQ(n[1].count, 5u);
    EXPECT_EQ(bench.QueuedInput(), 5u);
}

TEST_F(Bench, AModalMessageBoxKeepsDeliveringTicksAndBytes) {
    bench.Config().messageBoxNs = Ms(1000);
    client.onTimer = [&](unsigned id) {
        if (id == 1) {
            host.KillTimer(1);
            host.SetTimer(3, 200);
            host.MessageBox("Failed");
            host.SetProgressLabel("after the box");
        } else if (id == 3) {
            host.WriteBytes(kKeepAlive);
        }
    };
    host.SetTimer(1, 10);
    bench.RunFor(Ms(1500));
    ASSERT_EQ(bench.Rec().messageBoxes.size(), 1u);
    const auto& box = bench.Rec().messageBoxes[0];
    EXPECT_EQ(box.text, "Failed");
    EXPECT_EQ(box.tOpenNs, Ms(10));
    EXPECT_EQ(box.tCloseNs, Ms(1010));
    // Timer 3 ticked at 210, 410, 610 and 810 ms while the box was open, and the replies
    // were delivered; it goes on at 1010, 1210 and 1410 ms.
    EXPECT_EQ(bench.Rec().TicksOf(3, 0).size(), 7u);
    EXPECT_EQ(bench.Rec().TicksOf(3, box.tCloseNs).size(), 3u);
    std::size_t during = 0;
    for (const auto& n : bench.Rec().notifies) {
        during += n.tNs < box.tCloseNs ? 1 : 0;
    }
    EXPECT_EQ(during, 8u);  // echo and reply of four keep-alives
    ASSERT_EQ(bench.Rec().progress.size(), 1u);
    EXPECT_EQ(bench.Rec().progress[0].tNs, box.tCloseNs);
}

TEST_F(Bench, SettingARunningTimerRestartsIt) {
    client.onTimer = [&](unsigned id) {
        if (id == 2) {
            host.KillTimer(2);
            host.SetTimer(1, 10);
        }
    };
    host.SetTimer(1, 10);
    host.SetTimer(2, 25);
    bench.RunFor(Ms(60));
    const std::vector<uint64_t> expected = {Ms(10), Ms(20), Ms(35), Ms(45), Ms(55)};
    EXPECT_EQ(bench.Rec().TicksOf(1), expected);
    EXPECT_EQ(bench.Rec().RunningPeriod(1), 10u);
    EXPECT_FALSE(bench.Rec().RunningPeriod(2).has_value());
}

TEST(BenchTimers, TheBlinkTimerIsRecordedButDeliveredOnlyOnRequest) {
    for (const bool deliver : {false, true}) {
        SBenchConfig cfg;
        cfg.deliverBlinkTicks = deliver;
        CBench bench(cfg);
        CScriptClient client(bench);
        bench.Host().SetTimer(kTimerBlink, 400);
        bench.RunFor(Ms(1000));
        EXPECT_EQ(bench.Rec().TicksOf(kTimerBlink).size(), deliver ? 2u : 0u);
        EXPECT_EQ(bench.Rec().RunningPeriod(kTimerBlink), 400u);
    }
}

TEST_F(Bench, RunUntilStopsWhenThePredicateHoldsOrAtTheLimit) {
    OnFirstTick([&] { host.WriteBytes(kKeepAlive); });
    const auto gotReply = [&] {
        return std::find(client.received.begin(), client.received.end(), 0xC1) !=
               client.received.end();
    };
    EXPECT_TRUE(bench.RunUntil(gotReply, Ms(1000)));
    EXPECT_EQ(bench.Now(), Ms(10) + 4 * bt + Ms(1) + bt);

    const uint64_t start = bench.Now();
    EXPECT_FALSE(bench.RunUntil([] { return false; }, Ms(250)));
    EXPECT_EQ(bench.Now(), start + Ms(250));
    // A predicate already true costs nothing.
    EXPECT_TRUE(bench.RunUntil([] { return true; }, Ms(250)));
    EXPECT_EQ(bench.Now(), start + Ms(250));
}

TEST(BenchPort, NothingReachesTheLineWhileClosedOrWhenWritesFail) {
    CBench bench;
    CScriptClient client(bench);
    EXPECT_FALSE(bench.Host().IsOpen());
    EXPECT_EQ(bench.Host().WriteBytes(kKeepAlive), 0u);
    bench.Connect();
    EXPECT_TRUE(bench.Host().IsOpen());
    bench.FailWrites(true);
    EXPECT_EQ(bench.Host().WriteBytes(kKeepAlive), 0u);
    bench.FailWrites(false);
    bench.RunFor(Ms(10));
    EXPECT_EQ(bench.Esc().Count(sim::ReplyKind::kKeepAlive), 0u);
    EXPECT_TRUE(client.received.empty());
    ASSERT_EQ(bench.Rec().writes.size(), 2u);
    EXPECT_TRUE(bench.Rec().writes[0].failed && bench.Rec().writes[1].failed);
    EXPECT_TRUE(bench.Rec().Bursts().empty());
}

TEST(BenchHost, ClockSecondsUpdateDataAndRecords) {
    SBenchConfig cfg;
    cfg.localSecondsBase = 58;
    cfg.updateDataResult = false;
    CBench bench(cfg);
    ILinkHost& host = bench.Host();
    EXPECT_EQ(host.LocalSeconds(), 58);
    bench.RunFor(Ms(3500));
    EXPECT_EQ(host.LocalSeconds(), 1);

    EXPECT_FALSE(host.UpdateData(true));
    EXPECT_TRUE(host.UpdateData(false));
    host.Vars().m_strBootVersion = "f051";
    EXPECT_EQ(bench.Vars().m_strBootVersion, "f051");

    host.SetStatus(" Connected to the ESC is normal", 1);
    host.EnableTransferButtons(true);
    host.SetProgressRange(0, 29);
    host.SetProgressPos(3);
    host.SetProgressPos(4);
    host.ShowProgress(false);
    host.OnLinkEvent(LinkEvent::kConnected);
    const auto& rec = bench.Rec();
    EXPECT_EQ(rec.LastStatus()->text, " Connected to the ESC is normal");
    EXPECT_EQ(rec.LastStatus()->color, 1);
    EXPECT_EQ(rec.LastButtons(), true);
    EXPECT_EQ(rec.ProgressPositions(), (std::vector<int>{3, 4}));
    EXPECT_EQ(rec.ProgressShown(), false);
    EXPECT_EQ(rec.FirstLinkEvent(LinkEvent::kConnected), Ms(3500));
    ASSERT_EQ(rec.updateData.size(), 2u);
    EXPECT_TRUE(rec.updateData[0].saveAndValidate);
}

TEST_F(Bench, WritesWithoutAGapJoinIntoOneBurst) {
    int tick = 0;
    client.onTimer = [&](unsigned) {
        if (++tick == 1) {
            host.WriteBytes(Bytes{0xFD, 0x00});  // a packet and, separately, its CRC
            host.WriteBytes(Bytes{0x40, 0x90});
        } else if (tick == 2) {
            host.KillTimer(1);
            host.WriteBytes(kKeepAlive);
        }
    };
    host.SetTimer(1, 10);
    bench.RunFor(Ms(50));
    const auto bursts = bench.Rec().Bursts();
    ASSERT_EQ(bursts.size(), 2u);
    EXPECT_EQ(bursts[0].bytes, kKeepAlive);
    EXPECT_EQ(bursts[0].tStartNs, Ms(10));
    EXPECT_EQ(bursts[1].tStartNs, Ms(20));
    EXPECT_EQ(bench.Rec().CountBursts(kKeepAlive), 2u);
    EXPECT_EQ(bench.Rec().FirstBurst(kKeepAlive, Ms(15)), Ms(20));
    EXPECT_EQ(bench.Rec().WrittenSince(Ms(15)), kKeepAlive);
    EXPECT_EQ(bench.Esc().Count(sim::ReplyKind::kKeepAlive), 2u);
}

}  // namespace
}  // namespace quorvel::bench
