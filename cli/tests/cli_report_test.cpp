#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "cli/commands.h"

namespace quorvel::cli {
namespace {

// Set to an empty text, the variable is gone on Windows and empty elsewhere: ImagesDir
// takes both as not set.
void SetImagesVariable(const std::string& value) {
#ifdef _WIN32
    ::_putenv_s("QUORVEL_IMAGES", value.c_str());
#else
    ::setenv("QUORVEL_IMAGES", value.c_str(), 1);
#endif
}

SEscReport Type3() {
    SEscReport r;
    r.escType = 3;
    r.bootVersion = "f051boot4v2";
    r.appVersion = "DR19V4.03";
    r.appVariant = 1;
    SSetupChoices c;
    c.m_nMode = 1;       // 3D Slow
    c.m_nPwm = 0;        // 12K
    c.m_nTiming = 2;     // High
    c.m_nSignal = 1;     // Common
    c.m_nBrake = 1;      // 50%
    c.m_nDirection = 1;  // Reverse
    r.setup = c;
    return r;
}

TEST(CliReport, TextShowsEveryFieldAndTheCaptionsOfTheChoices) {
    EXPECT_EQ(FormatReport(Type3()),
              "ESC type:     3\n"
              "Boot version: f051boot4v2\n"
              "App version:  DR19V4.03\n"
              "Variant:      1\n"
              "Mode:         3D Slow\n"
              "PWM:          12K\n"
              "Timing:       High\n"
              "Signal:       Common\n"
              "Brake:        50%\n"
              "Direction:    Reverse\n");
}

TEST(CliReport, OtherBootTypesHaveNoSetupAndShowEmptyTextsAsDashes) {
    SEscReport r;
    r.escType = 1;
    r.bootVersion = "f051boot2";
    r.appVariant = 255;
    EXPECT_EQ(FormatReport(r),
              "ESC type:     1\n"
              "Boot version: f051boot2\n"
              "App version:  -\n"
              "Variant:      255\n");
    const auto j = ReportJson(r);
    EXPECT_FALSE(j.contains("setup"));
    EXPECT_EQ(j["appVersion"], "");
    EXPECT_EQ(j["appVariant"], 255);
}

TEST(CliReport, JsonHasExactlyTheAgreedKeysInOrder) {
    const auto j = ReportJson(Type3());
    EXPECT_EQ(j.dump(), R"({"escType":3,"bootVersion":"f051boot4v2","appVersion":"DR19V4.03",)"
                        R"("appVariant":1,"setup":{"mode":"3D Slow","pwm":"12K","timing":"High",)"
                        R"("signal":"Common","brake":"50%","direction":"Reverse"}})");
}

TEST(CliReport, OutOfRangeIndicesShowTheGroupDefault) {
    // The engine never stores such an index, but a caption lookup must not run off the
    // table: every group falls back to its default button.
    EXPECT_EQ(ChoiceCaption(0, 7), "Single");
    EXPECT_EQ(ChoiceCaption(1, -1), "32K");
    EXPECT_EQ(ChoiceCaption(5, 2), "Default");
    EXPECT_EQ(ChoiceCaption(4, 2), "100%");
}

TEST(CliReport, ImagesDirPrefersTheOptionThenTheEnvironmentThenBesideTheProgram) {
    const std::filesystem::path tmp =
        std::filesystem::temp_directory_path() / ("quorvel-cli-images-" + std::to_string(getpid()));
    std::filesystem::remove_all(tmp);
    std::filesystem::create_directories(tmp / "bin");
    SetImagesVariable("");
    // Nothing exists: the first candidate, so that the refusal names a place.
    EXPECT_EQ(ImagesDir("", tmp / "bin"), tmp / "bin" / "res");
    std::filesystem::create_directories(tmp / "share" / "quorvel" / "res");
    EXPECT_EQ(ImagesDir("", tmp / "bin"), tmp / "bin" / ".." / "share" / "quorvel" / "res");
    std::filesystem::create_directories(tmp / "bin" / "res");
    EXPECT_EQ(ImagesDir("", tmp / "bin"), tmp / "bin" / "res");
    SetImagesVariable((tmp / "env").string());
    EXPECT_EQ(ImagesDir("", tmp / "bin"), tmp / "env");  // named, though missing
    EXPECT_EQ(ImagesDir("/given", tmp / "bin"), "/given");
    SetImagesVariable("");
    std::filesystem::remove_all(tmp);
}

}  // namespace
}  // namespace quorvel::cli
