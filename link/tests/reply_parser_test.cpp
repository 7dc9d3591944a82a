#include <gtest/gtest.h>

#include <algorithm>

#include "link/crc.h"
#include "link/link.h"
#include "link/tests/link_test_util.h"

namespace quorvel {
namespace {

using testing::Bytes;
using testing::Cat;
using testing::QueueSource;
using testing::Text;

const Bytes kProbeEcho = Cat({Bytes(9, 0x00), {0x0D}, testing::WithCrc(Text("QZ32SZ"))});
const Bytes kIdent = Text("CPU-F0510");
const Bytes kAddrEcho = testing::WithCrc({0xFF, 0x00, 0x5A, 0x5A, 0x5A ^ 0x7C, 0x5A});
const Bytes kReadInfoEcho = {0x04, 0x00, 0x02, 0xC0};
const Bytes kProgramEcho = {0x01, 0x01, 0xC0, 0x50};

CLink LinkIn(int32_t mode, int32_t step) {
    CLink link;
    link.s.g_rxMode = mode;
    link.s.g_txStep = step;
    return link;
}

// Feeds the bytes in chunks of the given size, as separate notifications would.
void Feed(CLink& link, const Bytes& bytes, std::size_t chunk) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t n = std::min(chunk, bytes.size() - at);
        link.ParseReply(std::span<const uint8_t>(bytes.data() + at, n));
    }
}

// An information reply: echo, the keyed block, its CRC low byte first.
Bytes InfoReply(bool swapCrc = false) {
    Bytes block(1024);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i ^ 0x5A);
    const uint16_t crc = Crc16(block);
    uint8_t lo = crc & 0xFF, hi = crc >> 8;
    if (swapCrc)
        std::swap(lo, hi);
    return Cat({kReadInfoEcho, block, {lo, hi}});
}

struct ParseCase {
    const char* name;
    int32_t mode;
    int32_t step;
    Bytes bytes;
    bool replyOk;
};

