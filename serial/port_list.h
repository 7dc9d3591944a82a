#pragma once
// The port list: the serial ports that can be opened, named for users, at most 20,
// and the rule that takes a port number from a list entry.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

struct SSerInfo {
    std::string devicePath;    // what is opened to test the port
    std::string portName;      // "COM3"; may be empty
    std::string friendlyName;  // shown to users
};

inline constexpr int kMaxPortEntries = 20;

// An enumeration failure, carrying its message text.
class PortEnumError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A platform's enumeration: fills the array (emptied first) in the order found; with
// skipBusy, drops the ports that cannot be opened; an empty friendly name takes the
// port name. Throws PortEnumError.
class IPortEnumerator {
  public:
    virtual ~IPortEnumerator() = default;
    virtual void ListSerialPorts(std::vector<SSerInfo>& ports, int skipBusy) = 0;
};

struct SPortList {
    std::array<std::string, kMaxPortEntries> g_portNames;
    int32_t g_portCount = 0;
};

// Enumerates with skipBusy and keeps the first 20 friendly names. Throws PortEnumError.
void BuildPortList(IPortEnumerator& enumerator, SPortList& list);

// The port number in a list text: the digits after the first "COM" within its last six
// characters (0 when no digit follows); nullopt when those hold no "COM".
std::optional<int32_t> PortNumberFromEntry(std::string_view text);

}  // namespace quorvel
