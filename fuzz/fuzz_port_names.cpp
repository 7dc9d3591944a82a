// Port names come from outside: the user's port table and the device names that end up
// in the list entries. Feeds arbitrary text to the port-table parser and to the rule
// that reads a port number from an entry, and checks what both promise.

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "serial/port_list.h"
#include "serial/posix/port_map.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

bool HasComInLastSix(std::string_view text) {
    const std::string_view tail = text.size() > 6 ? text.substr(text.size() - 6) : text;
    return tail.find("COM") != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace quorvel;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The number rule: a number exactly when "COM" is among the last six characters, and
    // then at most the three digits that fit behind it.
    const auto number = PortNumberFromEntry(text);
    Check(number.has_value() == HasComInLastSix(text));
    if (number) {
        Check(*number >= 0 && *number <= 999);
    }

    // The port table: only well-formed entries, every bad line reported.
    const SPortMapParse parsed = ParsePortMap(text);
    std::size_t lines = 1;
    for (const char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    Check(parsed.entries.size() + parsed.problems.size() <= lines);
    std::set<std::string> devices;
    std::string rewritten;
    for (const auto& [n, path] : parsed.entries) {
        Check(n >= kMinComNumber && n <= kMaxComNumber);
        Check(!path.empty() && path.front() == '/');
        for (const char c : path) {
            Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
        Check(devices.insert(path).second);
        // Whatever the device is called, its list entry gives the number back.
        Check(PortNumberFromEntry(path + " (COM" + std::to_string(n) + ")") == n);
        Check(ParseComName("COM" + std::to_string(n)) == n);
        rewritten += "COM" + std::to_string(n) + "=" + path + "\n";
    }
    for (const std::string& problem : parsed.problems) {
        Check(problem.starts_with("line "));
    }
    // What was taken reads back the same, without a word.
    const SPortMapParse again = ParsePortMap(rewritten);
    Check(again.entries == parsed.entries);
    Check(again.problems.empty());

    // The fixed mapping is one-to-one wherever it answers.
    if (const auto fixed = FixedPortForDevice(text)) {
        Check(*fixed >= kMinComNumber && *fixed <= kMaxComNumber);
        Check(FixedDeviceForPort(*fixed) == std::string(text));
    }
    if (const auto com = ParseComName(text)) {
        Check(*com >= kMinComNumber && *com <= kMaxComNumber);
    }
    return 0;
}