// Every case is also fed split at every chunk size, so no rule depends on where the
// notifications happen to cut the stream.
TEST(ReplyParser, RulesByModeAndStep) {
    const Bytes info = InfoReply();
    const Bytes echoAndBlock(kBlockEchoLen, 0x55);
    const ParseCase cases[] = {
        {"identification after the probe echo", kRxIdentify, 0, Cat({kProbeEcho, kIdent}), true},
        {"identification with a wrong last byte", kRxIdentify, 0,
         Cat({kProbeEcho, Text("CPU-F0511")}), false},
        {"a wrong identification cannot be rescued later", kRxIdentify, 0,
         Cat({Text("CPU-F0511"), kIdent}), false},
        {"identification while mode 1 ignores the step", kRxIdentify, kStepReadInfo,
         Cat({kProbeEcho, kIdent}), true},
        {"set-address acknowledged as the ninth byte", kRxHandshake, kStepSetAddress,
         Cat({kAddrEcho, {'0'}}), true},
        {"set-address: a '0' one byte late is not seen", kRxHandshake, kStepSetAddress,
         Cat({kAddrEcho, {0x31, '0'}}), false},
        {"transfer set-address acknowledged", kRxTransfer, kStepSetAddress, Cat({kAddrEcho, {'0'}}),
         true},
        {"information block, noise, then '0'", kRxHandshake, kStepReadInfo,
         Cat({info, {0x11, 0xFF, 0x00}, {'0'}}), true},
        {"information block with its CRC bytes swapped", kRxHandshake, kStepReadInfo,
         Cat({InfoReply(true), {'0'}}), false},
        {"information block without the closing '0'", kRxHandshake, kStepReadInfo, info, false},
        {"keep-alive reply as the last byte", kRxKeepAlive, 0,
         Cat({{0xFD, 0x00, 0x40, 0x90}, {0xC1}}), true},
        {"keep-alive echo alone", kRxKeepAlive, 0, {0xFD, 0x00, 0x40, 0x90}, false},
        {"set-buffer: the 1032nd byte is counted even if it is '0'", kRxTransfer, kStepAppBlock,
         Bytes(kBlockEchoLen, '0'), false},
        {"set-buffer: '0' after 1032 counted bytes", kRxTransfer, kStepAppBlock,
         Cat({echoAndBlock, {0x12, 0x34, '0'}}), true},
        {"setup page: '0' after 1032 counted bytes", kRxTransfer, kStepSetupBlock,
         Cat({echoAndBlock, {'0'}}), true},
        {"set-buffer: any number of other bytes after the count", kRxTransfer, kStepAppBlock,
         Cat({echoAndBlock, Bytes(3000, 0x31)}), false},
        {"program: '0' after the four echoed bytes", kRxTransfer, kStepAppProgram,
         Cat({kProgramEcho, {'0'}}), true},
        {"program: '0' inside the first four bytes is not seen",
         kRxTransfer,
         kStepAppProgram,
         {'0', '0', '0', '0'},
         false},
        {"final program", kRxTransfer, kStepSetupProgram, Cat({kProgramEcho, {'0'}}), true},
        {"mode 0 drops everything", kRxNone, 0, Cat({kProbeEcho, kIdent, {0xC1, '0'}}), false},
        {"handshake with a step it does not know", kRxHandshake, kStepAppBlock,
         Cat({kAddrEcho, {'0', 0xC1}}), false},
        {"transfer with the read-information step", kRxTransfer, kStepReadInfo,
         Cat({kReadInfoEcho, Bytes(2000, '0')}), false},
        {"an unknown mode", 9, 3, Cat({kAddrEcho, {'0', 0xC1}}), false},
    };
    for (const ParseCase& c : cases) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{8}, std::size_t{9},
                                  std::size_t{511}, std::size_t{512}, c.bytes.size()}) {
            if (chunk == 0)
                continue;
            CLink link = LinkIn(c.mode, c.step);
            Feed(link, c.bytes, chunk);
            EXPECT_EQ(link.s.g_replyOk, c.replyOk ? 1 : 0) << c.name << ", chunk " << chunk;
        }
    }
}

TEST(ReplyParser, IdentificationSplitAtEveryPoint) {
    const Bytes stream = Cat({kProbeEcho, kIdent});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        CLink link = LinkIn(kRxIdentify, 0);
        link.ParseReply(std::span<const uint8_t>(stream.data(), cut));
        link.ParseReply(std::span<const uint8_t>(stream.data() + cut, stream.size() - cut));
        EXPECT_EQ(link.s.g_replyOk, 1) << "cut at " << cut;
    }
}

TEST(ReplyParser, FailedIdentificationDropsTheRestOfItsNotification) {
    CLink link = LinkIn(kRxIdentify, 0);
    link.ParseReply(Cat({Text("CPU-F0511"), kIdent}));
    EXPECT_EQ(link.s.g_rxLen, 9) << "the bytes after the ninth are dropped";
    link.ParseReply(kIdent);
    EXPECT_EQ(link.s.g_rxLen, 18) << "later notifications append";
    EXPECT_EQ(link.s.g_replyOk, 0);
    // A sender's reset makes a match possible again.
    link.s.g_rxLen = 0;
    link.ParseReply(kIdent);
    EXPECT_EQ(link.s.g_replyOk, 1);
}

TEST(ReplyParser, InformationBytesAfterTheClosingZeroAreStillStored) {
    CLink link = LinkIn(kRxHandshake, kStepReadInfo);
    const Bytes reply = InfoReply();
    link.ParseReply(Cat({reply, {0x22, '0', 0x77, 0x88}}));
    EXPECT_EQ(link.s.g_replyOk, 1);
    EXPECT_EQ(link.s.g_rxLen, 1031 + 2);
    EXPECT_EQ(link.s.g_rxBuf[1030], '0');
    EXPECT_EQ(link.s.g_rxBuf[1031], 0x77);
    EXPECT_EQ(link.s.g_rxBuf[1032], 0x88);
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), link.s.g_rxBuf.begin()));
}

