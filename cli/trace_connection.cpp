#include "cli/trace_connection.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace quorvel::cli {

CTraceConnection::CTraceConnection(ISerialConnection& inner, std::filesystem::path file)
    : inner_(inner), path_(std::move(file)), epoch_(std::chrono::steady_clock::now()) {}

CTraceConnection::~CTraceConnection() {
    if (file_ != nullptr)
        std::fclose(file_);
}

bool CTraceConnection::Open(const std::string& portName, const SLineSettings& line) {
    {
        std::lock_guard lock(mutex_);
        if (file_ == nullptr && problem_.empty()) {
            // Named as the command line gave it (narrow characters on every platform).
            file_ = std::fopen(path_.string().c_str(), "w");
            if (file_ == nullptr)
                problem_ =
                    "Can't write the trace file " + path_.string() + ": " + std::strerror(errno);
        }
        epoch_ = std::chrono::steady_clock::now();
    }
    const bool opened = inner_.Open(portName, line);
    std::string parity = "NOEMS";
    Remark("open " + portName + " " + std::to_string(line.baud) + " baud " +
           std::to_string(line.byteSize) +
           (line.parity < parity.size() ? parity.substr(line.parity, 1) : "?") + " stop-code " +
           std::to_string(line.stopBits) + (opened ? "" : " failed"));
    return opened;
}

std::size_t CTraceConnection::ReadComm(std::span<uint8_t> buf) {
    const std::size_t n = inner_.ReadComm(buf);
    if (n > 0)
        Line("RX", buf.first(n), n);
    return n;
}

std::size_t CTraceConnection::WriteComm(std::span<const uint8_t> bytes) {
    const std::size_t n = inner_.WriteComm(bytes);
    Line("TX", bytes, n);
    return n;
}

void CTraceConnection::ClosePort() {
    inner_.ClosePort();
    Remark("close");
}

void CTraceConnection::Remark(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr)
        return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - epoch_)
            .count();
    std::fprintf(file_, "%10.3f -- %s\n", ms, text.c_str());
    std::fflush(file_);
}

void CTraceConnection::Line(const char* direction, std::span<const uint8_t> bytes,
                            std::size_t done) {
    std::lock_guard lock(mutex_);
    if (file_ == nullptr)
        return;
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - epoch_)
            .count();
    std::fprintf(file_, "%10.3f %s %zu ", ms, direction, bytes.size());
    for (const uint8_t b : bytes)
        std::fprintf(file_, " %02X", b);
    // A write that did not leave the port is still worth seeing, marked as such.
    if (done != bytes.size())
        std::fprintf(file_, "  (failed, %zu written)", done);
    std::fputc('\n', file_);
    // Flushed per line: when the run dies, the log must hold what went before.
    std::fflush(file_);
}

}  // namespace quorvel::cli
