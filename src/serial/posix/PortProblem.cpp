#include "serial/PortProblem.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "serial/ComPort.h"

namespace quennet {

std::string ExplainOpenFailure(const std::string& name) {
    const std::string path = PortNameToPath(name);
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        if (path.empty() || errno == ENOENT || errno == ENOTDIR) return "was not found";
        return std::string("cannot be reached: ") + std::strerror(errno);
    }
    if (!S_ISCHR(st.st_mode)) return "is not a serial device";

    // Open it the way the driver does, to see which step refuses.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int e = errno;
        // An exclusive holder (TIOCEXCL) makes the open itself fail.
        if (e == EBUSY) return "is busy: another program has it open";
        if (e == EACCES || e == EPERM)
            return "cannot be opened: permission denied (is your user in the dialout group?)";
        // A device node whose hardware has gone, or a pseudo-terminal whose
        // other side is closed.
        if (e == ENXIO || e == ENODEV || e == EIO) return "was not found (its device has gone)";
        return std::string("cannot be opened: ") + std::strerror(e);
    }
    std::string why = "cannot be set up as a serial line";
    if (!::isatty(fd)) {
        why = "is not a serial device";
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // A holder with privileges passes TIOCEXCL, but not the lock.
        if (errno == EWOULDBLOCK) why = "is busy: another program has it open";
    } else {
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return why;
}

}  // namespace quennet
