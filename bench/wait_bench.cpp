// How soon ComWaitByte returns after the far end of a pseudo-terminal writes
// a byte: the latency that every acknowledge of a bootloader exchange costs.
//
//   cmake --build build --target wait_bench && build/wait_bench [rounds]
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "serial/ComPort.h"

using SteadyClock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    const quennet::testing::PtyPair pty({.raw = true});
    if (!pty.ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    const int master = pty.master();
    const char* name = pty.path().c_str();

    quennet::ComPort port(quennet::DefaultSerialDeviceFactory(), quennet::SystemClock());
    if (port.ComOpen(name, 115200, quennet::kFrameN81) != quennet::kComOk) {
        std::fprintf(stderr, "cannot open %s\n", name);
        return 1;
    }

    std::vector<double> latencyUs;
    std::atomic<SteadyClock::rep> writtenAt{0};
    for (int i = 0; i < rounds; ++i) {
        // The far end writes while the wait is already under way.
        std::thread far([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const std::uint8_t b = 0x79;
            writtenAt = SteadyClock::now().time_since_epoch().count();
            if (::write(master, &b, 1) != 1) std::fprintf(stderr, "write failed\n");
        });
        const int got = port.ComWaitByte(1000);
        const auto back = SteadyClock::now().time_since_epoch().count();
        far.join();
        if (got != 0x79) {
            std::fprintf(stderr, "round %d: got %d\n", i, got);
            return 1;
        }
        latencyUs.push_back(std::chrono::duration<double, std::micro>(
                                SteadyClock::duration(back - writtenAt.load()))
                                .count());
    }
    std::sort(latencyUs.begin(), latencyUs.end());
    auto at = [&](double q) { return latencyUs[static_cast<std::size_t>(q * (latencyUs.size() - 1))]; };
    std::printf("ComWaitByte wake-up after the far end writes, %d rounds on %s:\n", rounds, name);
    std::printf("  min %.1f us, median %.1f us, 99%% %.1f us, max %.1f us\n", latencyUs.front(),
                at(0.5), at(0.99), latencyUs.back());
    port.ComClose();
    ::close(master);
    return 0;
}
