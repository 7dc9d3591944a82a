#pragma once
// What the Windows tests need to know about where they run. scripts/test-windows.sh
// maps COM ports onto pseudo-terminals: QUORVEL_TEST_COM (default COM5) has a far end
// that echoes every byte (tools/wine-pty-shim/pty_echo) and may be opened any number of
// times; QUORVEL_TEST_ESC_COM, when set, has the simulated ESC (esc-sim), which echoes
// too, answers the boot loader's packets and ends when the port is closed once.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "storage/message_sink.h"

namespace quorvel::testing {

inline bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

inline std::string TestPortName() {
    return EnvOr("QUORVEL_TEST_COM", "COM5");
}
inline std::string TestEscPortName() {
    return EnvOr("QUORVEL_TEST_ESC_COM", "");
}

// Keeps every message; the reader thread may add one, so it is guarded.
class CRecordingSink : public IMessageSink {
  public:
    void ShowMessage(std::string_view text, MessageStyle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.emplace_back(text);
    }
    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

}  // namespace quorvel::testing
