#include "serial/win32/port_enum_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "serial/win32/tests/fake_win_port_api.h"

namespace quorvel {
namespace {

using testing::CFakeWinPortApi;

std::vector<std::string> FriendlyNames(const std::vector<SSerInfo>& ports) {
    std::vector<std::string> names;
    for (const SSerInfo& p : ports) {
        names.push_back(p.friendlyName);
    }
    return names;
}

bool Called(const CFakeWinPortApi& api, const std::string& call) {
    return std::find(api.calls.begin(), api.calls.end(), call) != api.calls.end();
}

// The message of the error ListSerialPorts raises, or "" when it raises none.
std::string ErrorOf(CFakeWinPortApi& api, std::vector<SSerInfo>& ports, int skipBusy = 0) {
    CWinPortEnumerator e(api);
    try {
        e.ListSerialPorts(ports, skipBusy);
    } catch (const PortEnumError& err) {
        return err.what();
    }
    return "";
}

// One port for each strategy, so that the result shows which one ran.
void ScriptOnePortPerStrategy(CFakeWinPortApi& api) {
    api.devices = {{"\\\\?\\acpi#pnp0501#1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
                    "Setup Port (COM1)", "Communications Port"}};
    api.AddKey("Enum", {"ROOT"});
    api.AddKey("Enum\\ROOT", {"*PNP0501"});
    api.AddKey("Enum\\ROOT\\*PNP0501", {"0000"});
    api.AddKey("Enum\\ROOT\\*PNP0501\\0000", {},
               {{"PORTNAME", "COM2"}, {"FRIENDLYNAME", "Registry Port (COM2)"}});
}

struct SStrategyCase {
    SOsVersion version;
    std::vector<std::string> expected;
};

const std::vector<std::string> kNt4Names = {"COM1",  "COM2",  "COM3",  "COM4",  "COM5",  "COM6",
                                            "COM7",  "COM8",  "COM9",  "COM10", "COM11", "COM12",
                                            "COM13", "COM14", "COM15", "COM16"};

TEST(WinPortEnum, VersionSelectsTheStrategy) {
    const SStrategyCase cases[] = {
        {{6, 1, kVerPlatformWin32Nt}, {"Setup Port (COM1)"}},
        {{5, 0, kVerPlatformWin32Nt}, {"Setup Port (COM1)"}},
        // Above 4 the platform id is not looked at.
        {{5, 0, kVerPlatformWin32Windows}, {"Setup Port (COM1)"}},
        {{4, 0, kVerPlatformWin32Nt}, kNt4Names},
        {{3, 51, kVerPlatformWin32Nt}, kNt4Names},
        {{4, 10, kVerPlatformWin32Windows}, {"Registry Port (COM2)"}},
        {{4, 90, 0}, {"Registry Port (COM2)"}},
    };
    for (const SStrategyCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.version.major) + "." +
                     ::testing::PrintToString(c.version.minor) + " platform " +
                     ::testing::PrintToString(c.version.platformId));
        CFakeWinPortApi api;
        ScriptOnePortPerStrategy(api);
        api.version = c.version;
        std::vector<SSerInfo> ports = {{"stale", "COM99", "stale"}};
        EXPECT_EQ(ErrorOf(api, ports), "");
        EXPECT_EQ(FriendlyNames(ports), c.expected);
    }
}

TEST(WinPortEnum, FailedVersionQueryRaisesItsCodeAndRunsNoStrategy) {
    CFakeWinPortApi api;
    ScriptOnePortPerStrategy(api);
    api.version.reset();
    api.versionError = 0x3e6;
    std::vector<SSerInfo> ports = {{"stale", "COM99", "stale"}};
    EXPECT_EQ(ErrorOf(api, ports), "Could not get OS version. (err=3e6)");
    EXPECT_EQ(api.calls, std::vector<std::string>{"GetVersionEx"});
    EXPECT_TRUE(ports.empty());
}

// ---------------------------------------------------------------- SetupAPI strategy

