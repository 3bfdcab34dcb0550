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
    // The mass erase as the published frame has it: FCTL1 = ERASE | MERAS
    // under the key, a dummy write into main memory.
    static Bytes MassErase() { return Frame(0x18, 0xFF00, 0xA506); }
    // Puts a part of that loader version and device on the line.
    void Plug(Msp430BslTarget& part, std::uint16_t version, std::uint16_t deviceId = 0xF149) {
        part.Config().versionMajor = static_cast<std::uint8_t>(version >> 8);
        part.Config().versionMinor = static_cast<std::uint8_t>(version);
        part.Config().deviceId = deviceId;
        line.SetPeer(&part);
    }
    // The rest of the 19 mass erases that an F1xx needs before it is written.
    void EraseFully() {
        for (int i = 1; i < 19; ++i) ASSERT_EQ(Command(MassErase(), 50), Bytes{0x90});
    }
    void Unlock() {
        ASSERT_EQ(Command(MassErase()), Bytes{0x90});
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
    EXPECT_EQ(MassErase(), (Bytes{0x80, 0x18, 0x04, 0x04, 0x00, 0xFF, 0x06, 0xA5, 0x7D, 0xB9}));
    Bytes bad = MassErase();
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
    EXPECT_EQ(Exchange(MassErase()), Bytes{0x90});
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
    port.ComWrite(MassErase().data(), 10);
    const std::uint64_t sent = clock.NowUs();
    EXPECT_EQ(port.ComWaitByte(3000), 0x90);
    // Ten characters of 11 bits at 9600 baud, then 15.1 ms of erasing.
    EXPECT_NEAR(static_cast<double>(clock.NowUs() - sent), 11458 + 15134, 5000);
    EXPECT_EQ(target.At(0x2000), 0xFF);
    EXPECT_EQ(target.At(0xFFFF), 0xFF);
    EXPECT_EQ(target.At(0x0FF0), 0xF1);  // the boot ROM stays
    EraseFully();
    ASSERT_EQ(Command(Frame(0x10, 0, 0, Bytes(32, 0xFF))), Bytes{0x90});

    ASSERT_EQ(Command(Frame(0x12, 0x2000, 4, {0x0F, 0xF0, 0x12, 0x34})), Bytes{0x90});
    ASSERT_EQ(Command(Frame(0x12, 0x2000, 4, {0xF0, 0xFF, 0xFF, 0xFF})), Bytes{0x90});
    EXPECT_EQ(target.At(0x2000), 0x00);  // bits only go from 1 to 0
    EXPECT_EQ(target.At(0x2001), 0xF0);
    EXPECT_EQ(target.At(0x2002), 0x12);
    EXPECT_EQ(Command(Frame(0x12, 0x2001, 2, {1, 2})), Bytes{0xA0});    // odd start
    EXPECT_EQ(Command(Frame(0x12, 0x0FF0, 2, {1, 2})), Bytes{0xA0});    // boot ROM
    EXPECT_EQ(Command(Frame(0x12, 0xFFFE, 4, {1, 2, 3, 4})), Bytes{0xA0});  // past the top
    // 1.11 writes byte by byte: four writes of 100 us per block.
    EXPECT_EQ(target.BusyUs(), 19 * 15134u + 2 * 400u);
}

TEST_F(BslTargetTest, Version110WritesFlashOnlyThroughTheEnteredPatch) {
    target.Config().versionMinor = 0x10;
    Pattern();
    Unlock();
    EraseFully();
    const Bytes block = {0x11, 0x22};
    EXPECT_EQ(Command(Frame(0x12, 0x4000, 2, block)), Bytes{0xA0});
    Bytes patch(Msp430BslTarget::Patch110().begin(), Msp430BslTarget::Patch110().end());
    ASSERT_EQ(Command(Frame(0x12, 0x0220, 194, patch), 500), Bytes{0x90});  // RAM is fine
    ASSERT_EQ(Command(Frame(0x1A, 0x0220, 0)), Bytes{0x90});
    const std::uint64_t busy = target.BusyUs();
    EXPECT_EQ(Command(Frame(0x12, 0x4000, 2, block)), Bytes{0x90});
    EXPECT_EQ(target.BusyUs() - busy, 2 * target.WordWriteUs()) << "a 1.10 loader writes byte by byte";
    EXPECT_EQ(target.At(0x4000), 0x11);
    EXPECT_EQ(Command(Frame(0x12, 0x4002, 2, block)), Bytes{0xA0}) << "one block per entry";
    ASSERT_EQ(Command(Frame(0x1A, 0x0220, 0)), Bytes{0x90});
    EXPECT_EQ(Command(Frame(0x12, 0x4002, 2, block)), Bytes{0x90});

    // Load PC onto anything but the patch leaves the loader.
    ASSERT_EQ(Command(Frame(0x1A, 0x4000, 0)), Bytes{0x90});
    EXPECT_FALSE(target.Running());
    EXPECT_EQ(Exchange({0x80}), Bytes{});
}

