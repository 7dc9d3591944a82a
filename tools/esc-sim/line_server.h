#pragma once
// Serves a simulated ESC in real time on a pseudo-terminal or a serial device.

#include <csignal>
#include <string>

#include "sim/realtime_esc.h"

namespace quorvel::escsim {

class CLineServer {
  public:
    CLineServer() = default;
    ~CLineServer();
    CLineServer(const CLineServer&) = delete;
    CLineServer& operator=(const CLineServer&) = delete;

    // A new pseudo-terminal in raw mode; Path() is the end a peer opens.
    bool OpenPty(std::string& error);
    // A serial device in raw mode with the line format's speed, data bits, parity and
    // stop bits (one and a half become two: termios knows only one or two).
    bool OpenDevice(const std::string& path, const sim::SWireFormat& wire, std::string& error);
    const std::string& Path() const { return path_; }

    // Feeds what the peer sends to the ESC and writes the ESC's bytes when they are due,
    // until `stop` becomes nonzero (a signal handler sets it; SIGINT and SIGTERM must be
    // blocked outside the wait, see BlockStopSignals) or the peer closes its end. Returns
    // 0 for those ends, 1 for an I/O error (described on stderr).
    int Serve(sim::CRealtimeEsc& esc, const volatile std::sig_atomic_t& stop);

  private:
    int fd_ = -1;
    bool pty_ = false;
    std::string path_;
};

// Installs handlers for SIGINT and SIGTERM that set the flag, and blocks both signals so
// that they are taken only inside the server's wait (no wake-up is ever lost).
void BlockStopSignals(volatile std::sig_atomic_t& stopFlag);

}  // namespace quorvel::escsim
