#pragma once
// The information file: one 24-byte little-endian record with the family and model
// choice and the serial line settings, kept between runs.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "storage/message_sink.h"

namespace quorvel {

inline constexpr std::size_t kInfoRecordSize = 24;

struct SInfoFileRecord {
    uint8_t family = 0;
    uint8_t model = 0;
    std::array<uint8_t, 2> reserved{};
    int32_t port = 0;
    int32_t baud = 0;
    int32_t byteSize = 0;
    int32_t parity = 0;
    int32_t stopBits = 0;

    std::array<uint8_t, kInfoRecordSize> Encode() const;
    // Missing bytes (a short read) stay 0.
    static SInfoFileRecord Decode(const uint8_t* bytes, std::size_t n);
    bool operator==(const SInfoFileRecord&) const = default;
};

// family 0, model 0, port 1, 19200 baud, 8 data bits, parity 0, stop-bits code 1.
SInfoFileRecord DefaultInfoRecord();

// The relative location below the start-up directory.
inline constexpr const char* kInfoFileSuffix = "res/orlinqsv.dtt";
// The whole path, however long the current directory is.
std::filesystem::path InfoFilePath(const std::filesystem::path& startDir);

// The three message texts, with the path in place.
std::string InfoOpenErrorText(const std::string& path);
std::string InfoCreateErrorText(const std::string& path);
std::string InfoRewriteErrorText(const std::string& path);

// 0 when the file was opened and read (a short file leaves the rest 0), -1 when it
// could not be opened (the message has been shown). Always clears g_infoFile first.
int ReadInfoFile(IMessageSink& owner, const std::filesystem::path& path,
                 SInfoFileRecord& g_infoFile);
// Sets the defaults and writes them, creating or truncating the file: 0 or -1.
int CreateInfoFile(IMessageSink& owner, const std::filesystem::path& path,
                   SInfoFileRecord& g_infoFile);
// Writes the record over the first 24 bytes of an existing file: 0 or -1.
int WriteInfoFile(IMessageSink& owner, const std::filesystem::path& path,
                  const SInfoFileRecord& g_infoFile);

// What the window takes from the record once it has been read.
struct SAppliedInfo {
    int32_t m_nFamily = 0;
    int32_t m_nModel = 0;
    int32_t m_nFlowMode = 0;
};
SAppliedInfo ApplyInfoFile(const SInfoFileRecord& g_infoFile);

}  // namespace quorvel