// Erasing as the flash controller does it: FCTL1 from LL LH, a dummy write
// at AL AH; what each loader version answers and what is erased.
TEST_F(BslTargetTest, ErasesFollowFctl1AndAddressPerLoaderVersion) {
    struct Case {
        const char* what;
        std::uint16_t version;
        std::uint16_t deviceId;
        Bytes frame;
        std::uint8_t reply;
        bool infoErased, segmentErased, nextSegmentErased;  // 0x1000, 0x2000, 0x2200
    };
    const std::vector<Case> cases = {
        {"1.x: mass erase of address 0", 0x0111, 0xF149, Frame(0x18, 0, 0), 0x90, false, false, false},
        {"2.x: mass erase of address 0", 0x0202, 0xF249, Frame(0x18, 0, 0), 0xA0, false, false, false},
        {"2.x: mass erase", 0x0202, 0xF249, MassErase(), 0x90, true, true, true},
        {"wrong key", 0x0111, 0xF149, Frame(0x18, 0xFF00, 0x0006), 0x90, false, false, false},
        {"address outside the flash", 0x0160, 0xF149, Frame(0x18, 0x0200, 0xA506), 0x90, false, false, false},
        {"main memory only", 0x0111, 0xF149, Frame(0x18, 0xFF00, 0xA504), 0x90, false, true, true},
        {"erase segment", 0x0111, 0xF149, Frame(0x16, 0x2010, 0xA502), 0x90, false, true, false},
        {"1.60 checks a segment erase", 0x0160, 0xF149, Frame(0x16, 0x0000, 0xA502), 0xA0, false, false, false},
        {"1.11 does not", 0x0111, 0xF149, Frame(0x16, 0x0000, 0xA502), 0x90, false, false, false},
    };
    for (const auto& c : cases) {
        Msp430BslTarget part;
        Plug(part, c.version, c.deviceId);
        Pattern();
        Unlock();
        for (std::uint16_t a : {0x1000, 0x2000, 0x2200}) part.Preload(a, {0x12});
        EXPECT_EQ(Command(c.frame), Bytes{c.reply}) << c.what;
        EXPECT_EQ(part.At(0x1000) == 0xFF, c.infoErased) << c.what;
        EXPECT_EQ(part.At(0x2000) == 0xFF, c.segmentErased) << c.what;
        EXPECT_EQ(part.At(0x2200) == 0xFF, c.nextSegmentErased) << c.what;
        line.SetPeer(&target);
    }
    // Erase segment needs the password.
    Pattern();
    EXPECT_EQ(Command(Frame(0x16, 0x2000, 0xA502)), Bytes{0xA0});
    EXPECT_NE(target.At(0x2000), 0xFF);
}

TEST_F(BslTargetTest, EraseCheckAndVersionCommandsExistFrom150ExceptOn2x) {
    struct Case {
        std::uint16_t version;
        bool has;
    };
    for (const Case c : {Case{0x0111, false}, Case{0x0150, true}, Case{0x0161, true}, Case{0x0202, false}}) {
        Msp430BslTarget part;
        Plug(part, c.version);
        Pattern();
        // TX BSL version: the boot ROM's 16 bytes, without the password.
        const Bytes version = Command(Frame(0x1E, 0, 0));
        if (c.has) {
            ASSERT_EQ(version.size(), 22u) << c.version;
            EXPECT_EQ(Bytes(version.begin(), version.begin() + 6), (Bytes{0x80, 0x00, 0x10, 0x10, 0xF1, 0x49}));
            EXPECT_EQ(version[14], c.version >> 8);
            EXPECT_EQ(version[15], c.version & 0xFF);
        } else {
            EXPECT_EQ(version, Bytes{0xA0}) << c.version;
        }
        EXPECT_EQ(Command(Frame(0x1C, 0x1000, 0xF000)), Bytes{0xA0}) << "locked, or not there";
        Unlock();
        part.Preload(0x8001, {0x00});
        EXPECT_EQ(Command(Frame(0x1C, 0x1000, 0x7001)), Bytes{c.has ? std::uint8_t{0x90} : std::uint8_t{0xA0}});
        EXPECT_EQ(Command(Frame(0x1C, 0x1000, 0x7002)), Bytes{0xA0}) << "0x8001 is not blank";
        line.SetPeer(&target);
    }
}

