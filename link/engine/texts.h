#pragma once
// Texts the link shows, exactly as the program has always shown them (UTF-8 here;
// a front end converts them for its platform).

namespace quorvel::texts {

// Status line.
inline constexpr const char* kConnectedNormal = " Connected to the ESC is normal";
inline constexpr const char* kReadingInfoRetry = " Reading device information, please wait\u2026";
inline constexpr const char* kReadingInfo = "Reading device information, please wait\u2026";

// Transfer start refusals.
inline constexpr const char* kNotConnected =
    "Communication failed,please check if the ESC was connected to the battery!";
inline constexpr const char* kBusy = "ESC is busy, please try again later!";
inline constexpr const char* kNoFirmware =
    "\u201cNO effective firmware detected, Cannot perform this operation\uff01";
inline constexpr const char* kBootUnsupported =
    "This BOOT version does not support upgrade right now! Can't update the ESC!";
inline constexpr const char* kBootUnsupportedSetup =
    "This BOOT version does not support upgrade right now! Can't update the ESC for setup!";
inline constexpr const char* kAppTooOld =
    "This firmware app version too old, it does not support upgrade right now! Can't update "
    "the ESC for setup!";
// Ours: an image that is missing, unreadable or too short is never sent.
inline constexpr const char* kImageUnusablePrefix = "Firmware image not usable: ";
inline constexpr const char* kImageUnusableSuffix = "\nCan't update the ESC!";
inline constexpr const char* kSyntheticImage = " is synthetic test data, not firmware";

// Progress label.
inline constexpr const char* kUpdatingNow = "  Updating now \u2026";
inline constexpr const char* kProgramDone = "ESC program updating done!";
inline constexpr const char* kSetupDone = "ESC setup updating done!";
inline constexpr const char* kUpdatingError = "Updating Error!";

// Transfer failures.
inline constexpr const char* kFailRomData =
    "Failed to write the Rom data ,communication error, please try again!";
inline constexpr const char* kFailRomProgram = "ROM update command error,please try again!";
inline constexpr const char* kFailEepData =
    "Failed to write EEp data,communication error,please try again!";
inline constexpr const char* kFailEepProgram = " EEP update command error, please try again!";
// Ours: the transfer's set-address never acknowledged.
inline constexpr const char* kFailSetAddress =
    "The ESC does not answer the update address, communication error, please try again!";

}  // namespace quorvel::texts
