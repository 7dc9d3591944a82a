#pragma once
// The deterministic bench: the link engine's whole world on a virtual clock.
//
// A CBench owns a virtual clock (integer nanoseconds from 0), a simulated ESC on the far
// end of the line, and CBenchHost, the ILinkHost that the code under test talks to. It
// delivers timer ticks and receive notifications to an ILinkEvents (the engine) exactly
// as the window's single event thread would, with no real time and no threads, and
// records everything with its virtual time for the test to look at.
//
// Typical use:
//
//     quorvel::bench::SBenchConfig cfg;
//     cfg.esc.variant = 25;                    // the simulated ESC's profile and faults
//     quorvel::bench::CBench bench(cfg);
//     quorvel::CLinkEngine engine(bench.Host());
//     bench.Attach(engine);                    // ticks and notifications go to it
//     bench.Connect();                         // IsOpen() is true from now on
//     engine.StartProbing();                   // what Connect's handler does next
//     ASSERT_TRUE(bench.RunUntil([&] { return engine.State().g_linkUp != 0; }, Ms(3000)));
//     EXPECT_EQ(bench.Rec().LastStatus()->text, " Connected to the ESC is normal");
//     bench.RunFor(Ms(1000));
//
// The rules of the event thread, as the bench keeps them:
// - WriteBytes blocks the thread for the wire time of its bytes: the clock moves byte by
//   byte, each byte reaches the ESC when its last stop bit ends, and the echoes and
//   replies that arrive meanwhile wait in the input queue. No tick or notification is
//   delivered during a write. Pause(ms) blocks the same way.
// - Received bytes: whenever the port is open, the input queue holds bytes and no
//   notification is in flight, OnCommNotify(kEvRxChar, queued count) is delivered at once. If the
//   handler read something and bytes remain, they are announced again at once; a handler that read
//   nothing is not called again until new bytes arrive.
// - At equal times notifications come before timer ticks (sent messages before WM_TIMER).
// - Timers are periodic from the SetTimer call; setting a running id restarts it. Ticks
//   that fall due while the thread is blocked (a write, a pause, the handler itself)
//   coalesce into one tick, delivered when the thread is free; the next ones keep to the
//   timer's period grid.
// - Timer 5 (the link light) is recorded but, unless deliverBlinkTicks, not delivered.
// - MessageBox records the text and then stays open for messageBoxNs of virtual time,
//   during which ticks and notifications go on being delivered (a nested loop).
// - LocalSeconds() is (localSecondsBase + whole virtual seconds) % 60.
//
// Everything runs on the calling thread; a test drives it with RunFor and RunUntil.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "esc/images.h"
#include "link/engine/host.h"
#include "sim/sim_esc.h"

