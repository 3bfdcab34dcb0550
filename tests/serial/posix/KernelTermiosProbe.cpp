#include "KernelTermiosProbe.h"

// Kernel definitions only: this file must not see glibc's <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace quennet::testing_probe {

bool ReadKernelSpeed(int fd, KernelSpeed& out) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    out.outputBaud = t.c_ospeed;
    out.inputBaud = t.c_ispeed;
    out.customRate = (t.c_cflag & CBAUD) == BOTHER;
    return true;
}

}  // namespace quennet::testing_probe
