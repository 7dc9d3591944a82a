#include "esc/setup_block.h"

namespace quorvel {

uint16_t SEscSettings::Get(SetupField f) const {
    const auto at = static_cast<std::size_t>(f);
    return static_cast<uint16_t>(raw[at] | (raw[at + 1] << 8));
}

void SEscSettings::Set(SetupField f, uint16_t value) {
    const auto at = static_cast<std::size_t>(f);
    raw[at] = static_cast<uint8_t>(value & 0xFF);
    raw[at + 1] = static_cast<uint8_t>(value >> 8);
}

// The ESC's codes are not in button order: Mode and Signal swap their last two
// buttons, and Timing stores degree-like codes rather than indices.
const std::array<SSetupGroup, 6> kSetupGroups = {{
    {"Mode",
     SetupField::kMode,
     &SSetupChoices::m_nMode,
     3,
     {0, 2, 1},
     {"Single", "3D Slow", "3D Fast"},
     {1019, 1020, 1021},
     0},
    {"PWM",
     SetupField::kPwm,
     &SSetupChoices::m_nPwm,
     3,
     {12, 24, 32},
     {"12K", "24K", "32K"},
     {1045, 1022, 1046},
     2},
    {"Timing",
     SetupField::kTiming,
     &SSetupChoices::m_nTiming,
     3,
     {20, 8, 26},
     {"Auto", "Low", "High"},
     {1047, 1048, 1049},
     0},
    {"Signal",
     SetupField::kSignal,
     &SSetupChoices::m_nSignal,
     3,
     {0, 2, 1},
     {"Auto", "Common", "One-shot"},
     {1050, 1051, 1052},
     0},
    {"Brake",
     SetupField::kBrake,
     &SSetupChoices::m_nBrake,
     3,
     {0, 1, 2},
     {"OFF", "50%", "100%"},
     {1053, 1054, 1055},
     2},
    {"Direction",
     SetupField::kDirection,
     &SSetupChoices::m_nDirection,
     2,
     {0, 1, 0},
     {"Default", "Reverse", ""},
     {1056, 1057, 0},
     0},
}};

int32_t IndexForValue(const SSetupGroup& g, uint16_t value) {
    for (uint8_t i = 0; i < g.buttonCount; ++i) {
        if (g.values[i] == value) {
            return i;
        }
    }
    return g.defaultIndex;
}

uint16_t ValueForIndex(const SSetupGroup& g, int32_t index) {
    if (index >= 0 && index < g.buttonCount) {
        return g.values[static_cast<std::size_t>(index)];
    }
    return g.values[static_cast<std::size_t>(g.defaultIndex)];
}

void ShowSettings(const SEscSettings& settings, SSetupChoices& choices) {
    for (const SSetupGroup& g : kSetupGroups) {
        choices.*(g.choice) = IndexForValue(g, settings.Get(g.field));
    }
}

void CollectSettings(const SSetupChoices& choices, SEscSettings& settings) {
    for (const SSetupGroup& g : kSetupGroups) {
        settings.Set(g.field, ValueForIndex(g, choices.*(g.choice)));
    }
}

void ApplyAllDefault(SSetupChoices& choices) {
    for (const SSetupGroup& g : kSetupGroups) {
        choices.*(g.choice) = g.defaultIndex;
    }
}

}  // namespace quorvel
