#pragma once
// The boot loader's own CRC-16 (the ARC flavour: reflected 0xA001, start 0, no final
// XOR). Kept apart from the link's so that the simulated ESC checks the host's framing
// instead of sharing its mistakes.

#include <cstdint>
#include <span>

namespace quorvel::sim {

uint16_t Crc16(std::span<const uint8_t> bytes, uint16_t crc = 0);

}  // namespace quorvel::sim
