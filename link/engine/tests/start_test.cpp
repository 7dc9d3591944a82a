// What the two transfer commands check before anything is sent, and how they start.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/engine/tests/engine_rig.h"

namespace quorvel {
namespace {

using bench::Ms;
using testing::Bytes;
using testing::EngineRig;

enum class Cmd { kUpdate, kSetup };

void Press(EngineRig& rig, Cmd cmd) {
    if (cmd == Cmd::kUpdate) {
        rig.engine.OnUpdatingStart();
    } else {
        rig.engine.OnWriteSetup();
    }
}

// Presses the button and checks that exactly the refusal text was shown and that the
// link went on as before: same state, no transfer packet, nothing mixed.
void ExpectRefused(EngineRig& rig, Cmd cmd, const std::string& text, const char* name) {
    const SLinkState before = rig.engine.State();
    const auto txBefore = rig.engine.TxImage();
    const std::size_t boxes = rig.Rec().messageBoxes.size();
    const std::size_t events = rig.Rec().linkEvents.size();
    const uint64_t t0 = rig.bench.Now();
    Press(rig, cmd);
    ASSERT_EQ(rig.Rec().messageBoxes.size(), boxes + 1) << name;
    EXPECT_EQ(rig.Rec().messageBoxes.back().text, text) << name;
    ASSERT_GT(rig.Rec().linkEvents.size(), events) << name;
    EXPECT_EQ(rig.Rec().linkEvents[events].event, LinkEvent::kRefused) << name;
    EXPECT_FALSE(rig.Rec().FirstLinkEvent(LinkEvent::kTransferStarted, t0)) << name;
    // While the box was open only the link's own traffic went on.
    for (const auto& b : rig.Rec().Bursts(t0)) {
        const bool wakeUp =
            b.bytes.size() >= testing::kWakeUp.size() &&
            std::equal(testing::kWakeUp.begin(), testing::kWakeUp.end(), b.bytes.begin());
        EXPECT_TRUE(b.bytes == testing::kKeepAlive || wakeUp) << name;
    }
    const SLinkState& after = rig.engine.State();
    EXPECT_EQ(after.g_busy, before.g_busy) << name;
    EXPECT_EQ(after.g_setupMode, before.g_setupMode) << name;
    EXPECT_EQ(after.g_blockIndex, before.g_blockIndex) << name;
    EXPECT_EQ(after.g_linkUp, before.g_linkUp) << name;
    EXPECT_EQ(rig.engine.TxImage(), txBefore) << name;
}

TEST(TransferStart, RefusesBeforeTheLinkIsUp) {
    for (Cmd cmd : {Cmd::kUpdate, Cmd::kSetup}) {
        EngineRig rig;
        ExpectRefused(rig, cmd, texts::kNotConnected, "before Connect");
        EXPECT_TRUE(rig.Rec().writes.empty());
        EXPECT_TRUE(rig.Rec().timerCalls.empty());
    }
}

struct RefusalCase {
    const char* name;
    int bootType;
    uint8_t byte23;
    uint8_t major;
    uint8_t minor;
    const char* updateText;  // nullptr: Updating Start goes ahead
    const char* setupText;   // nullptr: Write Setup goes ahead
};

TEST(TransferStart, ChecksEscTypeAndVersionInOrder) {
    const RefusalCase cases[] = {
        {"invalid block", 3, 1, 4, 3, texts::kNoFirmware, texts::kNoFirmware},
        {"type 1", 1, 0, 4, 3, texts::kBootUnsupported, texts::kBootUnsupportedSetup},
        {"type 2", 2, 0, 4, 3, texts::kBootUnsupported, texts::kBootUnsupportedSetup},
        {"app 4.02", 3, 0, 4, 2, nullptr, texts::kAppTooOld},
        {"app 3.99", 3, 0, 3, 99, nullptr, texts::kAppTooOld},
        {"app 4.03", 3, 0, 4, 3, nullptr, nullptr},
        {"app 4.10", 3, 0, 4, 10, nullptr, nullptr},
        {"app 5.00", 3, 0, 5, 0, nullptr, nullptr},
    };
    for (const RefusalCase& c : cases) {
        for (Cmd cmd : {Cmd::kUpdate, Cmd::kSetup}) {
            bench::SBenchConfig cfg;
            cfg.esc.bootType = c.bootType;
            cfg.esc.byte23 = c.byte23;
            cfg.esc.appMajor = c.major;
            cfg.esc.appMinor = c.minor;
            EngineRig rig(cfg);
            rig.ConnectAndRead();
            const char* text = cmd == Cmd::kUpdate ? c.updateText : c.setupText;
            if (text != nullptr) {
                ExpectRefused(rig, cmd, text, c.name);
                continue;
            }
            const uint64_t t0 = rig.bench.Now();
            Press(rig, cmd);
            EXPECT_TRUE(rig.Rec().messageBoxes.empty()) << c.name;
            EXPECT_TRUE(rig.Rec().FirstLinkEvent(LinkEvent::kTransferStarted, t0)) << c.name;
        }
    }
}

TEST(TransferStart, RefusesWhileBusyDuringAndRightAfterATransfer) {
    // The user closes each box at once, so the transfer's own traffic does not run
    // inside the refusal.
    bench::SBenchConfig cfg;
    cfg.messageBoxNs = 0;
    EngineRig rig(cfg);
    rig.ConnectAndRead();
    const uint64_t t0 = rig.bench.Now();
    rig.engine.OnWriteSetup();
    rig.bench.RunFor(Ms(30));
    EXPECT_EQ(rig.Rec().LastButtons(), false);
    ExpectRefused(rig, Cmd::kUpdate, texts::kBusy, "during the transfer");
    ExpectRefused(rig, Cmd::kSetup, texts::kBusy, "during the transfer");
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kConnected, Ms(10000), t0 + 1));
    // Still busy until the first keep-alive after the transfer.
    ExpectRefused(rig, Cmd::kSetup, texts::kBusy, "before the first keep-alive");
}

