#pragma once
#include <cstdint>

namespace quennet::testing_probe {

// What the kernel holds for a terminal, read with TCGETS2 so that rates
// without a classic speed code show as numbers.
struct KernelSpeed {
    std::uint32_t outputBaud = 0;
    std::uint32_t inputBaud = 0;
    bool customRate = false;  // BOTHER in the speed bits
};

bool ReadKernelSpeed(int fd, KernelSpeed& out);

}  // namespace quennet::testing_probe
