// The POSIX connection over real pseudo-terminals; the test plays the far end itself.

#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/event_loop.h"
#include "serial/posix/custom_baud.h"
#include "serial/posix/posix_connection.h"
#include "serial/posix/termios_line.h"
#include "serial/tests/serial_test_util.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::CPtyPair;
using testing::CRecordingSink;
using testing::CTempDir;
using testing::Pattern;

constexpr auto kPatience = 10s;

SLineSettings Line(int32_t baud, uint8_t byteSize, uint8_t parity, uint8_t stopBits,
                   int32_t flow = 0) {
    SLineSettings line;
    line.baud = baud;
    line.byteSize = byteSize;
    line.parity = parity;
    line.stopBits = stopBits;
    line.flowMode = flow;
    return line;
}

TEST(TermiosLine, CodesMapToTermiosFlags) {
    struct Case {
        SLineSettings line;
        tcflag_t size;
        tcflag_t parity;  // of PARENB | PARODD | CMSPAR
        bool twoStop;
        bool rtscts;
        bool xonxoff;
    };
    const Case cases[] = {
        {Line(19200, 8, 0, 1), CS8, 0, true, false, false},  // 1.5 stop bits become 2
        {Line(19200, 8, 0, 0), CS8, 0, false, false, false},
        {Line(19200, 7, 1, 2), CS7, PARENB | PARODD, true, false, false},
        {Line(19200, 6, 2, 0), CS6, PARENB, false, false, false},
        {Line(19200, 5, 3, 0), CS5, PARENB | CMSPAR | PARODD, false, false, false},
        {Line(19200, 8, 4, 0), CS8, PARENB | CMSPAR, false, false, false},
        {Line(19200, 8, 0, 0, 1), CS8, 0, false, true, false},
        {Line(19200, 8, 0, 0, 2), CS8, 0, false, false, true},
    };
    for (const Case& c : cases) {
        termios tio{};
        tio.c_lflag = ICANON | ECHO;
        tio.c_cflag = PARENB | CSTOPB | CRTSCTS;  // left-overs of an earlier user
        tio.c_iflag = IXON | IXOFF | ICRNL;
        ASSERT_TRUE(LineToTermios(c.line, tio));
        const auto what = ::testing::Message()
                          << int{c.line.byteSize} << '/' << int{c.line.parity} << '/'
                          << int{c.line.stopBits} << " flow " << c.line.flowMode;
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << what;
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << what;
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStop) << what;
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rtscts) << what;
        EXPECT_EQ((tio.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF), c.xonxoff) << what;
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t{CLOCAL | CREAD}) << what;
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << what;
        EXPECT_EQ(tio.c_iflag & (ICRNL | INPCK), 0u) << what;
        EXPECT_EQ(tio.c_cc[VMIN], 0) << what;
        EXPECT_EQ(tio.c_cc[VSTART], 17) << what;
        EXPECT_EQ(tio.c_cc[VSTOP], 19) << what;
    }
    for (const SLineSettings& bad :
         {Line(19200, 4, 0, 0), Line(19200, 9, 0, 0), Line(19200, 8, 5, 0), Line(19200, 8, 0, 3)}) {
        termios tio{};
        EXPECT_FALSE(LineToTermios(bad, tio))
            << int{bad.byteSize} << '/' << int{bad.parity} << '/' << int{bad.stopBits};
    }
    EXPECT_EQ(StandardSpeed(19200), B19200);
    EXPECT_EQ(StandardSpeed(115200), B115200);
    EXPECT_EQ(StandardSpeed(250000), std::nullopt);
}

