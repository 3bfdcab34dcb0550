#include "serial/posix/PosixSerialDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "serial/PortProblem.h"
#include "serial/posix/PortDiscovery.h"

namespace quennet {

PosixSerialDevice::~PosixSerialDevice() {
    if (fd_ >= 0) Close();
}

bool PosixSerialDevice::Open(const std::string& path) {
    if (fd_ >= 0) {
        openProblem_ = kPortCannotOpen;
        return false;
    }
    openProblem_.clear();
    if (path.empty()) {
        openProblem_ = kPortNotFound;
        return false;
    }
    // Non-blocking: neither the open (waiting for carrier) nor any read or
    // write may hold up the caller.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    missing_ = fd < 0 && (errno == ENOENT || errno == ENODEV || errno == ENXIO);
    if (fd < 0) {
        openProblem_ = posix::OpenErrnoProblem(errno);
        return false;
    }

    auto fail = [this, fd](const char* why) {
        openProblem_ = why;
        ::close(fd);
        return false;
    };
    if (!::isatty(fd)) return fail(kPortNotSerial);
    // The advisory lock stops other programs that lock as well (and a second
    // instance of this one) even when they run with privileges, which
    // TIOCEXCL alone does not.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? kPortBusy : kPortNotSetUp);
    if (::ioctl(fd, TIOCEXCL) != 0) return fail(kPortNotSetUp);

    if (!posix::SaveTermios(fd, saved_)) {
        ::ioctl(fd, TIOCNXCL);
        return fail(kPortNotSetUp);
    }
    if (!posix::MakeRaw(fd) || !posix::ReadLineSettings(fd, current_)) {
        posix::RestoreTermios(fd, saved_);
        ::ioctl(fd, TIOCNXCL);
        return fail(kPortNotSetUp);
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool PosixSerialDevice::GetSettings(LineSettings& out) {
    if (fd_ < 0 || !posix::ReadLineSettings(fd_, current_)) return false;
    out = current_;
    return true;
}

bool PosixSerialDevice::SetSettings(const LineSettings& settings) {
    if (fd_ < 0) return false;
    const bool ok = posix::WriteLineSettings(fd_, settings);
    posix::ReadLineSettings(fd_, current_);
    return ok;
}

bool PosixSerialDevice::SetModemLine(int line, bool asserted) {
    if (fd_ < 0) return false;
    return ::ioctl(fd_, asserted ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

bool PosixSerialDevice::SetDtr(bool asserted) { return SetModemLine(TIOCM_DTR, asserted); }

bool PosixSerialDevice::SetRts(bool asserted) { return SetModemLine(TIOCM_RTS, asserted); }

bool PosixSerialDevice::SetBreak(bool on) {
    if (fd_ < 0) return false;
    // Set and clear by hand rather than tcsendbreak, whose length Linux
    // fixes at a quarter to half a second: the caller times the break.
    return ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0;
}

bool PosixSerialDevice::GetLowLatency(bool& on) {
    if (fd_ < 0) return false;
    serial_struct info{};
    if (::ioctl(fd_, TIOCGSERIAL, &info) != 0) return false;
    on = (info.flags & ASYNC_LOW_LATENCY) != 0;
    return true;
}

bool PosixSerialDevice::SetLowLatency(bool on) {
    if (fd_ < 0) return false;
    serial_struct info{};
    if (::ioctl(fd_, TIOCGSERIAL, &info) != 0) return false;
    // Everything else goes back as the driver gave it: without privileges
    // the low-latency flag is the one a user may change.
    info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
    return ::ioctl(fd_, TIOCSSERIAL, &info) == 0;
}

std::optional<int> PosixSerialDevice::LatencyTimerMs() const {
    if (fd_ < 0) return std::nullopt;
    return AdapterLatencyTimerMs("/sys/class/tty", path_);
}

bool PosixSerialDevice::Purge(bool transmit, bool receive) {
    if (fd_ < 0) return false;
    bool ok = true;
    if (transmit && ::tcflush(fd_, TCOFLUSH) != 0) ok = false;
    if (receive && ::tcflush(fd_, TCIFLUSH) != 0) ok = false;
    return ok;
}

bool PosixSerialDevice::QueryWaiting(std::uint32_t& count) {
    if (fd_ < 0) return false;
    int waiting = 0;
    if (::ioctl(fd_, TIOCINQ, &waiting) != 0 || waiting < 0) return false;
    count = static_cast<std::uint32_t>(waiting);
    return true;
}

long PosixSerialDevice::Read(std::uint8_t* buffer, std::size_t n) {
    if (fd_ < 0) return -1;
    if (!buffer || n == 0) return 0;
    for (;;) {
        const ssize_t r = ::read(fd_, buffer, n);
        if (r >= 0) return static_cast<long>(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;  // EIO after a hang-up, and anything else
    }
}

bool PosixSerialDevice::WaitReadable(std::uint64_t timeoutUs) {
    if (fd_ < 0) return false;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        const long long ns = std::max<long long>(left.count(), 0);
        const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{fd_, POLLIN, 0};
        const int r = ::ppoll(&p, 1, &ts, nullptr);
        if (r > 0) return (p.revents & POLLIN) != 0;  // a hang-up alone is no data
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool PosixSerialDevice::Lost() {
    if (fd_ < 0) return false;
    // A hung-up line (an unplugged adapter, a pseudo-terminal whose far end
    // closed) reports a hang-up or an error at once, data or not.
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

long long PosixSerialDevice::WireTimeMs(std::size_t n) const {
    if (current_.baud == 0) return 0;
    const long long bits = 1 + current_.dataBits + (current_.parity == Parity::None ? 0 : 1) +
                           current_.stopBits;
    return (static_cast<long long>(n) * bits * 1000 + current_.baud - 1) / current_.baud;
}

long PosixSerialDevice::Write(const std::uint8_t* data, std::size_t n) {
    if (fd_ < 0) return -1;
    if (!data || n == 0) return 0;
    using Clock = std::chrono::steady_clock;
    // A device that stops taking bytes (flow-controlled, wedged, or a pty
    // nobody reads) must not hold the caller for ever: give up after a
    // stall well beyond the time the bytes need on the wire.
    const auto stallLimit = std::chrono::milliseconds(kWriteStallMs + WireTimeMs(n));
    auto lastProgress = Clock::now();
    std::size_t taken = 0;
    bool failed = false;
    while (taken < n) {
        const ssize_t r = ::write(fd_, data + taken, n - taken);
        if (r > 0) {
            taken += static_cast<std::size_t>(r);
            lastProgress = Clock::now();
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed = true;  // EIO after a hang-up, and anything else
            break;
        }
        const auto left = stallLimit - (Clock::now() - lastProgress);
        if (left <= Clock::duration::zero()) break;
        pollfd p{fd_, POLLOUT, 0};
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        const int pr = ::poll(&p, 1, static_cast<int>(std::clamp<long long>(waitMs, 1, 1000)));
        if (pr < 0 && errno != EINTR) {
            failed = true;
            break;
        }
        if (pr > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            failed = true;
            break;
        }
    }
    if (taken == 0 && failed) return -1;
    return static_cast<long>(taken);
}

bool PosixSerialDevice::Close() {
    if (fd_ < 0) return true;
    // Put back what the device had, so that other programs find it as it was.
    // A device that has gone may refuse; that does not keep it open.
    posix::RestoreTermios(fd_, saved_);
    ::ioctl(fd_, TIOCNXCL);
    ::flock(fd_, LOCK_UN);
    const int fd = fd_;
    // The descriptor is released even when close reports an error, so it
    // must never be closed twice: forget it first.
    fd_ = -1;
    path_.clear();
    saved_ = {};
    return ::close(fd) == 0 || errno == EINTR;
}

SerialDeviceFactory PosixSerialDeviceFactory() {
    return []() -> std::unique_ptr<SerialDevice> { return std::make_unique<PosixSerialDevice>(); };
}

SerialDeviceFactory DefaultSerialDeviceFactory() { return PosixSerialDeviceFactory(); }

}  // namespace quennet
