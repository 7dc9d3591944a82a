// The link session on the bench: probing, the key, the handshake and keep-alive.
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

bench::SBenchConfig WithFault(ReplyKind kind, FaultAction action, uint32_t nth = 0,
                              uint32_t repeat = 1) {
    bench::SBenchConfig cfg;
    SReplyFault f;
    f.kind = kind;
    f.action = action;
    f.nth = nth;
    f.repeat = repeat;
    cfg.esc.faults.push_back(f);
    return cfg;
}

TEST(DrawKey, FollowsTheRuntimeGeneratorAndIsNeverZero) {
    // srand(1); rand() gives 41 first; srand(0) gives 38.
    EXPECT_EQ(DrawKeyForSeed(1), 41);
    EXPECT_EQ(DrawKeyForSeed(0), 38);
    for (unsigned s = 0; s < 60; ++s)
        EXPECT_NE(DrawKeyForSeed(s), 0) << "seconds " << s;
}

TEST(Session, WithoutAnEscOnlyWakeUpAndProbeGoOutOnEveryTick) {
    bench::SBenchConfig cfg;
    cfg.esc.present = false;
    EngineRig rig(cfg);
    rig.Connect();
    EXPECT_EQ(rig.Rec().LastStatus()->text, texts::kReadingInfo);
    EXPECT_EQ(rig.Rec().LastStatus()->color, kColorRed);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerProbe), kProbePeriodConnectMs);
    rig.bench.RunFor(Ms(2000));

    const Bytes probe =
        testing::Cat({testing::kWakeUp, testing::WithCrc({'Q', 'Z', '3', '2', 'S', 'Z'})});
    const auto bursts = rig.Rec().Bursts();
    ASSERT_EQ(bursts.size(), rig.Rec().TicksOf(kTimerProbe).size());
    ASSERT_GE(bursts.size(), 9u);
    for (const auto& b : bursts)
        EXPECT_EQ(b.bytes, probe);
    EXPECT_EQ(rig.Rec().LinkEvents(), std::vector<LinkEvent>{LinkEvent::kProbing});
    EXPECT_EQ(rig.engine.State().g_escType, kEscNone);
    EXPECT_EQ(rig.engine.State().g_appVariant, kNoVariant);
}

TEST(Session, IdentificationSendsTheKeyedInformationAddress) {
    bench::SBenchConfig cfg;
    cfg.localSecondsBase = 17;
    EngineRig rig(cfg);
    rig.Connect();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kIdentified, Ms(2000)));
    const uint8_t key = rig.engine.State().g_key;
    EXPECT_NE(key, 0);
    EXPECT_EQ(key, DrawKeyForSeed(static_cast<unsigned>(rig.bench.Host().LocalSeconds())));
    const auto bursts = rig.Rec().Bursts();
    ASSERT_FALSE(bursts.empty());
    EXPECT_EQ(bursts.back().bytes, testing::SetAddressPacket(key, 0x7C));
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerProbe), std::nullopt);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerHandshake), kHandshakePeriodMs);
    EXPECT_EQ(rig.engine.State().g_rxMode, kRxHandshake);
    EXPECT_EQ(rig.engine.State().g_txStep, kStepSetAddress);
}

TEST(Session, UnacknowledgedSetAddressGoesOutThreeTimesThenFallsBack) {
    EngineRig rig(WithFault(ReplyKind::kSetAddress, FaultAction::kMissing));
    rig.Connect();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kHandshakeFailed, Ms(3000)));
    const uint64_t identified = *rig.Rec().FirstLinkEvent(LinkEvent::kIdentified);
    const uint64_t failed = *rig.Rec().FirstLinkEvent(LinkEvent::kHandshakeFailed);
    const uint8_t key = rig.engine.State().g_key;
    const auto sends = rig.Rec().BurstsStartingWith(testing::kSetAddress);
    ASSERT_EQ(sends.size(), 3u);
    for (const auto& s : sends)
        EXPECT_EQ(s.bytes, testing::SetAddressPacket(key, 0x7C));
    // It fails on the third handshake tick without an acknowledgement.
    const auto ticks = rig.Rec().TicksOf(kTimerHandshake, identified);
    ASSERT_EQ(ticks.size(), 3u);
    EXPECT_EQ(ticks[2], failed);
    EXPECT_EQ(rig.Rec().LastStatus()->text, texts::kReadingInfoRetry);
    EXPECT_EQ(rig.Rec().LastStatus()->color, kColorRed);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerProbe), kProbePeriodFallbackMs);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerHandshake), std::nullopt);
    EXPECT_EQ(rig.engine.State().g_rxMode, kRxIdentify);
}

