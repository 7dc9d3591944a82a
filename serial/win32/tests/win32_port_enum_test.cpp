// The port enumeration on the real Windows calls. Under Wine (scripts/test-windows.sh)
// the COM port of QUORVEL_TEST_COM exists and is free.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "serial/win32/port_enum_win.h"
#include "serial/win32/tests/win32_test_env.h"
#include "serial/win32/win32_port_api.h"

namespace quorvel {
namespace {

using testing::RunningUnderWine;
using testing::TestPortName;

// The real calls, but the version query answers what a test asks for, so that every
// strategy can run on today's Windows.
class CVersionedApi : public CWin32PortApi {
  public:
    explicit CVersionedApi(SOsVersion v) : version_(v) {}
    bool GetVersionExA(SOsVersion& v) override {
        v = version_;
        return true;
    }

  private:
    SOsVersion version_;
};

bool Lists(const std::vector<SSerInfo>& ports, const std::string& portName) {
    return std::any_of(ports.begin(), ports.end(),
                       [&](const SSerInfo& p) { return p.portName == portName; });
}

TEST(Win32PortEnum, RealVersionQuerySelectsSetupApi) {
    CWin32PortApi api;
    SOsVersion v;
    ASSERT_TRUE(api.GetVersionExA(v));
    EXPECT_GT(v.major, 4u);

    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    ASSERT_NO_THROW(e.ListSerialPorts(ports, 1));
    for (const SSerInfo& p : ports) {
        EXPECT_FALSE(p.friendlyName.empty());
        EXPECT_FALSE(p.devicePath.empty());
    }
    if (RunningUnderWine()) {
        // Wine's SetupAPI has no COM-port interfaces: the list is empty there.
        EXPECT_TRUE(ports.empty());
    }
}

TEST(Win32PortEnum, Nt4StrategyListsTheMappedPortAndNothingAboveSixteen) {
    CVersionedApi api({4, 0, kVerPlatformWin32Nt});
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    ASSERT_NO_THROW(e.ListSerialPorts(ports, 1));

    const std::string name = TestPortName();
    ASSERT_TRUE(Lists(ports, name));
    std::set<std::string> seen;
    for (const SSerInfo& p : ports) {
        EXPECT_EQ(p.friendlyName, p.portName);
        EXPECT_EQ(p.devicePath, "\\\\.\\" + p.portName);
        EXPECT_TRUE(seen.insert(p.portName).second) << p.portName;
    }
    EXPECT_FALSE(Lists(ports, "COM17"));

    // Without the open test all sixteen names are there, in order.
    e.ListSerialPorts(ports, 0);
    ASSERT_EQ(ports.size(), 16u);
    EXPECT_EQ(ports.front().portName, "COM1");
    EXPECT_EQ(ports.back().portName, "COM16");
}

// HKLM\Enum exists only on Windows 9x. The test builds a small one in the (private)
// registry, runs the registry strategy over it and removes it again.
class Win32PortEnumRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        HKEY probe = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &probe) == ERROR_SUCCESS) {
            RegCloseKey(probe);
            GTEST_SKIP() << "HKLM\\Enum exists here; not touching it";
        }
    }
    void TearDown() override {
        if (created_) {
            RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Enum");
        }
    }

    bool Put(const std::string& path, const char* name, const std::string& value) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        created_ = true;
        bool ok = name == nullptr ||
                  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
        RegCloseKey(key);
        return ok;
    }

    bool created_ = false;
};

TEST_F(Win32PortEnumRegistry, WithoutEnumKeyTheStrategyFails) {
    CVersionedApi api({4, 10, kVerPlatformWin32Windows});
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    try {
        e.ListSerialPorts(ports, 1);
        ADD_FAILURE() << "no error raised";
    } catch (const PortEnumError& err) {
        EXPECT_STREQ(err.what(), "Could not read from HKLM\\Enum");
    }
}

TEST_F(Win32PortEnumRegistry, ScansTheEnumTreeAndKeepsWhatOpens) {
    const std::string name = TestPortName();
    if (!Put("Enum\\ROOT\\*PNP0501\\0000", "PORTNAME", name) ||
        !Put("Enum\\ROOT\\*PNP0501\\0000", "FRIENDLYNAME", "Communications Port (" + name + ")") ||
        !Put("Enum\\ROOT\\*PNP0501\\0001", "PORTNAME", "COM200") ||
        !Put("Enum\\ROOT\\LEGACY\\0000", "PORTNAME", "COM199") ||
        !Put("Enum\\USBPORTS\\VID_TEST\\A1", "PORTNAME", name) ||
        !Put("Enum\\USBPORTS\\VID_TEST\\A1", "FRIENDLYNAME", "USB Linker (" + name + ")")) {
        GTEST_SKIP() << "cannot write HKLM here";
    }
    CVersionedApi api({4, 10, kVerPlatformWin32Windows});
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;

    e.ListSerialPorts(ports, 0);
    ASSERT_EQ(ports.size(), 2u);
    // The USBPORTS record for the same port name replaced the first one in its place.
    EXPECT_EQ(ports[0].portName, name);
    EXPECT_EQ(ports[0].friendlyName, "USB Linker (" + name + ")");
    EXPECT_EQ(ports[0].devicePath, "\\\\.\\" + name);
    EXPECT_EQ(ports[1].portName, "COM200");
    EXPECT_EQ(ports[1].friendlyName, "COM200");

    // The open test drops the port that does not exist.
    e.ListSerialPorts(ports, 1);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].portName, name);
}

}  // namespace
}  // namespace quorvel
