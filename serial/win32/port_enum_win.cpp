#include "serial/win32/port_enum_win.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "serial/port_filter.h"

namespace quorvel {

namespace {

// A text read into a fixed buffer: up to the first NUL, never past the end.
std::string TextOf(const char* data, std::size_t size) {
    return std::string(data, strnlen(data, size));
}
std::string TextOf(std::span<const uint8_t> bytes) {
    return TextOf(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The name of subkey `index` of a key; false once the enumeration fails.
bool SubkeyName(IWinPortApi& api, WinHandle key, uint32_t index, std::string& name) {
    std::array<char, kRegistryBufferSize> buf{};
    uint32_t len = static_cast<uint32_t>(buf.size());
    if (api.RegEnumKeyExA(key, index, buf, len) != 0) {
        return false;
    }
    name = TextOf(buf.data(), std::min<std::size_t>(len, buf.size()));
    return true;
}

// An open registry key that is closed on every way out of its scope, so that a raised
// error leaves nothing open behind it.
class CRegKey {
  public:
    explicit CRegKey(IWinPortApi& api) : api_(api) {}
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() {
        if (open_) {
            api_.RegCloseKey(key_);
        }
    }

    bool Open(WinHandle parent, const std::string& name) {
        open_ = api_.RegOpenKeyExA(parent, name, kKeyRead, key_) == 0;
        return open_;
    }
    WinHandle Get() const { return key_; }

    bool SubkeyName(uint32_t index, std::string& name) {
        return quorvel::SubkeyName(api_, key_, index, name);
    }

    // A text value; false when it cannot be read.
    bool Value(const std::string& valueName, std::string& text) {
        std::array<uint8_t, kRegistryBufferSize> buf{};
        uint32_t len = static_cast<uint32_t>(buf.size());
        if (api_.RegQueryValueExA(key_, valueName, buf, len) != 0) {
            return false;
        }
        text = TextOf(std::span<const uint8_t>(buf.data(), std::min<std::size_t>(len, buf.size())));
        return true;
    }

  private:
    IWinPortApi& api_;
    WinHandle key_ = 0;
    bool open_ = false;
};

const std::string kEnumKeyText = "Could not read from HKLM\\Enum";

}  // namespace

std::string WinErrorText(const char* prefix, uint32_t code) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " (err=%lx)", static_cast<unsigned long>(code));
    return std::string(prefix) + buf;
}

void CWinPortEnumerator::ListSerialPorts(std::vector<SSerInfo>& ports, int skipBusy) {
    ports.clear();

    SOsVersion version;
    if (!api_.GetVersionExA(version)) {
        throw PortEnumError(WinErrorText("Could not get OS version.", api_.GetLastError()));
    }
    if (version.major > 4) {
        EnumPortsSetupApi(ports);
    } else if (version.platformId == kVerPlatformWin32Nt) {
        EnumPortsNt4(ports);
    } else {
        EnumPortsRegistry(ports);
    }

    DropBusyAndName(ports, skipBusy, [this](const std::string& devicePath) {
        WinHandle h =
            api_.CreateFileA(devicePath, kGenericRead | kGenericWrite, 0, kOpenExisting, 0);
        if (h == kInvalidHandleValue) {
            return false;
        }
        api_.CloseHandle(h);
        return true;
    });
}

void CWinPortEnumerator::EnumPortsSetupApi(std::vector<SSerInfo>& ports) {
    WinHandle devInfo = kInvalidHandleValue;
    std::vector<uint8_t> detail;
    // The set is released on every way out, an error included, before the error goes on.
    struct SRelease {
        IWinPortApi& api;
        WinHandle& set;
        ~SRelease() {
            if (set != kInvalidHandleValue) {
                api.SetupDiDestroyDeviceInfoList(set);
            }
        }
    } release{api_, devInfo};

    devInfo = api_.SetupDiGetClassDevsA(kGuidClassComPort, kDigcfPresent | kDigcfDeviceInterface);
    if (devInfo == kInvalidHandleValue) {
        throw PortEnumError(WinErrorText("SetupDiGetClassDevs failed.", api_.GetLastError()));
    }

    detail.assign(kDetailBufferSize, 0);
    for (std::size_t b = 0; b < sizeof kDetailSizeField; ++b) {
        detail[b] = static_cast<uint8_t>(kDetailSizeField >> (8 * b));
    }

    for (uint32_t index = 0;; ++index) {
        SDeviceInterfaceData iface;
        if (!api_.SetupDiEnumDeviceInterfaces(devInfo, kGuidClassComPort, index, iface)) {
            uint32_t err = api_.GetLastError();
            if (err == kErrorNoMoreItems) {
                break;
            }
            throw PortEnumError(WinErrorText("SetupDiEnumDeviceInterfaces failed.", err));
        }

        SDevInfoData dev;
        if (!api_.SetupDiGetDeviceInterfaceDetailA(devInfo, iface, detail, dev)) {
            throw PortEnumError(
                WinErrorText("SetupDiGetDeviceInterfaceDetail failed.", api_.GetLastError()));
        }

        std::array<uint8_t, kPropertyBufferSize> friendly{};
        std::array<uint8_t, kPropertyBufferSize> desc{};
        bool haveFriendly =
            api_.SetupDiGetDeviceRegistryPropertyA(devInfo, dev, kSpdrpFriendlyName, friendly);
        bool haveDesc = haveFriendly && api_.SetupDiGetDeviceRegistryPropertyA(
                                            devInfo, dev, kSpdrpDeviceDesc, desc);
        if (haveFriendly && haveDesc) {
            SSerInfo info;
            info.devicePath = TextOf(std::span<const uint8_t>(detail).subspan(kDetailPathOffset));
            info.friendlyName = TextOf(friendly);
            ports.push_back(std::move(info));
        }
    }
}

void CWinPortEnumerator::EnumPortsNt4(std::vector<SSerInfo>& ports) {
    for (int n = 1; n <= kNt4LastPort; ++n) {
        SSerInfo info;
        info.portName = "COM" + std::to_string(n);
        info.devicePath = "\\\\.\\" + info.portName;
        ports.push_back(std::move(info));
    }
}

void CWinPortEnumerator::EnumPortsRegistry(std::vector<SSerInfo>& ports) {
    CRegKey enumKey(api_);
    if (!enumKey.Open(kHkeyLocalMachine, "Enum")) {
        throw PortEnumError(kEnumKeyText);
    }
    std::string bus;
    for (uint32_t b = 0; enumKey.SubkeyName(b, bus); ++b) {
        CRegKey busKey(api_);
        if (!busKey.Open(enumKey.Get(), bus)) {
            throw PortEnumError(kEnumKeyText + "\\" + bus);
        }
        const bool usb = bus == "USBPORTS";
        std::string device;
        for (uint32_t d = 0; busKey.SubkeyName(d, device); ++d) {
            if (device != "*PNP0500" && device != "*PNP0501" && !usb) {
                continue;
            }
            CRegKey deviceKey(api_);
            if (!deviceKey.Open(busKey.Get(), device)) {
                throw PortEnumError(kEnumKeyText + "\\" + bus + "\\" + device);
            }
            ScanPortKey(deviceKey.Get(), ports);
        }
    }
}

void CWinPortEnumerator::ScanPortKey(WinHandle deviceKey, std::vector<SSerInfo>& ports) {
    std::string instance;
    for (uint32_t i = 0; SubkeyName(api_, deviceKey, i, instance); ++i) {
        CRegKey instanceKey(api_);
        if (!instanceKey.Open(deviceKey, instance)) {
            throw PortEnumError(kEnumKeyText + "\\...\\" + instance);
        }
        std::string portName;
        if (!instanceKey.Value("PORTNAME", portName)) {
            continue;
        }
        std::string friendly;  // stays empty when the value is absent
        instanceKey.Value("FRIENDLYNAME", friendly);
        SSerInfo info{"\\\\.\\" + portName, portName, friendly};
        auto same = std::find_if(ports.begin(), ports.end(),
                                 [&](const SSerInfo& p) { return p.portName == portName; });
        if (same != ports.end()) {
            *same = std::move(info);
        } else {
            ports.push_back(std::move(info));
        }
    }
}

}  // namespace quorvel