TEST(Session, UnansweredReadInformationGoesOutThreeTimesSixtyTicksApart) {
    EngineRig rig(WithFault(ReplyKind::kReadInfo, FaultAction::kMissing));
    rig.Connect();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kHandshakeFailed, Ms(5000)));
    const uint64_t identified = *rig.Rec().FirstLinkEvent(LinkEvent::kIdentified);
    const uint64_t failed = *rig.Rec().FirstLinkEvent(LinkEvent::kHandshakeFailed);
    const auto sends = rig.Rec().BurstsStartingWith(testing::kReadInfo, identified);
    ASSERT_EQ(sends.size(), 3u);
    // Step 4 begins at the tick that sends the first read-information; count the ticks
    // after it up to each resend and to the failure.
    const auto ticks = rig.Rec().TicksOf(kTimerHandshake, sends[0].tStartNs);
    auto ticksUntil = [&](uint64_t t) {
        return std::count_if(ticks.begin(), ticks.end(), [&](uint64_t x) { return x <= t; });
    };
    EXPECT_EQ(ticksUntil(sends[1].tStartNs) - 1, 60) << "first tick sent the packet itself";
    EXPECT_EQ(ticksUntil(sends[2].tStartNs) - 1, 120);
    EXPECT_EQ(ticksUntil(failed) - 1, 180);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerProbe), kProbePeriodFallbackMs);
    EXPECT_EQ(rig.Rec().LastStatus()->text, texts::kReadingInfoRetry);
}

TEST(Session, InformationWithAWrongCrcIsTreatedAsNoAnswer) {
    bench::SBenchConfig cfg;
    cfg.esc.badInfoCrc = true;
    EngineRig rig(cfg);
    rig.Connect();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kHandshakeFailed, Ms(5000)));
    const uint64_t identified = *rig.Rec().FirstLinkEvent(LinkEvent::kIdentified);
    EXPECT_EQ(rig.Rec().CountBursts(testing::kReadInfo, identified), 3u);
    EXPECT_FALSE(rig.Rec().FirstLinkEvent(LinkEvent::kConnected).has_value());
    EXPECT_EQ(rig.engine.State().g_linkUp, 0);
}

TEST(Session, SuccessShowsGreenLoadsOnceAndKeepsAliveEvery200ms) {
    EngineRig rig;
    rig.ConnectAndRead();
    const uint64_t connected = *rig.Rec().FirstLinkEvent(LinkEvent::kConnected);
    const auto status = *rig.Rec().LastStatus();
    EXPECT_EQ(status.text, texts::kConnectedNormal);
    EXPECT_EQ(status.color, kColorGreen);
    EXPECT_EQ(rig.engine.State().g_statusColor, kColorGreen);
    // LoadDeviceInfo refreshes the window exactly once.
    const uint64_t identified = *rig.Rec().FirstLinkEvent(LinkEvent::kIdentified);
    EXPECT_EQ(std::count_if(rig.Rec().updateData.begin(), rig.Rec().updateData.end(),
                            [&](const auto& u) { return u.tNs >= identified; }),
              1);
    EXPECT_EQ(rig.bench.Vars().m_strAppVersion, "DR19V4.03");
    EXPECT_EQ(rig.bench.Vars().m_strBootVersion.substr(0, 4), "f051");
    EXPECT_EQ(rig.engine.State().g_escType, kEscType3);
    EXPECT_EQ(rig.engine.State().g_blockCount, 26);

    rig.bench.RunFor(Ms(1000));
    const auto alive = rig.Rec().BurstsStartingWith(testing::kKeepAlive, connected);
    ASSERT_GE(alive.size(), 4u);
    EXPECT_EQ(alive[0].tStartNs - connected, Ms(200));
    for (std::size_t i = 1; i < alive.size(); ++i) {
        EXPECT_EQ(alive[i].tStartNs - alive[i - 1].tStartNs, Ms(200));
    }
    EXPECT_TRUE(rig.Connected());
    EXPECT_EQ(rig.Rec().LastButtons(), true);
}

