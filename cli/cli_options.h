#pragma once
// The command line of quorvel-cli: what the user asked for, checked and turned into the
// values the link works with. Nothing here opens a port or sends a byte.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "esc/setup_block.h"
#include "serial/connection.h"
#include "sim/sim_esc.h"

namespace quorvel::cli {

enum class Command { kPorts, kInfo, kFlash, kSetup };

// Where the ESC is: a serial port, or the simulated ESC in this process.
struct SPortChoice {
    bool sim = false;
    // The port number that Connect opens as "COMn" (0: none).
    int32_t number = 0;
    // A device path given instead of a COM name; opened under `number`.
    std::string devicePath;
};

// The six choices of a setup command; a group not given keeps what the ESC reports.
struct SSetupRequest {
    bool defaults = false;
    std::array<std::optional<int32_t>, 6> choice{};  // in kSetupGroups order
};

struct SCliOptions {
    Command command = Command::kInfo;
    SPortChoice port;
    SLineSettings line;  // the information file's defaults until set
    double timeoutSeconds = 30.0;
    std::string traceFile;
    std::string imagesDir;  // empty: the default places
    bool quiet = false;
    bool json = false;
    // Lets the synthetic test images go to a port (esc-sim serves the simulated ESC on one).
    bool allowTestImages = false;
    SSetupRequest setup;
    sim::SSimConfig simConfig;
};

struct SParseResult {
    std::optional<SCliOptions> options;  // set when a command is to run
    int exitCode = 0;                    // otherwise: 0 after --help, kExitUsage on errors
};

// Help goes to out, errors to err.
SParseResult ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                              std::ostream& err);

// --- pieces of the parsing, each usable alone -------------------------------------------

// The option name and the value names of a setup group, derived from its captions:
// lower case, blanks as '-', and the unit dropped ("3D Slow" -> "3d-slow", "12K" -> "12",
// "50%" -> "50", "OFF" -> "off").
std::string GroupOptionName(const SSetupGroup& group);
std::string ChoiceValueName(std::string_view caption);
// The button index for a value name or a caption (any letter case).
std::optional<int32_t> ParseChoice(const SSetupGroup& group, std::string_view text);

// How --port may be spelled: a device path is a POSIX notion, Windows ports are reached
// by their COM name only. NativePortSyntax() is this platform's.
enum class PortSyntax { kComOrDevicePath, kComOnly };
PortSyntax NativePortSyntax();

// "COM7", "7" or (kComOrDevicePath) a device path. A number outside 1..99 is an error
// (empty result and the reason in `error`).
struct SPortParse {
    std::optional<SPortChoice> port;
    std::string error;
};
SPortParse ParsePortArgument(std::string_view text, PortSyntax syntax);

}  // namespace quorvel::cli
