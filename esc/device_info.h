#pragma once
// The ESC's 1024-byte information block: unkeying, validation and the version texts.

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "esc/setup_block.h"

namespace quorvel {

inline constexpr std::size_t kInfoBlockSize = 1024;
inline constexpr std::size_t kInfoSettingsOffset = 512;
inline constexpr uint8_t kBootTypeOffset = 15;

struct SDeviceInfo {
    std::array<uint8_t, kInfoBlockSize> raw{};

    uint8_t appMajor() const { return raw[4]; }
    uint8_t appMinor() const { return raw[5]; }
    uint8_t variant() const { return raw[7]; }
    // The boot text up to its NUL, at most 15 characters (bytes 8..22).
    std::string bootText() const;
    SEscSettings settings() const;
    void setSettings(const SEscSettings& s);
};

enum EscType : uint8_t { kEscNone = 0, kEscType1 = 1, kEscType2 = 2, kEscType3 = 3 };
inline constexpr uint8_t kType3BlockCount = 26;
inline constexpr uint8_t kNoVariant = 255;

// What one information block says. For types 1 and 2 only the boot text is meaningful;
// the caller keeps its previous variant, settings and app version text.
struct SInfoDecode {
    uint8_t escType = kEscNone;       // 0 for an invalid block
    std::string bootVersion;          // " Invalid version" for an invalid block
    std::string appVersion;           // type 3 and invalid blocks only
    uint8_t appVariant = kNoVariant;  // type 3 and invalid blocks only
};

inline constexpr const char* kInvalidBootVersion = " Invalid version";
inline constexpr const char* kInvalidAppVersion = "Invalid version";

// g_info byte i = keyed byte i XOR key, for all 1024 bytes.
SDeviceInfo UnkeyInfo(std::span<const uint8_t, kInfoBlockSize> keyed, uint8_t key);

// Validates the block (byte 23, the "f051" signature, the boot type character) and
// derives the type, the variant and the two version texts.
SInfoDecode DecodeDeviceInfo(const SDeviceInfo& info);

// 0 shows as 101, 1 as 25; everything else as itself.
uint8_t VariantDisplayCode(uint8_t appVariant);
// "DR%02xV%d.%02d"
std::string FormatAppVersion(uint8_t displayCode, uint8_t major, uint8_t minor);

}  // namespace quorvel
