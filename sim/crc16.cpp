#include "sim/crc16.h"

namespace quorvel::sim {

uint16_t Crc16(std::span<const uint8_t> bytes, uint16_t crc) {
    for (const uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            const bool lsb = (crc & 1u) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (lsb) {
                crc ^= 0xA001;
            }
        }
    }
    return crc;
}

}  // namespace quorvel::sim
