#pragma once
// The link engine's host for the command line: timers on a CEventLoop, bytes through an
// ISerialConnection, the window's outputs printed by a CConsole.
//
// A message box is printed and "closed" at once; the host remembers what happened
// (milestones, messages) so that a command can decide its outcome and exit code without
// reading any text.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/console.h"
#include "link/engine/host.h"
#include "serial/connection.h"
#include "serial/event_loop.h"
#include "storage/message_sink.h"

namespace quorvel::cli {

enum class TransferOutcome { kNone, kRunning, kDone, kFailed };

class CCliHost : public ILinkHost, public IMessageSink {
  public:
    CCliHost(CEventLoop& loop, CConsole& console);

    // The connection the engine writes to and reads from; set before the port opens.
    void SetConnection(ISerialConnection* connection) { connection_ = connection; }

    // --- ILinkHost --------------------------------------------------------------------
    std::size_t WriteBytes(std::span<const uint8_t> bytes) override;
    std::size_t ReadBytes(std::span<uint8_t> buf) override;
    bool IsOpen() const override;
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void SetStatus(std::string_view text, int32_t color) override;
    void EnableTransferButtons(bool enable) override { buttonsEnabled_ = enable; }
    SDialogVars& Vars() override { return vars_; }
    // There are no controls: the variables are what the user chose.
    bool UpdateData(bool /*saveAndValidate*/) override { return true; }
    void SetProgressRange(int lo, int hi) override { console_.ProgressRange(lo, hi); }
    void SetProgressPos(int pos) override { console_.ProgressPos(pos); }
    void ShowProgress(bool shown) override { console_.ProgressShown(shown); }
    void SetProgressLabel(std::string_view text) override { console_.ProgressLabel(text); }
    void MessageBox(std::string_view text) override;
    void Pause(unsigned ms) override;
    int LocalSeconds() override;
    void OnLinkEvent(LinkEvent event) override;

    // --- IMessageSink (the connection's and the port table's messages) -----------------
    void ShowMessage(std::string_view text, MessageStyle style) override;

    // --- what happened ------------------------------------------------------------------
    // Information blocks read since the start (each kConnected).
    int ConnectedCount() const { return connectedCount_; }
    bool Connected() const { return connected_; }
    bool Refused() const { return refused_; }
    TransferOutcome Transfer() const { return transfer_; }
    bool ButtonsEnabled() const { return buttonsEnabled_; }
    const std::vector<std::string>& Messages() const { return messages_; }

  private:
    CEventLoop& loop_;
    CConsole& console_;
    ISerialConnection* connection_ = nullptr;
    SDialogVars vars_;
    int connectedCount_ = 0;
    bool connected_ = false;
    bool refused_ = false;
    bool buttonsEnabled_ = false;
    TransferOutcome transfer_ = TransferOutcome::kNone;
    std::vector<std::string> messages_;
};

}  // namespace quorvel::cli