// One connection onto the slave of a pty pair, "COM7"; the test drives the master.
class PtyConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()); }

    std::unique_ptr<CPosixConnection> Make(CommNotifyHandler onCommNotify) {
        return std::make_unique<CPosixConnection>(
            loop_, std::move(onCommNotify), sink_, [this](std::string_view name) {
                return name == "COM7" ? std::optional<std::string>(pty_.SlavePath()) : std::nullopt;
            });
    }

    // The receive step as the link does it: at most 512 bytes of what was announced.
    void OpenWithReader(const SLineSettings& line = SLineSettings{}) {
        conn_ = Make([this](uint32_t mask, uint32_t count) {
            announced_.push_back(count);
            masks_.push_back(mask);
            std::vector<uint8_t> buf(std::min<uint32_t>(count, 512));
            const std::size_t n = conn_->ReadComm(buf);
            reads_.push_back(n);
            received_.insert(received_.end(), buf.begin(), buf.begin() + n);
        });
        ASSERT_TRUE(conn_->Open("COM7", line));
    }

    // Until the connection's input queue holds n bytes (the reader is held meanwhile).
    bool WaitForQueue(std::size_t n) {
        const auto giveUp = CEventLoop::Clock::now() + kPatience;
        while (conn_->BytesWaiting() < n && CEventLoop::Clock::now() < giveUp) {
            std::this_thread::sleep_for(1ms);
        }
        return conn_->BytesWaiting() == n;
    }

    // Some conditions change on other threads without a word to the loop: a timer makes
    // the loop look again now and then.
    bool RunUntil(const std::function<bool()>& pred) {
        loop_.SetTimer(kLookAgainTimer, 10);
        const bool met = loop_.RunUntil(pred, CEventLoop::Clock::now() + kPatience);
        loop_.KillTimer(kLookAgainTimer);
        return met;
    }
    static constexpr unsigned kLookAgainTimer = 99;

    CEventLoop loop_;
    CRecordingSink sink_;
    CPtyPair pty_;
    std::vector<uint32_t> announced_, masks_;
    std::vector<std::size_t> reads_;
    std::vector<uint8_t> received_;
    // Declared last: closed before the loop and the pty go.
    std::unique_ptr<CPosixConnection> conn_;
};

TEST_F(PtyConnectionTest, OpenConfiguresTheTerminalAndCloseReleasesIt) {
    struct Case {
        SLineSettings line;
        bool twoStop;
        bool rtscts;
    };
    // A pty keeps stop bits, flow control and the speed (data bits and parity it forces).
    const Case cases[] = {
        {Line(19200, 8, 0, 1), true, false},
        {Line(115200, 8, 0, 0), false, false},
        {Line(9600, 8, 2, 2, 1), true, true},
        {Line(250000, 8, 0, 0), false, false},  // no Bnnn constant: termios2
    };
    for (const Case& c : cases) {
        conn_ = Make([](uint32_t, uint32_t) {});
        ASSERT_TRUE(conn_->Open("COM7", c.line)) << c.line.baud;
        EXPECT_TRUE(conn_->IsOpen());
        EXPECT_TRUE(conn_->ReaderRunning());
        termios tio{};
        ASSERT_EQ(tcgetattr(pty_.Master(), &tio), 0);  // the master reports the slave's
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStop) << c.line.baud;
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.rtscts) << c.line.baud;
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(GetLineSpeed(pty_.Master()), c.line.baud);

        conn_->ClosePort();
        EXPECT_FALSE(conn_->IsOpen());
        EXPECT_FALSE(conn_->ReaderRunning());
        conn_->ClosePort();  // twice is harmless
    }
    EXPECT_TRUE(sink_.Messages().empty());
}

TEST_F(PtyConnectionTest, SettingsTheLineCannotTakeFailTheOpenAndFreeThePort) {
    for (const SLineSettings& bad : {Line(19200, 4, 0, 0), Line(19200, 8, 7, 0),
                                     Line(19200, 8, 0, 3), Line(0, 8, 0, 1), Line(-5, 8, 0, 1)}) {
        conn_ = Make([](uint32_t, uint32_t) {});
        EXPECT_FALSE(conn_->Open("COM7", bad)) << bad.baud << '/' << int{bad.byteSize};
        EXPECT_FALSE(conn_->IsOpen());
    }
    // The failed attempts left the port free for the next one.
    EXPECT_TRUE(conn_->Open("COM7", SLineSettings{}));
}

