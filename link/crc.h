#pragma once
// CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final XOR.

#include <cstdint>
#include <span>

namespace quorvel {

constexpr uint16_t Crc16Step(uint16_t crc, uint8_t b) {
    crc = static_cast<uint16_t>(crc ^ b);
    for (int i = 0; i < 8; ++i) {
        crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                         : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

constexpr uint16_t Crc16(std::span<const uint8_t> bytes, uint16_t crc = 0) {
    for (uint8_t b : bytes)
        crc = Crc16Step(crc, b);
    return crc;
}

}  // namespace quorvel
