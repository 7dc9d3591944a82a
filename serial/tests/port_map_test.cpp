#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "serial/posix/port_map.h"
#include "serial/tests/serial_test_util.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using testing::CRecordingSink;
using testing::CScopedEnv;
using testing::CTempDir;

TEST(FixedPortMap, MapsNumbersAndDevicesBothWays) {
    struct Case {
        int32_t number;
        const char* device;
    };
    const Case mapped[] = {
        {1, "/dev/ttyS0"},     {16, "/dev/ttyS15"},  {20, "/dev/ttyUSB0"},
        {59, "/dev/ttyUSB39"}, {60, "/dev/ttyACM0"}, {99, "/dev/ttyACM39"},
    };
    for (const Case& c : mapped) {
        EXPECT_EQ(FixedDeviceForPort(c.number), c.device) << c.number;
        EXPECT_EQ(FixedPortForDevice(c.device), c.number) << c.device;
    }
    for (const int32_t number : {0, -1, 17, 18, 19, 100, 1000}) {
        EXPECT_EQ(FixedDeviceForPort(number), std::nullopt) << number;
    }
    for (const char* device :
         {"/dev/ttyS16", "/dev/ttyUSB40", "/dev/ttyACM40", "/dev/ttyUSB03", "/dev/ttyUSB",
          "/dev/ttyUSB1x", "/dev/ttyUSB-1", "ttyUSB0", "/dev/pts/1", "/dev/ttyS0/"}) {
        EXPECT_EQ(FixedPortForDevice(device), std::nullopt) << device;
    }
    // Every number the fixed mapping hands out comes back as itself.
    for (int32_t n = kMinComNumber; n <= kMaxComNumber; ++n) {
        if (const auto device = FixedDeviceForPort(n)) {
            EXPECT_EQ(FixedPortForDevice(*device), n);
        }
    }
}

TEST(PortMapParse, TakesGoodLinesAndReportsEachBadOneByLine) {
    const std::string text =
        "# esc-sim and the bench adapter\n"
        "COM7=/dev/pts/5\n"
        "\n"
        "  com17 = /dev/serial/by-id/usb-Silicon_Labs_CP2102-if00-port0 \r\n"
        "COM8 /dev/pts/6\n"       // 5: no '='
        "COM0=/dev/pts/7\n"       // 6: number out of range
        "COM100=/dev/pts/7\n"     // 7: number out of range
        "LPT1=/dev/lp0\n"         // 8: not a COM name
        "COM9=pts/9\n"            // 9: relative path
        "COM10=\n"                // 10: no path
        "COM7=/dev/pts/8\n"       // 11: number already mapped
        "COM11=/dev/pts/5\n"      // 12: device already mapped
        "COM12=/dev/pts/\x01x\n"  // 13: control character
        "   # indented comment\n"
        "COM99=/dev/ttyX";  // no newline at the end
    const SPortMapParse parsed = ParsePortMap(text);

    const std::map<int32_t, std::string> expected = {
        {7, "/dev/pts/5"},
        {17, "/dev/serial/by-id/usb-Silicon_Labs_CP2102-if00-port0"},
        {99, "/dev/ttyX"},
    };
    EXPECT_EQ(parsed.entries, expected);
    ASSERT_EQ(parsed.problems.size(), 9u);
    const int badLines[] = {5, 6, 7, 8, 9, 10, 11, 12, 13};
    for (std::size_t i = 0; i < parsed.problems.size(); ++i) {
        EXPECT_TRUE(parsed.problems[i].starts_with("line " + std::to_string(badLines[i]) + ":"))
            << parsed.problems[i];
    }
    EXPECT_NE(parsed.problems[6].find("line 2"), std::string::npos) << parsed.problems[6];
}

TEST(PortMapParse, EmptyAndCommentOnlyTextsMapNothing) {
    for (const char* text : {"", "\n\n", "# only\n#comments", "   \t\r\n"}) {
        const SPortMapParse parsed = ParsePortMap(text);
        EXPECT_TRUE(parsed.entries.empty()) << text;
        EXPECT_TRUE(parsed.problems.empty()) << text;
    }
}

