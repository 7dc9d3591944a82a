#pragma once
// IWinPortApi on the real Windows calls (SetupAPI, the registry, the version query and
// CreateFileA). Windows builds only.

#include "serial/win32/win_port_api.h"

namespace quorvel {

class CWin32PortApi : public IWinPortApi {
  public:
    bool GetVersionExA(SOsVersion& version) override;
    WinHandle SetupDiGetClassDevsA(const SGuid& classGuid, uint32_t flags) override;
    bool SetupDiEnumDeviceInterfaces(WinHandle set, const SGuid& classGuid, uint32_t index,
                                     SDeviceInterfaceData& data) override;
    // The size field the caller wrote is that of the 32-bit layout (5); on a 64-bit
    // build the call insists on its own structure size (8), so the field is given that
    // value for the call. The device path sits at the same offset in both layouts.
    bool SetupDiGetDeviceInterfaceDetailA(WinHandle set, const SDeviceInterfaceData& iface,
                                          std::span<uint8_t> detail,
                                          SDevInfoData& devInfo) override;
    bool SetupDiGetDeviceRegistryPropertyA(WinHandle set, const SDevInfoData& devInfo,
                                           uint32_t property, std::span<uint8_t> buffer) override;
    bool SetupDiDestroyDeviceInfoList(WinHandle set) override;
    long RegOpenKeyExA(WinHandle parent, const std::string& subKey, uint32_t access,
                       WinHandle& key) override;
    long RegEnumKeyExA(WinHandle key, uint32_t index, std::span<char> name,
                       uint32_t& nameLen) override;
    long RegQueryValueExA(WinHandle key, const std::string& valueName, std::span<uint8_t> data,
                          uint32_t& dataLen) override;
    long RegCloseKey(WinHandle key) override;
    WinHandle CreateFileA(const std::string& path, uint32_t access, uint32_t share,
                          uint32_t creation, uint32_t flagsAndAttributes) override;
    bool CloseHandle(WinHandle handle) override;
    uint32_t GetLastError() override;
};

}  // namespace quorvel
