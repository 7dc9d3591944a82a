#include "serial/posix/termios_line.h"

namespace quorvel {

namespace {
constexpr cc_t kXonChar = 17;
constexpr cc_t kXoffChar = 19;

struct SpeedCode {
    int32_t baud;
    speed_t code;
};

constexpr SpeedCode kStandardSpeeds[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

}  // namespace

std::optional<speed_t> StandardSpeed(int32_t baud) {
    for (const SpeedCode& speed : kStandardSpeeds) {
        if (speed.baud == baud) {
            return speed.code;
        }
    }
    return std::nullopt;
}

bool LineToTermios(const SLineSettings& line, termios& tio) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    // Bytes with a parity error are delivered as received (no INPCK), as a Windows port
    // with parity checking on but no error character does.

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (line.byteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            return false;
    }

    tcflag_t parityBits = 0;
    switch (line.parity) {
        case 0:
            break;
        case 1:
            parityBits = PARENB | PARODD;
            break;
        case 2:
            parityBits = PARENB;
            break;
#ifdef CMSPAR
        case 3:
            parityBits = PARENB | CMSPAR | PARODD;
            break;
        case 4:
            parityBits = PARENB | CMSPAR;
            break;
#endif
        default:
            return false;
    }
    tcflag_t parityMask = PARENB | PARODD;
#ifdef CMSPAR
    parityMask |= CMSPAR;
#endif
    tio.c_cflag = (tio.c_cflag & ~parityMask) | parityBits;

    // Code 1 asks for one and a half stop bits, which termios lacks: two is the safe
    // choice, the far receiver still sees a valid stop bit.
    switch (line.stopBits) {
        case 0:
            tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
            break;
        case 1:
        case 2:
            tio.c_cflag |= CSTOPB;
            break;
        default:
            return false;
    }

    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (line.flowMode == 1) {
        tio.c_cflag |= CRTSCTS;
    } else if (line.flowMode == 2) {
        tio.c_iflag |= IXON | IXOFF;
    }
    tio.c_cc[VSTART] = kXonChar;
    tio.c_cc[VSTOP] = kXoffChar;
    // Reads return what is waiting at once; the reader thread announces only that.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return true;
}

}  // namespace quorvel
