// The simulated ESC behind the connection interface, in real time.

#include "serial/sim/sim_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "serial/event_loop.h"
#include "serial/tests/recording_sink.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::CRecordingSink;

const std::vector<uint8_t> kKeepAlive = {0xFD, 0x00, 0x40, 0x90};
constexpr uint8_t kKeepAliveReply = 0xC1;

SLineSettings Fast() {
    SLineSettings line;
    line.baud = 115200;
    return line;
}

class SimConnectionTest : public ::testing::Test {
  protected:
    void Make(CommNotifyHandler onCommNotify = nullptr) {
        if (!onCommNotify) {
            onCommNotify = [this](uint32_t, uint32_t count) {
                announced_.push_back(count);
                std::vector<uint8_t> buf(std::min<uint32_t>(count, 512));
                const std::size_t n = conn_->ReadComm(buf);
                received_.insert(received_.end(), buf.begin(), buf.begin() + n);
            };
        }
        conn_ = std::make_unique<CSimConnection>(loop_, std::move(onCommNotify), sim::SSimConfig{},
                                                 &sink_);
    }
    bool RunUntil(const std::function<bool()>& pred) {
        return loop_.RunUntil(pred, CEventLoop::Clock::now() + 10s);
    }
    uint32_t KeepAlives() {
        uint32_t n = 0;
        conn_->WithEsc([&](sim::CSimEsc& esc) { n = esc.Count(sim::ReplyKind::kKeepAlive); });
        return n;
    }

    CEventLoop loop_;
    CRecordingSink sink_;
    std::vector<uint32_t> announced_;
    std::vector<uint8_t> received_;
    std::unique_ptr<CSimConnection> conn_;
};

TEST_F(SimConnectionTest, AKeepAliveComesBackAsEchoAndReply) {
    Make();
    ASSERT_TRUE(conn_->Open("COM42", Fast()));
    EXPECT_TRUE(conn_->IsOpen());

    EXPECT_EQ(conn_->WriteComm(kKeepAlive), kKeepAlive.size());
    // The write returned only once its bytes had been on the wire.
    uint64_t byteNs = 0;
    conn_->WithEsc([&](sim::CSimEsc& esc) { byteNs = esc.ByteTimeNs(); });
    EXPECT_GE(conn_->NowNs(), kKeepAlive.size() * byteNs);

    ASSERT_TRUE(RunUntil([&] { return received_.size() >= 5; }));
    std::vector<uint8_t> expected = kKeepAlive;
    expected.push_back(kKeepAliveReply);
    EXPECT_EQ(received_, expected);
    EXPECT_EQ(KeepAlives(), 1u);
    EXPECT_TRUE(sink_.Messages().empty());
}

TEST_F(SimConnectionTest, OpenFailsWhenToldOrForALineAPortWouldRefuse) {
    Make();
    conn_->SetOpenFails(true);
    EXPECT_FALSE(conn_->Open("COM1", Fast()));
    EXPECT_FALSE(conn_->IsOpen());
    conn_->SetOpenFails(false);

    for (const auto& [baud, bits, parity, stop] :
         {std::tuple{0, 8, 0, 1}, {19200, 4, 0, 1}, {19200, 8, 5, 1}, {19200, 8, 0, 3}}) {
        SLineSettings line;
        line.baud = baud;
        line.byteSize = static_cast<uint8_t>(bits);
        line.parity = static_cast<uint8_t>(parity);
        line.stopBits = static_cast<uint8_t>(stop);
        EXPECT_FALSE(conn_->Open("COM1", line))
            << baud << ' ' << bits << ' ' << parity << ' ' << stop;
    }
    EXPECT_TRUE(conn_->Open("any name at all", Fast()));
    EXPECT_FALSE(conn_->Open("COM1", Fast()));  // already open
}

TEST_F(SimConnectionTest, BytesAHandlerLeavesUnreadAreAnnouncedAgain) {
    int calls = 0;
    Make([&](uint32_t, uint32_t count) {
        announced_.push_back(count);
        if (++calls == 1) {
            return;  // nothing read
        }
        std::vector<uint8_t> buf(count);
        const std::size_t n = conn_->ReadComm(buf);
        received_.insert(received_.end(), buf.begin(), buf.begin() + n);
    });
    ASSERT_TRUE(conn_->Open("COM1", Fast()));
    conn_->WriteComm(kKeepAlive);

    ASSERT_TRUE(RunUntil([&] { return received_.size() >= 5; }));
    ASSERT_GE(announced_.size(), 2u);
    EXPECT_GE(announced_[1], announced_[0]);  // the unread bytes are still counted
    EXPECT_EQ(received_.front(), kKeepAlive.front());
    EXPECT_EQ(received_.back(), kKeepAliveReply);
}

TEST_F(SimConnectionTest, AHandlerThatClosesThePortReturnsAndTheLineGoesQuiet) {
    bool handlerDone = false;
    Make([&](uint32_t, uint32_t) {
        conn_->ClosePort();
        handlerDone = true;
    });
    ASSERT_TRUE(conn_->Open("COM1", Fast()));
    conn_->WriteComm(kKeepAlive);
    EXPECT_TRUE(RunUntil([&] { return handlerDone; }));
    EXPECT_FALSE(conn_->IsOpen());
    EXPECT_EQ(conn_->WriteComm(kKeepAlive), 0u);
    conn_->ClosePort();
}

TEST_F(SimConnectionTest, EveryOpenPlugsInAFreshEsc) {
    Make();
    ASSERT_TRUE(conn_->Open("COM1", Fast()));
    conn_->WriteComm(kKeepAlive);
    ASSERT_TRUE(RunUntil([&] { return received_.size() >= 5; }));
    EXPECT_EQ(KeepAlives(), 1u);
    conn_->ClosePort();

    ASSERT_TRUE(conn_->Open("COM1", Fast()));
    EXPECT_EQ(KeepAlives(), 0u);
}

TEST_F(SimConnectionTest, AWriteLongerThanTwoSecondsOnTheWireTimesOut) {
    Make();
    SLineSettings slow;
    slow.baud = 300;  // 100 bytes take more than three seconds
    ASSERT_TRUE(conn_->Open("COM1", slow));
    EXPECT_EQ(conn_->WriteComm(std::vector<uint8_t>(100, 0x55)), 0u);
    EXPECT_EQ(sink_.Messages(), std::vector<std::string>{"Write timeout!"});
}

}  // namespace
}  // namespace quorvel
