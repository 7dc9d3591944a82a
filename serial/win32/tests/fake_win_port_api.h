#pragma once
// A scripted stand-in for the Windows calls of the port enumeration: a version, a
// SetupAPI device set, a registry tree and a set of openable device paths. It keeps
// the books a test needs: every handle and key it gave out and whether it came back,
// the buffer sizes and arguments the calls were made with, and the order of calls.

#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "serial/win32/win_port_api.h"

namespace quorvel::testing {

inline constexpr uint32_t kErrorInvalidUserBuffer = 1784;

struct SFakeDevice {
    std::string path;
    std::optional<std::string> friendlyName;  // nullopt: the property is absent
    std::optional<std::string> description;
};

struct SFakeKey {
    std::vector<std::string> subkeys;  // in enumeration order
    std::map<std::string, std::string> values;
    bool failOpen = false;
};

class CFakeWinPortApi : public IWinPortApi {
  public:
    // --- script ---
    std::optional<SOsVersion> version = SOsVersion{6, 1, kVerPlatformWin32Nt};
    uint32_t versionError = 0;

    uint32_t classDevsError = 0;  // nonzero: SetupDiGetClassDevs fails with it
    std::vector<SFakeDevice> devices;
    std::optional<std::pair<uint32_t, uint32_t>> enumFailAt;  // index, error

    std::map<std::string, SFakeKey> registry;  // full path below HKLM, e.g. "Enum\\ROOT"

    std::set<std::string> openable;  // device paths CreateFileA opens

    // --- books ---
    std::vector<std::string> calls;
    int setsCreated = 0;
    int setsDestroyed = 0;
    std::map<WinHandle, std::string> openKeys;  // handle -> path
    int keysOpened = 0;
    int badCloses = 0;
    std::set<std::size_t> regBufferSizes;
    std::set<std::size_t> propertyBufferSizes;
    std::vector<std::string> createdPaths;
    bool createArgsOk = true;
    std::set<WinHandle> openFiles;
    int filesClosed = 0;

    bool GetVersionExA(SOsVersion& v) override {
        calls.push_back("GetVersionEx");
        if (!version) {
            lastError_ = versionError;
            return false;
        }
        v = *version;
        return true;
    }

    WinHandle SetupDiGetClassDevsA(const SGuid& cls, uint32_t flags) override {
        calls.push_back("GetClassDevs");
        if (classDevsError != 0 || !(cls == kGuidClassComPort) ||
            flags != (kDigcfPresent | kDigcfDeviceInterface)) {
            lastError_ = classDevsError != 0 ? classDevsError : 87;
            return kInvalidHandleValue;
        }
        ++setsCreated;
        return kSet;
    }

    bool SetupDiEnumDeviceInterfaces(WinHandle set, const SGuid& cls, uint32_t index,
                                     SDeviceInterfaceData& data) override {
        calls.push_back("EnumInterfaces " + std::to_string(index));
        if (set != kSet || !(cls == kGuidClassComPort)) {
            lastError_ = 6;
            return false;
        }
        if (enumFailAt && enumFailAt->first == index) {
            lastError_ = enumFailAt->second;
            return false;
        }
        if (index >= devices.size()) {
            lastError_ = kErrorNoMoreItems;
            return false;
        }
        data.interfaceClassGuid = cls;
        data.reserved = index + 1;
        return true;
    }

    bool SetupDiGetDeviceInterfaceDetailA(WinHandle set, const SDeviceInterfaceData& iface,
                                          std::span<uint8_t> detail,
                                          SDevInfoData& devInfo) override {
        calls.push_back("GetDetail " + std::to_string(iface.reserved - 1));
        uint32_t sizeField = 0;
        std::memcpy(&sizeField, detail.data(), sizeof sizeField);
        if (set != kSet || detail.size() != 261 || sizeField != 5 || devInfo.devInst != 0 ||
            devInfo.reserved != 0) {
            lastError_ = kErrorInvalidUserBuffer;
            return false;
        }
        const std::string& path = devices.at(iface.reserved - 1).path;
        if (kDetailPathOffset + path.size() + 1 > detail.size()) {
            lastError_ = kErrorInsufficientBuffer;
            return false;
        }
        std::memcpy(detail.data() + kDetailPathOffset, path.c_str(), path.size() + 1);
        devInfo.devInst = static_cast<uint32_t>(iface.reserved);
        return true;
    }

