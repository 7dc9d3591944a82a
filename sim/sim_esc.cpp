#include "sim/sim_esc.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sim/crc16.h"
#include "sim/test_image.h"

namespace quorvel::sim {
namespace {

constexpr uint8_t kCmdProbe = 'Q';
constexpr uint8_t kCmdSetAddress = 0xFF;
constexpr uint8_t kCmdReadInfo = 0x04;
constexpr uint8_t kCmdKeepAlive = 0xFD;
constexpr uint8_t kCmdSetBuffer = 0xFE;
constexpr uint8_t kCmdProgram = 0x01;
constexpr std::string_view kProbeText = "QZ32SZ";
constexpr uint32_t kWakeUpZeros = 9;
constexpr uint8_t kWakeUpEnd = 0x0D;

// Length of the command that a first byte starts, 0 for none.
std::size_t CommandLength(uint8_t first) {
    switch (first) {
        case kCmdProbe:
        case kCmdSetAddress:
        case kCmdSetBuffer:
            return 8;
        case kCmdReadInfo:
        case kCmdKeepAlive:
        case kCmdProgram:
            return 4;
        default:
            return 0;
    }
}

std::string Hex(std::span<const uint8_t> bytes, std::size_t max = 12) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (!s.empty()) {
            s += ' ';
        }
        s += buf;
    }
    if (bytes.size() > max) {
        s += " ...";
    }
    return s;
}

std::string ByteText(uint8_t b) {
    char buf[8];
    if (b >= 0x20 && b < 0x7F) {
        std::snprintf(buf, sizeof buf, "'%c'", b);
    } else {
        std::snprintf(buf, sizeof buf, "0x%02X", b);
    }
    return buf;
}

std::string AddressText(uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04X", a);
    return buf;
}

// The CRC in the last two bytes of a packet, low byte first, matches the rest.
bool CrcMatches(std::span<const uint8_t> packet, std::size_t from = 0) {
    const std::size_t n = packet.size();
    const uint16_t crc = Crc16(packet.subspan(from, n - 2 - from));
    return packet[n - 2] == (crc & 0xFF) && packet[n - 1] == (crc >> 8);
}

}  // namespace

std::string_view ReplyKindName(ReplyKind kind) {
    switch (kind) {
        case ReplyKind::kIdentify:
            return "identify";
        case ReplyKind::kSetAddress:
            return "set-address";
        case ReplyKind::kReadInfo:
            return "read-information";
        case ReplyKind::kKeepAlive:
            return "keep-alive";
        case ReplyKind::kSetBuffer:
            return "set-buffer";
        case ReplyKind::kProgram:
            return "program";
    }
    return "?";
}

std::optional<ReplyKind> ReplyKindFromName(std::string_view name) {
    struct SName {
        std::string_view name;
        ReplyKind kind;
    };
    static constexpr SName kNames[] = {
        {"identify", ReplyKind::kIdentify},         {"id", ReplyKind::kIdentify},
        {"set-address", ReplyKind::kSetAddress},    {"address", ReplyKind::kSetAddress},
        {"read-information", ReplyKind::kReadInfo}, {"info", ReplyKind::kReadInfo},
        {"keep-alive", ReplyKind::kKeepAlive},      {"keepalive", ReplyKind::kKeepAlive},
        {"set-buffer", ReplyKind::kSetBuffer},      {"buffer", ReplyKind::kSetBuffer},
        {"program", ReplyKind::kProgram},
    };
    for (const auto& n : kNames) {
        if (n.name == name) {
            return n.kind;
        }
    }
    return std::nullopt;
}

bool SReplyFault::AppliesTo(uint32_t count) const {
    if (nth == 0) {
        return true;
    }
    if (count < nth) {
        return false;
    }
    return repeat == 0 || count - nth < repeat;
}

CSimEsc::CSimEsc(SSimConfig config)
    : cfg_(std::move(config)), byteNs_(cfg_.wire.ByteTimeNs()), flash_(kFlashSize, 0xFF) {
    const auto setup = DefaultSetupBlock();
    std::copy(setup.begin(), setup.end(), flash_.begin() + kSetupAddress);
    if (cfg_.present) {
        powerOnAt_ = cfg_.powerOnAtNs;
    }
}

