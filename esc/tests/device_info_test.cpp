#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>

#include "esc/device_info.h"

namespace quorvel {
namespace {

// A block with the given boot text at byte 8 (its 8th character, byte 15, is the boot
// type) and the given variant and version bytes; type 3 unless the text says otherwise.
SDeviceInfo Block(const char* bootText = "f051BL34", uint8_t variant = 1, uint8_t major = 4,
                  uint8_t minor = 3) {
    SDeviceInfo info;
    std::memcpy(info.raw.data() + 8, bootText, std::strlen(bootText));
    info.raw[4] = major;
    info.raw[5] = minor;
    info.raw[7] = variant;
    return info;
}

void ExpectInvalid(const SInfoDecode& d) {
    EXPECT_EQ(d.escType, kEscNone);
    EXPECT_EQ(d.appVariant, kNoVariant);
    EXPECT_EQ(d.bootVersion, " Invalid version");
    EXPECT_EQ(d.appVersion, "Invalid version");
}

TEST(DeviceInfo, InvalidBlocks) {
    struct Case {
        const char* why;
        SDeviceInfo info;
    };
    SDeviceInfo byte23 = Block("f051BL34");
    byte23.raw[23] = 1;
    SDeviceInfo fullField = Block("f051BL34ABCDEFGH");  // 16 characters reach byte 23
    SDeviceInfo emptyText;
    const Case cases[] = {
        {"byte 23 set although signature and type are right", byte23},
        {"boot text runs into byte 23", fullField},
        {"upper-case signature", Block("F051BL34")},
        {"signature one character off", Block("f052BL34")},
        {"signature cut short by a NUL", Block("f05")},
        {"boot type '1'", Block("f051BL31")},
        {"boot type '5'", Block("f051BL35")},
        {"boot type NUL", Block("f051BL3")},
        {"all zero", emptyText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        ExpectInvalid(DecodeDeviceInfo(c.info));
    }
}

TEST(DeviceInfo, BootTypes) {
    struct Case {
        const char* text;
        uint8_t type;
    };
    const Case cases[] = {
        {"f051BL32", kEscType1}, {"f051BL33", kEscType2}, {"f051BL34", kEscType3}};
    for (const Case& c : cases) {
        const SInfoDecode d = DecodeDeviceInfo(Block(c.text, 1, 4, 3));
        EXPECT_EQ(d.escType, c.type) << c.text;
        EXPECT_EQ(d.bootVersion, c.text);
        if (c.type == kEscType3) {
            EXPECT_EQ(d.appVersion, "DR19V4.03");
            EXPECT_EQ(d.appVariant, 1);
        } else {
            // Types 1 and 2 say nothing about the application; the caller keeps its own.
            EXPECT_EQ(d.appVersion, "");
        }
    }
}

TEST(DeviceInfo, Type3VariantsAndVersionTexts) {
    struct Case {
        uint8_t variantByte;
        uint8_t major;
        uint8_t minor;
        uint8_t appVariant;
        const char* text;
    };
    const Case cases[] = {
        {0, 4, 3, 0, "DR65V4.03"},     {1, 4, 3, 1, "DR19V4.03"},
        {25, 4, 3, 25, "DR19V4.03"},   {101, 5, 12, 101, "DR65V5.12"},
        {7, 4, 3, 255, "DRffV4.03"},   {255, 4, 3, 255, "DRffV4.03"},
        {102, 0, 0, 255, "DRffV0.00"}, {1, 4, 100, 1, "DR19V4.100"},
        {1, 12, 5, 1, "DR19V12.05"},   {101, 255, 255, 101, "DR65V255.255"},
    };
    for (const Case& c : cases) {
        const SInfoDecode d = DecodeDeviceInfo(Block("f051BL34", c.variantByte, c.major, c.minor));
        EXPECT_EQ(d.escType, kEscType3);
        EXPECT_EQ(d.appVariant, c.appVariant) << int{c.variantByte};
        EXPECT_EQ(d.appVersion, c.text) << int{c.variantByte};
    }
}

TEST(DeviceInfo, VariantDisplayCodeAndFormat) {
    EXPECT_EQ(VariantDisplayCode(0), 101);
    EXPECT_EQ(VariantDisplayCode(1), 25);
    EXPECT_EQ(VariantDisplayCode(25), 25);
    EXPECT_EQ(VariantDisplayCode(101), 101);
    EXPECT_EQ(VariantDisplayCode(255), 255);
    EXPECT_EQ(VariantDisplayCode(2), 2);

    EXPECT_EQ(FormatAppVersion(0x19, 4, 3), "DR19V4.03");
    EXPECT_EQ(FormatAppVersion(0x0a, 0, 9), "DR0aV0.09");  // two lower-case hex digits
    EXPECT_EQ(FormatAppVersion(0xAB, 10, 10), "DRabV10.10");
}

TEST(DeviceInfo, BootTextStopsAtNulAndNeverPastTheField) {
    SDeviceInfo info = Block("f051BL34");
    info.raw[12] = 0;
    EXPECT_EQ(info.bootText(), "f051");

    // No NUL anywhere in bytes 8..23: the text still ends after 15 characters.
    SDeviceInfo full;
    std::memset(full.raw.data(), 'x', full.raw.size());
    EXPECT_EQ(full.bootText(), std::string(15, 'x'));

    const SInfoDecode d = DecodeDeviceInfo(Block("f051BL34 rev-9"));
    EXPECT_EQ(d.bootVersion, "f051BL34 rev-9");

    SDeviceInfo longest = Block("f051BL34abcdefg");  // 15 characters, byte 23 stays 0
    EXPECT_EQ(DecodeDeviceInfo(longest).bootVersion, "f051BL34abcdefg");
}

TEST(DeviceInfo, UnkeyCoversAllBytes) {
    std::array<uint8_t, kInfoBlockSize> plain{};
    std::iota(plain.begin(), plain.end(), uint8_t{0});
    const uint8_t key = 0x5A;
    std::array<uint8_t, kInfoBlockSize> keyed{};
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        keyed[i] = static_cast<uint8_t>(plain[i] ^ key);
    }
    const SDeviceInfo info = UnkeyInfo(keyed, key);
    EXPECT_EQ(info.raw, plain);
}

TEST(DeviceInfo, KeyedType3BlockEndToEnd) {
    SDeviceInfo plain = Block("f051BL34", 25, 4, 3);
    plain.raw[1023] = 0x77;
    const uint8_t key = 0xC3;
    std::array<uint8_t, kInfoBlockSize> keyed{};
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        keyed[i] = static_cast<uint8_t>(plain.raw[i] ^ key);
    }
    const SDeviceInfo info = UnkeyInfo(keyed, key);
    const SInfoDecode d = DecodeDeviceInfo(info);
    EXPECT_EQ(d.escType, kEscType3);
    EXPECT_EQ(d.appVersion, "DR19V4.03");
    EXPECT_EQ(info.raw[1023], 0x77);
}

TEST(DeviceInfo, SettingsLiveAtBytes512To545) {
    SDeviceInfo info;
    std::iota(info.raw.begin(), info.raw.end(), uint8_t{0});
    const SEscSettings s = info.settings();
    for (std::size_t i = 0; i < kSetupBlockSize; ++i) {
        EXPECT_EQ(s.raw[i], info.raw[512 + i]) << i;
    }

    SEscSettings mine;
    mine.raw.fill(0xEE);
    const SDeviceInfo before = info;
    info.setSettings(mine);
    for (std::size_t i = 0; i < kInfoBlockSize; ++i) {
        const bool inside = i >= 512 && i < 546;
        EXPECT_EQ(info.raw[i], inside ? 0xEE : before.raw[i]) << i;
    }
}

}  // namespace
}  // namespace quorvel
