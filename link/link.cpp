#include "link/link.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "link/crc.h"

namespace quorvel {

namespace {

SCmdPacket Row(std::initializer_list<uint8_t> bytes) {
    SCmdPacket p;
    p.len = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), p.data.begin());
    return p;
}

// A set-address row as it stands before its first keying (key 0), with the CRC of that.
SCmdPacket AddressRow(uint8_t high) {
    SCmdPacket p = Row({0xFF, 0x00, 0x00, 0x00, high, 0x00});
    uint16_t crc = Crc16(std::span<const uint8_t>(p.data.data(), 6));
    p.data[6] = static_cast<uint8_t>(crc & 0xFF);
    p.data[7] = static_cast<uint8_t>(crc >> 8);
    p.len = 8;
    return p;
}

}  // namespace

SPacketTables InitialPacketTables() {
    SPacketTables t;
    t.g_cmdTable = {
        Row({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D}),
        Row({0xFF, 'Q', 'Z', '3', '2', 'S', 'Z', 0x47, 0xCC}),
        Row({0xFD, 0x00, 0x40, 0x90}),
        Row({0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x0F}),
        Row({0x04, 0x00, 0x02, 0xC0}),
        Row({0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E}),
        Row({0x01, 0x01, 0xC0, 0x50}),
        Row({0xFE, 0x00, 0x00, 0x00, 0x04, 0x00, 0x17, 0x1E}),
        Row({0x01, 0x01, 0xC0, 0x50}),
    };
    t.g_replyTable = {
        Row({}),
        Row({'C', 'P', 'U', '-', 'F', '0', '5', '1', '0'}),
        Row({kKeepAliveReply}),
        Row({kAck}),
        Row({0x00, 0x00, 0x00}),
        Row({kAck}),
        Row({kAck}),
        Row({kAck}),
        Row({kAck}),
    };
    t.g_addrTable = {AddressRow(kAddrHighByte[0]), AddressRow(kAddrHighByte[1]),
                     AddressRow(kAddrHighByte[2])};
    return t;
}

uint16_t CLink::Crc16StepOf(uint16_t crc, uint8_t b) {
    return Crc16Step(crc, b);
}

std::size_t CLink::WriteComm(IByteSink& sink, std::span<const uint8_t> bytes, bool accumulate) {
    if (accumulate) {
        for (uint8_t b : bytes)
            UpdateCrc(b);
    }
    return sink.WriteBytes(bytes);
}

void CLink::SendPacket(IByteSink& sink, std::span<const uint8_t> bytes) {
    s.g_crc = 0;
    WriteComm(sink, bytes, true);
    const std::array<uint8_t, 2> crc = {static_cast<uint8_t>(s.g_crc & 0xFF),
                                        static_cast<uint8_t>(s.g_crc >> 8)};
    WriteComm(sink, crc, false);
}

void CLink::KeyAddressRow(int row, uint8_t key) {
    auto& d = t.g_addrTable.at(static_cast<std::size_t>(row)).data;
    d[2] = key;
    d[3] = key;
    d[4] = static_cast<uint8_t>(key ^ kAddrHighByte.at(static_cast<std::size_t>(row)));
    d[5] = key;
}

void CLink::SendWakeUpAndProbe(IByteSink& sink) {
    const SCmdPacket& wake = t.g_cmdTable[kRowWakeUp];
    WriteComm(sink, std::span<const uint8_t>(wake.data.data(), wake.len), false);
    const SCmdPacket& probe = t.g_cmdTable[kRowProbe];
    // The stored row starts with FF, which the probe never sends.
    SendPacket(sink, std::span<const uint8_t>(probe.data.data() + 1, probe.len - 3u));
}

void CLink::SendCommandRow(IByteSink& sink, int row) {
    const SCmdPacket& p = t.g_cmdTable.at(static_cast<std::size_t>(row));
    SendPacket(sink, std::span<const uint8_t>(p.data.data(), p.len - 2u));
}

void CLink::SendAddressRow(IByteSink& sink, int row) {
    KeyAddressRow(row, s.g_key);
    const SCmdPacket& p = t.g_addrTable.at(static_cast<std::size_t>(row));
    SendPacket(sink, std::span<const uint8_t>(p.data.data(), p.len - 2u));
}

