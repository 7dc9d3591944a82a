#pragma once
// The serial connection on a POSIX terminal device (termios), with its reader thread.
//
// Line settings: any standard baud rate through cfsetspeed; on Linux any other rate
// through termios2/BOTHER, elsewhere such a rate fails the open. 5 to 8 data bits;
// parity none, odd, even, and mark/space where CMSPAR exists. Stop-bits code 1 asks for
// one and a half stop bits, which termios cannot give; the line gets two. A receiver
// still finds a valid stop bit, we only send a little slower (Wine does the same).
// Flow mode 1 maps to CRTSCTS, mode 2 to IXON|IXOFF; mode 0 (the one in use) to none,
// with RTS held on where the device has modem lines (a pseudo-terminal has none).
//
// The port is opened exclusively: a device that someone already holds with TIOCEXCL is
// refused (also for root, whom the kernel would let through).
//
// Reader thread: poll() on the device and a wake pipe. When bytes are waiting it waits
// for the go-ahead, resets it and runs the notification handler on the event thread
// through IEventThread::SendSync with (1, count). The connection sets the go-ahead again
// once the handler has returned, on every path, so a handler cannot forget it; bytes the
// handler left unread are announced on the next pass. A device that goes away (hang-up,
// I/O error) ends the reader thread quietly; IsOpen() stays true and the link notices
// through its own time-outs, as with a vanished port on Windows.

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "serial/comm_announcer.h"
#include "serial/connection.h"
#include "serial/serial_texts.h"
#include "storage/message_sink.h"

namespace quorvel {

// Turns a port name ("COM7") into the device path to open; nullopt when it names none.
using PortResolver = std::function<std::optional<std::string>(std::string_view portName)>;

class CPosixConnection : public ISerialConnection {
  public:
    // A write that has not left the port after this long is given up.
    static constexpr int kWriteTimeoutMs = 2000;

    CPosixConnection(IEventThread& events, CommNotifyHandler onCommNotify, IMessageSink& owner,
                     PortResolver resolve);
    ~CPosixConnection() override;
    CPosixConnection(const CPosixConnection&) = delete;
    CPosixConnection& operator=(const CPosixConnection&) = delete;

    bool Open(const std::string& portName, const SLineSettings& line) override;
    bool IsOpen() const override { return m_bOpen.load(); }
    // Never waits: the reader announces only bytes already waiting. A read error shows
    // "Read timeout!" and gives 0.
    std::size_t ReadComm(std::span<uint8_t> buf) override;
    // Returns when the bytes have left the port. "Write timeout!" and 0 after 2000 ms; 0
    // without a message when the write fails.
    std::size_t WriteComm(std::span<const uint8_t> bytes) override;
    // Safe from any thread (also the event thread while a notification is in flight),
    // twice, and after the reader thread has ended on its own.
    void ClosePort() override;

    // Bytes waiting in the driver's input queue (0 when closed).
    std::size_t BytesWaiting() const;

    // Whether the reader thread still runs (it ends on its own when the device goes).
    bool ReaderRunning() const { return readerRunning_.load(); }

  protected:
    // The reader thread's wake-up channel (a pipe); a test replaces it to see the
    // reader's failure path.
    virtual bool CreateWakePipe(int (&fds)[2]);

  private:
    void ReaderThreadProc();

    CCommAnnouncer announcer_;
    IMessageSink& owner_;
    PortResolver resolve_;

    std::atomic<int> m_hPort{-1};
    unsigned halfBitsPerChar_ = 20;
    int32_t baud_ = 19200;
    std::atomic<bool> m_bOpen{false};
    std::atomic<bool> readerRunning_{false};
    std::thread m_pReaderThread;
    std::mutex closeMutex_;  // serialises ClosePort callers
    std::mutex wakeMutex_;   // guards the wake pipe, which the reader owns
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
};

}  // namespace quorvel
