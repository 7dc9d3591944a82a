#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/connect.h"

namespace quorvel {
namespace {

// Records what Connect asked for; fails the opens it is told to fail.
class CRecordingConnection : public ISerialConnection {
  public:
    bool Open(const std::string& portName, const SLineSettings& line) override {
        opens.push_back(portName);
        lines.push_back(line);
        open_ = failuresLeft == 0;
        if (failuresLeft > 0) {
            --failuresLeft;
        }
        return open_;
    }
    bool IsOpen() const override { return open_; }
    std::size_t ReadComm(std::span<uint8_t>) override { return 0; }
    std::size_t WriteComm(std::span<const uint8_t> bytes) override { return bytes.size(); }
    void ClosePort() override { open_ = false; }

    int failuresLeft = 0;
    std::vector<std::string> opens;
    std::vector<SLineSettings> lines;

  private:
    bool open_ = false;
};

TEST(ConnectPort, PortZeroOpensNothingAndKeepsThePortName) {
    CRecordingConnection connection;
    SInfoFileRecord record = DefaultInfoRecord();
    record.port = 0;
    std::string portName = "COM4";

    const SConnectOutcome outcome = ConnectPort(connection, record, 0, portName);

    EXPECT_FALSE(outcome.opened);
    EXPECT_EQ(outcome.message, "No serial port,Can't open connection!");
    EXPECT_TRUE(connection.opens.empty());
    EXPECT_EQ(portName, "COM4");
}

TEST(ConnectPort, OpensComNWithTheRecordsLineSettings) {
    CRecordingConnection connection;
    SInfoFileRecord record = DefaultInfoRecord();
    record.port = 12;
    // Only the low byte of each code reaches the port.
    record.byteSize = 0x0107;
    record.parity = 0x0202;
    record.stopBits = 0x0300;
    record.baud = 115200;
    std::string portName;

    const SConnectOutcome outcome = ConnectPort(connection, record, 2, portName);

    EXPECT_TRUE(outcome.opened);
    EXPECT_TRUE(outcome.message.empty());
    EXPECT_EQ(portName, "COM12");
    ASSERT_EQ(connection.opens, std::vector<std::string>{"COM12"});
    const SLineSettings& line = connection.lines[0];
    EXPECT_EQ(line.baud, 115200);
    EXPECT_EQ(line.byteSize, 7);
    EXPECT_EQ(line.parity, 2);
    EXPECT_EQ(line.stopBits, 0);
    EXPECT_EQ(line.flowMode, 2);
}

TEST(ConnectPort, AFailedOpenReportsAndTheNextTryOpens) {
    CRecordingConnection connection;
    connection.failuresLeft = 1;
    SInfoFileRecord record = DefaultInfoRecord();
    record.port = 3;
    std::string portName;

    const SConnectOutcome first = ConnectPort(connection, record, 0, portName);
    EXPECT_FALSE(first.opened);
    EXPECT_EQ(first.message, "Can't open connection");
    EXPECT_FALSE(connection.IsOpen());

    const SConnectOutcome second = ConnectPort(connection, record, 0, portName);
    EXPECT_TRUE(second.opened);
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_EQ(connection.opens, (std::vector<std::string>{"COM3", "COM3"}));
}

TEST(LineSettings, DefaultRecordAndCharacterTimes) {
    const SLineSettings line = LineSettingsFrom(DefaultInfoRecord());
    EXPECT_EQ(line.baud, 19200);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.stopBits, 1);
    EXPECT_EQ(line.flowMode, 0);

    struct Case {
        uint8_t byteSize, parity, stopBits;
        unsigned halfBits;
    };
    const Case cases[] = {
        {8, 0, 1, 21},                 // start + 8 + 1.5 stop = 10.5 bits
        {8, 0, 0, 20}, {8, 2, 2, 24},  // any parity adds one bit
        {7, 3, 0, 20}, {5, 0, 1, 15},
    };
    for (const Case& c : cases) {
        SLineSettings l;
        l.byteSize = c.byteSize;
        l.parity = c.parity;
        l.stopBits = c.stopBits;
        EXPECT_EQ(HalfBitsPerChar(l), c.halfBits)
            << int{c.byteSize} << '/' << int{c.parity} << '/' << int{c.stopBits};
    }
}

}  // namespace
}  // namespace quorvel
