#include "serial/sim/sim_connection.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>

#include "serial/serial_texts.h"

namespace quorvel {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

bool LineIsValid(const SLineSettings& line) {
    return line.baud > 0 && line.byteSize >= 5 && line.byteSize <= 8 && line.parity <= 4 &&
           line.stopBits <= 2;
}

sim::SWireFormat WireFormatOf(const SLineSettings& line) {
    sim::SWireFormat wire;
    wire.baud = static_cast<uint32_t>(line.baud);
    wire.dataBits = line.byteSize;
    wire.parity = line.parity != 0;
    // The simulated line has what termios lacks: one and a half stop bits.
    wire.stopHalfBits = static_cast<uint8_t>(2 + line.stopBits);
    return wire;
}

}  // namespace

CSimConnection::CSimConnection(IEventThread& events, CommNotifyHandler onCommNotify,
                               sim::SSimConfig config, IMessageSink* owner)
    : announcer_(events, std::move(onCommNotify)), config_(std::move(config)), owner_(owner) {}

CSimConnection::~CSimConnection() {
    ClosePort();
}

uint64_t CSimConnection::NowNs() const {
    const auto since = Clock::now() - epoch_;
    return static_cast<uint64_t>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()));
}

bool CSimConnection::Open(const std::string& /*portName*/, const SLineSettings& line) {
    if (open_.load() || openFails_.load() || !LineIsValid(line)) {
        return false;
    }
    ClosePort();  // threads of an earlier connection, if any
    announcer_.Reset();
    {
        std::lock_guard lock(mutex_);
        sim::SSimConfig config = config_;
        config.wire = WireFormatOf(line);
        esc_ = std::make_unique<sim::CSimEsc>(std::move(config));
        byteNs_ = esc_->ByteTimeNs();
        epoch_ = Clock::now();
        toEsc_.clear();
        input_.clear();
        hostWireFreeNs_ = 0;
        stop_ = false;
    }
    open_.store(true);
    try {
        pacer_ = std::thread(&CSimConnection::PacerThreadProc, this);
        reader_ = std::thread(&CSimConnection::ReaderThreadProc, this);
    } catch (const std::system_error&) {
        ClosePort();
        return false;
    }
    return true;
}

void CSimConnection::PacerThreadProc() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const uint64_t now = NowNs();
        bool newInput = false;
        // Host bytes and ESC output, strictly in time order, up to now: the ESC sees its
        // calls in the order of their times.
        for (;;) {
            const uint64_t host = toEsc_.empty() ? kNever : toEsc_.front().tNs;
            const uint64_t out = esc_->NextOutputTime().value_or(kNever);
            const uint64_t next = std::min(host, out);
            if (next > now) {
                break;
            }
            if (host <= out) {
                esc_->OnHostByte(host, toEsc_.front().b);
                toEsc_.pop_front();
            } else {
                for (const sim::SWireByte& w : esc_->TakeOutputUntil(out)) {
                    input_.push_back(w.b);
                }
                newInput = true;
            }
        }
        if (newInput) {
            rxChanged_.notify_all();
        }
        const uint64_t host = toEsc_.empty() ? kNever : toEsc_.front().tNs;
        const uint64_t next = std::min(host, esc_->NextOutputTime().value_or(kNever));
        if (next == kNever) {
            paceChanged_.wait(lock);
        } else {
            paceChanged_.wait_until(lock, epoch_ + std::chrono::nanoseconds(next));
        }
    }
}

void CSimConnection::ReaderThreadProc() {
    while (open_.load()) {
        uint32_t waiting = 0;
        {
            std::unique_lock lock(mutex_);
            rxChanged_.wait(lock, [this] { return stop_ || !input_.empty(); });
            if (stop_) {
                break;
            }
            waiting = static_cast<uint32_t>(input_.size());
        }
        announcer_.Announce(waiting);
    }
}

std::size_t CSimConnection::ReadComm(std::span<uint8_t> buf) {
    std::lock_guard lock(mutex_);
    const std::size_t n = std::min(buf.size(), input_.size());
    std::copy_n(input_.begin(), n, buf.begin());
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

std::size_t CSimConnection::WriteComm(std::span<const uint8_t> bytes) {
    if (!open_.load() || bytes.empty()) {
        return 0;
    }
    uint64_t lastDone = 0;
    {
        std::lock_guard lock(mutex_);
        uint64_t t = std::max(NowNs(), hostWireFreeNs_);
        for (const uint8_t b : bytes) {
            t += byteNs_;
            toEsc_.push_back({t, b});
        }
        hostWireFreeNs_ = lastDone = t;
    }
    paceChanged_.notify_all();

    const uint64_t limit = NowNs() + uint64_t{kWriteTimeoutMs} * 1'000'000;
    if (lastDone > limit) {
        std::this_thread::sleep_until(epoch_ + std::chrono::nanoseconds(limit));
        if (owner_ != nullptr) {
            owner_->ShowMessage(kWriteTimeoutText, MessageStyle::kError);
        }
        return 0;
    }
    std::this_thread::sleep_until(epoch_ + std::chrono::nanoseconds(lastDone));
    return bytes.size();
}

void CSimConnection::ClosePort() {
    std::lock_guard closing(closeMutex_);
    open_.store(false);
    announcer_.Abandon();
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    paceChanged_.notify_all();
    rxChanged_.notify_all();
    if (pacer_.joinable()) {
        pacer_.join();
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

}  // namespace quorvel
