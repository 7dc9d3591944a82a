// The connection on a COM port that scripts/test-windows.sh maps onto a pseudo-terminal
// with an echoing far end, under Wine (or on Windows with a loop-back far end).

#include "serial/win32/win32_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "serial/event_loop.h"
#include "serial/win32/comm_notify_window.h"
#include "serial/win32/tests/win32_test_env.h"

namespace quorvel {
namespace {

using testing::CRecordingSink;
using testing::RunningUnderWine;
using testing::TestEscPortName;
using testing::TestPortName;

constexpr DWORD kPatienceMs = 10000;  // how long a test waits for bytes before failing
constexpr std::size_t kMaxRead = 512;

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    }
    return v;
}

DWORD InputQueueCount(HANDLE port) {
    DWORD errors = 0;
    COMSTAT stat{};
    ClearCommError(port, &errors, &stat);
    return stat.cbInQue;
}

// Waits without dispatching messages: the reader thread stays blocked in a notification.
bool WaitWithoutPumping(const std::function<bool()>& done) {
    for (DWORD waited = 0; waited < kPatienceMs; waited += 5) {
        if (done()) {
            return true;
        }
        Sleep(5);
    }
    return done();
}

// Reads and drops whatever the far end still sends until the line has been quiet for a
// while, so that a test starts on a clean line.
void DrainLine(const std::string& portName) {
    HANDLE port = CreateFileA(("\\\\.\\" + portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return;
    }
    COMMTIMEOUTS noWait = {MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(port, &noWait);
    uint8_t buf[256];
    for (int quiet = 0; quiet < 5;) {
        DWORD got = 0;
        if (!ReadFile(port, buf, sizeof buf, &got, nullptr)) {
            break;
        }
        quiet = got == 0 ? quiet + 1 : 0;
        if (got == 0) {
            Sleep(10);
        }
    }
    CloseHandle(port);
}

// A host that runs the link's receive step the way the window does: at most 512 of the
// announced bytes, nothing when the connection is closed or the mask lacks EV_RXCHAR.
class Win32ConnectionTest : public ::testing::Test {
  protected:
    struct SNotice {
        uint32_t mask;
        uint32_t count;
        bool open;
        std::size_t read;
    };

    Win32ConnectionTest()
        : window_([this](uint32_t mask, uint32_t count) { OnCommNotify(mask, count); }) {
        connection_ = std::make_unique<CWin32Connection>(window_.Handle(), sink_);
        window_.SetConnection(connection_.get());
    }

    void OnCommNotify(uint32_t mask, uint32_t count) {
        SNotice notice{mask, count, connection_->IsOpen(), 0};
        if (notice.open && (mask & EV_RXCHAR) != 0) {
            uint8_t buf[kMaxRead];
            notice.read = connection_->ReadComm(
                std::span<uint8_t>(buf, std::min<std::size_t>(count, kMaxRead)));
            received_.insert(received_.end(), buf, buf + notice.read);
        }
        notices_.push_back(notice);
        if (onNotify_) {
            onNotify_();
        }
    }

    bool OpenDefault(SLineSettings line = {}) { return connection_->Open(TestPortName(), line); }

    // Echoes an earlier test left unread must not reach this one.
    void SetUp() override { DrainLine(TestPortName()); }
    void TearDown() override { connection_->ClosePort(); }

    bool ReceiveAtLeast(std::size_t n) {
        return PumpMessagesUntil([&] { return received_.size() >= n; }, kPatienceMs);
    }

    CRecordingSink sink_;
    CCommNotifyWindow window_;
    std::unique_ptr<CWin32Connection> connection_;
    std::vector<uint8_t> received_;
    std::vector<SNotice> notices_;
    std::function<void()> onNotify_;
};

struct SLineCase {
    const char* name;
    SLineSettings line;
    // Wine keeps one and a half stop bits with 8 data bits as two.
    BYTE stopBitsUnderWine;
};

const SLineCase kLineCases[] = {
    {"default record", SLineSettings{19200, 8, NOPARITY, ONE5STOPBITS, 0}, TWOSTOPBITS},
    {"hardware handshake", SLineSettings{9600, 8, EVENPARITY, ONESTOPBIT, 1}, ONESTOPBIT},
    {"xon/xoff", SLineSettings{115200, 7, ODDPARITY, TWOSTOPBITS, 2}, TWOSTOPBITS},
    {"mark parity, five bits", SLineSettings{1200, 5, MARKPARITY, ONE5STOPBITS, 0}, ONE5STOPBITS},
};

TEST(Win32LineSettings, OnlyTheListedFieldsChange) {
    for (const SLineCase& c : kLineCases) {
        SCOPED_TRACE(c.name);
        DCB before;
        std::memset(&before, 0xA5, sizeof before);
        before.DCBlength = sizeof before;
        DCB dcb = before;
        ApplyLineSettings(dcb, c.line);

        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.line.baud));
        EXPECT_EQ(dcb.ByteSize, c.line.byteSize);
        EXPECT_EQ(dcb.fParity, 1u);
        EXPECT_EQ(dcb.Parity, c.line.parity);
        EXPECT_EQ(dcb.StopBits, c.line.stopBits);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.line.flowMode == 1 ? 1u : 0u);
        EXPECT_EQ(dcb.fRtsControl, c.line.flowMode == 1 ? unsigned{RTS_CONTROL_HANDSHAKE}
                                                        : unsigned{RTS_CONTROL_ENABLE});
        EXPECT_EQ(dcb.fOutX, c.line.flowMode == 2 ? 1u : 0u);
        EXPECT_EQ(dcb.fInX, c.line.flowMode == 2 ? 1u : 0u);
        EXPECT_EQ(dcb.XonChar, 17);
        EXPECT_EQ(dcb.XoffChar, 19);
        EXPECT_EQ(dcb.XonLim, 50);
        EXPECT_EQ(dcb.XoffLim, 50);

        // Everything else keeps what the driver reported.
        EXPECT_EQ(dcb.DCBlength, before.DCBlength);
        EXPECT_EQ(dcb.fOutxDsrFlow, before.fOutxDsrFlow);
        EXPECT_EQ(dcb.fDtrControl, before.fDtrControl);
        EXPECT_EQ(dcb.fDsrSensitivity, before.fDsrSensitivity);
        EXPECT_EQ(dcb.fTXContinueOnXoff, before.fTXContinueOnXoff);
        EXPECT_EQ(dcb.fErrorChar, before.fErrorChar);
        EXPECT_EQ(dcb.fNull, before.fNull);
        EXPECT_EQ(dcb.fAbortOnError, before.fAbortOnError);
        EXPECT_EQ(dcb.fDummy2, before.fDummy2);
        EXPECT_EQ(dcb.wReserved, before.wReserved);
        EXPECT_EQ(dcb.ErrorChar, before.ErrorChar);
        EXPECT_EQ(dcb.EofChar, before.EofChar);
        EXPECT_EQ(dcb.EvtChar, before.EvtChar);
        EXPECT_EQ(dcb.wReserved1, before.wReserved1);
    }
}

