#include "serial/connection.h"

namespace quorvel {

SLineSettings LineSettingsFrom(const SInfoFileRecord& record, int32_t flowMode) {
    // The record keeps each code in 32 bits, but only the low byte ever reached the port.
    SLineSettings line;
    line.baud = record.baud;
    line.byteSize = static_cast<uint8_t>(record.byteSize & 0xFF);
    line.parity = static_cast<uint8_t>(record.parity & 0xFF);
    line.stopBits = static_cast<uint8_t>(record.stopBits & 0xFF);
    line.flowMode = flowMode;
    return line;
}

unsigned HalfBitsPerChar(const SLineSettings& line) {
    const unsigned parityBits = line.parity == 0 ? 0 : 1;
    unsigned stopHalfBits = 2;  // code 0: one stop bit
    if (line.stopBits == 1) {
        stopHalfBits = 3;
    } else if (line.stopBits >= 2) {
        stopHalfBits = 4;
    }
    return 2 * (1 + unsigned{line.byteSize} + parityBits) + stopHalfBits;
}

}  // namespace quorvel
