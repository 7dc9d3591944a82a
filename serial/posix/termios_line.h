#pragma once
// The line settings in termios terms, apart from the device so that the mapping can be
// checked without one (a pseudo-terminal ignores data bits and parity).

#include <termios.h>

#include <cstdint>
#include <optional>

#include "serial/connection.h"

namespace quorvel {

// The Bnnn constant of a standard rate; nullopt for any other rate.
std::optional<speed_t> StandardSpeed(int32_t baud);

// Makes tio raw and writes data bits, parity, stop bits and flow control into it (not the
// speed). False for a code the line cannot take: data bits outside 5..8, parity above 4
// (mark and space also where CMSPAR is missing), stop-bits code above 2.
bool LineToTermios(const SLineSettings& line, termios& tio);

}  // namespace quorvel
