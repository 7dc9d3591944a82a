#include <gtest/gtest.h>

#include "link/crc.h"
#include "link/link.h"
#include "link/tests/link_test_util.h"

namespace quorvel {
namespace {

using testing::Bytes;
using testing::RecordingSink;
using testing::Text;
using testing::WithCrc;

TEST(Crc16, KnownValues) {
    EXPECT_EQ(Crc16(Text("123456789")), 0xBB3D);
    EXPECT_EQ(Crc16(Bytes{}), 0x0000);
    // One step by hand: 0x01 -> 0xC0C1 is the classic ARC table entry 1.
    EXPECT_EQ(Crc16Step(0, 0x01), 0xC0C1);
}

TEST(PacketTables, StoredCrcPairsMatchRecomputedOnes) {
    const SPacketTables t = InitialPacketTables();
    for (int row : {kRowKeepAlive, kRowReadInfo, kRowSetBufferApp, kRowProgramApp,
                    kRowSetBufferSetup, kRowProgramSetup}) {
        const SCmdPacket& p = t.g_cmdTable[row];
        const uint16_t crc = Crc16(std::span<const uint8_t>(p.data.data(), p.len - 2u));
        EXPECT_EQ(p.data[p.len - 2u], crc & 0xFF) << "row " << row;
        EXPECT_EQ(p.data[p.len - 1u], crc >> 8) << "row " << row;
    }
    const SCmdPacket& probe = t.g_cmdTable[kRowProbe];
    const uint16_t probeCrc = Crc16(std::span<const uint8_t>(probe.data.data() + 1, 6));
    EXPECT_EQ(probe.data[7], probeCrc & 0xFF);
    EXPECT_EQ(probe.data[8], probeCrc >> 8);
}

TEST(PacketTables, LengthsAndReplies) {
    const SPacketTables t = InitialPacketTables();
    EXPECT_EQ(t.g_cmdTable[kRowSetAddressLen].len, 8);
    EXPECT_EQ(t.g_replyTable[kRowProbe].len, 9);
    EXPECT_EQ(
        Bytes(t.g_replyTable[kRowProbe].data.begin(), t.g_replyTable[kRowProbe].data.begin() + 9),
        Text("CPU-F0510"));
    EXPECT_EQ(t.g_replyTable[kRowKeepAlive].data[0], 0xC1);
    for (int row : {kRowSetAddressLen, kRowSetBufferApp, kRowProgramApp, kRowSetBufferSetup,
                    kRowProgramSetup}) {
        EXPECT_EQ(t.g_replyTable[row].len, 1);
        EXPECT_EQ(t.g_replyTable[row].data[0], '0');
    }
    for (const SCmdPacket& a : t.g_addrTable)
        EXPECT_EQ(a.len, 8);
}

struct WireCase {
    const char* name;
    int row;
    Bytes wire;
};

TEST(SendPacket, CommandRowsGoOutWithRecomputedCrc) {
    const WireCase cases[] = {
        {"keep-alive", kRowKeepAlive, {0xFD, 0x00, 0x40, 0x90}},
        {"read-information", kRowReadInfo, {0x04, 0x00, 0x02, 0xC0}},
        {"set-buffer", kRowSetBufferApp, {0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E}},
        {"program", kRowProgramApp, {0x01, 0x01, 0xC0, 0x50}},
        {"set-buffer (setup)",
         kRowSetBufferSetup,
         {0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E}},
        {"program (setup)", kRowProgramSetup, {0x01, 0x01, 0xC0, 0x50}},
    };
    for (const WireCase& c : cases) {
        CLink link;
        // The stored pair is never sent: spoil it and the wire must not change.
        link.t.g_cmdTable[c.row].data[link.t.g_cmdTable[c.row].len - 1u] ^= 0xFF;
        RecordingSink sink;
        link.SendCommandRow(sink, c.row);
        EXPECT_EQ(sink.wire, c.wire) << c.name;
        ASSERT_EQ(sink.calls.size(), 2u) << c.name << ": bytes, then their CRC";
        EXPECT_EQ(sink.calls[1].size(), 2u) << c.name;
    }
}

TEST(SendPacket, WakeUpIsTenRawBytesAndProbeDropsTheLeadingFf) {
    CLink link;
    RecordingSink sink;
    link.SendWakeUpAndProbe(sink);
    const Bytes expected =
        testing::Cat({{0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0D}, WithCrc(Text("QZ32SZ"))});
    EXPECT_EQ(sink.wire, expected);
    EXPECT_EQ(sink.wire.size(), 18u);
    EXPECT_EQ(sink.calls[0].size(), 10u);
}

TEST(SendPacket, AddressRowsCarryTheKey) {
    struct Case {
        int row;
        uint8_t high;
    };
    for (const Case c :
         {Case{kAddrApplication, 0x10}, Case{kAddrSetupPage, 0x78}, Case{kAddrInfoPage, 0x7C}}) {
        for (uint8_t key : {uint8_t{0x01}, uint8_t{0x5A}, uint8_t{0xFF}}) {
            CLink link;
            link.s.g_key = key;
            RecordingSink sink;
            link.SendAddressRow(sink, c.row);
            const uint8_t k = key;
            EXPECT_EQ(sink.wire, WithCrc({0xFF, 0x00, k, k, static_cast<uint8_t>(k ^ c.high), k}))
                << "row " << c.row << " key " << int{key};
        }
    }
}

TEST(KeyAddressRow, LaterKeyReplacesEarlierOneAndKeepsTheCommandBytes) {
    CLink link;
    link.KeyAddressRow(kAddrInfoPage, 0x11);
    link.KeyAddressRow(kAddrInfoPage, 0xA0);
    const auto& d = link.t.g_addrTable[kAddrInfoPage].data;
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 6), (Bytes{0xFF, 0x00, 0xA0, 0xA0, 0xA0 ^ 0x7C, 0xA0}));
    // The other rows are untouched.
    EXPECT_EQ(link.t.g_addrTable[kAddrApplication].data[2], 0x00);
}

TEST(SendPacket, BlockGoesOutWithItsOwnCrcAfterSetBuffer) {
    CLink link;
    Bytes block(1024);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 3);
    RecordingSink sink;
    link.SendSetBuffer(sink, kRowSetBufferApp, block);
    ASSERT_EQ(sink.wire.size(), 8u + 1026u);
    EXPECT_EQ(Bytes(sink.wire.begin() + 8, sink.wire.end()), WithCrc(block));
    EXPECT_EQ(link.s.g_crc, Crc16(block));
}

TEST(WriteComm, AccumulatesBeforeWritingEvenWhenTheWriteFails) {
    const Bytes bytes = Text("123456789");
    for (bool fail : {false, true}) {
        CLink link;
        RecordingSink sink;
        sink.fail = fail;
        link.s.g_crc = 0;
        const std::size_t n = link.WriteComm(sink, bytes, true);
        EXPECT_EQ(n, fail ? 0u : bytes.size());
        EXPECT_EQ(link.s.g_crc, 0xBB3D) << "fail=" << fail;
    }
    CLink link;
    RecordingSink sink;
    link.s.g_crc = 0x1234;
    link.WriteComm(sink, bytes, false);
    EXPECT_EQ(link.s.g_crc, 0x1234);
}

TEST(SendPacket, FailedWritesStillSendTheCrcOfTheBytes) {
    CLink link;
    RecordingSink sink;
    sink.fail = true;
    link.SendCommandRow(sink, kRowKeepAlive);
    EXPECT_EQ(sink.wire, (Bytes{0xFD, 0x00, 0x40, 0x90}));
}

}  // namespace
}  // namespace quorvel
