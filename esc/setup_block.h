#pragma once
// The ESC's 34-byte setup block and its two-way mapping to the six radio groups.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel {

// Byte offsets of the six 16-bit little-endian parameters inside the block.
enum class SetupField : uint8_t {
    kMode = 20,
    kDirection = 22,
    kSignal = 24,
    kTiming = 26,
    kPwm = 28,
    kBrake = 30,
};

inline constexpr std::size_t kSetupBlockSize = 34;
inline constexpr std::size_t kSetupHeadSize = 20;    // bytes 0..19, carried unchanged
inline constexpr std::size_t kSetupTailOffset = 32;  // bytes 32..33, carried unchanged

struct SEscSettings {
    std::array<uint8_t, kSetupBlockSize> raw{};

    uint16_t Get(SetupField f) const;
    void Set(SetupField f, uint16_t value);
};

// The six radio-group indices of the window, 0 for a group's first button.
struct SSetupChoices {
    int32_t m_nMode = 0;
    int32_t m_nPwm = 2;
    int32_t m_nTiming = 0;
    int32_t m_nSignal = 0;
    int32_t m_nBrake = 2;
    int32_t m_nDirection = 0;
};

// One radio group: its field, the value each button stores, the button captions and
// the default index (which is also every fall-back).
struct SSetupGroup {
    std::string_view name;  // "Mode", "PWM", ...
    SetupField field;
    int32_t SSetupChoices::*choice;
    uint8_t buttonCount;
    std::array<uint16_t, 3> values;
    std::array<std::string_view, 3> captions;
    std::array<uint16_t, 3> controlIds;
    int32_t defaultIndex;
};

// In window order: Mode, PWM, Timing, Signal, Brake, Direction.
extern const std::array<SSetupGroup, 6> kSetupGroups;

// Stored value -> index, with the group's default for a value outside the table.
int32_t IndexForValue(const SSetupGroup& g, uint16_t value);
// Index -> stored value, with the default's value for an index outside the table.
uint16_t ValueForIndex(const SSetupGroup& g, int32_t index);

// The six radio variables from the block.
void ShowSettings(const SEscSettings& settings, SSetupChoices& choices);
// The six parameter fields of the block from the radio variables; head and tail stay.
void CollectSettings(const SSetupChoices& choices, SEscSettings& settings);
// Single, 32K, Auto, Auto, 100%, Default.
void ApplyAllDefault(SSetupChoices& choices);

}  // namespace quorvel
