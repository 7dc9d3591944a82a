// The real-time driver's pacing, on a clock the test moves by hand.

#include "sim/realtime_esc.h"

#include <gtest/gtest.h>

#include <atomic>

#include "sim/tests/host_script.h"

namespace quorvel::sim {
namespace {

using testing::Bytes;
using testing::kKeepAlive;

class RealtimeEsc : public ::testing::Test {
  protected:
    std::atomic<uint64_t> clock{1'000'000'000};  // any origin: the ESC starts at 0
    CRealtimeEsc rt{SSimConfig{}, [this] { return clock.load(); }};
    uint64_t bt = SSimConfig{}.wire.ByteTimeNs();
};

TEST_F(RealtimeEsc, ABurstReadAtOnceGoesByAtWireSpeed) {
    clock += 10 * kNsPerMs;
    rt.Feed(kKeepAlive);
    // The first byte ended when it was read, the others follow a byte time apart.
    EXPECT_EQ(rt.NextDueNs(), 10 * kNsPerMs);
    EXPECT_EQ(rt.TakeDue(), (Bytes{0xFD}));
    EXPECT_TRUE(rt.TakeDue().empty());
    clock += 2 * bt;
    EXPECT_EQ(rt.TakeDue(), (Bytes{0x00, 0x40}));
    clock += bt;
    EXPECT_EQ(rt.TakeDue(), (Bytes{0x90}));
    // The reply after the processing time.
    const uint64_t lastIn = 10 * kNsPerMs + 3 * bt;
    EXPECT_EQ(rt.NextDueNs(), lastIn + 1 * kNsPerMs + bt);
    clock += 1 * kNsPerMs + bt;
    EXPECT_EQ(rt.TakeDue(), (Bytes{0xC1}));
}

TEST_F(RealtimeEsc, BytesReadWhileEarlierOnesAreStillOnTheWireQueueBehindThem) {
    rt.Feed(Bytes{0xFD, 0x00});
    clock += bt / 2;  // the second read comes before the first burst is through
    rt.Feed(Bytes{0x40, 0x90});
    clock += 10 * kNsPerMs;
    EXPECT_EQ(rt.TakeDue(), (Bytes{0xFD, 0x00, 0x40, 0x90, 0xC1}));
    EXPECT_EQ(rt.WithEsc([](CSimEsc& esc) { return esc.Count(ReplyKind::kKeepAlive); }), 1u);
}

TEST_F(RealtimeEsc, WaitForOutputReturnsWhatIsDueOrNothingOnceStopped) {
    rt.Feed(Bytes{0x55});
    EXPECT_EQ(rt.WaitForOutput(1'000 * kNsPerMs), (Bytes{0x55}));
    rt.Stop();
    EXPECT_TRUE(rt.WaitForOutput(1'000 * kNsPerMs).empty());
}

}  // namespace
}  // namespace quorvel::sim
