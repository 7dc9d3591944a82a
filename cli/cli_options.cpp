#include "cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <ostream>

#include "cli/exit_codes.h"
#include "sim/fault_spec.h"
#include "storage/info_file.h"

namespace quorvel::cli {

namespace {

std::string Lower(std::string_view text) {
    std::string s(text);
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

template <typename T>
std::optional<T> ParseNumber(std::string_view text, int base = 10) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc{} || ptr != end)
        return std::nullopt;
    return value;
}

std::string ChoiceNames(const SSetupGroup& group) {
    std::string names;
    for (std::size_t i = 0; i < group.buttonCount; ++i) {
        if (!names.empty())
            names += '|';
        names += ChoiceValueName(group.captions[i]);
    }
    return names;
}

std::string_view PortForms() {
    return NativePortSyntax() == PortSyntax::kComOnly ? "COMn or n" : "COMn, n or a device path";
}

std::string_view PortFormsHelp() {
    return NativePortSyntax() == PortSyntax::kComOnly
               ? "COMn or a number n"
               : "COMn, a number n, or a device path such as /dev/ttyUSB0";
}

// The raw texts of the options; turned into SCliOptions once CLI11 has accepted them.
struct SRawOptions {
    std::string port;
    bool sim = false;
    int32_t baud = 0;
    int dataBits = 0;
    std::string parity;
    std::string stopBits;
    double timeout = 30.0;
    std::string trace;
    std::string images;
    bool quiet = false;
    bool json = false;
    bool allowTestImages = false;
    bool defaults = false;
    std::array<std::string, 6> choice;

