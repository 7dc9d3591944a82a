#include "serial/posix/posix_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include "serial/posix/custom_baud.h"
#include "serial/posix/termios_line.h"

namespace quorvel {

namespace {

using Clock = std::chrono::steady_clock;

// Takes the device for us alone. Root passes the kernel's exclusive check, so a port
// that another program holds exclusively is refused here by asking first.
bool TakeExclusive(int fd) {
#ifdef TIOCGEXCL
    int held = 0;
    if (ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0) {
        return false;
    }
#endif
    return ioctl(fd, TIOCEXCL) == 0;
}

void ReleaseAndClose(int fd) {
    (void)ioctl(fd, TIOCNXCL);
    (void)::close(fd);
}

bool ApplyLine(int fd, const SLineSettings& line) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0 || !LineToTermios(line, tio)) {
        return false;
    }
    if (line.baud <= 0) {
        return false;
    }
    const std::optional<speed_t> speed = StandardSpeed(line.baud);
    const speed_t placeholder = speed ? *speed : B38400;
    if (cfsetispeed(&tio, placeholder) != 0 || cfsetospeed(&tio, placeholder) != 0) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return false;
    }
    if (!speed && !SetCustomBaud(fd, line.baud)) {
        return false;
    }

    if (line.flowMode != 1) {
        // A pseudo-terminal has no modem lines; that is not a reason to refuse it.
        int rts = TIOCM_RTS;
        if (ioctl(fd, TIOCMBIS, &rts) != 0 && errno != ENOTTY && errno != EINVAL) {
            return false;
        }
    }
    return true;
}

}  // namespace

CPosixConnection::CPosixConnection(IEventThread& events, CommNotifyHandler onCommNotify,
                                   IMessageSink& owner, PortResolver resolve)
    : announcer_(events, std::move(onCommNotify)), owner_(owner), resolve_(std::move(resolve)) {}

CPosixConnection::~CPosixConnection() {
    ClosePort();
}

bool CPosixConnection::Open(const std::string& portName, const SLineSettings& line) {
    if (m_bOpen.load()) {
        return false;
    }
    // A reader that ended on its own would still be joinable; clear the way.
    ClosePort();

    // Every attempt starts from fresh events: the go-ahead signalled so that the first
    // announcement does not wait.
    announcer_.Reset();

    const std::optional<std::string> path = resolve_ ? resolve_(portName) : std::nullopt;
    if (!path) {
        return false;
    }
    const int fd = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (!isatty(fd) || !TakeExclusive(fd)) {
        ::close(fd);
        return false;
    }
    if (!ApplyLine(fd, line)) {
        ReleaseAndClose(fd);
        return false;
    }
    halfBitsPerChar_ = HalfBitsPerChar(line);
    baud_ = line.baud;
    m_hPort.store(fd);

    // Set before the thread starts: its first look at the flag must find it set.
    m_bOpen.store(true);
    readerRunning_.store(true);
    try {
        m_pReaderThread = std::thread(&CPosixConnection::ReaderThreadProc, this);
    } catch (const std::system_error&) {
        m_bOpen.store(false);
        readerRunning_.store(false);
        ReleaseAndClose(m_hPort.exchange(-1));
        return false;
    }
    return true;
}

bool CPosixConnection::CreateWakePipe(int (&fds)[2]) {
    return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0;
}

void CPosixConnection::ReaderThreadProc() {
    {
        std::lock_guard lock(wakeMutex_);
        int fds[2] = {-1, -1};
        if (CreateWakePipe(fds)) {
            wakeRead_ = fds[0];
            wakeWrite_ = fds[1];
        }
    }
    if (wakeRead_ < 0) {
        // Shown on the event thread, where every message box of the program belongs.
        announcer_.ShowOnEventThread(owner_, kCantCreateEventText);
        readerRunning_.store(false);
        return;
    }

    const int fd = m_hPort.load();
    while (m_bOpen.load()) {
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) != 0) {
            break;  // the device has gone
        }
        if (waiting > 0) {
            announcer_.Announce(static_cast<uint32_t>(waiting));
            continue;
        }

        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[1].revents != 0) {
            char drain[16];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
            continue;
        }
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            // Bytes that came before the hang-up are still announced first.
            int left = 0;
            if (ioctl(fd, FIONREAD, &left) == 0 && left > 0) {
                continue;
            }
            break;
        }
    }

    {
        std::lock_guard lock(wakeMutex_);
        ::close(wakeRead_);
        ::close(wakeWrite_);
        wakeRead_ = wakeWrite_ = -1;
    }
    readerRunning_.store(false);
}

std::size_t CPosixConnection::BytesWaiting() const {
    const int fd = m_hPort.load();
    int waiting = 0;
    if (fd < 0 || ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return static_cast<std::size_t>(waiting);
}

std::size_t CPosixConnection::ReadComm(std::span<uint8_t> buf) {
    const int fd = m_hPort.load();
    if (fd < 0 || buf.empty()) {
        return 0;
    }
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;  // announced bytes that someone else took: nothing to read
        }
        owner_.ShowMessage(kReadTimeoutText, MessageStyle::kError);
        return 0;
    }
}

std::size_t CPosixConnection::WriteComm(std::span<const uint8_t> bytes) {
    const int fd = m_hPort.load();
    if (fd < 0 || bytes.empty()) {
        return 0;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    const auto msLeft = [&] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    };
    const auto timedOut = [this] {
        owner_.ShowMessage(kWriteTimeoutText, MessageStyle::kError);
        return std::size_t{0};
    };

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;
        }
        // The driver's queue is full: wait for room, within the write's time.
        pollfd out{fd, POLLOUT, 0};
        const int left = msLeft();
        const int rc = left > 0 ? poll(&out, 1, left) : 0;
        if (rc == 0) {
            return timedOut();
        }
        if (rc < 0 && errno != EINTR) {
            return 0;
        }
        if (rc > 0 && (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return 0;
        }
    }

    // tcdrain cannot be given a time limit, so watch the output queue empty instead,
    // sleeping about as long as the queued characters need on the wire.
    for (;;) {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            return bytes.size();
        }
        const int left = msLeft();
        if (left <= 0) {
            return timedOut();
        }
        const auto wireUs = std::chrono::microseconds(
            int64_t{queued} * halfBitsPerChar_ * 1'000'000 / (2 * int64_t{std::max(baud_, 1)}));
        const auto nap = std::clamp<std::chrono::microseconds>(
            wireUs, std::chrono::microseconds(500), std::chrono::milliseconds(left));
        std::this_thread::sleep_for(nap);
    }
}

void CPosixConnection::ClosePort() {
    std::lock_guard closing(closeMutex_);
    m_bOpen.store(false);
    // The reader may be blocked in its notification to the very thread that runs this;
    // that notification is given up rather than waited for on both sides.
    announcer_.Abandon();
    {
        std::lock_guard lock(wakeMutex_);
        if (wakeWrite_ >= 0) {
            const char wake = 1;
            (void)!::write(wakeWrite_, &wake, 1);
        }
    }
    if (m_pReaderThread.joinable()) {
        m_pReaderThread.join();
    }
    const int fd = m_hPort.exchange(-1);
    if (fd >= 0) {
        ReleaseAndClose(fd);
    }
}

}  // namespace quorvel