TEST(ReplyParser, KeepAliveStoresNothing) {
    CLink link = LinkIn(kRxKeepAlive, 0);
    link.s.g_rxLen = 5;
    link.ParseReply(Bytes{0xFD, 0x00, 0x40, 0x90, 0xC1, 0xC1});
    EXPECT_EQ(link.s.g_replyOk, 1);
    EXPECT_EQ(link.s.g_rxLen, 5);
}

TEST(ReplyParser, NeverWritesPastTheReplyBuffer) {
    // Every storing rule keeps appending after its test until a sender resets g_rxLen.
    const ParseCase cases[] = {
        {"identification", kRxIdentify, 0, Cat({kIdent, Bytes(5000, 'C')}), true},
        {"set-address", kRxHandshake, kStepSetAddress, Bytes(5000, '0'), true},
        {"information", kRxHandshake, kStepReadInfo, Cat({InfoReply(), {'0'}, Bytes(5000, 0xEE)}),
         true},
    };
    for (const ParseCase& c : cases) {
        CLink link = LinkIn(c.mode, c.step);
        link.s.g_rxBuf.fill(0);
        Feed(link, c.bytes, 512);
        EXPECT_EQ(link.s.g_replyOk, 1) << c.name;
        EXPECT_EQ(link.s.g_rxLen, kRxBufSize) << c.name;
    }
}

TEST(CommNotify, ReadsAtMost512AndCarriesTheRestOver) {
    CLink link = LinkIn(kRxTransfer, kStepAppBlock);
    QueueSource source;
    source.Push(Bytes(600, 0x55));
    EXPECT_EQ(link.OnCommNotify(source, true, kEvRxChar, 600), 512u);
    EXPECT_EQ(link.s.g_rxLen, 512);
    EXPECT_EQ(source.queue.size(), 88u);
    source.Push(Bytes(kBlockEchoLen - 600, 0x55));
    source.Push({'0'});
    const auto left = static_cast<uint32_t>(source.queue.size());
    ASSERT_EQ(left, 88u + 433u);
    EXPECT_EQ(link.OnCommNotify(source, true, kEvRxChar, left), 512u);
    EXPECT_EQ(link.s.g_replyOk, 0) << "the '0' is still queued";
    EXPECT_EQ(link.OnCommNotify(source, true, kEvRxChar, 9), 9u);
    EXPECT_EQ(link.s.g_replyOk, 1);
    EXPECT_EQ(source.asked, (std::vector<std::size_t>{512, 512, 9}));
}

TEST(CommNotify, ReadsNothingWhenClosedOrWithoutTheReceiveBit) {
    struct Case {
        bool open;
        uint32_t mask;
    };
    for (const Case c : {Case{false, kEvRxChar}, Case{true, 0}, Case{true, 0x0004}}) {
        CLink link = LinkIn(kRxKeepAlive, 0);
        QueueSource source;
        source.Push({0xC1});
        EXPECT_EQ(link.OnCommNotify(source, c.open, c.mask, 1), 0u);
        EXPECT_TRUE(source.reads.empty()) << "nothing is read";
        EXPECT_EQ(link.s.g_replyOk, 0);
    }
}

TEST(CommNotify, ASourceThatDeliversNothingChangesNothing) {
    CLink link = LinkIn(kRxHandshake, kStepSetAddress);
    QueueSource empty;
    EXPECT_EQ(link.OnCommNotify(empty, true, kEvRxChar, 40), 0u);
    EXPECT_EQ(link.s.g_rxLen, 0);
    EXPECT_EQ(empty.asked, (std::vector<std::size_t>{40}));
}

}  // namespace
}  // namespace quorvel
