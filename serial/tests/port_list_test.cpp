#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "serial/port_filter.h"
#include "serial/port_list.h"

namespace quorvel {
namespace {

TEST(PortNumberFromEntry, ReadsTheDigitsAfterComInTheLastSixCharacters) {
    struct Case {
        const char* text;
        std::optional<int32_t> number;
    };
    const Case cases[] = {
        {"USB Serial Port (COM3)", 3},
        {"Communications Port (COM12)", 12},
        {"COM7", 7},
        {"x (COM123)", std::nullopt},  // "OM123)" holds no "COM"
        {"Port (A) (COM4)", 4},
        {"(COM99)", 99},
        {"COM", 0},            // no digit after "COM"
        {"Port (COM)", 0},     // "(COM)" ends in a bracket
        {"COM1x2", 1},         // digits up to the first other character
        {"COMCOM", 0},         // the first "COM" counts
        {"A COM5 (COMX)", 0},  // the "COM5" lies outside the last six
        {"", std::nullopt},
        {"com5", std::nullopt},  // the rule is case-sensitive
        {"COM007", 7},
        {"Serial Port", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortNumberFromEntry(c.text), c.number) << '"' << c.text << '"';
    }
}

// Hands out a fixed list, as a platform enumeration would, or fails.
class CFakeEnumerator : public IPortEnumerator {
  public:
    explicit CFakeEnumerator(std::vector<SSerInfo> ports) : ports_(std::move(ports)) {}
    void ListSerialPorts(std::vector<SSerInfo>& ports, int skipBusy) override {
        skipBusy_ = skipBusy;
        if (!error_.empty()) {
            throw PortEnumError(error_);
        }
        ports = ports_;
    }
    std::vector<SSerInfo> ports_;
    std::string error_;
    int skipBusy_ = -1;
};

std::vector<SSerInfo> NumberedPorts(int n) {
    std::vector<SSerInfo> ports;
    for (int i = 1; i <= n; ++i) {
        const std::string name = "COM" + std::to_string(i);
        ports.push_back(
            {"/dev/x" + std::to_string(i), name, "Port " + std::to_string(i) + " (" + name + ")"});
    }
    return ports;
}

TEST(BuildPortList, KeepsTheFirstTwentyInEnumerationOrderAndAsksToSkipBusyPorts) {
    CFakeEnumerator enumerator(NumberedPorts(25));
    SPortList list;
    list.g_portNames[0] = "stale";
    BuildPortList(enumerator, list);

    EXPECT_EQ(enumerator.skipBusy_, 1);
    ASSERT_EQ(list.g_portCount, 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(list.g_portNames[i], enumerator.ports_[i].friendlyName);
    }
}

TEST(BuildPortList, ShowsFriendlyNamesAndFallsBackToThePortName) {
    CFakeEnumerator enumerator({{"\\\\.\\COM2", "COM2", ""},
                                {"/dev/ttyUSB0", "COM20", "CP2102 (COM20)"},
                                {"/x", "COM9", std::string("Cut\0here (COM9)", 15)}});
    SPortList list;
    list.g_portNames[3] = "kept";
    BuildPortList(enumerator, list);

    ASSERT_EQ(list.g_portCount, 3);
    EXPECT_EQ(list.g_portNames[0], "COM2");
    EXPECT_EQ(list.g_portNames[1], "CP2102 (COM20)");
    EXPECT_EQ(list.g_portNames[2], "Cut");  // "%s" ends at a NUL
    // Entries beyond the count keep their old texts; nobody shows them.
    EXPECT_EQ(list.g_portNames[3], "kept");
}

TEST(BuildPortList, NoPortsGiveAnEmptyList) {
    CFakeEnumerator enumerator({});
    SPortList list;
    list.g_portCount = 5;
    BuildPortList(enumerator, list);
    EXPECT_EQ(list.g_portCount, 0);
}

TEST(BuildPortList, AnEnumerationErrorPassesThroughAndLeavesTheListAlone) {
    CFakeEnumerator enumerator(NumberedPorts(3));
    enumerator.error_ = "SetupDiGetClassDevs failed. (err=5)";
    SPortList list;
    list.g_portCount = 2;
    list.g_portNames[0] = "old";
    try {
        BuildPortList(enumerator, list);
        FAIL() << "no error raised";
    } catch (const PortEnumError& e) {
        EXPECT_STREQ(e.what(), "SetupDiGetClassDevs failed. (err=5)");
    }
    EXPECT_EQ(list.g_portCount, 2);
    EXPECT_EQ(list.g_portNames[0], "old");
}

TEST(DropBusyAndName, DropsPortsThatCannotBeOpenedAndExaminesTheNextInTheirPlace) {
    std::vector<SSerInfo> ports = {{"/a", "COM1", ""},
                                   {"/busy1", "COM2", "Two"},
                                   {"/busy2", "COM3", "Three"},
                                   {"/d", "COM4", ""}};
    std::vector<std::string> tried;
    const auto canOpen = [&](const std::string& path) {
        tried.push_back(path);
        return !path.starts_with("/busy");
    };

    std::vector<SSerInfo> kept = ports;
    DropBusyAndName(kept, 1, canOpen);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].devicePath, "/a");
    EXPECT_EQ(kept[0].friendlyName, "COM1");
    EXPECT_EQ(kept[1].devicePath, "/d");
    EXPECT_EQ(kept[1].friendlyName, "COM4");
    EXPECT_EQ(tried, (std::vector<std::string>{"/a", "/busy1", "/busy2", "/d"}));

    // Without skipBusy nothing is opened and nothing dropped; names are still filled.
    tried.clear();
    DropBusyAndName(ports, 0, canOpen);
    EXPECT_TRUE(tried.empty());
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0].friendlyName, "COM1");
    EXPECT_EQ(ports[1].friendlyName, "Two");
}

}  // namespace
}  // namespace quorvel
