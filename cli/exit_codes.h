#pragma once
// What quorvel-cli tells a script through its exit status. Each failure has its own
// code, so that a production bench can tell a missing adapter from a refusal or from an
// ESC that broke off half-way.

namespace quorvel::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitInternal = 1,  // a fault of our own; should never be seen
    kExitUsage = 2,     // bad command line; nothing was opened or sent
    kExitNoPort = 3,    // no port given, or it could not be opened
    kExitNoEsc = 4,     // no ESC answered within --timeout
    kExitRefused = 5,   // the ESC or the image does not allow the command
    kExitTransferFailed = 6,
    kExitVerifyFailed = 7,  // setup written, but the ESC reports other choices
};

// The table that --help and the README show.
inline constexpr const char* kExitCodeHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  internal error\n"
    "  2  usage error (bad or conflicting options); nothing was sent\n"
    "  3  no serial port, or the port could not be opened\n"
    "  4  no ESC answered within --timeout (also when it did not come back after a transfer)\n"
    "  5  refused: the ESC's boot or app version does not allow it, or the image is not "
    "usable\n"
    "  6  the transfer failed\n"
    "  7  setup written, but the ESC reads back other choices than were asked\n";

}  // namespace quorvel::cli
