// The simulated ESC's answers to each exchange the line carries, its key and address
// handling, its flash, and its wire timing.

#include "sim/sim_esc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sim/crc16.h"
#include "sim/test_image.h"
#include "sim/tests/host_script.h"

namespace quorvel::sim {
namespace {

using testing::Block;
using testing::Bytes;
using testing::CHostScript;
using testing::kIdText;
using testing::kKeepAlive;
using testing::kProgram;
using testing::kReadInfo;
using testing::kSetBuffer;
using testing::kWakeUpProbe;
using testing::SetAddress;
using testing::ValuesOf;

Bytes Page(uint8_t seed) {
    Bytes p(kFlashPage);
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    }
    return p;
}

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

// Removes the key from a read-information reply and checks its framing.
std::array<uint8_t, kInfoSize> Unkey(const Bytes& reply, uint8_t key) {
    EXPECT_EQ(reply.size(), kInfoSize + 3);
    std::array<uint8_t, kInfoSize> info{};
    if (reply.size() != kInfoSize + 3) {
        return info;
    }
    const uint16_t crc = Crc16(std::span(reply).first(kInfoSize));
    EXPECT_EQ(reply[kInfoSize], crc & 0xFF);
    EXPECT_EQ(reply[kInfoSize + 1], crc >> 8);
    EXPECT_EQ(reply[kInfoSize + 2], '0');
    for (std::size_t i = 0; i < kInfoSize; ++i) {
        info[i] = static_cast<uint8_t>(reply[i] ^ key);
    }
    return info;
}

TEST(SimCrc, MatchesTheCheckValueAndTheFixedPackets) {
    const std::string check = "123456789";
    EXPECT_EQ(Crc16(Bytes(check.begin(), check.end())), 0xBB3D);
    EXPECT_EQ(Crc16(Bytes{}), 0);
    // Each fixed packet as the line carries it, CRC included.
    for (const Bytes& packet : {kKeepAlive, kReadInfo, kSetBuffer, kProgram}) {
        const uint16_t crc = Crc16(std::span(packet).first(packet.size() - 2));
        EXPECT_EQ(packet[packet.size() - 2], crc & 0xFF);
        EXPECT_EQ(packet.back(), crc >> 8);
    }
    const uint16_t probe = Crc16(std::span(kWakeUpProbe).subspan(10, 6));
    EXPECT_EQ(kWakeUpProbe[16], probe & 0xFF);
    EXPECT_EQ(kWakeUpProbe[17], probe >> 8);
}

// --- every exchange --------------------------------------------------------------------

// Each exchange from a fresh ESC that has first been handed key 0x5A for the
// information page; the echo always comes back whole before the reply.
struct SExchangeCase {
    const char* name;
    Bytes sent;
    Bytes reply;
};

TEST(SimExchange, AnswersEachExchangeAfterItsEcho) {
    const uint8_t k = 0x5A;
    const Bytes page = Page(7);
    Bytes keyed = page;
    for (auto& b : keyed) {
        b ^= k;
    }
    const SExchangeCase cases[] = {
        {"wake-up and probe", kWakeUpProbe, kIdText},
        {"set-address", SetAddress(k, 0x1000), {'0'}},
        {"keep-alive", kKeepAlive, {0xC1}},
        {"set-buffer and block", Concat(kSetBuffer, Block(keyed)), {'0'}},
        {"program", kProgram, {'0'}},
    };
    CHostScript host;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto x = host.Exchange(c.sent);
        EXPECT_EQ(x.EchoBytes(), c.sent);
        EXPECT_EQ(x.ReplyBytes(), c.reply);
    }
    EXPECT_TRUE(std::equal(page.begin(), page.end(), host.esc.Flash().begin() + 0x1000));
}

TEST(SimExchange, ReadInformationSendsTheKeyedBlockItsCrcAndZero) {
    SSimConfig cfg;
    cfg.appMajor = 4;
    cfg.appMinor = 2;
    cfg.variant = 101;
    CHostScript host(cfg);
    ASSERT_EQ(host.Reply(kWakeUpProbe), kIdText);
    const uint8_t k = 0xA7;
    ASSERT_EQ(host.Reply(SetAddress(k, kInfoAddress)), Bytes{'0'});
    const auto x = host.Exchange(kReadInfo);
    EXPECT_EQ(x.EchoBytes(), kReadInfo);
    const auto info = Unkey(x.ReplyBytes(), k);
    EXPECT_EQ(std::string(info.begin() + 8, info.begin() + 12), "f051");
    EXPECT_EQ(info[15], '4');
    EXPECT_EQ(info[23], 0);
    EXPECT_EQ(info[4], 4);
    EXPECT_EQ(info[5], 2);
    EXPECT_EQ(info[7], 101);
    const auto setup = DefaultSetupBlock();
    EXPECT_TRUE(std::equal(setup.begin(), setup.end(), info.begin() + 512));
    // The block the ESC reports is the one it would send, key aside.
    EXPECT_EQ(info, host.esc.InfoBlock());
}

