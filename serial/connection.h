#pragma once
// One serial connection to the USB linker, whatever the platform underneath.
//
// The reader thread only announces received bytes; the announcement runs the link's
// receive step on the event thread and waits for it (at most one notification in
// flight), so every piece of link state stays on the event thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "storage/info_file.h"
#include "storage/message_sink.h"

namespace quorvel {

// Line settings in the codes of the information record (Win32 DCB codes).
struct SLineSettings {
    int32_t baud = 19200;
    uint8_t byteSize = 8;
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t stopBits = 1;  // 0 one, 1 one and a half, 2 two
    int32_t flowMode = 0;  // 0 none, 1 CTS/RTS, 2 XON/XOFF
};
SLineSettings LineSettingsFrom(const SInfoFileRecord& record, int32_t flowMode = 0);

// Bit-times of one character on the wire (start + data + parity + stop), times two so
// that one and a half stop bits stay an integer.
unsigned HalfBitsPerChar(const SLineSettings& line);

// Runs a call on the event thread for the reader thread and waits for it.
class IEventThread {
  public:
    virtual ~IEventThread() = default;
    // Runs fn on the event thread and returns true once it has run. Returns false
    // without running it when `abandon` becomes true first (the port is being closed
    // by the event thread itself, which therefore cannot run it).
    virtual bool SendSync(const std::function<void()>& fn, const std::atomic<bool>& abandon) = 0;
};

// The receive notification: event mask and the number of bytes waiting.
using CommNotifyHandler = std::function<void(uint32_t eventMask, uint32_t count)>;

class ISerialConnection {
  public:
    virtual ~ISerialConnection() = default;

    // Opens and configures the port and starts the reader thread. False on any failure;
    // a port opened in the attempt is closed again and another try is possible.
    virtual bool Open(const std::string& portName, const SLineSettings& line) = 0;
    virtual bool IsOpen() const = 0;

    // Reads up to buf.size() bytes already waiting; 0 for nothing.
    virtual std::size_t ReadComm(std::span<uint8_t> buf) = 0;
    // Returns once the bytes have left the port (n), or failed / timed out (0).
    virtual std::size_t WriteComm(std::span<const uint8_t> bytes) = 0;

    // Ends the reader thread (also while a notification is in flight) and closes.
    virtual void ClosePort() = 0;
};

}  // namespace quorvel
