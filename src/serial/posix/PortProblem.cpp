#include "serial/PortProblem.h"

#include <cerrno>
#include <cstring>

#include "serial/posix/PosixSerialDevice.h"

namespace quennet::posix {

std::string OpenErrnoProblem(int e) {
    switch (e) {
        case ENOENT:
        case ENOTDIR:
            return kPortNotFound;
        // An exclusive holder (TIOCEXCL) makes the open itself fail.
        case EBUSY:
            return kPortBusy;
        case EACCES:
        case EPERM:
            return "cannot be opened: permission denied (is your user in the dialout group?)";
        // A device node whose hardware has gone, or a pseudo-terminal whose
        // other side is closed.
        case ENXIO:
        case ENODEV:
        case EIO:
            return "was not found (its device has gone)";
        case EISDIR:
            return kPortNotSerial;
        // The path itself cannot be followed.
        case ELOOP:
        case ENAMETOOLONG:
            return std::string("cannot be reached: ") + std::strerror(e);
        default:
            return std::string("cannot be opened: ") + std::strerror(e);
    }
}

}  // namespace quennet::posix
