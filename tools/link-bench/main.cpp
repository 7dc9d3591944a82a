// The protocol's inherent costs: a connect, a firmware update and a setup write on the
// deterministic bench at 19200 baud, each next to its wire-time floor (every byte that
// crosses the wire at 10.5 bit-times). Real transports are measured against these.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "bench/bench.h"
#include "link/engine/engine.h"

namespace {

using namespace quorvel;
using bench::Ms;

struct Figures {
    uint64_t virtualNs = 0;
    std::size_t ticks = 0;
    std::size_t bytesOut = 0;
    std::size_t bytesIn = 0;
    double realMs = 0;
};

// Runs one phase: `start` kicks it off, `done` says when it is over.
Figures Measure(bench::CBench& b, const std::function<void()>& start,
                const std::function<bool()>& done) {
    const auto& rec = b.Rec();
    const uint64_t t0 = b.Now();
    const std::size_t ticks0 = rec.ticks.size();
    const std::size_t out0 = rec.WrittenSince(0).size();
    const std::size_t in0 = rec.ReadSince(0).size();
    const auto real0 = std::chrono::steady_clock::now();
    start();
    if (!b.RunUntil(done, Ms(120000))) {
        std::fprintf(stderr, "phase did not finish\n");
        std::exit(1);
    }
    Figures f;
    f.realMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - real0).count();
    f.virtualNs = b.Now() - t0;
    f.ticks = rec.ticks.size() - ticks0;
    f.bytesOut = rec.WrittenSince(0).size() - out0;
    f.bytesIn = rec.ReadSince(0).size() - in0;
    return f;
}

void Print(const char* name, const Figures& f, uint64_t byteNs) {
    // The echo of a byte shares its bit-times; replies are the bytes read beyond them.
    const std::size_t wireBytes = f.bytesOut + (f.bytesIn - std::min(f.bytesIn, f.bytesOut));
    const double floorMs = static_cast<double>(wireBytes * byteNs) / 1e6;
    const double ms = static_cast<double>(f.virtualNs) / 1e6;
    std::printf(
        "%-16s %10.1f ms %7zu ticks %9zu wire bytes  floor %9.1f ms  ratio %5.2f  (%.0f ms real)\n",
        name, ms, f.ticks, wireBytes, floorMs, ms / floorMs, f.realMs);
}

}  // namespace

int main() {
    bench::SBenchConfig cfg;  // 19200 baud, 8 data bits, 1.5 stop bits
    bench::CBench b(cfg);
    CLinkEngine engine(b.Host());
    b.Attach(engine);
    engine.SetImages(bench::TestImageSet(), SyntheticImages::kAccept);

    auto connected = [&] {
        return engine.State().g_linkUp == 1 && engine.State().g_rxMode == kRxKeepAlive;
    };
    auto idle = [&] { return connected() && engine.State().g_busy == 0; };

    std::printf("bench: %u baud, %.1f us per byte\n", cfg.esc.wire.baud,
                static_cast<double>(b.ByteTimeNs()) / 1e3);
    const Figures connect = Measure(
        b,
        [&] {
            b.Connect();
            engine.StartProbing();
        },
        connected);
    Print("connect", connect, b.ByteTimeNs());
    b.RunUntil(idle, Ms(1000));

    const Figures flash = Measure(
        b, [&] { engine.OnUpdatingStart(); },
        [&] {
            return b.Rec().FirstLinkEvent(LinkEvent::kTransferDone, 0).has_value() && connected();
        });
    Print("firmware update", flash, b.ByteTimeNs());
    b.RunUntil(idle, Ms(1000));

    const std::size_t done = b.Rec().linkEvents.size();
    const Figures setup = Measure(
        b, [&] { engine.OnWriteSetup(); },
        [&] {
            for (std::size_t i = done; i < b.Rec().linkEvents.size(); ++i) {
                if (b.Rec().linkEvents[i].event == LinkEvent::kTransferDone)
                    return connected();
            }
            return false;
        });
    Print("setup write", setup, b.ByteTimeNs());
    std::printf("(each phase ends when the information block has been read back)\n");
    return 0;
}
