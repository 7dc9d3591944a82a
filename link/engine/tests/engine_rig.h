#pragma once
// The engine on the deterministic bench, with the synthetic images loaded.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bench/bench.h"
#include "link/engine/engine.h"
#include "link/engine/texts.h"
#include "sim/test_image.h"

namespace quorvel::testing {

using bench::Ms;
using Bytes = std::vector<uint8_t>;

// Packets as they go onto the wire (their fixed bytes).
inline const Bytes kWakeUp = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D};
inline const Bytes kKeepAlive = {0xFD, 0x00, 0x40, 0x90};
inline const Bytes kReadInfo = {0x04, 0x00, 0x02, 0xC0};
inline const Bytes kSetBuffer = {0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E};
inline const Bytes kProgram = {0x01, 0x01, 0xC0, 0x50};
inline const Bytes kSetAddress = {0xFF, 0x00};

inline SImageSet TestImages() {
    return bench::TestImageSet();
}

class EngineRig {
  public:
    explicit EngineRig(bench::SBenchConfig cfg = {}) : bench(std::move(cfg)), engine(bench.Host()) {
        bench.Attach(engine);
        engine.SetImages(TestImages(), SyntheticImages::kAccept);
    }

    // Connect's hand-over: the port is open, probing starts.
    void Connect() {
        bench.Connect();
        engine.StartProbing();
    }

    bool Connected() const {
        return engine.State().g_linkUp == 1 && engine.State().g_rxMode == kRxKeepAlive;
    }

    // Connects and waits for the first information block.
    void ConnectAndRead() {
        Connect();
        ASSERT_TRUE(bench.RunUntil([&] { return Connected(); }, Ms(5000)));
    }

    bool RunUntilEvent(LinkEvent e, uint64_t limitNs, uint64_t sinceNs = 0) {
        return bench.RunUntil([&] { return bench.Rec().FirstLinkEvent(e, sinceNs).has_value(); },
                              limitNs);
    }

    // The burst that carried the last key: a set-address packet's third byte.
    static uint8_t KeyOf(const bench::SBurst& b) { return b.bytes.at(2); }

    const bench::CBenchRecord& Rec() const { return bench.Rec(); }

    bench::CBench bench;
    CLinkEngine engine;
};

inline Bytes WithCrc(Bytes b) {
    uint16_t crc = 0;
    for (uint8_t x : b) {
        crc ^= x;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    b.push_back(static_cast<uint8_t>(crc & 0xFF));
    b.push_back(static_cast<uint8_t>(crc >> 8));
    return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes SetAddressPacket(uint8_t key, uint8_t high) {
    return WithCrc({0xFF, 0x00, key, key, static_cast<uint8_t>(key ^ high), key});
}

}  // namespace quorvel::testing