// --- the wire -------------------------------------------------------------------------

void CSimEsc::OnHostByte(uint64_t tDoneNs, uint8_t b) {
    Advance(tDoneNs);
    if (powered_ || cfg_.echoWhenUnpowered) {
        Schedule(tDoneNs, b);
    }
    if (!powered_) {
        return;
    }
    const bool midCommand = !rx_.empty() || blockLen_ != 0;
    if (midCommand && cfg_.interByteGapNs != 0 && lastRxNs_ &&
        tDoneNs - *lastRxNs_ > cfg_.interByteGapNs) {
        Ignore(tDoneNs, "pause inside a command, decoder reset");
    }
    lastRxNs_ = tDoneNs;
    Decode(tDoneNs, b);
}

void CSimEsc::OnHostBytes(uint64_t tFirstDoneNs, std::span<const uint8_t> bytes) {
    uint64_t t = tFirstDoneNs;
    for (const uint8_t b : bytes) {
        OnHostByte(t, b);
        t += byteNs_;
    }
}

std::optional<uint64_t> CSimEsc::NextOutputTime() const {
    if (out_.empty()) {
        return std::nullopt;
    }
    return out_.front().tNs;
}

std::vector<SWireByte> CSimEsc::TakeOutputUntil(uint64_t tNs) {
    std::vector<SWireByte> taken;
    while (!out_.empty() && out_.front().tNs <= tNs) {
        taken.push_back(out_.front());
        out_.pop_front();
    }
    return taken;
}

void CSimEsc::Schedule(uint64_t tDesiredNs, uint8_t b) {
    uint64_t t = tDesiredNs;
    if (wireFreeAt_ && t < *wireFreeAt_ + byteNs_) {
        t = *wireFreeAt_ + byteNs_;
    }
    out_.push_back({t, b});
    wireFreeAt_ = t;
}

// --- power ----------------------------------------------------------------------------

void CSimEsc::Advance(uint64_t tNs) {
    if (!powered_ && powerOnAt_ && tNs >= *powerOnAt_) {
        Boot(*powerOnAt_);
    }
}

bool CSimEsc::PoweredAt(uint64_t tNs) {
    Advance(tNs);
    return powered_;
}

void CSimEsc::SetPowered(bool on, uint64_t tNs) {
    Advance(tNs);
    if (on && !powered_) {
        Boot(tNs);
    } else if (!on && powered_) {
        PowerOff(tNs);
    }
    if (!on) {
        powerOnAt_.reset();
    }
}

void CSimEsc::Boot(uint64_t tNs) {
    powered_ = true;
    powerOnAt_.reset();
    key_ = 0;
    address_.reset();
    bufferValid_ = false;
    ResetDecoder();
    lastRxNs_.reset();
    ++boots_;
    AddLog(tNs, "power on, boot loader starts");
}

void CSimEsc::PowerOff(uint64_t tNs) {
    powered_ = false;
    ResetDecoder();
    // Replies not yet on the wire die with the power; the bus still carries echoes.
    // Only replies can lie beyond tNs: echoes are scheduled when their byte ends.
    std::erase_if(out_, [&](const SWireByte& w) { return w.tNs > tNs; });
    if (!out_.empty()) {
        wireFreeAt_ = out_.back().tNs;
    } else if (wireFreeAt_ && *wireFreeAt_ > tNs) {
        wireFreeAt_ = tNs;
    }
    AddLog(tNs, "power off");
}

// --- decoding -------------------------------------------------------------------------

void CSimEsc::ResetDecoder() {
    rx_.clear();
    block_.clear();
    blockLen_ = 0;
    zeroRun_ = 0;
}

