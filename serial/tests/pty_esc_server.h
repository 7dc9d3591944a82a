#pragma once
// The simulated ESC served on the master side of a test's pty pair. A pty has no baud
// timing of its own, so the ESC's clock paces the far end: host bytes are taken to
// arrive one byte time apart, and the ESC's echo and replies are written when due.

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <thread>
#include <vector>

#include "sim/realtime_esc.h"

namespace quorvel::testing {

class CPtyEscServer {
  public:
    CPtyEscServer(int masterFd, sim::SSimConfig config) : fd_(masterFd), esc_(std::move(config)) {
        if (pipe(wake_) != 0) {
            wake_[0] = wake_[1] = -1;
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~CPtyEscServer() {
        stop_ = true;
        const char b = 1;
        (void)!::write(wake_[1], &b, 1);
        thread_.join();
        ::close(wake_[0]);
        ::close(wake_[1]);
    }
    CPtyEscServer(const CPtyEscServer&) = delete;
    CPtyEscServer& operator=(const CPtyEscServer&) = delete;

    sim::CRealtimeEsc& Esc() { return esc_; }
    // Bytes the far end could not write (the pty went away): a broken run.
    bool WriteFailed() const { return writeFailed_; }

  private:
    void Serve() {
        std::vector<uint8_t> buf(4096);
        while (!stop_) {
            timespec wait{0, 50'000'000};
            timespec* timeout = &wait;
            if (const auto due = esc_.NextDueNs()) {
                const uint64_t now = esc_.NowNs();
                const uint64_t left = *due > now ? *due - now : 0;
                wait = {static_cast<time_t>(left / 1'000'000'000),
                        static_cast<long>(left % 1'000'000'000)};
            }
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (ppoll(fds, 2, timeout, nullptr) < 0 && errno != EINTR) {
                return;
            }
            if ((fds[0].revents & POLLIN) == 0 && (fds[0].revents & (POLLHUP | POLLERR)) != 0) {
                // Nobody holds the slave end: wait for it (or for the end) without spinning.
                pollfd wakeOnly{wake_[0], POLLIN, 0};
                poll(&wakeOnly, 1, 10);
                continue;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = ::read(fd_, buf.data(), buf.size());
                if (n > 0) {
                    esc_.Feed(std::span<const uint8_t>(buf.data(), static_cast<std::size_t>(n)));
                }
            }
            const std::vector<uint8_t> out = esc_.TakeDue();
            std::size_t done = 0;
            while (done < out.size()) {
                const ssize_t n = ::write(fd_, out.data() + done, out.size() - done);
                if (n <= 0) {
                    writeFailed_ = true;
                    break;
                }
                done += static_cast<std::size_t>(n);
            }
        }
    }

    int fd_;
    int wake_[2] = {-1, -1};
    sim::CRealtimeEsc esc_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> writeFailed_{false};
    std::thread thread_;
};

}  // namespace quorvel::testing
