#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "KernelTermiosProbe.h"
#include "PtyPair.h"
#include "serial/ComPort.h"
#include "serial/FrameText.h"
#include "serial/posix/PosixSerialDevice.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using SteadyClock = std::chrono::steady_clock;

long long MsSince(SteadyClock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t0).count();
}

// A pseudo-terminal pair: the test plays the far end on the master, the
// driver opens the slave path like any serial device. Raw until the driver
// opens it, so that the slave does not echo what the far end sends.
class Pty : public testing::PtyPair {
public:
    Pty() : PtyPair({.nonBlocking = true, .raw = true}) {}
    const std::string& slave() const { return path(); }

    void Send(const Bytes& bytes) {
        std::size_t done = 0;
        const auto t0 = SteadyClock::now();
        while (done < bytes.size() && MsSince(t0) < 2000) {
            const ssize_t r = ::write(master(), bytes.data() + done, bytes.size() - done);
            if (r > 0) done += static_cast<std::size_t>(r);
            else pollfd_wait(POLLOUT, 10);
        }
        ASSERT_EQ(done, bytes.size());
    }

    // Reads until n bytes have come or the time is up.
    Bytes Receive(std::size_t n, int timeoutMs = 2000) {
        Bytes got;
        const auto t0 = SteadyClock::now();
        while (got.size() < n && MsSince(t0) < timeoutMs) {
            std::uint8_t buf[4096];
            const ssize_t r = ::read(master(), buf, std::min(sizeof buf, n - got.size()));
            if (r > 0) got.insert(got.end(), buf, buf + r);
            else pollfd_wait(POLLIN, 10);
        }
        return got;
    }

    termios SlaveTermios() const {
        termios t{};
        EXPECT_EQ(::tcgetattr(master(), &t), 0);
        return t;
    }

private:
    void pollfd_wait(short events, int ms) {
        pollfd p{master(), events, 0};
        ::poll(&p, 1, ms);
    }
};

Bytes AllByteValues() {
    Bytes b(256);
    for (int i = 0; i < 256; ++i) b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    return b;
}

// Waits for the device to report n bytes waiting; pty input is handed over
// by a kernel worker, so it shows up a moment after the write.
bool WaitForWaiting(SerialDevice& device, std::uint32_t n) {
    const auto t0 = SteadyClock::now();
    std::uint32_t waiting = 0;
    while (MsSince(t0) < 2000) {
        if (device.QueryWaiting(waiting) && waiting >= n) return waiting == n;
        ::usleep(1000);
    }
    return false;
}

class PosixSerialTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()) << "no pseudo-terminal available"; }
    Pty pty;
    ComPort port{PosixSerialDeviceFactory(), SystemClock()};
};

