#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "esc/images.h"

namespace quorvel {
namespace {

TEST(Images, ProblemTexts) {
    SFirmwareImage ok{std::vector<uint8_t>(kImageSize), "res/image25.bin", ""};
    EXPECT_TRUE(ok.Usable());
    EXPECT_EQ(ok.Problem(), "");

    SFirmwareImage larger{std::vector<uint8_t>(kImageSize + 100), "x", ""};
    EXPECT_TRUE(larger.Usable());

    SFirmwareImage shortImage{std::vector<uint8_t>(kImageSize - 1), "res/image101.bin", ""};
    EXPECT_FALSE(shortImage.Usable());
    EXPECT_EQ(shortImage.Problem(),
              "res/image101.bin holds 28671 bytes, at least 28672 are needed");

    SFirmwareImage empty{{}, "built-in", ""};
    EXPECT_EQ(empty.Problem(), "built-in holds 0 bytes, at least 28672 are needed");

    // A stored error wins, even over a full-size buffer.
    SFirmwareImage broken{std::vector<uint8_t>(kImageSize), "a.bin", "a.bin cannot be read"};
    EXPECT_FALSE(broken.Usable());
    EXPECT_EQ(broken.Problem(), "a.bin cannot be read");
}

TEST(Images, VariantPicksImage) {
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(UsesImage25(static_cast<uint8_t>(v)), v == 25 || v == 1) << v;
    }
}

TEST(Images, MixesExactlyTheFirst0x7000Bytes) {
    std::vector<uint8_t> src(kImageSize + 0x300);
    std::iota(src.begin(), src.end(), uint8_t{1});
    std::vector<uint8_t> tx(kTxImageSize, 0xEE);
    const uint8_t key = 0x3C;
    ASSERT_TRUE(MixImage(src, key, std::span<uint8_t, kTxImageSize>(tx.data(), kTxImageSize)));
    for (std::size_t i = 0; i < kTxImageSize; ++i) {
        const uint8_t want = i < kImageSize ? static_cast<uint8_t>(src[i] ^ key) : 0xEE;
        ASSERT_EQ(tx[i], want) << "byte " << i;
    }
}

TEST(Images, ShortSourceIsRefusedAndTxUntouched) {
    // A heap buffer of exactly the short size, so that AddressSanitizer sees any overread.
    std::vector<uint8_t> src(kImageSize - 1, 0x11);
    std::vector<uint8_t> tx(kTxImageSize, 0xEE);
    EXPECT_FALSE(MixImage(src, 0x55, std::span<uint8_t, kTxImageSize>(tx.data(), kTxImageSize)));
    EXPECT_EQ(tx, std::vector<uint8_t>(kTxImageSize, 0xEE));
    EXPECT_FALSE(MixImage({}, 0x55, std::span<uint8_t, kTxImageSize>(tx.data(), kTxImageSize)));
    EXPECT_EQ(tx, std::vector<uint8_t>(kTxImageSize, 0xEE));
}

}  // namespace
}  // namespace quorvel
