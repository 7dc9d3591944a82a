#include "serial/port_list.h"

#include <algorithm>

namespace quorvel {

namespace {
constexpr std::size_t kPortRuleChars = 6;
constexpr std::string_view kComPrefix = "COM";
}  // namespace

void BuildPortList(IPortEnumerator& enumerator, SPortList& list) {
    std::vector<SSerInfo> ports;
    enumerator.ListSerialPorts(ports, 1);

    const std::size_t count = std::min<std::size_t>(ports.size(), kMaxPortEntries);
    list.g_portCount = static_cast<int32_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const SSerInfo& port = ports[i];
        // Enumerators already fill an empty friendly name from the port name; doing it
        // here as well keeps a careless enumerator from producing blank list entries.
        const std::string& shown = port.friendlyName.empty() ? port.portName : port.friendlyName;
        // The entry was always formatted with "%s", which ends at the first NUL.
        list.g_portNames[i] = std::string(shown.c_str());
    }
}

std::optional<int32_t> PortNumberFromEntry(std::string_view text) {
    // Counted in bytes, as the list texts were always single-byte-counted strings.
    const std::string_view tail =
        text.size() > kPortRuleChars ? text.substr(text.size() - kPortRuleChars) : text;
    const std::size_t at = tail.find(kComPrefix);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    int32_t number = 0;
    // At most three digits fit after "COM" in six characters, so this cannot overflow.
    for (std::size_t i = at + kComPrefix.size(); i < tail.size(); ++i) {
        const char c = tail[i];
        if (c < '0' || c > '9') {
            break;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

}  // namespace quorvel
