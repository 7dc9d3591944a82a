// Firmware updates and setup writes on the bench, from the button to the re-read block.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/engine/tests/engine_rig.h"

namespace quorvel {
namespace {

using bench::Ms;
using sim::FaultAction;
using sim::ReplyKind;
using sim::SReplyFault;
using testing::Bytes;
using testing::EngineRig;

Bytes Keyed(std::span<const uint8_t> bytes, uint8_t key) {
    Bytes out(bytes.begin(), bytes.end());
    for (uint8_t& b : out)
        b ^= key;
    return out;
}

std::vector<int> FirmwareProgress() {
    std::vector<int> p = {1};
    for (int i = 3; i <= 28; ++i)
        p.push_back(i);
    p.push_back(29);
    return p;
}

TEST(Transfer, FirmwareUpdateSendsEveryPageAndRereadsTheNewVersion) {
    EngineRig rig;
    rig.ConnectAndRead();
    ASSERT_EQ(rig.bench.Vars().m_strAppVersion, "DR19V4.03");
    const uint64_t t0 = rig.bench.Now();
    rig.engine.OnUpdatingStart();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferDone, Ms(60000), t0));
    const uint64_t done = *rig.Rec().FirstLinkEvent(LinkEvent::kTransferDone, t0);
    const uint8_t key = rig.engine.State().g_key;
    const std::vector<uint8_t>& image = rig.engine.Images().g_image25.bytes;

    // The wire: the application address, then each page with set-buffer and program.
    const auto bursts = rig.Rec().Bursts(t0);
    std::vector<bench::SBurst> transfer;
    for (const auto& b : bursts) {
        if (b.tStartNs <= done && b.bytes != testing::kKeepAlive)
            transfer.push_back(b);
    }
    ASSERT_EQ(transfer.size(), 1u + 26u * 2u);
    EXPECT_EQ(transfer[0].bytes, testing::SetAddressPacket(key, 0x10));
    for (std::size_t page = 0; page < 26; ++page) {
        const auto& data = transfer[1 + 2 * page];
        const auto page0 = image.begin() + static_cast<std::ptrdiff_t>(page * 1024);
        EXPECT_EQ(data.bytes, testing::Cat({testing::kSetBuffer,
                                            testing::WithCrc(Keyed({page0, page0 + 1024}, key))}))
            << "page " << page;
        EXPECT_EQ(transfer[2 + 2 * page].bytes, testing::kProgram) << "page " << page;
    }
    EXPECT_EQ(rig.Rec().ProgressPositions(t0), FirmwareProgress());
    EXPECT_EQ(rig.Rec().ProgressShown(), false);
    EXPECT_EQ(rig.Rec().LastProgressLabel(), texts::kProgramDone);
    EXPECT_EQ(rig.Rec().pauses.size(), 26u);
    for (const auto& p : rig.Rec().pauses)
        EXPECT_EQ(p.ms, kProgramPauseMs);

    // The handshake follows with the transfer's key and shows the new version.
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kConnected, Ms(3000), done));
    const auto again = rig.Rec().BurstsStartingWith(testing::kSetAddress, done);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0].bytes, testing::SetAddressPacket(key, 0x7C));
    EXPECT_EQ(rig.bench.Vars().m_strAppVersion, "DR19V4.10");

    // What the ESC now holds is the image.
    const auto flash = rig.bench.Esc().Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 26 * 1024, flash.begin() + 0x1000));
}

TEST(Transfer, ThePageAfterAnAcknowledgementGoesOutOnTheNextTick) {
    EngineRig rig;
    rig.ConnectAndRead();
    const uint64_t t0 = rig.bench.Now();
    rig.engine.OnUpdatingStart();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferDone, Ms(60000), t0));
    // Every program goes out on the tick after the one that saw the page's '0', and the
    // next page 150 ms later plus one tick.
    const auto programs = rig.Rec().BurstsStartingWith(testing::kProgram, t0);
    const auto pages = rig.Rec().BurstsStartingWith(testing::kSetBuffer, t0);
    ASSERT_EQ(programs.size(), 26u);
    for (std::size_t i = 0; i + 1 < pages.size(); ++i) {
        const uint64_t gap = pages[i + 1].tStartNs - programs[i].tEndNs;
        EXPECT_GE(gap, Ms(kProgramPauseMs)) << "page " << i + 1;
        EXPECT_LE(gap, Ms(kProgramPauseMs) + Ms(20) + sim::kNsPerMs * 30) << "page " << i + 1;
    }
}

