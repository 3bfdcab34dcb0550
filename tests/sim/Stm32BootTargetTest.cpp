// The simulated STM32 bootloader, driven byte by byte through a port on a
// simulated line, as a host would see it on the wire.
#include "Stm32BootTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "SimSerialDevice.h"
#include "Stm32ChipModels.h"
#include "VirtualClock.h"
#include "serial/ComPort.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Step = Stm32BootTarget::Step;
using Fault = Stm32BootTarget::Fault;
using Mode = Stm32BootTarget::Mode;

constexpr std::uint8_t kAck = 0x79;
constexpr std::uint8_t kNack = 0x1F;

class Stm32BootTargetTest : public ::testing::Test {
protected:
    Stm32BootTargetTest() : line(clock), port(SimDeviceFactory(line), clock), target(line) {
        line.SetPeer(&target);
        EXPECT_EQ(port.ComOpen("ttyQ0", 115200, kFrameE81), kComOk);
    }
    // The port outlives the target and still moves its lines when it closes.
    ~Stm32BootTargetTest() override { line.SetPeer(nullptr); }

    // Pulses reset (DTR released) with RTS at the given physical level.
    void Reset(bool rtsAsserted) {
        port.RtsPolarity = false;
        port.ComSetRts(rtsAsserted ? 1 : 0);
        port.ComSetDtr(0);
        clock.Sleep(10);
        port.ComSetDtr(1);
        clock.Sleep(10);
    }
    void EnterAndSync() {
        Reset(false);
        Write({0x7F});
        ASSERT_EQ(Read(1), Bytes{kAck});
    }
    void Write(const Bytes& b) { port.ComWrite(b.data(), b.size()); }
    // Up to n bytes, each awaited for at most budgetMs.
    Bytes Read(std::size_t n, int budgetMs = 100) {
        Bytes out;
        while (out.size() < n) {
            const int b = port.ComWaitByte(budgetMs);
            if (b < 0) break;
            out.push_back(static_cast<std::uint8_t>(b));
        }
        return out;
    }
    static Bytes Address(std::uint32_t a) {
        Bytes b{static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(a >> 16),
                static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a)};
        b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
        return b;
    }
    static Bytes Frame(const Bytes& data) {
        // Byte by byte: MinGW's g++ 12 sees an out-of-bounds copy in a range
        // insert into a one-byte vector (a false -Warray-bounds).
        Bytes f;
        f.reserve(data.size() + 2);
        f.push_back(static_cast<std::uint8_t>(data.size() - 1));
        for (std::uint8_t b : data) f.push_back(b);
        std::uint8_t x = 0;
        for (std::uint8_t b : f) x ^= b;
        f.push_back(x);
        return f;
    }
    // A command with one frame after its ACK; returns both answers.
    Bytes Command(std::uint8_t code, const Bytes& frame, int budgetMs = 100) {
        Write({code, static_cast<std::uint8_t>(code ^ 0xFF)});
        Bytes got = Read(1);
        Write(frame);
        const Bytes a = Read(1, budgetMs);
        got.insert(got.end(), a.begin(), a.end());
        return got;
    }
    // A whole Write Memory; returns the three answers.
    Bytes WriteMemory(std::uint32_t address, const Bytes& data) {
        Write({0x31, 0xCE});
        Bytes got = Read(1);
        Write(Address(address));
        const Bytes a = Read(1);
        got.insert(got.end(), a.begin(), a.end());
        if (a != Bytes{kAck}) return got;
        Write(Frame(data));
        const Bytes c = Read(1);
        got.insert(got.end(), c.begin(), c.end());
        return got;
    }
    Bytes ReadMemory(std::uint32_t address, std::size_t count) {
        Write({0x11, 0xEE});
        Bytes got = Read(1);
        Write(Address(address));
        const Bytes a = Read(1);
        got.insert(got.end(), a.begin(), a.end());
        if (a != Bytes{kAck}) return got;
        const auto n = static_cast<std::uint8_t>(count - 1);
        Write({n, static_cast<std::uint8_t>(n ^ 0xFF)});
        const Bytes d = Read(count + 1, 10);
        got.insert(got.end(), d.begin(), d.end());
        return got;
    }

    VirtualClock clock;
    SimLine line;
    ComPort port;
    Stm32BootTarget target;
};

