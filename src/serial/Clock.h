#pragma once
#include <cstdint>

namespace quennet {

// Time as the program sees it: a millisecond tick counter that wraps at 2^32
// and a sleep on the calling thread. The program uses SystemClock(); tests
// use a virtual clock that the simulated serial device shares, so waits cost
// no real time and every instant on the wire can be asserted.
class Clock {
public:
    virtual ~Clock() = default;
    virtual std::uint32_t TickCount() = 0;
    // Microseconds from an arbitrary start, never wrapping or going back:
    // for deadlines finer than the tick counter.
    virtual std::uint64_t MonotonicUs() = 0;
    // A sleep of 0 ms (or less) gives up the rest of the time slice.
    virtual void Sleep(int ms) = 0;
};

Clock& SystemClock();

}  // namespace quennet