TEST(SimExchange, ProbeIsAnsweredAtAnyTimeAndAfterOtherTraffic) {
    CHostScript host;
    EXPECT_EQ(host.Reply(kWakeUpProbe), kIdText);
    EXPECT_EQ(host.Reply(kKeepAlive), Bytes{0xC1});
    EXPECT_EQ(host.Reply(SetAddress(0x11, kInfoAddress)), Bytes{'0'});
    EXPECT_EQ(host.Reply(kWakeUpProbe), kIdText);
    EXPECT_EQ(host.esc.Count(ReplyKind::kIdentify), 2u);
}

// --- key and address -----------------------------------------------------------------

TEST(SimKey, EachSetAddressTeachesItsKeyAndAddress) {
    struct SCase {
        uint8_t key;
        uint32_t address;
    };
    const SCase cases[] = {{0x01, 0x1000}, {0x5A, 0x7800}, {0xFF, 0x7C00}, {0x7C, 0x7C00}};
    CHostScript host;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(host.Reply(SetAddress(c.key, c.address)), Bytes{'0'});
        EXPECT_EQ(host.esc.Key(), c.key);
        EXPECT_EQ(host.esc.Address(), c.address);
    }
}

TEST(SimKey, AnAddressOutsideTheFlashIsRefusedAndChangesNothing) {
    CHostScript host;
    ASSERT_EQ(host.Reply(SetAddress(0x22, 0x1000)), Bytes{'0'});
    // 0x8000: K K (K^0x80) K.
    EXPECT_EQ(host.Reply(SetAddress(0x33, 0x8000)), Bytes{0x31});
    EXPECT_EQ(host.esc.Key(), 0x22);
    EXPECT_EQ(host.esc.Address(), 0x1000u);
}

TEST(SimFlash, ProgramWritesUnkeyedPagesAndAdvancesTheAddress) {
    CHostScript host;
    const uint8_t k = 0x3C;
    ASSERT_EQ(host.Reply(SetAddress(k, kAppAddress)), Bytes{'0'});
    for (uint8_t n = 0; n < 3; ++n) {
        host.ProgramPage(k, Page(n));
        EXPECT_EQ(host.lastBlockReply, Bytes{'0'});
        EXPECT_EQ(host.lastProgramReply, Bytes{'0'});
        EXPECT_EQ(host.esc.Address(), kAppAddress + (n + 1u) * kFlashPage);
    }
    for (uint8_t n = 0; n < 3; ++n) {
        const Bytes page = Page(n);
        EXPECT_TRUE(std::equal(page.begin(), page.end(),
                               host.esc.Flash().begin() + kAppAddress + n * kFlashPage))
            << "page " << int{n};
    }
    EXPECT_EQ(host.esc.Flash()[kAppAddress + 3 * kFlashPage], 0xFF);  // untouched
    EXPECT_EQ(host.esc.PagesProgrammed(), 3u);

    // A new key and address: the next page goes to the setup page, unkeyed with the new key.
    const uint8_t k2 = 0xC5;
    ASSERT_EQ(host.Reply(SetAddress(k2, kSetupAddress)), Bytes{'0'});
    host.ProgramPage(k2, Page(9));
    ASSERT_EQ(host.lastProgramReply, Bytes{'0'});
    const Bytes setup = Page(9);
    EXPECT_TRUE(std::equal(setup.begin(), setup.end(), host.esc.Flash().begin() + kSetupAddress));
    // ... and the information block now carries its first 34 bytes.
    const auto info = host.esc.InfoBlock();
    EXPECT_TRUE(std::equal(setup.begin(), setup.begin() + 34, info.begin() + 512));
}

