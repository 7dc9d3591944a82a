#pragma once
// Runs a program to its end, as a shell would, and keeps what it printed.

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace quorvel::cli::test {

struct SProcessResult {
    int exitCode = -1;  // -1: it did not exit by itself (killed after the time limit)
    std::string out;
    std::string err;
};

// args[0] is the program. env entries are added to (or replace) this process's
// environment. stdin is /dev/null. After `limit` the program is killed.
SProcessResult RunProcess(const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {},
                          std::chrono::seconds limit = std::chrono::seconds(120));

// A program started in the background with its stdout read line by line (esc-sim prints
// its pty path first).
class CBackgroundProcess {
  public:
    explicit CBackgroundProcess(const std::vector<std::string>& args);
    ~CBackgroundProcess();  // SIGTERM, then waits
    CBackgroundProcess(const CBackgroundProcess&) = delete;
    CBackgroundProcess& operator=(const CBackgroundProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // The next line of its stdout, without the newline; empty after the limit or at EOF.
    std::string ReadLine(std::chrono::milliseconds limit);

  private:
    int pid_ = -1;
    int outFd_ = -1;
    std::string pending_;
};

}  // namespace quorvel::cli::test
