#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/exit_codes.h"

namespace quorvel::cli {
namespace {

struct SParsed {
    SParseResult result;
    std::string out;
    std::string err;
};

SParsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "quorvel-cli");
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    std::ostringstream out;
    std::ostringstream err;
    SParsed p;
    p.result = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

TEST(CliOptions, DefaultsAreTheInformationFilesLineSettings) {
    const SParsed p = Parse({"info", "--sim"});
    ASSERT_TRUE(p.result.options) << p.err;
    const SCliOptions& o = *p.result.options;
    EXPECT_EQ(o.command, Command::kInfo);
    EXPECT_TRUE(o.port.sim);
    EXPECT_EQ(o.line.baud, 19200);
    EXPECT_EQ(o.line.byteSize, 8);
    EXPECT_EQ(o.line.parity, 0);
    EXPECT_EQ(o.line.stopBits, 1);
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 30.0);
    EXPECT_FALSE(o.quiet);
    EXPECT_TRUE(o.traceFile.empty());
    // The simulated ESC follows the line: 8 data bits, no parity, 1.5 stop bits.
    EXPECT_EQ(o.simConfig.wire.baud, 19200u);
    EXPECT_EQ(o.simConfig.wire.stopHalfBits, 3);
    EXPECT_TRUE(o.simConfig.present);
    EXPECT_TRUE(o.simConfig.faults.empty());
}

TEST(CliOptions, LinkOptionsStandOnEitherSideOfTheCommand) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--sim", "--baud", "115200", "flash"},
                                               {"flash", "--sim", "--baud", "115200"},
                                               {"--sim", "flash", "--baud", "115200"}}) {
        const SParsed p = Parse(args);
        ASSERT_TRUE(p.result.options) << p.err;
        EXPECT_EQ(p.result.options->command, Command::kFlash);
        EXPECT_TRUE(p.result.options->port.sim);
        EXPECT_EQ(p.result.options->line.baud, 115200);
        EXPECT_EQ(p.result.options->simConfig.wire.baud, 115200u);
    }
}

TEST(CliOptions, PortFormsOfEachSyntax) {
    constexpr PortSyntax kPosix = PortSyntax::kComOrDevicePath;
    constexpr PortSyntax kWindows = PortSyntax::kComOnly;
    struct Case {
        std::string arg;
        PortSyntax syntax;
        int32_t number;      // 0 with a device, or when refused
        std::string device;  // empty when refused or a COM name
        std::string says;    // the refusal; empty when accepted
    };
    const std::vector<Case> cases{
        {"COM7", kPosix, 7, "", ""},
        {"com12", kPosix, 12, "", ""},
        {"3", kPosix, 3, "", ""},
        {"99", kPosix, 99, "", ""},
        {"/dev/ttyUSB0", kPosix, 0, "/dev/ttyUSB0", ""},
        {"/dev/pts/4", kPosix, 0, "/dev/pts/4", ""},
        {"COM7", kWindows, 7, "", ""},
        {"com12", kWindows, 12, "", ""},
        {"99", kWindows, 99, "", ""},
        {"COM100", kPosix, 0, "", "COM1 to COM99"},
        {"COM0", kWindows, 0, "", "COM1 to COM99"},
        {"ttyUSB0", kPosix, 0, "", "neither"},
        {"", kPosix, 0, "", "empty"},
        {"/dev/ttyUSB0", kWindows, 0, "", "is not a COM port"},
        {"\\\\.\\COM3", kWindows, 0, "", "is not a COM port"},
        {"COMX", kWindows, 0, "", "is not a COM port"},
    };
    for (const Case& c : cases) {
        const std::string what = c.arg + (c.syntax == kWindows ? " (COM only)" : " (COM or path)");
        const SPortParse r = ParsePortArgument(c.arg, c.syntax);
        if (!c.says.empty()) {
            EXPECT_FALSE(r.port) << what;
            EXPECT_NE(r.error.find(c.says), std::string::npos) << what << ": " << r.error;
            continue;
        }
        ASSERT_TRUE(r.port) << what << ": " << r.error;
        EXPECT_FALSE(r.port->sim);
        EXPECT_EQ(r.port->number, c.number) << what;
        EXPECT_EQ(r.port->devicePath, c.device) << what;
    }
}

// --port takes this platform's forms; a refused one is a usage error.
TEST(CliOptions, PortOptionUsesThePlatformsSyntax) {
    const SParsed com = Parse({"info", "--port", "com12"});
    ASSERT_TRUE(com.result.options) << com.err;
    EXPECT_FALSE(com.result.options->port.sim);
    EXPECT_EQ(com.result.options->port.number, 12);

    const SParsed path = Parse({"info", "--port", "/dev/pts/4"});
    if (NativePortSyntax() == PortSyntax::kComOrDevicePath) {
        ASSERT_TRUE(path.result.options) << path.err;
        EXPECT_EQ(path.result.options->port.devicePath, "/dev/pts/4");
    } else {
        EXPECT_FALSE(path.result.options);
        EXPECT_EQ(path.result.exitCode, kExitUsage);
        EXPECT_NE(path.err.find("--port: '/dev/pts/4' is not a COM port"), std::string::npos)
            << path.err;
    }
}

