// quorvel-cli end to end: the real binary, against the simulated ESC in its own process
// (--sim) and against esc-sim on a pseudo-terminal. The line runs fast where both ends
// allow it; the link's own tick counts do not change with the baud rate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/tests/run_process.h"
#include "link/engine/texts.h"
#include "serial/connect.h"

namespace quorvel::cli {
namespace {

using test::RunProcess;
using test::SProcessResult;

const std::string kFast = "460800";

bool Contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

class CliEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("quorvel-cli-e2e-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        // An empty port table: nothing of the user's own setup leaks in.
        ports_ = dir_ / "ports";
        std::ofstream(ports_).flush();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    SProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), QUORVEL_CLI_PATH);
        return RunProcess(args, {{"QUORVEL_PORTS", ports_.string()}, {"QUORVEL_IMAGES", ""}});
    }
    // A command against the in-process simulated ESC on a fast line.
    SProcessResult Sim(const std::string& command, std::vector<std::string> more = {}) {
        std::vector<std::string> args{command, "--sim", "--baud", kFast};
        args.insert(args.end(), more.begin(), more.end());
        return Cli(args);
    }

    static std::string Field(const std::string& out, const std::string& label) {
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(label + ":", 0) == 0) {
                const auto value = line.find_first_not_of(' ', label.size() + 1);
                return value == std::string::npos ? std::string{} : line.substr(value);
            }
        }
        return "<no " + label + ">";
    }

    std::filesystem::path dir_;
    std::filesystem::path ports_;
};

