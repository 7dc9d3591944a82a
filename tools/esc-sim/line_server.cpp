#include "tools/esc-sim/line_server.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quorvel::escsim {
namespace {

volatile std::sig_atomic_t* g_stopFlag = nullptr;
sigset_t g_waitMask;  // the mask during the wait: the stop signals let through

void OnStopSignal(int) {
    if (g_stopFlag != nullptr) {
        *g_stopFlag = 1;
    }
}

speed_t SpeedOf(uint32_t baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        default:
            return B0;
    }
}

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

void BlockStopSignals(volatile std::sig_atomic_t& stopFlag) {
    g_stopFlag = &stopFlag;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &g_waitMask);
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);
}

CLineServer::~CLineServer() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool CLineServer::OpenPty(std::string& error) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
        error = Errno("pseudo-terminal");
        return false;
    }
    const char* name = ptsname(fd_);
    if (name == nullptr) {
        error = Errno("ptsname");
        return false;
    }
    path_ = name;
    // Raw mode set from this side, without opening the peer's end: opening and closing
    // it here would already count as a peer that hung up.
    termios t{};
    if (tcgetattr(fd_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    pty_ = true;
    return true;
}

bool CLineServer::OpenDevice(const std::string& path, const sim::SWireFormat& wire,
                             std::string& error) {
    const speed_t speed = SpeedOf(wire.baud);
    if (speed == B0) {
        error = "unsupported baud rate " + std::to_string(wire.baud);
        return false;
    }
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) {
        error = Errno(path.c_str());
        return false;
    }
    termios t{};
    if (tcgetattr(fd_, &t) != 0) {
        error = Errno("tcgetattr");
        return false;
    }
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (wire.dataBits) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        default:
            t.c_cflag |= CS8;
            break;
    }
    if (wire.parity) {
        t.c_cflag |= PARENB;
    }
    if (wire.stopHalfBits > 2) {
        t.c_cflag |= CSTOPB;
    }
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        error = Errno("tcsetattr");
        return false;
    }
    tcflush(fd_, TCIOFLUSH);
    path_ = path;
    return true;
}

int CLineServer::Serve(sim::CRealtimeEsc& esc, const volatile std::sig_atomic_t& stop) {
    std::vector<uint8_t> out;
    std::array<uint8_t, 4096> buf{};
    // Linux reports a hang-up on a pty only once a peer has opened and closed it. Should
    // a system report one before any peer came, wait for it to clear first.
    bool hupBeforePeer = false;
    bool peerSeen = false;
    bool first = true;

    for (;;) {
        if (stop != 0) {
            return 0;
        }
        const auto due = esc.TakeDue();
        out.insert(out.end(), due.begin(), due.end());
        if (!out.empty()) {
            const ssize_t n = write(fd_, out.data(), out.size());
            if (n > 0) {
                out.erase(out.begin(), out.begin() + n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                if (pty_ && errno == EIO) {
                    return 0;  // the peer has gone
                }
                std::fprintf(stderr, "esc-sim: %s\n", Errno("write").c_str());
                return 1;
            }
        }

        pollfd pfd{fd_, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0};
        timespec wait{};
        timespec* timeout = nullptr;
        if (const auto next = esc.NextDueNs()) {
            const uint64_t now = esc.NowNs();
            const uint64_t ns = *next > now ? *next - now : 0;
            wait.tv_sec = static_cast<time_t>(ns / 1'000'000'000ull);
            wait.tv_nsec = static_cast<long>(ns % 1'000'000'000ull);
            timeout = &wait;
        }
        const int r = ppoll(&pfd, 1, timeout, &g_waitMask);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "esc-sim: %s\n", Errno("poll").c_str());
            return 1;
        }
        const bool hup = (pfd.revents & POLLHUP) != 0;
        if (first) {
            hupBeforePeer = pty_ && hup;
            first = false;
        }
        if (pty_ && hupBeforePeer && !peerSeen) {
            if (!hup) {
                peerSeen = true;
            } else {
                const timespec nap{0, 20'000'000};
                ppoll(nullptr, 0, &nap, &g_waitMask);
                continue;
            }
        }
        if ((pfd.revents & POLLIN) != 0) {
            const ssize_t n = read(fd_, buf.data(), buf.size());
            if (n > 0) {
                peerSeen = true;
                esc.Feed(std::span(buf.data(), static_cast<std::size_t>(n)));
            } else if (n < 0 && errno == EIO && pty_) {
                return 0;  // the peer has closed its end
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                std::fprintf(stderr, "esc-sim: %s\n", Errno("read").c_str());
                return 1;
            }
        }
        if (hup && (pfd.revents & POLLIN) == 0) {
            if (!pty_) {
                std::fprintf(stderr, "esc-sim: %s hung up\n", path_.c_str());
                return 1;
            }
            return 0;
        }
        if ((pfd.revents & (POLLERR | POLLNVAL)) != 0) {
            std::fprintf(stderr, "esc-sim: error on %s\n", path_.c_str());
            return 1;
        }
    }
}

}  // namespace quorvel::escsim
