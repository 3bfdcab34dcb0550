// A COM port that wine maps onto a Linux pseudo-terminal, with the far end
// (tests/wine/pty_far_end.cpp) answering one-byte commands on the master.
// tests/wine/wine-tests.sh starts the far end, links the port to it and
// names the port in QUENNET_TEST_COM; without it these tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/Clock.h"
#include "serial/win32/Win32SerialDevice.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Steady = std::chrono::steady_clock;

long long MsSince(Steady::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - t0).count();
}

class Win32PtyLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* name = std::getenv("QUENNET_TEST_COM");
        if (!name || !*name)
            GTEST_SKIP() << "needs a COM port linked to a pty far end (tests/wine/wine-tests.sh)";
        name_ = name;
        ASSERT_TRUE(device_.Open(PortNameToPath(name_))) << "error " << device_.OpenError();
        ASSERT_TRUE(device_.SetSettings(LineSettings{115200, 8, Parity::None, 1}));
        ASSERT_TRUE(device_.Purge(true, true));
    }

    void Send(const Bytes& bytes) {
        ASSERT_EQ(device_.Write(bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    }

    // Collects n bytes, waiting at most timeoutMs in all.
    Bytes Receive(std::size_t n, int timeoutMs = 3000) {
        Bytes got;
        const auto t0 = Steady::now();
        while (got.size() < n && MsSince(t0) < timeoutMs) {
            if (!device_.WaitReadable(50000)) continue;
            std::uint8_t buffer[512];
            const long r = device_.Read(buffer, std::min<std::size_t>(sizeof buffer, n - got.size()));
            if (r < 0) break;
            got.insert(got.end(), buffer, buffer + r);
        }
        return got;
    }

    // The line as the far end's terminal settings show it.
    LineSettings FarEndSettings() {
        Send({'S'});
        const Bytes r = Receive(8);
        LineSettings s{0, 0, Parity::None, 0};
        if (r.size() != 8 || r[0] != 'S') {
            ADD_FAILURE() << "no settings reply (" << r.size() << " bytes)";
            return s;
        }
        s.baud = r[1] | (r[2] << 8) | (r[3] << 16) | (static_cast<std::uint32_t>(r[4]) << 24);
        s.dataBits = r[5];
        s.stopBits = r[6];
        s.parity = r[7] == 'O' ? Parity::Odd : (r[7] == 'E' ? Parity::Even : Parity::None);
        return s;
    }

    // Waits until exactly `expected` bytes are reported waiting.
    std::uint32_t WaitForCount(std::uint32_t expected, int timeoutMs = 3000) {
        std::uint32_t count = 0;
        const auto t0 = Steady::now();
        while (MsSince(t0) < timeoutMs) {
            EXPECT_TRUE(device_.QueryWaiting(count));
            if (count >= expected) break;
            Sleep(5);
        }
        return count;
    }

    std::string name_;
    Win32SerialDevice device_;
};

TEST_F(Win32PtyLineTest, BaudRateAndStopBitsReachTheFarEnd) {
    for (const LineSettings& s :
         {LineSettings{9600, 8, Parity::None, 2}, LineSettings{57600, 8, Parity::None, 1},
          LineSettings{19200, 8, Parity::None, 2}, LineSettings{115200, 8, Parity::None, 1}}) {
        ASSERT_TRUE(device_.SetSettings(s)) << s.baud;
        LineSettings mine;
        ASSERT_TRUE(device_.GetSettings(mine));
        EXPECT_EQ(mine.baud, s.baud);
        EXPECT_EQ(mine.stopBits, s.stopBits);
        const LineSettings remote = FarEndSettings();
        EXPECT_EQ(remote.baud, s.baud);
        EXPECT_EQ(remote.stopBits, s.stopBits) << s.baud;
        EXPECT_EQ(remote.dataBits, 8);
    }
    EXPECT_FALSE(device_.SetSettings(LineSettings{0, 8, Parity::None, 1}));
    EXPECT_EQ(FarEndSettings().baud, 115200u) << "a refused rate leaves the line as it was";
}

TEST_F(Win32PtyLineTest, EveryByteValueCrossesBothWays) {
    Bytes out{'E'};
    for (int i = 0; i < 256; ++i) out.push_back(static_cast<std::uint8_t>(i));
    Send(out);
    EXPECT_EQ(Receive(2), (Bytes{'E', 'Y'})) << "the far end saw 0..255 in order";

    Send({'A'});
    const Bytes in = Receive(256);
    ASSERT_EQ(in.size(), 256u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(in[i], i) << "at " << i;
}

TEST_F(Win32PtyLineTest, WaitingCountReadAndPurge) {
    Send({'C', 100});
    ASSERT_EQ(WaitForCount(100), 100u);
    Sleep(50);
    std::uint32_t count = 0;
    ASSERT_TRUE(device_.QueryWaiting(count));
    EXPECT_EQ(count, 100u) << "nothing more arrives";

    std::uint8_t buffer[64] = {};
    ASSERT_EQ(device_.Read(buffer, 40), 40);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(buffer[i], 0x30 + i % 64);
    ASSERT_TRUE(device_.QueryWaiting(count));
    EXPECT_EQ(count, 60u);

    ASSERT_TRUE(device_.Purge(false, true));
    ASSERT_TRUE(device_.QueryWaiting(count));
    EXPECT_EQ(count, 0u) << "purge discards what was waiting";
    EXPECT_EQ(device_.Read(buffer, sizeof buffer), 0) << "and a read then finds nothing";

    // The line still works after the purge, and reads take no more than asked.
    Send({'C', 5});
    ASSERT_EQ(WaitForCount(5), 5u);
    EXPECT_EQ(device_.Read(buffer, 3), 3);
    EXPECT_EQ(device_.Read(buffer, sizeof buffer), 2);
    EXPECT_EQ(buffer[1], 0x34);
}

TEST_F(Win32PtyLineTest, WaitWakesOnDataNotAtItsDeadline) {
    auto t0 = Steady::now();
    EXPECT_FALSE(device_.WaitReadable(200000));
    const long long silent = MsSince(t0);
    EXPECT_GE(silent, 195);
    EXPECT_LT(silent, 1500);

    Send({'D', 30});  // a byte after 300 ms
    t0 = Steady::now();
    EXPECT_TRUE(device_.WaitReadable(5000000));
    const long long woke = MsSince(t0);
    EXPECT_GE(woke, 250);
    EXPECT_LT(woke, 2500) << "woke at the byte, long before the 5 s deadline";
    std::uint8_t b = 0;
    EXPECT_EQ(device_.Read(&b, 1), 1);
    EXPECT_EQ(b, 'd');
}

TEST_F(Win32PtyLineTest, ComPortOpensTheNameAndReadsEveryValue) {
    device_.Close();
    ComPort port(DefaultSerialDeviceFactory(), SystemClock());
    ASSERT_EQ(port.ComOpen(name_, 57600, kFrameN81), kComOk);
    port.ComWriteByte('A');
    for (int i = 0; i < 256; ++i) ASSERT_EQ(port.ComWaitByte(2000), i) << "0xFF is no -1";
    EXPECT_EQ(port.ComWaitByte(20), -1);
    EXPECT_EQ(port.ComClose(), kComOk);
}

TEST_F(Win32PtyLineTest, CloseRestoresTheSettingsFoundAtOpen) {
    ASSERT_TRUE(device_.Close());  // puts back what the line had before SetUp

    Win32SerialDevice first;
    ASSERT_TRUE(first.Open(PortNameToPath(name_)));
    LineSettings found;
    ASSERT_TRUE(first.GetSettings(found));
    ASSERT_NE(found.baud, 57600u);
    ASSERT_TRUE(first.SetSettings(LineSettings{57600, 8, Parity::None, 2}));
    ASSERT_TRUE(first.Close());

    ASSERT_TRUE(device_.Open(PortNameToPath(name_)));
    LineSettings after;
    ASSERT_TRUE(device_.GetSettings(after));
    EXPECT_EQ(after.baud, found.baud) << "put back on close";
    EXPECT_EQ(after.stopBits, found.stopBits);
    const LineSettings remote = FarEndSettings();
    EXPECT_EQ(remote.baud, found.baud);
    EXPECT_EQ(remote.stopBits, found.stopBits);
}

TEST_F(Win32PtyLineTest, AWriteThatStallsGivesUp) {
    ASSERT_TRUE(device_.SetSettings(LineSettings{921600, 8, Parity::None, 1}));
    Send({'P', 80});  // the far end stops reading for 8 s
    Sleep(100);
    // Far more than the pty's buffers hold; zeros mean nothing to the far end.
    const Bytes zeros(256 * 1024, 0);
    const auto t0 = Steady::now();
    const long taken = device_.Write(zeros.data(), zeros.size());
    const long long ms = MsSince(t0);
    EXPECT_GE(taken, 0);
    EXPECT_LT(taken, static_cast<long>(zeros.size()));
    // The stall limit plus the wire time of the whole write at 921600 baud.
    const long long limit = Win32SerialDevice::kWriteStallMs + (10LL * 256 * 1024) * 1000 / 921600;
    EXPECT_GE(ms, Win32SerialDevice::kWriteStallMs);
    EXPECT_LT(ms, limit + 1500) << "gave up instead of waiting for the far end";
    EXPECT_TRUE(device_.Purge(true, true));
}

}  // namespace
}  // namespace quennet