TEST_F(PosixSerialTest, OpenPutsTheDeviceInRawModeWithTheSettings) {
    termios cooked = pty.SlaveTermios();
    cooked.c_iflag |= ICRNL | IXON | IXOFF | INPCK | ISTRIP;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag |= CRTSCTS | CSTOPB;
    cooked.c_cc[VMIN] = 1;
    cfsetspeed(&cooked, B9600);
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &cooked), 0);

    ASSERT_EQ(port.ComOpen(pty.slave(), 115200, kFrameO81), kComOk);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.RtsState, 1) << "pseudo-terminals refuse modem lines; ignored";

    const termios t = pty.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | INPCK | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << "one stop bit";
    // A pty forces 8 bits without parity, but keeps the odd/even choice.
    EXPECT_NE(t.c_cflag & PARODD, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Closing puts back what the device had.
    ASSERT_EQ(port.ComClose(), kComOk);
    const termios back = pty.SlaveTermios();
    EXPECT_EQ(cfgetospeed(&back), static_cast<speed_t>(B9600));
    EXPECT_NE(back.c_lflag & ICANON, 0u);
    EXPECT_NE(back.c_lflag & ECHO, 0u);
    EXPECT_NE(back.c_oflag & OPOST, 0u);
    EXPECT_NE(back.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(back.c_cc[VMIN], 1);
}

TEST_F(PosixSerialTest, EvenParityClearsTheOddBit) {
    ASSERT_EQ(port.ComOpen(pty.slave(), 19200, kFrameO81), kComOk);
    ASSERT_EQ(port.ComClose(), kComOk);
    ASSERT_EQ(port.ComOpen(pty.slave(), 19200, kFrameE81), kComOk);
    const termios t = pty.SlaveTermios();
    EXPECT_EQ(t.c_cflag & PARODD, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(PosixSerialTest, FramesBeyondTheFiveFormatsReachTheTermios) {
    // A pty forces 8 bits without parity but keeps the other choices.
    struct Row {
        Frame frame;
        tcflag_t set, clear;
        tcflag_t iset;
    };
    const Row rows[] = {
        {{8, Parity::Mark, 2, FlowControl::RtsCts}, CMSPAR | PARODD | CSTOPB | CRTSCTS, 0, 0},
        {{7, Parity::Space, 1, FlowControl::XonXoff}, CMSPAR, PARODD | CSTOPB | CRTSCTS, IXON | IXOFF},
        {{8, Parity::None, 1, FlowControl::None}, 0, CMSPAR | CRTSCTS, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(FrameText(r.frame));
        ASSERT_EQ(port.ComOpen(pty.slave(), 9600, r.frame), kComOk);
        const termios t = pty.SlaveTermios();
        EXPECT_EQ(t.c_cflag & r.set, r.set);
        EXPECT_EQ(t.c_cflag & r.clear, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF), r.iset);
        ASSERT_EQ(port.ComClose(), kComOk);
    }
}

TEST_F(PosixSerialTest, XoffFromTheFarEndHoldsOutputUntilXon) {
    ASSERT_EQ(port.ComOpen(pty.slave(), 115200, Frame{8, Parity::None, 1, FlowControl::XonXoff}),
              kComOk);
    // The A shows that the XOFF before it has been taken by the line.
    pty.Send({0x13, 'A'});
    std::uint8_t got = 0;
    ASSERT_NE(port.ComWaitByte(2000), -1);
    std::atomic<bool> started{false};
    std::size_t taken = 0;
    std::thread writer([&] {
        started = true;
        const Bytes hello{'h', 'e', 'l', 'l', 'o'};
        taken = port.ComWrite(hello.data(), hello.size());
    });
    while (!started) std::this_thread::yield();
    EXPECT_TRUE(pty.Receive(1, 200).empty()) << "output went on after XOFF";
    pty.Send({0x11});
    writer.join();
    EXPECT_EQ(taken, 5u);
    EXPECT_EQ(pty.Receive(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(port.ComRead(&got, 1), 0u) << "XON and XOFF are not data";
}

TEST_F(PosixSerialTest, RatesWithoutASpeedCodeAreSetExactly) {
    for (std::uint32_t rate : {14400u, 28800u, 250000u, 57600u}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(port.ComOpen(pty.slave(), rate, kFrameN81), kComOk);
        testing_probe::KernelSpeed speed;
        ASSERT_TRUE(testing_probe::ReadKernelSpeed(pty.master(), speed));
        EXPECT_EQ(speed.outputBaud, rate);
        EXPECT_EQ(speed.inputBaud, rate);
        EXPECT_EQ(speed.customRate, rate != 57600u) << "classic rates keep their code";
        ASSERT_EQ(port.ComClose(), kComOk);
    }

    PosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.slave()));
    ASSERT_TRUE(device.SetSettings({28800, 8, Parity::None, 1}));
    LineSettings got;
    ASSERT_TRUE(device.GetSettings(got));
    EXPECT_EQ(got.baud, 28800u);
    EXPECT_EQ(got.stopBits, 1);
    EXPECT_FALSE(device.SetSettings({9600, 9, Parity::None, 1}));
    EXPECT_FALSE(device.SetSettings({9600, 8, Parity::None, 0}));
}

TEST_F(PosixSerialTest, BaudZeroIsRefusedAndNothingStaysHeld) {
    testing_probe::KernelSpeed before;
    ASSERT_TRUE(testing_probe::ReadKernelSpeed(pty.master(), before));
    EXPECT_EQ(port.ComOpen(pty.slave(), 0, kFrameN81), kComSettingsRefused);
    EXPECT_FALSE(port.IsOpen());
    testing_probe::KernelSpeed after;
    ASSERT_TRUE(testing_probe::ReadKernelSpeed(pty.master(), after));
    EXPECT_EQ(after.outputBaud, before.outputBaud) << "the line was not hung up";
    EXPECT_EQ(port.ComOpen(pty.slave(), 9600, kFrameN81), kComOk) << "lock released";
}

TEST_F(PosixSerialTest, OpenIsExclusive) {
    ASSERT_EQ(port.ComOpen(pty.slave(), 9600, kFrameN81), kComOk);

    ComPort second(PosixSerialDeviceFactory(), SystemClock());
    EXPECT_EQ(second.ComOpen(pty.slave(), 9600, kFrameN81), kComCannotOpen);
    EXPECT_FALSE(second.IsOpen());

    // Another program that locks the device is kept out as well.
    const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {  // without privileges TIOCEXCL already refuses the open
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), -1);
        ::close(fd);
    } else {
        EXPECT_EQ(errno, EBUSY);
    }

    ASSERT_EQ(port.ComClose(), kComOk);
    EXPECT_EQ(second.ComOpen(pty.slave(), 9600, kFrameN81), kComOk);
}

TEST_F(PosixSerialTest, OnlyExistingTerminalsOpen) {
    EXPECT_EQ(port.ComOpen("", 9600, kFrameN81), kComCannotOpen);
    EXPECT_EQ(port.ComOpen("/dev/quennet-no-such-tty", 9600, kFrameN81), kComCannotOpen);
    EXPECT_EQ(port.ComOpen("quennet-no-such-tty", 9600, kFrameN81), kComCannotOpen);

    char path[] = "/tmp/quennet-not-a-tty-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(port.ComOpen(path, 9600, kFrameN81), kComCannotOpen);
    ::unlink(path);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PosixSerialTest, EveryByteValueTravelsUnchangedBothWays) {
    // A pty has no low-latency flag: the request is refused and the port
    // works as it always does.
    port.ComSetLowLatency(true);
    ASSERT_EQ(port.ComOpen(pty.slave(), 115200, kFrameN81), kComOk);
    EXPECT_FALSE(port.LowLatencyGranted());
    EXPECT_EQ(port.ComAdapterLatencyMs(), std::nullopt);
    const Bytes all = AllByteValues();

    // Far end to port: no CR/LF mapping, no XON/XOFF, no signal characters.
    pty.Send(all);
    Bytes got;
    for (int b; got.size() < all.size() && (b = port.ComWaitByte(1000)) != -1;)
        got.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(got, all);
    EXPECT_EQ(port.ComReadByte(), -1);

    // Port to far end: no LF to CR LF.
    EXPECT_EQ(port.ComWrite(all.data(), all.size()), all.size());
    EXPECT_EQ(pty.Receive(all.size() + 1, 100), all);
    port.ComWriteByte(0x0A);
    port.ComWriteByte(0xFF);
    EXPECT_EQ(pty.Receive(3, 100), (Bytes{0x0A, 0xFF}));
}

TEST_F(PosixSerialTest, ReadHonoursTheWaitingCountAndCapacity) {
    ASSERT_EQ(port.ComOpen(pty.slave(), 9600, kFrameN81), kComOk);
    const Bytes sent = {0x00, 0x0D, 0x0A, 0xFF, 0x11, 0x13, 0x03, 0x7F, 0x04, 0x1A};
    pty.Send(sent);
    // Let the kernel hand the bytes over before reading.
    ASSERT_EQ(port.ComWaitByte(1000), 0x00);
    ASSERT_EQ(port.QueuedCount, sent.size() - 1) << "one query counted the whole run";
    std::uint8_t buf[64] = {};
    EXPECT_EQ(port.ComRead(buf, 4), 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes(sent.begin() + 1, sent.begin() + 5));
    EXPECT_EQ(port.QueuedCount, 0u);
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 5u);
    EXPECT_EQ(Bytes(buf, buf + 5), Bytes(sent.begin() + 5, sent.end()));
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 0u);
}

