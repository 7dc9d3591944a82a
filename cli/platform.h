#pragma once
// What quorvel-cli does differently per platform, behind one small interface so that the
// commands stay the same everywhere: how --port is spelled (NativePortSyntax, declared
// with the parsing in cli_options.h), the connection for a port, the port list, the
// terminal, the local time and where the program lives. platform_posix.cpp and
// platform_win32.cpp each implement all of it.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "serial/connection.h"
#include "storage/message_sink.h"

namespace quorvel::cli {

// The connection for a port the user chose, not yet open.
struct SPortConnection {
    std::unique_ptr<ISerialConnection> connection;
    int32_t number = 0;  // Connect opens it as "COMn"
    std::string where;   // how the port is named to the user: "COM5 (/dev/pts/3)"
};
SPortConnection MakePortConnection(IEventThread& events, CommNotifyHandler onCommNotify,
                                   IMessageSink& owner, const SPortChoice& port);

// One line of `ports`.
struct SPortEntry {
    int32_t number = 0;  // 0 when the name carries no COM number
    std::string device;
    std::string name;
};
// The ports that can be opened, at most kMaxPortEntries. Throws PortEnumError.
std::vector<SPortEntry> ListPorts(IMessageSink& sink);

// Readies the console for one run and puts it back afterwards (Windows: UTF-8 output,
// escape sequences on stderr). Does nothing unless `forStderr`, the real stderr.
class CTerminalSetup {
  public:
    explicit CTerminalSetup(bool forStderr);
    ~CTerminalSetup();
    CTerminalSetup(const CTerminalSetup&) = delete;
    CTerminalSetup& operator=(const CTerminalSetup&) = delete;

    // stderr is a terminal that redraws the bar in place and shows colours.
    bool StderrIsTerminal() const { return terminal_; }

  private:
    bool terminal_ = false;
    // What the Windows console had before, to put back.
    struct SSaved {
        uint32_t codePage = 0;  // 0: not changed
        uint32_t mode = 0;
        bool modeChanged = false;
    } saved_;
};

// The local time of `t`; false when it cannot be had.
bool LocalTime(std::time_t t, std::tm& local);

// The folder of the running program (the working directory when it cannot be found).
std::filesystem::path ExecutableDir();

}  // namespace quorvel::cli