TEST(TransferStart, TheVariantChoosesTheImage) {
    struct Case {
        uint8_t variant;
        bool image25;
    };
    for (const Case c :
         {Case{1, true}, Case{25, true}, Case{0, false}, Case{101, false}, Case{7, false}}) {
        bench::SBenchConfig cfg;
        cfg.esc.variant = c.variant;
        EngineRig rig(cfg);
        rig.ConnectAndRead();
        rig.engine.OnUpdatingStart();
        const SFirmwareImage* expected =
            c.image25 ? &rig.engine.Images().g_image25 : &rig.engine.Images().g_image101;
        EXPECT_EQ(rig.engine.ImageSource(), expected) << "variant " << int{c.variant};
    }
}

TEST(TransferStart, MixesExactlyTheImageWithAFreshKey) {
    bench::SBenchConfig cfg;
    cfg.localSecondsBase = 42;
    EngineRig rig(cfg);
    rig.ConnectAndRead();
    const auto original = rig.engine.Images().g_image25.bytes;
    rig.engine.OnUpdatingStart();
    const uint8_t key = rig.engine.State().g_key;
    EXPECT_EQ(key, DrawKeyForSeed(static_cast<unsigned>(rig.bench.Host().LocalSeconds())));
    const auto& tx = rig.engine.TxImage();
    for (std::size_t i = 0; i < kImageSize; ++i) {
        ASSERT_EQ(tx[i], original[i] ^ key) << "byte " << i;
    }
    EXPECT_TRUE(std::all_of(tx.begin() + kImageSize, tx.end(), [](uint8_t b) { return b == 0; }))
        << "the buffer's last 1 KB is never filled";
    EXPECT_EQ(rig.engine.Images().g_image25.bytes, original) << "an update never writes the image";

    const SLinkState& s = rig.engine.State();
    EXPECT_EQ(s.g_busy, 1);
    EXPECT_EQ(s.g_txStep, kStepSetAddress);
    EXPECT_EQ(s.g_setupMode, 0);
    EXPECT_EQ(s.g_rxMode, kRxTransfer);
    EXPECT_EQ(s.g_blockIndex, 0u);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerKeepAlive), std::nullopt);
    EXPECT_EQ(rig.Rec().RunningPeriod(kTimerTransfer), kTransferPeriodMs);
    EXPECT_EQ(rig.Rec().LastProgressLabel(), texts::kUpdatingNow);
}

TEST(TransferStart, WriteSetupMixesTheSetupBlockIntoPage26) {
    EngineRig rig;
    rig.ConnectAndRead();
    rig.bench.Vars().m_nPwm = 1;  // 24K: bytes 0x18 0x00 at offsets 28 and 29
    rig.engine.OnWriteSetup();
    const uint8_t key = rig.engine.State().g_key;
    const SEscSettings sent = rig.engine.Info().settings();
    EXPECT_EQ(sent.raw[28], 0x18);
    EXPECT_EQ(sent.raw[29], 0x00);
    EXPECT_EQ(rig.engine.Settings().raw, sent.raw);
    const auto& tx = rig.engine.TxImage();
    for (std::size_t i = 0; i < kSetupBlockSize; ++i) {
        EXPECT_EQ(tx[kSetupPageOffset + i], sent.raw[i] ^ key) << "byte " << i;
    }
    EXPECT_EQ(rig.Rec().ProgressPositions(), (std::vector<int>{16}));
}

TEST(TransferStart, KeysDependOnlyOnTheSecondsOfTheClock) {
    EngineRig rig;
    rig.ConnectAndRead();
    // Two starts within the same second draw the same key.
    rig.engine.OnWriteSetup();
    const uint8_t first = rig.engine.State().g_key;
    rig.engine.BeginTransfer(1);
    EXPECT_EQ(rig.engine.State().g_key, first);
    EXPECT_EQ(first, DrawKeyForSeed(static_cast<unsigned>(rig.bench.Host().LocalSeconds())));
}

