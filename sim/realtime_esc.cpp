#include "sim/realtime_esc.h"

#include <chrono>

namespace quorvel::sim {

uint64_t SteadyClockNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

CRealtimeEsc::CRealtimeEsc(SSimConfig config, Clock clock)
    : clock_(std::move(clock)), epoch_(clock_()), esc_(std::move(config)) {}

uint64_t CRealtimeEsc::NowNs() const {
    return clock_() - epoch_;
}

void CRealtimeEsc::Feed(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    const uint64_t now = NowNs();
    {
        std::lock_guard lock(mutex_);
        const uint64_t byteNs = esc_.ByteTimeNs();
        for (const uint8_t b : bytes) {
            uint64_t t = now;
            if (lastInNs_ && *lastInNs_ + byteNs > t) {
                t = *lastInNs_ + byteNs;
            }
            esc_.OnHostByte(t, b);
            lastInNs_ = t;
        }
    }
    changed_.notify_all();
}

std::vector<uint8_t> CRealtimeEsc::TakeDueLocked(uint64_t nowNs) {
    std::vector<uint8_t> due;
    for (const auto& w : esc_.TakeOutputUntil(nowNs)) {
        due.push_back(w.b);
    }
    return due;
}

std::vector<uint8_t> CRealtimeEsc::TakeDue() {
    const uint64_t now = NowNs();
    std::lock_guard lock(mutex_);
    return TakeDueLocked(now);
}

std::optional<uint64_t> CRealtimeEsc::NextDueNs() const {
    std::lock_guard lock(mutex_);
    return esc_.NextOutputTime();
}

std::vector<uint8_t> CRealtimeEsc::WaitForOutput(uint64_t maxWaitNs) {
    const uint64_t deadline = NowNs() + maxWaitNs;
    std::unique_lock lock(mutex_);
    for (;;) {
        const uint64_t now = NowNs();
        auto due = TakeDueLocked(now);
        if (!due.empty() || stopped_ || now >= deadline) {
            return due;
        }
        uint64_t until = deadline;
        if (const auto next = esc_.NextOutputTime(); next && *next < until) {
            until = *next;
        }
        changed_.wait_for(lock, std::chrono::nanoseconds(until - now));
    }
}

void CRealtimeEsc::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

}  // namespace quorvel::sim
