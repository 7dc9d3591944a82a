#pragma once
// A baud rate that has no Bnnn constant. Kept apart because the Linux interface for it
// (termios2) cannot share a file with <termios.h>.

#include <cstdint>
#include <optional>

namespace quorvel {

// Sets input and output speed of the open terminal fd to baud; false where the system
// offers no way or the driver refuses.
bool SetCustomBaud(int fd, int32_t baud);

// The output speed in bits per second as the driver holds it, whatever way it was set;
// nullopt where it cannot be read that way.
std::optional<int32_t> GetLineSpeed(int fd);

}  // namespace quorvel
