#pragma once
// How long one character takes on the line. The simulated ESC and the bench both count
// time in integer nanoseconds and place every byte at the moment its last stop bit ends.

#include <cstdint>

namespace quorvel::sim {

struct SWireFormat {
    uint32_t baud = 19200;
    uint8_t dataBits = 8;
    bool parity = false;
    // Stop bits in halves, so that one and a half stays an integer: 2, 3 or 4.
    uint8_t stopHalfBits = 3;

    // Bit-times of one character, doubled: start + data + parity, plus the stop bits.
    uint32_t HalfBitsPerChar() const {
        return 2u * (1u + dataBits + (parity ? 1u : 0u)) + stopHalfBits;
    }
    // Rounded to the nearest nanosecond; exact for 19200 baud (546875 ns at 8N1.5).
    uint64_t ByteTimeNs() const {
        const uint64_t num = uint64_t{HalfBitsPerChar()} * 1'000'000'000ull;
        const uint64_t den = 2ull * baud;
        return (num + den / 2) / den;
    }
};

inline constexpr uint64_t kNsPerMs = 1'000'000;
inline constexpr uint64_t kNsPerUs = 1'000;

}  // namespace quorvel::sim