TEST_F(Win32ConnectionTest, OpensAndConfiguresThePort) {
    const bool wine = RunningUnderWine();
    for (const SLineCase& c : kLineCases) {
        SCOPED_TRACE(c.name);
        // A pseudo-terminal has 8 data bits whatever is asked.
        if (wine && c.line.byteSize != 8) {
            continue;
        }
        ASSERT_TRUE(OpenDefault(c.line));
        EXPECT_TRUE(connection_->IsOpen());
        EXPECT_TRUE(connection_->ReaderRunning());

        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(connection_->PortHandle(), &dcb));
        EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(c.line.baud));
        EXPECT_EQ(dcb.ByteSize, c.line.byteSize);
        EXPECT_EQ(dcb.StopBits, wine ? c.stopBitsUnderWine : c.line.stopBits);
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.fOutxCtsFlow, c.line.flowMode == 1 ? 1u : 0u);
        EXPECT_EQ(dcb.fOutX, c.line.flowMode == 2 ? 1u : 0u);
        EXPECT_EQ(dcb.fInX, c.line.flowMode == 2 ? 1u : 0u);
        EXPECT_EQ(dcb.XonChar, 17);
        EXPECT_EQ(dcb.XoffChar, 19);
        // Not read back under Wine: the kernel keeps a pseudo-terminal without parity,
        // Wine reports RTS handshake as RTS on and does not keep the XON/XOFF limits.
        if (!wine) {
            EXPECT_EQ(dcb.fParity, 1u);
            EXPECT_EQ(dcb.Parity, c.line.parity);
            EXPECT_EQ(dcb.XonLim, 50);
            EXPECT_EQ(dcb.XoffLim, 50);
            EXPECT_EQ(dcb.fRtsControl, c.line.flowMode == 1 ? unsigned{RTS_CONTROL_HANDSHAKE}
                                                            : unsigned{RTS_CONTROL_ENABLE});
        }

        COMMTIMEOUTS to{};
        ASSERT_TRUE(GetCommTimeouts(connection_->PortHandle(), &to));
        EXPECT_EQ(to.ReadIntervalTimeout, 2000u);
        EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 2000u);
        EXPECT_EQ(to.ReadTotalTimeoutConstant, 3000u);
        EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 2000u);
        EXPECT_EQ(to.WriteTotalTimeoutConstant, 2000u);
        DWORD mask = 0;
        ASSERT_TRUE(GetCommMask(connection_->PortHandle(), &mask));
        EXPECT_EQ(mask, DWORD{EV_RXCHAR});

        connection_->ClosePort();
        EXPECT_FALSE(connection_->IsOpen());
        EXPECT_FALSE(connection_->ReaderRunning());
        EXPECT_EQ(connection_->PortHandle(), INVALID_HANDLE_VALUE);
    }
    EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(Win32ConnectionTest, WrittenBytesComeBackThroughNotifications) {
    ASSERT_TRUE(OpenDefault());
    const std::vector<uint8_t> sent = Pattern(64, 1);
    EXPECT_EQ(connection_->WriteComm(sent), sent.size());
    ASSERT_TRUE(ReceiveAtLeast(sent.size()));
    EXPECT_EQ(received_, sent);
    for (const SNotice& n : notices_) {
        EXPECT_EQ(n.mask, 1u);
        EXPECT_GT(n.count, 0u);
        EXPECT_EQ(n.read, std::min<std::size_t>(n.count, kMaxRead));
    }
    EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(Win32ConnectionTest, BurstBeyond512IsAnnouncedAgainAndNothingIsLost) {
    ASSERT_TRUE(OpenDefault());
    const std::vector<uint8_t> sent = Pattern(700, 3);
    EXPECT_EQ(connection_->WriteComm(sent), sent.size());
    // Let the whole echo pile up while the notification waits for this thread.
    HANDLE port = connection_->PortHandle();
    ASSERT_TRUE(WaitWithoutPumping([&] { return InputQueueCount(port) >= sent.size(); }));
    ASSERT_TRUE(ReceiveAtLeast(sent.size()));

    EXPECT_EQ(received_, sent);
    bool announcedMoreThanRead = false;
    for (const SNotice& n : notices_) {
        EXPECT_LE(n.read, kMaxRead);
        EXPECT_EQ(n.read, std::min<std::size_t>(n.count, kMaxRead));
        announcedMoreThanRead = announcedMoreThanRead || n.count > kMaxRead;
    }
    EXPECT_TRUE(announcedMoreThanRead);
    EXPECT_GE(notices_.size(), 2u);
}

TEST_F(Win32ConnectionTest, TheNextNotificationWaitsForTheGoAhead) {
    // The handler's obligation is left to the test: no go-ahead after a notification.
    window_.SetConnection(nullptr);
    ASSERT_TRUE(OpenDefault());
    connection_->WriteComm(Pattern(4, 1));
    ASSERT_TRUE(ReceiveAtLeast(4));
    ASSERT_EQ(notices_.size(), 1u);

    // More bytes wait in the queue, but without the go-ahead they are not announced.
    connection_->WriteComm(Pattern(4, 2));
    HANDLE port = connection_->PortHandle();
    ASSERT_TRUE(WaitWithoutPumping([&] { return InputQueueCount(port) >= 4; }));
    PumpMessagesFor(200);
    EXPECT_EQ(notices_.size(), 1u);
    EXPECT_FALSE(connection_->NotificationInFlight());

    connection_->SetGoAhead();
    ASSERT_TRUE(ReceiveAtLeast(8));
    EXPECT_EQ(notices_.size(), 2u);
}

TEST_F(Win32ConnectionTest, WritesLongerThanTheWriteBufferGoOutWhole) {
    ASSERT_TRUE(OpenDefault());
    const std::vector<uint8_t> sent = Pattern(CWin32Connection::kLocalBufSize + 300, 5);
    EXPECT_EQ(connection_->WriteComm(sent), sent.size());
    ASSERT_TRUE(ReceiveAtLeast(sent.size()));
    EXPECT_EQ(received_, sent);
}

TEST_F(Win32ConnectionTest, AMissingPortFailsAndTheNextAttemptStartsAfresh) {
    EXPECT_FALSE(connection_->Open("COM200", SLineSettings{}));
    EXPECT_FALSE(connection_->IsOpen());
    EXPECT_FALSE(connection_->ReaderRunning());
    EXPECT_EQ(connection_->PortHandle(), INVALID_HANDLE_VALUE);
    // Connect may be pressed again; now on the port that exists.
    ASSERT_TRUE(OpenDefault());
    EXPECT_FALSE(OpenDefault()) << "a second open while open";
    const std::vector<uint8_t> sent = Pattern(16, 9);
    connection_->WriteComm(sent);
    ASSERT_TRUE(ReceiveAtLeast(sent.size()));
    EXPECT_EQ(received_, sent);
    EXPECT_TRUE(sink_.Texts().empty());
}

TEST_F(Win32ConnectionTest, ClosingWithANotificationInFlightDoesNotDeadlock) {
    ASSERT_TRUE(OpenDefault());
    connection_->WriteComm(Pattern(10, 0));
    // The reader thread has announced the echo and waits for this thread to handle it.
    ASSERT_TRUE(WaitWithoutPumping([&] { return connection_->NotificationInFlight(); }));
    connection_->ClosePort();

    EXPECT_FALSE(connection_->IsOpen());
    EXPECT_FALSE(connection_->ReaderRunning());
    // The notification was handled during the close, found the connection closed and
    // read nothing.
    ASSERT_EQ(notices_.size(), 1u);
    EXPECT_FALSE(notices_[0].open);
    EXPECT_EQ(notices_[0].read, 0u);
    connection_->ClosePort();  // twice is harmless
}

TEST_F(Win32ConnectionTest, ClosingFromInsideTheNotificationDoesNotDeadlock) {
    ASSERT_TRUE(OpenDefault());
    onNotify_ = [this] { connection_->ClosePort(); };
    connection_->WriteComm(Pattern(10, 0));
    ASSERT_TRUE(PumpMessagesUntil([&] { return !notices_.empty(); }, kPatienceMs));
    EXPECT_FALSE(connection_->IsOpen());
    EXPECT_FALSE(connection_->ReaderRunning());
    EXPECT_EQ(notices_[0].read, 10u);
}

TEST_F(Win32ConnectionTest, AFailedWaitEndsTheReaderQuietlyAndCloseStillWorks) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine lets a wait with an empty event mask pend instead of failing";
    }
    ASSERT_TRUE(OpenDefault());
    // With no events to wait for, the wait for characters fails and the thread ends.
    ASSERT_TRUE(SetCommMask(connection_->PortHandle(), 0));
    ASSERT_TRUE(WaitWithoutPumping([&] { return !connection_->ReaderRunning(); }));
    // Nobody is told: the connection still counts as open.
    EXPECT_TRUE(connection_->IsOpen());
    EXPECT_TRUE(sink_.Texts().empty());

    connection_->ClosePort();
    EXPECT_FALSE(connection_->IsOpen());
    EXPECT_EQ(connection_->PortHandle(), INVALID_HANDLE_VALUE);
    // The port was released: it opens again.
    ASSERT_TRUE(OpenDefault());
    EXPECT_TRUE(connection_->ReaderRunning());
}

