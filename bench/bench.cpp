#include "bench/bench.h"

#include "sim/test_image.h"

#include <algorithm>
#include <limits>

namespace quorvel::bench {

SImageSet TestImageSet() {
    SImageSet images;
    images.g_image25.bytes = sim::MakeImage25();
    images.g_image25.origin = "image25 (test)";
    images.g_image101.bytes = sim::MakeImage101();
    images.g_image101.origin = "image101 (test)";
    return images;
}
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

bool StartsWith(const std::vector<uint8_t>& bytes, std::span<const uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

}  // namespace

// --- the record -----------------------------------------------------------------------

std::vector<SBurst> CBenchRecord::Bursts(uint64_t sinceNs) const {
    std::vector<SBurst> bursts;
    for (const auto& w : writes) {
        if (w.tStartNs < sinceNs || w.failed || w.bytes.empty()) {
            continue;
        }
        if (!bursts.empty() && bursts.back().tEndNs == w.tStartNs) {
            bursts.back().bytes.insert(bursts.back().bytes.end(), w.bytes.begin(), w.bytes.end());
            bursts.back().tEndNs = w.tEndNs;
        } else {
            bursts.push_back({w.tStartNs, w.tEndNs, w.bytes});
        }
    }
    return bursts;
}

std::vector<SBurst> CBenchRecord::BurstsStartingWith(std::span<const uint8_t> prefix,
                                                     uint64_t sinceNs) const {
    auto bursts = Bursts(sinceNs);
    std::erase_if(bursts, [&](const SBurst& b) { return !StartsWith(b.bytes, prefix); });
    return bursts;
}

std::size_t CBenchRecord::CountBursts(std::span<const uint8_t> prefix, uint64_t sinceNs) const {
    return BurstsStartingWith(prefix, sinceNs).size();
}

std::optional<uint64_t> CBenchRecord::FirstBurst(std::span<const uint8_t> prefix,
                                                 uint64_t sinceNs) const {
    const auto bursts = BurstsStartingWith(prefix, sinceNs);
    if (bursts.empty()) {
        return std::nullopt;
    }
    return bursts.front().tStartNs;
}

std::vector<uint8_t> CBenchRecord::WrittenSince(uint64_t sinceNs) const {
    std::vector<uint8_t> all;
    for (const auto& w : writes) {
        if (w.tStartNs >= sinceNs && !w.failed) {
            all.insert(all.end(), w.bytes.begin(), w.bytes.end());
        }
    }
    return all;
}

std::vector<uint8_t> CBenchRecord::ReadSince(uint64_t sinceNs) const {
    std::vector<uint8_t> all;
    for (const auto& r : reads) {
        if (r.tNs >= sinceNs) {
            all.insert(all.end(), r.bytes.begin(), r.bytes.end());
        }
    }
    return all;
}

std::vector<uint64_t> CBenchRecord::TicksOf(unsigned id, uint64_t sinceNs) const {
    std::vector<uint64_t> times;
    for (const auto& t : ticks) {
        if (t.id == id && t.tNs >= sinceNs) {
            times.push_back(t.tNs);
        }
    }
    return times;
}

std::optional<unsigned> CBenchRecord::RunningPeriod(unsigned id) const {
    for (auto it = timerCalls.rbegin(); it != timerCalls.rend(); ++it) {
        if (it->id == id) {
            return it->kill ? std::nullopt : std::optional<unsigned>(it->periodMs);
        }
    }
    return std::nullopt;
}

std::optional<SStatusRec> CBenchRecord::LastStatus() const {
    if (statuses.empty()) {
        return std::nullopt;
    }
    return statuses.back();
}

std::optional<bool> CBenchRecord::LastButtons() const {
    if (buttons.empty()) {
        return std::nullopt;
    }
    return buttons.back().enabled;
}

std::optional<std::string> CBenchRecord::LastProgressLabel() const {
    for (auto it = progress.rbegin(); it != progress.rend(); ++it) {
        if (it->op == ProgressOp::kLabel) {
            return it->text;
        }
    }
    return std::nullopt;
}

std::vector<int> CBenchRecord::ProgressPositions(uint64_t sinceNs) const {
    std::vector<int> positions;
    for (const auto& p : progress) {
        if (p.op == ProgressOp::kPos && p.tNs >= sinceNs) {
            positions.push_back(p.a);
        }
    }
    return positions;
}

std::optional<bool> CBenchRecord::ProgressShown() const {
    for (auto it = progress.rbegin(); it != progress.rend(); ++it) {
        if (it->op == ProgressOp::kShow) {
            return it->a != 0;
        }
    }
    return std::nullopt;
}

std::vector<std::string> CBenchRecord::MessageTexts() const {
    std::vector<std::string> texts;
    for (const auto& m : messageBoxes) {
        texts.push_back(m.text);
    }
    return texts;
}

std::vector<LinkEvent> CBenchRecord::LinkEvents(uint64_t sinceNs) const {
    std::vector<LinkEvent> events;
    for (const auto& e : linkEvents) {
        if (e.tNs >= sinceNs) {
            events.push_back(e.event);
        }
    }
    return events;
}

std::optional<uint64_t> CBenchRecord::FirstLinkEvent(LinkEvent event, uint64_t sinceNs) const {
    for (const auto& e : linkEvents) {
        if (e.event == event && e.tNs >= sinceNs) {
            return e.tNs;
        }
    }
    return std::nullopt;
}

// --- the host -------------------------------------------------------------------------

std::size_t CBenchHost::WriteBytes(std::span<const uint8_t> bytes) {
    return bench_.Write(bytes);
}

std::size_t CBenchHost::ReadBytes(std::span<uint8_t> buf) {
    return bench_.Read(buf);
}

bool CBenchHost::IsOpen() const {
    return bench_.open_;
}

void CBenchHost::SetTimer(unsigned id, unsigned periodMs) {
    const uint64_t now = bench_.now_;
    const unsigned period = std::max(periodMs, 1u);
    bench_.timers_[id] = {period, now, now + Ms(period)};
    bench_.rec_.timerCalls.push_back({now, id, periodMs, false});
}

void CBenchHost::KillTimer(unsigned id) {
    bench_.timers_.erase(id);
    bench_.rec_.timerCalls.push_back({bench_.now_, id, 0, true});
}

void CBenchHost::SetStatus(std::string_view text, int32_t color) {
    bench_.rec_.statuses.push_back({bench_.now_, std::string(text), color});
}

void CBenchHost::EnableTransferButtons(bool enable) {
    bench_.rec_.buttons.push_back({bench_.now_, enable});
}

SDialogVars& CBenchHost::Vars() {
    return bench_.vars_;
}

bool CBenchHost::UpdateData(bool saveAndValidate) {
    bench_.rec_.updateData.push_back({bench_.now_, saveAndValidate});
    return saveAndValidate ? bench_.cfg_.updateDataResult : true;
}

void CBenchHost::SetProgressRange(int lo, int hi) {
    bench_.rec_.progress.push_back({bench_.now_, ProgressOp::kRange, lo, hi, {}});
}

void CBenchHost::SetProgressPos(int pos) {
    bench_.rec_.progress.push_back({bench_.now_, ProgressOp::kPos, pos, 0, {}});
}

void CBenchHost::ShowProgress(bool shown) {
    bench_.rec_.progress.push_back({bench_.now_, ProgressOp::kShow, shown ? 1 : 0, 0, {}});
}

void CBenchHost::SetProgressLabel(std::string_view text) {
    bench_.rec_.progress.push_back({bench_.now_, ProgressOp::kLabel, 0, 0, std::string(text)});
}

void CBenchHost::MessageBox(std::string_view text) {
    bench_.MessageBox(text);
}

void CBenchHost::Pause(unsigned ms) {
    bench_.rec_.pauses.push_back({bench_.now_, ms});
    bench_.AdvanceTo(bench_.now_ + Ms(ms));
}

int CBenchHost::LocalSeconds() {
    const uint64_t seconds = bench_.now_ / 1'000'000'000ull;
    return static_cast<int>((static_cast<uint64_t>(bench_.cfg_.localSecondsBase) + seconds) % 60);
}

void CBenchHost::OnLinkEvent(LinkEvent event) {
    bench_.rec_.linkEvents.push_back({bench_.now_, event});
}

// --- the bench ------------------------------------------------------------------------

CBench::CBench(SBenchConfig config)
    : cfg_(std::move(config)), esc_(cfg_.esc), byteNs_(esc_.ByteTimeNs()), host_(*this) {}

void CBench::Connect() {
    open_ = true;
}

void CBench::Disconnect() {
    open_ = false;
    input_.clear();  // closing a port drops what it had received
}

std::size_t CBench::Write(std::span<const uint8_t> bytes) {
    SWriteRec rec{now_, now_, std::vector<uint8_t>(bytes.begin(), bytes.end()), false};
    if (!open_ || failWrites_) {
        rec.failed = true;
        rec_.writes.push_back(std::move(rec));
        return 0;
    }
    // The port sends byte after byte; the thread is blocked until the last has gone.
    for (const uint8_t b : bytes) {
        now_ += byteNs_;
        esc_.OnHostByte(now_, b);
    }
    rec.tEndNs = now_;
    rec_.writes.push_back(std::move(rec));
    CollectInput();
    return bytes.size();
}

std::size_t CBench::Read(std::span<uint8_t> buf) {
    const std::size_t n = std::min(buf.size(), input_.size());
    std::copy_n(input_.begin(), n, buf.begin());
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(n));
    if (n > 0) {
        rec_.reads.push_back(
            {now_, std::vector<uint8_t>(buf.begin(), buf.begin() + static_cast<long>(n))});
        readInHandler_ += n;
    }
    return n;
}

