#pragma once
// The simulated ESC behind a serial connection, in-process and in real time at the
// line's speed: for demos and the command-line tool without hardware.
//
// Writes take the wire time of their bytes: each byte reaches the ESC at the moment its
// last stop bit would have left the port, and WriteComm returns when the last one has
// (a write longer than 2000 ms on the wire says "Write timeout!" after 2000 ms and
// returns 0, as a port would; the bytes still go out). A pacing thread moves the ESC's
// output (echo and replies) into the input queue at its times, and a reader thread
// announces the queue under the same contract as the device back ends: go-ahead,
// synchronous notification on the event thread, at most one in flight, unread bytes
// announced again.
//
// Every Open plugs in a fresh ESC (new flash, new power-up) at the line's format, so
// what it remembers lasts as long as one connection. Any port name opens.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "serial/comm_announcer.h"
#include "serial/connection.h"
#include "sim/sim_esc.h"
#include "storage/message_sink.h"

namespace quorvel {

class CSimConnection : public ISerialConnection {
  public:
    static constexpr int kWriteTimeoutMs = 2000;

    // Without an owner the write time-out is not shown (the count 0 still tells).
    CSimConnection(IEventThread& events, CommNotifyHandler onCommNotify,
                   sim::SSimConfig config = {}, IMessageSink* owner = nullptr);
    ~CSimConnection() override;
    CSimConnection(const CSimConnection&) = delete;
    CSimConnection& operator=(const CSimConnection&) = delete;

    // A port that will not open, to try the failure path of Connect.
    void SetOpenFails(bool fails) { openFails_.store(fails); }

    // Any name; fails only when told to, when already open, or for line settings that a
    // port would refuse (data bits outside 5..8, parity above 4, stop-bits code above 2,
    // a speed of 0 or less).
    bool Open(const std::string& portName, const SLineSettings& line) override;
    bool IsOpen() const override { return open_.load(); }
    std::size_t ReadComm(std::span<uint8_t> buf) override;
    std::size_t WriteComm(std::span<const uint8_t> bytes) override;
    void ClosePort() override;

    // Nanoseconds on the ESC's clock (0 at Open).
    uint64_t NowNs() const;
    // Runs fn with the ESC under the lock (faults, power, flash, log). Times given to the
    // ESC must not lie before NowNs(). False (fn not run) before the first Open.
    template <typename Fn>
    bool WithEsc(Fn&& fn) {
        {
            std::lock_guard lock(mutex_);
            if (!esc_) {
                return false;
            }
            fn(*esc_);
        }
        paceChanged_.notify_all();
        return true;
    }

  private:
    void PacerThreadProc();
    void ReaderThreadProc();

    CCommAnnouncer announcer_;
    sim::SSimConfig config_;
    IMessageSink* owner_;
    std::atomic<bool> openFails_{false};
    std::atomic<bool> open_{false};

    mutable std::mutex mutex_;
    std::condition_variable paceChanged_;  // new host bytes, ESC changes, closing
    std::condition_variable rxChanged_;    // new input, closing
    std::unique_ptr<sim::CSimEsc> esc_;
    std::chrono::steady_clock::time_point epoch_;
    uint64_t byteNs_ = 0;
    std::deque<sim::SWireByte> toEsc_;  // host bytes, at the time each finishes arriving
    uint64_t hostWireFreeNs_ = 0;       // end of the last host byte on the wire
    std::deque<uint8_t> input_;         // the driver's input queue
    bool stop_ = false;

    std::thread pacer_;
    std::thread reader_;
    std::mutex closeMutex_;
};

}  // namespace quorvel
