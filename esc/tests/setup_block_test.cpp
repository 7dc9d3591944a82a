#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "esc/setup_block.h"

namespace quorvel {
namespace {

const SSetupGroup& Group(std::string_view name) {
    const auto it = std::find_if(kSetupGroups.begin(), kSetupGroups.end(),
                                 [&](const SSetupGroup& g) { return g.name == name; });
    EXPECT_NE(it, kSetupGroups.end()) << name;
    return *it;
}

TEST(SetupGroups, WindowOrderCaptionsIdsAndDefaults) {
    struct Expected {
        std::string_view name;
        SetupField field;
        int32_t SSetupChoices::*choice;
        std::vector<std::string_view> captions;
        std::vector<uint16_t> ids;
        int32_t defaultIndex;
    };
    const std::vector<Expected> expected = {
        {"Mode",
         SetupField::kMode,
         &SSetupChoices::m_nMode,
         {"Single", "3D Slow", "3D Fast"},
         {1019, 1020, 1021},
         0},
        {"PWM",
         SetupField::kPwm,
         &SSetupChoices::m_nPwm,
         {"12K", "24K", "32K"},
         {1045, 1022, 1046},
         2},
        {"Timing",
         SetupField::kTiming,
         &SSetupChoices::m_nTiming,
         {"Auto", "Low", "High"},
         {1047, 1048, 1049},
         0},
        {"Signal",
         SetupField::kSignal,
         &SSetupChoices::m_nSignal,
         {"Auto", "Common", "One-shot"},
         {1050, 1051, 1052},
         0},
        {"Brake",
         SetupField::kBrake,
         &SSetupChoices::m_nBrake,
         {"OFF", "50%", "100%"},
         {1053, 1054, 1055},
         2},
        {"Direction",
         SetupField::kDirection,
         &SSetupChoices::m_nDirection,
         {"Default", "Reverse"},
         {1056, 1057},
         0},
    };
    ASSERT_EQ(kSetupGroups.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const SSetupGroup& g = kSetupGroups[i];
        const Expected& e = expected[i];
        SCOPED_TRACE(std::string(e.name));
        EXPECT_EQ(g.name, e.name);
        EXPECT_EQ(g.field, e.field);
        EXPECT_EQ(g.choice, e.choice);
        ASSERT_EQ(g.buttonCount, e.captions.size());
        EXPECT_EQ(g.defaultIndex, e.defaultIndex);
        for (std::size_t b = 0; b < e.captions.size(); ++b) {
            EXPECT_EQ(g.captions[b], e.captions[b]);
            EXPECT_EQ(g.controlIds[b], e.ids[b]);
        }
    }
}

// Every button's stored value, both ways, and every fall-back.
struct ValueCase {
    std::string_view group;
    int32_t index;    // the button, or an index outside the group
    uint16_t stored;  // what that index stores
};

TEST(SetupGroups, IndexToValueIncludingFallBacks) {
    const ValueCase cases[] = {
        {"Mode", 0, 0},      {"Mode", 1, 2},      {"Mode", 2, 1},       {"Mode", 3, 0},
        {"Mode", -1, 0},     {"PWM", 0, 12},      {"PWM", 1, 24},       {"PWM", 2, 32},
        {"PWM", 3, 32},      {"PWM", -1, 32},     {"Timing", 0, 20},    {"Timing", 1, 8},
        {"Timing", 2, 26},   {"Timing", 7, 20},   {"Signal", 0, 0},     {"Signal", 1, 2},
        {"Signal", 2, 1},    {"Signal", 3, 0},    {"Brake", 0, 0},      {"Brake", 1, 1},
        {"Brake", 2, 2},     {"Brake", 3, 2},     {"Brake", -5, 2},     {"Direction", 0, 0},
        {"Direction", 1, 1}, {"Direction", 2, 0}, {"Direction", -1, 0},
    };
    for (const ValueCase& c : cases) {
        EXPECT_EQ(ValueForIndex(Group(c.group), c.index), c.stored)
            << c.group << " index " << c.index;
    }
}

struct IndexCase {
    std::string_view group;
    uint16_t stored;
    int32_t index;
};

TEST(SetupGroups, ValueToIndexIncludingFallBacks) {
    const IndexCase cases[] = {
        {"Mode", 0, 0},      {"Mode", 2, 1},       {"Mode", 1, 2},
        {"Mode", 3, 0},      {"Mode", 0x0100, 0},  {"PWM", 12, 0},
        {"PWM", 24, 1},      {"PWM", 32, 2},       {"PWM", 16, 2},
        {"PWM", 0, 2},       {"PWM", 2, 2},        {"Timing", 20, 0},
        {"Timing", 8, 1},    {"Timing", 26, 2},    {"Timing", 0, 0},
        {"Timing", 1, 0},    {"Timing", 2, 0},     {"Signal", 0, 0},
        {"Signal", 2, 1},    {"Signal", 1, 2},     {"Signal", 3, 0},
        {"Brake", 0, 0},     {"Brake", 1, 1},      {"Brake", 2, 2},
        {"Brake", 7, 2},     {"Brake", 0xFFFF, 2}, {"Direction", 0, 0},
        {"Direction", 1, 1}, {"Direction", 2, 0},  {"Direction", 0x0101, 0},
    };
    for (const IndexCase& c : cases) {
        EXPECT_EQ(IndexForValue(Group(c.group), c.stored), c.index)
            << c.group << " value " << c.stored;
    }
}

TEST(SetupBlock, FieldsAreLittleEndianAtTheirOffsets) {
    SEscSettings s;
    s.Set(SetupField::kPwm, 24);
    EXPECT_EQ(s.raw[28], 0x18);
    EXPECT_EQ(s.raw[29], 0x00);

    s.Set(SetupField::kBrake, 0x1234);
    EXPECT_EQ(s.raw[30], 0x34);
    EXPECT_EQ(s.raw[31], 0x12);
    EXPECT_EQ(s.Get(SetupField::kBrake), 0x1234);

    s.raw[20] = 0x02;
    s.raw[21] = 0x01;
    EXPECT_EQ(s.Get(SetupField::kMode), 0x0102);

    // Writing one field leaves its neighbours alone.
    SEscSettings only;
    only.Set(SetupField::kSignal, 0xFFFF);
    for (std::size_t i = 0; i < kSetupBlockSize; ++i) {
        EXPECT_EQ(only.raw[i], (i == 24 || i == 25) ? 0xFF : 0x00) << "byte " << i;
    }
}

SEscSettings PatternedBlock() {
    SEscSettings s;
    std::iota(s.raw.begin(), s.raw.end(), uint8_t{0xA0});
    return s;
}

TEST(SetupBlock, ShowSettingsReadsTheCrossedPairs) {
    SEscSettings s;
    s.Set(SetupField::kMode, 1);
    s.Set(SetupField::kSignal, 1);
    s.Set(SetupField::kPwm, 12);
    s.Set(SetupField::kTiming, 26);
    s.Set(SetupField::kBrake, 1);
    s.Set(SetupField::kDirection, 1);
    SSetupChoices c;
    ShowSettings(s, c);
    EXPECT_EQ(c.m_nMode, 2);    // 3D Fast
    EXPECT_EQ(c.m_nSignal, 2);  // One-shot
    EXPECT_EQ(c.m_nPwm, 0);
    EXPECT_EQ(c.m_nTiming, 2);
    EXPECT_EQ(c.m_nBrake, 1);
    EXPECT_EQ(c.m_nDirection, 1);

    s.Set(SetupField::kMode, 2);
    s.Set(SetupField::kSignal, 2);
    ShowSettings(s, c);
    EXPECT_EQ(c.m_nMode, 1);    // 3D Slow
    EXPECT_EQ(c.m_nSignal, 1);  // Common
}

TEST(SetupBlock, OutOfTableValuesShowDefaultsAndWriteBackDefaults) {
    SEscSettings s = PatternedBlock();
    s.Set(SetupField::kMode, 5);
    s.Set(SetupField::kPwm, 16);
    s.Set(SetupField::kTiming, 0);
    s.Set(SetupField::kSignal, 9);
    s.Set(SetupField::kBrake, 7);
    s.Set(SetupField::kDirection, 2);
    const SEscSettings before = s;

    SSetupChoices c{.m_nMode = 1,
                    .m_nPwm = 0,
                    .m_nTiming = 2,
                    .m_nSignal = 2,
                    .m_nBrake = 0,
                    .m_nDirection = 1};
    ShowSettings(s, c);
    EXPECT_EQ(c.m_nMode, 0);
    EXPECT_EQ(c.m_nPwm, 2);
    EXPECT_EQ(c.m_nTiming, 0);
    EXPECT_EQ(c.m_nSignal, 0);
    EXPECT_EQ(c.m_nBrake, 2);
    EXPECT_EQ(c.m_nDirection, 0);

    CollectSettings(c, s);
    EXPECT_EQ(s.Get(SetupField::kMode), 0);
    EXPECT_EQ(s.Get(SetupField::kPwm), 32);
    EXPECT_EQ(s.Get(SetupField::kTiming), 20);
    EXPECT_EQ(s.Get(SetupField::kSignal), 0);
    EXPECT_EQ(s.Get(SetupField::kBrake), 2);
    EXPECT_EQ(s.Get(SetupField::kDirection), 0);
    // Head and tail travel back exactly as the ESC reported them.
    EXPECT_TRUE(std::equal(s.raw.begin(), s.raw.begin() + kSetupHeadSize, before.raw.begin()));
    EXPECT_EQ(s.raw[32], before.raw[32]);
    EXPECT_EQ(s.raw[33], before.raw[33]);
}

TEST(SetupBlock, CollectSettingsWritesEveryField) {
    SEscSettings s = PatternedBlock();
    const SEscSettings before = s;
    const SSetupChoices c{.m_nMode = 1,
                          .m_nPwm = 1,
                          .m_nTiming = 1,
                          .m_nSignal = 2,
                          .m_nBrake = 0,
                          .m_nDirection = 1};
    CollectSettings(c, s);
    const std::array<uint8_t, 12> fields = {2, 0, 1, 0, 1, 0, 8, 0, 24, 0, 0, 0};
    for (std::size_t i = 0; i < kSetupBlockSize; ++i) {
        const bool inFields = i >= 20 && i < 32;
        EXPECT_EQ(s.raw[i], inFields ? fields[i - 20] : before.raw[i]) << "byte " << i;
    }

    // Indices the window cannot produce fall back to the defaults' values.
    const SSetupChoices wild{.m_nMode = 9,
                             .m_nPwm = -1,
                             .m_nTiming = 3,
                             .m_nSignal = 100,
                             .m_nBrake = 3,
                             .m_nDirection = 2};
    CollectSettings(wild, s);
    EXPECT_EQ(s.Get(SetupField::kMode), 0);
    EXPECT_EQ(s.Get(SetupField::kPwm), 32);
    EXPECT_EQ(s.Get(SetupField::kTiming), 20);
    EXPECT_EQ(s.Get(SetupField::kSignal), 0);
    EXPECT_EQ(s.Get(SetupField::kBrake), 2);
    EXPECT_EQ(s.Get(SetupField::kDirection), 0);
}

TEST(SetupBlock, EveryButtonRoundTrips) {
    for (const SSetupGroup& g : kSetupGroups) {
        for (int32_t i = 0; i < g.buttonCount; ++i) {
            SSetupChoices c;
            c.*(g.choice) = i;
            SEscSettings s;
            CollectSettings(c, s);
            SSetupChoices back;
            back.*(g.choice) = -1;
            ShowSettings(s, back);
            EXPECT_EQ(back.*(g.choice), i) << g.name << " button " << i;
        }
    }
}

TEST(SetupBlock, AllDefaultSetsOnlyTheSixChoices) {
    SSetupChoices c{.m_nMode = 2,
                    .m_nPwm = 0,
                    .m_nTiming = 1,
                    .m_nSignal = 2,
                    .m_nBrake = 1,
                    .m_nDirection = 1};
    ApplyAllDefault(c);
    EXPECT_EQ(c.m_nMode, 0);
    EXPECT_EQ(c.m_nPwm, 2);
    EXPECT_EQ(c.m_nTiming, 0);
    EXPECT_EQ(c.m_nSignal, 0);
    EXPECT_EQ(c.m_nBrake, 2);
    EXPECT_EQ(c.m_nDirection, 0);

    // Single, 32K, Auto, Auto, 100%, Default once written out.
    SEscSettings s;
    CollectSettings(c, s);
    EXPECT_EQ(s.Get(SetupField::kMode), 0);
    EXPECT_EQ(s.Get(SetupField::kPwm), 32);
    EXPECT_EQ(s.Get(SetupField::kTiming), 20);
    EXPECT_EQ(s.Get(SetupField::kSignal), 0);
    EXPECT_EQ(s.Get(SetupField::kBrake), 2);
    EXPECT_EQ(s.Get(SetupField::kDirection), 0);
}

}  // namespace
}  // namespace quorvel
