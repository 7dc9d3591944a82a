// The link engine over a real pseudo-terminal: the POSIX connection and the event loop on
// this side, the simulated ESC served on the far end at the pace of its own wire.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/engine/engine.h"
#include "link/engine/texts.h"
#include "serial/connect.h"
#include "serial/event_loop.h"
#include "serial/posix/posix_connection.h"
#include "serial/tests/loop_host.h"
#include "serial/tests/pty_esc_server.h"
#include "serial/tests/serial_test_util.h"
#include "sim/test_image.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::CLoopHost;
using testing::CPtyEscServer;
using testing::CPtyPair;
using testing::TestImages;

class PtyEndToEnd : public ::testing::Test {
  protected:
    static constexpr int32_t kBaud = 115200;

    void SetUp() override {
        ASSERT_TRUE(pty_.Ok());
        loop_.SetTimerHandler([this](unsigned id) { engine_.OnTimer(id); });
        engine_.SetImages(TestImages(), SyntheticImages::kAccept);
        connection_ = std::make_unique<CPosixConnection>(
            loop_, [this](uint32_t mask, uint32_t count) { engine_.OnCommNotify(mask, count); },
            host_,
            [this](std::string_view name) {
                return name == "COM7" ? std::optional<std::string>(pty_.SlavePath()) : std::nullopt;
            });
        host_.SetConnection(connection_.get());
    }
    void TearDown() override {
        server_.reset();
        if (connection_) {
            connection_->ClosePort();
        }
        loop_.SetTimerHandler(nullptr);
    }

    // Connect as the window does, with the far end switched on.
    void Connect() {
        SInfoFileRecord record = DefaultInfoRecord();
        record.port = 7;
        record.baud = kBaud;
        std::string m_strPortName;
        const SConnectOutcome outcome = ConnectPort(*connection_, record, 0, m_strPortName);
        ASSERT_TRUE(outcome.opened) << outcome.message;
        EXPECT_EQ(m_strPortName, "COM7");
        sim::SSimConfig config;
        config.wire.baud = kBaud;
        server_ = std::make_unique<CPtyEscServer>(pty_.Master(), config);
        engine_.StartProbing();
    }

    bool RunUntilCount(LinkEvent e, int n, std::chrono::seconds limit) {
        return loop_.RunUntil([&] { return host_.Count(e) >= n; },
                              CEventLoop::Clock::now() + limit);
    }

    std::vector<uint8_t> Flash(uint32_t address, std::size_t n) {
        return server_->Esc().WithEsc([&](sim::CSimEsc& esc) {
            const auto flash = esc.Flash();
            return std::vector<uint8_t>(flash.begin() + address, flash.begin() + address + n);
        });
    }

    CPtyPair pty_;
    CEventLoop loop_;
    CLoopHost host_{loop_};
    CLinkEngine engine_{host_};
    std::unique_ptr<CPosixConnection> connection_;
    std::unique_ptr<CPtyEscServer> server_;
};

TEST_F(PtyEndToEnd, ConnectReadsTheInformationBlock) {
    Connect();
    ASSERT_TRUE(RunUntilCount(LinkEvent::kConnected, 1, 20s));
    EXPECT_EQ(host_.status, texts::kConnectedNormal);
    EXPECT_EQ(host_.vars.m_strAppVersion, "DR19V4.03");
    EXPECT_FALSE(host_.vars.m_strBootVersion.empty());

    // Keep-alives go on and are answered: no fall-back to probing.
    const uint32_t before = server_->Esc().WithEsc(
        [](sim::CSimEsc& esc) { return esc.Count(sim::ReplyKind::kKeepAlive); });
    loop_.RunUntil([] { return false; }, CEventLoop::Clock::now() + 700ms);
    const uint32_t after = server_->Esc().WithEsc(
        [](sim::CSimEsc& esc) { return esc.Count(sim::ReplyKind::kKeepAlive); });
    EXPECT_GE(after, before + 2);
    EXPECT_TRUE(host_.buttons);  // the keep-alive found a known ESC
    EXPECT_EQ(host_.Count(LinkEvent::kLinkLost), 0);
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_FALSE(server_->WriteFailed());
}

TEST_F(PtyEndToEnd, FirmwareUpdateWritesEveryPageAndTheNewVersionIsRead) {
    Connect();
    ASSERT_TRUE(RunUntilCount(LinkEvent::kConnected, 1, 20s));

    engine_.OnUpdatingStart();
    ASSERT_TRUE(RunUntilCount(LinkEvent::kTransferDone, 1, 60s))
        << ::testing::PrintToString(host_.messages);
    EXPECT_EQ(host_.label, texts::kProgramDone);
    EXPECT_EQ(host_.Count(LinkEvent::kTransferFailed), 0);

    const std::vector<uint8_t> image = sim::MakeImage25();
    EXPECT_EQ(Flash(sim::kAppAddress, 26 * 1024),
              std::vector<uint8_t>(image.begin(), image.begin() + 26 * 1024));
    EXPECT_EQ(server_->Esc().WithEsc([](sim::CSimEsc& esc) { return esc.PagesProgrammed(); }), 26u);

    // The handshake after the update reads the version the new image carries.
    ASSERT_TRUE(RunUntilCount(LinkEvent::kConnected, 2, 20s));
    EXPECT_EQ(host_.vars.m_strAppVersion, "DR19V4.10");
    EXPECT_TRUE(host_.messages.empty()) << ::testing::PrintToString(host_.messages);
}

TEST_F(PtyEndToEnd, SetupWriteStoresTheChosenSettingsInTheEsc) {
    Connect();
    ASSERT_TRUE(RunUntilCount(LinkEvent::kConnected, 1, 20s));
    const std::vector<uint8_t> before = Flash(sim::kSetupAddress, sim::kSetupBlockSize);

    // Other choices than the ESC holds.
    host_.vars.m_nDirection = host_.vars.m_nDirection == 0 ? 1 : 0;
    host_.vars.m_nBrake = host_.vars.m_nBrake == 0 ? 1 : 0;
    engine_.OnWriteSetup();
    ASSERT_TRUE(RunUntilCount(LinkEvent::kTransferDone, 1, 60s))
        << ::testing::PrintToString(host_.messages);
    EXPECT_EQ(host_.label, texts::kSetupDone);

    const std::vector<uint8_t> after = Flash(sim::kSetupAddress, sim::kSetupBlockSize);
    EXPECT_NE(after, before);
    // The ESC's setup page now holds what the engine put into the transmit image.
    const auto& tx = engine_.TxImage();
    std::vector<uint8_t> sent(sim::kSetupBlockSize);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = tx[kSetupPageOffset + i] ^ engine_.State().g_key;
    }
    EXPECT_EQ(after, sent);
    EXPECT_TRUE(host_.messages.empty()) << ::testing::PrintToString(host_.messages);
}

}  // namespace
}  // namespace quorvel
