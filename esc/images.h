#pragma once
// The two firmware images, the rule that picks one, and the key mixing.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

inline constexpr std::size_t kPageSize = 1024;
inline constexpr std::size_t kImageSize = 0x7000;    // the bytes of an image ever read
inline constexpr std::size_t kTxImageSize = 0x7400;  // the transmit buffer
inline constexpr std::size_t kSetupPageOffset = 0x6800;
inline constexpr std::size_t kSetupPageIndex = 26;

struct SFirmwareImage {
    std::vector<uint8_t> bytes;
    std::string origin;  // where it came from, for messages
    std::string error;   // why it cannot be used; empty when it was read

    // Only a complete image may ever go to an ESC.
    bool Usable() const { return error.empty() && bytes.size() >= kImageSize; }
    // The reason it is not usable, for the refusal message; empty when usable.
    std::string Problem() const;
};

// "<origin> holds N bytes, at least 28672 are needed"
std::string ShortImageText(const std::string& origin, std::size_t size);

struct SImageSet {
    SFirmwareImage g_image25;
    SFirmwareImage g_image101;
};

// The synthetic images made for the simulated ESC begin with this marker. They are test
// data, not firmware, and go to a real ESC only when the user says so.
inline constexpr std::string_view kSyntheticImageMarker = "QUORVEL TESTDATA";
bool IsSyntheticImage(std::span<const uint8_t> bytes);

// g_image25 for variants 25 and 1, g_image101 for every other variant.
bool UsesImage25(uint8_t appVariant);

// tx[i] = src[i] ^ key for i < 0x7000; the rest of tx is left as it is.
// A src shorter than 0x7000 bytes is refused: false, and tx is not touched.
bool MixImage(std::span<const uint8_t> src, uint8_t key, std::span<uint8_t, kTxImageSize> tx);

}  // namespace quorvel
