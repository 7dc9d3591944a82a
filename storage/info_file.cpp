#include "storage/info_file.h"

#include <algorithm>
#include <fstream>

namespace quorvel {

namespace {

void PutLe32(uint8_t* at, int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    at[0] = static_cast<uint8_t>(u);
    at[1] = static_cast<uint8_t>(u >> 8);
    at[2] = static_cast<uint8_t>(u >> 16);
    at[3] = static_cast<uint8_t>(u >> 24);
}

int32_t GetLe32(const uint8_t* at) {
    const uint32_t u = static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                       (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
    return static_cast<int32_t>(u);
}

// The messages are UTF-8 like the rest of the program's texts, whatever the
// platform's narrow encoding of paths is.
std::string PathText(const std::filesystem::path& path) {
    const std::u8string u8 = path.u8string();
    return std::string(u8.begin(), u8.end());
}

// Read and update, never create or truncate: a missing, read-only or non-file path
// fails to open, which is exactly what the callers want to report.
constexpr std::ios::openmode kUpdateMode = std::ios::in | std::ios::out | std::ios::binary;
constexpr std::ios::openmode kCreateMode = std::ios::out | std::ios::trunc | std::ios::binary;

bool WriteRecord(std::fstream& file, const SInfoFileRecord& record) {
    const auto bytes = record.Encode();
    file.seekp(0);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();  // flushes; a full disk shows up here
    return !file.fail();
}

}  // namespace

std::array<uint8_t, kInfoRecordSize> SInfoFileRecord::Encode() const {
    std::array<uint8_t, kInfoRecordSize> out{};
    out[0] = family;
    out[1] = model;
    out[2] = reserved[0];
    out[3] = reserved[1];
    PutLe32(&out[4], port);
    PutLe32(&out[8], baud);
    PutLe32(&out[12], byteSize);
    PutLe32(&out[16], parity);
    PutLe32(&out[20], stopBits);
    return out;
}

SInfoFileRecord SInfoFileRecord::Decode(const uint8_t* bytes, std::size_t n) {
    std::array<uint8_t, kInfoRecordSize> in{};
    if (bytes != nullptr) {
        std::copy_n(bytes, std::min(n, kInfoRecordSize), in.begin());
    }
    SInfoFileRecord r;
    r.family = in[0];
    r.model = in[1];
    r.reserved = {in[2], in[3]};
    r.port = GetLe32(&in[4]);
    r.baud = GetLe32(&in[8]);
    r.byteSize = GetLe32(&in[12]);
    r.parity = GetLe32(&in[16]);
    r.stopBits = GetLe32(&in[20]);
    return r;
}

SInfoFileRecord DefaultInfoRecord() {
    SInfoFileRecord r;
    r.family = 0;
    r.model = 0;
    r.port = 1;
    r.baud = 19200;
    r.byteSize = 8;
    r.parity = 0;
    r.stopBits = 1;  // the platform's code for one and a half stop bits, kept as it always was
    return r;
}

std::filesystem::path InfoFilePath(const std::filesystem::path& startDir) {
    return startDir / "res" / "orlinqsv.dtt";
}

std::string InfoOpenErrorText(const std::string& path) {
    return "Information file" + path +
           "\nOpening error,this file not exist,program will auto close!\n"
           "Please open this application again!";
}

std::string InfoCreateErrorText(const std::string& path) {
    return "Information file" + path +
           "\nCreating error，program will auto close!\nPlease open this application again!";
}

std::string InfoRewriteErrorText(const std::string& path) {
    return "Information file" + path + "\nOpening error，Please check this file!";
}

int ReadInfoFile(IMessageSink& owner, const std::filesystem::path& path,
                 SInfoFileRecord& g_infoFile) {
    g_infoFile = SInfoFileRecord{};
    std::fstream file(path, kUpdateMode);
    if (!file.is_open()) {
        owner.ShowMessage(InfoOpenErrorText(PathText(path)), MessageStyle::kPrompt);
        return -1;
    }
    std::array<uint8_t, kInfoRecordSize> bytes{};
    file.seekg(0);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    // A short file is not an error: what did not arrive stays 0.
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(file.gcount(), 0));
    g_infoFile = SInfoFileRecord::Decode(bytes.data(), got);
    return 0;
}

int CreateInfoFile(IMessageSink& owner, const std::filesystem::path& path,
                   SInfoFileRecord& g_infoFile) {
    g_infoFile = DefaultInfoRecord();
    std::fstream file(path, kCreateMode);
    if (!file.is_open() || !WriteRecord(file, g_infoFile)) {
        owner.ShowMessage(InfoCreateErrorText(PathText(path)), MessageStyle::kPrompt);
        return -1;
    }
    return 0;
}

int WriteInfoFile(IMessageSink& owner, const std::filesystem::path& path,
                  const SInfoFileRecord& g_infoFile) {
    std::fstream file(path, kUpdateMode);
    if (!file.is_open() || !WriteRecord(file, g_infoFile)) {
        owner.ShowMessage(InfoRewriteErrorText(PathText(path)), MessageStyle::kPrompt);
        return -1;
    }
    return 0;
}

SAppliedInfo ApplyInfoFile(const SInfoFileRecord& g_infoFile) {
    SAppliedInfo applied;
    applied.m_nFamily = g_infoFile.family;
    applied.m_nModel = g_infoFile.model;
    applied.m_nFlowMode = 0;  // the linker has no handshake lines
    return applied;
}

}  // namespace quorvel