TEST(SimFlash, ProgramWithoutAGoodBlockOrAddressIsRefused) {
    CHostScript host;
    // Nothing buffered.
    ASSERT_EQ(host.Reply(SetAddress(0x10, kAppAddress)), Bytes{'0'});
    EXPECT_EQ(host.Reply(kProgram), Bytes{0x31});
    // A block whose CRC does not match is refused, and so is the program after it.
    Bytes bad = Block(Page(1));
    bad.back() ^= 0x01;
    EXPECT_EQ(host.Reply(Concat(kSetBuffer, bad)), Bytes{0x31});
    EXPECT_EQ(host.Reply(kProgram), Bytes{0x31});
    EXPECT_EQ(host.esc.PagesProgrammed(), 0u);
    EXPECT_TRUE(std::all_of(host.esc.Flash().begin() + kAppAddress,
                            host.esc.Flash().begin() + kAppAddress + kFlashPage,
                            [](uint8_t b) { return b == 0xFF; }));
}

TEST(SimFlash, ReportsTheVersionOfTheApplicationItHolds) {
    SSimConfig cfg;
    cfg.appMajor = 4;
    cfg.appMinor = 2;
    cfg.variant = 25;
    CHostScript host(cfg);
    EXPECT_EQ(host.esc.InfoBlock()[4], 4);
    EXPECT_EQ(host.esc.InfoBlock()[5], 2);
    EXPECT_EQ(host.esc.InfoBlock()[7], 25);

    const auto image = MakeImage101();  // 4.10, variant byte 0
    const uint8_t k = 0x6E;
    ASSERT_EQ(host.Reply(SetAddress(k, kAppAddress)), Bytes{'0'});
    for (uint32_t n = 0; n < kAppPages; ++n) {
        host.ProgramPage(k, std::span(image).subspan(n * kFlashPage, kFlashPage));
        ASSERT_EQ(host.lastProgramReply, Bytes{'0'}) << "page " << n;
    }
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + kAppPages * kFlashPage,
                           host.esc.Flash().begin() + kAppAddress));
    ASSERT_EQ(host.Reply(SetAddress(k, kInfoAddress)), Bytes{'0'});
    const auto info = Unkey(host.Reply(kReadInfo), k);
    EXPECT_EQ(info[4], 4);
    EXPECT_EQ(info[5], 10);
    EXPECT_EQ(info[7], 0);
}

TEST(SimFlash, PreloadedFlashIsWhatTheEscHolds) {
    CHostScript host;
    host.esc.LoadFlash(kAppAddress, MakeImage25());
    EXPECT_EQ(host.esc.ReportedMinor(), 10);
    EXPECT_EQ(host.esc.ReportedVariant(), 1);
    EXPECT_EQ(host.esc.Flash()[kAppAddress + 0x10], 'Q');
}

// --- the information block as configured ---------------------------------------------

TEST(SimInfo, BootTypesPutTheirCharacterAtByte15) {
    struct SCase {
        int bootType;
        char bootTypeChar;
        uint8_t byte15;
    };
    const SCase cases[] = {{1, 0, '2'}, {2, 0, '3'}, {3, 0, '4'}, {3, '1', '1'}, {3, '5', '5'}};
    for (const auto& c : cases) {
        SSimConfig cfg;
        cfg.bootType = c.bootType;
        cfg.bootTypeChar = c.bootTypeChar;
        CSimEsc esc(cfg);
        const auto info = esc.InfoBlock();
        EXPECT_EQ(info[15], c.byte15) << c.bootType << " " << c.bootTypeChar;
        EXPECT_EQ(std::string(info.begin() + 8, info.begin() + 12), "f051");
        EXPECT_EQ(info[23], 0);
    }
}

TEST(SimInfo, InvalidBlocksAsConfigured) {
    SSimConfig upper;
    upper.bootText = "F051bl-4.02";
    SSimConfig wrong;
    wrong.bootText = "f052bl-4.02";
    SSimConfig byte23;
    byte23.byte23 = 0x20;
    SSimConfig longText;  // fills 8..22 without a terminator
    longText.bootText = "f051bl-4.02abcd";

    EXPECT_EQ(CSimEsc(upper).InfoBlock()[8], 'F');
    EXPECT_EQ(CSimEsc(wrong).InfoBlock()[11], '2');
    EXPECT_EQ(CSimEsc(byte23).InfoBlock()[23], 0x20);
    const auto info = CSimEsc(longText).InfoBlock();
    EXPECT_EQ(std::string(info.begin() + 8, info.begin() + 23), "f051bl-4.02abcd");
    EXPECT_EQ(info[23], 0);
}

