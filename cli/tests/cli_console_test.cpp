#include <gtest/gtest.h>

#include <sstream>

#include "cli/console.h"

namespace quorvel::cli {
namespace {

// A firmware update as the engine drives the progress: range, start, pages, done.
void DriveFirmwareProgress(CConsole& c) {
    c.ProgressRange(0, 29);
    c.ProgressPos(1);
    c.ProgressShown(true);
    c.ProgressLabel("  Updating now \u2026");
    for (int pos = 3; pos <= 28; ++pos)
        c.ProgressPos(pos);
    c.ProgressPos(29);
    c.ProgressLabel("ESC program updating done!");
    c.ProgressShown(false);
}

TEST(CliConsole, PlainOutputHasOneLinePerStepAndTheLabels) {
    std::ostringstream out;
    std::ostringstream err;
    CConsole c(out, err, {});
    DriveFirmwareProgress(c);
    const std::string text = err.str();
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find("\x1b"), std::string::npos);
    EXPECT_NE(text.find("Progress 1/29 (3%)\n"), std::string::npos);
    EXPECT_NE(text.find("Progress 28/29 (96%)\n"), std::string::npos);
    EXPECT_NE(text.find("Progress 29/29 (100%)\n"), std::string::npos);
    EXPECT_NE(text.find("Updating now \u2026\n"), std::string::npos);
    EXPECT_NE(text.find("ESC program updating done!\n"), std::string::npos);
    // The label first, then where the bar starts.
    EXPECT_NE(text.find("Updating now \u2026\nProgress 1/29 (3%)\n"), std::string::npos) << text;
    // 1, 3..28, 29: one line each.
    std::size_t lines = 0;
    for (std::size_t at = text.find("Progress "); at != std::string::npos;
         at = text.find("Progress ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 28u);
    EXPECT_TRUE(out.str().empty());
}

TEST(CliConsole, TerminalRedrawsOneBarInPlace) {
    std::ostringstream out;
    std::ostringstream err;
    CConsole c(out, err, {false, true});
    DriveFirmwareProgress(c);
    const std::string text = err.str();
    EXPECT_NE(text.find('\r'), std::string::npos);
    // The bar ends on one line: a single newline, after the done text at 100%.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    EXPECT_NE(text.find("] 100%  ESC program updating done!"), std::string::npos);
    EXPECT_NE(text.find("[" + std::string(30, '#') + "]"), std::string::npos);
}

TEST(CliConsole, MessagesBreakTheBarAndSurviveQuiet) {
    std::ostringstream out;
    std::ostringstream err;
    CConsole c(out, err, {true, true});
    c.Status(" Connected to the ESC is normal", 1);
    c.Note("Waiting");
    c.ProgressRange(0, 29);
    c.ProgressShown(true);
    c.ProgressPos(5);
    c.Message("ROM update command error,please try again!");
    c.ProgressLabel("Updating Error!");
    EXPECT_EQ(err.str(), "ROM update command error,please try again!\n");
}

TEST(CliConsole, StatusIsPrintedWhenItChangesWithoutItsLeadingBlank) {
    std::ostringstream out;
    std::ostringstream err;
    CConsole c(out, err, {});
    c.Status("Reading device information, please wait\u2026", 2);
    c.Status(" Connected to the ESC is normal", 1);
    c.Status(" Connected to the ESC is normal", 1);
    c.Status(" Reading device information, please wait\u2026", 2);
    EXPECT_EQ(err.str(),
              "Reading device information, please wait\u2026\n"
              "Connected to the ESC is normal\n"
              "Reading device information, please wait\u2026\n");
}

TEST(CliConsole, TerminalColoursTheStatus) {
    std::ostringstream out;
    std::ostringstream err;
    CConsole c(out, err, {false, true});
    c.Status(" Connected to the ESC is normal", 1);
    c.Status("Reading device information, please wait\u2026", 2);
    EXPECT_EQ(err.str(),
              "\x1b[32mConnected to the ESC is normal\x1b[0m\n"
              "\x1b[31mReading device information, please wait\u2026\x1b[0m\n");
}

}  // namespace
}  // namespace quorvel::cli
