// The simulated MSP430 ROM loader, driven byte by byte from a port as the
// published protocol describes it (independently of the loader code).
#include "Msp430BslTarget.h"

#include <gtest/gtest.h>

#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "serial/ComPort.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t cmd, std::uint16_t address, std::uint16_t length, const Bytes& data = {}) {
    const auto l = static_cast<std::uint8_t>(data.size() + 4);
    Bytes f;
    f.reserve(data.size() + 10);
    for (std::uint8_t b : {std::uint8_t{0x80}, cmd, l, l, static_cast<std::uint8_t>(address),
                           static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(length),
                           static_cast<std::uint8_t>(length >> 8)})
        f.push_back(b);
    f.insert(f.end(), data.begin(), data.end());
    std::uint8_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < f.size(); ++i) (i % 2 ? hi : lo) ^= f[i];
    f.push_back(static_cast<std::uint8_t>(~lo));
    f.push_back(static_cast<std::uint8_t>(~hi));
    return f;
}

class BslTargetTest : public ::testing::Test {
protected:
    BslTargetTest() : line(clock), port(SimDeviceFactory(line), clock) {
        line.SetPeer(&target);
        EXPECT_EQ(port.ComOpen("ttyQ0", 9600, kFrameE81), kComOk);
        port.RtsPolarity = false;  // logical level = physical level here
    }

    // The entry pattern in physical levels: RST low, two TEST rising edges,
    // RST high while TEST is high, TEST low.
    void Pattern(bool testHighWhenRtsAsserted = false) {
        const int t1 = testHighWhenRtsAsserted ? 1 : 0;  // RTS level that gives TEST high
        const int steps[8][2] = {{1, t1}, {0, t1}, {0, 1 - t1}, {0, t1},
                                 {0, 1 - t1}, {0, t1}, {1, t1}, {1, 1 - t1}};
        for (const auto& s : steps) {
            port.ComSetDtr(s[0]);
            port.ComSetRts(s[1]);
            clock.Sleep(10);
        }
        while (port.ComReadByte() != -1) {}
    }
    // Sends bytes and collects what comes back within ms.
    Bytes Exchange(const Bytes& out, int ms = 100) {
        port.ComWrite(out.data(), out.size());
        Bytes in;
        for (int b; (b = port.ComWaitByte(ms)) != -1;) in.push_back(static_cast<std::uint8_t>(b));
        return in;
    }
    Bytes Command(const Bytes& frame, int ms = 100) {
        EXPECT_EQ(Exchange({0x80}), Bytes{0x90});
        return Exchange(frame, ms);
    }
    void Unlock() {
        ASSERT_EQ(Command(Frame(0x18, 0, 0)), Bytes{0x90});
        ASSERT_EQ(Command(Frame(0x10, 0, 0, Bytes(32, 0xFF))), Bytes{0x90});
    }

    VirtualClock clock;
    Msp430BslTarget target;  // outlives the line and the port that talk to it
    SimLine line;
    ComPort port;
};

TEST_F(BslTargetTest, EntersOnlyOnThePatternWithItsWiringAndMissedAttempts) {
    EXPECT_EQ(Exchange({0x80}), Bytes{});  // not in the loader after power-up
    Pattern(true);  // TEST the wrong way round for this board
    EXPECT_FALSE(target.Running());
    EXPECT_EQ(Exchange({0x80}), Bytes{});
    Pattern();
    EXPECT_TRUE(target.Running());
    EXPECT_EQ(Exchange({0x80}), Bytes{0x90});

    // A plain reset pulse starts the user program: silence.
    port.ComResetTarget();
    EXPECT_FALSE(target.Running());
    EXPECT_EQ(Exchange({0x80}), Bytes{});

    target.Config().missedEntries = 2;
    target.Config().testHighWhenRtsAsserted = true;
    target.Config().startupNoise = {0x00, 0xF0};
    Pattern(true);
    Pattern(true);
    EXPECT_FALSE(target.Running());
    port.ComSetDtr(0);
    port.ComSetRts(1);
    port.ComSetRts(0);
    port.ComSetRts(1);
    port.ComSetRts(0);
    port.ComSetRts(1);
    port.ComSetDtr(1);
    clock.Sleep(20);
    EXPECT_TRUE(target.Running());
    EXPECT_EQ(port.ComReadByte(), 0x00);  // the noise of the switch-over
    EXPECT_EQ(port.ComReadByte(), 0xF0);
    EXPECT_EQ(target.Entries(), 2);
}

