#include "PtyBoard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "serial/posix/PosixTermios.h"

namespace quennet {

namespace {

// The longest the loop sleeps, so that a change of baud rate is seen soon.
constexpr int kTurnMs = 2;
// What the board keeps for a host that does not read; beyond it bytes are
// lost, as on a UART whose receiver overruns.
constexpr std::size_t kMaxPending = 1 << 16;
constexpr std::uint32_t kInitialBaud = 38400;

}  // namespace

PtyBoard::~PtyBoard() {
    if (master_ >= 0) ::close(master_);
}

bool PtyBoard::Open(std::string& error) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error = "cannot name the pseudo-terminal";
        return false;
    }
    path_ = name;
    const int flags = ::fcntl(master_, F_GETFL);
    ::fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    // Packet mode: the host's flushes show up as status bytes on the master,
    // so that a quick close and reopen is not missed between two turns.
    int on = 1;
    if (::ioctl(master_, TIOCPKT, &on) != 0) {
        error = std::string("cannot set packet mode: ") + std::strerror(errno);
        return false;
    }
    // Raw from the start, so that nothing the board sends is echoed back
    // before a host configures the line; opening and closing the slave once
    // also makes the master report a hang-up until a host opens it.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    LineSettings initial;
    initial.baud = kInitialBaud;
    posix::MakeRaw(slave);
    posix::WriteLineSettings(slave, initial);
    ::close(slave);
    return true;
}

void PtyBoard::ReadHostLine() {
    pollfd p{master_, POLLIN, 0};
    const bool open = !(::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP));
    LineSettings s;
    if (!posix::ReadLineSettings(master_, s)) s.baud = 0;
    if (!open) toHost_.clear();  // nobody there to receive it
    hostOpen_ = open;
    board_.HostLine(open, s.baud, s.stopBits);
}

void PtyBoard::ReadHost() {
    std::uint8_t buffer[4097];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) return;  // EAGAIN, or EIO while the host is away
        if (buffer[0] != TIOCPKT_DATA) {
            // Opening and closing the line drop the host's output; a host
            // that only drops what it has received (as many do before each
            // command) has not reopened anything.
            if (buffer[0] & TIOCPKT_FLUSHWRITE) board_.HostReopened();
            continue;
        }
        // The host sets its rate before it writes: look again, so that
        // bytes written right after a change of rate are taken at that rate
        // and not at the one seen at the top of this turn.
        ReadHostLine();
        board_.HostBytes(buffer + 1, static_cast<std::size_t>(n - 1));
    }
}

void PtyBoard::WriteHost() {
    std::vector<std::uint8_t> bytes = board_.TakeForHost();
    if (!hostOpen_) return;
    if (toHost_.size() + bytes.size() <= kMaxPending)
        toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
    while (!toHost_.empty()) {
        const ssize_t n = ::write(master_, toHost_.data(), toHost_.size());
        if (n <= 0) break;
        toHost_.erase(toHost_.begin(), toHost_.begin() + n);
    }
}

void PtyBoard::Run(const volatile std::sig_atomic_t& stop) {
    using Steady = std::chrono::steady_clock;
    const auto start = Steady::now();
    auto elapsedUs = [&] {
        return static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - start).count());
    };
    while (!stop) {
        // The host's opens and changes of rate are taken before the clock
        // catches up: after a late turn, a greeting that fell due while the
        // host was already switching to the bootloader's rate must not reach
        // it.
        ReadHostLine();
        clock_.AdvanceTo(elapsedUs());
        if (hostOpen_) ReadHost();
        clock_.AdvanceTo(elapsedUs());
        WriteHost();

        // Wake exactly when the board next has something to do: a reply
        // that is due a fraction of a millisecond from now must not wait for
        // a whole one, or every acknowledge would cost the host time.
        std::uint64_t waitUs = static_cast<std::uint64_t>(kTurnMs) * 1000;
        if (const auto due = board_.NextDueUs()) {
            const std::uint64_t now = elapsedUs();
            waitUs = std::min<std::uint64_t>(waitUs, *due > now ? *due - now : 0);
        }
        const timespec ts{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
        if (hostOpen_) {
            pollfd p{master_, static_cast<short>(POLLIN | (toHost_.empty() ? 0 : POLLOUT)), 0};
            ::ppoll(&p, 1, &ts, nullptr);
        } else {
            // A hung-up master is always "ready": sleep instead of spinning.
            ::ppoll(nullptr, 0, &ts, nullptr);
        }
    }
}

}  // namespace quennet
