#pragma once
// Framing and parsing of the boot loader's packets over one link.

#include <cstddef>
#include <cstdint>
#include <span>

#include "link/link_state.h"

namespace quorvel {

// Where a notification reads received bytes from (ReadComm's transport half).
class IByteSource {
  public:
    virtual ~IByteSource() = default;
    // Reads up to buf.size() waiting bytes; returns how many were read, 0 for none.
    virtual std::size_t ReadBytes(std::span<uint8_t> buf) = 0;
};

inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr std::size_t kMaxReadPerNotify = 512;
// Counts the parser works with besides those taken from the tables.
inline constexpr uint16_t kInfoReplyLen = 1030;  // echo 4 + block 1024 + CRC 2
inline constexpr uint16_t kBlockEchoLen = 1032;  // echo of set-buffer 8 + block 1024
inline constexpr uint16_t kProgramEchoLen = 4;
inline constexpr uint8_t kAck = 0x30;  // '0'
inline constexpr uint8_t kKeepAliveReply = 0xC1;

class CLink {
  public:
    CLink() : t(InitialPacketTables()) {}

    SLinkState s{};
    SPacketTables t;

    // Adds one byte to g_crc.
    void UpdateCrc(uint8_t b) { s.g_crc = Crc16StepOf(s.g_crc, b); }

    // The port write: with accumulate, every byte enters g_crc before it goes out
    // (also when the write then fails).
    std::size_t WriteComm(IByteSink& sink, std::span<const uint8_t> bytes, bool accumulate);

    // g_crc = 0; the bytes with accumulation; then g_crc low byte first, without.
    void SendPacket(IByteSink& sink, std::span<const uint8_t> bytes);

    // Writes K, K, K^H, K into bytes 2..5 of a set-address row.
    void KeyAddressRow(int row, uint8_t key);

    // The sends of the link, each as it goes onto the wire.
    void SendWakeUpAndProbe(IByteSink& sink);
    void SendCommandRow(IByteSink& sink, int row);  // every framed command row
    void SendAddressRow(IByteSink& sink, int row);  // keyed with g_key first
    void SendSetBuffer(IByteSink& sink, int row, std::span<const uint8_t> block);

    // Applies the rule that g_rxMode and g_txStep select to received bytes.
    void ParseReply(std::span<const uint8_t> bytes);

    // The receive step of a notification: nothing unless open and the received-
    // characters bit is set; reads at most 512 of the announced bytes and parses them.
    // Returns the number of bytes read. Bytes not read stay with the source.
    std::size_t OnCommNotify(IByteSource& source, bool open, uint32_t eventMask, uint32_t count);

  private:
    static uint16_t Crc16StepOf(uint16_t crc, uint8_t b);
    void StoreRx(uint8_t b);
    void ParseIdentify(std::span<const uint8_t> bytes);
    void ParseSetAddressAck(std::span<const uint8_t> bytes);
    void ParseInfo(std::span<const uint8_t> bytes);
    void ParseCountedAck(std::span<const uint8_t> bytes, uint16_t echoLen);
};

}  // namespace quorvel
