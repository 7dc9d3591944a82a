#pragma once
// A link host for tests and benchmarks without a toolkit: timers on a CEventLoop, bytes
// through an ISerialConnection, and a record of what a window would have shown.

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "link/engine/engine.h"
#include "serial/connection.h"
#include "serial/event_loop.h"
#include "storage/message_sink.h"

namespace quorvel::testing {

// The smallest host a toolkit-free front end needs: the event loop for timers, the
// POSIX connection for bytes, and a record of what the window would have shown.
class CLoopHost : public ILinkHost, public IMessageSink {
  public:
    explicit CLoopHost(CEventLoop& loop) : loop_(loop) {}
    void SetConnection(ISerialConnection* connection) { connection_ = connection; }

    std::size_t WriteBytes(std::span<const uint8_t> bytes) override {
        ++writes;
        return connection_->WriteComm(bytes);
    }
    std::size_t ReadBytes(std::span<uint8_t> buf) override { return connection_->ReadComm(buf); }
    bool IsOpen() const override { return connection_ != nullptr && connection_->IsOpen(); }
    void SetTimer(unsigned id, unsigned periodMs) override { loop_.SetTimer(id, periodMs); }
    void KillTimer(unsigned id) override { loop_.KillTimer(id); }
    void SetStatus(std::string_view text, int32_t color) override {
        status = text;
        statusColor = color;
    }
    void EnableTransferButtons(bool enable) override { buttons = enable; }
    SDialogVars& Vars() override { return vars; }
    bool UpdateData(bool) override { return true; }
    void SetProgressRange(int, int hi) override { progressMax = hi; }
    void SetProgressPos(int pos) override { progress.push_back(pos); }
    void ShowProgress(bool) override {}
    void SetProgressLabel(std::string_view text) override { label = text; }
    void MessageBox(std::string_view text) override { messages.emplace_back(text); }
    void Pause(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    int LocalSeconds() override { return 17; }
    void OnLinkEvent(LinkEvent event) override { events.push_back(event); }
    void ShowMessage(std::string_view text, MessageStyle) override { messages.emplace_back(text); }

    int Count(LinkEvent e) const {
        return static_cast<int>(std::count(events.begin(), events.end(), e));
    }

    SDialogVars vars;
    std::string status;
    int32_t statusColor = 0;
    bool buttons = false;
    int progressMax = 0;
    std::vector<int> progress;
    std::string label;
    std::vector<std::string> messages;
    std::vector<LinkEvent> events;
    std::size_t writes = 0;

  private:
    CEventLoop& loop_;
    ISerialConnection* connection_ = nullptr;
};

inline SImageSet TestImages() {
    return bench::TestImageSet();
}

}  // namespace quorvel::testing
