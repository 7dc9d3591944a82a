// esc-sim: the simulated ESC boot loader, served in real time on a pseudo-terminal (the
// default; its path is the first line on stdout) or on a serial device.

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/fault_spec.h"
#include "sim/realtime_esc.h"
#include "sim/sim_esc.h"
#include "tools/esc-sim/line_server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

const char* const kFooter = R"(Faults (--fault, repeatable): KIND:ACTION[=ARG][@N[+R]]
  KIND    identify, set-address, read-information, keep-alive, set-buffer, program
          (short: id, address, info, keepalive, buffer)
  ACTION  missing | late=MS | wrong=BYTE | noise=HH[,HH...]
  @N      only the n-th reply of that kind; @N+R R in a row from the n-th;
          @N+0 every one from the n-th on. Without @ every reply of the kind.
  Examples: --fault keep-alive:missing@5+0   (the link is lost after four replies)
            --fault program:late=300@3       --fault set-address:wrong=0x31
            --fault identify:noise=55,AA

The echo of every byte comes back at once (the adapter's bus), also while no ESC is
powered unless --no-echo-unpowered. Synthetic images carry their version at 0x10
("QVID", major, minor, variant); an ESC holding one reports it after an update.
Ends on Ctrl+C, SIGTERM, or when the peer closes the pseudo-terminal.)";

}  // namespace

