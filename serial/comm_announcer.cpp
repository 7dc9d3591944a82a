#include "serial/comm_announcer.h"

#include <string>
#include <utility>

namespace quorvel {

CCommAnnouncer::CCommAnnouncer(IEventThread& events, CommNotifyHandler onCommNotify)
    : events_(events), onCommNotify_(std::move(onCommNotify)) {}

void CCommAnnouncer::Reset() {
    abandon_.store(false);
    SetGoAhead();
}

void CCommAnnouncer::SetGoAhead() {
    std::lock_guard lock(mutex_);
    goAhead_ = true;
    changed_.notify_all();
}

void CCommAnnouncer::Abandon() {
    abandon_.store(true);
    SetGoAhead();
}

bool CCommAnnouncer::Announce(uint32_t count) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return goAhead_; });
        goAhead_ = false;
    }
    if (abandon_.load()) {
        SetGoAhead();
        return false;
    }
    // The closure may still run after an abandoned sender has gone (when it had already
    // started), so it holds copies, not references to this frame.
    const auto notify = [this, count] {
        struct GoAheadOnExit {
            CCommAnnouncer& announcer;
            ~GoAheadOnExit() { announcer.SetGoAhead(); }
        } goAheadOnExit{*this};
        if (onCommNotify_) {
            onCommNotify_(kCommEvRxChar, count);
        }
    };
    if (!events_.SendSync(notify, abandon_)) {
        SetGoAhead();
        return false;
    }
    return true;
}

void CCommAnnouncer::ShowOnEventThread(IMessageSink& owner, std::string_view text) {
    events_.SendSync(
        [&owner, message = std::string(text)] { owner.ShowMessage(message, MessageStyle::kError); },
        abandon_);
}

}  // namespace quorvel
