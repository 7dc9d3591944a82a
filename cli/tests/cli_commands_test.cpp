// The commands in this process, on the simulated ESC behind a connection the test can
// reach into: an ESC that already holds another setup, and a line that changes the setup
// page on the way without the ESC noticing.
#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "link/crc.h"
#include "serial/sim/sim_connection.h"
#include "sim/test_image.h"

namespace quorvel::cli {
namespace {

// The simulated ESC, with what the test needs on top.
class CSimFixtureConnection : public ISerialConnection {
  public:
    struct SFixture {
        // Put into the ESC's setup page when the port opens.
        std::optional<std::array<uint8_t, sim::kSetupBlockSize>> setupBlock;
        // XORed into the low byte of the mode field of every 1 KB page written, with the
        // page CRC made to match: the ESC takes a setup other than the one sent.
        uint8_t modeFlip = 0;
    };

    CSimFixtureConnection(IEventThread& events, CommNotifyHandler notify,
                          const sim::SSimConfig& config, SFixture fixture)
        : inner_(events, std::move(notify), config), fixture_(fixture) {}

    bool Open(const std::string& portName, const SLineSettings& line) override {
        if (!inner_.Open(portName, line))
            return false;
        if (fixture_.setupBlock) {
            inner_.WithEsc([this](sim::CSimEsc& esc) {
                esc.LoadFlash(sim::kSetupAddress, *fixture_.setupBlock);
            });
        }
        return true;
    }
    bool IsOpen() const override { return inner_.IsOpen(); }
    std::size_t ReadComm(std::span<uint8_t> buf) override { return inner_.ReadComm(buf); }
    std::size_t WriteComm(std::span<const uint8_t> bytes) override {
        if (fixture_.modeFlip != 0 && bytes.size() == 1024) {
            std::vector<uint8_t> page(bytes.begin(), bytes.end());
            page[20] ^= fixture_.modeFlip;  // keyed or not, the XOR lands on the value
            const uint16_t crc = Crc16(page);
            pendingCrc_ = {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
            return inner_.WriteComm(page);
        }
        if (pendingCrc_ && bytes.size() == 2) {
            const auto crc = *pendingCrc_;
            pendingCrc_.reset();
            return inner_.WriteComm(crc);
        }
        return inner_.WriteComm(bytes);
    }
    void ClosePort() override { inner_.ClosePort(); }

  private:
    CSimConnection inner_;
    SFixture fixture_;
    std::optional<std::array<uint8_t, 2>> pendingCrc_;
};

struct SRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

SRun RunSetup(std::vector<std::string> args, CSimFixtureConnection::SFixture fixture) {
    args.insert(args.begin(), {"quorvel-cli", "setup", "--sim", "--baud", "460800"});
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    std::ostringstream out;
    std::ostringstream err;
    SParseResult parsed = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
    EXPECT_TRUE(parsed.options) << err.str();
    if (!parsed.options)
        return {};
    CConsole console(out, err, {});
    const ConnectionFactory factory = [&fixture](IEventThread& events, CommNotifyHandler notify,
                                                 IMessageSink&, const SCliOptions& o) {
        return std::make_unique<CSimFixtureConnection>(events, std::move(notify), o.simConfig,
                                                       fixture);
    };
    SRun r;
    r.exitCode = RunCommand(*parsed.options, console, factory);
    r.out = out.str();
    r.err = err.str();
    return r;
}

std::string Field(const std::string& out, const std::string& label) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(label + ":", 0) == 0)
            return line.substr(line.find_first_not_of(' ', label.size() + 1));
    }
    return "<no " + label + ">";
}

// 3D Slow, 24K, High, Common, OFF, Default: nothing at its default but the direction.
std::array<uint8_t, sim::kSetupBlockSize> NonDefaultSetup() {
    auto block = sim::DefaultSetupBlock();
    const auto put = [&block](std::size_t at, uint16_t v) {
        block[at] = static_cast<uint8_t>(v & 0xFF);
        block[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put(20, 2);   // mode: 3D Slow
    put(24, 2);   // signal: Common
    put(26, 26);  // timing: High
    put(28, 24);  // pwm: 24K
    put(30, 0);   // brake: OFF
    return block;
}

TEST(CliCommands, ChoicesNotGivenKeepWhatTheEscReports) {
    const SRun r = RunSetup({"--direction", "reverse"}, {NonDefaultSetup(), 0});
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(Field(r.out, "Mode"), "3D Slow");
    EXPECT_EQ(Field(r.out, "PWM"), "24K");
    EXPECT_EQ(Field(r.out, "Timing"), "High");
    EXPECT_EQ(Field(r.out, "Signal"), "Common");
    EXPECT_EQ(Field(r.out, "Brake"), "OFF");
    EXPECT_EQ(Field(r.out, "Direction"), "Reverse");
}

TEST(CliCommands, DefaultsStartFromAllDefaultNotFromTheEsc) {
    const SRun r = RunSetup({"--defaults", "--pwm", "12"}, {NonDefaultSetup(), 0});
    ASSERT_EQ(r.exitCode, kExitOk) << r.err;
    EXPECT_EQ(Field(r.out, "Mode"), "Single");
    EXPECT_EQ(Field(r.out, "PWM"), "12K");
    EXPECT_EQ(Field(r.out, "Timing"), "Auto");
    EXPECT_EQ(Field(r.out, "Signal"), "Auto");
    EXPECT_EQ(Field(r.out, "Brake"), "100%");
    EXPECT_EQ(Field(r.out, "Direction"), "Default");
}

TEST(CliCommands, ASetupThatReadsBackOtherwiseIsAVerificationFailure) {
    // 3D Fast is stored as 1; flipped by 3 on the way it arrives as 2, 3D Slow.
    const SRun r = RunSetup({"--mode", "3d-fast", "--brake", "50"}, {std::nullopt, 0x03});
    EXPECT_EQ(r.exitCode, kExitVerifyFailed) << r.err;
    EXPECT_EQ(Field(r.out, "Mode"), "3D Slow");
    EXPECT_EQ(Field(r.out, "Brake"), "50%");
    EXPECT_NE(r.err.find("ESC setup updating done!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Setup not taken: Mode reads back as 3D Slow, 3D Fast was written."),
              std::string::npos)
        << r.err;
    // Only the group that differs is named.
    EXPECT_EQ(r.err.find("Brake reads back"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace quorvel::cli