TEST_F(Stm32BootTargetTest, EntersOnlyThroughResetWithBoot0ThenSyncsAtWireRate) {
    // Without a reset the user firmware runs and ignores the sync byte.
    Write({0x7F});
    EXPECT_TRUE(Read(1).empty());
    // BOOT0 low (RTS asserted with the default wiring): firmware again.
    Reset(true);
    EXPECT_EQ(target.mode(), Mode::Running);
    Write({0x7F});
    EXPECT_TRUE(Read(1).empty());
    EXPECT_EQ(target.BootloaderStarts(), 0u);

    Reset(false);
    EXPECT_EQ(target.mode(), Mode::WaitSync);
    const std::uint64_t sent = clock.NowUs();
    Write({0x7F});
    ASSERT_EQ(port.ComWaitByte(10), kAck);
    // One character each way at 115200 E-8-1 (11 bits): 95.5 us each.
    const auto& log = line.WriteLog();
    EXPECT_EQ(log.back().arrivalUs, sent + 96);
    EXPECT_EQ(target.mode(), Mode::Bootloader);

    // The other wiring enters with RTS asserted; an inverted reset line
    // holds reset while DTR is asserted.
    target.boot0WhenRtsAsserted = true;
    Reset(true);
    EXPECT_EQ(target.mode(), Mode::WaitSync);
    target.resetWhenDtrAsserted = true;
    port.ComSetDtr(1);  // asserted: held in reset now
    EXPECT_EQ(target.mode(), Mode::InReset);
    port.ComSetDtr(0);
    clock.Sleep(10);
    EXPECT_EQ(target.mode(), Mode::WaitSync);
    EXPECT_EQ(target.BootloaderStarts(), 3u);

    // A frame other than 8 data bits with even parity is not understood.
    ASSERT_EQ(port.ComOpen("ttyQ0", 115200, kFrameN81), kComOk);
    target.resetWhenDtrAsserted = false;
    Reset(true);
    Write({0x7F});
    EXPECT_TRUE(Read(1).empty());
}

TEST_F(Stm32BootTargetTest, AnswersGetAndGetIdAndRefusesBadCommands) {
    EnterAndSync();
    Write({0x00, 0xFF});
    EXPECT_EQ(Read(15, 10), (Bytes{kAck, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43,
                                   0x63, 0x73, 0x82, 0x92, kAck}));
    target.productId = {0x04, 0x13};
    Write({0x02, 0xFD});
    EXPECT_EQ(Read(5, 10), (Bytes{kAck, 0x01, 0x04, 0x13, kAck}));
    Write({0x02, 0xFC});  // wrong complement
    EXPECT_EQ(Read(2, 10), Bytes{kNack});
    Write({0x99, 0x66});  // no such command
    EXPECT_EQ(Read(2, 10), Bytes{kNack});
    EXPECT_EQ(target.Served(Step::GetId), 1u);
    // The baud rate is fixed by the sync byte: another rate is garbage.
    ASSERT_EQ(port.ComOpen("ttyQ0", 57600, kFrameE81), kComOk);
    target.resetWhenDtrAsserted = true;  // keep the reopen from resetting it
    Write({0x00, 0xFF});
    EXPECT_TRUE(Read(1).empty());
}

