#include "serial/event_loop.h"

#include <algorithm>

namespace quorvel {

CEventLoop::CEventLoop() : loopThread_(std::this_thread::get_id()) {}

CEventLoop::~CEventLoop() {
    std::unique_lock lock(mutex_);
    closed_ = true;
    for (auto& call : sent_) {
        call->dropped = true;
    }
    sent_.clear();
    callDone_.notify_all();
    callDone_.wait(lock, [this] { return waitingSenders_ == 0; });
}

bool CEventLoop::IsLoopThread() const {
    std::lock_guard lock(mutex_);
    return loopThread_ == std::this_thread::get_id();
}

std::size_t CEventLoop::PendingCalls() const {
    std::lock_guard lock(mutex_);
    return sent_.size();
}

bool CEventLoop::SendSync(const std::function<void()>& fn, const std::atomic<bool>& abandon) {
    if (IsLoopThread()) {
        fn();
        return true;
    }
    if (abandon.load()) {
        return false;
    }
    // The record is shared with the loop: a call abandoned after it has started still
    // finishes there, after this sender has gone.
    auto call = std::make_shared<SentCall>();
    call->fn = fn;

    std::unique_lock lock(mutex_);
    if (closed_) {
        return false;
    }
    sent_.push_back(call);
    ++changes_;
    wake_.notify_one();
    ++waitingSenders_;
    bool ran = false;
    for (;;) {
        if (call->done) {
            ran = true;
            break;
        }
        if (call->dropped) {
            break;
        }
        if (abandon.load()) {
            if (!call->started) {
                std::erase(sent_, call);
            }
            break;
        }
        // Nothing signals the abandon flag, so look at it now and then while waiting.
        callDone_.wait_for(lock, kAbandonCheckInterval);
    }
    --waitingSenders_;
    if (closed_) {
        callDone_.notify_all();
    }
    return ran;
}

void CEventLoop::Post(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(fn));
    ++changes_;
    wake_.notify_one();
}

void CEventLoop::SetTimerHandler(TimerHandler handler) {
    std::lock_guard lock(mutex_);
    timerHandler_ = std::move(handler);
}

void CEventLoop::SetTimer(unsigned id, unsigned periodMs) {
    std::lock_guard lock(mutex_);
    const std::chrono::milliseconds period(std::max(periodMs, kMinTimerPeriodMs));
    timers_[id] = Timer{period, Clock::now() + period};
    ++changes_;
    wake_.notify_one();
}

void CEventLoop::KillTimer(unsigned id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
    ++changes_;
    wake_.notify_one();
}

bool CEventLoop::TimerRunning(unsigned id) const {
    std::lock_guard lock(mutex_);
    return timers_.contains(id);
}

void CEventLoop::Quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    ++changes_;
    wake_.notify_one();
}

void CEventLoop::EnterRun() {
    std::lock_guard lock(mutex_);
    if (depth_ == 0) {
        loopThread_ = std::this_thread::get_id();
    }
    ++depth_;
}

void CEventLoop::LeaveRun() {
    std::lock_guard lock(mutex_);
    if (--depth_ == 0) {
        quit_ = false;
    }
}

bool CEventLoop::DispatchOne(Clock::time_point dueBy) {
    std::unique_lock lock(mutex_);
    if (!sent_.empty()) {
        std::shared_ptr<SentCall> call = sent_.front();
        sent_.pop_front();
        call->started = true;
        lock.unlock();
        struct MarkDone {
            CEventLoop& loop;
            SentCall& call;
            ~MarkDone() {
                std::lock_guard relock(loop.mutex_);
                call.done = true;
                call.fn = nullptr;
                loop.callDone_.notify_all();
            }
        } markDone{*this, *call};
        call->fn();
        return true;
    }
    if (!posted_.empty()) {
        std::function<void()> fn = std::move(posted_.front());
        posted_.pop_front();
        lock.unlock();
        fn();
        return true;
    }
    const Clock::time_point now = Clock::now();
    auto due = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.due <= dueBy && (due == timers_.end() || it->second.due < due->second.due)) {
            due = it;
        }
    }
    if (due == timers_.end()) {
        return false;
    }
    // One tick for however many periods have passed; the next stays on the grid.
    Timer& timer = due->second;
    const auto missed = (std::max(now, timer.due) - timer.due) / timer.period;
    timer.due += timer.period * (missed + 1);
    const unsigned id = due->first;
    TimerHandler handler = timerHandler_;
    lock.unlock();
    if (handler) {
        handler(id);
    }
    return true;
}

void CEventLoop::WaitForWork(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (quit_ || !sent_.empty() || !posted_.empty()) {
        return;
    }
    Clock::time_point until = deadline;
    for (const auto& [id, timer] : timers_) {
        until = std::min(until, timer.due);
    }
    const uint64_t seen = changes_;
    const auto changed = [&] { return changes_ != seen; };
    if (until == Clock::time_point::max()) {
        wake_.wait(lock, changed);
    } else {
        wake_.wait_until(lock, until, changed);
    }
}

// Keeps the nesting depth right when a handler throws through a run.
class CEventLoop::RunScope {
  public:
    explicit RunScope(CEventLoop& loop) : loop_(loop) { loop_.EnterRun(); }
    ~RunScope() { loop_.LeaveRun(); }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

  private:
    CEventLoop& loop_;
};

void CEventLoop::Run() {
    RunScope scope(*this);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (quit_) {
                break;
            }
        }
        if (!DispatchOne(Clock::now())) {
            WaitForWork(Clock::time_point::max());
        }
    }
}

bool CEventLoop::RunUntil(const std::function<bool()>& pred, Clock::time_point deadline) {
    RunScope scope(*this);
    bool result = false;
    for (;;) {
        result = pred();
        if (result || Clock::now() >= deadline) {
            break;
        }
        {
            std::lock_guard lock(mutex_);
            if (quit_) {
                break;
            }
        }
        if (!DispatchOne(Clock::now())) {
            WaitForWork(deadline);
        }
    }
    return result;
}

}  // namespace quorvel

namespace quorvel {

int CEventLoop::DispatchPending() {
    RunScope scope(*this);
    const Clock::time_point now = Clock::now();
    int ran = 0;
    while (DispatchOne(now)) {
        ++ran;
    }
    return ran;
}

}  // namespace quorvel
