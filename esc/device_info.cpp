#include "esc/device_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quorvel {

namespace {

constexpr std::size_t kBootTextOffset = 8;
// Byte 23 closes the field; a valid block holds 0 there, so the text is never
// longer than 15 characters even when its own NUL is missing.
constexpr std::size_t kBootTextMax = 15;
constexpr std::size_t kBootTerminatorOffset = 23;
constexpr std::array<uint8_t, 4> kSignature = {'f', '0', '5', '1'};

}  // namespace

std::string SDeviceInfo::bootText() const {
    const auto* first = raw.data() + kBootTextOffset;
    const auto* last = first + kBootTextMax;
    const auto* end = std::find(first, last, uint8_t{0});
    return std::string(first, end);
}

SEscSettings SDeviceInfo::settings() const {
    SEscSettings s;
    std::copy_n(raw.begin() + kInfoSettingsOffset, kSetupBlockSize, s.raw.begin());
    return s;
}

void SDeviceInfo::setSettings(const SEscSettings& s) {
    std::copy(s.raw.begin(), s.raw.end(), raw.begin() + kInfoSettingsOffset);
}

SDeviceInfo UnkeyInfo(std::span<const uint8_t, kInfoBlockSize> keyed, uint8_t key) {
    SDeviceInfo info;
    for (std::size_t i = 0; i < kInfoBlockSize; ++i) {
        info.raw[i] = static_cast<uint8_t>(keyed[i] ^ key);
    }
    return info;
}

uint8_t VariantDisplayCode(uint8_t appVariant) {
    switch (appVariant) {
        case 0:
            return 101;
        case 1:
            return 25;
        default:
            return appVariant;
    }
}

std::string FormatAppVersion(uint8_t displayCode, uint8_t major, uint8_t minor) {
    char text[32];
    std::snprintf(text, sizeof text, "DR%02xV%d.%02d", static_cast<unsigned>(displayCode),
                  static_cast<int>(major), static_cast<int>(minor));
    return text;
}

SInfoDecode DecodeDeviceInfo(const SDeviceInfo& info) {
    SInfoDecode invalid;
    invalid.escType = kEscNone;
    invalid.appVariant = kNoVariant;
    invalid.bootVersion = kInvalidBootVersion;
    invalid.appVersion = kInvalidAppVersion;

    if (info.raw[kBootTerminatorOffset] != 0) {
        return invalid;
    }
    if (!std::equal(kSignature.begin(), kSignature.end(), info.raw.begin() + kBootTextOffset)) {
        return invalid;
    }

    SInfoDecode out;
    switch (info.raw[kBootTypeOffset]) {
        case '2':
            out.escType = kEscType1;
            break;
        case '3':
            out.escType = kEscType2;
            break;
        case '4':
            out.escType = kEscType3;
            break;
        default:
            return invalid;
    }
    out.bootVersion = info.bootText();
    if (out.escType != kEscType3) {
        return out;
    }

    const uint8_t v = info.variant();
    out.appVariant = (v == 25 || v == 101 || v == 0 || v == 1) ? v : kNoVariant;
    out.appVersion =
        FormatAppVersion(VariantDisplayCode(out.appVariant), info.appMajor(), info.appMinor());
    return out;
}

}  // namespace quorvel
