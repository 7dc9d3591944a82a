#pragma once
// The commands of quorvel-cli, as a library: main() only hands them the command line,
// and tests can run them in this process too.

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/cli_options.h"
#include "cli/console.h"
#include "esc/setup_block.h"
#include "link/engine/engine.h"
#include "serial/connection.h"
#include "storage/message_sink.h"

namespace quorvel::cli {

// What the ESC reported, as the window would show it.
struct SEscReport {
    int escType = 0;
    std::string bootVersion;
    std::string appVersion;
    int appVariant = 0;
    std::optional<SSetupChoices> setup;  // type 3 only
};
SEscReport ReportOf(const CLinkEngine& engine, const SDialogVars& vars);

// "ESC type:     3", one line per field, the setup choices by their button captions.
std::string FormatReport(const SEscReport& report);
// {"escType":3,"bootVersion":..,"appVersion":..,"appVariant":1,"setup":{"mode":"Single",..}}
nlohmann::ordered_json ReportJson(const SEscReport& report);

// The caption of the chosen button of group i (its default's for an index out of range).
std::string_view ChoiceCaption(std::size_t group, int32_t index);
int32_t ChoiceOf(const SSetupChoices& c, std::size_t group);

// Where the images are looked for: the option, else $QUORVEL_IMAGES (both taken as
// given), else res/ beside the program, else ../share/quorvel/res beside it, the first of
// these two that exists; when neither does, res/ beside the program (so that the
// refusal names a place).
std::filesystem::path ImagesDir(const std::string& option, const std::filesystem::path& exeDir);

// Makes the connection a command talks through. Left empty, --sim gives the in-process
// simulated ESC and --port a serial port; a test may put anything in between.
using ConnectionFactory = std::function<std::unique_ptr<ISerialConnection>(
    IEventThread& events, CommNotifyHandler onCommNotify, IMessageSink& owner,
    const SCliOptions& options)>;

// Runs one command; returns its exit code.
int RunCommand(const SCliOptions& options, CConsole& console,
               const ConnectionFactory& makeConnection = {});

// The whole program: parse, run, exit code.
int CliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace quorvel::cli