TEST(Transfer, SetupWriteSendsOnlyTheSetupPageWithTheChosenValues) {
    EngineRig rig;
    rig.ConnectAndRead();
    const SEscSettings before = rig.engine.Info().settings();
    SDialogVars& vars = rig.bench.Vars();
    vars.m_nMode = 1;       // 3D Slow stores 2
    vars.m_nPwm = 0;        // 12K
    vars.m_nTiming = 2;     // High stores 26
    vars.m_nSignal = 2;     // One-shot stores 1
    vars.m_nBrake = 0;      // OFF
    vars.m_nDirection = 1;  // Reverse
    const uint64_t t0 = rig.bench.Now();
    rig.engine.OnWriteSetup();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferDone, Ms(10000), t0));
    const uint64_t done = *rig.Rec().FirstLinkEvent(LinkEvent::kTransferDone, t0);
    const uint8_t key = rig.engine.State().g_key;

    SEscSettings expected = before;
    expected.Set(SetupField::kMode, 2);
    expected.Set(SetupField::kPwm, 12);
    expected.Set(SetupField::kTiming, 26);
    expected.Set(SetupField::kSignal, 1);
    expected.Set(SetupField::kBrake, 0);
    expected.Set(SetupField::kDirection, 1);

    Bytes page(rig.engine.Images().g_image25.bytes.begin() + 0x6800,
               rig.engine.Images().g_image25.bytes.begin() + 0x6C00);
    std::copy(expected.raw.begin(), expected.raw.end(), page.begin());
    std::vector<bench::SBurst> transfer;
    for (const auto& b : rig.Rec().Bursts(t0)) {
        if (b.tStartNs <= done && b.bytes != testing::kKeepAlive)
            transfer.push_back(b);
    }
    ASSERT_EQ(transfer.size(), 3u);
    EXPECT_EQ(transfer[0].bytes, testing::SetAddressPacket(key, 0x78));
    EXPECT_EQ(transfer[1].bytes,
              testing::Cat({testing::kSetBuffer, testing::WithCrc(Keyed(page, key))}));
    EXPECT_EQ(transfer[2].bytes, testing::kProgram);
    EXPECT_EQ(rig.Rec().ProgressPositions(t0), (std::vector<int>{16, 29}));
    EXPECT_EQ(rig.Rec().ProgressShown(), false);
    EXPECT_EQ(rig.Rec().LastProgressLabel(), texts::kSetupDone);

    // The ESC's setup page holds the block: chosen values, head and tail as reported.
    const auto flash = rig.bench.Esc().Flash();
    EXPECT_TRUE(std::equal(expected.raw.begin(), expected.raw.end(), flash.begin() + 0x7800));

    // The re-read block shows the choices back.
    vars = SDialogVars{};
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kConnected, Ms(3000), done));
    EXPECT_EQ(rig.engine.Info().settings().raw, expected.raw);
    EXPECT_EQ(vars.m_nMode, 1);
    EXPECT_EQ(vars.m_nPwm, 0);
    EXPECT_EQ(vars.m_nTiming, 2);
    EXPECT_EQ(vars.m_nSignal, 2);
    EXPECT_EQ(vars.m_nBrake, 0);
    EXPECT_EQ(vars.m_nDirection, 1);
}

struct FailCase {
    const char* name;
    bool setup;
    ReplyKind kind;
    uint32_t nth;
    const Bytes* sentBy;  // the packet whose tick starts the count
    const char* text;
    uint32_t limit;
};

