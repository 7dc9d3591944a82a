#pragma once
// The textual forms of the simulated ESC's profile and faults, one notation for every
// tool that sets them (esc-sim, quorvel-cli --sim).

#include <optional>
#include <string>
#include <string_view>

#include "sim/sim_esc.h"

namespace quorvel::sim {

// KIND:ACTION[=ARG][@N[+R]]
//   KIND    identify | set-address | read-information | keep-alive | set-buffer | program
//           (or id, address, info, keepalive, buffer)
//   ACTION  missing | late=MS | wrong=BYTE | noise=HH[,HH...]
//   @N      only the n-th reply of the kind (from 1); @N+R: R in a row from the n-th,
//           @N+0: every one from the n-th on
// BYTE and HH are numbers in C notation (0x31, 49) or, for HH, two hex digits.
// Returns nothing and sets error when the text is not of that form.
std::optional<SReplyFault> ParseFault(std::string_view text, std::string& error);

// "4.03" -> 4 and 3, "4.10" -> 4 and 10: the minor part is the number after the dot.
bool ParseVersion(std::string_view text, uint8_t& major, uint8_t& minor);

// "1", "1.5", "2" -> 2, 3, 4 half bits.
std::optional<uint8_t> ParseStopBits(std::string_view text);

}  // namespace quorvel::sim
