// Faults and power: every kind of reply missing, late, wrong or after noise; the n-th
// only; no ESC; late power-on; a power cut in the middle of a transfer.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "sim/sim_esc.h"
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
using testing::SExchange;

Bytes BufferAndBlock() {
    Bytes b = kSetBuffer;
    const Bytes page(kFlashPage, 0x77);
    const Bytes block = Block(page);
    b.insert(b.end(), block.begin(), block.end());
    return b;
}

SReplyFault Fault(ReplyKind kind, FaultAction action) {
    SReplyFault f;
    f.kind = kind;
    f.action = action;
    return f;
}

// How to reach each kind of reply: what goes before it, and the exchange itself.
struct SKindScript {
    ReplyKind kind;
    std::vector<Bytes> before;
    Bytes trigger;
};

std::vector<SKindScript> KindScripts() {
    const Bytes addr = SetAddress(0x5A, kAppAddress);
    return {
        {ReplyKind::kIdentify, {}, kWakeUpProbe},
        {ReplyKind::kSetAddress, {}, addr},
        {ReplyKind::kReadInfo, {addr}, kReadInfo},
        {ReplyKind::kKeepAlive, {}, kKeepAlive},
        {ReplyKind::kSetBuffer, {addr}, BufferAndBlock()},
        {ReplyKind::kProgram, {addr, BufferAndBlock()}, kProgram},
    };
}

SExchange RunScript(const SKindScript& s, const SSimConfig& cfg) {
    CHostScript host(cfg);
    for (const auto& b : s.before) {
        host.Exchange(b);
    }
    return host.Exchange(s.trigger);
}

TEST(SimFaults, EachActionOnEachKindOfReply) {
    for (const auto& script : KindScripts()) {
        SCOPED_TRACE(std::string(ReplyKindName(script.kind)));
        const SExchange normal = RunScript(script, {});
        ASSERT_FALSE(normal.reply.empty());

        SSimConfig missing;
        missing.faults.push_back(Fault(script.kind, FaultAction::kMissing));
        const SExchange m = RunScript(script, missing);
        EXPECT_EQ(m.EchoBytes(), script.trigger);
        EXPECT_TRUE(m.reply.empty());

        SSimConfig late;
        late.faults.push_back(Fault(script.kind, FaultAction::kLate));
        late.faults.back().lateNs = 50 * kNsPerMs;
        const SExchange l = RunScript(script, late);
        EXPECT_EQ(l.ReplyBytes(), normal.ReplyBytes());
        EXPECT_EQ(l.reply.front().tNs, normal.reply.front().tNs + 50 * kNsPerMs);

        SSimConfig wrong;
        wrong.faults.push_back(Fault(script.kind, FaultAction::kWrong));
        wrong.faults.back().byte = 0x35;
        Bytes expected = normal.ReplyBytes();
        expected.back() = 0x35;
        EXPECT_EQ(RunScript(script, wrong).ReplyBytes(), expected);

        SSimConfig noise;
        noise.faults.push_back(Fault(script.kind, FaultAction::kNoise));
        noise.faults.back().noise = {0x00, 0xAA, 0x30};
        expected = {0x00, 0xAA, 0x30};
        const Bytes n = normal.ReplyBytes();
        expected.insert(expected.end(), n.begin(), n.end());
        EXPECT_EQ(RunScript(script, noise).ReplyBytes(), expected);
    }
}

