#include <unistd.h>

#include "cli/platform.h"
#include "serial/port_list.h"
#include "serial/posix/port_enum_posix.h"
#include "serial/posix/port_map.h"
#include "serial/posix/posix_connection.h"

namespace quorvel::cli {

namespace {

// A port the user named by its device path gets this number when no mapping gives it
// one; the fixed mapping never hands it out, so it cannot stand for another device.
constexpr int32_t kNumberForUnmappedDevice = 17;

}  // namespace

PortSyntax NativePortSyntax() {
    return PortSyntax::kComOrDevicePath;
}

SPortConnection MakePortConnection(IEventThread& events, CommNotifyHandler onCommNotify,
                                   IMessageSink& owner, const SPortChoice& port) {
    // The resolver outlives this call inside the connection, and the map with it.
    const auto map = std::make_shared<const CPortMap>(LoadUserPortMap(owner));
    SPortConnection r;
    r.number = port.number;
    const std::string overridePath = port.devicePath;
    if (!overridePath.empty())
        r.number = map->NumberForDevice(overridePath).value_or(kNumberForUnmappedDevice);
    const int32_t overrideNumber = r.number;
    PortResolver resolve = [map, overridePath,
                            overrideNumber](std::string_view name) -> std::optional<std::string> {
        if (!overridePath.empty() && ParseComName(name) == overrideNumber)
            return overridePath;
        return map->DeviceForName(name);
    };
    const auto path = resolve("COM" + std::to_string(r.number));
    r.where = "COM" + std::to_string(r.number) + (path ? " (" + *path + ")" : "");
    r.connection =
        std::make_unique<CPosixConnection>(events, std::move(onCommNotify), owner, resolve);
    return r;
}

std::vector<SPortEntry> ListPorts(IMessageSink& sink) {
    const CPortMap map = LoadUserPortMap(sink);
    CPosixPortEnumerator enumerator(map);
    std::vector<SSerInfo> ports;
    enumerator.ListSerialPorts(ports, 1);
    if (ports.size() > static_cast<std::size_t>(kMaxPortEntries))
        ports.resize(kMaxPortEntries);
    std::vector<SPortEntry> entries;
    for (const SSerInfo& p : ports)
        entries.push_back(
            {PortNumberFromEntry(p.friendlyName).value_or(0), p.devicePath, p.friendlyName});
    return entries;
}

CTerminalSetup::CTerminalSetup(bool forStderr)
    : terminal_(forStderr && isatty(STDERR_FILENO) == 1) {}

CTerminalSetup::~CTerminalSetup() = default;

bool LocalTime(std::time_t t, std::tm& local) {
    return localtime_r(&t, &local) != nullptr;
}

std::filesystem::path ExecutableDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path(ec) : exe.parent_path();
}

}  // namespace quorvel::cli
