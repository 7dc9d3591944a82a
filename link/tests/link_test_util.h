#pragma once
// Small fixtures shared by the link tests.

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "link/crc.h"
#include "link/link.h"

namespace quorvel::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes WithCrc(Bytes b) {
    const uint16_t crc = Crc16(b);
    b.push_back(static_cast<uint8_t>(crc & 0xFF));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

// Records every write as one call; can be told to fail.
class RecordingSink : public IByteSink {
  public:
    std::size_t WriteBytes(std::span<const uint8_t> bytes) override {
        calls.emplace_back(bytes.begin(), bytes.end());
        wire.insert(wire.end(), bytes.begin(), bytes.end());
        return fail ? 0 : bytes.size();
    }
    std::vector<Bytes> calls;
    Bytes wire;
    bool fail = false;
};

// A port input queue: hands out at most what is asked for.
class QueueSource : public IByteSource {
  public:
    std::size_t ReadBytes(std::span<uint8_t> buf) override {
        std::size_t n = 0;
        while (n < buf.size() && !queue.empty()) {
            buf[n++] = queue.front();
            queue.pop_front();
        }
        asked.push_back(buf.size());
        reads.push_back(n);
        return n;
    }
    void Push(const Bytes& b) { queue.insert(queue.end(), b.begin(), b.end()); }
    std::deque<uint8_t> queue;
    std::vector<std::size_t> asked;
    std::vector<std::size_t> reads;
};

}  // namespace quorvel::testing
