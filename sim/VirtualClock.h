#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "serial/Clock.h"

namespace quennet {

// Something in the simulated world that has to act at given virtual instants
// (a wire delivering bytes, a target finishing a flash write).
class TimeListener {
public:
    virtual ~TimeListener() = default;
    // The earliest instant, in microseconds, at which this listener wants to
    // act, or nothing while it has nothing pending.
    virtual std::optional<std::uint64_t> NextEventUs() const = 0;
    // Called with the clock standing at (or, for an instant already past,
    // just after) the instant that NextEventUs reported.
    virtual void OnTime(std::uint64_t nowUs) = 0;
};

// A clock that moves only when the program sleeps or a test advances it.
// Time is kept in microseconds from zero; the millisecond tick counter starts
// at a settable value so that tests can run across its wrap at 2^32.
//
// Advancing the clock visits every instant at which a listener or a scheduled
// action is due, in time order, with NowUs() standing at that instant, so a
// simulated far end sees each byte and line change when it really happens.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(std::uint32_t startTick = 0) : startTick_(startTick) {}
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    std::uint32_t TickCount() override;
    std::uint64_t MonotonicUs() override { return nowUs_; }
    // Advances by ms milliseconds; a negative or zero sleep still lets
    // everything due at the present instant act.
    void Sleep(int ms) override;

    void Advance(std::uint64_t us);
    // Advances to an absolute instant; an instant in the past only runs what
    // is due now.
    void AdvanceTo(std::uint64_t us);

    std::uint64_t NowUs() const { return nowUs_; }
    std::uint64_t NowMs() const { return nowUs_ / 1000; }
    void SetStartTick(std::uint32_t tick) { startTick_ = tick; }
    std::uint32_t StartTick() const { return startTick_; }

    // Total time spent in Sleep calls and how many there were.
    std::uint64_t SleptUs() const { return sleptUs_; }
    std::uint64_t SleepCount() const { return sleepCount_; }

    void AddListener(TimeListener* listener);
    void RemoveListener(TimeListener* listener);

    // Runs action once the clock reaches atUs (at once on the next advance
    // when atUs is already past). Actions due at the same instant run in the
    // order they were scheduled.
    void ScheduleAt(std::uint64_t atUs, std::function<void()> action);

    // The earliest instant at which a listener or a scheduled action wants
    // to act, or nothing while nothing is pending.
    std::optional<std::uint64_t> NextDueUs() const;

private:
    void RunDueUntil(std::uint64_t targetUs);

    std::uint32_t startTick_;
    std::uint64_t nowUs_ = 0;
    std::uint64_t sleptUs_ = 0;
    std::uint64_t sleepCount_ = 0;
    bool running_ = false;
    std::vector<TimeListener*> listeners_;
    std::multimap<std::uint64_t, std::function<void()>> scheduled_;
};

}  // namespace quennet
