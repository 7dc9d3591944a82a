#include "cli/cli_host.h"

#include <chrono>
#include <ctime>
#include <thread>

#include "cli/platform.h"

namespace quorvel::cli {

CCliHost::CCliHost(CEventLoop& loop, CConsole& console) : loop_(loop), console_(console) {}

std::size_t CCliHost::WriteBytes(std::span<const uint8_t> bytes) {
    return connection_ != nullptr ? connection_->WriteComm(bytes) : 0;
}

std::size_t CCliHost::ReadBytes(std::span<uint8_t> buf) {
    return connection_ != nullptr ? connection_->ReadComm(buf) : 0;
}

bool CCliHost::IsOpen() const {
    return connection_ != nullptr && connection_->IsOpen();
}

void CCliHost::SetTimer(unsigned id, unsigned periodMs) {
    loop_.SetTimer(id, periodMs);
}

void CCliHost::KillTimer(unsigned id) {
    loop_.KillTimer(id);
}

void CCliHost::SetStatus(std::string_view text, int32_t color) {
    console_.Status(text, color);
}

void CCliHost::MessageBox(std::string_view text) {
    messages_.emplace_back(text);
    console_.Message(text);
}

void CCliHost::ShowMessage(std::string_view text, MessageStyle /*style*/) {
    MessageBox(text);
}

void CCliHost::Pause(unsigned ms) {
    // The engine asks for a blocking pause: nothing else may be handled meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int CCliHost::LocalSeconds() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!LocalTime(now, local))
        return 0;
    return local.tm_sec;
}

void CCliHost::OnLinkEvent(LinkEvent event) {
    switch (event) {
        case LinkEvent::kConnected:
            connected_ = true;
            ++connectedCount_;
            break;
        case LinkEvent::kProbing:
        case LinkEvent::kHandshakeFailed:
        case LinkEvent::kLinkLost:
            connected_ = false;
            break;
        case LinkEvent::kRefused:
            refused_ = true;
            break;
        case LinkEvent::kTransferStarted:
            transfer_ = TransferOutcome::kRunning;
            break;
        case LinkEvent::kTransferDone:
            transfer_ = TransferOutcome::kDone;
            // The engine goes on with the handshake that re-reads the ESC.
            connected_ = false;
            break;
        case LinkEvent::kTransferFailed:
            transfer_ = TransferOutcome::kFailed;
            break;
        case LinkEvent::kIdentified:
            break;
    }
}

}  // namespace quorvel::cli