TEST_F(Win32ConnectionTest, AReadThatFindsNothingTimesOut) {
    ASSERT_TRUE(OpenDefault());
    uint8_t buf[8];
    EXPECT_EQ(connection_->ReadComm(buf), 0u);
    EXPECT_EQ(sink_.Texts(), std::vector<std::string>{"Read timeout!"});
    // The port still works afterwards.
    const std::vector<uint8_t> sent = Pattern(8, 2);
    connection_->WriteComm(sent);
    ASSERT_TRUE(ReceiveAtLeast(sent.size()));
    EXPECT_EQ(received_, sent);
}

TEST_F(Win32ConnectionTest, ClosedConnectionNeitherReadsNorWrites) {
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(connection_->WriteComm(buf), 0u);
    EXPECT_EQ(connection_->ReadComm(buf), 0u);
    connection_->ClosePort();
    EXPECT_TRUE(sink_.Texts().empty());
}

// ------------------------------------------------------------ the simulated ESC

// esc-sim ends when its port is closed, so this runs on its own (the script's last
// step), after every other test has stopped opening ports.
class Win32ConnectionEscSim : public Win32ConnectionTest {};

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        s += buf;
    }
    return s;
}

TEST_F(Win32ConnectionEscSim, AnswersTheProbeAfterTheEcho) {
    const std::string port = TestEscPortName();
    if (port.empty()) {
        GTEST_SKIP() << "no simulated ESC mapped (QUORVEL_TEST_ESC_COM)";
    }
    ASSERT_TRUE(connection_->Open(port, SLineSettings{}));
    // The wake-up and the probe as they go onto the wire: nine 00 and 0D, then "QZ32SZ"
    // with its CRC-16 (0xCC47, low byte first).
    const std::vector<uint8_t> wakeUp = {0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 0x0D};
    const std::vector<uint8_t> probe = {'Q', 'Z', '3', '2', 'S', 'Z', 0x47, 0xCC};
    EXPECT_EQ(connection_->WriteComm(wakeUp), wakeUp.size());
    EXPECT_EQ(connection_->WriteComm(probe), probe.size());

    // The echo of both, then the identification.
    std::vector<uint8_t> expected;
    for (const std::vector<uint8_t>* part : {&wakeUp, &probe}) {
        for (uint8_t b : *part) {
            expected.push_back(b);
        }
    }
    for (char ch : std::string_view("CPU-F0510")) {
        expected.push_back(static_cast<uint8_t>(ch));
    }
    EXPECT_TRUE(ReceiveAtLeast(expected.size())) << "received " << Hex(received_);
    EXPECT_EQ(received_, expected);
    EXPECT_TRUE(sink_.Texts().empty());
}

