#include "serial/posix/port_map.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace quorvel {

namespace {

struct FixedRange {
    std::string_view prefix;  // device path up to the index
    int32_t firstNumber;
    int32_t count;
};

// Kept in one table so both directions read the same numbers.
constexpr std::array<FixedRange, 3> kFixedRanges{{
    {"/dev/ttyS", 1, 16},
    {"/dev/ttyUSB", 20, 40},
    {"/dev/ttyACM", 60, 40},
}};

constexpr std::size_t kMaxPathLength = 4095;
constexpr std::uintmax_t kMaxPortMapFileBytes = 1 << 20;

std::string_view Trim(std::string_view s) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && isSpace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal index without sign or leading zeros ("0" itself is fine).
std::optional<int32_t> ParseIndex(std::string_view digits, std::size_t maxDigits) {
    if (digits.empty() || digits.size() > maxDigits || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    int32_t value = 0;
    for (const char c : digits) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// Control characters are never part of a device path that a user meant to write; they
// would also make the list entries unreadable.
bool HasControlChar(std::string_view s) {
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            return true;
        }
    }
    return false;
}

std::string LineProblem(std::size_t lineNo, const std::string& what) {
    return "line " + std::to_string(lineNo) + ": " + what + "; the line is skipped";
}

// The file's text for a comparison of devices: the resolved path when it resolves.
std::string Canonical(std::string_view path) {
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::canonical(std::string(path), ec);
    return ec ? std::string(path) : resolved.string();
}

}  // namespace

std::optional<std::string> FixedDeviceForPort(int32_t number) {
    for (const FixedRange& range : kFixedRanges) {
        if (number >= range.firstNumber && number < range.firstNumber + range.count) {
            return std::string(range.prefix) + std::to_string(number - range.firstNumber);
        }
    }
    return std::nullopt;
}

std::optional<int32_t> FixedPortForDevice(std::string_view devicePath) {
    for (const FixedRange& range : kFixedRanges) {
        if (!devicePath.starts_with(range.prefix)) {
            continue;
        }
        const auto index = ParseIndex(devicePath.substr(range.prefix.size()), 2);
        if (index && *index < range.count) {
            return range.firstNumber + *index;
        }
    }
    return std::nullopt;
}

std::optional<int32_t> ParseComName(std::string_view name) {
    if (name.size() < 4) {
        return std::nullopt;
    }
    const auto upper = [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    };
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') {
        return std::nullopt;
    }
    const auto number = ParseIndex(name.substr(3), 2);
    if (!number || *number < kMinComNumber || *number > kMaxComNumber) {
        return std::nullopt;
    }
    return number;
}

SPortMapParse ParsePortMap(std::string_view text) {
    SPortMapParse result;
    std::map<std::string, std::size_t> deviceLine;
    std::map<int32_t, std::size_t> numberLine;
    std::size_t lineNo = 0;
    while (!text.empty() || lineNo == 0) {
        const std::size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNo;

        const std::string_view line = Trim(raw);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            result.problems.push_back(LineProblem(lineNo, "expected COMn=/path/of/device"));
            continue;
        }
        const std::string_view name = Trim(line.substr(0, eq));
        const std::string_view device = Trim(line.substr(eq + 1));
        const auto number = ParseComName(name);
        if (!number) {
            result.problems.push_back(LineProblem(
                lineNo, "the port name must be COM1 to COM" + std::to_string(kMaxComNumber)));
            continue;
        }
        if (device.empty() || device.front() != '/') {
            result.problems.push_back(LineProblem(lineNo, "the device must be an absolute path"));
            continue;
        }
        if (HasControlChar(device) || device.size() > kMaxPathLength) {
            result.problems.push_back(
                LineProblem(lineNo, "the device path holds control characters or is too long"));
            continue;
        }
        if (const auto it = numberLine.find(*number); it != numberLine.end()) {
            result.problems.push_back(LineProblem(lineNo, "COM" + std::to_string(*number) +
                                                              " is already mapped on line " +
                                                              std::to_string(it->second)));
            continue;
        }
        const std::string path(device);
        if (const auto it = deviceLine.find(path); it != deviceLine.end()) {
            result.problems.push_back(LineProblem(
                lineNo, path + " is already mapped on line " + std::to_string(it->second)));
            continue;
        }
        numberLine.emplace(*number, lineNo);
        deviceLine.emplace(path, lineNo);
        result.entries.emplace(*number, path);
    }
    return result;
}

std::filesystem::path UserPortMapPath() {
    const auto env = [](const char* name) -> std::string {
        const char* value = std::getenv(name);
        return value == nullptr ? std::string{} : std::string(value);
    };
    if (const std::string explicitPath = env("QUORVEL_PORTS"); !explicitPath.empty()) {
        return explicitPath;
    }
    // The base directory rules say a relative XDG_CONFIG_HOME is to be ignored.
    if (const std::string xdg = env("XDG_CONFIG_HOME"); !xdg.empty() && xdg.front() == '/') {
        return std::filesystem::path(xdg) / "quorvel" / "ports";
    }
    if (const std::string home = env("HOME"); !home.empty()) {
        return std::filesystem::path(home) / ".config" / "quorvel" / "ports";
    }
    return {};
}

SPortMapParse LoadPortMapFile(const std::filesystem::path& path) {
    SPortMapParse result;
    if (path.empty()) {
        return result;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        return result;
    }
    const std::string prefix = "Port table " + path.string() + ": ";
    if (ec || status.type() != std::filesystem::file_type::regular) {
        result.problems.push_back(prefix + "not a readable file; no port is mapped from it");
        return result;
    }
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxPortMapFileBytes) {
        result.problems.push_back(prefix + "too large or unreadable; no port is mapped from it");
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.problems.push_back(prefix + "cannot be opened; no port is mapped from it");
        return result;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    result = ParsePortMap(text);
    for (std::string& problem : result.problems) {
        problem.insert(0, prefix);
    }
    return result;
}

CPortMap::CPortMap(std::map<int32_t, std::string> userEntries) : user_(std::move(userEntries)) {}

std::optional<std::string> CPortMap::DeviceForNumber(int32_t number) const {
    if (const auto it = user_.find(number); it != user_.end()) {
        return it->second;
    }
    return FixedDeviceForPort(number);
}

std::optional<std::string> CPortMap::DeviceForName(std::string_view portName) const {
    const auto number = ParseComName(portName);
    if (!number) {
        return std::nullopt;
    }
    return DeviceForNumber(*number);
}

std::optional<int32_t> CPortMap::NumberForDevice(std::string_view devicePath) const {
    const std::string canonical = Canonical(devicePath);
    for (const auto& [number, path] : user_) {
        if (path == devicePath || Canonical(path) == canonical) {
            return number;
        }
    }
    auto fixed = FixedPortForDevice(devicePath);
    if (!fixed) {
        fixed = FixedPortForDevice(canonical);
    }
    if (fixed && !user_.contains(*fixed)) {
        return fixed;
    }
    return std::nullopt;
}

CPortMap LoadUserPortMap(IMessageSink& sink) {
    SPortMapParse parsed = LoadPortMapFile(UserPortMapPath());
    if (!parsed.problems.empty()) {
        std::string text;
        for (const std::string& problem : parsed.problems) {
            if (!text.empty()) {
                text += '\n';
            }
            text += problem;
        }
        sink.ShowMessage(text, MessageStyle::kError);
    }
    return CPortMap(std::move(parsed.entries));
}

}  // namespace quorvel
