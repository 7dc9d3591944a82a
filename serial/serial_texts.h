#pragma once
// The serial transport's message texts, exactly as the program has always shown them.

#include <string_view>

namespace quorvel {

inline constexpr std::string_view kNoSerialPortText = "No serial port,Can't open connection!";
inline constexpr std::string_view kCantOpenConnectionText = "Can't open connection";
inline constexpr std::string_view kReadTimeoutText = "Read timeout!";
inline constexpr std::string_view kWriteTimeoutText = "Write timeout!";
inline constexpr std::string_view kCantCreateEventText = "Can't create event object!";

}  // namespace quorvel