TEST(CliOptions, LineSettingsAndTimeout) {
    const SParsed p =
        Parse({"info", "--port", "COM3", "--baud", "9600", "--data-bits", "7", "--parity", "Even",
               "--stop-bits", "2", "--timeout", "2.5", "--trace", "t.log", "--quiet"});
    ASSERT_TRUE(p.result.options) << p.err;
    const SCliOptions& o = *p.result.options;
    EXPECT_EQ(o.line.baud, 9600);
    EXPECT_EQ(o.line.byteSize, 7);
    EXPECT_EQ(o.line.parity, 2);
    EXPECT_EQ(o.line.stopBits, 2);
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 2.5);
    EXPECT_EQ(o.traceFile, "t.log");
    EXPECT_TRUE(o.quiet);
}

TEST(CliOptions, SetupChoicesBecomeButtonIndices) {
    const SParsed p =
        Parse({"setup", "--sim", "--mode", "3d-fast", "--pwm", "12", "--timing", "HIGH", "--signal",
               "one-shot", "--brake", "50", "--direction", "reverse", "--defaults"});
    ASSERT_TRUE(p.result.options) << p.err;
    const SSetupRequest& s = p.result.options->setup;
    EXPECT_TRUE(s.defaults);
    // Window order: Mode, PWM, Timing, Signal, Brake, Direction; index = button position.
    const std::array<int32_t, 6> expected{2, 0, 2, 2, 1, 1};
    for (std::size_t g = 0; g < 6; ++g) {
        ASSERT_TRUE(s.choice[g]) << g;
        EXPECT_EQ(*s.choice[g], expected[g]) << kSetupGroups[g].name;
    }
    const SParsed none = Parse({"setup", "--sim", "--brake", "off"});
    ASSERT_TRUE(none.result.options);
    EXPECT_FALSE(none.result.options->setup.defaults);
    EXPECT_FALSE(none.result.options->setup.choice[0]);
    EXPECT_EQ(none.result.options->setup.choice[4], 0);
}

TEST(CliOptions, EveryCaptionHasAValueNameThatParsesBack) {
    for (const SSetupGroup& g : kSetupGroups) {
        for (int32_t i = 0; i < g.buttonCount; ++i) {
            const std::string name = ChoiceValueName(g.captions[static_cast<std::size_t>(i)]);
            EXPECT_EQ(ParseChoice(g, name), i) << g.name << " " << name;
            EXPECT_EQ(ParseChoice(g, g.captions[static_cast<std::size_t>(i)]), i);
            EXPECT_EQ(name.find(' '), std::string::npos);
        }
        EXPECT_FALSE(ParseChoice(g, "nonsense"));
    }
    EXPECT_EQ(ChoiceValueName("3D Slow"), "3d-slow");
    EXPECT_EQ(ChoiceValueName("32K"), "32");
    EXPECT_EQ(ChoiceValueName("100%"), "100");
    EXPECT_EQ(ChoiceValueName("OFF"), "off");
    EXPECT_EQ(GroupOptionName(kSetupGroups[1]), "pwm");
}

TEST(CliOptions, SimProfileAndFaults) {
    const SParsed p = Parse({"flash",
                             "--sim",
                             "--sim-boot-type",
                             "1",
                             "--sim-variant",
                             "25",
                             "--sim-version",
                             "4.02",
                             "--sim-fault",
                             "program:missing@3",
                             "--sim-fault",
                             "set-buffer:late=120",
                             "--sim-fault",
                             "keepalive:wrong=0x55@2+0",
                             "--sim-fault",
                             "info:noise=55,AA@1",
                             "--sim-bad-info-crc",
                             "--sim-power-cut-after",
                             "5",
                             "--sim-boot-text",
                             "f051boot4x",
                             "--sim-id-text",
                             "CPU-F0511"});
    ASSERT_TRUE(p.result.options) << p.err;
    const sim::SSimConfig& c = p.result.options->simConfig;
    EXPECT_EQ(c.bootType, 1);
    EXPECT_EQ(c.variant, 25);
    EXPECT_EQ(c.appMajor, 4);
    EXPECT_EQ(c.appMinor, 2);
    EXPECT_TRUE(c.badInfoCrc);
    EXPECT_EQ(c.powerCutAfterPage, 5u);
    EXPECT_EQ(c.bootText, "f051boot4x");
    EXPECT_EQ(c.idText, "CPU-F0511");
    ASSERT_EQ(c.faults.size(), 4u);
    EXPECT_EQ(c.faults[0].kind, sim::ReplyKind::kProgram);
    EXPECT_EQ(c.faults[0].action, sim::FaultAction::kMissing);
    EXPECT_EQ(c.faults[0].nth, 3u);
    EXPECT_EQ(c.faults[0].repeat, 1u);
    EXPECT_EQ(c.faults[1].action, sim::FaultAction::kLate);
    EXPECT_EQ(c.faults[1].nth, 0u);
    EXPECT_EQ(c.faults[1].lateNs, 120 * sim::kNsPerMs);
    EXPECT_EQ(c.faults[2].kind, sim::ReplyKind::kKeepAlive);
    EXPECT_EQ(c.faults[2].nth, 2u);
    EXPECT_EQ(c.faults[2].repeat, 0u);
    EXPECT_EQ(c.faults[2].byte, 0x55);
    EXPECT_EQ(c.faults[3].kind, sim::ReplyKind::kReadInfo);
    EXPECT_EQ(c.faults[3].noise, (std::vector<uint8_t>{0x55, 0xAA}));
}

