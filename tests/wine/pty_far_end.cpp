// The far end of a COM port that wine maps onto a pseudo-terminal: a Linux
// program that holds the pty's master, prints the slave's path on its first
// line, and answers one-byte commands from the Windows program under test:
//
//   'S'          reply 'S', baud (4 bytes, little-endian), data bits,
//                stop bits, parity ('N', 'O', 'E'): the line as the slave's
//                terminal settings have it now
//   'E' + 256    reply 'E' then 'Y' when the 256 bytes were 0..255 in order,
//                else 'N'
//   'A'          send the 256 byte values 0..255
//   'C' n        send n bytes (n 1..255) of the pattern 0x30 + i % 64, in one
//                write
//   'D' t        after t * 10 ms, send the one byte 'd'
//   'P' t        read nothing for t * 100 ms, so that the line fills up
//
// Anything else is ignored. Runs until killed.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "PtyPair.h"

namespace {

int g_master = -1;
int g_slave = -1;

// Waits up to timeoutMs for one byte from the Windows side; -1 on time-out.
int ReadByte(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint8_t b = 0;
        const ssize_t r = ::read(g_master, &b, 1);
        if (r == 1) return b;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return -1;
        pollfd p{g_master, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left < 50 ? left : 50));
    }
}

void Send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t r = ::write(g_master, bytes.data() + done, bytes.size() - done);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
        } else {
            pollfd p{g_master, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
}

std::uint32_t BaudOf(speed_t code) {
    static const struct {
        speed_t code;
        std::uint32_t baud;
    } kRates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},   {B9600, 9600},
                  {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
                  {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& r : kRates)
        if (r.code == code) return r.baud;
    return 0;
}

void ReplySettings() {
    termios t{};
    ::tcgetattr(g_slave, &t);
    const std::uint32_t baud = BaudOf(cfgetospeed(&t));
    int bits = 8;
    switch (t.c_cflag & CSIZE) {
        case CS5: bits = 5; break;
        case CS6: bits = 6; break;
        case CS7: bits = 7; break;
        default: break;
    }
    const char parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 'O' : 'E') : 'N';
    Send({'S', static_cast<std::uint8_t>(baud), static_cast<std::uint8_t>(baud >> 8),
          static_cast<std::uint8_t>(baud >> 16), static_cast<std::uint8_t>(baud >> 24),
          static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>((t.c_cflag & CSTOPB) ? 2 : 1),
          static_cast<std::uint8_t>(parity)});
}

void CheckAllValues() {
    bool good = true;
    for (int i = 0; i < 256; ++i) {
        const int b = ReadByte(5000);
        if (b < 0) {
            good = false;
            break;
        }
        if (b != i) good = false;
    }
    Send({'E', static_cast<std::uint8_t>(good ? 'Y' : 'N')});
}

}  // namespace

int main() {
    static const quennet::testing::PtyPair pty({.nonBlocking = true});
    if (!pty.ok()) {
        std::perror("pty_far_end: posix_openpt");
        return 1;
    }
    g_master = pty.master();
    const char* name = pty.path().c_str();
    // Holding the slave open keeps the master from reporting a hang-up
    // between the test's opens and closes. Raw from the start, so that
    // nothing is echoed before the Windows side configures the line.
    g_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (g_slave < 0) {
        std::perror("pty_far_end: open slave");
        return 1;
    }
    termios t{};
    ::tcgetattr(g_slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(g_slave, TCSANOW, &t);
    std::printf("%s\n", name);
    std::fflush(stdout);

    for (;;) {
        const int command = ReadByte(60000);
        switch (command) {
            case 'S': ReplySettings(); break;
            case 'E': CheckAllValues(); break;
            case 'A': {
                std::vector<std::uint8_t> all(256);
                for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
                Send(all);
                break;
            }
            case 'C': {
                const int n = ReadByte(2000);
                if (n <= 0) break;
                std::vector<std::uint8_t> bytes(n);
                for (int i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(0x30 + i % 64);
                Send(bytes);
                break;
            }
            case 'D': {
                const int t10 = ReadByte(2000);
                if (t10 < 0) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10 * t10));
                Send({'d'});
                break;
            }
            case 'P': {
                const int t100 = ReadByte(2000);
                if (t100 < 0) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(100 * t100));
                break;
            }
            default: break;
        }
    }
}