void CLink::SendSetBuffer(IByteSink& sink, int row, std::span<const uint8_t> block) {
    SendCommandRow(sink, row);
    SendPacket(sink, block);
}

// Stored replies never run past the buffer: once it is full, further bytes are dropped
// and g_rxLen stays at the buffer's size until a sender resets it.
void CLink::StoreRx(uint8_t b) {
    if (s.g_rxLen >= kRxBufSize)
        return;
    s.g_rxBuf[s.g_rxLen] = b;
    ++s.g_rxLen;
}

void CLink::ParseIdentify(std::span<const uint8_t> bytes) {
    const SCmdPacket& id = t.g_replyTable[kRowProbe];
    for (uint8_t b : bytes) {
        if (s.g_rxLen == 0) {
            if (b != id.data[0])
                continue;
            StoreRx(b);
        } else {
            StoreRx(b);
        }
        if (s.g_rxLen == id.len) {
            if (std::memcmp(s.g_rxBuf.data(), id.data.data(), id.len) == 0)
                s.g_replyOk = 1;
            return;
        }
    }
}

void CLink::ParseSetAddressAck(std::span<const uint8_t> bytes) {
    const unsigned ackAt = t.g_cmdTable[kRowSetAddressLen].len + 1u;
    for (uint8_t b : bytes) {
        StoreRx(b);
        if (s.g_rxLen == ackAt) {
            if (s.g_rxBuf[ackAt - 1] == kAck)
                s.g_replyOk = 1;
            return;
        }
    }
}

void CLink::ParseInfo(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) {
        if (s.g_rxLen != kInfoReplyLen) {
            StoreRx(b);
            continue;
        }
        if (b != kAck)
            continue;
        StoreRx(b);
        s.g_crc = 0;
        for (std::size_t i = 4; i < 1028; ++i)
            UpdateCrc(s.g_rxBuf[i]);
        const uint16_t sent = static_cast<uint16_t>(s.g_rxBuf[1028] | (s.g_rxBuf[1029] << 8));
        if (s.g_crc == sent)
            s.g_replyOk = 1;
    }
}

void CLink::ParseCountedAck(std::span<const uint8_t> bytes, uint16_t echoLen) {
    for (uint8_t b : bytes) {
        if (s.g_rxLen < echoLen) {
            ++s.g_rxLen;
        } else if (b == kAck) {
            s.g_replyOk = 1;
            return;
        }
    }
}

void CLink::ParseReply(std::span<const uint8_t> bytes) {
    switch (s.g_rxMode) {
        case kRxIdentify:
            ParseIdentify(bytes);
            return;
        case kRxHandshake:
            if (s.g_txStep == kStepSetAddress)
                ParseSetAddressAck(bytes);
            if (s.g_txStep == kStepReadInfo)
                ParseInfo(bytes);
            return;
        case kRxKeepAlive:
            if (std::find(bytes.begin(), bytes.end(), kKeepAliveReply) != bytes.end()) {
                s.g_replyOk = 1;
            }
            return;
        case kRxTransfer:
            switch (s.g_txStep) {
                case kStepSetAddress:
                    ParseSetAddressAck(bytes);
                    return;
                case kStepAppBlock:
                case kStepSetupBlock:
                    ParseCountedAck(bytes, kBlockEchoLen);
                    return;
                case kStepAppProgram:
                case kStepSetupProgram:
                    ParseCountedAck(bytes, kProgramEchoLen);
                    return;
                default:
                    return;
            }
        default:
            return;
    }
}

std::size_t CLink::OnCommNotify(IByteSource& source, bool open, uint32_t eventMask,
                                uint32_t count) {
    if (!open || (eventMask & kEvRxChar) == 0)
        return 0;
    std::array<uint8_t, kMaxReadPerNotify> buf;
    const std::size_t want = std::min<std::size_t>(count, buf.size());
    if (want == 0)
        return 0;
    const std::size_t got = std::min(source.ReadBytes(std::span(buf.data(), want)), want);
    if (got == 0)
        return 0;
    ParseReply(std::span<const uint8_t>(buf.data(), got));
    return got;
}

}  // namespace quorvel
