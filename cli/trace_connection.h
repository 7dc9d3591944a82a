#pragma once
// A connection that writes down every byte that went over it, for the log a bench keeps
// when something fails: one line per write or read call, the time since the port was
// opened, the direction and the bytes in hex.
//
//     12.407 TX 6  FF 00 5A 5A 26 5A
//     12.988 RX 1  30
//
// The file is created only when the port is first opened, so a run that stops before
// (a usage error, say) leaves no trace file behind.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "serial/connection.h"

namespace quorvel::cli {

class CTraceConnection : public ISerialConnection {
  public:
    CTraceConnection(ISerialConnection& inner, std::filesystem::path file);
    ~CTraceConnection() override;
    CTraceConnection(const CTraceConnection&) = delete;
    CTraceConnection& operator=(const CTraceConnection&) = delete;

    bool Open(const std::string& portName, const SLineSettings& line) override;
    bool IsOpen() const override { return inner_.IsOpen(); }
    std::size_t ReadComm(std::span<uint8_t> buf) override;
    std::size_t WriteComm(std::span<const uint8_t> bytes) override;
    void ClosePort() override;

    // False when the file could not be created (the reason is in Problem()).
    bool Good() const { return problem_.empty(); }
    const std::string& Problem() const { return problem_; }

  private:
    void Line(const char* direction, std::span<const uint8_t> bytes, std::size_t asked);
    void Remark(const std::string& text);

    ISerialConnection& inner_;
    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    std::string problem_;
    std::chrono::steady_clock::time_point epoch_;
    std::mutex mutex_;
};

}  // namespace quorvel::cli
