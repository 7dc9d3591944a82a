#pragma once
// A fresh directory per test, removed with everything in it afterwards.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace quorvel::testing {

class TempDir {
  public:
    TempDir() {
        static std::atomic<unsigned> serial{0};
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string name =
            std::string("quorvel-") + (info != nullptr ? info->name() : "test") + "-" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
            std::to_string(serial++);
        path_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        // Undo any read-only bits a test left, so that removal cannot fail on them.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        }
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace quorvel::testing
