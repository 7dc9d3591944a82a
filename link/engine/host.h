#pragma once
// The one seam between the link engine and whatever it runs in: the window, the
// command-line tool or the deterministic bench. The engine never reads a clock, never
// touches a port and never draws; everything goes through here.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "esc/setup_block.h"
#include "link/link.h"

namespace quorvel {

enum TimerId : unsigned {
    kTimerProbe = 1,
    kTimerHandshake = 2,
    kTimerKeepAlive = 3,
    kTimerTransfer = 4,
    kTimerBlink = 5,
};

// The variables of the window that the engine reads and writes. The front end owns
// them and exchanges them with its controls in UpdateData.
struct SDialogVars : SSetupChoices {
    std::string m_strBootVersion;
    std::string m_strAppVersion;
};

// Milestones, so that a host can follow the link without reading texts.
enum class LinkEvent {
    kProbing,          // timer 1 started (Connect, or a fall-back)
    kIdentified,       // "CPU-F0510" seen, key drawn, handshake begins
    kConnected,        // information block read and loaded
    kHandshakeFailed,  // back to probing
    kLinkLost,         // keep-alives unanswered, back to probing
    kRefused,          // a transfer command was refused (its message follows)
    kTransferStarted,
    kTransferDone,
    kTransferFailed,  // the failure's message box has been closed
};

class ILinkHost : public IByteSink, public IByteSource {
  public:
    // WriteBytes (IByteSink): blocks until the bytes have left the port, failed or timed
    // out. ReadBytes (IByteSource): up to buf.size() bytes already waiting.

    // The connection flag (m_bOpen).
    virtual bool IsOpen() const = 0;

    // Periodic timers of the window. Setting a running id restarts it with the new period.
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual void KillTimer(unsigned id) = 0;

    // Status line text and colour (0 black, 1 green, 2 red, other: default), repainted.
    virtual void SetStatus(std::string_view text, int32_t color) = 0;

    // Updating Start and Write Setup are always switched together.
    virtual void EnableTransferButtons(bool enable) = 0;

    // The window's variables and their exchange with the controls: true = controls to
    // variables (may fail and return false), false = variables to controls.
    virtual SDialogVars& Vars() = 0;
    virtual bool UpdateData(bool saveAndValidate) = 0;

    virtual void SetProgressRange(int lo, int hi) = 0;
    virtual void SetProgressPos(int pos) = 0;
    virtual void ShowProgress(bool shown) = 0;
    virtual void SetProgressLabel(std::string_view text) = 0;

    // A modal message box with an OK button; returns once the user has closed it.
    // Ticks and received bytes go on being handled while it is open.
    virtual void MessageBox(std::string_view text) = 0;

    // Blocks the event thread; nothing else is handled meanwhile.
    virtual void Pause(unsigned ms) = 0;

    // The seconds field (0..59) of the local time: the seed of the session key.
    virtual int LocalSeconds() = 0;

    virtual void OnLinkEvent(LinkEvent /*event*/) {}
};

// What the event source delivers to the engine.
class ILinkEvents {
  public:
    virtual ~ILinkEvents() = default;
    virtual void OnTimer(unsigned id) = 0;
    // A receive notification: the event mask and the number of bytes waiting.
    virtual void OnCommNotify(uint32_t eventMask, uint32_t count) = 0;
};

}  // namespace quorvel