TEST_F(PtyConnectionTest, PortsThatCannotBeOpenedAreRefusedWithoutAMessage) {
    CTempDir dir;
    const std::string plain = dir.Write("plain", "not a terminal").string();
    const struct {
        const char* what;
        std::optional<std::string> path;
    } cases[] = {
        {"no device for the name", std::nullopt},
        {"nonexistent path", (dir.Path() / "absent").string()},
        {"a directory", dir.Path().string()},
        {"a plain file", plain},
    };
    for (const auto& c : cases) {
        CPosixConnection conn(
            loop_, [](uint32_t, uint32_t) {}, sink_, [&](std::string_view) { return c.path; });
        EXPECT_FALSE(conn.Open("COM7", SLineSettings{})) << c.what;
        EXPECT_FALSE(conn.IsOpen()) << c.what;
        conn.ClosePort();
    }
    EXPECT_TRUE(sink_.Messages().empty());

    // The same connection object can still open a real port afterwards.
    CPosixConnection conn(
        loop_, [](uint32_t, uint32_t) {}, sink_,
        [&](std::string_view name) {
            return name == "COM7" ? std::optional<std::string>(pty_.SlavePath()) : std::nullopt;
        });
    EXPECT_FALSE(conn.Open("COM8", SLineSettings{}));
    EXPECT_TRUE(conn.Open("COM7", SLineSettings{}));
}

TEST_F(PtyConnectionTest, ASecondOpenOfAHeldPortIsRefused) {
    OpenWithReader();
    auto second = Make([](uint32_t, uint32_t) {});
    EXPECT_FALSE(second->Open("COM7", SLineSettings{}));
    EXPECT_FALSE(conn_->Open("COM7", SLineSettings{}));  // already open
    EXPECT_TRUE(conn_->IsOpen());

    conn_->ClosePort();
    EXPECT_TRUE(second->Open("COM7", SLineSettings{}));
}

TEST_F(PtyConnectionTest, ABurstIsAnnouncedWholeAndReadIn512ByteSteps) {
    const std::vector<uint8_t> burst = Pattern(700);
    std::atomic<bool> primerAnnounced{false};
    bool burstWaiting = false;
    conn_ = Make([&](uint32_t mask, uint32_t count) {
        announced_.push_back(count);
        masks_.push_back(mask);
        if (!primerAnnounced.exchange(true)) {
            // Hold the reader in this first notification until the whole burst waits
            // behind the primer byte, so the next pass finds all 700 at once.
            EXPECT_TRUE(pty_.Send(burst));
            burstWaiting = WaitForQueue(1 + burst.size());
        }
        std::vector<uint8_t> buf(std::min<uint32_t>(count, 512));
        const std::size_t n = conn_->ReadComm(buf);
        reads_.push_back(n);
        received_.insert(received_.end(), buf.begin(), buf.begin() + n);
    });
    ASSERT_TRUE(conn_->Open("COM7", SLineSettings{}));
    ASSERT_TRUE(pty_.Send({0xA5}));

    EXPECT_TRUE(RunUntil([&] { return received_.size() >= 1 + burst.size(); }));
    EXPECT_TRUE(burstWaiting);
    EXPECT_EQ(announced_, (std::vector<uint32_t>{1, 700, 188}));
    EXPECT_EQ(reads_, (std::vector<std::size_t>{1, 512, 188}));
    EXPECT_EQ(masks_, (std::vector<uint32_t>{1, 1, 1}));
    std::vector<uint8_t> expected = {0xA5};
    expected.insert(expected.end(), burst.begin(), burst.end());
    EXPECT_EQ(received_, expected);
}