TEST_F(BslTargetTest, ChangeBaudRateFixesTheLoadersRateFrom160) {
    auto talksAt = [&](std::uint32_t baud) {
        EXPECT_EQ(port.ComSetBaud(baud), kComOk);
        clock.Sleep(10);
        const bool answered = Exchange({0x80}) == Bytes{0x90};
        // A frame after the answered sync, so that the next sync is one.
        if (answered) Exchange(Frame(0x10, 0, 0, Bytes(32, 0x00)));
        return answered;
    };
    struct Case {
        std::uint16_t version, deviceId;
        std::uint8_t d1, d2, d3;
        std::uint8_t reply;
        std::uint32_t rate;  // the one rate it answers at afterwards; 0: any (not fixed), 1: none
    };
    const std::vector<Case> cases = {
        {0x0111, 0xF149, 0xE0, 0x87, 2, 0xA0, 0},      // not there: follows the host
        {0x0160, 0xF449, 0x00, 0xC8, 2, 0x90, 38400},  // F4xx clock bytes
        {0x0161, 0xF16C, 0xE0, 0x86, 1, 0x90, 19200},  // F1xx
        {0x0202, 0xF249, 0x80, 0x8C, 2, 0x90, 38400},  // F2xx
        {0x0160, 0xF449, 0xE0, 0x87, 2, 0x90, 1},      // another family's clock
        {0x0160, 0xF449, 0x00, 0xC8, 3, 0xA0, 0},      // no such rate
    };
    for (const auto& c : cases) {
        Msp430BslTarget part;
        Plug(part, c.version, c.deviceId);
        ASSERT_EQ(port.ComSetBaud(9600), kComOk);
        Pattern();
        // Not password protected.
        EXPECT_EQ(Command(Frame(0x20, static_cast<std::uint16_t>(c.d1 | c.d2 << 8), c.d3)), Bytes{c.reply})
            << std::hex << c.version;
        for (std::uint32_t baud : {9600u, 19200u, 38400u})
            EXPECT_EQ(talksAt(baud), c.rate == 0 || baud == c.rate) << std::hex << c.version << std::dec << " at " << baud;
        line.SetPeer(&target);
    }
}

TEST_F(BslTargetTest, EachFlashIsFullyErasedOnlyAfterItsFamilysCumulativeEraseTime) {
    struct Case {
        std::uint16_t deviceId;
        int erases;
        bool complete;
        std::uint64_t eraseUs = 0;  // 0: the family's cycles at 350 kHz
    };
    // F1xx and F4xx: 15.1 ms an erase against 200 ms; F2xx: 30.3 ms against 20.
    const Case cases[] = {{0xF149, 1, false}, {0xF149, 13, false}, {0xF149, 14, true},
                          {0xF449, 1, false}, {0xF449, 13, false}, {0xF449, 14, true},
                          {0x4152, 13, false}, {0x4152, 14, true},
                          {0xF249, 1, true},  {0xF249, 1, false, 15000}, {0xF249, 2, true, 15000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.deviceId) + " erased " + std::to_string(c.erases) + " times");
        Msp430BslTarget part;
        part.Config().massEraseUs = c.eraseUs;
        Plug(part, 0x0161, c.deviceId);
        part.Preload(0x4000, {0x00, 0x0F, 0xF0, 0x00});  // the old program
        Pattern();
        for (int i = 0; i < c.erases; ++i) ASSERT_EQ(Command(MassErase(), 50), Bytes{0x90});
        EXPECT_EQ(part.At(0x4000), 0xFF) << "reads as erased all the same";
        ASSERT_EQ(Command(Frame(0x10, 0, 0, Bytes(32, 0xFF))), Bytes{0x90});
        ASSERT_EQ(Command(Frame(0x12, 0x4000, 2, {0x5A, 0xFF})), Bytes{0x90});
        ASSERT_EQ(Command(Frame(0x12, 0x4002, 2, {0x5A, 0xFF})), Bytes{0x90});
        EXPECT_EQ(part.WritesOnIncompleteErase(), c.complete ? 0 : 2);
        const Bytes held = {part.At(0x4000), part.At(0x4001), part.At(0x4002), part.At(0x4003)};
        EXPECT_EQ(held, c.complete ? (Bytes{0x5A, 0xFF, 0x5A, 0xFF}) : (Bytes{0x00, 0x0F, 0x50, 0x00}));
        line.SetPeer(&target);
    }
    // A blank part from the factory needs no erase at all.
    Msp430BslConfig blank;
    blank.oldFirmware = false;
    const Msp430BslTarget fresh(blank);
    EXPECT_EQ(fresh.At(0xFFFE), 0xFF);
    EXPECT_EQ(fresh.At(0x0FF0), 0xF1);
}

}  // namespace
}  // namespace quennet