TEST(Transfer, EachStepFailsAtItsTickLimitAndHandsBackToKeepAlive) {
    const FailCase cases[] = {
        {"page not acknowledged", false, ReplyKind::kSetBuffer, 1, &testing::kSetBuffer,
         texts::kFailRomData, kAppBlockTicks},
        {"program not acknowledged", false, ReplyKind::kProgram, 3, &testing::kProgram,
         texts::kFailRomProgram, kAppProgramTicks},
        {"setup page not acknowledged", true, ReplyKind::kSetBuffer, 1, &testing::kSetBuffer,
         texts::kFailEepData, kSetupBlockTicks},
        {"final program not acknowledged", true, ReplyKind::kProgram, 1, &testing::kProgram,
         texts::kFailEepProgram, kSetupProgramTicks},
        {"transfer address not acknowledged", false, ReplyKind::kSetAddress, 2,
         &testing::kSetAddress, texts::kFailSetAddress, kTransferAddressTicks},
    };
    for (const FailCase& c : cases) {
        bench::SBenchConfig cfg;
        SReplyFault f;
        f.kind = c.kind;
        f.action = FaultAction::kMissing;
        f.nth = c.nth;
        f.repeat = 0;  // from the n-th on: the step never gets its answer
        cfg.esc.faults.push_back(f);
        EngineRig rig(cfg);
        rig.ConnectAndRead();
        const uint64_t t0 = rig.bench.Now();
        if (c.setup) {
            rig.engine.OnWriteSetup();
        } else {
            rig.engine.OnUpdatingStart();
        }
        ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferFailed, Ms(30000), t0)) << c.name;
        ASSERT_EQ(rig.Rec().MessageTexts(), std::vector<std::string>{c.text}) << c.name;
        const auto box = rig.Rec().messageBoxes.back();

        // Count the transfer ticks from the one that sent the unanswered packet.
        const auto sends = rig.Rec().BurstsStartingWith(*c.sentBy, t0);
        ASSERT_FALSE(sends.empty()) << c.name;
        const uint64_t sentAt =
            c.kind == ReplyKind::kSetAddress ? sends.front().tStartNs : sends.back().tStartNs;
        const auto ticks = rig.Rec().TicksOf(kTimerTransfer, sentAt);
        const auto counted =
            std::count_if(ticks.begin(), ticks.end(), [&](uint64_t t) { return t <= box.tOpenNs; });
        EXPECT_EQ(counted, static_cast<long>(c.limit)) << c.name;

        // After the box: the error label, the bar at 0 and hidden, keep-alive at 200 ms.
        EXPECT_EQ(rig.Rec().LastProgressLabel(), texts::kUpdatingError) << c.name;
        EXPECT_EQ(rig.Rec().ProgressPositions(t0).back(), 0) << c.name;
        EXPECT_EQ(rig.Rec().ProgressShown(), false) << c.name;
        EXPECT_EQ(rig.Rec().RunningPeriod(kTimerKeepAlive), kKeepAlivePeriodMs) << c.name;
        EXPECT_EQ(rig.Rec().RunningPeriod(kTimerTransfer), std::nullopt) << c.name;
        EXPECT_EQ(rig.engine.State().g_busy, 1) << c.name << ": until the next keep-alive";
        rig.bench.RunFor(Ms(450));
        const auto alive = rig.Rec().BurstsStartingWith(testing::kKeepAlive, box.tCloseNs);
        ASSERT_EQ(alive.size(), 2u) << c.name;
        EXPECT_EQ(alive[0].tStartNs - box.tCloseNs, Ms(200)) << c.name;
        EXPECT_EQ(rig.engine.State().g_busy, 0) << c.name;
        EXPECT_EQ(rig.Rec().LastButtons(), true) << c.name;
        if (c.kind == ReplyKind::kProgram && !c.setup) {
            EXPECT_EQ(rig.engine.State().g_blockIndex, c.nth) << "pages sent, not written";
        }
    }
}

TEST(Transfer, APowerCutMidUpdateIsFollowedByASuccessfulSecondUpdate) {
    bench::SBenchConfig cfg;
    cfg.esc.powerCutAfterPage = 10;
    cfg.esc.powerCutNs = Ms(500);
    EngineRig rig(cfg);
    rig.ConnectAndRead();
    uint64_t t0 = rig.bench.Now();
    rig.engine.OnUpdatingStart();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferFailed, Ms(30000), t0));
    EXPECT_EQ(rig.Rec().MessageTexts(), std::vector<std::string>{texts::kFailRomProgram});

    // Wait for the link to be usable again, then update once more.
    ASSERT_TRUE(rig.bench.RunUntil(
        [&] { return rig.Connected() && rig.engine.State().g_busy == 0; }, Ms(10000)));
    t0 = rig.bench.Now();
    rig.engine.OnUpdatingStart();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferDone, Ms(60000), t0));
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kConnected, Ms(3000), t0));
    const std::vector<uint8_t>& image = rig.engine.Images().g_image25.bytes;
    const auto flash = rig.bench.Esc().Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 26 * 1024, flash.begin() + 0x1000));
    EXPECT_EQ(rig.bench.Vars().m_strAppVersion, "DR19V4.10");
    EXPECT_EQ(rig.bench.Esc().Boots(), 2u) << "the cut really rebooted the ESC";
}

}  // namespace
}  // namespace quorvel
