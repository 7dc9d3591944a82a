#pragma once
// Portable equipment for the serial tests: a message sink that records, and test bytes.

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "storage/message_sink.h"

namespace quorvel::testing {

// Records messages from any thread.
class CRecordingSink : public IMessageSink {
  public:
    void ShowMessage(std::string_view text, MessageStyle /*style*/) override {
        std::lock_guard lock(mutex_);
        messages_.emplace_back(text);
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

// Bytes that show their position, so a lost or reordered byte is seen.
inline std::vector<uint8_t> Pattern(std::size_t n, unsigned seed = 1) {
    std::vector<uint8_t> bytes(n);
    std::minstd_rand gen(seed);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(gen());
    }
    return bytes;
}

}  // namespace quorvel::testing