TEST_F(PosixSerialTest, DeviceReportsWaitingBytesAndPurgesThem) {
    PosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.slave()));
    std::uint32_t waiting = 99;
    ASSERT_TRUE(device.QueryWaiting(waiting));
    EXPECT_EQ(waiting, 0u);
    std::uint8_t b = 0;
    EXPECT_EQ(device.Read(&b, 1), 0) << "nothing there: no wait, no failure";

    pty.Send(Bytes{1, 2, 3, 4, 5, 6, 7});
    EXPECT_TRUE(WaitForWaiting(device, 7));
    EXPECT_TRUE(device.Purge(false, true));
    ASSERT_TRUE(device.QueryWaiting(waiting));
    EXPECT_EQ(waiting, 0u);
    EXPECT_EQ(device.Read(&b, 1), 0);
    EXPECT_FALSE(device.SetDtr(true)) << "a pty has no modem lines";
    EXPECT_TRUE(device.Close());
    EXPECT_TRUE(device.Close()) << "closing twice is harmless";
    EXPECT_FALSE(device.QueryWaiting(waiting));
    EXPECT_EQ(device.Read(&b, 1), -1);
}

TEST_F(PosixSerialTest, OpenDiscardsWhatArrivedBefore) {
    pty.Send(Bytes{'s', 't', 'a', 'l', 'e'});
    ::usleep(50 * 1000);
    ASSERT_EQ(port.ComOpen(pty.slave(), 9600, kFrameN81), kComOk);
    EXPECT_EQ(port.ComWaitByte(50), -1);
    pty.Send(Bytes{'n'});
    EXPECT_EQ(port.ComWaitByte(1000), 'n');
}

