// Figures of the serial transport on this machine, printed (no pass or fail):
//   - notification latency over a pty: far end writes a byte -> handler on the event loop
//   - receive throughput through the 512-byte notifications
//   - WriteComm of a 1024-byte block on a pty (no baud timing there: the call's overhead)
//   - idle CPU of the event loop with an open port and the window's slow timers
//   - the simulated connection's write time against the wire time
//   - the link engine over a pty against the simulated ESC: connect, update, setup write
//
// Run: build/<dir>/serial/serial_bench

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "serial/connect.h"
#include "serial/event_loop.h"
#include "serial/posix/posix_connection.h"
#include "serial/sim/sim_connection.h"
#include "serial/tests/loop_host.h"
#include "serial/tests/pty_esc_server.h"
#include "serial/tests/serial_test_util.h"

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::CLoopHost;
using testing::CPtyEscServer;
using testing::CPtyPair;
using testing::CRecordingSink;

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void PrintStats(const char* what, std::vector<double> v, const char* unit) {
    if (v.empty()) {
        std::printf("%-46s no samples\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[static_cast<std::size_t>(q * (v.size() - 1))]; };
    std::printf("%-46s median %8.1f  p99 %8.1f  max %8.1f %s  (n=%zu)\n", what, at(0.5), at(0.99),
                v.back(), unit, v.size());
}

double CpuMs() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
}

PortResolver ResolveTo(const std::string& path) {
    return [path](std::string_view) { return std::optional<std::string>(path); };
}

void NotificationLatency() {
    CPtyPair pty;
    CEventLoop loop;
    CRecordingSink sink;
    constexpr int kSamples = 2000;
    std::vector<Clock::time_point> sent(kSamples);
    std::vector<double> latency;
    std::atomic<int> received{0};
    std::unique_ptr<CPosixConnection> conn;
    conn = std::make_unique<CPosixConnection>(
        loop,
        [&](uint32_t, uint32_t count) {
            const auto now = Clock::now();
            uint8_t buf[512];
            const std::size_t n = conn->ReadComm(std::span(buf, std::min<uint32_t>(count, 512)));
            for (std::size_t i = 0; i < n; ++i) {
                latency.push_back(Us(now - sent[static_cast<std::size_t>(received.load())]));
                ++received;
            }
        },
        sink, ResolveTo(pty.SlavePath()));
    if (!conn->Open("COM1", SLineSettings{})) {
        std::printf("cannot open the pty\n");
        return;
    }
    std::thread farEnd([&] {
        for (int i = 0; i < kSamples; ++i) {
            std::this_thread::sleep_for(200us);
            sent[static_cast<std::size_t>(i)] = Clock::now();
            pty.Send({static_cast<uint8_t>(i)});
            while (received.load() <= i) {
                std::this_thread::sleep_for(20us);
            }
        }
    });
    loop.SetTimer(1, 10);  // keeps the loop looking while the far end works
    loop.RunUntil([&] { return received.load() >= kSamples; }, Clock::now() + 60s);
    farEnd.join();
    conn->ClosePort();
    PrintStats("notification latency, pty byte -> handler", latency, "us");
}

void ReceiveThroughput() {
    CPtyPair pty;
    CEventLoop loop;
    CRecordingSink sink;
    constexpr std::size_t kTotal = 4 << 20;
    std::size_t got = 0;
    int notifications = 0;
    std::unique_ptr<CPosixConnection> conn;
    conn = std::make_unique<CPosixConnection>(
        loop,
        [&](uint32_t, uint32_t count) {
            ++notifications;
            uint8_t buf[512];
            got += conn->ReadComm(std::span(buf, std::min<uint32_t>(count, 512)));
        },
        sink, ResolveTo(pty.SlavePath()));
    conn->Open("COM1", SLineSettings{});
    const auto t0 = Clock::now();
    std::thread farEnd([&] { pty.Send(testing::Pattern(kTotal)); });
    loop.SetTimer(1, 10);
    loop.RunUntil([&] { return got >= kTotal; }, Clock::now() + 60s);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    farEnd.join();
    conn->ClosePort();
    std::printf("%-46s %8.1f MB/s, %d notifications, %.0f bytes each\n",
                "receive throughput, 512-byte reads", got / secs / 1e6, notifications,
                notifications ? static_cast<double>(got) / notifications : 0.0);
}

void WriteOverhead() {
    CPtyPair pty;
    CEventLoop loop;
    CRecordingSink sink;
    CPosixConnection conn(
        loop, [](uint32_t, uint32_t) {}, sink, ResolveTo(pty.SlavePath()));
    conn.Open("COM1", SLineSettings{});
    std::atomic<bool> done{false};
    std::thread drain([&] {
        while (!done) {
            pty.Receive(1 << 16, 20ms);
        }
    });
    const std::vector<uint8_t> block = testing::Pattern(1024);
    std::vector<double> us;
    for (int i = 0; i < 500; ++i) {
        const auto t0 = Clock::now();
        conn.WriteComm(block);
        us.push_back(Us(Clock::now() - t0));
    }
    done = true;
    drain.join();
    conn.ClosePort();
    PrintStats("WriteComm 1024 bytes on a pty", us, "us");
}

void IdleCpu() {
    CPtyPair pty;
    CEventLoop loop;
    CRecordingSink sink;
    CPosixConnection conn(
        loop, [](uint32_t, uint32_t) {}, sink, ResolveTo(pty.SlavePath()));
    conn.Open("COM1", SLineSettings{});
    int ticks = 0;
    loop.SetTimerHandler([&](unsigned) { ++ticks; });
    loop.SetTimer(3, 200);
    loop.SetTimer(5, 400);
    const double cpu0 = CpuMs();
    loop.RunUntil([] { return false; }, Clock::now() + 3s);
    const double cpu = CpuMs() - cpu0;
    conn.ClosePort();
    std::printf("%-46s %8.2f ms CPU in 3 s (%d ticks)\n", "idle: open port, timers 200/400 ms", cpu,
                ticks);
}

void SimWriteAccuracy() {
    CEventLoop loop;
    CSimConnection conn(loop, [](uint32_t, uint32_t) {});
    conn.Open("COM1", SLineSettings{});  // 19200 baud, 8 bits, 1.5 stop bits
    uint64_t byteNs = 0;
    conn.WithEsc([&](sim::CSimEsc& esc) { byteNs = esc.ByteTimeNs(); });
    std::vector<double> lateUs;
    for (int i = 0; i < 5; ++i) {
        const auto t0 = Clock::now();
        conn.WriteComm(testing::Pattern(1024));
        lateUs.push_back(Us(Clock::now() - t0) - 1024 * byteNs / 1e3);
    }
    conn.ClosePort();
    std::printf("simulated WriteComm 1024 bytes at 19200: wire time %.1f ms\n",
                1024 * byteNs / 1e6);
    PrintStats("  returned after the wire time by", lateUs, "us");
}

// The same update on the deterministic bench: the protocol's inherent time, from the
// button to the done report, with the ESC answering as the pty's far end does.
double BenchUpdateSeconds(int32_t baud) {
    bench::SBenchConfig cfg;
    cfg.esc.wire.baud = static_cast<uint32_t>(baud);
    bench::CBench b(cfg);
    CLinkEngine engine(b.Host());
    b.Attach(engine);
    engine.SetImages(testing::TestImages(), SyntheticImages::kAccept);
    b.Connect();
    engine.StartProbing();
    if (!b.RunUntil([&] { return engine.State().g_linkUp == 1; }, bench::Ms(10000)))
        return -1;
    const uint64_t t0 = b.Now();
    engine.OnUpdatingStart();
    if (!b.RunUntil([&] { return b.Rec().FirstLinkEvent(LinkEvent::kTransferDone).has_value(); },
                    bench::Ms(120000))) {
        return -1;
    }
    return static_cast<double>(b.Now() - t0) / 1e9;
}

void EngineOverPty(int32_t baud, bool idleFigure) {
    CPtyPair pty;
    CEventLoop loop;
    CLoopHost host(loop);
    CLinkEngine engine(host);
    engine.SetImages(testing::TestImages(), SyntheticImages::kAccept);
    loop.SetTimerHandler([&](unsigned id) { engine.OnTimer(id); });
    CPosixConnection conn(
        loop, [&](uint32_t mask, uint32_t count) { engine.OnCommNotify(mask, count); }, host,
        ResolveTo(pty.SlavePath()));
    host.SetConnection(&conn);
    SInfoFileRecord record = DefaultInfoRecord();
    record.port = 7;
    record.baud = baud;
    std::string portName;
    if (!ConnectPort(conn, record, 0, portName).opened) {
        std::printf("cannot open the pty\n");
        return;
    }
    sim::SSimConfig config;
    config.wire.baud = static_cast<uint32_t>(baud);
    auto server = std::make_unique<CPtyEscServer>(pty.Master(), config);
    const auto waitFor = [&](LinkEvent e, int n) {
        const auto t0 = Clock::now();
        const bool ok = loop.RunUntil([&] { return host.Count(e) >= n; }, Clock::now() + 120s);
        return ok ? std::chrono::duration<double>(Clock::now() - t0).count() : -1.0;
    };
    engine.StartProbing();
    const double connect = waitFor(LinkEvent::kConnected, 1);
    engine.OnUpdatingStart();
    const double update = waitFor(LinkEvent::kTransferDone, 1);
    const double reread = waitFor(LinkEvent::kConnected, 2);
    loop.RunUntil([] { return false; }, Clock::now() + 300ms);  // a keep-alive or two
    engine.OnWriteSetup();
    const double setup = waitFor(LinkEvent::kTransferDone, 2);
    const double byteMs = config.wire.ByteTimeNs() / 1e6;
    const double inherent = BenchUpdateSeconds(baud);
    std::printf("firmware update at %6d baud: pty %.2f s, bench (inherent) %.2f s, ratio %.3f\n",
                baud, update, inherent, update / inherent);
    if (idleFigure) {
        // Connected and idle: keep-alives every 200 ms and nothing else. The far end
        // runs in this process too, so the figure is an upper bound for the tool.
        loop.RunUntil([] { return false; }, Clock::now() + 500ms);
        const double cpu0 = CpuMs();
        const auto alive0 = host.writes;
        loop.RunUntil([] { return false; }, Clock::now() + 10s);
        const double cpu = CpuMs() - cpu0;
        std::printf("connected and idle for 10 s: %.1f ms CPU (%.3f %% of one core), %zu writes\n",
                    cpu, cpu / 100.0, host.writes - alive0);
    }
    std::printf(
        "engine over a pty at %6d baud: connect %.2f s, firmware update %.2f s "
        "(26 x 1034 bytes on the wire alone: %.2f s), re-read %.2f s, setup write "
        "%.2f s, messages %zu\n",
        baud, connect, update, 26 * 1034 * byteMs / 1e3, reread, setup, host.messages.size());
    server.reset();
    conn.ClosePort();
    loop.SetTimerHandler(nullptr);
}

}  // namespace
}  // namespace quorvel

int main() {
    using namespace quorvel;
    NotificationLatency();
    ReceiveThroughput();
    WriteOverhead();
    IdleCpu();
    SimWriteAccuracy();
    EngineOverPty(115200, false);
    EngineOverPty(19200, true);
    return 0;
}