TEST(PortMapFile, LocationFollowsTheEnvironment) {
    CScopedEnv ports("QUORVEL_PORTS", "/etc/quorvel-ports");
    CScopedEnv xdg("XDG_CONFIG_HOME", "/home/u/.cfg");
    CScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(UserPortMapPath(), fs::path("/etc/quorvel-ports"));

    ports.Unset();
    EXPECT_EQ(UserPortMapPath(), fs::path("/home/u/.cfg/quorvel/ports"));

    xdg.Set("relative/ignored");
    EXPECT_EQ(UserPortMapPath(), fs::path("/home/u/.config/quorvel/ports"));

    xdg.Unset();
    home.Unset();
    EXPECT_EQ(UserPortMapPath(), fs::path());
}

TEST(PortMapFile, MissingFileIsEmptyUnreadableOneIsReported) {
    CTempDir dir;
    const SPortMapParse missing = LoadPortMapFile(dir.Path() / "absent");
    EXPECT_TRUE(missing.entries.empty());
    EXPECT_TRUE(missing.problems.empty());

    const SPortMapParse directory = LoadPortMapFile(dir.Path());
    EXPECT_TRUE(directory.entries.empty());
    ASSERT_EQ(directory.problems.size(), 1u);
    EXPECT_NE(directory.problems[0].find(dir.Path().string()), std::string::npos);

    const fs::path file = dir.Write("ports", "COM3=/dev/pts/3\nrubbish\n");
    const SPortMapParse loaded = LoadPortMapFile(file);
    EXPECT_EQ(loaded.entries, (std::map<int32_t, std::string>{{3, "/dev/pts/3"}}));
    ASSERT_EQ(loaded.problems.size(), 1u);
    EXPECT_TRUE(loaded.problems[0].starts_with("Port table " + file.string() + ": line 2:"))
        << loaded.problems[0];
}

TEST(PortMap, UserLinesOverrideTheFixedMappingForTheirNumbers) {
    CTempDir dir;
    // A stable link onto a device, as /dev/serial/by-id gives.
    const fs::path device = dir.Write("ttyFAKE0", "");
    const fs::path link = dir.Path() / "by-id-link";
    fs::create_symlink(device, link);

    const CPortMap map({{20, "/dev/pts/3"}, {7, link.string()}});

    EXPECT_EQ(map.DeviceForNumber(20), "/dev/pts/3");
    EXPECT_EQ(map.DeviceForNumber(21), "/dev/ttyUSB1");  // untouched fixed number
    EXPECT_EQ(map.DeviceForNumber(18), std::nullopt);
    EXPECT_EQ(map.DeviceForName("COM7"), link.string());
    EXPECT_EQ(map.DeviceForName("com20"), "/dev/pts/3");
    EXPECT_EQ(map.DeviceForName("COM"), std::nullopt);
    EXPECT_EQ(map.DeviceForName("COM100"), std::nullopt);

    EXPECT_EQ(map.NumberForDevice("/dev/pts/3"), 20);
    EXPECT_EQ(map.NumberForDevice(link.string()), 7);
    EXPECT_EQ(map.NumberForDevice(device.string()), 7);            // reached through the link
    EXPECT_EQ(map.NumberForDevice("/dev/ttyUSB0"), std::nullopt);  // its number is taken
    EXPECT_EQ(map.NumberForDevice("/dev/ttyUSB1"), 21);
    EXPECT_EQ(map.NumberForDevice("/dev/pts/4"), std::nullopt);
}

TEST(PortMap, LoadUserPortMapShowsAllProblemsInOneMessage) {
    CTempDir dir;
    const fs::path file = dir.Write("ports", "COM5=/dev/pts/9\nCOM5=/dev/pts/10\nbad\n");
    CScopedEnv ports("QUORVEL_PORTS", file.string());
    CRecordingSink sink;

    const CPortMap map = LoadUserPortMap(sink);

    EXPECT_EQ(map.UserEntries(), (std::map<int32_t, std::string>{{5, "/dev/pts/9"}}));
    const auto messages = sink.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("line 2"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("line 3"), std::string::npos) << messages[0];

    // A good file says nothing.
    const fs::path good = dir.Write("good", "COM5=/dev/pts/9\n");
    ports.Set(good.string());
    LoadUserPortMap(sink);
    EXPECT_EQ(sink.Messages().size(), 1u);
}

}  // namespace
}  // namespace quorvel
