#include "link/engine/engine.h"

#include <span>
#include <string>

#include "link/engine/texts.h"

namespace quorvel {

uint8_t DrawKeyForSeed(unsigned seed) {
    // The Windows C runtime's rand(): the program has always drawn its keys this way,
    // so the same second of the clock gives the same key on every platform.
    uint32_t state = seed;
    for (;;) {
        state = state * 214013u + 2531011u;
        const auto draw = static_cast<uint8_t>((state >> 16) & 0x7FFFu);
        if (draw != 0)
            return draw;
    }
}

CLinkEngine::CLinkEngine(ILinkHost& host) : host_(host) {
    // The no-device state the window starts in.
    link_.s.g_key = 0;
    link_.s.g_escType = kEscNone;
    link_.s.g_appVariant = kNoVariant;
}

void CLinkEngine::SetImages(SImageSet images, SyntheticImages synthetic) {
    images_ = std::move(images);
    synthetic_ = synthetic;
    g_imageSrc_ = nullptr;
}

void CLinkEngine::StartProbing() {
    link_.s.g_statusColor = kColorRed;
    host_.SetStatus(texts::kReadingInfo, kColorRed);
    host_.SetTimer(kTimerProbe, kProbePeriodConnectMs);
    host_.OnLinkEvent(LinkEvent::kProbing);
}

void CLinkEngine::OnTimer(unsigned id) {
    switch (id) {
        case kTimerProbe:
            ProbeTick();
            break;
        case kTimerHandshake:
            HandshakeTick();
            break;
        case kTimerKeepAlive:
            KeepAliveTick();
            break;
        case kTimerTransfer:
            TransferTick();
            break;
        default:
            break;
    }
}

void CLinkEngine::OnCommNotify(uint32_t eventMask, uint32_t count) {
    link_.OnCommNotify(host_, host_.IsOpen(), eventMask, count);
}

// ---------------------------------------------------------------------------------------
// Link session

void CLinkEngine::ProbeTick() {
    SLinkState& s = link_.s;
    s.g_linkUp = 0;
    host_.EnableTransferButtons(false);
    // Shown only at the next refresh of the window's fields.
    host_.Vars().m_strBootVersion.clear();
    s.g_escType = kEscNone;
    s.g_appVariant = kNoVariant;

    if (s.g_replyOk == 1) {
        s.g_rxMode = kRxHandshake;
        host_.KillTimer(kTimerProbe);
        s.g_replyOk = 0;
        s.g_rxLen = 0;
        s.g_txStep = kStepSetAddress;
        s.g_retries = 0;
        DrawKey();
        link_.SendAddressRow(host_, kAddrInfoPage);
        host_.SetTimer(kTimerHandshake, kHandshakePeriodMs);
        host_.OnLinkEvent(LinkEvent::kIdentified);
        return;
    }
    s.g_replyOk = 0;
    s.g_rxLen = 0;
    s.g_rxMode = kRxIdentify;
    link_.SendWakeUpAndProbe(host_);
}

void CLinkEngine::HandshakeTick() {
    SLinkState& s = link_.s;
    if (s.g_txStep == kStepSetAddress) {
        if (s.g_replyOk == 1) {
            s.g_replyOk = 0;
            s.g_rxLen = 0;
            s.g_txStep = kStepReadInfo;
            s.g_ticks = 0;
            link_.SendCommandRow(host_, kRowReadInfo);
            s.g_retries = 0;
            return;
        }
        ++s.g_retries;
        if (s.g_retries < kSetAddressTries) {
            s.g_rxLen = 0;
            link_.SendAddressRow(host_, kAddrInfoPage);
        } else {
            HandshakeFailed();
        }
        return;
    }
    if (s.g_txStep == kStepReadInfo) {
        if (s.g_replyOk == 1) {
            s.g_rxMode = kRxKeepAlive;
            s.g_rxLen = 0;
            host_.KillTimer(kTimerHandshake);
            s.g_linkUp = 1;
            s.g_statusColor = kColorGreen;
            host_.SetStatus(texts::kConnectedNormal, kColorGreen);
            LoadDeviceInfo();
            s.g_ticks = 0;
            s.g_replyOk = 0;
            host_.SetTimer(kTimerKeepAlive, kKeepAlivePeriodMs);
            host_.OnLinkEvent(LinkEvent::kConnected);
            return;
        }
        ++s.g_ticks;
        if (s.g_ticks >= kReadInfoTicks) {
            s.g_ticks = 0;
            s.g_rxLen = 0;
            ++s.g_retries;
            if (s.g_retries < kReadInfoTries) {
                link_.SendCommandRow(host_, kRowReadInfo);
            } else {
                HandshakeFailed();
            }
        }
    }
}

void CLinkEngine::FallBackToProbing(LinkEvent why) {
    SLinkState& s = link_.s;
    s.g_linkUp = 0;
    s.g_rxLen = 0;
    s.g_replyOk = 0;
    s.g_rxMode = kRxIdentify;
    s.g_statusColor = kColorRed;
    host_.SetStatus(texts::kReadingInfoRetry, kColorRed);
    host_.SetTimer(kTimerProbe, kProbePeriodFallbackMs);
    host_.OnLinkEvent(why);
}

void CLinkEngine::HandshakeFailed() {
    host_.KillTimer(kTimerHandshake);
    FallBackToProbing(LinkEvent::kHandshakeFailed);
}

void CLinkEngine::KeepAliveTick() {
    SLinkState& s = link_.s;
    host_.EnableTransferButtons(s.g_escType != kEscNone);
    if (s.g_replyOk == 1)
        s.g_ticks = 0;
    ++s.g_ticks;
    if (s.g_ticks >= kKeepAliveLostTicks) {
        host_.KillTimer(kTimerKeepAlive);
        FallBackToProbing(LinkEvent::kLinkLost);
        return;
    }
    s.g_busy = 0;
    s.g_rxLen = 0;
    s.g_replyOk = 0;
    link_.SendCommandRow(host_, kRowKeepAlive);
}

void CLinkEngine::DrawKey() {
    const int seconds = host_.LocalSeconds();
    link_.s.g_key = DrawKeyForSeed(static_cast<unsigned>(seconds < 0 ? 0 : seconds));
}

// ---------------------------------------------------------------------------------------
// Device information and setup

void CLinkEngine::LoadDeviceInfo() {
    SLinkState& s = link_.s;
    SDialogVars& vars = host_.Vars();
    g_info_ = UnkeyInfo(
        std::span<const uint8_t, kInfoBlockSize>(s.g_rxBuf.data() + 4, kInfoBlockSize), s.g_key);
    const SInfoDecode d = DecodeDeviceInfo(g_info_);
    s.g_escType = d.escType;
    switch (d.escType) {
        case kEscNone:
            s.g_appVariant = kNoVariant;
            vars.m_strBootVersion = kInvalidBootVersion;
            vars.m_strAppVersion = kInvalidAppVersion;
            break;
        case kEscType1:
        case kEscType2:
            // Variant, setup choices and app version keep what they showed before.
            vars.m_strBootVersion = d.bootVersion;
            break;
        default:
            s.g_blockCount = kType3BlockCount;
            vars.m_strBootVersion = d.bootVersion;
            g_settings_ = g_info_.settings();
            ShowSettings(g_settings_, vars);
            s.g_appVariant = d.appVariant;
            vars.m_strAppVersion = d.appVersion;
            break;
    }
    host_.UpdateData(false);
}

void CLinkEngine::OnAllDefault() {
    ApplyAllDefault(host_.Vars());
    host_.UpdateData(false);
}

// ---------------------------------------------------------------------------------------
// Transfer start

bool CLinkEngine::Refuse(const std::string& text) {
    host_.OnLinkEvent(LinkEvent::kRefused);
    host_.MessageBox(text);
    return false;
}

bool CLinkEngine::CheckPreconditions(bool setup) {
    const SLinkState& s = link_.s;
    if (s.g_linkUp == 0)
        return Refuse(texts::kNotConnected);
    if (s.g_busy != 0)
        return Refuse(texts::kBusy);
    if (s.g_escType == kEscNone)
        return Refuse(texts::kNoFirmware);
    if (s.g_escType != kEscType3) {
        return Refuse(setup ? texts::kBootUnsupportedSetup : texts::kBootUnsupported);
    }
    return true;
}

SFirmwareImage& CLinkEngine::ChosenImage() {
    return UsesImage25(link_.s.g_appVariant) ? images_.g_image25 : images_.g_image101;
}

bool CLinkEngine::CheckImage() {
    const SFirmwareImage& image = ChosenImage();
    if (!image.Usable()) {
        return Refuse(std::string(texts::kImageUnusablePrefix) + image.Problem() +
                      texts::kImageUnusableSuffix);
    }
    if (synthetic_ == SyntheticImages::kRefuse && IsSyntheticImage(image.bytes)) {
        return Refuse(std::string(texts::kImageUnusablePrefix) + image.origin +
                      texts::kSyntheticImage + texts::kImageUnusableSuffix);
    }
    return true;
}

void CLinkEngine::OnUpdatingStart() {
    if (!CheckPreconditions(false) || !CheckImage())
        return;
    host_.UpdateData(true);
    host_.EnableTransferButtons(false);
    BeginTransfer(0);
}

void CLinkEngine::OnWriteSetup() {
    if (!CheckPreconditions(true))
        return;
    const bool tooOld =
        g_info_.appMajor() < kSetupMinMajor ||
        (g_info_.appMajor() == kSetupMinMajor && g_info_.appMinor() < kSetupMinMinor);
    if (tooOld) {
        Refuse(texts::kAppTooOld);
        return;
    }
    if (!CheckImage())
        return;
    host_.UpdateData(true);
    host_.EnableTransferButtons(false);
    CollectSettings(host_.Vars(), g_settings_);
    g_info_.setSettings(g_settings_);
    BeginTransfer(1);
}

void CLinkEngine::MixImage() {
    if (g_imageSrc_ == nullptr)
        return;
    quorvel::MixImage(g_imageSrc_->bytes, link_.s.g_key, g_txImage_);
}

void CLinkEngine::BeginTransfer(int32_t setupMode) {
    SFirmwareImage& image = ChosenImage();
    // Whoever calls this, nothing but a complete image ever goes to an ESC.
    if (!image.Usable() ||
        (synthetic_ == SyntheticImages::kRefuse && IsSyntheticImage(image.bytes))) {
        CheckImage();
        return;
    }
    g_imageSrc_ = &image;
    if (setupMode != 0) {
        const SEscSettings settings = g_info_.settings();
        std::copy(settings.raw.begin(), settings.raw.end(),
                  image.bytes.begin() + static_cast<std::ptrdiff_t>(kSetupPageOffset));
    }
    DrawKey();
    MixImage();

    SLinkState& s = link_.s;
    s.g_busy = 1;
    s.g_txStep = kStepSetAddress;
    s.g_setupMode = setupMode;
    host_.KillTimer(kTimerKeepAlive);
    s.g_replyOk = 0;
    s.g_blockIndex = 0;
    s.g_rxMode = kRxTransfer;
    addressTicks_ = 0;

    host_.SetProgressRange(0, kProgressMax);
    host_.SetProgressPos(setupMode != 0 ? kProgressStartSetup : kProgressStartFirmware);
    host_.ShowProgress(true);
    host_.SetProgressLabel(texts::kUpdatingNow);
    host_.SetTimer(kTimerTransfer, kTransferPeriodMs);
    host_.OnLinkEvent(LinkEvent::kTransferStarted);
}

// ---------------------------------------------------------------------------------------
// Transfer sequencer

void CLinkEngine::TransferTick() {
    SLinkState& s = link_.s;
    const bool setup = s.g_setupMode != 0;
    switch (s.g_txStep) {
        case kStepSetAddress:
            if (s.g_replyOk == 1) {
                s.g_txStep = setup ? kStepSetupBlock : kStepAppBlock;
                s.g_ticks = 0;
                s.g_blockIndex = 0;
                s.g_replyOk = 0;
                return;
            }
            // An ESC that never takes the address would otherwise be addressed forever,
            // with both buttons disabled and nothing said.
            if (++addressTicks_ >= kTransferAddressTicks) {
                TransferFailed(texts::kFailSetAddress);
                return;
            }
            s.g_rxLen = 0;
            link_.SendAddressRow(host_, setup ? kAddrSetupPage : kAddrApplication);
            return;

        case kStepAppBlock:
            if (MoveOnAck(kStepAppProgram))
                return;
            if (s.g_ticks == 0) {
                const std::size_t offset = std::size_t{s.g_blockIndex} * kPageSize;
                if (offset + kPageSize > kImageSize) {
                    TransferFailed(texts::kFailRomData);
                    return;
                }
                // Tick counting starts once the page has left the port.
                host_.KillTimer(kTimerTransfer);
                s.g_rxLen = 0;
                link_.SendSetBuffer(
                    host_, kRowSetBufferApp,
                    std::span<const uint8_t>(g_txImage_.data() + offset, kPageSize));
                host_.SetTimer(kTimerTransfer, kTransferPeriodMs);
                ++s.g_blockIndex;
                host_.SetProgressPos(static_cast<int>(s.g_blockIndex) + 2);
            }
            if (++s.g_ticks >= kAppBlockTicks)
                TransferFailed(texts::kFailRomData);
            return;

        case kStepAppProgram:
            if (s.g_replyOk == 1) {
                s.g_replyOk = 0;
                host_.KillTimer(kTimerTransfer);
                host_.Pause(kProgramPauseMs);
                if (s.g_blockIndex == s.g_blockCount) {
                    TransferSucceeded(texts::kProgramDone);
                } else {
                    s.g_txStep = kStepAppBlock;
                    s.g_ticks = 0;
                    host_.SetTimer(kTimerTransfer, kTransferPeriodMs);
                }
                return;
            }
            if (s.g_ticks == 0) {
                s.g_rxLen = 0;
                link_.SendCommandRow(host_, kRowProgramApp);
            }
            if (++s.g_ticks >= kAppProgramTicks)
                TransferFailed(texts::kFailRomProgram);
            return;

        case kStepSetupBlock:
            if (MoveOnAck(kStepSetupProgram))
                return;
            if (s.g_ticks == 0) {
                host_.KillTimer(kTimerTransfer);
                s.g_rxLen = 0;
                link_.SendSetBuffer(
                    host_, kRowSetBufferSetup,
                    std::span<const uint8_t>(g_txImage_.data() + kSetupPageOffset, kPageSize));
                host_.SetTimer(kTimerTransfer, kTransferPeriodMs);
            }
            if (++s.g_ticks >= kSetupBlockTicks)
                TransferFailed(texts::kFailEepData);
            return;

        case kStepSetupProgram:
            if (s.g_replyOk == 1) {
                s.g_replyOk = 0;
                host_.KillTimer(kTimerTransfer);
                s.g_ticks = 0;
                TransferSucceeded(texts::kSetupDone);
                return;
            }
            if (s.g_ticks == 0) {
                host_.KillTimer(kTimerTransfer);
                s.g_rxLen = 0;
                link_.SendCommandRow(host_, kRowProgramSetup);
                host_.SetTimer(kTimerTransfer, kTransferPeriodMs);
            }
            if (++s.g_ticks >= kSetupProgramTicks)
                TransferFailed(texts::kFailEepProgram);
            return;

        default:
            return;
    }
}

bool CLinkEngine::MoveOnAck(int32_t nextStep) {
    SLinkState& s = link_.s;
    if (s.g_replyOk != 1)
        return false;
    // The tick that sees the acknowledgement only moves on; the next packet goes out on
    // the following tick.
    s.g_txStep = nextStep;
    s.g_replyOk = 0;
    s.g_ticks = 0;
    host_.SetTimer(kTimerTransfer, kTransferPeriodMs);
    return true;
}

void CLinkEngine::TransferSucceeded(const char* doneText) {
    host_.SetProgressPos(kProgressMax);
    host_.SetProgressLabel(doneText);
    host_.ShowProgress(false);
    SLinkState& s = link_.s;
    s.g_rxMode = kRxHandshake;
    s.g_replyOk = 0;
    s.g_rxLen = 0;
    s.g_txStep = kStepSetAddress;
    s.g_retries = 0;
    host_.SetTimer(kTimerHandshake, kHandshakePeriodMs);
    host_.OnLinkEvent(LinkEvent::kTransferDone);
}

void CLinkEngine::TransferFailed(const char* text) {
    SLinkState& s = link_.s;
    host_.KillTimer(kTimerTransfer);
    s.g_ticks = 0;
    host_.MessageBox(text);
    host_.SetProgressLabel(texts::kUpdatingError);
    host_.SetProgressPos(0);
    host_.ShowProgress(false);
    s.g_rxMode = kRxKeepAlive;
    host_.SetTimer(kTimerKeepAlive, kKeepAlivePeriodMs);
    host_.OnLinkEvent(LinkEvent::kTransferFailed);
}

}  // namespace quorvel
