#include "esc/images.h"

#include <algorithm>

namespace quorvel {

std::string SFirmwareImage::Problem() const {
    if (Usable()) {
        return {};
    }
    if (!error.empty()) {
        return error;
    }
    return ShortImageText(origin, bytes.size());
}

std::string ShortImageText(const std::string& origin, std::size_t size) {
    return origin + " holds " + std::to_string(size) + " bytes, at least " +
           std::to_string(kImageSize) + " are needed";
}

bool IsSyntheticImage(std::span<const uint8_t> bytes) {
    return bytes.size() >= kSyntheticImageMarker.size() &&
           std::equal(kSyntheticImageMarker.begin(), kSyntheticImageMarker.end(), bytes.begin());
}

bool UsesImage25(uint8_t appVariant) {
    return appVariant == 25 || appVariant == 1;
}

bool MixImage(std::span<const uint8_t> src, uint8_t key, std::span<uint8_t, kTxImageSize> tx) {
    // A short image would send whatever an earlier transfer left behind; refuse it
    // whole rather than mix part of it.
    if (src.size() < kImageSize) {
        return false;
    }
    std::transform(src.begin(), src.begin() + kImageSize, tx.begin(),
                   [key](uint8_t b) { return static_cast<uint8_t>(b ^ key); });
    return true;
}

}  // namespace quorvel