TEST(WinPortEnumSetupApi, ListsDevicesWithBothNamesInOrder) {
    CFakeWinPortApi api;
    api.devices = {
        {"\\\\?\\usb#vid_1a86&pid_7523#5&1#{86e0d1e0}", "USB Serial Port (COM3)", "USB-SERIAL"},
        {"\\\\?\\path-b", std::nullopt, "No friendly name"},
        {"\\\\?\\path-c", "No description (COM8)", std::nullopt},
        {"\\\\?\\acpi#pnp0501#1#{86e0d1e0}", "Communications Port (COM1)", "Port"},
    };
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    e.EnumPortsSetupApi(ports);

    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].devicePath, "\\\\?\\usb#vid_1a86&pid_7523#5&1#{86e0d1e0}");
    EXPECT_EQ(ports[0].portName, "");
    EXPECT_EQ(ports[0].friendlyName, "USB Serial Port (COM3)");
    EXPECT_EQ(ports[1].devicePath, "\\\\?\\acpi#pnp0501#1#{86e0d1e0}");
    EXPECT_EQ(ports[1].friendlyName, "Communications Port (COM1)");

    // The description is asked for only after the friendly name was read.
    EXPECT_TRUE(Called(api, "GetProperty 1 12"));
    EXPECT_FALSE(Called(api, "GetProperty 1 0"));
    EXPECT_TRUE(Called(api, "GetProperty 2 0"));
    EXPECT_EQ(api.propertyBufferSizes, std::set<std::size_t>{kPropertyBufferSize});
    // The end of the set (ERROR_NO_MORE_ITEMS) is not an error; the set is released once.
    EXPECT_EQ(api.calls.back(), "DestroySet");
    EXPECT_EQ(api.setsCreated, 1);
    EXPECT_EQ(api.setsDestroyed, 1);
}

TEST(WinPortEnumSetupApi, LongestDevicePathFillsTheDetailBuffer) {
    CFakeWinPortApi api;
    const std::string longest(kDetailBufferSize - kDetailPathOffset - 1, 'p');
    api.devices = {{longest, "Long (COM4)", "Long"}};
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    e.EnumPortsSetupApi(ports);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].devicePath, longest);
}

struct SSetupErrorCase {
    const char* name;
    std::function<void(CFakeWinPortApi&)> script;
    std::string text;
    int destroyed;
    std::string notCalled;  // a call the error must have prevented
};

TEST(WinPortEnumSetupApi, ErrorsCarryTheirCodeEndTheEnumerationAndReleaseTheSet) {
    const SSetupErrorCase cases[] = {
        {"no device set", [](CFakeWinPortApi& a) { a.classDevsError = 0x1f; },
         "SetupDiGetClassDevs failed. (err=1f)", 0, "EnumInterfaces 0"},
        {"enumeration fails on the second interface",
         [](CFakeWinPortApi& a) {
             a.enumFailAt = {{1, 0x57}};
         },
         "SetupDiEnumDeviceInterfaces failed. (err=57)", 1, "GetDetail 1"},
        {"enumeration fails at once, code with letters",
         [](CFakeWinPortApi& a) {
             a.enumFailAt = {{0, 0x6f8}};
         },
         "SetupDiEnumDeviceInterfaces failed. (err=6f8)", 1, "GetDetail 0"},
        {"device path one byte too long for the detail buffer",
         [](CFakeWinPortApi& a) {
             a.devices[1].path = std::string(kDetailBufferSize - kDetailPathOffset, 'x');
         },
         "SetupDiGetDeviceInterfaceDetail failed. (err=7a)", 1, "EnumInterfaces 2"},
    };
    for (const SSetupErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeWinPortApi api;
        api.devices = {{"\\\\?\\a", "A (COM1)", "A"},
                       {"\\\\?\\b", "B (COM2)", "B"},
                       {"\\\\?\\c", "C (COM3)", "C"}};
        c.script(api);
        std::vector<SSerInfo> ports;
        // Through ListSerialPorts: the strategy's error passes on unchanged.
        EXPECT_EQ(ErrorOf(api, ports, 1), c.text);
        EXPECT_EQ(api.setsDestroyed, c.destroyed);
        EXPECT_FALSE(Called(api, c.notCalled));
        // No open test runs after an error.
        EXPECT_TRUE(api.createdPaths.empty());
    }
}

// ---------------------------------------------------------------- open test

TEST(WinPortEnum, BusyPortsAreDroppedAndTheNextRecordIsExaminedInTheirPlace) {
    CFakeWinPortApi api;
    api.devices = {{"\\\\?\\p0", "P0 (COM1)", "d"},
                   {"\\\\?\\p1", "P1 (COM2)", "d"},
                   {"\\\\?\\p2", "P2 (COM3)", "d"},
                   {"\\\\?\\p3", "P3 (COM4)", "d"},
                   {"\\\\?\\p4", "P4 (COM5)", "d"}};
    // Two busy neighbours and a busy last one.
    api.openable = {"\\\\?\\p0", "\\\\?\\p3"};
    std::vector<SSerInfo> ports;
    EXPECT_EQ(ErrorOf(api, ports, 1), "");

    EXPECT_EQ(FriendlyNames(ports), (std::vector<std::string>{"P0 (COM1)", "P3 (COM4)"}));
    // Every record examined exactly once, in order, with the prescribed open.
    EXPECT_EQ(api.createdPaths, (std::vector<std::string>{"\\\\?\\p0", "\\\\?\\p1", "\\\\?\\p2",
                                                          "\\\\?\\p3", "\\\\?\\p4"}));
    EXPECT_TRUE(api.createArgsOk);
    EXPECT_TRUE(api.openFiles.empty());
    EXPECT_EQ(api.filesClosed, 2);
    EXPECT_EQ(api.badCloses, 0);
}

