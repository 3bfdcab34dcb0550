#include "serial/posix/PosixTermios.h"

// The kernel's own termios definitions (struct termios2, BOTHER); glibc's
// <termios.h> must not be included here.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quennet::posix {

namespace {

static_assert(sizeof(termios2) <= sizeof(TermiosSnapshot::raw),
              "termios2 does not fit the snapshot");

struct StandardRate {
    std::uint32_t baud;
    unsigned code;
};

// Rates with a classic speed code; using the code rather than BOTHER keeps
// the settings readable for programs that know only tcgetattr.
constexpr StandardRate kStandardRates[] = {
    {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool Get(int fd, termios2& t) { return ioctl(fd, TCGETS2, &t) == 0; }
bool Set(int fd, const termios2& t) { return ioctl(fd, TCSETS2, &t) == 0; }

int DataBitsOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

}  // namespace

bool SaveTermios(int fd, TermiosSnapshot& out) {
    termios2 t{};
    out.valid = false;
    if (!Get(fd, t)) return false;
    std::memcpy(out.raw, &t, sizeof t);
    out.valid = true;
    return true;
}

bool RestoreTermios(int fd, const TermiosSnapshot& saved) {
    if (!saved.valid) return false;
    termios2 t{};
    std::memcpy(&t, saved.raw, sizeof t);
    return Set(fd, t);
}

bool MakeRaw(int fd) {
    termios2 t{};
    if (!Get(fd, t)) return false;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                        ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC |
                                        IMAXBEL);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG |
                                        IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (!Set(fd, t)) return false;
    termios2 check{};
    return Get(fd, check) && (check.c_lflag & ICANON) == 0 && (check.c_cflag & CREAD) != 0;
}

bool ReadLineSettings(int fd, LineSettings& out) {
    termios2 t{};
    if (!Get(fd, t)) return false;
    // The kernel keeps c_ospeed current for classic speed codes too.
    std::uint32_t baud = t.c_ospeed;
    if (baud == 0) {
        const unsigned code = t.c_cflag & CBAUD;
        for (const auto& r : kStandardRates)
            if (r.code == code) baud = r.baud;
    }
    out.baud = baud;
    out.dataBits = DataBitsOf(t.c_cflag);
    const bool odd = (t.c_cflag & PARODD) != 0;
    if ((t.c_cflag & PARENB) == 0)
        out.parity = Parity::None;
    else if (t.c_cflag & CMSPAR)  // "stick" parity: PARODD picks mark
        out.parity = odd ? Parity::Mark : Parity::Space;
    else
        out.parity = odd ? Parity::Odd : Parity::Even;
    out.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    if (t.c_cflag & CRTSCTS)
        out.flow = FlowControl::RtsCts;
    else if (t.c_iflag & (IXON | IXOFF))
        out.flow = FlowControl::XonXoff;
    else
        out.flow = FlowControl::None;
    return true;
}

bool WriteLineSettings(int fd, const LineSettings& s) {
    if (s.baud == 0) return false;
    if (s.dataBits < 5 || s.dataBits > 8) return false;
    if (s.stopBits != 1 && s.stopBits != 2) return false;

    termios2 t{};
    if (!Get(fd, t)) return false;

    unsigned code = BOTHER;
    for (const auto& r : kStandardRates)
        if (r.baud == s.baud) code = r.code;
    // Output and input speed alike.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ospeed = s.baud;
    t.c_ispeed = s.baud;

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR);
    t.c_cflag |= kSizes[s.dataBits - 5];
    if (s.parity != Parity::None) t.c_cflag |= PARENB;
    if (s.parity == Parity::Odd || s.parity == Parity::Mark) t.c_cflag |= PARODD;
    if (s.parity == Parity::Mark || s.parity == Parity::Space) t.c_cflag |= CMSPAR;
    if (s.stopBits == 2) t.c_cflag |= CSTOPB;

    // The kernel does the flow control itself: CTS gates the transmitter and
    // RTS follows our receive buffer, or XOFF/XON in either direction (the
    // characters stay the default DC3/DC1 and are not passed to the reader).
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (s.flow == FlowControl::RtsCts) t.c_cflag |= CRTSCTS;
    if (s.flow == FlowControl::XonXoff) {
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VSTART] = 0x11;
        t.c_cc[VSTOP] = 0x13;
    }

    if (!Set(fd, t)) return false;

    // The call succeeds when any part of the request was taken, so check the
    // rate the device really has now: a driver that cannot reach it falls
    // back to another one, and more than 5 % away counts as refused. Data
    // bits and parity are not checked, since pseudo-terminals force 8 bits
    // without parity and would otherwise be unusable.
    termios2 now{};
    if (!Get(fd, now)) return false;
    const long long diff = static_cast<long long>(now.c_ospeed) - s.baud;
    return std::llabs(diff) * 20 <= static_cast<long long>(s.baud);
}

}  // namespace quennet::posix