TEST(CliOptions, AbsentEscAndLatePowerOn) {
    const SParsed absent = Parse({"info", "--sim", "--sim-absent"});
    ASSERT_TRUE(absent.result.options);
    EXPECT_FALSE(absent.result.options->simConfig.present);
    const SParsed later = Parse({"info", "--sim", "--sim-power-on-after", "1.5"});
    ASSERT_TRUE(later.result.options);
    EXPECT_TRUE(later.result.options->simConfig.present);
    EXPECT_EQ(later.result.options->simConfig.powerOnAtNs, 1'500'000'000u);
}

TEST(CliOptions, UsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases{
        {{}, "subcommand"},
        {{"erase", "--sim"}, "unknown command 'erase'"},
        {{"--bogus", "info", "--sim"}, "--bogus"},
        {{"--sim"}, "subcommand"},
        {{"info", "--sim", "--frobnicate"}, "--frobnicate"},
        {{"info"}, "no port"},
        {{"info", "--sim", "--port", "COM3"}, "exclude each other"},
        {{"--port", "COM3", "info", "--sim"}, "exclude each other"},
        {{"info", "--port", "COM100"}, "COM1 to COM99"},
        {{"info", "--port", "COM0"}, "COM1 to COM99"},
        {{"info", "--sim", "--baud", "fast"}, "--baud"},
        {{"info", "--sim", "--baud", "0"}, "--baud"},
        {{"info", "--sim", "--parity", "weird"}, "--parity"},
        {{"info", "--sim", "--stop-bits", "3"}, "--stop-bits"},
        {{"info", "--sim", "--data-bits", "9"}, "--data-bits"},
        {{"info", "--sim", "--timeout", "0"}, "--timeout"},
        {{"info", "--sim", "--timeout", "-3"}, "--timeout"},
        {{"setup", "--sim", "--mode", "4d"}, "single|3d-slow|3d-fast"},
        {{"setup", "--sim", "--pwm", "16"}, "12|24|32"},
        {{"info", "--sim", "--mode", "single"}, "--mode"},
        {{"info", "--port", "COM3", "--sim-bad-info-crc"}, "needs --sim"},
        {{"info", "--sim", "--sim-version", "4"}, "--sim-version"},
        {{"info", "--sim", "--sim-boot-type", "4"}, "--sim-boot-type"},
        {{"info", "--sim", "--sim-fault", "flush:missing"}, "unknown reply kind"},
        {{"info", "--sim", "--sim-fault", "program:missing@0"}, "from 1"},
        {{"info", "--sim", "--sim-fault", "program:missing=5"}, "no =value"},
        {{"info", "--sim", "--sim-fault", "info:noise"}, "HEX"},
        {{"info", "--sim", "--sim-boot-text", "0123456789abcdef"}, "15"},
    };
    for (const Case& c : cases) {
        const SParsed p = Parse(c.args);
        std::string joined;
        for (const auto& a : c.args)
            joined += a + ' ';
        EXPECT_FALSE(p.result.options) << joined;
        EXPECT_EQ(p.result.exitCode, kExitUsage) << joined;
        EXPECT_NE(p.err.find(c.says), std::string::npos) << joined << "\n" << p.err;
        EXPECT_NE(p.err.find("--help"), std::string::npos) << joined;
        EXPECT_TRUE(p.out.empty()) << joined;
    }
}

TEST(CliOptions, HelpOnEveryCommandShowsTheExitCodes) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                  {"ports", "--help"},
                                                                  {"info", "--help"},
                                                                  {"flash", "--help"},
                                                                  {"setup", "--help"}}) {
        const SParsed p = Parse(args);
        EXPECT_FALSE(p.result.options) << args[0];
        EXPECT_EQ(p.result.exitCode, kExitOk) << args[0];
        EXPECT_NE(p.out.find("Exit codes:"), std::string::npos) << args[0];
        EXPECT_TRUE(p.err.empty()) << p.err;
    }
    EXPECT_NE(Parse({"setup", "--help"}).out.find("--direction"), std::string::npos);
    EXPECT_NE(Parse({"flash", "--help"}).out.find("--port"), std::string::npos);
    EXPECT_NE(Parse({"info", "--help"}).out.find("--sim-fault"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::cli
