#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "serial/event_loop.h"
#include "serial/posix/port_enum_posix.h"
#include "serial/posix/posix_connection.h"
#include "serial/tests/serial_test_util.h"

namespace quorvel {
namespace {

using testing::CPtyPair;
using testing::CRecordingSink;
using testing::CTempDir;

STtyDevice Usb(const std::string& sysname, const std::string& product,
               const std::string& fromDb = "", const std::string& model = "") {
    STtyDevice d;
    d.devnode = "/dev/" + sysname;
    d.sysname = sysname;
    d.usb = true;
    d.usbProduct = product;
    d.modelFromDatabase = fromDb;
    d.model = model;
    return d;
}

STtyDevice OnBoard(const std::string& sysname, std::optional<int> uartType) {
    STtyDevice d;
    d.devnode = "/dev/" + sysname;
    d.sysname = sysname;
    d.uartType = uartType;
    return d;
}

TEST(PosixPortNames, FriendlyNamesEndInTheComNumber) {
    struct Case {
        STtyDevice device;
        int32_t number;
        const char* name;
    };
    const Case cases[] = {
        {Usb("ttyUSB0", "CP2102 USB to UART Bridge Controller"), 20,
         "CP2102 USB to UART Bridge Controller (COM20)"},
        {Usb("ttyUSB1", "", "FT232 Serial (UART) IC", "FT232R_USB_UART"), 21,
         "FT232 Serial (UART) IC (COM21)"},
        {Usb("ttyUSB2", "", "", "FT232R_USB_UART"), 22, "FT232R USB UART (COM22)"},
        {Usb("ttyUSB3", "  Bad\nname\t"), 23, "Bad name (COM23)"},
        {Usb("ttyUSB4", ""), 24, "USB Serial Port (COM24)"},
        {Usb("ttyACM0", ""), 60, "USB Serial Device (COM60)"},
        {OnBoard("ttyS0", 4), 1, "Communications Port (COM1)"},
        {OnBoard("ttyAMA0", std::nullopt), 17, "Serial Port (COM17)"},
    };
    for (const Case& c : cases) {
        const std::string name = FriendlyNameFor(c.device, c.number);
        EXPECT_EQ(name, c.name);
        // Whatever the name, the list entry must give its number back.
        EXPECT_EQ(PortNumberFromEntry(name), c.number) << name;
    }
}

class PosixEnumeratorTest : public ::testing::Test {
  protected:
    std::vector<SSerInfo> List(const CPortMap& map, int skipBusy) {
        CPosixPortEnumerator enumerator(
            map, [this] { return devices_; },
            [this](const std::string& path) {
                opened_.push_back(path);
                return !busy_.contains(path);
            });
        std::vector<SSerInfo> ports = {{"stale", "COM1", "stale"}};
        enumerator.ListSerialPorts(ports, skipBusy);
        return ports;
    }

    std::vector<STtyDevice> devices_;
    std::set<std::string> busy_;
    std::vector<std::string> opened_;
    CTempDir dir_;
};

TEST_F(PosixEnumeratorTest, ListsNumberedDevicesInNumberOrderAndLeavesTheRestOut) {
    const std::string sim = dir_.Write("pty-of-esc-sim", "").string();
    devices_ = {
        Usb("ttyUSB1", "CP2102 USB to UART Bridge Controller"),
        OnBoard("ttyS1", 0),  // no UART behind it
        Usb("ttyACM0", "", "Some CDC device"),
        OnBoard("ttyS0", 4),
        Usb("ttyUSB45", "Beyond the fixed range"),  // has no number
        OnBoard("ttyAMA0", std::nullopt),           // has no number
        Usb("ttyUSB2", "Taken over by a user line"),
    };
    const CPortMap map(
        {{7, sim}, {22, dir_.Path().string() + "/gone"}, {30, dir_.Path().string() + "/absent"}});

    const std::vector<SSerInfo> ports = List(map, 0);

    std::vector<std::string> names, paths, portNames;
    for (const SSerInfo& p : ports) {
        names.push_back(p.friendlyName);
        paths.push_back(p.devicePath);
        portNames.push_back(p.portName);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Communications Port (COM1)", sim + " (COM7)",
                                               "CP2102 USB to UART Bridge Controller (COM21)",
                                               "Some CDC device (COM60)"}));
    EXPECT_EQ(paths, (std::vector<std::string>{"/dev/ttyS0", sim, "/dev/ttyUSB1", "/dev/ttyACM0"}));
    EXPECT_EQ(portNames, (std::vector<std::string>{"COM1", "COM7", "COM21", "COM60"}));
    EXPECT_TRUE(opened_.empty());  // without skipBusy nothing is opened
}