std::string Explain(const SProcessResult& r) {
    return "exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

TEST_F(CliEndToEnd, InfoPrintsTypeVersionsVariantAndTheSixChoices) {
    const SProcessResult r = Sim("info");
    ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
    EXPECT_EQ(r.out,
              "ESC type:     3\n"
              "Boot version: f051bl-4.02\n"
              "App version:  DR19V4.03\n"
              "Variant:      1\n"
              "Mode:         Single\n"
              "PWM:          32K\n"
              "Timing:       Auto\n"
              "Signal:       Auto\n"
              "Brake:        100%\n"
              "Direction:    Default\n");
    EXPECT_TRUE(Contains(r.err, "Connected to the ESC is normal")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Waiting for the ESC on the simulated line")) << r.err;
}

TEST_F(CliEndToEnd, InfoJsonHasExactlyTheAgreedShape) {
    struct Case {
        std::vector<std::string> profile;
        int escType;
        std::string appVersion;
        int appVariant;
        bool setup;
    };
    const std::vector<Case> cases{
        {{}, 3, "DR19V4.03", 1, true},
        {{"--sim-variant", "0", "--sim-version", "5.12"}, 3, "DR65V5.12", 0, true},
        {{"--sim-variant", "25", "--sim-version", "4.3"}, 3, "DR19V4.03", 25, true},
        {{"--sim-variant", "7"}, 3, "DRffV4.03", 255, true},
        // Types 1 and 2 show their boot text only; the app version was never read.
        {{"--sim-boot-type", "1"}, 1, "", 255, false},
        {{"--sim-boot-type", "2"}, 2, "", 255, false},
        // A block without the signature is no firmware at all.
        {{"--sim-boot-text", "F051bl-4.02"}, 0, "Invalid version", 255, false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--json", "--quiet"};
        args.insert(args.end(), c.profile.begin(), c.profile.end());
        const SProcessResult r = Sim("info", args);
        const std::string what = c.profile.empty() ? "default" : c.profile[0];
        ASSERT_EQ(r.exitCode, kExitOk) << what << Explain(r);
        // --quiet: only the result, and nothing on stderr.
        EXPECT_TRUE(r.err.empty()) << what << ": " << r.err;
        const auto j = nlohmann::json::parse(r.out);
        ASSERT_TRUE(j.is_object());
        std::vector<std::string> keys;
        for (const auto& [k, v] : j.items())
            keys.push_back(k);
        std::vector<std::string> expected{"appVariant", "appVersion", "bootVersion", "escType"};
        if (c.setup)
            expected.push_back("setup");
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, expected) << what;
        EXPECT_EQ(j["escType"], c.escType) << what;
        EXPECT_EQ(j["appVersion"], c.appVersion) << what;
        EXPECT_EQ(j["appVariant"], c.appVariant) << what;
        EXPECT_TRUE(j["bootVersion"].is_string()) << what;
        if (c.setup) {
            const auto& s = j["setup"];
            EXPECT_EQ(s.size(), 6u);
            EXPECT_EQ(s["mode"], "Single");
            EXPECT_EQ(s["pwm"], "32K");
            EXPECT_EQ(s["timing"], "Auto");
            EXPECT_EQ(s["signal"], "Auto");
            EXPECT_EQ(s["brake"], "100%");
            EXPECT_EQ(s["direction"], "Default");
        }
        // One object on one line.
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
    }
    const SProcessResult invalid = Sim("info", {"--json", "--sim-boot-text", "F051bl-4.02"});
    EXPECT_EQ(nlohmann::json::parse(invalid.out)["bootVersion"], " Invalid version");
}

TEST_F(CliEndToEnd, FlashWritesTheImageOfTheVariantAndRereadsTheVersions) {
    struct Case {
        std::string variant;
        std::string before;
        std::string after;
    };
    // image25.bin carries 4.10 with variant byte 1, image101.bin 4.10 with variant byte 0.
    for (const Case& c :
         std::vector<Case>{{"1", "DR19V4.03", "DR19V4.10"}, {"0", "DR65V4.03", "DR65V4.10"}}) {
        const auto trace = dir_ / ("flash-" + c.variant + ".trace");
        const SProcessResult r =
            Sim("flash", {"--sim-variant", c.variant, "--trace", trace.string()});
        ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
        EXPECT_TRUE(Contains(r.err, "app " + c.before)) << r.err;
        EXPECT_EQ(Field(r.out, "App version"), c.after) << r.out;
        EXPECT_EQ(Field(r.out, "ESC type"), "3");
        EXPECT_TRUE(Contains(r.err, texts::kProgramDone)) << r.err;
        // Not a terminal: one plain line per step, the last at the end of the range.
        EXPECT_TRUE(Contains(r.err, "Progress 1/29")) << r.err;
        EXPECT_TRUE(Contains(r.err, "Progress 28/29")) << r.err;
        EXPECT_TRUE(Contains(r.err, "Progress 29/29 (100%)")) << r.err;
        EXPECT_FALSE(Contains(r.err, "\r"));

        // The trace holds every write and read; 26 pages went out, each after set-buffer.
        std::ifstream in(trace);
        std::string line;
        int setBuffers = 0;
        int pages = 0;
        int received = 0;
        while (std::getline(in, line)) {
            if (Contains(line, " TX 6  FE 00 00 00 04 00"))
                ++setBuffers;
            if (Contains(line, " TX 1024 "))
                ++pages;
            if (Contains(line, " RX "))
                ++received;
        }
        EXPECT_EQ(setBuffers, 26);
        EXPECT_EQ(pages, 26);
        EXPECT_GT(received, 26);
    }
}

TEST_F(CliEndToEnd, SetupWritesTheChangedChoicesAndKeepsTheOthers) {
    const SProcessResult r = Sim("setup", {"--mode", "3d-fast", "--brake", "off"});
    ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
    EXPECT_TRUE(Contains(r.err, texts::kSetupDone)) << r.err;
    EXPECT_EQ(Field(r.out, "Mode"), "3D Fast");
    EXPECT_EQ(Field(r.out, "Brake"), "OFF");
    EXPECT_EQ(Field(r.out, "PWM"), "32K");
    EXPECT_EQ(Field(r.out, "Timing"), "Auto");
    EXPECT_EQ(Field(r.out, "Signal"), "Auto");
    EXPECT_EQ(Field(r.out, "Direction"), "Default");
    // The setup goes to an ESC that keeps its application version.
    EXPECT_EQ(Field(r.out, "App version"), "DR19V4.03");

    // The same report as info, as JSON, for a bench that keeps records.
    const SProcessResult json = Sim("setup", {"--json", "--quiet", "--timing", "high"});
    ASSERT_EQ(json.exitCode, kExitOk) << Explain(json);
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["setup"]["timing"], "High");
    EXPECT_EQ(j["setup"]["mode"], "Single");
    EXPECT_EQ(j["appVersion"], "DR19V4.03");

    const SProcessResult all =
        Sim("setup", {"--defaults", "--pwm", "24", "--signal", "one-shot", "--timing", "low",
                      "--direction", "reverse", "--mode", "3d-slow"});
    ASSERT_EQ(all.exitCode, kExitOk) << Explain(all);
    EXPECT_EQ(Field(all.out, "Mode"), "3D Slow");
    EXPECT_EQ(Field(all.out, "PWM"), "24K");
    EXPECT_EQ(Field(all.out, "Timing"), "Low");
    EXPECT_EQ(Field(all.out, "Signal"), "One-shot");
    EXPECT_EQ(Field(all.out, "Brake"), "100%");
    EXPECT_EQ(Field(all.out, "Direction"), "Reverse");
}

TEST_F(CliEndToEnd, RefusalsShowTheSystemsTextAndSendNoTransfer) {
    struct Case {
        std::string command;
        std::vector<std::string> more;
        std::string text;
    };
    const std::vector<Case> cases{
        {"flash", {"--sim-boot-type", "1"}, texts::kBootUnsupported},
        {"flash", {"--sim-boot-type", "2"}, texts::kBootUnsupported},
        {"setup", {"--sim-boot-type", "1", "--mode", "3d-fast"}, texts::kBootUnsupportedSetup},
        {"setup", {"--sim-version", "4.02", "--mode", "3d-fast"}, texts::kAppTooOld},
        {"setup", {"--sim-version", "3.99"}, texts::kAppTooOld},
        {"flash", {"--sim-boot-text", "F051bl-4.02"}, texts::kNoFirmware},
        {"flash", {"--images", "/nonexistent/quorvel"}, texts::kImageUnusablePrefix},
    };
    for (const Case& c : cases) {
        const auto trace = dir_ / "refusal.trace";
        std::vector<std::string> more = c.more;
        more.insert(more.end(), {"--trace", trace.string()});
        const SProcessResult r = Sim(c.command, more);
        EXPECT_EQ(r.exitCode, kExitRefused) << c.command << " " << c.more[0] << Explain(r);
        EXPECT_TRUE(Contains(r.err, c.text)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        // Connected and read, but no transfer address ever went out.
        std::ifstream in(trace);
        std::stringstream all;
        all << in.rdbuf();
        EXPECT_TRUE(Contains(all.str(), " RX ")) << c.command;
        EXPECT_FALSE(Contains(all.str(), " TX 6  FE 00")) << c.command;
    }
}

TEST_F(CliEndToEnd, TransferFailuresShowTheirTextAndExitAsFailed) {
    struct Case {
        std::string command;
        std::string fault;
        std::string text;
    };
    const std::vector<Case> cases{
        {"flash", "program:missing@3", texts::kFailRomProgram},
        {"flash", "set-buffer:missing@2", texts::kFailRomData},
        {"setup", "set-buffer:missing", texts::kFailEepData},
        {"setup", "program:missing", texts::kFailEepProgram},
    };
    for (const Case& c : cases) {
        const SProcessResult r = Sim(c.command, {"--sim-fault", c.fault});
        EXPECT_EQ(r.exitCode, kExitTransferFailed) << c.fault << Explain(r);
        EXPECT_TRUE(Contains(r.err, c.text)) << r.err;
        EXPECT_TRUE(Contains(r.err, texts::kUpdatingError)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    const SProcessResult cut = Sim("flash", {"--sim-power-cut-after", "3"});
    EXPECT_EQ(cut.exitCode, kExitTransferFailed) << Explain(cut);
    EXPECT_TRUE(Contains(cut.err, texts::kFailRomProgram)) << cut.err;
}

TEST_F(CliEndToEnd, NoEscWithinTheTimeout) {
    for (const auto& profile : std::vector<std::vector<std::string>>{
             {"--sim-absent"}, {"--sim-id-text", "CPU-F0511"}, {"--sim-bad-info-crc"}}) {
        std::vector<std::string> args{"--timeout", "1"};
        args.insert(args.end(), profile.begin(), profile.end());
        const SProcessResult r = Sim("info", args);
        EXPECT_EQ(r.exitCode, kExitNoEsc) << profile[0] << Explain(r);
        EXPECT_TRUE(Contains(r.err, "No ESC answered on the simulated line within 1 s")) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    // Powered late, but within the time: found.
    const SProcessResult late = Sim("info", {"--timeout", "5", "--sim-power-on-after", "1"});
    EXPECT_EQ(late.exitCode, kExitOk) << Explain(late);
}

TEST_F(CliEndToEnd, PortsThatCannotBeOpened) {
    struct Case {
        std::string port;
        std::string_view text;
    };
    for (const Case& c : std::vector<Case>{{"/dev/quorvel-no-such-port", kCantOpenConnectionText},
                                           // COM17 is never mapped by itself.
                                           {"COM17", kCantOpenConnectionText},
                                           {"17", kCantOpenConnectionText}}) {
        const SProcessResult r = Cli({"info", "--port", c.port, "--timeout", "1"});
        EXPECT_EQ(r.exitCode, kExitNoPort) << c.port << Explain(r);
        EXPECT_TRUE(Contains(r.err, c.text)) << r.err;
    }
}

TEST_F(CliEndToEnd, UsageErrorsSendNothing) {
    const auto trace = dir_ / "usage.trace";
    const std::vector<std::vector<std::string>> cases{
        {"info", "--sim", "--bogus"},
        {"info", "--sim", "--baud", "fast"},
        {"setup", "--sim", "--mode", "4d"},
        {"info"},
        {"flash", "--sim", "--port", "COM3"},
        {"flash"},
        {},
    };
    for (auto args : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + ' ';
        args.insert(args.end(), {"--trace", trace.string()});
        const SProcessResult r = Cli(args);
        EXPECT_EQ(r.exitCode, kExitUsage) << joined << Explain(r);
        EXPECT_TRUE(Contains(r.err, "quorvel-cli: ")) << joined << r.err;
        EXPECT_TRUE(Contains(r.err, "--help")) << joined;
        EXPECT_TRUE(r.out.empty()) << joined;
        EXPECT_FALSE(std::filesystem::exists(trace)) << joined;
    }
}

TEST_F(CliEndToEnd, HelpOnEveryCommand) {
    for (const std::string command : {"ports", "info", "flash", "setup"}) {
        const SProcessResult r = Cli({command, "--help"});
        EXPECT_EQ(r.exitCode, kExitOk) << command;
        EXPECT_TRUE(Contains(r.out, "Exit codes:")) << command;
        EXPECT_TRUE(Contains(r.out, "7  setup written")) << command;
    }
}

TEST_F(CliEndToEnd, PortsListsTheDevicesOfThePortTable) {
    // A pseudo-terminal that only the user's port table names: listed under its number.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string pty = ptsname(master);
    std::ofstream(ports_) << "# bench adapter\nCOM18=" << pty << "\n";

    const SProcessResult r = Cli({"ports"});
    ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
    bool listed = false;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        // Whatever else this machine has: every line carries a COM number and a device.
        EXPECT_TRUE(line.rfind("COM", 0) == 0 && Contains(line, "/dev/")) << line;
        if (line.rfind("COM18 ", 0) == 0) {
            listed = true;
            EXPECT_TRUE(Contains(line, " " + pty + " ")) << line;
            EXPECT_TRUE(Contains(line, "(COM18)")) << line;
        }
    }
    EXPECT_TRUE(listed) << r.out;

    const SProcessResult j = Cli({"ports", "--json"});
    ASSERT_EQ(j.exitCode, kExitOk) << Explain(j);
    const auto list = nlohmann::json::parse(j.out);
    ASSERT_TRUE(list.is_array());
    const auto it =
        std::find_if(list.begin(), list.end(), [](const auto& e) { return e["com"] == 18; });
    ASSERT_NE(it, list.end()) << j.out;
    EXPECT_EQ((*it)["device"], pty);
    EXPECT_EQ((*it)["port"], "COM18");
    EXPECT_EQ((*it)["name"], pty + " (COM18)");
    close(master);
}

#ifdef QUORVEL_ESC_SIM_PATH
// esc-sim serves one client on a new pseudo-terminal and ends when it closes, so each
// command gets its own.
class CEscSim {
  public:
    explicit CEscSim(std::vector<std::string> args) : process_(Args(std::move(args))) {
        path_ = process_.ReadLine(std::chrono::seconds(10));
    }
    const std::string& Path() const { return path_; }

  private:
    static std::vector<std::string> Args(std::vector<std::string> more) {
        more.insert(more.begin(), {QUORVEL_ESC_SIM_PATH, "--baud", kFast});
        return more;
    }
    test::CBackgroundProcess process_;
    std::string path_;
};

TEST_F(CliEndToEnd, InfoFromEscSimByDevicePath) {
    CEscSim esc({"--variant", "0", "--version", "4.05"});
    ASSERT_EQ(esc.Path().rfind("/dev/", 0), 0u) << esc.Path();
    const SProcessResult r =
        Cli({"info", "--port", esc.Path(), "--baud", kFast, "--json", "--timeout", "10"});
    ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["escType"], 3);
    EXPECT_EQ(j["appVersion"], "DR65V4.05");
    EXPECT_EQ(j["appVariant"], 0);
    EXPECT_EQ(j["setup"]["pwm"], "32K");
    EXPECT_TRUE(Contains(r.err, "Waiting for the ESC on COM17 (" + esc.Path() + "): power it now"))
        << r.err;
}

TEST_F(CliEndToEnd, FlashEscSimThroughThePortTable) {
    CEscSim esc({});
    ASSERT_FALSE(esc.Path().empty());
    std::ofstream(ports_) << "COM19=" << esc.Path() << "\n";
    const auto trace = dir_ / "esc-sim.trace";
    const SProcessResult r = Cli({"flash", "--port", "COM19", "--baud", kFast, "--timeout", "10",
                                  "--allow-test-images", "--trace", trace.string()});
    ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
    EXPECT_EQ(Field(r.out, "App version"), "DR19V4.10");
    EXPECT_TRUE(Contains(r.err, texts::kProgramDone)) << r.err;
    std::ifstream in(trace);
    std::string first;
    std::getline(in, first);
    EXPECT_TRUE(Contains(first, "open COM19 " + kFast + " baud 8N")) << first;
}

TEST_F(CliEndToEnd, SetupOnEscSim) {
    CEscSim esc({});
    ASSERT_FALSE(esc.Path().empty());
    const SProcessResult r = Cli({"setup", "--port", esc.Path(), "--baud", kFast, "--timeout", "10",
                                  "--allow-test-images", "--direction", "reverse"});
    ASSERT_EQ(r.exitCode, kExitOk) << Explain(r);
    EXPECT_EQ(Field(r.out, "Direction"), "Reverse");
    EXPECT_TRUE(Contains(r.err, texts::kSetupDone)) << r.err;
}

TEST_F(CliEndToEnd, TestImagesNeverGoToAPortUnlessAllowed) {
    CEscSim esc({});
    ASSERT_FALSE(esc.Path().empty());
    const auto trace = dir_ / "guard.trace";
    const SProcessResult r = Cli({"flash", "--port", esc.Path(), "--baud", kFast, "--timeout", "10",
                                  "--trace", trace.string()});
    EXPECT_EQ(r.exitCode, kExitRefused) << Explain(r);
    EXPECT_TRUE(Contains(r.err, "synthetic test data, not firmware")) << r.err;
    std::ifstream in(trace);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_FALSE(Contains(all.str(), " TX 6  FE 00"));
}
#endif

}  // namespace
}  // namespace quorvel::cli