void CSimEsc::Decode(uint64_t tNs, uint8_t b) {
    if (blockLen_ != 0) {
        // Inside a block every byte is data: the wake-up pattern may well occur in it.
        block_.push_back(b);
        if (block_.size() == blockLen_) {
            FinishBlock(tNs);
        }
        return;
    }
    if (b == kWakeUpEnd && zeroRun_ >= kWakeUpZeros) {
        zeroRun_ = 0;
        rx_.clear();
        AddLog(tNs, "wake-up");
        return;
    }
    zeroRun_ = b == 0 ? zeroRun_ + 1 : 0;

    if (rx_.empty() && CommandLength(b) == 0) {
        return;  // not the start of a command: line noise or the wake-up's zeros
    }
    rx_.push_back(b);
    if (rx_.size() == CommandLength(rx_[0])) {
        Execute(tNs);
        rx_.clear();
    }
}

void CSimEsc::Ignore(uint64_t tNs, std::string_view why) {
    ++ignored_;
    std::string line = "ignored ";
    if (blockLen_ != 0) {
        line += std::to_string(block_.size()) + " block bytes";
    } else {
        line += Hex(rx_);
    }
    line += ": ";
    line += why;
    AddLog(tNs, line);
    ResetDecoder();
}

void CSimEsc::Execute(uint64_t tNs) {
    const std::span<const uint8_t> p(rx_);
    switch (p[0]) {
        case kCmdProbe: {
            const bool textOk = std::equal(kProbeText.begin(), kProbeText.end(), p.begin(),
                                           [](char c, uint8_t x) { return uint8_t(c) == x; });
            if (!textOk || !CrcMatches(p)) {
                Ignore(tNs, "not a probe");
                return;
            }
            OnProbe(tNs);
            return;
        }
        case kCmdSetAddress:
        case kCmdSetBuffer:
        case kCmdReadInfo:
        case kCmdKeepAlive:
            if (p[1] != 0x00) {
                Ignore(tNs, "second byte not 00");
                return;
            }
            break;
        case kCmdProgram:
            if (p[1] != 0x01) {
                Ignore(tNs, "second byte not 01");
                return;
            }
            break;
        default:
            return;
    }
    if (!CrcMatches(p)) {
        Ignore(tNs, "bad CRC");
        return;
    }
    switch (p[0]) {
        case kCmdSetAddress:
            OnSetAddress(tNs);
            break;
        case kCmdSetBuffer:
            OnSetBuffer(tNs);
            break;
        case kCmdReadInfo:
            OnReadInfo(tNs);
            break;
        case kCmdKeepAlive:
            OnKeepAlive(tNs);
            break;
        case kCmdProgram:
            OnProgram(tNs);
            break;
        default:
            break;
    }
}

// --- commands -------------------------------------------------------------------------

void CSimEsc::OnProbe(uint64_t tNs) {
    ++counts_[static_cast<std::size_t>(ReplyKind::kIdentify)];
    Reply(tNs, ReplyKind::kIdentify, std::vector<uint8_t>(cfg_.idText.begin(), cfg_.idText.end()),
          cfg_.replyDelayNs, "probe");
}

void CSimEsc::OnSetAddress(uint64_t tNs) {
    ++counts_[static_cast<std::size_t>(ReplyKind::kSetAddress)];
    // Every address the host may name lies below 0x01000000: its keyed top byte is the
    // key itself.
    const uint8_t k = rx_[2];
    uint32_t address = 0;
    for (std::size_t i = 2; i < 6; ++i) {
        address = (address << 8) | static_cast<uint8_t>(rx_[i] ^ k);
    }
    char what[64];
    std::snprintf(what, sizeof what, "set-address %s key=0x%02X", AddressText(address).c_str(), k);
    if (address >= kFlashSize) {
        Reply(tNs, ReplyKind::kSetAddress, {cfg_.nackByte}, cfg_.replyDelayNs,
              std::string(what) + " outside the flash");
        return;
    }
    key_ = k;
    address_ = address;
    Reply(tNs, ReplyKind::kSetAddress, {kAckByte}, cfg_.replyDelayNs, what);
}

