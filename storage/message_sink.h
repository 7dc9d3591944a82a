#pragma once
// Where lower layers send the messages the user must see. A window shows them in
// message boxes, the command-line tool prints them, tests record them.

#include <string_view>

namespace quorvel {

enum class MessageStyle {
    kError,   // OK button, exclamation icon, the program's name as caption
    kPrompt,  // OK and Cancel, caption "Prompt" (the information-file messages)
};

class IMessageSink {
  public:
    virtual ~IMessageSink() = default;
    // Modal: returns once the user has closed it.
    virtual void ShowMessage(std::string_view text, MessageStyle style) = 0;
};

}  // namespace quorvel
