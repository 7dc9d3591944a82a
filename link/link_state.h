#pragma once
// The link variables shared by the parser, the session and the sequencer, and the
// boot loader's packet tables. One CLink object holds a complete set, so a test can
// make as many independent links as it likes; the program makes one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel {

// What the reply parser is waiting for (g_rxMode).
enum RxMode : int32_t {
    kRxNone = 0,
    kRxIdentify = 1,
    kRxHandshake = 2,
    kRxKeepAlive = 3,
    kRxTransfer = 4,
};

// Steps of the handshake and the transfer (g_txStep).
enum TxStep : int32_t {
    kStepSetAddress = 3,
    kStepReadInfo = 4,
    kStepAppBlock = 5,
    kStepAppProgram = 6,
    kStepSetupBlock = 7,
    kStepSetupProgram = 8,
};

enum StatusColor : int32_t { kColorBlack = 0, kColorGreen = 1, kColorRed = 2 };

inline constexpr std::size_t kRxBufSize = 1280;

struct SLinkState {
    uint8_t g_escType = 0;
    uint8_t g_key = 0;
    uint8_t g_blockCount = 0;
    uint8_t g_appVariant = 0;
    int32_t g_statusColor = 0;
    int32_t g_rxMode = 0;
    int32_t g_txStep = 0;
    uint16_t g_crc = 0;
    int32_t g_replyOk = 0;
    int32_t g_linkUp = 0;
    int32_t g_busy = 0;
    int32_t g_setupMode = 0;
    int32_t g_retries = 0;
    uint16_t g_rxLen = 0;
    uint32_t g_ticks = 0;
    uint32_t g_blockIndex = 0;
    int32_t g_blink = 0;
    std::array<uint8_t, kRxBufSize> g_rxBuf{};
};

// One packet row: the meaningful length (CRC included for framed rows) and its bytes.
struct SCmdPacket {
    uint8_t len = 0;
    std::array<uint8_t, 40> data{};
};

// Rows of the command and reply tables.
enum CmdRow : int {
    kRowWakeUp = 0,
    kRowProbe = 1,
    kRowKeepAlive = 2,
    kRowSetAddressLen = 3,
    kRowReadInfo = 4,
    kRowSetBufferApp = 5,
    kRowProgramApp = 6,
    kRowSetBufferSetup = 7,
    kRowProgramSetup = 8,
};

// Rows of the set-address table.
enum AddrRow : int { kAddrApplication = 0, kAddrSetupPage = 1, kAddrInfoPage = 2 };

struct SPacketTables {
    std::array<SCmdPacket, 9> g_cmdTable;
    std::array<SCmdPacket, 9> g_replyTable;
    std::array<SCmdPacket, 3> g_addrTable;
};

// The tables as the program starts with them.
SPacketTables InitialPacketTables();

// Third address byte of each set-address row (the address's bits 8 to 15).
inline constexpr std::array<uint8_t, 3> kAddrHighByte = {0x10, 0x78, 0x7C};

// The line as the link sees it: WriteComm's transport half. Returns the bytes written,
// 0 after a failure or time-out; it returns only once the write has completed, failed
// or timed out, so consecutive writes follow each other on the wire.
class IByteSink {
  public:
    virtual ~IByteSink() = default;
    virtual std::size_t WriteBytes(std::span<const uint8_t> bytes) = 0;
};

}  // namespace quorvel
