// The whole engine under arbitrary line bytes, ticks and button presses: it must never
// touch memory it does not own, and never run two of its timers at once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>

#include "link/engine/engine.h"

namespace {

using namespace quorvel;

class FuzzHost : public ILinkHost {
  public:
    std::size_t WriteBytes(std::span<const uint8_t> bytes) override { return bytes.size(); }
    std::size_t ReadBytes(std::span<uint8_t> buf) override {
        const std::size_t n = std::min(buf.size(), rx.size());
        for (std::size_t i = 0; i < n; ++i) {
            buf[i] = rx.front();
            rx.pop_front();
        }
        return n;
    }
    bool IsOpen() const override { return true; }
    void SetTimer(unsigned id, unsigned) override {
        timers.insert(id);
        if (timers.size() > 1)
            __builtin_trap();
    }
    void KillTimer(unsigned id) override { timers.erase(id); }
    void SetStatus(std::string_view, int32_t) override {}
    void EnableTransferButtons(bool) override {}
    SDialogVars& Vars() override { return vars; }
    bool UpdateData(bool) override { return true; }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int pos) override {
        if (pos < 0 || pos > kProgressMax)
            __builtin_trap();
    }
    void ShowProgress(bool) override {}
    void SetProgressLabel(std::string_view) override {}
    void MessageBox(std::string_view) override {}
    void Pause(unsigned) override {}
    int LocalSeconds() override { return seconds; }

    std::deque<uint8_t> rx;
    std::set<unsigned> timers;
    SDialogVars vars;
    int seconds = 7;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzHost host;
    CLinkEngine engine(host);
    SImageSet images;
    images.g_image25.bytes.assign(kImageSize, 0xA5);
    images.g_image101.bytes.assign(kImageSize, 0x5A);
    engine.SetImages(images, SyntheticImages::kAccept);
    engine.StartProbing();
    // Each input byte is an action; the bytes after a "receive" action are line bytes.
    std::size_t i = 0;
    while (i < size) {
        const uint8_t op = data[i++];
        switch (op % 8) {
            case 0:
            case 1:
            case 2:
                for (unsigned id : std::set<unsigned>(host.timers))
                    engine.OnTimer(id);
                break;
            case 3: {
                const std::size_t n = std::min<std::size_t>(size - i, op / 8u + 1u);
                host.rx.insert(host.rx.end(), data + i, data + i + n);
                i += n;
                engine.OnCommNotify(kEvRxChar, static_cast<uint32_t>(host.rx.size()));
                break;
            }
            case 4:
                engine.OnUpdatingStart();
                break;
            case 5:
                engine.OnWriteSetup();
                break;
            case 6:
                host.vars.m_nMode = op % 5 - 1;
                host.vars.m_nPwm = op % 7 - 2;
                engine.OnAllDefault();
                break;
            default:
                // Ticks only ever come from running timers.
                for (unsigned id : std::set<unsigned>(host.timers))
                    engine.OnTimer(id);
                break;
        }
    }
    return 0;
}