// ------------------------------------------------------------ through an event thread

TEST(Win32ConnectionEventThread, NotificationsRunOnTheEventThreadAndCloseAbandonsOne) {
    DrainLine(TestPortName());
    CRecordingSink sink;
    CEventLoop events;
    std::vector<uint8_t> received;
    std::vector<uint32_t> counts;
    const std::thread::id eventThread = std::this_thread::get_id();
    bool allOnEventThread = true;
    std::unique_ptr<CWin32Connection> connection;
    connection = std::make_unique<CWin32Connection>(
        events,
        [&](uint32_t mask, uint32_t count) {
            allOnEventThread = allOnEventThread && std::this_thread::get_id() == eventThread;
            counts.push_back(count);
            if (mask != 1 || !connection->IsOpen()) {
                return;
            }
            uint8_t buf[kMaxRead];
            std::size_t n = connection->ReadComm(
                std::span<uint8_t>(buf, std::min<std::size_t>(count, kMaxRead)));
            received.insert(received.end(), buf, buf + n);
        },
        sink);
    ASSERT_TRUE(connection->Open(TestPortName(), SLineSettings{}));
    const std::vector<uint8_t> sent = Pattern(600, 4);
    connection->WriteComm(sent);
    ASSERT_TRUE(events.RunUntil([&] { return received.size() >= sent.size(); },
                                CEventLoop::Clock::now() + std::chrono::milliseconds(kPatienceMs)));
    EXPECT_EQ(received, sent);
    EXPECT_TRUE(allOnEventThread);

    // A notification the event thread never runs is abandoned by the close.
    connection->WriteComm(Pattern(5, 0));
    ASSERT_TRUE(WaitWithoutPumping([&] { return connection->NotificationInFlight(); }));
    const std::size_t before = counts.size();
    connection->ClosePort();
    EXPECT_FALSE(connection->ReaderRunning());
    events.RunUntil([] { return false; }, CEventLoop::Clock::now() + std::chrono::milliseconds(50));
    EXPECT_EQ(counts.size(), before);
    EXPECT_TRUE(sink.Texts().empty());
}

}  // namespace
}  // namespace quorvel