void CBench::MessageBox(std::string_view text) {
    const std::size_t index = rec_.messageBoxes.size();
    rec_.messageBoxes.push_back({now_, 0, std::string(text)});
    // The box's own message loop: everything else goes on until "the user" closes it.
    // Whatever falls due before the moment it closes is handled inside it.
    const uint64_t end = now_ + cfg_.messageBoxNs;
    while (now_ < end && Step(end - 1)) {
    }
    AdvanceTo(end);
    rec_.messageBoxes[index].tCloseNs = now_;
}

void CBench::CollectInput() {
    const auto arrived = esc_.TakeOutputUntil(now_);
    if (arrived.empty()) {
        return;
    }
    for (const auto& w : arrived) {
        input_.push_back(w.b);
    }
    announceAgain_ = true;
}

void CBench::AdvanceTo(uint64_t tNs) {
    if (tNs > now_) {
        now_ = tNs;
    }
    CollectInput();
}

uint64_t CBench::NextGridPoint(const STimer& t, uint64_t afterNs) const {
    const uint64_t period = Ms(t.periodMs);
    if (afterNs < t.startNs) {
        return t.startNs + period;
    }
    return t.startNs + ((afterNs - t.startNs) / period + 1) * period;
}

void CBench::DeliverNotify() {
    notifyInFlight_ = true;
    announceAgain_ = false;
    readInHandler_ = 0;
    const auto count = static_cast<uint32_t>(input_.size());
    rec_.notifies.push_back({now_, count});
    if (events_ != nullptr) {
        events_->OnCommNotify(kEvRxChar, count);
    }
    notifyInFlight_ = false;
    // Bytes left after a handler that read some are announced again at once; a handler
    // that read nothing waits for new bytes (the reader thread's next wake-up).
    if (readInHandler_ > 0) {
        announceAgain_ = true;
    }
}