TEST(SimInfo, BadInfoCrcBreaksOnlyTheCrc) {
    SSimConfig cfg;
    cfg.badInfoCrc = true;
    CHostScript host(cfg);
    ASSERT_EQ(host.Reply(SetAddress(0x42, kInfoAddress)), Bytes{'0'});
    const Bytes reply = host.Reply(kReadInfo);
    ASSERT_EQ(reply.size(), kInfoSize + 3);
    const uint16_t crc = Crc16(std::span(reply).first(kInfoSize));
    const uint16_t sent = static_cast<uint16_t>(reply[kInfoSize] | reply[kInfoSize + 1] << 8);
    EXPECT_NE(sent, crc);
    EXPECT_EQ(reply.back(), '0');
}

// --- decoding ------------------------------------------------------------------------

TEST(SimDecode, WhatItCannotDecodeGetsNoReplyAndTheNextCommandDoes) {
    struct SCase {
        const char* name;
        Bytes garbage;
    };
    const SCase cases[] = {
        {"keep-alive with a bad CRC", {0xFD, 0x00, 0x40, 0x91}},
        {"read-information with a wrong second byte", {0x04, 0x01, 0x02, 0xC0}},
        {"probe text with one letter wrong", {'Q', 'Z', '3', '2', 'S', 'Y', 0x47, 0xCC}},
        {"set-buffer with a length other than 1024",
         testing::WithCrc({0xFE, 0x00, 0x00, 0x00, 0x02, 0x00})},
        {"bytes that start no command", {0x55, 0xAA, 0x30, 0xC1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CHostScript host;
        const auto x = host.Exchange(c.garbage);
        EXPECT_EQ(x.EchoBytes(), c.garbage);
        EXPECT_TRUE(x.reply.empty());
        EXPECT_EQ(host.Reply(kKeepAlive), Bytes{0xC1});
    }
}

TEST(SimDecode, WakeUpDropsAPartialCommand) {
    CHostScript host;
    // Half a set-address, then the wake-up and probe: only the probe is answered.
    const Bytes half = {0xFF, 0x00, 0x12, 0x12};
    EXPECT_EQ(host.Reply(Concat(half, kWakeUpProbe)), kIdText);
    EXPECT_FALSE(host.esc.Address().has_value());
}

TEST(SimDecode, APauseInsideABlockResetsTheDecoder) {
    CHostScript host;
    ASSERT_EQ(host.Reply(SetAddress(0x10, kAppAddress)), Bytes{'0'});
    const Bytes block = Block(Page(3));
    // The set-buffer and half the block, then the host gives up for 100 ms ...
    host.Send(Concat(kSetBuffer, Bytes(block.begin(), block.begin() + 500)));
    EXPECT_EQ(host.Drain().size(), 508u);  // echo only
    host.now += 100 * kNsPerMs;
    // ... and goes on with keep-alives, which must not vanish into the block.
    EXPECT_EQ(host.Reply(kKeepAlive), Bytes{0xC1});
    EXPECT_EQ(host.esc.Count(ReplyKind::kSetBuffer), 0u);
}

TEST(SimDecode, WakeUpPatternInsideABlockIsData) {
    CHostScript host;
    ASSERT_EQ(host.Reply(SetAddress(0x00, kAppAddress)), Bytes{'0'});
    Bytes page(kFlashPage, 0x00);
    page[100] = 0x0D;  // nine zeros and 0D well inside the block
    host.ProgramPage(0x00, page);
    EXPECT_EQ(host.lastBlockReply, Bytes{'0'});
    EXPECT_EQ(host.lastProgramReply, Bytes{'0'});
    EXPECT_EQ(host.esc.Flash()[kAppAddress + 100], 0x0D);
}

// --- timing --------------------------------------------------------------------------

TEST(SimWire, ByteTimesFollowTheLineSettings) {
    struct SCase {
        SWireFormat wire;
        uint64_t ns;
    };
    const SCase cases[] = {
        {{19200, 8, false, 3}, 546'875},  // 10.5 bit-times
        {{19200, 8, false, 2}, 520'833},  // 10 bit-times
        {{115200, 8, true, 4}, 104'167},  // 12 bit-times
        {{9600, 7, false, 2}, 937'500},   // 9 bit-times
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.wire.ByteTimeNs(), c.ns) << c.wire.baud;
        SSimConfig cfg;
        cfg.wire = c.wire;
        EXPECT_EQ(CSimEsc(cfg).ByteTimeNs(), c.ns);
    }
}

TEST(SimWire, EchoEndsWithEachByteAndTheReplyFollowsAfterTheProcessingTime) {
    SSimConfig cfg;
    cfg.replyDelayNs = 3 * kNsPerMs;
    CHostScript host(cfg);
    const uint64_t bt = host.ByteNs();
    const uint64_t start = host.now;
    const auto x = host.Exchange(kWakeUpProbe);
    ASSERT_EQ(x.echo.size(), 18u);
    for (std::size_t i = 0; i < x.echo.size(); ++i) {
        EXPECT_EQ(x.echo[i].tNs, start + (i + 1) * bt) << i;
    }
    ASSERT_EQ(x.reply.size(), 9u);
    for (std::size_t i = 0; i < x.reply.size(); ++i) {
        EXPECT_EQ(x.reply[i].tNs, x.lastSentNs + 3 * kNsPerMs + (i + 1) * bt) << i;
    }
}

TEST(SimWire, ProgrammingTakesItsOwnTime) {
    SSimConfig cfg;
    cfg.replyDelayNs = 1 * kNsPerMs;
    cfg.programDelayNs = 35 * kNsPerMs;
    CHostScript host(cfg);
    ASSERT_EQ(host.Reply(SetAddress(0x10, kAppAddress)), Bytes{'0'});
    const auto buf = host.Exchange(Concat(kSetBuffer, Block(Page(0))));
    ASSERT_EQ(buf.reply.size(), 1u);
    EXPECT_EQ(buf.reply[0].tNs, buf.lastSentNs + 1 * kNsPerMs + host.ByteNs());
    const auto prog = host.Exchange(kProgram);
    ASSERT_EQ(prog.reply.size(), 1u);
    EXPECT_EQ(prog.reply[0].tNs, prog.lastSentNs + 35 * kNsPerMs + host.ByteNs());
}

TEST(SimWire, TheInformationReplyGoesOutBackToBack) {
    CHostScript host;
    ASSERT_EQ(host.Reply(SetAddress(0x10, kInfoAddress)), Bytes{'0'});
    const auto x = host.Exchange(kReadInfo);
    ASSERT_EQ(x.reply.size(), kInfoSize + 3);
    for (std::size_t i = 1; i < x.reply.size(); ++i) {
        ASSERT_EQ(x.reply[i].tNs - x.reply[i - 1].tNs, host.ByteNs()) << i;
    }
}

TEST(SimWire, OutputNeverOverlapsAndComesOutInTimeOrder) {
    // The host sends a keep-alive while the reply to read-information is still going out:
    // the echo waits for the wire instead of landing on top of a reply byte.
    CHostScript host;
    ASSERT_EQ(host.Reply(SetAddress(0x10, kInfoAddress)), Bytes{'0'});
    host.Send(kReadInfo);
    host.now += 10 * kNsPerMs;
    host.Send(kKeepAlive);
    const auto out = host.Drain();
    ASSERT_EQ(out.size(), 4 + kInfoSize + 3 + 4 + 1);
    for (std::size_t i = 1; i < out.size(); ++i) {
        ASSERT_GE(out[i].tNs, out[i - 1].tNs + host.ByteNs()) << i;
    }
    EXPECT_EQ(out.back().b, 0xC1);
}

TEST(SimWire, TakeOutputUntilHandsOutOnlyWhatIsDue) {
    CHostScript host;
    const uint64_t bt = host.ByteNs();
    host.Send(kKeepAlive);
    ASSERT_EQ(host.esc.NextOutputTime(), bt);
    EXPECT_EQ(ValuesOf(host.esc.TakeOutputUntil(2 * bt)), (Bytes{0xFD, 0x00}));
    EXPECT_EQ(host.esc.NextOutputTime(), 3 * bt);
    EXPECT_TRUE(host.esc.TakeOutputUntil(3 * bt - 1).empty());
    EXPECT_EQ(host.esc.PendingOutput(), 3u);
}

// --- log -----------------------------------------------------------------------------

TEST(SimLog, OneLinePerExchange) {
    CHostScript host;
    std::vector<std::string> sunk;
    host.esc.SetLogSink([&](const std::string& line) { sunk.push_back(line); });
    host.Reply(kWakeUpProbe);
    host.Reply(SetAddress(0x5A, kInfoAddress));
    host.Reply(kKeepAlive);
    const auto& log = host.esc.Log();
    const auto has = [&](const std::string& text) {
        return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("probe -> \"CPU-F0510\""));
    EXPECT_TRUE(has("set-address 0x7C00 key=0x5A -> '0'"));
    EXPECT_TRUE(has("keep-alive -> 0xC1"));
    EXPECT_EQ(log.front().rfind("t=0.000ms power on", 0), 0u) << log.front();
    EXPECT_EQ(sunk, log);
}

}  // namespace
}  // namespace quorvel::sim