    bool SetupDiGetDeviceRegistryPropertyA(WinHandle set, const SDevInfoData& devInfo,
                                           uint32_t property, std::span<uint8_t> buffer) override {
        calls.push_back("GetProperty " + std::to_string(devInfo.devInst - 1) + " " +
                        std::to_string(property));
        propertyBufferSizes.insert(buffer.size());
        const SFakeDevice& dev = devices.at(devInfo.devInst - 1);
        const std::optional<std::string>& text =
            property == kSpdrpFriendlyName
                ? dev.friendlyName
                : (property == kSpdrpDeviceDesc ? dev.description : std::nullopt);
        if (set != kSet || !text) {
            lastError_ = 13;  // ERROR_INVALID_DATA: the property is absent
            return false;
        }
        if (text->size() + 1 > buffer.size()) {
            lastError_ = kErrorInsufficientBuffer;
            return false;
        }
        std::memcpy(buffer.data(), text->c_str(), text->size() + 1);
        return true;
    }

    bool SetupDiDestroyDeviceInfoList(WinHandle set) override {
        calls.push_back("DestroySet");
        if (set == kSet) {
            ++setsDestroyed;
        }
        return set == kSet;
    }

    long RegOpenKeyExA(WinHandle parent, const std::string& subKey, uint32_t access,
                       WinHandle& key) override {
        std::string base;
        if (parent != kHkeyLocalMachine) {
            auto it = openKeys.find(parent);
            if (it == openKeys.end()) {
                return 6;  // ERROR_INVALID_HANDLE
            }
            base = it->second + "\\";
        }
        std::string path = base + subKey;
        calls.push_back("RegOpen " + path);
        auto node = registry.find(path);
        if (access != kKeyRead || node == registry.end() || node->second.failOpen) {
            return static_cast<long>(node == registry.end() ? kErrorFileNotFound
                                                            : kErrorAccessDenied);
        }
        key = nextKey_++;
        openKeys[key] = path;
        ++keysOpened;
        return 0;
    }

    long RegEnumKeyExA(WinHandle key, uint32_t index, std::span<char> name,
                       uint32_t& nameLen) override {
        regBufferSizes.insert(name.size());
        auto it = openKeys.find(key);
        if (it == openKeys.end() || nameLen != name.size()) {
            return 6;
        }
        const SFakeKey& node = registry.at(it->second);
        if (index >= node.subkeys.size()) {
            return static_cast<long>(kErrorNoMoreItems);
        }
        const std::string& sub = node.subkeys[index];
        if (sub.size() + 1 > name.size()) {
            return static_cast<long>(kErrorMoreData);
        }
        std::memcpy(name.data(), sub.c_str(), sub.size() + 1);
        nameLen = static_cast<uint32_t>(sub.size());
        return 0;
    }

    long RegQueryValueExA(WinHandle key, const std::string& valueName, std::span<uint8_t> data,
                          uint32_t& dataLen) override {
        regBufferSizes.insert(data.size());
        auto it = openKeys.find(key);
        if (it == openKeys.end() || dataLen != data.size()) {
            return 6;
        }
        const SFakeKey& node = registry.at(it->second);
        auto v = node.values.find(valueName);
        if (v == node.values.end()) {
            return static_cast<long>(kErrorFileNotFound);
        }
        // REG_SZ: the text and its NUL.
        if (v->second.size() + 1 > data.size()) {
            return static_cast<long>(kErrorMoreData);
        }
        std::memcpy(data.data(), v->second.c_str(), v->second.size() + 1);
        dataLen = static_cast<uint32_t>(v->second.size() + 1);
        return 0;
    }

    long RegCloseKey(WinHandle key) override {
        auto it = openKeys.find(key);
        if (it == openKeys.end()) {
            ++badCloses;
            return 6;
        }
        calls.push_back("RegClose " + it->second);
        openKeys.erase(it);
        return 0;
    }

    WinHandle CreateFileA(const std::string& path, uint32_t access, uint32_t share,
                          uint32_t creation, uint32_t flags) override {
        createdPaths.push_back(path);
        if (access != (kGenericRead | kGenericWrite) || share != 0 || creation != kOpenExisting ||
            flags != 0) {
            createArgsOk = false;
        }
        if (!openable.contains(path)) {
            lastError_ = kErrorFileNotFound;
            return kInvalidHandleValue;
        }
        WinHandle h = nextFile_++;
        openFiles.insert(h);
        return h;
    }

    bool CloseHandle(WinHandle h) override {
        if (openFiles.erase(h) == 0) {
            ++badCloses;
            return false;
        }
        ++filesClosed;
        return true;
    }

    uint32_t GetLastError() override { return lastError_; }

    // Helpers for scripts.
    void AddKey(const std::string& path, std::vector<std::string> subkeys,
                std::map<std::string, std::string> values = {}) {
        registry[path] = SFakeKey{std::move(subkeys), std::move(values), false};
    }

  private:
    static constexpr WinHandle kSet = 0x5E7;
    uint32_t lastError_ = 0;
    WinHandle nextKey_ = 0x1000;
    WinHandle nextFile_ = 0x2000;
};

}  // namespace quorvel::testing
