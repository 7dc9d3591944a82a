#pragma once
// POSIX equipment for the serial tests: temporary folders, environment variables set for
// one test, and a pseudo-terminal pair whose far end the test drives itself.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "serial/tests/recording_sink.h"

namespace quorvel::testing {

class CTempDir {
  public:
    CTempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quorvel-XXXXXX").string();
        if (mkdtemp(tmpl.data()) != nullptr) {
            path_ = tmpl;
        }
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path Write(const std::string& name, const std::string& text) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }

  private:
    std::filesystem::path path_;
};

// Sets (or unsets) a variable and puts the old value back at the end of the test.
class CScopedEnv {
  public:
    CScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name)) {
            old_ = old;
        }
        Set(value);
    }
    ~CScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

    void Set(const std::string& value) { setenv(name_, value.c_str(), 1); }
    void Unset() { unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

// A pseudo-terminal pair made in the test: the connection opens the slave path, the
// test plays the far end on the master.
class CPtyPair {
  public:
    CPtyPair() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            char name[128];
            if (ptsname_r(master_, name, sizeof name) == 0) {
                slavePath_ = name;
            }
        }
    }
    ~CPtyPair() { CloseMaster(); }
    CPtyPair(const CPtyPair&) = delete;
    CPtyPair& operator=(const CPtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && !slavePath_.empty(); }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    void CloseMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    bool Send(const std::vector<uint8_t>& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads until n bytes have come or the patience runs out.
    std::vector<uint8_t> Receive(std::size_t n, std::chrono::milliseconds patience) const {
        std::vector<uint8_t> got;
        const auto giveUp = std::chrono::steady_clock::now() + patience;
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                giveUp - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd in{master_, POLLIN, 0};
            if (poll(&in, 1, static_cast<int>(left.count())) <= 0 || (in.revents & POLLIN) == 0) {
                break;
            }
            uint8_t buf[4096];
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }

  private:
    int master_ = -1;
    std::string slavePath_;
};

}  // namespace quorvel::testing