void CBench::DeliverTick(unsigned id) {
    auto& t = timers_.at(id);
    // Ticks missed while the thread was busy are one tick; the next keeps the grid.
    t.dueNs = NextGridPoint(t, now_);
    rec_.ticks.push_back({now_, id});
    if (events_ != nullptr) {
        events_->OnTimer(id);
    }
}

bool CBench::Step(uint64_t limitNs) {
    CollectInput();
    if (open_ && !notifyInFlight_ && announceAgain_ && !input_.empty()) {
        DeliverNotify();
        return true;
    }
    uint64_t timerDue = kNever;
    unsigned timerId = 0;
    for (const auto& [id, t] : timers_) {
        if (id == kTimerBlink && !cfg_.deliverBlinkTicks) {
            continue;
        }
        if (t.dueNs < timerDue) {
            timerDue = t.dueNs;
            timerId = id;
        }
    }
    // Bytes arriving at the same moment as a tick are announced first.
    const uint64_t byteDue = esc_.NextOutputTime().value_or(kNever);
    if (byteDue <= timerDue && byteDue <= limitNs) {
        AdvanceTo(byteDue);
        return true;
    }
    if (timerDue <= limitNs) {
        AdvanceTo(timerDue);
        DeliverTick(timerId);
        return true;
    }
    return false;
}

void CBench::RunTo(uint64_t tNs) {
    while (Step(tNs)) {
    }
    AdvanceTo(tNs);
}

void CBench::RunFor(uint64_t durationNs) {
    RunTo(now_ + durationNs);
}

bool CBench::RunUntil(const std::function<bool()>& pred, uint64_t durationNs) {
    const uint64_t end = now_ + durationNs;
    if (pred()) {
        return true;
    }
    while (Step(end)) {
        if (pred()) {
            return true;
        }
    }
    AdvanceTo(end);
    return pred();
}

}  // namespace quorvel::bench