    bool simAbsent = false;
    int simBootType = 0;
    std::string simBootText;
    std::string simIdText;
    int simVariant = -1;
    std::string simVersion;
    std::vector<std::string> simFaults;
    bool simBadInfoCrc = false;
    uint32_t simPowerCutAfter = 0;
    double simPowerOnAfter = -1;
    // Which --sim-* options were given, to refuse them without --sim.
    std::vector<CLI::Option*> simOptions;
};

// The options of every command that talks to an ESC. They are added to the main command
// and to each subcommand, so that they may stand on either side of the command name.
void AddLinkOptions(CLI::App& app, SRawOptions& raw) {
    app.add_option("--port,-p", raw.port, "Serial port: " + std::string(PortFormsHelp()))
        ->type_name("PORT");
    app.add_flag("--sim", raw.sim, "Use the simulated ESC in this process instead of a port");
    app.add_option("--baud", raw.baud, "Baud rate (default 19200)")->check(CLI::Range(50, 4000000));
    app.add_option("--data-bits", raw.dataBits, "Data bits, 5 to 8 (default 8)")
        ->check(CLI::Range(5, 8));
    app.add_option("--parity", raw.parity, "none|odd|even|mark|space (default none)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}, CLI::ignore_case));
    app.add_option("--stop-bits", raw.stopBits,
                   "1|1.5|2 (default 1.5, stop-bits code 1; a POSIX port sends 2)")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--timeout", raw.timeout, "Seconds to wait for the ESC to answer (default 30)")
        ->check(CLI::PositiveNumber)
        ->type_name("SECONDS");
    app.add_option("--trace", raw.trace,
                   "Write every byte sent and received, with times, in hex to FILE")
        ->type_name("FILE");
    app.add_option("--images", raw.images,
                   "Folder of image25.bin and image101.bin (default: $QUORVEL_IMAGES, else "
                   "res/ beside the program, else ../share/quorvel/res)")
        ->type_name("DIR");
    app.add_flag("--quiet,-q", raw.quiet, "Print only results and errors");
    app.add_flag("--allow-test-images", raw.allowTestImages,
                 "Send the synthetic test images to a port (for esc-sim; never to a real ESC)");

    const auto sim = [&](CLI::Option* o) {
        o->group("Simulated ESC (with --sim)");
        raw.simOptions.push_back(o);
    };
    sim(app.add_flag("--sim-absent", raw.simAbsent, "No ESC is powered on the line"));
    sim(app.add_option("--sim-power-on-after", raw.simPowerOnAfter,
                       "The ESC is powered this many seconds after the start")
            ->check(CLI::NonNegativeNumber));
    sim(app.add_option("--sim-boot-type", raw.simBootType,
                       "Boot type 1, 2 or 3 (only 3 can be updated; default 3)")
            ->check(CLI::Range(1, 3)));
    sim(app.add_option("--sim-boot-text", raw.simBootText,
                       "Boot version text, at most 15 characters")
            ->check(CLI::Validator(
                [](std::string& t) {
                    return t.size() <= 15 ? std::string{} : "at most 15 characters";
                },
                ""))
            ->type_name("TEXT"));
    sim(app.add_option("--sim-id-text", raw.simIdText,
                       "Identification the boot loader answers (default CPU-F0510)"));
    sim(app.add_option("--sim-variant", raw.simVariant,
                       "Variant byte of the information block (default 1)")
            ->check(CLI::Range(0, 255)));
    sim(app.add_option("--sim-version", raw.simVersion,
                       "Application version reported, MAJOR.MINOR (default 4.03)")
            ->check(CLI::Validator(
                [](std::string& t) {
                    uint8_t major = 0;
                    uint8_t minor = 0;
                    return sim::ParseVersion(t, major, minor) ? std::string{}
                                                              : "not a version such as 4.03";
                },
                ""))
            ->type_name("MAJOR.MINOR"));
    sim(app.add_option("--sim-fault", raw.simFaults,
                       "A fault of one kind of reply, as esc-sim takes it (repeatable); "
                       "e.g. program:missing@3, keep-alive:late=150, set-buffer:wrong=0x31, "
                       "read-information:noise=55,AA")
            ->check(CLI::Validator(
                [](std::string& t) {
                    std::string error;
                    return sim::ParseFault(t, error) ? std::string{} : error;
                },
                ""))
            ->type_name("KIND:ACTION[=ARG][@N[+R]]"));
    sim(app.add_flag("--sim-bad-info-crc", raw.simBadInfoCrc,
                     "The information block's CRC does not match"));
    sim(app.add_option("--sim-power-cut-after", raw.simPowerCutAfter,
                       "Power fails once after the N-th page programmed")
            ->check(CLI::Range(1u, 1000000u)));
}

std::string SetupDescription(const SSetupGroup& g) {
    return g.name == std::string_view("Mode") ? std::string("Motor mode") : std::string(g.name);
}

void AddSetupOptions(CLI::App& app, SRawOptions& raw) {
    for (std::size_t i = 0; i < kSetupGroups.size(); ++i) {
        const SSetupGroup& g = kSetupGroups[i];
        const std::string names = ChoiceNames(g);
        app.add_option("--" + GroupOptionName(g), raw.choice[i], SetupDescription(g))
            ->check(CLI::Validator(
                [&g, names](std::string& t) {
                    return ParseChoice(g, t) ? std::string{} : "must be one of " + names;
                },
                "", "choice"))
            ->type_name(names);
    }
    app.add_flag("--defaults", raw.defaults,
                 "Start from All default (Single, 32K, Auto, Auto, 100%, Default) instead of "
                 "what the ESC reports");
}

// After CLI11: what no single option can check.
std::string Finish(const SRawOptions& raw, Command command, SCliOptions& o) {
    o.command = command;
    o.quiet = raw.quiet;
    o.json = raw.json;
    o.traceFile = raw.trace;
    o.imagesDir = raw.images;
    o.allowTestImages = raw.allowTestImages;
    if (command == Command::kPorts)
        return {};

    if (raw.sim && !raw.port.empty())
        return "--port and --sim exclude each other: choose one";
    if (!raw.sim && raw.port.empty())
        return "no port: give --port (" + std::string(PortForms()) + ") or --sim";
    if (!raw.sim) {
        for (const CLI::Option* opt : raw.simOptions) {
            if (opt->count() > 0)
                return opt->get_name() + " needs --sim";
        }
    }
    if (raw.sim) {
        o.port.sim = true;
        o.port.number = DefaultInfoRecord().port;
    } else {
        SPortParse p = ParsePortArgument(raw.port, NativePortSyntax());
        if (!p.port)
            return "--port: " + p.error;
        o.port = *p.port;
    }

    o.line = LineSettingsFrom(DefaultInfoRecord());
    if (raw.baud != 0)
        o.line.baud = raw.baud;
    if (raw.dataBits != 0)
        o.line.byteSize = static_cast<uint8_t>(raw.dataBits);
    if (!raw.parity.empty()) {
        static const std::array<std::string_view, 5> kParity{"none", "odd", "even", "mark",
                                                             "space"};
        const auto it = std::find(kParity.begin(), kParity.end(), Lower(raw.parity));
        o.line.parity = static_cast<uint8_t>(it - kParity.begin());
    }
    if (!raw.stopBits.empty())
        o.line.stopBits = raw.stopBits == "1" ? 0 : raw.stopBits == "1.5" ? 1 : 2;
    o.timeoutSeconds = raw.timeout;

    for (std::size_t i = 0; i < kSetupGroups.size(); ++i) {
        if (!raw.choice[i].empty())
            o.setup.choice[i] = ParseChoice(kSetupGroups[i], raw.choice[i]);
    }
    o.setup.defaults = raw.defaults;

    // The simulated ESC talks at the line's own settings.
    sim::SSimConfig& c = o.simConfig;
    c.wire.baud = static_cast<uint32_t>(o.line.baud);
    c.wire.dataBits = o.line.byteSize;
    c.wire.parity = o.line.parity != 0;
    c.wire.stopHalfBits =
        static_cast<uint8_t>(HalfBitsPerChar(o.line) - 2 * (1 + o.line.byteSize + c.wire.parity));
    c.present = !raw.simAbsent || raw.simPowerOnAfter >= 0;
    if (raw.simPowerOnAfter >= 0)
        c.powerOnAtNs = static_cast<uint64_t>(raw.simPowerOnAfter * 1e9);
    if (raw.simBootType != 0)
        c.bootType = raw.simBootType;
    c.bootText = raw.simBootText;
    if (!raw.simIdText.empty())
        c.idText = raw.simIdText;
    if (raw.simVariant >= 0)
        c.variant = static_cast<uint8_t>(raw.simVariant);
    if (!raw.simVersion.empty())
        sim::ParseVersion(raw.simVersion, c.appMajor, c.appMinor);
    for (const std::string& spec : raw.simFaults) {
        std::string error;
        c.faults.push_back(*sim::ParseFault(spec, error));
    }
    c.badInfoCrc = raw.simBadInfoCrc;
    c.powerCutAfterPage = raw.simPowerCutAfter;
    return {};
}

}  // namespace

std::string GroupOptionName(const SSetupGroup& group) {
    return Lower(group.name);
}

std::string ChoiceValueName(std::string_view caption) {
    std::string name = Lower(caption);
    std::replace(name.begin(), name.end(), ' ', '-');
    // "12K", "50%": the number alone is what a user types.
    if (name.size() > 1 && (name.back() == 'k' || name.back() == '%') &&
        std::isdigit(static_cast<unsigned char>(name[name.size() - 2])))
        name.pop_back();
    return name;
}

std::optional<int32_t> ParseChoice(const SSetupGroup& group, std::string_view text) {
    const std::string wanted = Lower(text);
    for (uint8_t i = 0; i < group.buttonCount; ++i) {
        if (wanted == ChoiceValueName(group.captions[i]) || wanted == Lower(group.captions[i]))
            return i;
    }
    return std::nullopt;
}

SPortParse ParsePortArgument(std::string_view text, PortSyntax syntax) {
    SPortParse r;
    if (text.empty()) {
        r.error = "empty port";
        return r;
    }
    std::string_view digits = text;
    if (text.size() > 3 && Lower(text.substr(0, 3)) == "com")
        digits = text.substr(3);
    const bool numeric = std::all_of(digits.begin(), digits.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (numeric) {
        const auto n = ParseNumber<int32_t>(digits);
        if (!n || *n < 1 || *n > 99) {
            r.error = "'" + std::string(text) + "' is not a port from COM1 to COM99";
            return r;
        }
        r.port = SPortChoice{false, *n, {}};
        return r;
    }
    if (syntax == PortSyntax::kComOnly) {
        r.error = "'" + std::string(text) + "' is not a COM port: give COMn or n (1 to 99)";
        return r;
    }
    if (text.find('/') == std::string_view::npos) {
        r.error = "'" + std::string(text) + "' is neither COMn, a number nor a device path";
        return r;
    }
    r.port = SPortChoice{false, 0, std::string(text)};
    return r;
}

SParseResult ParseCommandLine(int argc, const char* const* argv, std::ostream& out,
                              std::ostream& err) {
    SRawOptions raw;
    CLI::App app{
        "quorvel-cli: updates the firmware of ESCs and writes their setup through a "
        "USB linker.",
        "quorvel-cli"};
    app.footer(std::string("\n") + kExitCodeHelp);
    app.require_subcommand(1);
    app.option_defaults()->always_capture_default(false);

    CLI::App* ports = app.add_subcommand("ports",
                                         "List the serial ports: name, COM number, "
                                         "device");
    ports->add_flag("--json", raw.json, "Print a JSON array");
    ports->add_flag("--quiet,-q", raw.quiet, "Print only results and errors");

    CLI::App* info = app.add_subcommand(
        "info", "Wait for the ESC and print its type, versions, variant and setup");
    info->add_flag("--json", raw.json, "Print one JSON object");

    CLI::App* flash =
        app.add_subcommand("flash", "Update the firmware with the image the ESC's variant selects");

    CLI::App* setup =
        app.add_subcommand("setup", "Write the setup; choices not given keep what the ESC reports");
    AddSetupOptions(*setup, raw);
    for (CLI::App* sub : {flash, setup})
        sub->add_flag("--json", raw.json, "Print what the ESC reports afterwards as JSON");

    // The link options belong to the main command too, so that "quorvel-cli --sim info"
    // reads as well as "quorvel-cli info --sim". Their --sim-* lists are kept per command.
    AddLinkOptions(app, raw);
    for (CLI::App* sub : {info, flash, setup}) {
        AddLinkOptions(*sub, raw);
        sub->footer(std::string("\n") + kExitCodeHelp);
    }
    ports->footer(std::string("\n") + kExitCodeHelp);

    // Words the main command does not know are kept, so that a misspelt command can be
    // named as such instead of as a missing one.
    app.allow_extras(true);

    SParseResult result;
    const auto usage = [&](const std::string& problem) {
        err << "quorvel-cli: " << problem << "\nRun with --help for more information.\n";
        result.exitCode = kExitUsage;
        return result;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            app.exit(e, out, err);
            result.exitCode = kExitOk;
            return result;
        }
        if (app.get_subcommands().empty() && !app.remaining().empty())
            return usage("unknown command '" + app.remaining().front() +
                         "': one of ports, info, flash, setup");
        return usage(e.what());
    }
    if (!app.remaining().empty()) {
        std::string extras;
        for (const std::string& word : app.remaining())
            extras += " " + word;
        return usage("The following arguments were not expected:" + extras);
    }

    Command command = Command::kInfo;
    if (ports->parsed())
        command = Command::kPorts;
    else if (flash->parsed())
        command = Command::kFlash;
    else if (setup->parsed())
        command = Command::kSetup;

    SCliOptions options;
    if (const std::string problem = Finish(raw, command, options); !problem.empty()) {
        err << "quorvel-cli: " << problem << "\nRun with --help for more information.\n";
        result.exitCode = kExitUsage;
        return result;
    }
    result.options = std::move(options);
    return result;
}

}  // namespace quorvel::cli