namespace quorvel::bench {

using sim::kNsPerMs;
constexpr uint64_t Ms(uint64_t ms) {
    return ms * kNsPerMs;
}
constexpr uint64_t Us(uint64_t us) {
    return us * sim::kNsPerUs;
}

// The two synthetic images (res/image25.bin and res/image101.bin, made afresh), named
// for messages.
SImageSet TestImageSet();

struct SBenchConfig {
    // The simulated ESC: line format (the bench's wire uses the same), profile, faults.
    sim::SSimConfig esc;
    // How long a message box stays open before "the user" closes it.
    uint64_t messageBoxNs = Ms(2000);
    // The seconds field of the local time at virtual time 0.
    int localSecondsBase = 0;
    bool deliverBlinkTicks = false;
    // UpdateData(true) returns this (controls-to-variables may fail).
    bool updateDataResult = true;
};

// --- what the bench records -----------------------------------------------------------

struct SWriteRec {
    uint64_t tStartNs = 0;
    uint64_t tEndNs = 0;
    std::vector<uint8_t> bytes;
    bool failed = false;  // the port was not open or writes were made to fail
};
struct SReadRec {
    uint64_t tNs = 0;
    std::vector<uint8_t> bytes;
};
struct STimerCall {
    uint64_t tNs = 0;
    unsigned id = 0;
    unsigned periodMs = 0;  // 0 for KillTimer
    bool kill = false;
};
struct STick {
    uint64_t tNs = 0;
    unsigned id = 0;
};
struct SNotify {
    uint64_t tNs = 0;
    uint32_t count = 0;  // bytes announced
};
struct SStatusRec {
    uint64_t tNs = 0;
    std::string text;
    int32_t color = 0;
};
struct SButtonsRec {
    uint64_t tNs = 0;
    bool enabled = false;
};
enum class ProgressOp { kRange, kPos, kShow, kLabel };
struct SProgressRec {
    uint64_t tNs = 0;
    ProgressOp op = ProgressOp::kPos;
    int a = 0;         // range low, position, shown (1/0)
    int b = 0;         // range high
    std::string text;  // label
};
struct SMessageBoxRec {
    uint64_t tOpenNs = 0;
    uint64_t tCloseNs = 0;
    std::string text;
};
struct SUpdateDataRec {
    uint64_t tNs = 0;
    bool saveAndValidate = false;
};
struct SLinkEventRec {
    uint64_t tNs = 0;
    LinkEvent event = LinkEvent::kProbing;
};
struct SPauseRec {
    uint64_t tNs = 0;
    unsigned ms = 0;
};
// Writes that follow each other on the wire without a gap, joined: one packet with its
// CRC, wake-up and probe (18 bytes), set-buffer and its block (1034 bytes).
struct SBurst {
    uint64_t tStartNs = 0;
    uint64_t tEndNs = 0;
    std::vector<uint8_t> bytes;
};

class CBenchRecord {
  public:
    std::vector<SWriteRec> writes;
    std::vector<SReadRec> reads;
    std::vector<STimerCall> timerCalls;
    std::vector<STick> ticks;
    std::vector<SNotify> notifies;
    std::vector<SStatusRec> statuses;
    std::vector<SButtonsRec> buttons;
    std::vector<SProgressRec> progress;
    std::vector<SMessageBoxRec> messageBoxes;
    std::vector<SUpdateDataRec> updateData;
    std::vector<SLinkEventRec> linkEvents;
    std::vector<SPauseRec> pauses;

    // Writes that started at or after sinceNs, joined into bursts.
    std::vector<SBurst> Bursts(uint64_t sinceNs = 0) const;
    // Bursts that begin with `prefix` (all bytes of it), since sinceNs.
    std::vector<SBurst> BurstsStartingWith(std::span<const uint8_t> prefix,
                                           uint64_t sinceNs = 0) const;
    std::size_t CountBursts(std::span<const uint8_t> prefix, uint64_t sinceNs = 0) const;
    // Start of the first burst beginning with prefix, since sinceNs.
    std::optional<uint64_t> FirstBurst(std::span<const uint8_t> prefix, uint64_t sinceNs = 0) const;
    // Every byte written since sinceNs, in order.
    std::vector<uint8_t> WrittenSince(uint64_t sinceNs = 0) const;
    // Every byte the code under test read since sinceNs, in order.
    std::vector<uint8_t> ReadSince(uint64_t sinceNs = 0) const;

    // Times of the ticks delivered for a timer.
    std::vector<uint64_t> TicksOf(unsigned id, uint64_t sinceNs = 0) const;
    // The period of the timer's last SetTimer, or nothing when it was killed since (or
    // never set).
    std::optional<unsigned> RunningPeriod(unsigned id) const;

    std::optional<SStatusRec> LastStatus() const;
    std::optional<bool> LastButtons() const;
    std::optional<std::string> LastProgressLabel() const;
    std::vector<int> ProgressPositions(uint64_t sinceNs = 0) const;
    std::optional<bool> ProgressShown() const;
    std::vector<std::string> MessageTexts() const;
    std::vector<LinkEvent> LinkEvents(uint64_t sinceNs = 0) const;
    std::optional<uint64_t> FirstLinkEvent(LinkEvent event, uint64_t sinceNs = 0) const;
};

class CBench;

// The ILinkHost the code under test gets.
class CBenchHost final : public ILinkHost {
  public:
    explicit CBenchHost(CBench& bench) : bench_(bench) {}

