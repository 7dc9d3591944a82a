// Arbitrary bytes into the two readers of outside data that need no I/O: the
// information-file record and the ESC's information block.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "esc/device_info.h"
#include "esc/setup_block.h"
#include "storage/info_file.h"

namespace {

using namespace quorvel;

void Check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

void FuzzRecord(const uint8_t* data, std::size_t size) {
    const SInfoFileRecord r = SInfoFileRecord::Decode(data, size);
    std::array<uint8_t, kInfoRecordSize> want{};
    std::memcpy(want.data(), data, std::min(size, kInfoRecordSize));
    Check(r.Encode() == want);
    Check(SInfoFileRecord::Decode(want.data(), want.size()) == r);
    const SAppliedInfo applied = ApplyInfoFile(r);
    Check(applied.m_nFamily == r.family && applied.m_nModel == r.model);
    Check(applied.m_nFlowMode == 0);
}

void FuzzInfoBlock(const uint8_t* data, std::size_t size) {
    std::array<uint8_t, kInfoBlockSize> keyed{};
    std::memcpy(keyed.data(), data, std::min(size, kInfoBlockSize));
    const uint8_t key = size > kInfoBlockSize ? data[kInfoBlockSize] : 0;

    const SDeviceInfo info = UnkeyInfo(keyed, key);
    for (std::size_t i = 0; i < kInfoBlockSize; ++i) {
        Check(info.raw[i] == static_cast<uint8_t>(keyed[i] ^ key));
    }
    Check(info.bootText().size() <= 15);

    const SInfoDecode d = DecodeDeviceInfo(info);
    Check(d.escType <= kEscType3);
    if (d.escType == kEscNone) {
        Check(d.bootVersion == kInvalidBootVersion);
        Check(d.appVersion == kInvalidAppVersion);
        Check(d.appVariant == kNoVariant);
        return;
    }
    Check(info.raw[23] == 0);
    Check(d.bootVersion == info.bootText());
    // A NUL may end the text right after the signature, before the type character.
    Check(d.bootVersion.size() >= 4 && d.bootVersion.size() <= 15);
    Check(d.bootVersion.compare(0, 4, "f051") == 0);
    if (d.escType != kEscType3) {
        Check(d.appVersion.empty());
        return;
    }
    const uint8_t v = d.appVariant;
    Check(v == 0 || v == 1 || v == 25 || v == 101 || v == kNoVariant);
    Check(d.appVersion.size() >= 9 && d.appVersion.size() <= 12);
    Check(d.appVersion.compare(0, 2, "DR") == 0);

    // The setup block must settle after one trip through the radio groups.
    SSetupChoices shown;
    ShowSettings(info.settings(), shown);
    for (const SSetupGroup& g : kSetupGroups) {
        Check(shown.*(g.choice) >= 0 && shown.*(g.choice) < g.buttonCount);
    }
    SEscSettings written = info.settings();
    CollectSettings(shown, written);
    Check(std::equal(written.raw.begin(), written.raw.begin() + kSetupHeadSize,
                     info.settings().raw.begin()));
    Check(written.raw[32] == info.settings().raw[32] && written.raw[33] == info.settings().raw[33]);
    SSetupChoices again;
    ShowSettings(written, again);
    for (const SSetupGroup& g : kSetupGroups) {
        Check(again.*(g.choice) == shown.*(g.choice));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzRecord(data, size);
    FuzzInfoBlock(data, size);
    return 0;
}