TEST(WinPortEnum, WithoutSkipBusyNothingIsOpened) {
    CFakeWinPortApi api;
    api.version = SOsVersion{4, 0, kVerPlatformWin32Nt};
    std::vector<SSerInfo> ports;
    EXPECT_EQ(ErrorOf(api, ports, 0), "");
    EXPECT_EQ(ports.size(), 16u);
    EXPECT_TRUE(api.createdPaths.empty());
}

// ---------------------------------------------------------------- NT 4 strategy

TEST(WinPortEnumNt4, FixedNamesOneToSixteen) {
    CFakeWinPortApi api;
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    e.EnumPortsNt4(ports);
    ASSERT_EQ(ports.size(), 16u);
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].portName, kNt4Names[i]);
        EXPECT_EQ(ports[i].devicePath, "\\\\.\\" + kNt4Names[i]);
        EXPECT_EQ(ports[i].friendlyName, "");
    }
}

TEST(WinPortEnumNt4, OnlyExistingPortsUpToSixteenAreListedUnderTheirNames) {
    CFakeWinPortApi api;
    api.version = SOsVersion{4, 0, kVerPlatformWin32Nt};
    api.openable = {"\\\\.\\COM2", "\\\\.\\COM16", "\\\\.\\COM17"};
    std::vector<SSerInfo> ports;
    EXPECT_EQ(ErrorOf(api, ports, 1), "");
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].friendlyName, "COM2");
    EXPECT_EQ(ports[0].devicePath, "\\\\.\\COM2");
    EXPECT_EQ(ports[1].friendlyName, "COM16");
    EXPECT_EQ(std::count(api.createdPaths.begin(), api.createdPaths.end(), "\\\\.\\COM17"), 0);
}

// ---------------------------------------------------------------- registry strategy

class WinPortEnumRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        api.version = SOsVersion{4, 10, kVerPlatformWin32Windows};
        api.AddKey("Enum", {"ROOT", "USBPORTS", "PCI", "ACPI"});
        api.AddKey("Enum\\ROOT", {"*PNP0501", "LEGACY_X"});
        api.AddKey("Enum\\ROOT\\*PNP0501", {"0000", "0001", "0002"});
        api.AddKey("Enum\\ROOT\\*PNP0501\\0000", {},
                   {{"PORTNAME", "COM1"}, {"FRIENDLYNAME", "Communications Port (COM1)"}});
        api.AddKey("Enum\\ROOT\\*PNP0501\\0001", {}, {{"FRIENDLYNAME", "Printer Port"}});
        api.AddKey("Enum\\ROOT\\*PNP0501\\0002", {}, {{"PORTNAME", "COM2"}});
        // Neither a port device key nor below USBPORTS: never opened.
        api.AddKey("Enum\\ROOT\\LEGACY_X", {"0000"});
        api.AddKey("Enum\\ROOT\\LEGACY_X\\0000", {}, {{"PORTNAME", "COM9"}});
        // Below USBPORTS every device key is scanned.
        api.AddKey("Enum\\USBPORTS", {"VID_1A86"});
        api.AddKey("Enum\\USBPORTS\\VID_1A86", {"A1"});
        api.AddKey("Enum\\USBPORTS\\VID_1A86\\A1", {},
                   {{"PORTNAME", "COM5"}, {"FRIENDLYNAME", "USB Linker (COM5)"}});
        // A second key for COM1 replaces the first record where it stands.
        api.AddKey("Enum\\PCI", {"*PNP0500"});
        api.AddKey("Enum\\PCI\\*PNP0500", {"X"});
        api.AddKey("Enum\\PCI\\*PNP0500\\X", {},
                   {{"PORTNAME", "COM1"}, {"FRIENDLYNAME", "Moved Port (COM1)"}});
        api.AddKey("Enum\\ACPI", {});
    }

    void ExpectEveryKeyClosed() {
        EXPECT_TRUE(api.openKeys.empty());
        EXPECT_EQ(api.badCloses, 0);
    }

    CFakeWinPortApi api;
};