void CSimEsc::OnReadInfo(uint64_t tNs) {
    ++counts_[static_cast<std::size_t>(ReplyKind::kReadInfo)];
    const auto info = InfoBlock();
    std::vector<uint8_t> reply;
    reply.reserve(kInfoSize + 3);
    for (const uint8_t b : info) {
        reply.push_back(static_cast<uint8_t>(b ^ key_));
    }
    uint16_t crc = Crc16(reply);
    if (cfg_.badInfoCrc) {
        crc = static_cast<uint16_t>(crc + 1);
    }
    reply.push_back(static_cast<uint8_t>(crc & 0xFF));
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    reply.push_back(kAckByte);
    char what[96];
    std::snprintf(what, sizeof what, "read-information key=0x%02X v%u.%02u variant %u%s", key_,
                  ReportedMajor(), ReportedMinor(), ReportedVariant(),
                  cfg_.badInfoCrc ? " (bad CRC)" : "");
    Reply(tNs, ReplyKind::kReadInfo, std::move(reply), cfg_.replyDelayNs, what);
}

void CSimEsc::OnKeepAlive(uint64_t tNs) {
    ++counts_[static_cast<std::size_t>(ReplyKind::kKeepAlive)];
    Reply(tNs, ReplyKind::kKeepAlive, {kKeepAliveByte}, cfg_.replyDelayNs, "keep-alive");
}

void CSimEsc::OnSetBuffer(uint64_t tNs) {
    const uint32_t len = (uint32_t{rx_[2]} << 24) | (uint32_t{rx_[3]} << 16) |
                         (uint32_t{rx_[4]} << 8) | uint32_t{rx_[5]};
    if (len != kFlashPage) {
        Ignore(tNs, "set-buffer length not 1024");
        return;
    }
    // The reply comes once the block and its CRC are in (FinishBlock).
    rx_.clear();
    blockLen_ = kFlashPage + 2;
    block_.clear();
    block_.reserve(blockLen_);
}

void CSimEsc::FinishBlock(uint64_t tNs) {
    ++counts_[static_cast<std::size_t>(ReplyKind::kSetBuffer)];
    const bool ok = CrcMatches(block_);
    blockLen_ = 0;
    if (ok) {
        buffer_.assign(block_.begin(), block_.begin() + kFlashPage);
        bufferValid_ = true;
        Reply(tNs, ReplyKind::kSetBuffer, {kAckByte}, cfg_.replyDelayNs,
              "set-buffer 1024 bytes, CRC ok");
    } else {
        bufferValid_ = false;
        Reply(tNs, ReplyKind::kSetBuffer, {cfg_.nackByte}, cfg_.replyDelayNs,
              "set-buffer 1024 bytes, CRC mismatch");
    }
    block_.clear();
}

void CSimEsc::OnProgram(uint64_t tNs) {
    ++counts_[static_cast<std::size_t>(ReplyKind::kProgram)];
    if (!bufferValid_ || !address_ || *address_ + kFlashPage > kFlashSize) {
        Reply(tNs, ReplyKind::kProgram, {cfg_.nackByte}, cfg_.programDelayNs,
              !bufferValid_ ? "program with nothing buffered" : "program without an address");
        return;
    }
    const uint32_t at = *address_;
    for (uint32_t i = 0; i < kFlashPage; ++i) {
        flash_[at + i] = static_cast<uint8_t>(buffer_[i] ^ key_);
    }
    address_ = at + kFlashPage;
    bufferValid_ = false;
    ++pagesProgrammed_;
    const std::string what =
        "program " + AddressText(at) + " (page " + std::to_string(pagesProgrammed_) + ")";
    if (cfg_.powerCutAfterPage != 0 && pagesProgrammed_ == cfg_.powerCutAfterPage && !cutDone_) {
        cutDone_ = true;
        AddLog(tNs,
               what + " -> power cut for " + std::to_string(cfg_.powerCutNs / kNsPerMs) + " ms");
        PowerOff(tNs);
        powerOnAt_ = tNs + cfg_.powerCutNs;
        return;
    }
    Reply(tNs, ReplyKind::kProgram, {kAckByte}, cfg_.programDelayNs, what);
}

