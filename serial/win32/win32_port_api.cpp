#include "serial/win32/win32_port_api.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: setupapi.h builds on its types.
#include <setupapi.h>

#include <cstring>

namespace quorvel {

namespace {

static_assert(sizeof(WinHandle) == sizeof(HANDLE));

GUID ToGuid(const SGuid& g) {
    GUID r{};
    r.Data1 = g.data1;
    r.Data2 = g.data2;
    r.Data3 = g.data3;
    std::memcpy(r.Data4, g.data4, sizeof r.Data4);
    return r;
}

SGuid FromGuid(const GUID& g) {
    SGuid r;
    r.data1 = static_cast<uint32_t>(g.Data1);
    r.data2 = g.Data2;
    r.data3 = g.Data3;
    std::memcpy(r.data4, g.Data4, sizeof r.data4);
    return r;
}

template <class T>
T As(WinHandle h) {
    return reinterpret_cast<T>(h);
}

template <class T>
WinHandle From(T h) {
    return reinterpret_cast<WinHandle>(h);
}

SP_DEVICE_INTERFACE_DATA ToInterfaceData(const SDeviceInterfaceData& d) {
    SP_DEVICE_INTERFACE_DATA r{};
    r.cbSize = sizeof r;
    r.InterfaceClassGuid = ToGuid(d.interfaceClassGuid);
    r.Flags = d.flags;
    r.Reserved = static_cast<ULONG_PTR>(d.reserved);
    return r;
}

SP_DEVINFO_DATA ToDevInfo(const SDevInfoData& d) {
    SP_DEVINFO_DATA r{};
    r.cbSize = sizeof r;
    r.ClassGuid = ToGuid(d.classGuid);
    r.DevInst = d.devInst;
    r.Reserved = static_cast<ULONG_PTR>(d.reserved);
    return r;
}

}  // namespace

bool CWin32PortApi::GetVersionEx(SOsVersion& version) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExA(&info)) {
        return false;
    }
#pragma GCC diagnostic pop
    version.major = info.dwMajorVersion;
    version.minor = info.dwMinorVersion;
    version.platformId = info.dwPlatformId;
    return true;
}

WinHandle CWin32PortApi::SetupDiGetClassDevs(const SGuid& classGuid, uint32_t flags) {
    GUID guid = ToGuid(classGuid);
    HDEVINFO set = ::SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
    return set == INVALID_HANDLE_VALUE ? kInvalidHandleValue : From(set);
}

bool CWin32PortApi::SetupDiEnumDeviceInterfaces(WinHandle set, const SGuid& classGuid,
                                                uint32_t index, SDeviceInterfaceData& data) {
    GUID guid = ToGuid(classGuid);
    SP_DEVICE_INTERFACE_DATA iface = ToInterfaceData(data);
    if (!::SetupDiEnumDeviceInterfaces(As<HDEVINFO>(set), nullptr, &guid, index, &iface)) {
        return false;
    }
    data.interfaceClassGuid = FromGuid(iface.InterfaceClassGuid);
    data.flags = iface.Flags;
    data.reserved = static_cast<std::uintptr_t>(iface.Reserved);
    return true;
}

bool CWin32PortApi::SetupDiGetDeviceInterfaceDetail(WinHandle set, const SDeviceInterfaceData& data,
                                                    std::span<uint8_t> detail,
                                                    SDevInfoData& devInfo) {
    SP_DEVICE_INTERFACE_DATA iface = ToInterfaceData(data);
    SP_DEVINFO_DATA dev = ToDevInfo(devInfo);
    static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == kDetailPathOffset);
    DWORD callerSize = 0;
    std::memcpy(&callerSize, detail.data(), sizeof callerSize);
    DWORD platformSize = callerSize == 5 ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) : callerSize;
    std::memcpy(detail.data(), &platformSize, sizeof platformSize);
    BOOL ok = ::SetupDiGetDeviceInterfaceDetailA(
        As<HDEVINFO>(set), &iface,
        reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail.data()),
        static_cast<DWORD>(detail.size()), nullptr, &dev);
    DWORD err = ::GetLastError();
    std::memcpy(detail.data(), &callerSize, sizeof callerSize);
    ::SetLastError(err);
    if (!ok) {
        return false;
    }
    devInfo.classGuid = FromGuid(dev.ClassGuid);
    devInfo.devInst = dev.DevInst;
    devInfo.reserved = static_cast<std::uintptr_t>(dev.Reserved);
    return true;
}

bool CWin32PortApi::SetupDiGetDeviceRegistryProperty(WinHandle set, const SDevInfoData& devInfo,
                                                     uint32_t property, std::span<uint8_t> buffer) {
    SP_DEVINFO_DATA dev = ToDevInfo(devInfo);
    return ::SetupDiGetDeviceRegistryPropertyA(As<HDEVINFO>(set), &dev, property, nullptr,
                                               buffer.data(), static_cast<DWORD>(buffer.size()),
                                               nullptr) != FALSE;
}

bool CWin32PortApi::SetupDiDestroyDeviceInfoList(WinHandle set) {
    return ::SetupDiDestroyDeviceInfoList(As<HDEVINFO>(set)) != FALSE;
}

long CWin32PortApi::RegOpenKeyEx(WinHandle parent, const std::string& subKey, uint32_t access,
                                 WinHandle& key) {
    HKEY opened = nullptr;
    LONG rc = ::RegOpenKeyExA(As<HKEY>(parent), subKey.c_str(), 0, access, &opened);
    if (rc == ERROR_SUCCESS) {
        key = From(opened);
    }
    return rc;
}

long CWin32PortApi::RegEnumKeyEx(WinHandle key, uint32_t index, std::span<char> name,
                                 uint32_t& nameLen) {
    DWORD len = nameLen;
    LONG rc = ::RegEnumKeyExA(As<HKEY>(key), index, name.data(), &len, nullptr, nullptr, nullptr,
                              nullptr);
    if (rc == ERROR_SUCCESS) {
        nameLen = len;
    }
    return rc;
}

long CWin32PortApi::RegQueryValueEx(WinHandle key, const std::string& valueName,
                                    std::span<uint8_t> data, uint32_t& dataLen) {
    DWORD len = dataLen;
    LONG rc =
        ::RegQueryValueExA(As<HKEY>(key), valueName.c_str(), nullptr, nullptr, data.data(), &len);
    if (rc == ERROR_SUCCESS) {
        dataLen = len;
    }
    return rc;
}

long CWin32PortApi::RegCloseKey(WinHandle key) {
    return ::RegCloseKey(As<HKEY>(key));
}

WinHandle CWin32PortApi::CreateFile(const std::string& path, uint32_t access, uint32_t share,
                                    uint32_t creation, uint32_t flagsAndAttributes) {
    HANDLE h =
        ::CreateFileA(path.c_str(), access, share, nullptr, creation, flagsAndAttributes, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidHandleValue : From(h);
}

bool CWin32PortApi::CloseHandle(WinHandle handle) {
    return ::CloseHandle(As<HANDLE>(handle)) != FALSE;
}

uint32_t CWin32PortApi::GetLastError() {
    return ::GetLastError();
}

}  // namespace quorvel
