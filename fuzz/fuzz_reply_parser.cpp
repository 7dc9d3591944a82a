// Arbitrary bytes from the line, in arbitrary notification sizes and under every
// mode and step: the parser must never read or write outside its buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "link/link.h"

namespace {

class FuzzSource : public quorvel::IByteSource {
  public:
    std::size_t ReadBytes(std::span<uint8_t> buf) override {
        const std::size_t n = std::min(buf.size(), queue.size());
        for (std::size_t i = 0; i < n; ++i) {
            buf[i] = queue.front();
            queue.pop_front();
        }
        return n;
    }
    std::deque<uint8_t> queue;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    quorvel::CLink link;
    link.s.g_rxMode = data[0] % 6;
    link.s.g_txStep = data[1] % 10;
    link.s.g_rxLen = static_cast<uint16_t>(data[2] % 4 == 0 ? 1275 + data[2] % 8 : 0);
    FuzzSource source;
    source.queue.assign(data + 3, data + size);
    // Announce counts taken from the data itself, sometimes more than is there.
    std::size_t i = 3;
    while (!source.queue.empty()) {
        const uint32_t announced = 1u + (i < size ? data[i] : 0u) * 5u;
        const std::size_t before = source.queue.size();
        link.OnCommNotify(source, true, quorvel::kEvRxChar, announced);
        if (source.queue.size() == before)
            break;
        ++i;
        if (link.s.g_rxLen > quorvel::kRxBufSize)
            __builtin_trap();
        if (link.s.g_replyOk != 0 && link.s.g_replyOk != 1)
            __builtin_trap();
    }
    return 0;
}
