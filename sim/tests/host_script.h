#pragma once
// A scripted host for the simulated ESC's tests: it puts bytes on the wire back to back
// at wire speed and collects what comes back. The packets are written out byte by byte
// as the line carries them; only the set-address CRC, which depends on the key, is
// computed.

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "sim/crc16.h"
#include "sim/sim_esc.h"

namespace quorvel::sim::testing {

using Bytes = std::vector<uint8_t>;

inline const Bytes kWakeUpProbe = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x0D, 'Q',  'Z',  '3',  '2',  'S',  'Z',  0x47, 0xCC};
inline const Bytes kReadInfo = {0x04, 0x00, 0x02, 0xC0};
inline const Bytes kKeepAlive = {0xFD, 0x00, 0x40, 0x90};
inline const Bytes kSetBuffer = {0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E};
inline const Bytes kProgram = {0x01, 0x01, 0xC0, 0x50};
inline const Bytes kIdText = {'C', 'P', 'U', '-', 'F', '0', '5', '1', '0'};

inline Bytes WithCrc(Bytes body) {
    const uint16_t crc = Crc16(body);
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    return body;
}

// FF 00 K K (K ^ hi) K and the CRC, for an address below 0x10000 with low byte 0.
inline Bytes SetAddress(uint8_t key, uint32_t address) {
    return WithCrc({0xFF, 0x00, key, key, static_cast<uint8_t>(key ^ (address >> 8)), key});
}

// A 1024-byte block with its CRC, as it follows a set-buffer.
inline Bytes Block(std::span<const uint8_t> page) {
    return WithCrc(Bytes(page.begin(), page.end()));
}

inline Bytes ValuesOf(const std::vector<SWireByte>& out) {
    Bytes b;
    for (const auto& w : out) {
        b.push_back(w.b);
    }
    return b;
}

struct SExchange {
    uint64_t lastSentNs = 0;  // end of the last byte sent
    std::vector<SWireByte> echo;
    std::vector<SWireByte> reply;
    Bytes ReplyBytes() const { return ValuesOf(reply); }
    Bytes EchoBytes() const { return ValuesOf(echo); }
};

class CHostScript {
  public:
    explicit CHostScript(SSimConfig config = {}) : esc(std::move(config)) {}

    CSimEsc esc;
    uint64_t now = 0;

    uint64_t ByteNs() const { return esc.ByteTimeNs(); }

    // Bytes back to back from now on; returns the end of the last one.
    uint64_t Send(std::span<const uint8_t> bytes) {
        for (const uint8_t b : bytes) {
            now += ByteNs();
            esc.OnHostByte(now, b);
        }
        return now;
    }

    // Everything still to come; the host then idles 5 ms past the last byte.
    std::vector<SWireByte> Drain() {
        auto out = esc.TakeOutputUntil(std::numeric_limits<uint64_t>::max());
        if (!out.empty() && out.back().tNs > now) {
            now = out.back().tNs;
        }
        now += 5 * kNsPerMs;
        return out;
    }

    // One exchange: what went out, its echo (the first n bytes back) and the rest.
    SExchange Exchange(std::span<const uint8_t> bytes) {
        SExchange x;
        x.lastSentNs = Send(bytes);
        auto out = Drain();
        const std::size_t n = std::min(out.size(), bytes.size());
        x.echo.assign(out.begin(), out.begin() + static_cast<long>(n));
        x.reply.assign(out.begin() + static_cast<long>(n), out.end());
        return x;
    }

    Bytes Reply(std::span<const uint8_t> bytes) { return Exchange(bytes).ReplyBytes(); }

    // Set-address, set-buffer with the page keyed, program.
    void ProgramPage(uint8_t key, std::span<const uint8_t> plainPage) {
        Bytes keyed(plainPage.begin(), plainPage.end());
        for (auto& b : keyed) {
            b ^= key;
        }
        Bytes burst = kSetBuffer;
        const Bytes block = Block(keyed);
        burst.insert(burst.end(), block.begin(), block.end());
        lastBlockReply = Reply(burst);
        lastProgramReply = Reply(kProgram);
    }
    Bytes lastBlockReply;
    Bytes lastProgramReply;
};

}  // namespace quorvel::sim::testing
