#include "serial/posix/port_enum_posix.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

namespace quorvel {

namespace {

std::string HexError(const char* what, int err) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed. (err=%x)", what, static_cast<unsigned>(err));
    return text;
}

std::string Value(const char* s) {
    return s == nullptr ? std::string{} : std::string(s);
}

// Device strings come from the hardware: keep them on one line and without padding.
std::string CleanName(std::string s) {
    for (char& c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        }
    }
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};

}  // namespace

std::vector<STtyDevice> ListTtyDevicesUdev() {
    std::unique_ptr<udev, UdevDeleter> context(udev_new());
    if (!context) {
        throw PortEnumError(HexError("udev_new", errno));
    }
    std::unique_ptr<udev_enumerate, UdevDeleter> enumerate(udev_enumerate_new(context.get()));
    if (!enumerate) {
        throw PortEnumError(HexError("udev_enumerate_new", errno));
    }
    if (const int rc = udev_enumerate_add_match_subsystem(enumerate.get(), "tty"); rc < 0) {
        throw PortEnumError(HexError("udev_enumerate_add_match_subsystem", -rc));
    }
    if (const int rc = udev_enumerate_scan_devices(enumerate.get()); rc < 0) {
        throw PortEnumError(HexError("udev_enumerate_scan_devices", -rc));
    }

    std::vector<STtyDevice> devices;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        const char* syspath = udev_list_entry_get_name(entry);
        // Only a tty with a real device behind it has the "device" link; consoles,
        // pseudo-terminals and the like do not.
        std::error_code ec;
        if (syspath == nullptr || !std::filesystem::exists(std::string(syspath) + "/device", ec)) {
            continue;
        }
        std::unique_ptr<udev_device, UdevDeleter> dev(
            udev_device_new_from_syspath(context.get(), syspath));
        if (!dev) {
            continue;
        }
        STtyDevice tty;
        tty.devnode = Value(udev_device_get_devnode(dev.get()));
        tty.sysname = Value(udev_device_get_sysname(dev.get()));
        if (tty.devnode.empty()) {
            continue;
        }
        // Owned by dev, not to be released.
        if (udev_device* usb =
                udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device")) {
            tty.usb = true;
            tty.usbProduct = Value(udev_device_get_sysattr_value(usb, "product"));
        }
        tty.modelFromDatabase =
            Value(udev_device_get_property_value(dev.get(), "ID_MODEL_FROM_DATABASE"));
        tty.model = Value(udev_device_get_property_value(dev.get(), "ID_MODEL"));
        const std::string type = Value(udev_device_get_sysattr_value(dev.get(), "type"));
        if (!type.empty()) {
            try {
                tty.uartType = std::stoi(type);
            } catch (const std::exception&) {
                // An attribute we cannot read says nothing either way.
            }
        }
        devices.push_back(std::move(tty));
    }
    return devices;
}

bool CanOpenExclusive(const std::string& devicePath) {
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool usable = isatty(fd) != 0;
#ifdef TIOCGEXCL
    // The kernel lets root through an exclusive hold; ask, so root sees it busy too.
    int held = 0;
    if (usable && ioctl(fd, TIOCGEXCL, &held) == 0 && held != 0) {
        usable = false;
    }
#endif
    ::close(fd);
    return usable;
}

std::string FriendlyNameFor(const STtyDevice& device, int32_t number) {
    std::string name;
    if (device.usb) {
        name = CleanName(device.usbProduct);
        if (name.empty()) {
            name = CleanName(device.modelFromDatabase);
        }
        if (name.empty()) {
            name = device.model;
            std::replace(name.begin(), name.end(), '_', ' ');
            name = CleanName(name);
        }
        if (name.empty()) {
            name = device.sysname.starts_with("ttyACM") ? "USB Serial Device" : "USB Serial Port";
        }
    } else if (device.sysname.starts_with("ttyS")) {
        name = "Communications Port";
    } else {
        name = "Serial Port";
    }
    return name + " (COM" + std::to_string(number) + ")";
}

CPosixPortEnumerator::CPosixPortEnumerator(const CPortMap& portMap, TtyLister lister,
                                           PortOpenTest canOpen)
    : portMap_(portMap), lister_(std::move(lister)), canOpen_(std::move(canOpen)) {}

void CPosixPortEnumerator::ListSerialPorts(std::vector<SSerInfo>& ports, int skipBusy) {
    ports.clear();
    struct Numbered {
        int32_t number;
        SSerInfo info;
    };
    std::vector<Numbered> found;
    std::set<int32_t> taken;
    const auto add = [&](int32_t number, std::string devicePath, std::string friendlyName) {
        taken.insert(number);
        found.push_back({number, SSerInfo{std::move(devicePath), "COM" + std::to_string(number),
                                          std::move(friendlyName)}});
    };

    for (const STtyDevice& device : lister_()) {
        if (device.uartType && *device.uartType == 0) {
            continue;  // a ttyS slot with no UART behind it
        }
        const std::optional<int32_t> number = portMap_.NumberForDevice(device.devnode);
        if (!number || taken.contains(*number)) {
            continue;
        }
        add(*number, device.devnode, FriendlyNameFor(device, *number));
    }
    // The user's lines for devices udev does not list (or lists under another name,
    // already taken above through the same number).
    for (const auto& [number, path] : portMap_.UserEntries()) {
        std::error_code ec;
        if (taken.contains(number) || !std::filesystem::exists(path, ec)) {
            continue;
        }
        add(number, path, path + " (COM" + std::to_string(number) + ")");
    }

    std::stable_sort(found.begin(), found.end(),
                     [](const Numbered& a, const Numbered& b) { return a.number < b.number; });
    ports.reserve(found.size());
    for (Numbered& entry : found) {
        ports.push_back(std::move(entry.info));
    }
    DropBusyAndName(ports, skipBusy, canOpen_);
}

}  // namespace quorvel