TEST_F(Stm32BootTargetTest, WriteMemoryFollowsTheAddressLengthAndChecksumRules) {
    EnterAndSync();
    Bytes block(256);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);
    Write({0x31, 0xCE});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write(Address(0x08000100));
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write(Frame(block));
    const std::uint64_t lastArrives = line.WriteLog().back().arrivalUs;
    ASSERT_EQ(Read(1), Bytes{kAck});
    // The ACK leaves after 128 half-words of 52.5 us of programming.
    EXPECT_GE(clock.NowUs(), lastArrives + 6720 + 95);
    EXPECT_EQ(target.Flash()[0x100], 0x00);
    EXPECT_EQ(target.Flash()[0x1FF], 0xFF);
    EXPECT_EQ(target.Flash()[0x1FE], 0xFE);

    // A length that is not a whole word: the tail of the word stays blank.
    EXPECT_EQ(WriteMemory(0x08000500, {1, 2, 3, 4, 5}), (Bytes{kAck, kAck, kAck}));
    EXPECT_EQ(target.Flash()[0x504], 5);
    EXPECT_EQ(target.Flash()[0x505], 0xFF);

    // Refused: start not on a word, outside flash and RAM, past the end of
    // flash, the bootloader's own RAM, a bad address checksum.
    EXPECT_EQ(WriteMemory(0x08000102, {1, 2}), (Bytes{kAck, kNack}));
    EXPECT_EQ(WriteMemory(0x08080000, {1, 2, 3, 4}), (Bytes{kAck, kNack}));
    EXPECT_EQ(WriteMemory(0x0807FFFC, Bytes(8, 0)), (Bytes{kAck, kAck, kNack}));
    EXPECT_EQ(WriteMemory(0x20000100, {1, 2, 3, 4}), (Bytes{kAck, kNack}));
    EXPECT_EQ(WriteMemory(0x20001000, {1, 2, 3, 4}), (Bytes{kAck, kAck, kAck}));
    EXPECT_EQ(target.Ram()[0x1003], 4);
    Write({0x31, 0xCE});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Bytes bad = Address(0x08000000);
    bad[4] ^= 1;
    Write(bad);
    EXPECT_EQ(Read(1), Bytes{kNack});
    // A data checksum that does not match: NACK and nothing written.
    Write({0x31, 0xCE});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write(Address(0x08000800));
    ASSERT_EQ(Read(1), Bytes{kAck});
    Bytes frame = Frame({1, 2, 3, 4});
    frame.back() ^= 0x80;
    Write(frame);
    EXPECT_EQ(Read(1), Bytes{kNack});
    EXPECT_EQ(target.Flash()[0x800], 0xFF);
    // The last word of flash is writable.
    EXPECT_EQ(WriteMemory(0x0807FFFC, {9, 8, 7, 6}), (Bytes{kAck, kAck, kAck}));
    EXPECT_EQ(target.Flash()[0x7FFFF], 6);
    EXPECT_EQ(target.WriteAddresses().size(), 4u);
}

// A second write over programmed flash, family by family: F2/F4/F7 clear
// bits; F0/F1/F3 take only zeros in a half-word that is not erased (PGERR),
// programming the half-words before it; G0/G4/L4 take only zeros in a
// double word that is not erased (PROGERR); the H7 programs a flash word
// once after its erase.
TEST_F(Stm32BootTargetTest, WritesOverProgrammedFlashFollowTheFamilysRule) {
    const Bytes first{0x0F, 0xF0, 0x3C, 0xFF};
    struct Case {
        std::uint16_t id;
        Bytes second;
        bool accepted;
        Bytes after;  // the first four bytes
    };
    const Case cases[] = {
        {0x414, {0xF0, 0xF0, 0xFF, 0x00}, false, first},
        {0x414, {0x00, 0x00, 0x12, 0x34}, false, {0x00, 0x00, 0x3C, 0xFF}},
        {0x414, Bytes(32, 0x00), true, {0, 0, 0, 0}},
        {0x440, {0x00, 0xF0, 0x00, 0x00}, false, first},
        {0x413, {0xF0, 0xF0, 0xFF, 0x00}, true, {0x00, 0xF0, 0x3C, 0x00}},
        {0x460, Bytes(4, 0x00), false, first},
        {0x460, Bytes(32, 0x00), true, {0, 0, 0, 0}},
        {0x415, {0x0F, 0xF0, 0x3C, 0xFF}, false, first},
        {0x450, Bytes(32, 0x00), false, first},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        Stm32BootTarget chip(line, *FindStm32ChipModel(c.id));
        line.SetPeer(&chip);
        EnterAndSync();
        EXPECT_EQ(WriteMemory(0x08000400, first), (Bytes{kAck, kAck, kAck}));
        EXPECT_EQ(WriteMemory(0x08000400, c.second), (Bytes{kAck, kAck, c.accepted ? kAck : kNack}));
        EXPECT_EQ(Bytes(chip.Flash().begin() + 0x400, chip.Flash().begin() + 0x404), c.after);
        line.SetPeer(&target);
    }
}

