// A whole connect and 26-page update through the bench and the simulated ESC, driven by
// a scripted loader client that paces itself on a 10 ms timer like the engine does.

#include <gtest/gtest.h>

#include <string>

#include "bench/bench.h"
#include "sim/crc16.h"
#include "sim/test_image.h"

namespace quorvel::bench {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes WithCrc(Bytes body) {
    const uint16_t crc = sim::Crc16(body);
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    return body;
}

Bytes SetAddress(uint8_t k, uint8_t high) {
    return WithCrc({0xFF, 0x00, k, k, static_cast<uint8_t>(k ^ high), k});
}

// One exchange: the bytes, and the reply expected after their echo.
struct SStep {
    Bytes send;
    std::size_t replyLen = 1;
    uint8_t lastByte = '0';
    unsigned pauseMsAfter = 0;
};

class CScriptedLoader : public ILinkEvents {
  public:
    CScriptedLoader(CBench& bench, std::vector<SStep> steps)
        : bench_(bench), steps_(std::move(steps)) {
        bench.Attach(*this);
    }

    void Start() { bench_.Host().SetTimer(4, 10); }
    bool Done() const { return next_ == steps_.size() && !waiting_; }
    bool Failed() const { return failed_; }
    const Bytes& ReplyOf(std::size_t step) const { return replies_.at(step); }

    void OnTimer(unsigned id) override {
        if (id != 4 || failed_) {
            return;
        }
        ILinkHost& host = bench_.Host();
        if (waiting_) {
            const SStep& s = steps_[next_ - 1];
            if (rx_.size() >= s.send.size() + s.replyLen) {
                const Bytes reply(rx_.begin() + static_cast<long>(s.send.size()), rx_.end());
                if (reply.size() != s.replyLen || reply.back() != s.lastByte) {
                    failed_ = true;
                    host.KillTimer(4);
                    return;
                }
                replies_.push_back(reply);
                waiting_ = false;
                if (s.pauseMsAfter != 0) {
                    host.Pause(s.pauseMsAfter);
                }
                if (next_ == steps_.size()) {
                    host.KillTimer(4);
                }
            } else if (++ticks_ >= 200) {
                failed_ = true;
                host.KillTimer(4);
            }
            return;
        }
        rx_.clear();
        ticks_ = 0;
        host.WriteBytes(steps_[next_++].send);
        waiting_ = true;
    }

    void OnCommNotify(uint32_t, uint32_t count) override {
        Bytes buf(std::min<std::size_t>(count, 512));
        const std::size_t n = bench_.Host().ReadBytes(buf);
        rx_.insert(rx_.end(), buf.begin(), buf.begin() + static_cast<long>(n));
    }

  private:
    CBench& bench_;
    std::vector<SStep> steps_;
    std::vector<Bytes> replies_;
    Bytes rx_;
    std::size_t next_ = 0;
    bool waiting_ = false;
    bool failed_ = false;
    unsigned ticks_ = 0;
};

TEST(BenchTransfer, ConnectUpdateAndReadBackTheNewVersion) {
    SBenchConfig cfg;
    cfg.esc.appMajor = 4;
    cfg.esc.appMinor = 2;
    cfg.esc.variant = 25;
    CBench bench(cfg);
    const auto image = sim::MakeImage25();
    const uint8_t k1 = 0x37;
    const uint8_t k2 = 0xB4;

    std::vector<SStep> steps;
    const Bytes probe = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                         0x0D, 'Q',  'Z',  '3',  '2',  'S',  'Z',  0x47, 0xCC};
    steps.push_back({probe, 9, '0'});
    steps.push_back({SetAddress(k1, 0x7C), 1, '0'});
    steps.push_back({{0x04, 0x00, 0x02, 0xC0}, 1027, '0'});
    steps.push_back({SetAddress(k2, 0x10), 1, '0'});
    for (std::size_t page = 0; page < 26; ++page) {
        Bytes keyed(image.begin() + static_cast<long>(page * 1024),
                    image.begin() + static_cast<long>((page + 1) * 1024));
        for (auto& b : keyed) {
            b ^= k2;
        }
        Bytes burst = {0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E};
        const Bytes block = WithCrc(keyed);
        burst.insert(burst.end(), block.begin(), block.end());
        steps.push_back({burst, 1, '0'});
        steps.push_back({{0x01, 0x01, 0xC0, 0x50}, 1, '0', 150});
    }
    steps.push_back({SetAddress(k2, 0x7C), 1, '0'});
    steps.push_back({{0x04, 0x00, 0x02, 0xC0}, 1027, '0'});