TEST_F(WinPortEnumRegistry, ScansPortKeysAndReplacesARepeatedPortNameInPlace) {
    std::vector<SSerInfo> ports;
    EXPECT_EQ(ErrorOf(api, ports), "");

    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].devicePath, "\\\\.\\COM1");
    EXPECT_EQ(ports[0].portName, "COM1");
    EXPECT_EQ(ports[0].friendlyName, "Moved Port (COM1)");
    // No FRIENDLYNAME: the port name stands in.
    EXPECT_EQ(ports[1].devicePath, "\\\\.\\COM2");
    EXPECT_EQ(ports[1].friendlyName, "COM2");
    EXPECT_EQ(ports[2].devicePath, "\\\\.\\COM5");
    EXPECT_EQ(ports[2].friendlyName, "USB Linker (COM5)");

    EXPECT_FALSE(Called(api, "RegOpen Enum\\ROOT\\LEGACY_X"));
    EXPECT_EQ(api.regBufferSizes, std::set<std::size_t>{kRegistryBufferSize});
    ExpectEveryKeyClosed();
}

TEST_F(WinPortEnumRegistry, StrategyAloneLeavesAMissingFriendlyNameEmpty) {
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    e.EnumPortsRegistry(ports);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[1].portName, "COM2");
    EXPECT_EQ(ports[1].friendlyName, "");
    ExpectEveryKeyClosed();
}

TEST_F(WinPortEnumRegistry, PortNameMustFitTheValueBuffer) {
    const std::string fits(kRegistryBufferSize - 1, 'C');
    const std::string tooLong(kRegistryBufferSize, 'C');
    api.registry["Enum\\ROOT\\*PNP0501\\0000"].values["PORTNAME"] = fits;
    api.registry["Enum\\ROOT\\*PNP0501\\0002"].values["PORTNAME"] = tooLong;
    CWinPortEnumerator e(api);
    std::vector<SSerInfo> ports;
    e.EnumPortsRegistry(ports);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].portName, fits);
    // The value that does not fit counts as absent: that instance is left out.
    EXPECT_EQ(ports[1].portName, "COM5");
    EXPECT_EQ(ports[2].portName, "COM1");
    ExpectEveryKeyClosed();
}

struct SRegistryErrorCase {
    const char* name;
    std::function<void(CFakeWinPortApi&)> script;
    std::string text;
};

TEST_F(WinPortEnumRegistry, ErrorsNameTheKeyAndLeaveNothingOpen) {
    const SRegistryErrorCase cases[] = {
        {"no Enum key", [](CFakeWinPortApi& a) { a.registry.erase("Enum"); },
         "Could not read from HKLM\\Enum"},
        {"bus key", [](CFakeWinPortApi& a) { a.registry["Enum\\USBPORTS"].failOpen = true; },
         "Could not read from HKLM\\Enum\\USBPORTS"},
        {"device key",
         [](CFakeWinPortApi& a) { a.registry["Enum\\PCI\\*PNP0500"].failOpen = true; },
         "Could not read from HKLM\\Enum\\PCI\\*PNP0500"},
        {"instance key",
         [](CFakeWinPortApi& a) { a.registry["Enum\\ROOT\\*PNP0501\\0002"].failOpen = true; },
         "Could not read from HKLM\\Enum\\...\\0002"},
        {"instance key below USBPORTS",
         [](CFakeWinPortApi& a) { a.registry["Enum\\USBPORTS\\VID_1A86\\A1"].failOpen = true; },
         "Could not read from HKLM\\Enum\\...\\A1"},
        // A device key that is not scanned is never opened, so it cannot fail.
        {"unscanned device key",
         [](CFakeWinPortApi& a) { a.registry["Enum\\ROOT\\LEGACY_X"].failOpen = true; }, ""},
    };
    for (const SRegistryErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeWinPortApi fresh = api;
        c.script(fresh);
        std::vector<SSerInfo> ports;
        EXPECT_EQ(ErrorOf(fresh, ports), c.text);
        EXPECT_TRUE(fresh.openKeys.empty());
        EXPECT_EQ(fresh.badCloses, 0);
    }
}

TEST(WinErrorText, LowerCaseHexWithoutPrefix) {
    EXPECT_EQ(WinErrorText("X failed.", 0), "X failed. (err=0)");
    EXPECT_EQ(WinErrorText("X failed.", 122), "X failed. (err=7a)");
    EXPECT_EQ(WinErrorText("X failed.", 0xDEADBEEF), "X failed. (err=deadbeef)");
}

}  // namespace
}  // namespace quorvel