TEST_F(PtyConnectionTest, BytesAHandlerLeavesUnreadAreAnnouncedAgain) {
    const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
    int calls = 0;
    conn_ = Make([&](uint32_t, uint32_t count) {
        announced_.push_back(count);
        ++calls;
        if (calls == 1) {
            // The primer: make the five bytes wait in the queue behind it first.
            EXPECT_TRUE(pty_.Send(bytes));
            EXPECT_TRUE(WaitForQueue(1 + bytes.size()));
        } else if (calls == 2) {
            reads_.push_back(0);
            return;  // reads nothing; the go-ahead is set all the same
        }
        std::vector<uint8_t> buf(count);
        const std::size_t n = conn_->ReadComm(buf);
        reads_.push_back(n);
        received_.insert(received_.end(), buf.begin(), buf.begin() + n);
    });
    ASSERT_TRUE(conn_->Open("COM7", SLineSettings{}));
    ASSERT_TRUE(pty_.Send({0}));

    EXPECT_TRUE(RunUntil([&] { return received_.size() >= 1 + bytes.size(); }));
    EXPECT_EQ(announced_, (std::vector<uint32_t>{1, 5, 5}));
    EXPECT_EQ(reads_, (std::vector<std::size_t>{1, 0, 5}));
    EXPECT_EQ(received_, (std::vector<uint8_t>{0, 1, 2, 3, 4, 5}));
}

TEST_F(PtyConnectionTest, WritesReachTheFarEndWhole) {
    OpenWithReader();
    const std::vector<uint8_t> block = Pattern(1024, 7);
    EXPECT_EQ(conn_->WriteComm(block), block.size());
    EXPECT_EQ(conn_->WriteComm(std::vector<uint8_t>{0xFE, 0x00}), 2u);
    std::vector<uint8_t> expected = block;
    expected.insert(expected.end(), {0xFE, 0x00});
    EXPECT_EQ(pty_.Receive(expected.size(), kPatience), expected);
    EXPECT_TRUE(sink_.Messages().empty());
}

TEST_F(PtyConnectionTest, AWriteTheFarEndNeverTakesTimesOut) {
    OpenWithReader();
    // Far more than the pty buffers; the far end does not read.
    const std::vector<uint8_t> flood = Pattern(1 << 20, 3);
    EXPECT_EQ(conn_->WriteComm(flood), 0u);
    EXPECT_EQ(sink_.Messages(), std::vector<std::string>{"Write timeout!"});
}

TEST_F(PtyConnectionTest, TheFarEndGoingAwayEndsTheReaderQuietly) {
    OpenWithReader();
    ASSERT_TRUE(pty_.Send({9, 8, 7}));
    ASSERT_TRUE(RunUntil([&] { return received_.size() == 3; }));

    pty_.CloseMaster();
    EXPECT_TRUE(RunUntil([&] { return !conn_->ReaderRunning(); }));
    EXPECT_TRUE(conn_->IsOpen());  // the link notices by its own time-outs
    EXPECT_TRUE(sink_.Messages().empty());

    // Writing to a device that has gone fails without a message; a hung-up terminal
    // reads as empty.
    EXPECT_EQ(conn_->WriteComm(std::vector<uint8_t>{1, 2}), 0u);
    uint8_t buf[8];
    EXPECT_EQ(conn_->ReadComm(buf), 0u);
    EXPECT_TRUE(sink_.Messages().empty());

    conn_->ClosePort();  // the reader has already ended
    EXPECT_FALSE(conn_->IsOpen());
}

TEST_F(PtyConnectionTest, ClosingOnTheEventThreadWhileANotificationWaitsForItDoesNotHang) {
    OpenWithReader();
    bool closed = false;
    // The event thread is busy when the bytes come; the reader's notification queues up
    // behind it, and the busy handler closes the port.
    loop_.Post([&] {
        ASSERT_TRUE(pty_.Send({0x42}));
        const auto giveUp = CEventLoop::Clock::now() + kPatience;
        while (loop_.PendingCalls() == 0 && CEventLoop::Clock::now() < giveUp) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(loop_.PendingCalls(), 1u);
        conn_->ClosePort();
        closed = true;
    });
    EXPECT_TRUE(RunUntil([&] { return closed; }));
    EXPECT_FALSE(conn_->ReaderRunning());
    EXPECT_EQ(loop_.PendingCalls(), 0u);
    loop_.DispatchPending();
    EXPECT_TRUE(announced_.empty());  // the notification was given up, never run
}

