// The synthetic images: their identity tag, their setup block, and the committed files
// being exactly what the generator makes.

#include "sim/test_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace quorvel::sim {
namespace {

std::vector<uint8_t> ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TestImages, CarryTheirMarkerAndIdentity) {
    struct SCase {
        std::vector<uint8_t> image;
        SImageIdentity id;
    };
    const SCase cases[] = {{MakeImage25(), {4, 10, 1}}, {MakeImage101(), {4, 10, 0}}};
    for (const auto& c : cases) {
        ASSERT_EQ(c.image.size(), 0x7000u);
        EXPECT_EQ(std::string(c.image.begin(), c.image.begin() + 16), "QUORVEL TESTDATA");
        EXPECT_EQ(std::string(c.image.begin() + 0x10, c.image.begin() + 0x14), "QVID");
        EXPECT_EQ(ReadImageIdentity(c.image), c.id);
        // The setup page: head pattern, then mode, direction, signal, timing, pwm, brake.
        const auto* s = c.image.data() + 0x6800;
        EXPECT_EQ(s[0], 0xA0);
        EXPECT_EQ(s[19], 0xB3);
        const uint16_t expected[6] = {0, 0, 0, 20, 32, 2};
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(s[20 + 2 * i] | s[21 + 2 * i] << 8, expected[i]) << "field " << i;
        }
    }
    EXPECT_NE(MakeImage25(), MakeImage101());
}

TEST(TestImages, IdentityNeedsMarkerAndMagic) {
    auto image = MakeImage25();
    image[3] = 'x';
    EXPECT_FALSE(ReadImageIdentity(image).has_value());
    image = MakeImage25();
    image[0x12] = 'X';
    EXPECT_FALSE(ReadImageIdentity(image).has_value());
    const auto whole = MakeImage25();
    EXPECT_FALSE(ReadImageIdentity(std::span(whole).first(0x16)).has_value());
    EXPECT_FALSE(ReadImageIdentity(std::vector<uint8_t>(0x7000, 0xFF)).has_value());
}

TEST(TestImages, SameSeedSameBytesOtherSeedOtherBytes) {
    EXPECT_EQ(MakeTestImage({1, 2, 3}, 42), MakeTestImage({1, 2, 3}, 42));
    const auto a = MakeTestImage({1, 2, 3}, 42);
    const auto b = MakeTestImage({1, 2, 3}, 43);
    EXPECT_NE(std::vector(a.begin() + 0x100, a.begin() + 0x200),
              std::vector(b.begin() + 0x100, b.begin() + 0x200));
}

TEST(TestImages, CommittedFilesAreWhatTheGeneratorMakes) {
    const std::filesystem::path res = std::filesystem::path(QUORVEL_SOURCE_DIR) / "res";
    EXPECT_EQ(ReadFile(res / kImage25Name), MakeImage25())
        << "regenerate with the make-test-images tool";
    EXPECT_EQ(ReadFile(res / kImage101Name), MakeImage101())
        << "regenerate with the make-test-images tool";
}

}  // namespace
}  // namespace quorvel::sim