TEST(Session, ThreeUnansweredKeepAlivesFallBackToProbingAt10ms) {
    // The first keep-alive is answered, every later one is not.
    EngineRig rig(WithFault(ReplyKind::kKeepAlive, FaultAction::kMissing, 2, 0));
    rig.ConnectAndRead();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kLinkLost, Ms(3000)));
    const uint64_t connected = *rig.Rec().FirstLinkEvent(LinkEvent::kConnected);
    const uint64_t lost = *rig.Rec().FirstLinkEvent(LinkEvent::kLinkLost);
    const auto alive = rig.Rec().BurstsStartingWith(testing::kKeepAlive, connected);
    ASSERT_EQ(alive.size(), 4u) << "one answered, three not";
    const auto ticks = rig.Rec().TicksOf(kTimerKeepAlive, connected);
    ASSERT_EQ(ticks.size(), 5u);
    EXPECT_EQ(ticks[4], lost);
    // 600 ms after the last tick that found a reply.
    EXPECT_EQ(lost - ticks[1], Ms(600));
    EXPECT_EQ(rig.Rec().LastStatus()->text, texts::kReadingInfoRetry);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerProbe), kProbePeriodFallbackMs);
    EXPECT_EQ(rig.engine.State().g_linkUp, 0);
    // Probing again finds the ESC, which still answers identification and handshake.
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kIdentified, Ms(1000), lost));
}

TEST(Session, ALateKeepAliveReplyBeforeTheNextTickCounts) {
    bench::SBenchConfig cfg;
    SReplyFault late;
    late.kind = ReplyKind::kKeepAlive;
    late.action = FaultAction::kLate;
    late.lateNs = Ms(150);
    cfg.esc.faults.push_back(late);
    EngineRig rig(cfg);
    rig.ConnectAndRead();
    rig.bench.RunFor(Ms(3000));
    EXPECT_FALSE(rig.Rec().FirstLinkEvent(LinkEvent::kLinkLost).has_value());
    EXPECT_TRUE(rig.Connected());
}

struct ButtonCase {
    const char* name;
    int bootType;
    uint8_t byte23;
    bool enabled;
};

TEST(Session, KeepAliveTicksSwitchTheButtonsByEscType) {
    const ButtonCase cases[] = {
        {"type 3", 3, 0, true},
        {"type 1", 1, 0, true},
        {"type 2", 2, 0, true},
        {"invalid block", 3, 1, false},
    };
    for (const ButtonCase& c : cases) {
        bench::SBenchConfig cfg;
        cfg.esc.bootType = c.bootType;
        cfg.esc.byte23 = c.byte23;
        EngineRig rig(cfg);
        rig.ConnectAndRead();
        const uint64_t connected = *rig.Rec().FirstLinkEvent(LinkEvent::kConnected);
        rig.bench.RunFor(Ms(1000));
        const auto ticks = rig.Rec().TicksOf(kTimerKeepAlive, connected);
        std::vector<bench::SButtonsRec> after;
        for (const auto& b : rig.Rec().buttons) {
            if (b.tNs > connected)
                after.push_back(b);
        }
        ASSERT_EQ(after.size(), ticks.size()) << c.name << ": once on every keep-alive tick";
        for (const auto& b : after)
            EXPECT_EQ(b.enabled, c.enabled) << c.name;
    }
}

struct InfoCase {
    const char* name;
    int bootType;
    char bootTypeChar;
    std::string bootText;
    uint8_t byte23;
    uint8_t variant;
    uint8_t major;
    uint8_t minor;
    uint8_t escType;
    uint8_t appVariant;
    const char* boot;  // nullptr: whatever the profile's text is, starting "f051"
    const char* app;
};