    CScriptedLoader loader(bench, steps);
    bench.Connect();
    loader.Start();
    ASSERT_TRUE(bench.RunUntil([&] { return loader.Done() || loader.Failed(); }, Ms(60'000)));
    ASSERT_FALSE(loader.Failed());

    // Before: the profile's 4.02 variant 25; after: the image's 4.10 variant 1.
    const Bytes& before = loader.ReplyOf(2);
    EXPECT_EQ(before[4] ^ k1, 4);
    EXPECT_EQ(before[5] ^ k1, 2);
    EXPECT_EQ(before[7] ^ k1, 25);
    const Bytes& after = loader.ReplyOf(steps.size() - 1);
    EXPECT_EQ(after[4] ^ k2, 4);
    EXPECT_EQ(after[5] ^ k2, 10);
    EXPECT_EQ(after[7] ^ k2, 1);

    const auto flash = bench.Esc().Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 26 * 1024, flash.begin() + 0x1000));
    EXPECT_EQ(bench.Esc().PagesProgrammed(), 26u);
    EXPECT_EQ(bench.Rec().CountBursts(Bytes{0xFE, 0x00}), 26u);
    EXPECT_EQ(bench.Rec().pauses.size(), 26u);
    // 26 pages of 1034 bytes at wire speed alone take more than 14.7 s of virtual time.
    EXPECT_GT(bench.Now(), 26 * 1034 * bench.ByteTimeNs());
}

TEST(BenchTransfer, APowerCutLeavesTheWrittenPagesAndSilence) {
    SBenchConfig cfg;
    cfg.esc.powerCutAfterPage = 3;
    cfg.esc.powerCutNs = Ms(2000);
    CBench bench(cfg);
    const uint8_t k = 0x21;
    std::vector<SStep> steps;
    steps.push_back({SetAddress(k, 0x10), 1, '0'});
    for (int page = 0; page < 5; ++page) {
        Bytes burst = {0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E};
        const Bytes block = WithCrc(Bytes(1024, static_cast<uint8_t>(0x10 + page)));
        burst.insert(burst.end(), block.begin(), block.end());
        steps.push_back({burst, 1, '0'});
        steps.push_back({{0x01, 0x01, 0xC0, 0x50}, 1, '0'});
    }
    CScriptedLoader loader(bench, steps);
    bench.Connect();
    loader.Start();
    ASSERT_TRUE(bench.RunUntil([&] { return loader.Failed(); }, Ms(30'000)));
    // The third program went unanswered: the loader gave up waiting there.
    EXPECT_EQ(bench.Rec().CountBursts(Bytes{0x01, 0x01}), 3u);
    const auto flash = bench.Esc().Flash();
    EXPECT_EQ(flash[0x1000], 0x10 ^ k);
    EXPECT_EQ(flash[0x1000 + 2 * 1024], 0x12 ^ k);
    EXPECT_EQ(flash[0x1000 + 3 * 1024], 0xFF);
    bench.RunFor(Ms(2000));
    EXPECT_TRUE(bench.Esc().PoweredAt(bench.Now()));
    EXPECT_EQ(bench.Esc().Key(), 0);
}

}  // namespace
}  // namespace quorvel::bench