TEST(TransferStart, AnUnusableImageIsRefusedAndNothingIsSent) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string error;
    };
    const Case cases[] = {
        {"too short", std::vector<uint8_t>(0x6FFF, 0xAA), ""},
        {"missing", {}, "cannot open res/image101.bin"},
    };
    for (const Case& c : cases) {
        for (Cmd cmd : {Cmd::kUpdate, Cmd::kSetup}) {
            bench::SBenchConfig cfg;
            cfg.esc.variant = 101;
            EngineRig rig(cfg);
            SImageSet images = testing::TestImages();
            images.g_image101.bytes = c.bytes;
            images.g_image101.error = c.error;
            images.g_image101.origin = "res/image101.bin";
            rig.engine.SetImages(images, SyntheticImages::kAccept);
            rig.ConnectAndRead();
            const std::size_t buttons = rig.Rec().buttons.size();
            const uint64_t t0 = rig.bench.Now();
            Press(rig, cmd);
            ASSERT_EQ(rig.Rec().messageBoxes.size(), 1u) << c.name;
            EXPECT_EQ(rig.Rec().messageBoxes[0].text.rfind(texts::kImageUnusablePrefix, 0), 0u)
                << c.name;
            EXPECT_NE(rig.Rec().messageBoxes[0].text.find("image101"), std::string::npos)
                << c.name << ": says which file";
            EXPECT_EQ(rig.Rec().CountBursts(testing::kSetAddress, t0), 0u) << c.name;
            EXPECT_FALSE(rig.Rec().FirstLinkEvent(LinkEvent::kTransferStarted, t0)) << c.name;
            EXPECT_EQ(rig.engine.State().g_busy, 0) << c.name;
            // Only keep-alive ticks switched the buttons while the box was open.
            for (std::size_t i = buttons; i < rig.Rec().buttons.size(); ++i) {
                EXPECT_TRUE(rig.Rec().buttons[i].enabled) << c.name;
            }
            // Calling the start directly is refused the same way.
            rig.engine.BeginTransfer(0);
            EXPECT_EQ(rig.Rec().CountBursts(testing::kSetAddress, t0), 0u) << c.name;
        }
    }
}

TEST(AllDefault, ResetsOnlyTheSixChoicesAndSendsNothing) {
    EngineRig rig;
    SDialogVars& vars = rig.bench.Vars();
    vars.m_nMode = 2;
    vars.m_nPwm = 0;
    vars.m_nTiming = 1;
    vars.m_nSignal = 2;
    vars.m_nBrake = 1;
    vars.m_nDirection = 1;
    vars.m_strBootVersion = "boot";
    const auto settings = rig.engine.Settings().raw;
    rig.engine.OnAllDefault();
    EXPECT_EQ(vars.m_nMode, 0);
    EXPECT_EQ(vars.m_nPwm, 2);
    EXPECT_EQ(vars.m_nTiming, 0);
    EXPECT_EQ(vars.m_nSignal, 0);
    EXPECT_EQ(vars.m_nBrake, 2);
    EXPECT_EQ(vars.m_nDirection, 0);
    EXPECT_EQ(vars.m_strBootVersion, "boot");
    EXPECT_EQ(rig.engine.Settings().raw, settings);
    EXPECT_TRUE(rig.Rec().writes.empty());
    ASSERT_EQ(rig.Rec().updateData.size(), 1u);
    EXPECT_FALSE(rig.Rec().updateData[0].saveAndValidate);
}

TEST(AllDefault, DuringATransferLeavesTheTransferAlone) {
    EngineRig rig;
    rig.ConnectAndRead();
    const uint64_t t0 = rig.bench.Now();
    rig.engine.OnWriteSetup();
    rig.bench.RunFor(Ms(20));
    const auto info = rig.engine.Info().raw;
    rig.engine.OnAllDefault();
    EXPECT_EQ(rig.engine.Info().raw, info);
    ASSERT_TRUE(rig.RunUntilEvent(LinkEvent::kTransferDone, Ms(10000), t0));
}

TEST(TransferStart, SyntheticImagesGoOnlyWhereTheyAreAccepted) {
    for (Cmd cmd : {Cmd::kUpdate, Cmd::kSetup}) {
        EngineRig rig;
        rig.engine.SetImages(testing::TestImages(), SyntheticImages::kRefuse);
        rig.ConnectAndRead();
        const uint64_t t0 = rig.bench.Now();
        Press(rig, cmd);
        ASSERT_EQ(rig.Rec().MessageTexts().size(), 1u);
        EXPECT_EQ(rig.Rec().MessageTexts()[0], std::string(texts::kImageUnusablePrefix) +
                                                   "image25 (test)" + texts::kSyntheticImage +
                                                   texts::kImageUnusableSuffix);
        EXPECT_EQ(rig.Rec().CountBursts(testing::kSetAddress, t0), 0u);
        EXPECT_EQ(rig.engine.State().g_busy, 0);
    }
    // A real image (no marker) goes to a real ESC as before.
    EngineRig rig;
    SImageSet images = testing::TestImages();
    images.g_image25.bytes[0] = 'X';
    rig.engine.SetImages(images, SyntheticImages::kRefuse);
    rig.ConnectAndRead();
    rig.engine.OnUpdatingStart();
    EXPECT_TRUE(rig.Rec().MessageTexts().empty());
    EXPECT_EQ(rig.engine.State().g_busy, 1);
}

}  // namespace
}  // namespace quorvel
