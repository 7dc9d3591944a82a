#pragma once
// A simulated ESC boot loader on the far side of the one-wire line.
//
// It knows the line only as bytes on a wire: what the host sends, the echo that the
// adapter's bus gives back, and the boot loader's replies. Nothing of the host's link
// code is shared; the framing, the CRC and the command decoding here are its own.
//
// Time. Every time is an integer number of nanoseconds on one clock chosen by the
// caller (the bench's virtual clock, or a monotonic clock for a real-time driver). A
// byte's time is the moment its last stop bit ends, both ways:
//   - OnHostByte(t, b): a byte from the host has finished arriving at t. Its echo is
//     scheduled for t; a complete command schedules the reply after the processing time,
//     byte after byte at wire speed.
//   - The output is one queue in time order; no byte is ever placed on the wire while
//     another scheduled byte occupies it (a byte due earlier than the wire is free is
//     pushed back), so the queue never overlaps itself.
//   - NextOutputTime() and TakeOutputUntil(t) let the caller deliver the output at the
//     right moments. Calls must come in non-decreasing time.
// Nothing happens on its own between calls: a power-on or the end of a power cut takes
// effect at the first call whose time has reached it.
//
// Decoding. Bytes are collected into a command by their first byte:
//   'Q' probe (8: "QZ32SZ" and CRC)        FF set-address (8: FF 00, 4 keyed bytes, CRC)
//   04 read-information (4: 04 00, CRC)     FD keep-alive (4: FD 00, CRC)
//   FE set-buffer (8: FE 00, length, CRC)   01 program (4: 01 01, CRC)
// then, after a set-buffer, the block and its CRC. A byte that starts no command is
// dropped; a complete command whose fixed bytes or CRC are wrong is dropped whole and
// gets no reply. Resynchronisation: nine or more 00 followed by 0D (the wake-up) drop
// any partial command, and so does a pause longer than interByteGapNs inside a command
// or a block (a host that gave up half-way must not leave the decoder out of step).
//
// Flash. A 32 KB address space, 0x0000..0x7FFF, erased to 0xFF except the setup page at
// 0x7800, which starts with a plausible setup block. The application lives from 0x1000
// (26 pages); the information block is not stored but built on every read from the
// state (boot text, versions, the setup page's first 34 bytes).

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/wire.h"

namespace quorvel::sim {

inline constexpr uint32_t kFlashSize = 0x8000;
inline constexpr uint32_t kFlashPage = 1024;
inline constexpr uint32_t kAppAddress = 0x1000;
inline constexpr uint32_t kAppPages = 26;
inline constexpr uint32_t kSetupAddress = 0x7800;
inline constexpr uint32_t kInfoAddress = 0x7C00;
inline constexpr std::size_t kInfoSize = 1024;
inline constexpr uint8_t kAckByte = 0x30;  // '0'
inline constexpr uint8_t kKeepAliveByte = 0xC1;

// The commands that get a reply; each kind has its own counter, from 1, of the
// commands decoded since the ESC was made (reboots do not reset it).
enum class ReplyKind { kIdentify, kSetAddress, kReadInfo, kKeepAlive, kSetBuffer, kProgram };
inline constexpr std::size_t kReplyKindCount = 6;
// "identify", "set-address", "read-information", "keep-alive", "set-buffer", "program".
std::string_view ReplyKindName(ReplyKind kind);
// Accepts the names above and the short forms "id", "address", "info", "keepalive",
// "buffer".
std::optional<ReplyKind> ReplyKindFromName(std::string_view name);

enum class FaultAction {
    kMissing,  // no reply at all
    kLate,     // the reply starts lateNs later than usual
    kWrong,    // the reply's last byte (the acknowledgement) is replaced by `byte`
    kNoise,    // `noise` goes onto the wire right before the reply
};

// A fault of one kind of reply. Several may apply to the same reply.
struct SReplyFault {
    ReplyKind kind = ReplyKind::kKeepAlive;
    FaultAction action = FaultAction::kMissing;
    // 0: every reply of the kind. Otherwise the n-th (counting from 1) ...
    uint32_t nth = 0;
    // ... and, with nth, this many in a row from it; 0 = every one from the n-th on.
    uint32_t repeat = 1;
    uint64_t lateNs = 0;
    uint8_t byte = 0x31;
    std::vector<uint8_t> noise;

    bool AppliesTo(uint32_t count) const;
};

struct SSimConfig {
    SWireFormat wire;
    // Time from the end of a command to the start of its reply.
    uint64_t replyDelayNs = 1 * kNsPerMs;
    // Programming a page: from the end of the program command to its acknowledgement.
    uint64_t programDelayNs = 20 * kNsPerMs;
    // A pause longer than this inside a command or a block resets the decoder; 0: never.
    uint64_t interByteGapNs = 50 * kNsPerMs;

    // Power. With present false the ESC stays unpowered until SetPowered(true).
    bool present = true;
    uint64_t powerOnAtNs = 0;
    // The echo is the adapter's bus, there with or without a powered ESC.
    bool echoWhenUnpowered = true;
    // After the n-th page programmed since the ESC was made (0: never), the power fails
    // once: the page is in flash, its acknowledgement never goes out, the line is silent
    // for powerCutNs, and then the boot loader starts afresh without key or address.
    uint32_t powerCutAfterPage = 0;
    uint64_t powerCutNs = 500 * kNsPerMs;

    // Identification reply to the probe.
    std::string idText = "CPU-F0510";