TEST(SimFaults, OnlyTheChosenRepliesOfAKindAreHit) {
    struct SCase {
        uint32_t nth;
        uint32_t repeat;
        std::vector<bool> answered;  // keep-alives 1 to 6
    };
    const SCase cases[] = {
        {0, 1, {false, false, false, false, false, false}},
        {2, 1, {true, false, true, true, true, true}},
        {2, 3, {true, false, false, false, true, true}},
        {4, 0, {true, true, true, false, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "nth " << c.nth << " repeat " << c.repeat);
        SSimConfig cfg;
        cfg.faults.push_back(Fault(ReplyKind::kKeepAlive, FaultAction::kMissing));
        cfg.faults.back().nth = c.nth;
        cfg.faults.back().repeat = c.repeat;
        CHostScript host(cfg);
        for (std::size_t i = 0; i < c.answered.size(); ++i) {
            EXPECT_EQ(host.Reply(kKeepAlive), c.answered[i] ? Bytes{0xC1} : Bytes{}) << i + 1;
        }
        EXPECT_EQ(host.esc.Count(ReplyKind::kKeepAlive), c.answered.size());
    }
}

TEST(SimFaults, WrongIdentificationText) {
    SSimConfig cfg;
    cfg.idText = "CPU-F0511";
    CHostScript host(cfg);
    const Bytes expected = {'C', 'P', 'U', '-', 'F', '0', '5', '1', '1'};
    EXPECT_EQ(host.Reply(kWakeUpProbe), expected);
}

// --- power -----------------------------------------------------------------------------

TEST(SimPower, WithoutAnEscTheBusStillEchoesUnlessToldOtherwise) {
    struct SCase {
        bool echo;
        std::size_t bytesBack;
    };
    for (const SCase c : {SCase{true, 18}, SCase{false, 0}}) {
        SSimConfig cfg;
        cfg.present = false;
        cfg.echoWhenUnpowered = c.echo;
        CHostScript host(cfg);
        const auto x = host.Exchange(kWakeUpProbe);
        EXPECT_EQ(x.echo.size() + x.reply.size(), c.bytesBack);
        EXPECT_TRUE(x.reply.empty());
        EXPECT_EQ(host.esc.Boots(), 0u);
    }
}

TEST(SimPower, AnEscPoweredLaterAnswersOnlyFromThen) {
    SSimConfig cfg;
    cfg.powerOnAtNs = 500 * kNsPerMs;
    CHostScript host(cfg);
    EXPECT_TRUE(host.Reply(kWakeUpProbe).empty());
    EXPECT_FALSE(host.esc.PoweredAt(host.now));
    host.now = 500 * kNsPerMs;
    EXPECT_EQ(host.Reply(kWakeUpProbe), kIdText);
    EXPECT_EQ(host.esc.Boots(), 1u);
}

TEST(SimPower, SwitchingOffDropsRepliesNotYetSent) {
    CHostScript host;
    ASSERT_EQ(host.Reply(SetAddress(0x10, kInfoAddress)), Bytes{'0'});
    const uint64_t end = host.Send(kReadInfo);
    // 100 ms into the 560 ms information reply the ESC loses power.
    host.esc.SetPowered(false, end + 100 * kNsPerMs);
    const auto out = host.Drain();
    ASSERT_GT(out.size(), 4u);
    EXPECT_LT(out.size(), 4 + kInfoSize + 3);
    EXPECT_LE(out.back().tNs, end + 100 * kNsPerMs);
    EXPECT_TRUE(host.Reply(kKeepAlive).empty());
    host.esc.SetPowered(true, host.now);
    EXPECT_EQ(host.Reply(kKeepAlive), Bytes{0xC1});
    EXPECT_EQ(host.esc.Boots(), 2u);
}

TEST(SimPower, PowerCutAfterTheNthPageKeepsTheFlashAndForgetsTheSession) {
    SSimConfig cfg;
    cfg.powerCutAfterPage = 2;
    cfg.powerCutNs = 300 * kNsPerMs;
    CHostScript host(cfg);
    const uint8_t k = 0x4B;
    ASSERT_EQ(host.Reply(SetAddress(k, kAppAddress)), Bytes{'0'});
    host.ProgramPage(k, Bytes(kFlashPage, 0x11));
    EXPECT_EQ(host.lastProgramReply, Bytes{'0'});
    host.ProgramPage(k, Bytes(kFlashPage, 0x22));
    EXPECT_EQ(host.lastBlockReply, Bytes{'0'});
    EXPECT_TRUE(host.lastProgramReply.empty());  // the power went before the '0'
    const uint64_t cut = host.now;

    // Silence, but the bus echoes.
    const auto during = host.Exchange(kKeepAlive);
    EXPECT_EQ(during.EchoBytes(), kKeepAlive);
    EXPECT_TRUE(during.reply.empty());

    host.now = cut + 300 * kNsPerMs;
    EXPECT_EQ(host.Reply(kWakeUpProbe), kIdText);
    EXPECT_EQ(host.esc.Boots(), 2u);
    EXPECT_EQ(host.esc.Key(), 0);
    EXPECT_FALSE(host.esc.Address().has_value());
    EXPECT_EQ(host.Reply(kProgram), Bytes{0x31});

    // Both pages are in flash.
    const auto flash = host.esc.Flash();
    EXPECT_EQ(flash[kAppAddress], 0x11);
    EXPECT_EQ(flash[kAppAddress + kFlashPage], 0x22);
    EXPECT_EQ(flash[kAppAddress + 2 * kFlashPage], 0xFF);

    // The cut happens once: a new transfer runs to the end.
    ASSERT_EQ(host.Reply(SetAddress(k, kAppAddress)), Bytes{'0'});
    host.ProgramPage(k, Bytes(kFlashPage, 0x33));
    host.ProgramPage(k, Bytes(kFlashPage, 0x44));
    EXPECT_EQ(host.lastProgramReply, Bytes{'0'});
}

}  // namespace
}  // namespace quorvel::sim
