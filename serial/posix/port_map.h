#pragma once
// How a port number names a device on a system without COM names.
//
// The list entries and the information file speak of "COMn", so every device we offer
// needs a number, and the number must turn back into the same device when Connect
// opens "COMn". Two sources give numbers:
//
// - A fixed mapping (see serial/README.md): /dev/ttyS0..15 are COM1..16,
//   /dev/ttyUSB0..39 are COM20..59 and /dev/ttyACM0..39 are COM60..99. COM17..19 are
//   never given out by it, so a user can always map a device there.
// - The user's port table, like Wine's: lines "COM7=/dev/pts/5" in the file named by
//   $QUORVEL_PORTS, else $XDG_CONFIG_HOME/quorvel/ports, else ~/.config/quorvel/ports.
//   Blank lines and lines starting with '#' are ignored. A user line takes its number
//   away from the fixed mapping.
//
// Numbers stay within 1..99 so that "(COMnn)" fits in the six characters that the
// port-number rule reads at the end of a list entry.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/message_sink.h"

namespace quorvel {

inline constexpr int32_t kMinComNumber = 1;
inline constexpr int32_t kMaxComNumber = 99;

// The fixed mapping, both ways. Only the exact device names count ("/dev/ttyUSB3", not
// "/dev/ttyUSB03").
std::optional<std::string> FixedDeviceForPort(int32_t number);
std::optional<int32_t> FixedPortForDevice(std::string_view devicePath);

// "COM7" (any letter case) to 7; nullopt for anything that is not COM1..COM99.
std::optional<int32_t> ParseComName(std::string_view name);

struct SPortMapParse {
    std::map<int32_t, std::string> entries;
    // One text per line that was skipped, naming the line and what is wrong with it.
    std::vector<std::string> problems;
};

// Never throws on bad text: a bad line is reported and skipped. A number or a device
// mapped twice keeps its first line.
SPortMapParse ParsePortMap(std::string_view text);

// Where the user's table lives (see above); empty when no place can be named.
std::filesystem::path UserPortMapPath();

// A missing file is an empty table without a problem; a file that cannot be read is a
// problem. Problems name the file.
SPortMapParse LoadPortMapFile(const std::filesystem::path& path);

class CPortMap {
  public:
    CPortMap() = default;  // the fixed mapping alone
    explicit CPortMap(std::map<int32_t, std::string> userEntries);

    // The device Connect opens for a port number: the user's, else the fixed one.
    std::optional<std::string> DeviceForNumber(int32_t number) const;
    // The same for a port name "COMn"; this is what a POSIX connection opens through.
    std::optional<std::string> DeviceForName(std::string_view portName) const;
    // The number a device is listed under: a user line naming it (directly or through a
    // link such as /dev/serial/by-id/...), else its fixed number unless a user line has
    // taken that number for another device.
    std::optional<int32_t> NumberForDevice(std::string_view devicePath) const;

    const std::map<int32_t, std::string>& UserEntries() const { return user_; }

  private:
    std::map<int32_t, std::string> user_;
};

// The user's table; its problems, if any, are shown as one message.
CPortMap LoadUserPortMap(IMessageSink& sink);

}  // namespace quorvel