    // Information block. bootType 1, 2, 3 put '2', '3', '4' at byte 15; bootTypeChar
    // (when not 0) puts any character there instead. bootText (when not empty) replaces
    // the whole text at bytes 8..22, as given (at most 15 characters). byte23 should be 0.
    int bootType = 3;
    char bootTypeChar = 0;
    std::string bootText;
    uint8_t byte23 = 0;
    // Reported while the application in flash carries no identity tag.
    uint8_t appMajor = 4;
    uint8_t appMinor = 3;
    uint8_t variant = 1;
    // The CRC after the information block does not match it.
    bool badInfoCrc = false;

    std::vector<SReplyFault> faults;

    // Answer to a block whose CRC does not match, or to a set-address or program that
    // cannot be carried out (address outside the flash, nothing buffered).
    uint8_t nackByte = 0x31;
};

struct SWireByte {
    uint64_t tNs = 0;
    uint8_t b = 0;
    bool operator==(const SWireByte&) const = default;
};

class CSimEsc {
  public:
    explicit CSimEsc(SSimConfig config = {});

    const SSimConfig& Config() const { return cfg_; }
    // For a test that changes the profile or the faults half-way.
    SSimConfig& MutableConfig() { return cfg_; }

    uint64_t ByteTimeNs() const { return byteNs_; }

    // --- the wire -----------------------------------------------------------------
    // A byte from the host has finished arriving at tDoneNs.
    void OnHostByte(uint64_t tDoneNs, uint8_t b);
    // Bytes back to back: the first done at tFirstDoneNs, each next one a byte time later.
    void OnHostBytes(uint64_t tFirstDoneNs, std::span<const uint8_t> bytes);

    // The time of the earliest byte not yet taken.
    std::optional<uint64_t> NextOutputTime() const;
    // Removes and returns, in order, every byte whose time is at most tNs.
    std::vector<SWireByte> TakeOutputUntil(uint64_t tNs);
    std::size_t PendingOutput() const { return out_.size(); }

    // --- power ----------------------------------------------------------------------
    // Switching off drops replies still to go out after tNs (echoes stay if the bus
    // echoes without power); switching on starts the boot loader afresh.
    void SetPowered(bool on, uint64_t tNs);
    // Applies whatever was due by tNs (power-on, end of a power cut) and reports.
    bool PoweredAt(uint64_t tNs);
    uint32_t Boots() const { return boots_; }

    // --- state, for tests -----------------------------------------------------------
    std::span<const uint8_t> Flash() const { return flash_; }
    void LoadFlash(uint32_t address, std::span<const uint8_t> bytes);
    // The information block as the ESC would send it now, before the key is mixed in.
    std::array<uint8_t, kInfoSize> InfoBlock() const;
    // Major, minor and variant reported: the application's tag, or the profile values.
    uint8_t ReportedMajor() const;
    uint8_t ReportedMinor() const;
    uint8_t ReportedVariant() const;
    // The key of the last set-address since the boot (0 before any).
    uint8_t Key() const { return key_; }
    std::optional<uint32_t> Address() const { return address_; }
    uint32_t PagesProgrammed() const { return pagesProgrammed_; }
    uint32_t Count(ReplyKind kind) const { return counts_[static_cast<std::size_t>(kind)]; }
    // Commands dropped for a wrong fixed byte or CRC, and resynchronisations.
    uint32_t Ignored() const { return ignored_; }

    // One line per exchange and per notable event, e.g.
    // "t=12.345ms set-address 0x7C00 key=0x5A -> '0'".
    const std::vector<std::string>& Log() const { return log_; }
    // Also hands every new line to a sink (esc-sim --verbose prints them).
    void SetLogSink(std::function<void(const std::string&)> sink) { sink_ = std::move(sink); }

  private:
    void Advance(uint64_t tNs);
    void Boot(uint64_t tNs);
    void PowerOff(uint64_t tNs);
    void ResetDecoder();
    void Schedule(uint64_t tDesiredNs, uint8_t b);
    void Decode(uint64_t tNs, uint8_t b);
    void Execute(uint64_t tNs);
    void FinishBlock(uint64_t tNs);
    void Ignore(uint64_t tNs, std::string_view why);
    // Sends a reply for a command of `kind` that ended at tNs, applying the faults.
    void Reply(uint64_t tNs, ReplyKind kind, std::vector<uint8_t> bytes, uint64_t delayNs,
               const std::string& what);
    void AddLog(uint64_t tNs, const std::string& text);

    void OnProbe(uint64_t tNs);
    void OnSetAddress(uint64_t tNs);
    void OnReadInfo(uint64_t tNs);
    void OnKeepAlive(uint64_t tNs);
    void OnSetBuffer(uint64_t tNs);
    void OnProgram(uint64_t tNs);

    SSimConfig cfg_;
    uint64_t byteNs_;

    // Power.
    bool powered_ = false;
    std::optional<uint64_t> powerOnAt_;
    bool cutDone_ = false;
    uint32_t boots_ = 0;

    // Boot loader state, lost at every boot.
    uint8_t key_ = 0;
    std::optional<uint32_t> address_;
    std::vector<uint8_t> buffer_;  // the last good block, still keyed
    bool bufferValid_ = false;

    // Decoder.
    std::vector<uint8_t> rx_;
    std::size_t blockLen_ = 0;  // bytes of block + CRC awaited after a set-buffer
    std::vector<uint8_t> block_;
    uint32_t zeroRun_ = 0;
    std::optional<uint64_t> lastRxNs_;

    std::vector<uint8_t> flash_;
    std::array<uint32_t, kReplyKindCount> counts_{};
    uint32_t pagesProgrammed_ = 0;
    uint32_t ignored_ = 0;

    std::deque<SWireByte> out_;
    std::optional<uint64_t> wireFreeAt_;  // end of the last byte ever scheduled

    std::vector<std::string> log_;
    std::function<void(const std::string&)> sink_;
};

}  // namespace quorvel::sim
