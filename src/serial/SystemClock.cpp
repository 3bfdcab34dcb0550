#include <chrono>
#include <thread>

#include "serial/Clock.h"

namespace quennet {

namespace {

class SteadySystemClock : public Clock {
public:
    std::uint32_t TickCount() override {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        // Wraps at 2^32 like a millisecond tick counter.
        return static_cast<std::uint32_t>(ms.count());
    }
    std::uint64_t MonotonicUs() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now().time_since_epoch())
                                              .count());
    }
    void Sleep(int ms) override {
        if (ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        else
            std::this_thread::yield();
    }
};

}  // namespace

Clock& SystemClock() {
    static SteadySystemClock clock;
    return clock;
}

}  // namespace quennet