void CSimEsc::Reply(uint64_t tNs, ReplyKind kind, std::vector<uint8_t> bytes, uint64_t delayNs,
                    const std::string& what) {
    const uint32_t count = Count(kind);
    std::string notes;
    std::vector<uint8_t> noise;
    bool missing = false;
    for (const auto& f : cfg_.faults) {
        if (f.kind != kind || !f.AppliesTo(count)) {
            continue;
        }
        switch (f.action) {
            case FaultAction::kMissing:
                missing = true;
                break;
            case FaultAction::kLate:
                delayNs += f.lateNs;
                notes += " late +" + std::to_string(f.lateNs / kNsPerMs) + "ms";
                break;
            case FaultAction::kWrong:
                if (!bytes.empty()) {
                    bytes.back() = f.byte;
                    notes += " wrong";
                }
                break;
            case FaultAction::kNoise:
                noise.insert(noise.end(), f.noise.begin(), f.noise.end());
                notes += " after noise " + Hex(f.noise);
                break;
        }
    }
    std::string line = what + " -> ";
    if (missing) {
        AddLog(tNs, line + "(no reply)");
        return;
    }
    if (bytes.size() == 1) {
        line += ByteText(bytes[0]);
    } else if (kind == ReplyKind::kIdentify) {
        line += '"' + std::string(bytes.begin(), bytes.end()) + '"';
    } else {
        line += std::to_string(bytes.size() - 1) + " bytes + " + ByteText(bytes.back());
    }
    AddLog(tNs, line + notes);

    // The first byte of the reply starts after the processing time and ends a byte
    // time later; Schedule keeps every byte behind the one before it.
    const uint64_t first = tNs + delayNs + byteNs_;
    for (const uint8_t b : noise) {
        Schedule(first, b);
    }
    for (const uint8_t b : bytes) {
        Schedule(first, b);
    }
}

// --- flash and the information block -------------------------------------------------

void CSimEsc::LoadFlash(uint32_t address, std::span<const uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i) {
        flash_[address + i] = bytes[i];
    }
}

uint8_t CSimEsc::ReportedMajor() const {
    const auto id = ReadImageIdentity(std::span(flash_).subspan(kAppAddress));
    return id ? id->major : cfg_.appMajor;
}

uint8_t CSimEsc::ReportedMinor() const {
    const auto id = ReadImageIdentity(std::span(flash_).subspan(kAppAddress));
    return id ? id->minor : cfg_.appMinor;
}

uint8_t CSimEsc::ReportedVariant() const {
    const auto id = ReadImageIdentity(std::span(flash_).subspan(kAppAddress));
    return id ? id->variant : cfg_.variant;
}

std::array<uint8_t, kInfoSize> CSimEsc::InfoBlock() const {
    std::array<uint8_t, kInfoSize> info{};
    // Bytes nobody reads still differ from each other, so that a key left in or taken
    // out twice shows anywhere in the block.
    for (std::size_t i = 0; i < kInfoSize; ++i) {
        info[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    info[4] = ReportedMajor();
    info[5] = ReportedMinor();
    info[6] = 0;
    info[7] = ReportedVariant();

    std::string text = cfg_.bootText;
    if (text.empty()) {
        const char typeChar = cfg_.bootTypeChar != 0 ? cfg_.bootTypeChar
                              : cfg_.bootType == 1   ? '2'
                              : cfg_.bootType == 2   ? '3'
                                                     : '4';
        text = std::string("f051bl-") + typeChar + ".02";  // byte 15 is the 8th character
    } else if (cfg_.bootTypeChar != 0 && text.size() > 7) {
        text[7] = cfg_.bootTypeChar;
    }
    for (std::size_t i = 8; i < 23; ++i) {
        info[i] = i - 8 < text.size() ? static_cast<uint8_t>(text[i - 8]) : 0;
    }
    info[23] = cfg_.byte23;
    std::copy_n(flash_.begin() + kSetupAddress, kSetupBlockSize, info.begin() + 512);
    return info;
}

void CSimEsc::AddLog(uint64_t tNs, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "t=%llu.%03llums ",
                  static_cast<unsigned long long>(tNs / kNsPerMs),
                  static_cast<unsigned long long>(tNs % kNsPerMs / kNsPerUs));
    log_.push_back(head + text);
    if (sink_) {
        sink_(log_.back());
    }
}

}  // namespace quorvel::sim
