#pragma once
// The hand-over of received bytes from a reader thread to the event thread, shared by
// the back ends that run their own reader thread.
//
// Announce waits for the go-ahead, resets it and runs the notification handler on the
// event thread, waiting for it. The go-ahead is set again once the handler has returned
// (also when it throws, or when the call was given up), so a handler cannot leave the
// reader waiting, and at most one notification is ever in flight.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "serial/connection.h"
#include "storage/message_sink.h"

namespace quorvel {

inline constexpr uint32_t kCommEvRxChar = 0x0001;

class CCommAnnouncer {
  public:
    CCommAnnouncer(IEventThread& events, CommNotifyHandler onCommNotify);

    // For a new connection: go-ahead signalled (the first announcement does not wait),
    // nothing abandoned.
    void Reset();

    // Reader thread: announces count waiting bytes. False when the announcement was given
    // up because the connection is closing.
    bool Announce(uint32_t count);
    // Reader thread: shows a message on the event thread.
    void ShowOnEventThread(IMessageSink& owner, std::string_view text);

    // Any thread: gives up a notification not yet run and releases a reader waiting for
    // the go-ahead. Stays in force until Reset.
    void Abandon();
    bool Abandoned() const { return abandon_.load(); }

  private:
    void SetGoAhead();

    IEventThread& events_;
    CommNotifyHandler onCommNotify_;
    std::atomic<bool> abandon_{false};
    // The go-ahead: a manual-reset event.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool goAhead_ = true;
};

}  // namespace quorvel
