#include "sim/test_image.h"

#include <algorithm>

namespace quorvel::sim {
namespace {

// xorshift32: tiny and fully defined, so the committed files can be regenerated
// byte for byte on any compiler.
class CFill {
  public:
    explicit CFill(uint32_t seed) : x_(seed != 0 ? seed : 0x9E3779B9u) {}
    uint8_t Next() {
        x_ ^= x_ << 13;
        x_ ^= x_ >> 17;
        x_ ^= x_ << 5;
        return static_cast<uint8_t>(x_ >> 24);
    }

  private:
    uint32_t x_;
};

void PutLe16(std::span<uint8_t> at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v & 0xFF);
    at[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

std::optional<SImageIdentity> ReadImageIdentity(std::span<const uint8_t> bytes) {
    if (bytes.size() < kTagSize) {
        return std::nullopt;
    }
    const auto matches = [&](std::size_t at, std::string_view text) {
        return std::equal(text.begin(), text.end(), bytes.begin() + static_cast<long>(at),
                          [](char c, uint8_t b) { return static_cast<uint8_t>(c) == b; });
    };
    if (!matches(0, kTestImageMarker) || !matches(kTagMagicOffset, kTestImageMagic)) {
        return std::nullopt;
    }
    return SImageIdentity{bytes[kTagMajorOffset], bytes[kTagMinorOffset], bytes[kTagVariantOffset]};
}

std::array<uint8_t, kSetupBlockSize> DefaultSetupBlock() {
    std::array<uint8_t, kSetupBlockSize> block{};
    for (std::size_t i = 0; i < 20; ++i) {
        block[i] = static_cast<uint8_t>(0xA0 + i);
    }
    const std::span<uint8_t> s(block);
    PutLe16(s.subspan(20), 0);   // mode: Single
    PutLe16(s.subspan(22), 0);   // direction: Default
    PutLe16(s.subspan(24), 0);   // signal: Auto
    PutLe16(s.subspan(26), 20);  // timing: Auto
    PutLe16(s.subspan(28), 32);  // pwm: 32K
    PutLe16(s.subspan(30), 2);   // brake: 100%
    block[32] = 0x5A;
    block[33] = 0xA5;
    return block;
}

std::vector<uint8_t> MakeTestImage(const SImageIdentity& id, uint32_t seed) {
    std::vector<uint8_t> image(kTestImageSize);
    CFill fill(seed);
    std::generate(image.begin(), image.end(), [&] { return fill.Next(); });
    std::copy(kTestImageMarker.begin(), kTestImageMarker.end(), image.begin());
    std::copy(kTestImageMagic.begin(), kTestImageMagic.end(),
              image.begin() + static_cast<long>(kTagMagicOffset));
    image[kTagMajorOffset] = id.major;
    image[kTagMinorOffset] = id.minor;
    image[kTagVariantOffset] = id.variant;
    const auto setup = DefaultSetupBlock();
    std::copy(setup.begin(), setup.end(), image.begin() + static_cast<long>(kImageSetupOffset));
    return image;
}

std::vector<uint8_t> MakeImage25() {
    return MakeTestImage({4, 10, 1}, 0x51560025u);
}

std::vector<uint8_t> MakeImage101() {
    return MakeTestImage({4, 10, 0}, 0x51560101u);
}

}  // namespace quorvel::sim