    std::size_t WriteBytes(std::span<const uint8_t> bytes) override;
    std::size_t ReadBytes(std::span<uint8_t> buf) override;
    bool IsOpen() const override;
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void SetStatus(std::string_view text, int32_t color) override;
    void EnableTransferButtons(bool enable) override;
    SDialogVars& Vars() override;
    bool UpdateData(bool saveAndValidate) override;
    void SetProgressRange(int lo, int hi) override;
    void SetProgressPos(int pos) override;
    void ShowProgress(bool shown) override;
    void SetProgressLabel(std::string_view text) override;
    void MessageBox(std::string_view text) override;
    void Pause(unsigned ms) override;
    int LocalSeconds() override;
    void OnLinkEvent(LinkEvent event) override;

  private:
    CBench& bench_;
};

class CBench {
  public:
    explicit CBench(SBenchConfig config = {});
    CBench(const CBench&) = delete;
    CBench& operator=(const CBench&) = delete;

    CBenchHost& Host() { return host_; }
    // Where ticks and notifications go. Until then they are recorded and dropped.
    void Attach(ILinkEvents& events) { events_ = &events; }

    // The port: open after Connect (IsOpen true), closed after Disconnect.
    void Connect();
    void Disconnect();
    bool IsOpen() const { return open_; }
    // From now on every write fails (returns 0, nothing reaches the line).
    void FailWrites(bool fail) { failWrites_ = fail; }

    sim::CSimEsc& Esc() { return esc_; }
    const CBenchRecord& Rec() const { return rec_; }
    SDialogVars& Vars() { return vars_; }
    SBenchConfig& Config() { return cfg_; }

    uint64_t Now() const { return now_; }
    uint64_t ByteTimeNs() const { return byteNs_; }
    std::size_t QueuedInput() const { return input_.size(); }

    // Delivers everything due within the next durationNs; the clock then stands at its
    // end.
    void RunFor(uint64_t durationNs);
    // Delivers events one by one until pred() is true (checked before the first and after
    // each) or durationNs have passed. Returns pred()'s last value; the clock stands at the
    // moment it became true, or at the limit.
    bool RunUntil(const std::function<bool()>& pred, uint64_t durationNs);
    // Until the given virtual time.
    void RunTo(uint64_t tNs);

  private:
    friend class CBenchHost;

    struct STimer {
        unsigned periodMs = 0;
        uint64_t startNs = 0;
        uint64_t dueNs = 0;
    };

    // Delivers the next event due at or before limitNs; false when there is none.
    bool Step(uint64_t limitNs);
    // Moves the clock, collecting what the ESC sends meanwhile into the input queue.
    void AdvanceTo(uint64_t tNs);
    void CollectInput();
    void DeliverNotify();
    void DeliverTick(unsigned id);
    uint64_t NextGridPoint(const STimer& t, uint64_t afterNs) const;

    std::size_t Write(std::span<const uint8_t> bytes);
    std::size_t Read(std::span<uint8_t> buf);
    void MessageBox(std::string_view text);

    SBenchConfig cfg_;
    sim::CSimEsc esc_;
    uint64_t byteNs_;
    CBenchHost host_;
    ILinkEvents* events_ = nullptr;
    CBenchRecord rec_;
    SDialogVars vars_;

    uint64_t now_ = 0;
    bool open_ = false;
    bool failWrites_ = false;
    std::map<unsigned, STimer> timers_;
    std::deque<uint8_t> input_;
    bool notifyInFlight_ = false;
    std::size_t readInHandler_ = 0;
    bool announceAgain_ = true;  // new bytes or a productive handler since the last one
};

}  // namespace quorvel::bench
