#include "VirtualClock.h"

#include <algorithm>

namespace quennet {

std::uint32_t VirtualClock::TickCount() {
    // The counter wraps at 2^32 like the system's millisecond tick.
    return static_cast<std::uint32_t>(startTick_ + nowUs_ / 1000);
}

void VirtualClock::Sleep(int ms) {
    ++sleepCount_;
    const std::uint64_t us = ms > 0 ? static_cast<std::uint64_t>(ms) * 1000 : 0;
    sleptUs_ += us;
    Advance(us);
}

void VirtualClock::Advance(std::uint64_t us) { AdvanceTo(nowUs_ + us); }

void VirtualClock::AdvanceTo(std::uint64_t us) {
    const std::uint64_t target = std::max(us, nowUs_);
    if (running_) {
        // A listener advancing the clock from inside its own callback: the
        // outer loop is already visiting instants, so only move time on; the
        // outer loop picks up whatever became due.
        nowUs_ = target;
        return;
    }
    running_ = true;
    RunDueUntil(target);
    running_ = false;
}

std::optional<std::uint64_t> VirtualClock::NextDueUs() const {
    std::optional<std::uint64_t> next;
    for (const TimeListener* l : listeners_) {
        const auto t = l->NextEventUs();
        if (t && (!next || *t < *next)) next = t;
    }
    if (!scheduled_.empty() && (!next || scheduled_.begin()->first < *next))
        next = scheduled_.begin()->first;
    return next;
}

void VirtualClock::RunDueUntil(std::uint64_t targetUs) {
    for (;;) {
        std::optional<std::uint64_t> next;
        TimeListener* who = nullptr;
        for (TimeListener* l : listeners_) {
            const auto t = l->NextEventUs();
            if (t && (!next || *t < *next)) {
                next = t;
                who = l;
            }
        }
        const bool actionFirst =
            !scheduled_.empty() && (!next || scheduled_.begin()->first <= *next);
        if (actionFirst) {
            next = scheduled_.begin()->first;
            who = nullptr;
        }
        if (!next || *next > targetUs) break;
        nowUs_ = std::max(nowUs_, *next);
        if (who) {
            who->OnTime(nowUs_);
        } else {
            auto it = scheduled_.begin();
            auto action = std::move(it->second);
            scheduled_.erase(it);
            action();
        }
    }
    nowUs_ = std::max(nowUs_, targetUs);
}

void VirtualClock::AddListener(TimeListener* listener) {
    if (listener && std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
        listeners_.push_back(listener);
}

void VirtualClock::RemoveListener(TimeListener* listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener),
                     listeners_.end());
}

void VirtualClock::ScheduleAt(std::uint64_t atUs, std::function<void()> action) {
    if (action) scheduled_.emplace(atUs, std::move(action));
}

}  // namespace quennet
