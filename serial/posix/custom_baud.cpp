#include "serial/posix/custom_baud.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <sys/ioctl.h>
#endif

namespace quorvel {

bool SetCustomBaud(int fd, int32_t baud) {
#if defined(__linux__) && defined(BOTHER) && defined(TCGETS2)
    if (baud <= 0) {
        return false;
    }
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    // Input follows output: the input-speed field is set to the same custom rate.
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= static_cast<tcflag_t>(BOTHER | (BOTHER << IBSHIFT));
    tio.c_ispeed = static_cast<speed_t>(baud);
    tio.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &tio) == 0;
#else
    (void)fd;
    (void)baud;
    return false;
#endif
}

std::optional<int32_t> GetLineSpeed(int fd) {
#if defined(__linux__) && defined(TCGETS2)
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return std::nullopt;
    }
    return static_cast<int32_t>(tio.c_ospeed);
#else
    (void)fd;
    return std::nullopt;
#endif
}

}  // namespace quorvel
