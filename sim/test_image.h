#pragma once
// Synthetic firmware images for tests and demos. They are not firmware: random bytes
// with a readable marker and an identity tag, so that the simulated ESC can report the
// version of whatever was last written into it.
//
// Layout of an image (0x7000 bytes, the part of an image that is ever sent):
//   0x0000..0x000F  "QUORVEL TESTDATA"  (ASCII, no terminator)
//   0x0010..0x0013  "QVID"              identity magic
//   0x0014          application major version
//   0x0015          application minor version
//   0x0016          variant byte as the information block reports it
//   0x0017..0x67FF  pseudo-random fill (fixed seed per image)
//   0x6800..0x6821  setup block: 20 head bytes, mode, direction, signal, timing, pwm,
//                   brake (16-bit little-endian each) and 2 tail bytes
//   0x6822..0x6FFF  pseudo-random fill
// An update writes image offset o to flash address 0x1000 + o, so the tag sits at flash
// 0x1000 and the setup block at 0x7800.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quorvel::sim {

inline constexpr std::size_t kTestImageSize = 0x7000;
inline constexpr std::string_view kTestImageMarker = "QUORVEL TESTDATA";
inline constexpr std::string_view kTestImageMagic = "QVID";
inline constexpr std::size_t kTagMagicOffset = 0x10;
inline constexpr std::size_t kTagMajorOffset = 0x14;
inline constexpr std::size_t kTagMinorOffset = 0x15;
inline constexpr std::size_t kTagVariantOffset = 0x16;
inline constexpr std::size_t kTagSize = 0x17;
inline constexpr std::size_t kImageSetupOffset = 0x6800;
inline constexpr std::size_t kSetupBlockSize = 34;

struct SImageIdentity {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint8_t variant = 0;
    bool operator==(const SImageIdentity&) const = default;
};

// The identity a block of bytes carries at its start, if it carries the tag.
std::optional<SImageIdentity> ReadImageIdentity(std::span<const uint8_t> bytes);

// A plausible setup block: 20 head bytes of a fixed pattern, mode 0, direction 0,
// signal 0, timing 20, pwm 32, brake 2, and 2 tail bytes.
std::array<uint8_t, kSetupBlockSize> DefaultSetupBlock();

// One image; the same identity and seed always give the same bytes.
std::vector<uint8_t> MakeTestImage(const SImageIdentity& id, uint32_t seed);

// The two images committed as res/image25.bin and res/image101.bin.
inline constexpr const char* kImage25Name = "image25.bin";
inline constexpr const char* kImage101Name = "image101.bin";
std::vector<uint8_t> MakeImage25();   // version 4.10, variant byte 1
std::vector<uint8_t> MakeImage101();  // version 4.10, variant byte 0

}  // namespace quorvel::sim
