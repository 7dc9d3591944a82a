#pragma once
// Paces a simulated ESC against a real clock, for anything that serves it on a real
// line: esc-sim on a pseudo-terminal or a serial device, or an in-process serial back end.
//
// Bytes from the host are fed as they are read; each is taken to have finished arriving
// one byte time after the previous one, and no earlier than the moment it was read, so a
// burst that a pseudo-terminal delivers at once still goes by at wire speed. The ESC's
// output (echoes and replies) becomes due at its own times on the same clock.
//
// Thread-safe: one thread may feed while another waits for output.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/sim_esc.h"

namespace quorvel::sim {

// Nanoseconds of the monotonic clock.
uint64_t SteadyClockNs();

class CRealtimeEsc {
  public:
    using Clock = std::function<uint64_t()>;

    // The ESC's time 0 is the clock's reading at construction.
    explicit CRealtimeEsc(SSimConfig config, Clock clock = SteadyClockNs);

    // Nanoseconds since construction.
    uint64_t NowNs() const;

    // Bytes read from the host just now.
    void Feed(std::span<const uint8_t> bytes);

    // The bytes whose time has come, in order; nothing when none is due.
    std::vector<uint8_t> TakeDue();

    // The ESC time at which the next output byte is due.
    std::optional<uint64_t> NextDueNs() const;

    // Blocks until output is due (and returns it), maxWaitNs has passed or Stop() was
    // called (and returns what is due then, perhaps nothing).
    std::vector<uint8_t> WaitForOutput(uint64_t maxWaitNs);
    void Stop();

    // Runs fn with the ESC under the lock (configuration, power, flash, log).
    template <typename Fn>
    auto WithEsc(Fn&& fn) {
        std::lock_guard lock(mutex_);
        return fn(esc_);
    }

  private:
    std::vector<uint8_t> TakeDueLocked(uint64_t nowNs);

    Clock clock_;
    uint64_t epoch_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    CSimEsc esc_;
    std::optional<uint64_t> lastInNs_;
    bool stopped_ = false;
};

}  // namespace quorvel::sim