TEST_F(PosixEnumeratorTest, SkipBusyDropsThePortsThatCannotBeOpened) {
    devices_ = {OnBoard("ttyS0", 4), Usb("ttyUSB0", "A"), Usb("ttyUSB1", "B")};
    busy_ = {"/dev/ttyUSB0"};

    const std::vector<SSerInfo> ports = List(CPortMap(), 1);

    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].devicePath, "/dev/ttyS0");
    EXPECT_EQ(ports[1].devicePath, "/dev/ttyUSB1");
    EXPECT_EQ(opened_, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1"}));
}

TEST_F(PosixEnumeratorTest, AListerFailurePassesThrough) {
    CPortMap map;
    CPosixPortEnumerator enumerator(
        map, []() -> std::vector<STtyDevice> { throw PortEnumError("udev_new failed. (err=c)"); },
        [](const std::string&) { return true; });
    std::vector<SSerInfo> ports;
    EXPECT_THROW(enumerator.ListSerialPorts(ports, 1), PortEnumError);
}

TEST(PosixPortEnumeration, UdevListsOnlyTtysWithADevice) {
    // Every Linux system has the console and the virtual terminals in the tty class;
    // none of them has a device behind it, so none may be listed.
    const std::vector<STtyDevice> devices = ListTtyDevicesUdev();
    for (const STtyDevice& d : devices) {
        EXPECT_TRUE(d.devnode.starts_with("/dev/")) << d.devnode;
        EXPECT_NE(d.sysname, "console");
        EXPECT_NE(d.sysname, "ptmx");
        EXPECT_NE(d.sysname, "tty");
        EXPECT_FALSE(d.sysname.starts_with("tty") && d.sysname.size() > 3 &&
                     std::isdigit(static_cast<unsigned char>(d.sysname[3])))
            << d.sysname;
    }
}

TEST(PosixPortEnumeration, TheOpenTestRefusesAbsentNonTerminalAndHeldPorts) {
    CTempDir dir;
    CPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    EXPECT_TRUE(CanOpenExclusive(pty.SlavePath()));
    EXPECT_FALSE(CanOpenExclusive(dir.Path() / "absent"));
    EXPECT_FALSE(CanOpenExclusive(dir.Write("plain", "x")));
    EXPECT_FALSE(CanOpenExclusive(dir.Path()));

    // Held by our own connection, which opens exclusively.
    CEventLoop loop;
    CRecordingSink sink;
    CPosixConnection connection(
        loop, [](uint32_t, uint32_t) {}, sink,
        [&](std::string_view) { return std::optional<std::string>(pty.SlavePath()); });
    ASSERT_TRUE(connection.Open("COM7", SLineSettings{}));
    EXPECT_FALSE(CanOpenExclusive(pty.SlavePath()));
    connection.ClosePort();
    EXPECT_TRUE(CanOpenExclusive(pty.SlavePath()));
}

TEST(PosixPortEnumeration, AUserMappedPtyIsListedAndOpensByItsNumber) {
    CPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    const CPortMap map({{18, pty.SlavePath()}});
    CPosixPortEnumerator enumerator(map, [] { return std::vector<STtyDevice>{}; });
    std::vector<SSerInfo> ports;
    enumerator.ListSerialPorts(ports, 1);

    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].friendlyName, pty.SlavePath() + " (COM18)");
    const auto number = PortNumberFromEntry(ports[0].friendlyName);
    ASSERT_EQ(number, 18);
    EXPECT_EQ(map.DeviceForName("COM" + std::to_string(*number)), pty.SlavePath());
}

}  // namespace
}  // namespace quorvel
