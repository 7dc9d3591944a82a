#pragma once
// A single-thread event loop for hosts without a toolkit (the command-line tool, tests):
// calls sent from other threads, posted calls and periodic timers, all run on the thread
// that runs the loop, with the ordering a window's message loop has.
//
// - A sent call (SendSync) runs before posted calls, and both before timer ticks.
// - A timer keeps its period grid; ticks that fall due while the loop thread is busy
//   coalesce into one, as WM_TIMER does.
// - Runs nest: a handler may run the loop again (a modal wait) and the inner run
//   dispatches sent calls and ticks meanwhile, including ticks of the timer whose
//   handler is waiting.
// - Idle, the loop thread sleeps on a condition variable until the next timer falls due
//   or something is queued.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "serial/connection.h"

namespace quorvel {

class CEventLoop : public IEventThread {
  public:
    using Clock = std::chrono::steady_clock;
    using TimerHandler = std::function<void(unsigned id)>;

    // Periods below this are raised to it, as the window system does.
    static constexpr unsigned kMinTimerPeriodMs = 10;
    // How often a sender that waits for its call looks at its abandon flag.
    static constexpr std::chrono::milliseconds kAbandonCheckInterval{5};

    // The constructing thread is the loop thread until another thread runs the loop.
    CEventLoop();
    // Calls still queued are dropped; their senders get false, and the destructor waits
    // until they have left SendSync.
    ~CEventLoop() override;
    CEventLoop(const CEventLoop&) = delete;
    CEventLoop& operator=(const CEventLoop&) = delete;

    // From the loop thread itself the call runs at once.
    bool SendSync(const std::function<void()>& fn, const std::atomic<bool>& abandon) override;
    // Queues fn behind the sent calls and returns at once. Any thread.
    void Post(std::function<void()> fn);

    // Every tick of every timer goes to this one handler (the window's OnTimer).
    void SetTimerHandler(TimerHandler handler);
    // Starts timer id, or restarts it with the new period if it runs. Any thread.
    void SetTimer(unsigned id, unsigned periodMs);
    void KillTimer(unsigned id);
    bool TimerRunning(unsigned id) const;

    // Runs until Quit(). Quit ends every nested run; the flag clears once the outermost
    // run has returned.
    void Run();
    void Quit();
    // Runs until pred() holds (tested before every wait and after every dispatched call
    // or tick), Quit() or the deadline. Returns pred()'s last value.
    bool RunUntil(const std::function<bool()>& pred, Clock::time_point deadline);

    // Runs, without waiting, every sent and posted call and every tick that is ready now
    // (a tick that falls due meanwhile waits for the next run). Returns how many ran.
    int DispatchPending();

    bool IsLoopThread() const;
    // Sent calls waiting for the loop thread.
    std::size_t PendingCalls() const;

  private:
    struct SentCall {
        std::function<void()> fn;
        bool started = false;
        bool done = false;
        bool dropped = false;
    };
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };

    // Runs one queued call, or one tick due by dueBy; false when nothing was ready.
    bool DispatchOne(Clock::time_point dueBy);
    // Sleeps until something is queued, the next tick, the deadline or Quit.
    void WaitForWork(Clock::time_point deadline);
    class RunScope;
    void EnterRun();
    void LeaveRun();

    mutable std::mutex mutex_;
    std::condition_variable wake_;      // the loop thread waits on it
    std::condition_variable callDone_;  // senders wait on it
    std::deque<std::shared_ptr<SentCall>> sent_;
    std::deque<std::function<void()>> posted_;
    std::map<unsigned, Timer> timers_;
    TimerHandler timerHandler_;
    std::thread::id loopThread_;
    uint64_t changes_ = 0;  // bumped by everything that should wake the loop
    int waitingSenders_ = 0;
    int depth_ = 0;
    bool quit_ = false;
    bool closed_ = false;
};

}  // namespace quorvel
