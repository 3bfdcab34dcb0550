#include "terminal/transfer/TransferDriver.h"

#include <algorithm>
#include <cstdint>

namespace quennet {

namespace {

constexpr int kMaxWaitMs = 100;
constexpr int kIdleWritesAllowed = 50;

// Writes what the transfer wants sent; false when the port takes nothing
// for too long.
bool Flush(ComPort& port, Transfer& t, int& idleWrites) {
    while (t.OutputSize() > 0) {
        const std::size_t w = port.ComWrite(t.OutputData(), t.OutputSize());
        if (w == 0) {
            if (++idleWrites > kIdleWritesAllowed || !port.IsOpen() || port.ComDeviceLost()) return false;
            port.clock().Sleep(1);
            continue;
        }
        idleWrites = 0;
        t.Consume(w);
    }
    return true;
}

}  // namespace

TransferOutcome RunTransfer(ComPort& port, Transfer& t, const TransferRunOptions& options) {
    Clock& clock = port.clock();
    auto nowMs = [&clock] { return clock.MonotonicUs() / 1000; };
    std::uint8_t buf[4096];
    int idleWrites = 0;
    while (!t.Finished()) {
        if (options.stop && options.stop()) {
            t.Cancel(nowMs());
            break;
        }
        if (!port.IsOpen() || port.ComDeviceLost()) {
            t.PortLost(nowMs());
            break;
        }
        const std::size_t n = port.ComRead(buf, sizeof buf);
        if (n > 0) t.Feed(buf, n, nowMs());
        if (t.Question()) t.Answer(options.ask ? options.ask(*t.Question()) : ExistingFileChoice::KeepBoth);
        t.Poll(nowMs());
        const bool wrote = t.OutputSize() > 0;
        if (!Flush(port, t, idleWrites)) {
            t.PortLost(nowMs());
            break;
        }
        if (n > 0 || wrote || t.Finished()) continue;
        int budget = kMaxWaitMs;
        if (const auto due = t.NextDueMs()) {
            const std::uint64_t now = nowMs();
            budget = *due <= now ? 1 : static_cast<int>(std::min<std::uint64_t>(*due - now, kMaxWaitMs));
        }
        const int b = port.ComWaitByte(std::max(budget, 1));
        if (b >= 0) {
            const auto byte = static_cast<std::uint8_t>(b);
            t.Feed(&byte, 1, nowMs());
        }
    }
    // The last words: a cancel sequence, the final acknowledgement, "OO".
    Flush(port, t, idleWrites);
    return t.Outcome();
}

}  // namespace quennet
