// Pieces the window benches share: a serial device fed from memory, the
// real clock, and the process's CPU time and resident memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <unistd.h>
#include <vector>

#include "serial/Clock.h"
#include "serial/SerialDevice.h"

namespace quennet::bench {

// A device that delivers whatever the bench has queued, at once.
class FeedDevice : public SerialDevice {
public:
    explicit FeedDevice(std::vector<std::uint8_t>& queue, std::size_t& head) : queue_(queue), head_(head) {}
    bool Open(const std::string&) override { return true; }
    bool GetSettings(LineSettings& out) override { out = {}; return true; }
    bool SetSettings(const LineSettings&) override { return true; }
    bool SetDtr(bool) override { return true; }
    bool SetRts(bool) override { return true; }
    bool Purge(bool, bool) override { return true; }
    bool QueryWaiting(std::uint32_t& count) override {
        count = static_cast<std::uint32_t>(queue_.size() - head_);
        return true;
    }
    long Read(std::uint8_t* buffer, std::size_t n) override {
        n = std::min(n, queue_.size() - head_);
        std::copy_n(queue_.begin() + static_cast<long>(head_), n, buffer);
        head_ += n;
        return static_cast<long>(n);
    }
    bool WaitReadable(std::uint64_t) override { return head_ < queue_.size(); }
    long Write(const std::uint8_t*, std::size_t n) override { return static_cast<long>(n); }
    bool Close() override { return true; }

private:
    std::vector<std::uint8_t>& queue_;
    std::size_t& head_;
};

class RealClock : public Clock {
public:
    std::uint32_t TickCount() override { return static_cast<std::uint32_t>(MonotonicUs() / 1000); }
    std::uint64_t MonotonicUs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
    }
    void Sleep(int ms) override { usleep(static_cast<useconds_t>(ms) * 1000u); }
};

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double RssMb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1e6;
}

}  // namespace quennet::bench