TEST_F(PtyConnectionTest, AHandlerThatClosesThePortReturns) {
    bool handlerDone = false;
    conn_ = Make([&](uint32_t, uint32_t) {
        conn_->ClosePort();  // the reader is blocked in this very notification
        handlerDone = true;
    });
    ASSERT_TRUE(conn_->Open("COM7", SLineSettings{}));
    ASSERT_TRUE(pty_.Send({1}));
    EXPECT_TRUE(RunUntil([&] { return handlerDone; }));
    EXPECT_FALSE(conn_->IsOpen());
    EXPECT_FALSE(conn_->ReaderRunning());
}

TEST_F(PtyConnectionTest, ClosingFromAnotherThreadWhileTheHandlerRunsReturns) {
    std::atomic<bool> handlerStarted{false};
    std::atomic<bool> closing{false};
    std::atomic<bool> handlerDone{false};
    conn_ = Make([&](uint32_t, uint32_t) {
        handlerStarted = true;
        // Blocks until ClosePort is under way on the other thread.
        const auto giveUp = CEventLoop::Clock::now() + kPatience;
        while (!closing && CEventLoop::Clock::now() < giveUp) {
            std::this_thread::sleep_for(1ms);
        }
        handlerDone = true;
    });
    ASSERT_TRUE(conn_->Open("COM7", SLineSettings{}));
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        const auto giveUp = CEventLoop::Clock::now() + kPatience;
        while (!handlerStarted && CEventLoop::Clock::now() < giveUp) {
            std::this_thread::sleep_for(1ms);
        }
        closing = true;
        conn_->ClosePort();
        closed = true;
    });
    ASSERT_TRUE(pty_.Send({1}));
    EXPECT_TRUE(RunUntil([&] { return closed && handlerDone; }));
    closer.join();
    EXPECT_TRUE(handlerStarted);
    EXPECT_FALSE(conn_->ReaderRunning());
}

TEST_F(PtyConnectionTest, ReopeningAnnouncesAtOnceWithFreshEvents) {
    OpenWithReader();
    ASSERT_TRUE(pty_.Send({1, 2}));
    ASSERT_TRUE(RunUntil([&] { return received_.size() == 2; }));
    conn_->ClosePort();

    ASSERT_TRUE(conn_->Open("COM7", SLineSettings{}));
    ASSERT_TRUE(pty_.Send({3}));
    EXPECT_TRUE(RunUntil([&] { return received_.size() == 3; }));
    EXPECT_EQ(received_, (std::vector<uint8_t>{1, 2, 3}));
}

// A connection whose reader thread cannot make its wake pipe (as when the process is
// out of descriptors).
class CNoPipeConnection : public CPosixConnection {
  public:
    using CPosixConnection::CPosixConnection;

  protected:
    bool CreateWakePipe(int (&)[2]) override {
        errno = EMFILE;
        return false;
    }
};

TEST_F(PtyConnectionTest, AReaderThatCannotMakeItsWakePipeSaysSoAndEnds) {
    conn_ = std::make_unique<CNoPipeConnection>(
        loop_, [this](uint32_t, uint32_t) { announced_.push_back(0); }, sink_,
        [this](std::string_view) { return std::optional<std::string>(pty_.SlavePath()); });
    ASSERT_TRUE(conn_->Open("COM7", SLineSettings{}));

    EXPECT_TRUE(RunUntil([&] { return !sink_.Messages().empty(); }));
    EXPECT_EQ(sink_.Messages(), std::vector<std::string>{"Can't create event object!"});
    EXPECT_TRUE(RunUntil([&] { return !conn_->ReaderRunning(); }));
    EXPECT_TRUE(conn_->IsOpen());  // the window is not told
    ASSERT_TRUE(pty_.Send({1}));
    loop_.RunUntil([] { return false; }, CEventLoop::Clock::now() + 50ms);
    EXPECT_TRUE(announced_.empty());  // nobody announces any more
    conn_->ClosePort();
}

}  // namespace
}  // namespace quorvel
