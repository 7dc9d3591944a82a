#pragma once
// The handful of Windows calls the port enumeration makes, behind an interface of plain
// types. The strategies above it are ordinary C++ that builds and is tested on every
// platform with a scripted stand-in; CWin32PortApi (Windows only) is the real thing.
//
// Each operation mirrors one Win32 call, under the name of its "A" form (which also keeps
// it clear of the macros of windows.h), and reports failure the same way: the SetupAPI,
// version and file calls return false / an invalid value and leave the code for
// GetLastError; the registry calls return their error code (0 on success).

#include <cstdint>
#include <span>
#include <string>

namespace quorvel {

// HANDLE, HKEY and HDEVINFO, carried as numbers so that no Windows header is needed.
using WinHandle = std::uintptr_t;
inline constexpr WinHandle kInvalidHandleValue = ~WinHandle{0};
// HKEY_LOCAL_MACHINE: (HKEY)(LONG)0x80000002, sign-extended to pointer width.
inline constexpr WinHandle kHkeyLocalMachine =
    static_cast<WinHandle>(static_cast<std::intptr_t>(static_cast<int32_t>(0x80000002u)));

// Error codes met by the strategies.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;  // 0x7a
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;

// Access, sharing and creation codes of CreateFileA and RegOpenKeyExA.
inline constexpr uint32_t kGenericRead = 0x80000000u;
inline constexpr uint32_t kGenericWrite = 0x40000000u;
inline constexpr uint32_t kOpenExisting = 3;
inline constexpr uint32_t kKeyRead = 0x20019u;

// SetupDiGetClassDevsA flags and SetupDiGetDeviceRegistryPropertyA properties.
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr uint32_t kSpdrpDeviceDesc = 0;
inline constexpr uint32_t kSpdrpFriendlyName = 12;

// Platform ids of OSVERSIONINFOA.
inline constexpr uint32_t kVerPlatformWin32Windows = 1;
inline constexpr uint32_t kVerPlatformWin32Nt = 2;

struct SGuid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
    bool operator==(const SGuid&) const = default;
};

// GUID_CLASS_COMPORT {86E0D1E0-8089-11D0-9CE4-08003E301F73}
inline constexpr SGuid kGuidClassComPort{
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

struct SOsVersion {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t platformId = 0;
};

// SP_DEVICE_INTERFACE_DATA and SP_DEVINFO_DATA without their size fields: the adapter
// sets those for the platform it runs on. A new record is all zero, as the calls expect.
struct SDeviceInterfaceData {
    SGuid interfaceClassGuid;
    uint32_t flags = 0;
    std::uintptr_t reserved = 0;
};
struct SDevInfoData {
    SGuid classGuid;
    uint32_t devInst = 0;
    std::uintptr_t reserved = 0;
};

// SP_DEVICE_INTERFACE_DETAIL_DATA_A laid out in a caller's byte buffer: a 32-bit size
// field (little-endian) followed by the device path as a NUL-terminated text.
inline constexpr std::size_t kDetailPathOffset = 4;

class IWinPortApi {
  public:
    virtual ~IWinPortApi() = default;

    // GetVersionExA.
    virtual bool GetVersionExA(SOsVersion& version) = 0;

    // SetupDiGetClassDevsA(classGuid, NULL, NULL, flags); kInvalidHandleValue on failure.
    virtual WinHandle SetupDiGetClassDevsA(const SGuid& classGuid, uint32_t flags) = 0;
    // SetupDiEnumDeviceInterfaces(set, NULL, classGuid, index, &data).
    virtual bool SetupDiEnumDeviceInterfaces(WinHandle set, const SGuid& classGuid, uint32_t index,
                                             SDeviceInterfaceData& data) = 0;
    // SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, detail.size(), NULL, &devInfo).
    // The caller has written the size field at the start of `detail`.
    virtual bool SetupDiGetDeviceInterfaceDetailA(WinHandle set, const SDeviceInterfaceData& iface,
                                                  std::span<uint8_t> detail,
                                                  SDevInfoData& devInfo) = 0;
    // SetupDiGetDeviceRegistryPropertyA(set, &devInfo, property, NULL, buf, buf.size(),
    // NULL).
    virtual bool SetupDiGetDeviceRegistryPropertyA(WinHandle set, const SDevInfoData& devInfo,
                                                   uint32_t property,
                                                   std::span<uint8_t> buffer) = 0;
    // SetupDiDestroyDeviceInfoList.
    virtual bool SetupDiDestroyDeviceInfoList(WinHandle set) = 0;

    // RegOpenKeyExA(parent, subKey, 0, access, &key).
    virtual long RegOpenKeyExA(WinHandle parent, const std::string& subKey, uint32_t access,
                               WinHandle& key) = 0;
    // RegEnumKeyExA(key, index, name, &nameLen, NULL, NULL, NULL, NULL): nameLen holds the
    // buffer size on entry and the name's length (without NUL) on success.
    virtual long RegEnumKeyExA(WinHandle key, uint32_t index, std::span<char> name,
                               uint32_t& nameLen) = 0;
    // RegQueryValueExA(key, valueName, NULL, NULL, data, &dataLen): dataLen holds the
    // buffer size on entry and the number of bytes stored on success.
    virtual long RegQueryValueExA(WinHandle key, const std::string& valueName,
                                  std::span<uint8_t> data, uint32_t& dataLen) = 0;
    // RegCloseKey.
    virtual long RegCloseKey(WinHandle key) = 0;

    // CreateFileA(path, access, share, NULL, creation, flags, NULL); kInvalidHandleValue
    // on failure.
    virtual WinHandle CreateFileA(const std::string& path, uint32_t access, uint32_t share,
                                  uint32_t creation, uint32_t flagsAndAttributes) = 0;
    // CloseHandle.
    virtual bool CloseHandle(WinHandle handle) = 0;

    // GetLastError.
    virtual uint32_t GetLastError() = 0;
};

}  // namespace quorvel