int main(int argc, char** argv) {
    using namespace quorvel;
    CLI::App app{
        "esc-sim: a simulated ESC boot loader on a pseudo-terminal or a serial device.\n"
        "Prints the pseudo-terminal's path (the port to connect to) as the first line."};
    app.footer(kFooter);

    std::string device;
    uint32_t baud = 19200;
    int dataBits = 8;
    std::string parity = "none";
    std::string stopBits = "1.5";
    double processingMs = 1.0;
    double programMs = 20.0;
    double gapMs = 50.0;
    int bootType = 3;
    std::string bootChar;
    std::string bootText;
    int byte23 = 0;
    std::string invalidBlock;
    std::string version = "4.03";
    int variant = 1;
    std::string idText = "CPU-F0510";
    bool badInfoCrc = false;
    std::vector<std::string> faults;
    bool noEsc = false;
    double powerOnDelayMs = 0;
    bool noEchoUnpowered = false;
    uint32_t powerCutAfterPage = 0;
    double powerCutMs = 500;
    std::string flashImage;
    bool verbose = false;

    app.add_option("--device", device, "Serve on this serial device instead of a new pty");
    app.add_option("--baud", baud, "Line speed")->capture_default_str();
    app.add_option("--data-bits", dataBits, "Data bits")
        ->check(CLI::Range(5, 8))
        ->capture_default_str();
    app.add_option("--parity", parity, "none, odd or even (odd and even cost the same time)")
        ->check(CLI::IsMember({"none", "odd", "even"}))
        ->capture_default_str();
    app.add_option("--stop-bits", stopBits, "1, 1.5 or 2")
        ->check(CLI::IsMember({"1", "1.5", "2"}))
        ->capture_default_str();
    app.add_option("--processing-ms", processingMs, "Time before each ordinary reply")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--program-ms", programMs, "Time to program a page before its '0'")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--gap-ms", gapMs,
                   "A pause this long inside a command resets the decoder (0: never)")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--boot-type", bootType, "1, 2 or 3 (boot type character '2', '3', '4')")
        ->check(CLI::Range(1, 3))
        ->capture_default_str();
    app.add_option("--boot-char", bootChar, "Put this character at byte 15 instead (e.g. 1 or 5)");
    app.add_option("--boot-text", bootText,
                   "The whole boot text at bytes 8..22 (max 15 characters)");
    app.add_option("--byte23", byte23, "Value of byte 23 (0 in a valid block)")
        ->check(CLI::Range(0, 255));
    app.add_option("--invalid-block", invalidBlock,
                   "byte23 | signature (f052) | upper-case (F051): an invalid information block")
        ->check(CLI::IsMember({"byte23", "signature", "upper-case"}));
    app.add_option("--version", version,
                   "Application version reported while the flash holds no tagged image (e.g. 4.02)")
        ->capture_default_str();
    app.add_option("--variant", variant, "Variant byte (e.g. 0, 1, 25, 101)")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    app.add_option("--id-text", idText, "Reply to the probe")->capture_default_str();
    app.add_flag("--bad-info-crc", badInfoCrc, "Send the information block with a wrong CRC");
    app.add_option("--fault", faults, "A reply fault, see below (repeatable)");
    app.add_flag("--no-esc", noEsc, "No ESC powered at all: only the bus echo");
    app.add_option("--power-on-delay-ms", powerOnDelayMs,
                   "The ESC is powered this long after start")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--no-echo-unpowered", noEchoUnpowered, "No echo while the ESC is unpowered");
    app.add_option("--power-cut-after-page", powerCutAfterPage,
                   "Power fails once after the n-th programmed page, before its '0'");
    app.add_option("--power-cut-ms", powerCutMs, "How long the power stays off")
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--flash-image", flashImage,
                   "Preload the application (image bytes from 0x1000 on)")
        ->check(CLI::ExistingFile);
    app.add_flag("--verbose,-v", verbose, "Log each exchange on stderr");

    CLI11_PARSE(app, argc, argv);

    sim::SSimConfig cfg;
    cfg.wire.baud = baud;
    cfg.wire.dataBits = static_cast<uint8_t>(dataBits);
    cfg.wire.parity = parity != "none";
    cfg.wire.stopHalfBits = *sim::ParseStopBits(stopBits);
    const auto ns = [](double ms) { return static_cast<uint64_t>(ms * 1e6); };
    cfg.replyDelayNs = ns(processingMs);
    cfg.programDelayNs = ns(programMs);
    cfg.interByteGapNs = ns(gapMs);
    cfg.bootType = bootType;
    if (bootChar.size() > 1) {
        std::fprintf(stderr, "esc-sim: --boot-char takes one character\n");
        return 2;
    }
    cfg.bootTypeChar = bootChar.empty() ? 0 : bootChar[0];
    if (bootText.size() > 15) {
        std::fprintf(stderr, "esc-sim: --boot-text has at most 15 characters\n");
        return 2;
    }
    cfg.bootText = bootText;
    cfg.byte23 = static_cast<uint8_t>(byte23);
    if (invalidBlock == "byte23") {
        cfg.byte23 = 0x20;
    } else if (invalidBlock == "signature") {
        cfg.bootText = "f052bl-4.02";
    } else if (invalidBlock == "upper-case") {
        cfg.bootText = "F051bl-4.02";
    }
    if (!sim::ParseVersion(version, cfg.appMajor, cfg.appMinor)) {
        std::fprintf(stderr, "esc-sim: --version wants MAJOR.MINOR, e.g. 4.03\n");
        return 2;
    }
    cfg.variant = static_cast<uint8_t>(variant);
    cfg.idText = idText;
    cfg.badInfoCrc = badInfoCrc;
    for (const auto& text : faults) {
        std::string error;
        const auto f = sim::ParseFault(text, error);
        if (!f) {
            std::fprintf(stderr, "esc-sim: --fault %s: %s\n", text.c_str(), error.c_str());
            return 2;
        }
        cfg.faults.push_back(*f);
    }
    cfg.present = !noEsc;
    cfg.powerOnAtNs = ns(powerOnDelayMs);
    cfg.echoWhenUnpowered = !noEchoUnpowered;
    cfg.powerCutAfterPage = powerCutAfterPage;
    cfg.powerCutNs = ns(powerCutMs);

    std::vector<uint8_t> image;
    if (!flashImage.empty()) {
        std::ifstream in(flashImage, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        // Pages 0 to 25 are the application, 26 the setup page.
        if (image.size() > 27 * sim::kFlashPage) {
            image.resize(27 * sim::kFlashPage);
        }
    }

    escsim::BlockStopSignals(g_stop);
    escsim::CLineServer server;
    std::string error;
    const bool opened =
        device.empty() ? server.OpenPty(error) : server.OpenDevice(device, cfg.wire, error);
    if (!opened) {
        std::fprintf(stderr, "esc-sim: %s\n", error.c_str());
        return 1;
    }

    sim::CRealtimeEsc esc(cfg);
    esc.WithEsc([&](sim::CSimEsc& e) {
        if (!image.empty()) {
            e.LoadFlash(sim::kAppAddress, image);
        }
        if (verbose) {
            e.SetLogSink([](const std::string& line) {
                std::fprintf(stderr, "%s\n", line.c_str());
                std::fflush(stderr);
            });
        }
        return 0;
    });

    std::printf("%s\n", server.Path().c_str());
    std::fflush(stdout);
    if (verbose) {
        std::fprintf(stderr, "esc-sim: serving on %s, %u baud, byte time %.1f us\n",
                     server.Path().c_str(), baud, static_cast<double>(cfg.wire.ByteTimeNs()) / 1e3);
    }
    const int rc = server.Serve(esc, g_stop);
    if (verbose) {
        std::fprintf(stderr, "esc-sim: %s\n", g_stop != 0 ? "stopped" : "peer closed");
    }
    return rc;
}