TEST_F(PosixSerialTest, WaitWakesOnAByteWrittenDuringIt) {
    ASSERT_EQ(port.ComOpen(pty.slave(), 115200, kFrameN81), kComOk);
    std::thread far([this] {
        ::usleep(30 * 1000);
        pty.Send(Bytes{0x79});
    });
    const int got = port.ComWaitByte(5000);
    far.join();
    EXPECT_EQ(got, 0x79);

    PosixSerialDevice closed;
    EXPECT_FALSE(closed.WaitReadable(1000)) << "a device that is not open cannot wait";
}

TEST_F(PosixSerialTest, FarEndVanishing) {
    ASSERT_EQ(port.ComOpen(pty.slave(), 115200, kFrameN81), kComOk);
    pty.CloseMaster();

    const auto t0 = SteadyClock::now();
    EXPECT_EQ(port.ComReadByte(), -1);
    std::uint8_t buf[16];
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 0u);
    port.ComWriteByte(0x55);
    const Bytes out(1000, 0xAA);
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), 0u);
    port.ComSetDtr(0);
    port.ComToggleRts();
    EXPECT_LT(MsSince(t0), 500) << "nothing waits for a device that has gone";

    EXPECT_EQ(port.ComWaitByte(20), -1);
    EXPECT_EQ(port.ComClose(), kComOk);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PosixSerialTest, StalledWriteGivesUpInsteadOfHanging) {
    // Nobody reads the master, so the pty stops taking bytes after a few KiB.
    ASSERT_EQ(port.ComOpen(pty.slave(), 4000000, kFrameN81), kComOk);
    const Bytes out(64 * 1024, 0x5A);
    const auto t0 = SteadyClock::now();
    const std::size_t taken = port.ComWrite(out.data(), out.size());
    const long long ms = MsSince(t0);
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, out.size());
    // 2000 ms without progress plus 164 ms of wire time, then it gives up.
    EXPECT_GE(ms, PosixSerialDevice::kWriteStallMs);
    EXPECT_LT(ms, PosixSerialDevice::kWriteStallMs + 1500);
    EXPECT_EQ(pty.Receive(out.size(), 500).size(), taken) << "the count is what was taken";
}

}  // namespace
}  // namespace quennet
