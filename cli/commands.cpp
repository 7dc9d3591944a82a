#include "cli/commands.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include "cli/cli_host.h"
#include "cli/exit_codes.h"
#include "cli/platform.h"
#include "cli/trace_connection.h"
#include "esc/device_info.h"
#include "link/engine/texts.h"
#include "serial/connect.h"
#include "serial/event_loop.h"
#include "serial/port_list.h"
#include "serial/sim/sim_connection.h"
#include "storage/image_files.h"
#include "storage/info_file.h"

namespace quorvel::cli {

namespace {

using Clock = CEventLoop::Clock;

Clock::time_point After(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string SecondsText(double seconds) {
    std::ostringstream s;
    s << seconds << " s";
    return s.str();
}

constexpr const char* kSimLine = "the simulated line";

// One connection to one ESC: the event loop, the host, the engine and the port.
class CSession {
  public:
    CSession(const SCliOptions& options, CConsole& console, const ConnectionFactory& factory)
        : o_(options),
          console_(console),
          factory_(factory),
          host_(loop_, console_),
          engine_(host_) {
        loop_.SetTimerHandler([this](unsigned id) { engine_.OnTimer(id); });
    }
    ~CSession() {
        if (connection_)
            connection_->ClosePort();
        loop_.SetTimerHandler(nullptr);
    }
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    CCliHost& Host() { return host_; }
    CLinkEngine& Engine() { return engine_; }
    CEventLoop& Loop() { return loop_; }
    const std::string& Where() const { return where_; }

    // Connect: open the port and start probing. kExitOk, or kExitNoPort with the
    // message shown.
    int Open() {
        SInfoFileRecord record = DefaultInfoRecord();
        record.port = o_.port.number;
        record.baud = o_.line.baud;
        record.byteSize = o_.line.byteSize;
        record.parity = o_.line.parity;
        record.stopBits = o_.line.stopBits;

        const CommNotifyHandler notify = [this](uint32_t mask, uint32_t count) {
            engine_.OnCommNotify(mask, count);
        };
        if (factory_) {
            device_ = factory_(loop_, notify, host_, o_);
            where_ = o_.port.sim ? kSimLine : "COM" + std::to_string(record.port);
        } else if (o_.port.sim) {
            device_ = std::make_unique<CSimConnection>(loop_, notify, o_.simConfig, &host_);
            where_ = kSimLine;
        } else {
            SPortConnection port = MakePortConnection(loop_, notify, host_, o_.port);
            device_ = std::move(port.connection);
            record.port = port.number;
            where_ = std::move(port.where);
        }
        ISerialConnection* connection = device_.get();
        if (!o_.traceFile.empty()) {
            trace_ = std::make_unique<CTraceConnection>(*device_, o_.traceFile);
            connection = trace_.get();
        }
        connection_ = connection;
        host_.SetConnection(connection);

        std::string m_strPortName;
        const SConnectOutcome outcome = ConnectPort(*connection, record, 0, m_strPortName);
        if (trace_ && !trace_->Good())
            console_.Message(trace_->Problem());
        if (!outcome.opened) {
            console_.Message(outcome.message);
            return kExitNoPort;
        }
        console_.Note(o_.port.sim ? "Waiting for the ESC on " + where_ + " ..."
                                  : "Waiting for the ESC on " + where_ +
                                        ": power it now (connect its battery) ...");
        engine_.StartProbing();
        return kExitOk;
    }

    // Runs the link until the n-th information block has been read, or the time is up.
    bool WaitForConnected(int count, double seconds) {
        return loop_.RunUntil(
            [this, count] { return host_.ConnectedCount() >= count && host_.Connected(); },
            After(seconds));
    }

    // Runs a started transfer to its end; false when it never ended in time.
    bool WaitForTransferEnd(double seconds) {
        return loop_.RunUntil([this] { return host_.Transfer() != TransferOutcome::kRunning; },
                              After(seconds));
    }

  private:
    const SCliOptions& o_;
    CConsole& console_;
    const ConnectionFactory& factory_;
    CEventLoop loop_;
    CCliHost host_;
    CLinkEngine engine_;
    std::unique_ptr<ISerialConnection> device_;
    std::unique_ptr<CTraceConnection> trace_;
    ISerialConnection* connection_ = nullptr;
    std::string where_;
};

// Opens the port and waits for the ESC; kExitOk once its information block is read.
int ConnectAndWait(CSession& session, const SCliOptions& o, CConsole& console) {
    if (const int code = session.Open(); code != kExitOk)
        return code;
    if (!session.WaitForConnected(1, o.timeoutSeconds)) {
        console.Message("No ESC answered on " + session.Where() + " within " +
                        SecondsText(o.timeoutSeconds) + ".");
        return kExitNoEsc;
    }
    return kExitOk;
}

// The upper bound for one transfer: the sequencer's own limits end it long before at
// any usable baud rate; this only keeps a wedged port from hanging a bench for ever.
double TransferBoundSeconds(const SLineSettings& line) {
    const double byteSeconds = HalfBitsPerChar(line) / (2.0 * line.baud);
    return 60.0 + 40.0 * 2.0 * (kPageSize + 10) * byteSeconds;
}

// Start a transfer, run it, and read the ESC again. kExitOk when the ESC is back.
int Transfer(CSession& session, const SCliOptions& o, CConsole& console, bool setup) {
    CCliHost& host = session.Host();
    CLinkEngine& engine = session.Engine();
    const int connectedBefore = host.ConnectedCount();
    if (setup)
        engine.OnWriteSetup();
    else
        engine.OnUpdatingStart();
    if (host.Refused() || host.Transfer() == TransferOutcome::kNone)
        return kExitRefused;
    if (!session.WaitForTransferEnd(TransferBoundSeconds(o.line))) {
        console.Message("The transfer did not end in time.");
        return kExitTransferFailed;
    }
    if (host.Transfer() == TransferOutcome::kFailed)
        return kExitTransferFailed;
    console.Note("Reading the ESC again ...");
    if (!session.WaitForConnected(connectedBefore + 1, o.timeoutSeconds)) {
        console.Message("The ESC did not answer after the transfer within " +
                        SecondsText(o.timeoutSeconds) + ".");
        return kExitNoEsc;
    }
    return kExitOk;
}

void PrintReport(CSession& session, const SCliOptions& o, CConsole& console) {
    const SEscReport report = ReportOf(session.Engine(), session.Host().Vars());
    if (o.json)
        console.Out() << ReportJson(report).dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace)
                      << '\n';
    else
        console.Out() << FormatReport(report);
    console.Out().flush();
}

// The synthetic images of a build tree go to the simulated ESC, and to a real port only
// when the user asks for it; the engine refuses them otherwise.
void LoadImages(CSession& session, const SCliOptions& o) {
    session.Engine().SetImages(
        LoadImageSet(ImagesDir(o.imagesDir, ExecutableDir())),
        o.port.sim || o.allowTestImages ? SyntheticImages::kAccept : SyntheticImages::kRefuse);
}

int RunInfo(const SCliOptions& o, CConsole& console, const ConnectionFactory& factory) {
    CSession session(o, console, factory);
    if (const int code = ConnectAndWait(session, o, console); code != kExitOk)
        return code;
    PrintReport(session, o, console);
    return kExitOk;
}

int RunFlash(const SCliOptions& o, CConsole& console, const ConnectionFactory& factory) {
    CSession session(o, console, factory);
    LoadImages(session, o);
    if (const int code = ConnectAndWait(session, o, console); code != kExitOk)
        return code;
    if (!console.Quiet()) {
        const SEscReport before = ReportOf(session.Engine(), session.Host().Vars());
        const auto shown = [](const std::string& t) { return t.empty() ? "-" : t; };
        console.Note("ESC found: boot " + shown(before.bootVersion) + ", app " +
                     shown(before.appVersion));
    }
    if (const int code = Transfer(session, o, console, false); code != kExitOk)
        return code;
    PrintReport(session, o, console);
    return kExitOk;
}

int RunSetup(const SCliOptions& o, CConsole& console, const ConnectionFactory& factory) {
    CSession session(o, console, factory);
    LoadImages(session, o);
    if (const int code = ConnectAndWait(session, o, console); code != kExitOk)
        return code;

    // The window's radio groups now show what the ESC reports; the command changes
    // them as a user would, then presses Write Setup.
    if (o.setup.defaults)
        session.Engine().OnAllDefault();
    SDialogVars& vars = session.Host().Vars();
    for (std::size_t g = 0; g < kSetupGroups.size(); ++g) {
        if (o.setup.choice[g])
            vars.*(kSetupGroups[g].choice) = *o.setup.choice[g];
    }
    const SSetupChoices wanted = vars;
    if (const int code = Transfer(session, o, console, true); code != kExitOk)
        return code;
    PrintReport(session, o, console);

    int mismatches = 0;
    const SSetupChoices& got = session.Host().Vars();
    for (std::size_t g = 0; g < kSetupGroups.size(); ++g) {
        const int32_t asked = ChoiceOf(wanted, g);
        const int32_t read = ChoiceOf(got, g);
        if (asked == read)
            continue;
        ++mismatches;
        console.Message("Setup not taken: " + std::string(kSetupGroups[g].name) +
                        " reads back as " + std::string(ChoiceCaption(g, read)) + ", " +
                        std::string(ChoiceCaption(g, asked)) + " was written.");
    }
    return mismatches == 0 ? kExitOk : kExitVerifyFailed;
}

int RunPorts(const SCliOptions& o, CConsole& console) {
    struct CPrintSink : IMessageSink {
        CConsole& c;
        explicit CPrintSink(CConsole& console) : c(console) {}
        void ShowMessage(std::string_view text, MessageStyle) override { c.Message(text); }
    } sink(console);
    std::vector<SPortEntry> ports;
    try {
        ports = ListPorts(sink);
    } catch (const PortEnumError& e) {
        console.Message(e.what());
        return kExitNoPort;
    }

    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::ostringstream text;
    for (const SPortEntry& p : ports) {
        if (o.json) {
            list.push_back({{"name", p.name},
                            {"com", p.number},
                            {"port", "COM" + std::to_string(p.number)},
                            {"device", p.device}});
        } else {
            std::string com = "COM" + std::to_string(p.number);
            com.resize(std::max<std::size_t>(com.size(), 7), ' ');
            std::string device = p.device;
            device.resize(std::max<std::size_t>(device.size(), 22), ' ');
            text << com << device << p.name << '\n';
        }
    }
    if (o.json) {
        console.Out() << list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                      << '\n';
    } else if (ports.empty()) {
        console.Note("No serial port found.");
    } else {
        console.Out() << text.str();
    }
    console.Out().flush();
    return kExitOk;
}

}  // namespace

int32_t ChoiceOf(const SSetupChoices& c, std::size_t group) {
    return c.*(kSetupGroups[group].choice);
}

std::string_view ChoiceCaption(std::size_t group, int32_t index) {
    const SSetupGroup& g = kSetupGroups[group];
    if (index < 0 || index >= g.buttonCount)
        index = g.defaultIndex;
    return g.captions[static_cast<std::size_t>(index)];
}

SEscReport ReportOf(const CLinkEngine& engine, const SDialogVars& vars) {
    SEscReport r;
    r.escType = engine.State().g_escType;
    r.bootVersion = vars.m_strBootVersion;
    r.appVersion = vars.m_strAppVersion;
    r.appVariant = engine.State().g_appVariant;
    if (r.escType == kEscType3)
        r.setup = static_cast<const SSetupChoices&>(vars);
    return r;
}

std::string FormatReport(const SEscReport& report) {
    std::ostringstream s;
    const auto line = [&s](std::string_view label, const std::string& value) {
        std::string l = std::string(label) + ':';
        l.resize(std::max<std::size_t>(l.size() + 1, 14), ' ');
        s << l << (value.empty() ? "-" : value) << '\n';
    };
    line("ESC type", std::to_string(report.escType));
    line("Boot version", report.bootVersion);
    line("App version", report.appVersion);
    line("Variant", std::to_string(report.appVariant));
    if (report.setup) {
        for (std::size_t g = 0; g < kSetupGroups.size(); ++g)
            line(kSetupGroups[g].name, std::string(ChoiceCaption(g, ChoiceOf(*report.setup, g))));
    }
    return s.str();
}

nlohmann::ordered_json ReportJson(const SEscReport& report) {
    nlohmann::ordered_json j;
    j["escType"] = report.escType;
    j["bootVersion"] = report.bootVersion;
    j["appVersion"] = report.appVersion;
    j["appVariant"] = report.appVariant;
    if (report.setup) {
        nlohmann::ordered_json setup = nlohmann::ordered_json::object();
        for (std::size_t g = 0; g < kSetupGroups.size(); ++g) {
            setup[GroupOptionName(kSetupGroups[g])] =
                std::string(ChoiceCaption(g, ChoiceOf(*report.setup, g)));
        }
        j["setup"] = setup;
    }
    return j;
}

std::filesystem::path ImagesDir(const std::string& option, const std::filesystem::path& exeDir) {
    if (!option.empty())
        return option;
    // Named places are taken as they are: a wrong one must show in the refusal, not be
    // replaced by images from somewhere else.
    if (const char* env = std::getenv("QUORVEL_IMAGES"); env != nullptr && *env != '\0')
        return env;
    std::vector<std::filesystem::path> candidates;
    candidates.push_back(exeDir / "res");
    candidates.push_back(exeDir / ".." / "share" / "quorvel" / "res");
    for (const auto& dir : candidates) {
        std::error_code ec;
        if (std::filesystem::is_directory(dir, ec))
            return dir;
    }
    return candidates.front();
}

int RunCommand(const SCliOptions& options, CConsole& console,
               const ConnectionFactory& makeConnection) {
    switch (options.command) {
        case Command::kPorts:
            return RunPorts(options, console);
        case Command::kInfo:
            return RunInfo(options, console, makeConnection);
        case Command::kFlash:
            return RunFlash(options, console, makeConnection);
        case Command::kSetup:
            return RunSetup(options, console, makeConnection);
    }
    return kExitInternal;
}

int CliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    SParseResult parsed = ParseCommandLine(argc, argv, out, err);
    if (!parsed.options)
        return parsed.exitCode;
    const CTerminalSetup terminal(&err == &std::cerr);
    SConsoleStyle style;
    style.quiet = parsed.options->quiet;
    style.terminal = terminal.StderrIsTerminal();
    CConsole console(out, err, style);
    try {
        return RunCommand(*parsed.options, console);
    } catch (const std::exception& e) {
        console.Message(std::string("quorvel-cli: internal error: ") + e.what());
        return kExitInternal;
    }
}

}  // namespace quorvel::cli
