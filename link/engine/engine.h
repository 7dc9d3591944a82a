#pragma once
// The link engine: the link session (probe, key, information read, keep-alive), the
// transfer start and the transfer sequencer, moved only by timer ticks and receive
// notifications from its host.

#include <array>
#include <cstdint>
#include <string>

#include "esc/device_info.h"
#include "esc/images.h"
#include "esc/setup_block.h"
#include "link/engine/host.h"
#include "link/link.h"

namespace quorvel {

// Timer periods, in milliseconds.
inline constexpr unsigned kProbePeriodConnectMs = 200;
inline constexpr unsigned kProbePeriodFallbackMs = 10;
inline constexpr unsigned kHandshakePeriodMs = 10;
inline constexpr unsigned kKeepAlivePeriodMs = 200;
inline constexpr unsigned kTransferPeriodMs = 10;

// Limits, in ticks of the timer that runs the step.
inline constexpr int32_t kSetAddressTries = 3;
inline constexpr uint32_t kReadInfoTicks = 60;
inline constexpr int32_t kReadInfoTries = 3;
inline constexpr uint32_t kKeepAliveLostTicks = 4;
inline constexpr uint32_t kTransferAddressTicks = 300;  // ours; see the sequencer
inline constexpr uint32_t kAppBlockTicks = 60;
inline constexpr uint32_t kAppProgramTicks = 20;
inline constexpr uint32_t kSetupBlockTicks = 60;
inline constexpr uint32_t kSetupProgramTicks = 300;
inline constexpr unsigned kProgramPauseMs = 150;

// Progress bar.
inline constexpr int kProgressMax = 29;
inline constexpr int kProgressStartFirmware = 1;
inline constexpr int kProgressStartSetup = 16;

// The lowest application version that takes a setup write.
inline constexpr uint8_t kSetupMinMajor = 4;
inline constexpr uint8_t kSetupMinMinor = 3;

// Whether the synthetic test images may be sent: yes to a simulated ESC, to a real one
// only when the user asks for it.
enum class SyntheticImages { kRefuse, kAccept };

class CLinkEngine : public ILinkEvents {
  public:
    explicit CLinkEngine(ILinkHost& host);

    // The images held for the run; a transfer is refused while the chosen one is unusable.
    void SetImages(SImageSet images, SyntheticImages synthetic = SyntheticImages::kRefuse);
    const SImageSet& Images() const { return images_; }

    // Connect's hand-over once the port is open: red status, timer 1 at 200 ms.
    void StartProbing();

    void OnTimer(unsigned id) override;
    void OnCommNotify(uint32_t eventMask, uint32_t count) override;

    void LoadDeviceInfo();
    void OnUpdatingStart();
    void OnWriteSetup();
    void BeginTransfer(int32_t setupMode);
    void MixImage();
    void DrawKey();
    void OnAllDefault();

    const SLinkState& State() const { return link_.s; }
    CLink& Link() { return link_; }
    const SDeviceInfo& Info() const { return g_info_; }
    const SEscSettings& Settings() const { return g_settings_; }
    const std::array<uint8_t, kTxImageSize>& TxImage() const { return g_txImage_; }
    const SFirmwareImage* ImageSource() const { return g_imageSrc_; }

  private:
    void ProbeTick();
    void HandshakeTick();
    void KeepAliveTick();
    void TransferTick();
    void HandshakeFailed();
    void FallBackToProbing(LinkEvent why);
    void TransferFailed(const char* text);
    // After a set-buffer: on its acknowledgement, move to the program step.
    bool MoveOnAck(int32_t nextStep);
    void TransferSucceeded(const char* doneText);
    // The checks both commands make; shows the refusal and returns false on the first
    // that fails.
    bool CheckPreconditions(bool setup);
    bool Refuse(const std::string& text);
    // Our own check: the chosen image must be complete.
    bool CheckImage();
    SFirmwareImage& ChosenImage();

    ILinkHost& host_;
    CLink link_;
    SDeviceInfo g_info_{};
    SEscSettings g_settings_{};
    SImageSet images_;
    const SFirmwareImage* g_imageSrc_ = nullptr;
    SyntheticImages synthetic_ = SyntheticImages::kRefuse;
    std::array<uint8_t, kTxImageSize> g_txImage_{};
    // Ticks of the transfer's set-address step; kept apart from g_ticks, which the
    // transfer start leaves as it was.
    uint32_t addressTicks_ = 0;
};

// The key drawn for a seed: the C runtime's rand() sequence seeded with the seconds of
// the local time, the first draw whose low byte is not 0.
uint8_t DrawKeyForSeed(unsigned seed);

}  // namespace quorvel