TEST_F(BslTargetTest, FramesAreCheckedAndReadsNeedThePassword) {
    Pattern();
    // The published mass erase frame, byte for byte.
    EXPECT_EQ(Frame(0x18, 0, 0), (Bytes{0x80, 0x18, 0x04, 0x04, 0, 0, 0, 0, 0x7B, 0xE3}));
    Bytes bad = Frame(0x18, 0, 0);
    bad[9] ^= 0x10;
    EXPECT_EQ(Command(bad), Bytes{0xA0});
    EXPECT_EQ(Command({0x80, 0x18, 0x04, 0x06}), Bytes{0xA0});  // L1 != L2
    EXPECT_EQ(Command(Frame(0x14, 0x0FF0, 16)), Bytes{0xA0});   // locked
    EXPECT_EQ(Command(Frame(0x10, 0, 0, Bytes(32, 0xFF))), Bytes{0xA0})
        << "an old program's vectors are not all 0xFF";
    Unlock();
    const Bytes reply = Command(Frame(0x14, 0x0FF0, 16));
    ASSERT_EQ(reply.size(), 22u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), (Bytes{0x80, 0x00, 16, 16, 0xF1, 0x49}));
    EXPECT_EQ(reply[4 + 10], 0x01);
    EXPECT_EQ(reply[4 + 11], 0x11);
    std::uint8_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < 20; ++i) (i % 2 ? hi : lo) ^= reply[i];
    EXPECT_EQ(reply[20], static_cast<std::uint8_t>(~lo));
    EXPECT_EQ(reply[21], static_cast<std::uint8_t>(~hi));

    // A frame without its sync is not taken as a command: its header
    // passes for the sync.
    const auto commands = target.Commands().size();
    EXPECT_EQ(Exchange(Frame(0x18, 0, 0)), Bytes{0x90});
    EXPECT_EQ(target.Commands().size(), commands);
    // Another frame format garbles every byte.
    ASSERT_EQ(port.ComClose(), kComOk);
    ASSERT_EQ(port.ComOpen("ttyQ0", 9600, kFrameN81), kComOk);
    port.RtsPolarity = false;
    Pattern();
    EXPECT_EQ(Exchange({0x80}), Bytes{});
}

TEST_F(BslTargetTest, FlashKeepsWriteRulesAndTakesItsTime) {
    Pattern();
    target.Preload(0x2000, {0x0F, 0xF0});
    EXPECT_EQ(Exchange({0x80}), Bytes{0x90});
    port.ComWrite(Frame(0x18, 0, 0).data(), 10);
    const std::uint64_t sent = clock.NowUs();
    EXPECT_EQ(port.ComWaitByte(3000), 0x90);
    // Ten characters of 11 bits at 9600 baud, then 15.1 ms of erasing.
    EXPECT_NEAR(static_cast<double>(clock.NowUs() - sent), 11458 + 15134, 5000);
    EXPECT_EQ(target.At(0x2000), 0xFF);
    EXPECT_EQ(target.At(0xFFFF), 0xFF);
    EXPECT_EQ(target.At(0x0FF0), 0xF1);  // the boot ROM stays
    ASSERT_EQ(Command(Frame(0x10, 0, 0, Bytes(32, 0xFF))), Bytes{0x90});

    ASSERT_EQ(Command(Frame(0x12, 0x2000, 4, {0x0F, 0xF0, 0x12, 0x34})), Bytes{0x90});
    ASSERT_EQ(Command(Frame(0x12, 0x2000, 4, {0xF0, 0xFF, 0xFF, 0xFF})), Bytes{0x90});
    EXPECT_EQ(target.At(0x2000), 0x00);  // bits only go from 1 to 0
    EXPECT_EQ(target.At(0x2001), 0xF0);
    EXPECT_EQ(target.At(0x2002), 0x12);
    EXPECT_EQ(Command(Frame(0x12, 0x2001, 2, {1, 2})), Bytes{0xA0});    // odd start
    EXPECT_EQ(Command(Frame(0x12, 0x0FF0, 2, {1, 2})), Bytes{0xA0});    // boot ROM
    EXPECT_EQ(Command(Frame(0x12, 0xFFFE, 4, {1, 2, 3, 4})), Bytes{0xA0});  // past the top
    EXPECT_EQ(target.BusyUs(), 15134u + 2 * 200u);
}

TEST_F(BslTargetTest, Version110WritesFlashOnlyThroughTheEnteredPatch) {
    target.Config().versionMinor = 0x10;
    Pattern();
    Unlock();
    const Bytes block = {0x11, 0x22};
    EXPECT_EQ(Command(Frame(0x12, 0x4000, 2, block)), Bytes{0xA0});
    Bytes patch(Msp430BslTarget::Patch110().begin(), Msp430BslTarget::Patch110().end());
    ASSERT_EQ(Command(Frame(0x12, 0x0220, 194, patch), 500), Bytes{0x90});  // RAM is fine
    ASSERT_EQ(Command(Frame(0x1A, 0x0220, 0)), Bytes{0x90});
    EXPECT_EQ(Command(Frame(0x12, 0x4000, 2, block)), Bytes{0x90});
    EXPECT_EQ(target.At(0x4000), 0x11);
    EXPECT_EQ(Command(Frame(0x12, 0x4002, 2, block)), Bytes{0xA0}) << "one block per entry";
    ASSERT_EQ(Command(Frame(0x1A, 0x0220, 0)), Bytes{0x90});
    EXPECT_EQ(Command(Frame(0x12, 0x4002, 2, block)), Bytes{0x90});

    // Load PC onto anything but the patch leaves the loader.
    ASSERT_EQ(Command(Frame(0x1A, 0x4000, 0)), Bytes{0x90});
    EXPECT_FALSE(target.Running());
    EXPECT_EQ(Exchange({0x80}), Bytes{});
}

}  // namespace
}  // namespace quennet