TEST(Session, TheInformationBlockDecidesTypeVariantAndVersionTexts) {
    const InfoCase cases[] = {
        {"variant 1", 3, 0, "", 0, 1, 4, 3, 3, 1, nullptr, "DR19V4.03"},
        {"variant 0", 3, 0, "", 0, 0, 4, 3, 3, 0, nullptr, "DR65V4.03"},
        {"variant 25", 3, 0, "", 0, 25, 4, 3, 3, 25, nullptr, "DR19V4.03"},
        {"variant 101", 3, 0, "", 0, 101, 5, 12, 3, 101, nullptr, "DR65V5.12"},
        {"other variant", 3, 0, "", 0, 7, 4, 3, 3, 255, nullptr, "DRffV4.03"},
        {"minor 100", 3, 0, "", 0, 1, 4, 100, 3, 1, nullptr, "DR19V4.100"},
        {"type 1 keeps the app text", 1, 0, "", 0, 1, 4, 3, 1, 255, nullptr, ""},
        {"type 2 keeps the app text", 2, 0, "", 0, 1, 4, 3, 2, 255, nullptr, ""},
        {"byte 23 set", 3, 0, "", 1, 1, 4, 3, 0, 255, " Invalid version", "Invalid version"},
        {"upper-case signature", 3, 0, "F051abc4xyz", 0, 1, 4, 3, 0, 255, " Invalid version",
         "Invalid version"},
        {"boot type '1'", 3, '1', "", 0, 1, 4, 3, 0, 255, " Invalid version", "Invalid version"},
        {"boot type '5'", 3, '5', "", 0, 1, 4, 3, 0, 255, " Invalid version", "Invalid version"},
    };
    for (const InfoCase& c : cases) {
        bench::SBenchConfig cfg;
        cfg.esc.bootType = c.bootType;
        cfg.esc.bootTypeChar = c.bootTypeChar;
        cfg.esc.bootText = c.bootText;
        cfg.esc.byte23 = c.byte23;
        cfg.esc.variant = c.variant;
        cfg.esc.appMajor = c.major;
        cfg.esc.appMinor = c.minor;
        EngineRig rig(cfg);
        rig.ConnectAndRead();
        const SLinkState& s = rig.engine.State();
        EXPECT_EQ(s.g_escType, c.escType) << c.name;
        EXPECT_EQ(s.g_appVariant, c.appVariant) << c.name;
        EXPECT_EQ(rig.bench.Vars().m_strAppVersion, c.app) << c.name;
        if (c.boot != nullptr) {
            EXPECT_EQ(rig.bench.Vars().m_strBootVersion, c.boot) << c.name;
        } else {
            EXPECT_EQ(rig.bench.Vars().m_strBootVersion.substr(0, 4), "f051") << c.name;
        }
        EXPECT_EQ(rig.Rec().LastStatus()->text, texts::kConnectedNormal) << c.name;
    }
}

TEST(Session, AFallBackClearsTheDeviceOnlyAtTheFirstProbeTick) {
    EngineRig rig(WithFault(ReplyKind::kKeepAlive, FaultAction::kMissing, 1, 0));
    rig.ConnectAndRead();
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kLinkLost, Ms(3000)));
    // Still the old device until timer 1 ticks.
    EXPECT_EQ(rig.engine.State().g_escType, kEscType3);
    const std::string app = rig.bench.Vars().m_strAppVersion;
    const uint64_t lost = *rig.Rec().FirstLinkEvent(LinkEvent::kLinkLost);
    ASSERT_TRUE(rig.bench.RunUntil(
        [&] { return !rig.Rec().TicksOf(kTimerProbe, lost + 1).empty(); }, Ms(100)));
    EXPECT_EQ(rig.engine.State().g_escType, kEscNone);
    EXPECT_EQ(rig.engine.State().g_appVariant, kNoVariant);
    EXPECT_EQ(rig.bench.Vars().m_strBootVersion, "");
    EXPECT_EQ(rig.bench.Vars().m_strAppVersion, app) << "the app text stays";
    EXPECT_EQ(rig.Rec().LastButtons(), false);
}

}  // namespace
}  // namespace quorvel