// The flash size data register at the family's address, for the model's
// flash or a smaller part of its family; a board's part holds old firmware
// until it is erased.
TEST_F(Stm32BootTargetTest, FlashSizeRegisterAndOldFirmware) {
    struct Case {
        std::uint16_t id;
        std::uint32_t address;
        std::uint32_t bytes;  // 0: the model's own
        std::uint16_t kib;
        std::size_t pages;
    };
    const Case cases[] = {
        {0x414, 0x1FFFF7E0, 0, 512, 256},   {0x440, 0x1FFFF7CC, 0, 64, 64},
        {0x413, 0x1FFF7A22, 0, 1024, 12},   {0x413, 0x1FFF7A22, 0x80000, 512, 8},
        {0x449, 0x1FF0F442, 0, 1024, 8},    {0x460, 0x1FFF75E0, 0, 128, 64},
        {0x415, 0x1FFF75E0, 0x80000, 512, 256}, {0x450, 0x1FF1E880, 0, 2048, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        Stm32BootTarget chip(line, *FindStm32ChipModel(c.id), c.bytes);
        chip.LoadOldFirmware();
        line.SetPeer(&chip);
        EnterAndSync();
        EXPECT_EQ(ReadMemory(c.address, 2),
                  (Bytes{kAck, kAck, kAck, static_cast<std::uint8_t>(c.kib), static_cast<std::uint8_t>(c.kib >> 8)}));
        EXPECT_EQ(chip.Flash().size(), c.kib * 1024u);
        // The last page or sector erases; nothing lies beyond it.
        ASSERT_EQ(FindStm32ChipModel(c.id)->extendedErase, c.id != 0x414);
        if (c.id == 0x414) {
            line.SetPeer(&target);
            continue;
        }
        const std::uint16_t last = static_cast<std::uint16_t>(c.pages - 1);
        EXPECT_EQ(Command(0x44, {0x00, 0x00, static_cast<std::uint8_t>(last >> 8), static_cast<std::uint8_t>(last),
                                 static_cast<std::uint8_t>(last >> 8 ^ (last & 0xFF))},
                          5000),
                  (Bytes{kAck, kAck}));
        EXPECT_EQ(Command(0x44, {0x00, 0x00, static_cast<std::uint8_t>(c.pages >> 8),
                                 static_cast<std::uint8_t>(c.pages), static_cast<std::uint8_t>(c.pages >> 8 ^ (c.pages & 0xFF))}),
                  (Bytes{kAck, kNack}));
        EXPECT_EQ(chip.Flash().back(), 0xFF);
        EXPECT_EQ(std::count(chip.Flash().begin(), chip.Flash().end(), 0x00), 0);
        EXPECT_NE(chip.Flash().front(), 0xFF);
        line.SetPeer(&target);
    }
}

TEST_F(Stm32BootTargetTest, ReadMemoryAndEraseFollowTheirRules) {
    EnterAndSync();
    target.Flash()[0x10] = 0x12;
    target.Flash()[0x7FFFF] = 0x34;
    Bytes got = ReadMemory(0x08000010, 4);
    EXPECT_EQ(got, (Bytes{kAck, kAck, kAck, 0x12, 0xFF, 0xFF, 0xFF}));
    got = ReadMemory(0x0807FF00, 256);
    ASSERT_EQ(got.size(), 259u);
    EXPECT_EQ(got.back(), 0x34);
    EXPECT_EQ(ReadMemory(0x0807FFF0, 32), (Bytes{kAck, kAck, kNack}));  // past the end
    EXPECT_EQ(ReadMemory(0x1FFFF000, 4), (Bytes{kAck, kNack}));
    Write({0x11, 0xEE});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write(Address(0x08000000));
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write({0x03, 0xFB});  // not the complement of 3
    EXPECT_EQ(Read(2, 10), Bytes{kNack});

    // Global erase: 0xFF with checksum 0x00, ACK after the mass erase.
    Write({0x43, 0xBC});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write({0xFF, 0x01});
    EXPECT_EQ(Read(1), Bytes{kNack});
    EXPECT_EQ(target.Flash()[0x10], 0x12);
    Write({0x43, 0xBC});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write({0xFF, 0x00});
    const std::uint64_t arrives = line.WriteLog().back().arrivalUs;
    ASSERT_EQ(Read(1), Bytes{kAck});
    EXPECT_GE(clock.NowUs(), arrives + 40000);
    EXPECT_EQ(target.Flash()[0x10], 0xFF);
    EXPECT_EQ(target.Flash()[0x7FFFF], 0xFF);
    EXPECT_EQ(target.BusyUs(), 40000u);

    // Page erase of page 1 (0x800..0xFFF) only.
    target.Flash()[0x7FF] = 0;
    target.Flash()[0x800] = 0;
    Write({0x43, 0xBC});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write({0x00, 0x01, 0x01});
    EXPECT_EQ(Read(1), Bytes{kAck});
    EXPECT_EQ(target.Flash()[0x7FF], 0);
    EXPECT_EQ(target.Flash()[0x800], 0xFF);
}

TEST_F(Stm32BootTargetTest, EachStepCanBeToldToFail) {
    // Sync: a NACK keeps it waiting for sync; silence makes it deaf until reset.
    target.FailStep(Step::Sync, Fault::Nack, 1);
    target.FailStep(Step::Sync, Fault::Silence, 2);
    target.FailStep(Step::Sync, Fault::NackThenAck, 3);
    Reset(false);
    Write({0x7F});
    EXPECT_EQ(Read(2), Bytes{kNack});
    Write({0x7F});
    EXPECT_TRUE(Read(1).empty());
    EXPECT_EQ(target.mode(), Mode::Deaf);
    Reset(false);
    Write({0x7F});
    EXPECT_EQ(Read(2), (Bytes{kNack, kAck}));

    // Get: the reply bytes with gaps of 15 ms; Get ID: NACK then nothing.
    target.FailStep(Step::Get, Fault::SlowReply);
    Write({0x00, 0xFF});
    EXPECT_EQ(Read(3, 10), (Bytes{kAck}));  // the count byte is 15 ms late
    Read(20, 20);
    target.FailStep(Step::GetId, Fault::Nack);
    Write({0x02, 0xFD});
    EXPECT_EQ(Read(5, 10), Bytes{kNack});

    // Erase: a late ACK; Write: a stray 0x00 instead of ACK, data written.
    target.FailStep(Step::Erase, Fault::SlowReply);
    Write({0x43, 0xBC, 0xFF, 0x00});
    EXPECT_EQ(Read(1), Bytes{kAck});
    const std::uint64_t start = clock.NowUs();
    EXPECT_TRUE(Read(1, 50).empty());
    EXPECT_EQ(Read(1), Bytes{kAck});
    EXPECT_GE(clock.NowUs() - start, 40000u + 15000u);
    target.FailStep(Step::Write, Fault::WrongByte, 1);
    target.FailStep(Step::Write, Fault::Nack, 2);
    EXPECT_EQ(WriteMemory(0x08000000, {1, 2, 3, 4}), (Bytes{kAck, kAck, 0x00}));
    EXPECT_EQ(WriteMemory(0x08000004, {5, 6, 7, 8}), (Bytes{kAck, kAck, kNack}));
    EXPECT_EQ(target.Flash()[0], 1);
    EXPECT_EQ(target.Flash()[4], 0xFF);

    // Read: one data byte altered; then gaps between data bytes.
    target.wrongByteIndex = 2;
    target.FailStep(Step::Read, Fault::WrongByte, 1);
    target.FailStep(Step::Read, Fault::SlowReply, 2);
    EXPECT_EQ(ReadMemory(0x08000000, 4), (Bytes{kAck, kAck, kAck, 1, 2, 3 ^ 0x5A, 4}));
    EXPECT_EQ(ReadMemory(0x08000000, 4), (Bytes{kAck, kAck, kAck}));  // 10 ms is too short
    EXPECT_EQ(Read(4, 20), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(target.Served(Step::Read), 2u);
}

TEST_F(Stm32BootTargetTest, EachFamilyModelAnswersWithItsLoaderFlashAndWriteUnits) {
    for (const Stm32ChipModel& m : Stm32ChipModels()) {
        SCOPED_TRACE(m.part);
        Stm32BootTarget chip(line, m);
        line.SetPeer(&chip);
        EnterAndSync();
        Write({0x00, 0xFF});
        const Bytes get = Read(15, 10);
        ASSERT_EQ(get.size(), 15u);
        EXPECT_EQ(get[2], m.version);
        // Erase and Extended Erase exclude each other; loaders from v3.0 on
        // have only the latter.
        const bool erase = std::count(get.begin() + 3, get.end() - 1, 0x43) == 1;
        const bool extended = std::count(get.begin() + 3, get.end() - 1, 0x44) == 1;
        EXPECT_NE(erase, extended);
        EXPECT_EQ(extended, m.version >= 0x30);
        // The flash ends where the family's does.
        const std::uint32_t last = Stm32BootTarget::kFlashBase + m.FlashSize() - 4;
        EXPECT_EQ(ReadMemory(last, 4).size(), 7u);
        EXPECT_EQ(ReadMemory(last + 4, 4), (Bytes{kAck, kNack}));

        // Writes in whole units: a start inside one is refused, a short
        // write fills the rest of its unit with 0xFF.
        const std::uint32_t at = Stm32BootTarget::kFlashBase + 0x100, unit = m.programUnit;
        EXPECT_EQ(WriteMemory(at + (unit == 4 ? 2 : unit / 2), Bytes(8, 0x11)), (Bytes{kAck, kNack}));
        EXPECT_EQ(WriteMemory(at, {1, 2, 3, 4, 5}), (Bytes{kAck, kAck, kAck}));
        EXPECT_EQ(chip.Flash()[0x104], 5);
        for (std::uint32_t i = 5; i < 2 * unit; ++i) EXPECT_EQ(chip.Flash()[0x100 + i], 0xFF) << i;
        // That unit again, zeros padded with 0xFF: refused with ECC, bits
        // cleared without.
        const bool ecc = m.overwrite == Stm32ChipModel::Overwrite::UnitError ||
                         m.overwrite == Stm32ChipModel::Overwrite::UnitOnce;
        EXPECT_EQ(WriteMemory(at, {0, 0, 0, 0}), (Bytes{kAck, kAck, ecc ? kNack : kAck}));
        EXPECT_EQ(chip.Flash()[0x100], ecc ? 1 : 0);
        line.SetPeer(&target);
    }
}

TEST_F(Stm32BootTargetTest, ExtendedEraseTakesTwoBytePageNumbersAndSpecialCodes) {
    Stm32BootTarget f4(line, *FindStm32ChipModel(0x413));
    line.SetPeer(&f4);
    EnterAndSync();
    f4.Flash()[0x3FFF] = 0;
    f4.Flash()[0x4000] = 0;
    f4.Flash()[0x20000] = 0;
    // Not listed by GET on this loader.
    Write({0x43, 0xBC});
    EXPECT_EQ(Read(1), Bytes{kNack});

    auto extendedErase = [&](Bytes frame, int budgetMs) {
        std::uint8_t x = 0;
        for (std::uint8_t b : frame) x ^= b;
        frame.push_back(x);
        return Command(0x44, frame, budgetMs);
    };
    // Sectors 1 (16 KiB) and 5 (128 KiB): N = 1, the numbers, their XOR.
    const std::uint64_t start = clock.NowUs();
    EXPECT_EQ(extendedErase({0x00, 0x01, 0x00, 0x01, 0x00, 0x05}, 2000), (Bytes{kAck, kAck}));
    EXPECT_GE(clock.NowUs() - start, 250000u + 1000000u);
    EXPECT_EQ(f4.Flash()[0x3FFF], 0);
    EXPECT_EQ(f4.Flash()[0x4000], 0xFF);
    EXPECT_EQ(f4.Flash()[0x20000], 0xFF);
    EXPECT_EQ(f4.ErasedPages(), (std::vector<std::uint16_t>{1, 5}));
    // Refused: a wrong checksum, a sector it does not have, a bank code on
    // a single-bank part.
    Write({0x44, 0xBB});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write({0x00, 0x00, 0x00, 0x02, 0x03});
    EXPECT_EQ(Read(1), Bytes{kNack});
    EXPECT_EQ(extendedErase({0x00, 0x00, 0x00, 0x0C}, 100), (Bytes{kAck, kNack}));
    EXPECT_EQ(extendedErase({0xFF, 0xFE}, 100), (Bytes{kAck, kNack}));
    EXPECT_EQ(f4.Flash()[0x3FFF], 0);
    // 0xFFFF: everything, in the mass erase time.
    EXPECT_EQ(extendedErase({0xFF, 0xFF}, 9000), (Bytes{kAck, kAck}));
    EXPECT_EQ(f4.Flash()[0x3FFF], 0xFF);
    EXPECT_EQ(f4.SpecialErases(), std::vector<std::uint16_t>{0xFFFF});
    EXPECT_EQ(f4.BusyUs(), 1250000u + 8000000u);

    // A dual-bank part erases each bank on its own.
    Stm32BootTarget l4(line, *FindStm32ChipModel(0x415));
    line.SetPeer(&l4);
    EnterAndSync();
    l4.Flash()[0x7FFFF] = 0;
    l4.Flash()[0x80000] = 0;
    EXPECT_EQ(extendedErase({0xFF, 0xFD}, 100), (Bytes{kAck, kAck}));
    EXPECT_EQ(l4.Flash()[0x7FFFF], 0);
    EXPECT_EQ(l4.Flash()[0x80000], 0xFF);
    EXPECT_EQ(extendedErase({0xFF, 0xFE}, 100), (Bytes{kAck, kAck}));
    EXPECT_EQ(l4.Flash()[0x7FFFF], 0xFF);
    line.SetPeer(&target);
}

TEST_F(Stm32BootTargetTest, ReadoutProtectionHoldsUntilUnprotectErasesTheFlash) {
    target.readoutProtected = true;
    target.Flash()[0] = 0x12;
    EnterAndSync();
    Write({0x02, 0xFD});
    EXPECT_EQ(Read(5, 10).size(), 5u);
    for (std::uint8_t command : {0x11, 0x21, 0x31, 0x43}) {
        Write({command, static_cast<std::uint8_t>(command ^ 0xFF)});
        EXPECT_EQ(Read(1), Bytes{kNack}) << int(command);
    }
    // ACK, the mass erase, ACK, and a reset into the bootloader (BOOT0 is
    // still high), which wants a new sync byte.
    Write({0x92, 0x6D});
    EXPECT_EQ(Read(1), Bytes{kAck});
    const std::uint64_t first = clock.NowUs();
    EXPECT_EQ(Read(1), Bytes{kAck});
    EXPECT_GE(clock.NowUs() - first, 40000u - 200u);
    EXPECT_FALSE(target.readoutProtected);
    EXPECT_EQ(target.Flash()[0], 0xFF);
    EXPECT_EQ(target.BootloaderStarts(), 2u);
    clock.Sleep(5);
    Write({0x11, 0xEE});
    EXPECT_TRUE(Read(1).empty());
    Write({0x7F});
    ASSERT_EQ(Read(1), Bytes{kAck});
    EXPECT_EQ(ReadMemory(Stm32BootTarget::kFlashBase, 4), (Bytes{kAck, kAck, kAck, 0xFF, 0xFF, 0xFF, 0xFF}));

    // Readout Protect: set again, with a reset.
    Write({0x82, 0x7D});
    EXPECT_EQ(Read(2), (Bytes{kAck, kAck}));
    clock.Sleep(5);
    Write({0x7F});
    ASSERT_EQ(Read(1), Bytes{kAck});
    Write({0x11, 0xEE});
    EXPECT_EQ(Read(1), Bytes{kNack});
}

TEST_F(Stm32BootTargetTest, GoStartsTheFirmwareOnceItsAckIsOut) {
    std::vector<std::uint64_t> started;
    target.onGo = [&](std::uint64_t atUs) { started.push_back(atUs); };
    EnterAndSync();
    auto go = [&](const Bytes& address) { return Command(0x21, address); };
    Bytes bad = Address(Stm32BootTarget::kFlashBase);
    bad[4] ^= 1;
    EXPECT_EQ(go(bad), (Bytes{kAck, kNack}));
    EXPECT_EQ(go(Address(0x1FFF0000)), (Bytes{kAck, kNack}));  // neither flash nor RAM
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(go(Address(Stm32BootTarget::kFlashBase)), (Bytes{kAck, kAck}));
    EXPECT_EQ(target.mode(), Mode::Running);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0], clock.NowUs());  // the host has the ACK at that instant
    // The firmware does not answer the bootloader's sync.
    Write({0x7F});
    EXPECT_TRUE(Read(1).empty());
}

}  // namespace
}  // namespace quennet
