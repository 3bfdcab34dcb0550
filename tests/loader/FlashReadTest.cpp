// Reading a chip into a file with quennet-flash's command, against the
// simulated bootloader on a virtual clock: the file's format follows its
// name and loads back through the program's own readers to the chip's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Msp430BslTarget.h"
#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "Stm32ChipModels.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "firmware/FirmwareWriter.h"
#include "loader/FlashCommand.h"
#include "loader/Msp430Program.h"
#include "loader/Stm32Program.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using Step = Stm32BootTarget::Step;

Lines SplitLf(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// The bytes a file holds from address on, as the program's readers see them.
Bytes LoadBack(const std::string& path, std::uint32_t address, std::size_t n) {
    const FirmwareFile file =
        ReadFirmwareFile(path, WriteFormatForName(path) == WriteFormat::RawBinary ? std::optional(address)
                                                                                   : std::nullopt);
    EXPECT_TRUE(file.ok()) << path << ": " << file.problem;
    Bytes bytes(n, 0xFF);
    for (const FirmwareChunk& c : file.chunks) {
        const std::uint64_t at = c.address;
        for (std::size_t i = 0; i < c.bytes.size(); ++i) {
            const std::uint64_t a = at + i;
            EXPECT_TRUE(a >= address && a < address + n) << path << " has a byte at " << a;
            if (a >= address && a < address + n) bytes[a - address] = c.bytes[i];
        }
    }
    return bytes;
}

TEST(FirmwareWriterTest, EachFormatLoadsBackToTheSameBytesAtTheSameAddresses) {
    testing::TempDir dir;
    Bytes data(0x1234);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 5);
    const struct {
        std::string name;
        std::uint32_t address;
        const char* firstData;  // the type of the data records
    } cases[] = {
        {"a.bin", 0x08000000, nullptr},       {"a.hex", 0x0800FF00, ":20FF0000"}, {"a.HEX", 0xF000, ":20F00000"},
        {"a.s19", 0x1100, "S123"},            {"a.s28", 0x10F000, "S224"},        {"a.s37", 0x08001000, "S325"},
        {"a.srec", 0x08000000, "S325"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File(c.name);
        ASSERT_EQ(WriteFirmwareFile(path, c.address, data), "") << c.name;
        if (c.firstData) {
            std::vector<std::uint8_t> text;
            std::string problem;
            ASSERT_TRUE(ReadWholeFile(path, text, problem));
            EXPECT_NE(std::string(text.begin(), text.end()).find(c.firstData), std::string::npos) << c.name;
        }
        EXPECT_EQ(LoadBack(path, c.address, data.size()), data) << c.name;
    }
    EXPECT_NE(WriteFirmwareFile(dir.File("a.txt"), 0, data), "");
    EXPECT_NE(WriteFirmwareFile(dir.File("none/a.bin"), 0, data), "");
}

class FlashReadTest : public ::testing::Test {
protected:
    FlashReadTest() : line(clock), chip(line, *FindStm32ChipModel(0x440)) {
        for (std::size_t i = 0; i < chip.Flash().size(); ++i)
            chip.Flash()[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
        line.SetPeer(&chip);
    }
    ~FlashReadTest() override { line.SetPeer(nullptr); }

    int Run(const std::vector<std::string>& args) {
        std::vector<std::string> all{"--port", "ttyQ0", "--target", "STM32-ANY-115200"};
        all.insert(all.end(), args.begin(), args.end());
        const FlashArgs parsed = ParseFlashArgs(all);
        EXPECT_EQ(parsed.error, "");
        out.str("");
        err.str("");
        line.ClearEvents();
        return command.Run(parsed.options);
    }
    Bytes FlashAt(std::uint32_t address, std::size_t n) const {
        const auto from = chip.Flash().begin() + (address - kStm32FlashBase);
        return Bytes(from, from + static_cast<long>(n));
    }

    VirtualClock clock{1000};
    SimLine line;
    Stm32BootTarget chip;
    testing::TempDir dir;
    std::ostringstream out, err;
    FlashCommand command{FlashHost{SimDeviceFactory(line), clock, out, err, {}}};
};

TEST_F(FlashReadTest, TheWholeFlashOrARangeReadsIntoTheFileItsNameAsksFor) {
    const struct {
        std::string name;
        std::vector<std::string> range;
        std::uint32_t address;
        std::size_t length;
    } cases[] = {
        {"all.bin", {}, 0x08000000, 0x10000},
        {"all.hex", {}, 0x08000000, 0x10000},
        {"part.s37", {"--start", "0x08000F01", "--length", "515"}, 0x08000F01, 515},
        {"tail.srec", {"--start=0x0800FFFF"}, 0x0800FFFF, 1},
        {"head.bin", {"--length", "256"}, 0x08000000, 256},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--read", dir.File(c.name)};
        args.insert(args.end(), c.range.begin(), c.range.end());
        ASSERT_EQ(Run(args), kFlashOk) << c.name << err.str() << out.str();
        EXPECT_EQ(LoadBack(dir.File(c.name), c.address, c.length), FlashAt(c.address, c.length)) << c.name;
        const Lines l = SplitLf(out.str());
        ASSERT_GE(l.size(), 9u);
        EXPECT_EQ(l[0], "Begin read STM32.");
        EXPECT_EQ(l[4], "ID: 0440 STM32F05xxx/F030x8, flash 64 KiB in 64 pages");
        EXPECT_EQ(l[5], "Reading " + std::to_string(c.length) + " bytes from " + FormatFlashAddress(c.address) +
                            " ...");
        EXPECT_EQ(l[6], std::string(64, '^'));
        EXPECT_EQ(l[7], "FILE Save: OK.");
        EXPECT_EQ(l[l.size() - 1].rfind("READ OK in ", 0), 0u) << l.back();
    }
    EXPECT_EQ(chip.Served(Step::Erase) + chip.Served(Step::Write), 0u);
}

TEST_F(FlashReadTest, BadRangesFilesAndProtectedPartsEndWithAClearLineAndEraseNothing) {
    const Bytes before = chip.Flash();
    const struct {
        std::vector<std::string> args;
        bool protect;
        int code;
        std::string err;       // the refusal, for exit status 2
        std::string lastLine;  // the run's failure line, for exit status 1
    } cases[] = {
        // Beyond what any STM32 has: refused before the port opens.
        {{"--read", dir.File("a.bin"), "--start", "0x07FFFFFF"}, false, kFlashBadCommand,
         "quennet-flash: the range to read starts at 0x07FFFFFF, outside the flash at 0x08000000 to "
         "0x081FFFFF\n",
         ""},
        {{"--read", dir.File("a.bin"), "--start", "0x081FFFF0", "--length", "17"}, false, kFlashBadCommand,
         "quennet-flash: the range to read ends at 0x08200000, beyond the flash's last byte at 0x081FFFFF\n", ""},
        {{"--read", dir.File("none/a.bin")}, false, kFlashBadCommand,
         "quennet-flash: " + dir.File("none/a.bin") + " cannot be written (No such file or directory)\n", ""},
        // Beyond this part's 64 KiB: the part had to tell its size first.
        {{"--read", dir.File("a.bin"), "--start", "0x08010000"}, false, kFlashRunFailed, "",
         "ERROR: The range starts at 0x08010000, outside the flash at 0x08000000 to 0x0800FFFF."},
        {{"--read", dir.File("a.bin"), "--start", "0x0800FF00", "--length", "0x101"}, false, kFlashRunFailed, "",
         "ERROR: The range ends at 0x08010000, beyond the flash's last byte at 0x0800FFFF."},
        {{"--read", dir.File("a.bin")}, true, kFlashRunFailed, "", kLineReadoutProtected},
    };
    for (const auto& c : cases) {
        chip.readoutProtected = c.protect;
        EXPECT_EQ(Run(c.args), c.code) << c.err << c.lastLine;
        if (c.code == kFlashBadCommand) {
            EXPECT_EQ(err.str(), c.err);
            EXPECT_EQ(out.str(), "");
            EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Open).empty());
        } else {
            const Lines l = SplitLf(out.str());
            ASSERT_GE(l.size(), 2u);
            EXPECT_EQ(l[l.size() - 2], c.lastLine);
            EXPECT_EQ(l.back(), "Restore Serial baud rate.");
        }
        EXPECT_FALSE(std::filesystem::exists(dir.File("a.bin"))) << c.lastLine;
    }
    EXPECT_EQ(chip.Flash(), before);
}

TEST_F(FlashReadTest, EraseTakesTheWholeFlashOrTheUnitsOfTheRangeAndNothingElse) {
    const Bytes before = chip.Flash();
    const struct {
        std::vector<std::string> args;
        int code;
        std::size_t erasedFrom, erasedTo;  // offsets that end up 0xFF
        std::string lastLine;              // the failure line, or the start of the good end
    } cases[] = {
        {{"--erase"}, kFlashOk, 0, 0x10000, "ERASE OK in "},
        {{"--erase", "--start", "0x08000400", "--length", "0x800"}, kFlashOk, 0x400, 0xC00, "ERASE OK in "},
        {{"--erase", "--start", "0x08000401", "--length", "0x400"}, kFlashRunFailed, 0, 0,
         "ERROR: The range does not cover whole pages: the pages it touches span 0x08000400 to 0x08000BFF."},
        {{"--erase", "--start", "0x0800FC00", "--length", "0x800"}, kFlashRunFailed, 0, 0,
         "ERROR: The range ends at 0x080103FF, beyond the flash's last byte at 0x0800FFFF."},
    };
    for (const auto& c : cases) {
        chip.Flash() = before;
        EXPECT_EQ(Run(c.args), c.code) << c.lastLine << err.str();
        Bytes expected = before;
        std::fill(expected.begin() + static_cast<long>(c.erasedFrom), expected.begin() + static_cast<long>(c.erasedTo),
                  0xFF);
        EXPECT_EQ(chip.Flash(), expected) << c.lastLine;
        const Lines l = SplitLf(out.str());
        ASSERT_GE(l.size(), 2u);
        EXPECT_EQ(l[0], "Begin erase STM32.");
        if (c.code == kFlashOk)
            EXPECT_EQ(l.back().rfind(c.lastLine, 0), 0u) << l.back();
        else
            EXPECT_EQ(l[l.size() - 2], c.lastLine);
    }
    // A range beyond any STM32 is refused before the port opens.
    EXPECT_EQ(Run({"--erase", "--start", "0x08200000"}), kFlashBadCommand);
    EXPECT_EQ(err.str(), "quennet-flash: the range to erase starts at 0x08200000, outside the flash at 0x08000000 "
                         "to 0x081FFFFF\n");
    EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Open).empty());
}

TEST_F(FlashReadTest, GoAloneStartsTheFirmwareWhereAskedWithoutTheResetPulse) {
    // A read ends with the reset pulse that starts the firmware.
    ASSERT_EQ(Run({"--read", dir.File("r.bin"), "--length", "4"}), kFlashOk);
    const std::size_t dtrWithReset = line.EventsOf(SimEvent::Kind::Dtr).size();
    int started = 0;
    chip.onGo = [&started](std::uint64_t) { ++started; };
    const struct {
        std::vector<std::string> args;
        int code;
        std::string line;
    } cases[] = {
        {{"--go"}, kFlashOk, "Starting the firmware at 0x08000000 (Go) ..."},
        {{"--go=0x08000400"}, kFlashOk, "Starting the firmware at 0x08000400 (Go) ..."},
        {{"--go=0x30000000"}, kFlashRunFailed, "ERROR: Go command failed."},
    };
    for (const auto& c : cases) {
        const int before = started;
        EXPECT_EQ(Run(c.args), c.code) << c.line;
        const Lines l = SplitLf(out.str());
        EXPECT_NE(std::find(l.begin(), l.end(), c.line), l.end()) << out.str();
        EXPECT_EQ(started - before, c.code == kFlashOk ? 1 : 0) << c.line;
        if (c.code == kFlashOk) {
            EXPECT_EQ(l.back().rfind("GO OK in ", 0), 0u) << l.back();
            EXPECT_LT(line.EventsOf(SimEvent::Kind::Dtr).size(), dtrWithReset) << c.line;
        }
    }
}

// The MSP430: the loader unlocked with the password of an erased part or
// with one from a file, nothing erased either way.
TEST_F(FlashReadTest, Msp430ReadsWithThePasswordItIsGivenAndEraseNothing) {
    Msp430BslTarget part;
    line.SetPeer(&part);
    Bytes vectors(32);
    for (std::size_t i = 0; i < vectors.size(); ++i) vectors[i] = static_cast<std::uint8_t>(0x40 + i);
    const std::string passwordFile = dir.File("fw.hex");
    // Only the upper half of the vectors given: the lower half is erased.
    std::fill(vectors.begin(), vectors.begin() + 16, 0xFF);
    ASSERT_EQ(WriteFirmwareFile(passwordFile, 0xFFF0, Bytes(vectors.begin() + 16, vectors.end())), "");
    const std::string noVectors = dir.File("novec.s19");
    ASSERT_EQ(WriteFirmwareFile(noVectors, 0xFFC0, Bytes(32, 1)), "");
    const struct {
        bool programmed;
        std::vector<std::string> args;
        int code;
        std::uint32_t address;
        std::size_t length;
        std::string message;  // the refusal, or the run's failure line
    } cases[] = {
        {false, {"--read", dir.File("m.s19")}, kFlashOk, 0x1100, 0xEF00, ""},
        {true, {"--read", dir.File("m.bin"), "--password", passwordFile, "--start", "0x1000", "--length", "0x102"},
         kFlashOk, 0x1000, 0x102, ""},
        {true, {"--read", dir.File("m.hex"), "--password", passwordFile, "--start=0xFF00"}, kFlashOk, 0xFF00, 0x100,
         ""},
        {true, {"--read", dir.File("m.hex")}, kFlashRunFailed, 0, 0, kLinePasswordRefused},
        {true, {"--read", dir.File("m.hex"), "--length", "3"}, kFlashBadCommand, 0, 0,
         "quennet-flash: the range to read is 3 bytes long, an odd number: the loader reads words\n"},
        {true, {"--read", dir.File("m.hex"), "--start", "0x0FFE"}, kFlashBadCommand, 0, 0,
         "quennet-flash: the range to read starts at 0x0FFE, outside the flash at 0x1000 to 0xFFFF\n"},
        {true, {"--read", dir.File("m.hex"), "--password", noVectors}, kFlashBadCommand, 0, 0,
         "quennet-flash: password file " + noVectors +
             ": gives no byte at 0xFFE0..0xFFFF, where a password is (the firmware's vector table)\n"},
        {true, {"--device-info", "--password", noVectors}, kFlashBadCommand, 0, 0,
         "quennet-flash: password file " + noVectors +
             ": gives no byte at 0xFFE0..0xFFFF, where a password is (the firmware's vector table)\n"},
        // Device info with the part's password erases nothing either.
        {true, {"--device-info", "--password", passwordFile}, kFlashOk, 0, 0, ""},
    };
    for (const auto& c : cases) {
        Msp430BslConfig fresh;
        fresh.oldFirmware = false;
        part = Msp430BslTarget{c.programmed ? Msp430BslConfig{} : fresh};
        // Bytes the erased part's vectors still leave readable.
        if (!c.programmed) part.Preload(0x3000, {1, 2, 3, 4});
        if (c.programmed) {
            Bytes code(0x2000);
            for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<std::uint8_t>(i * 5 + 3);
            part.Preload(0xE000, code);
            part.Preload(0x1000, Bytes(0x80, 0x11));
            part.Preload(0xFFE0, vectors);
        }
        const auto before = part.Memory();
        std::vector<std::string> all{"--port", "ttyQ0", "--target", "MSP430-9600"};
        all.insert(all.end(), c.args.begin(), c.args.end());
        const FlashArgs parsed = ParseFlashArgs(all);
        ASSERT_EQ(parsed.error, "");
        out.str("");
        err.str("");
        line.ClearEvents();
        EXPECT_EQ(command.Run(parsed.options), c.code) << c.message << err.str() << out.str();
        EXPECT_EQ(part.Memory(), before) << "nothing erased or written";
        if (c.code == kFlashBadCommand) {
            EXPECT_EQ(err.str(), c.message);
            EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Open).empty());
            continue;
        }
        const Lines l = SplitLf(out.str());
        ASSERT_GE(l.size(), 4u);
        EXPECT_EQ(l[0], c.args[0] == "--read" ? "Begin read MSP430." : "MSP430 Info.");
        if (c.args[0] != "--read") {
            EXPECT_EQ(l.back().rfind(kLineDeviceInfoTime, 0), 0u) << out.str();
            continue;
        }
        if (c.code != kFlashOk) {
            EXPECT_EQ(l.back(), c.message);
            continue;
        }
        EXPECT_EQ(l.back().rfind("READ OK in ", 0), 0u) << l.back();
        const std::string path = c.args[1];
        EXPECT_EQ(LoadBack(path, c.address, c.length),
                  Bytes(before.begin() + c.address, before.begin() + static_cast<long>(c.address + c.length)))
            << path;
    }
    line.SetPeer(&chip);
}

// The faster target reads at the rate it switches the loader to.
TEST_F(FlashReadTest, TheFasterMsp430TargetReadsAt38400) {
    Msp430BslConfig config;
    config.deviceId = 0xF449;
    config.versionMinor = 0x60;
    config.oldFirmware = false;
    Msp430BslTarget part(config);
    part.Preload(0x1000, {9, 8, 7, 6});
    line.SetPeer(&part);
    const FlashArgs parsed = ParseFlashArgs({"--port", "ttyQ0", "--target", "MSP430-38400", "--read",
                                             dir.File("f.bin"), "--start", "0x1000", "--length", "0x400"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(command.Run(parsed.options), kFlashOk) << out.str();
    const Lines l = SplitLf(out.str());
    EXPECT_NE(std::find(l.begin(), l.end(), "BSL baud rate changed to 38400."), l.end()) << out.str();
    EXPECT_EQ(LoadBack(dir.File("f.bin"), 0x1000, 0x400),
              Bytes(part.Memory().begin() + 0x1000, part.Memory().begin() + 0x1400));
    line.SetPeer(&chip);
}

// The four option-byte commands in turn on one part: each acknowledged
// twice, the part reset and its bootloader entered again; under read-out
// protection the write-protection commands and reads are refused.
TEST_F(FlashReadTest, ProtectionCommandsChangeThePartAndReenterItsBootloader) {
    const std::string reentry = "The part resets to take on its new option bytes; its bootloader must be entered again.";
    const struct {
        std::vector<std::string> args;
        int code;
        std::string line;  // a line the log must hold
        std::vector<std::uint8_t> sectors;
        bool protectedAfter;
    } cases[] = {
        {{"--write-protect", "3,0-1"}, kFlashOk, "Sectors 0,1,3 are write-protected; all others are not.", {0, 1, 3},
         false},
        // A protected sector is neither erased nor written; others are.
        {{"--erase", "--start", "0x08000C00", "--length", "0x400"}, kFlashRunFailed, "ERROR: Erasing Failure.",
         {0, 1, 3}, false},
        {{"--erase", "--start", "0x08002000", "--length", "0x400"}, kFlashOk, "Erasing 1 of 64 pages ...", {0, 1, 3},
         false},
        {{"--write-unprotect"}, kFlashOk, "Write protection removed from every sector.", {}, false},
        {{"--write-protect=7"}, kFlashOk, "Sectors 7 are write-protected; all others are not.", {7}, false},
        {{"--readout-protect"}, kFlashOk, reentry, {7}, true},
        {{"--write-unprotect"}, kFlashRunFailed,
         "ERROR: The part refused the Write Unprotect command (0x73); read-out protection may be on.", {7}, true},
        {{"--read", dir.File("p.bin")}, kFlashRunFailed, kLineReadoutProtected, {7}, true},
        {{"--readout-unprotect"}, kFlashOk, "Read-out protection removed; the flash is erased.", {7}, false},
    };
    for (const auto& c : cases) {
        const std::size_t gets = chip.Served(Step::Get);
        EXPECT_EQ(Run(c.args), c.code) << c.line << out.str();
        const Lines l = SplitLf(out.str());
        EXPECT_NE(std::find(l.begin(), l.end(), c.line), l.end()) << out.str();
        EXPECT_EQ(chip.writeProtectedSectors, c.sectors) << c.line;
        EXPECT_EQ(chip.readoutProtected, c.protectedAfter) << c.line;
        if (c.args[0] == "--erase") {
            const std::size_t at = std::stoul(c.args[2], nullptr, 16) - kStm32FlashBase;
            EXPECT_EQ(chip.Flash()[at] == 0xFF, c.code == kFlashOk) << c.args[2];
            continue;
        }
        if (c.code != kFlashOk) continue;
        // GET once to connect and once more after the reset.
        EXPECT_EQ(chip.Served(Step::Get) - gets, 2u) << c.line;
        EXPECT_NE(std::find(l.begin(), l.end(), reentry), l.end()) << out.str();
        EXPECT_EQ(l.back().rfind("PROTECTION OK in ", 0), 0u) << l.back();
    }
    EXPECT_EQ(chip.Flash(), Bytes(chip.Flash().size(), 0xFF)) << "the unprotect erased the flash";
}

// Erase alone on the MSP430, and read and erase on the STM32 targets of the
// F1 parts.
TEST_F(FlashReadTest, Msp430EraseAndTheF1TargetsReadAndErase) {
    Msp430BslConfig config;
    config.deviceId = 0xF449;  // a family that needs more than one mass erase
    Msp430BslTarget part(config);
    part.Preload(0x1100, Bytes(0x100, 0x12));
    line.SetPeer(&part);
    FlashArgs parsed = ParseFlashArgs({"--port", "ttyQ0", "--target", "MSP430-9600", "--erase"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(command.Run(parsed.options), kFlashOk) << out.str();
    Lines l = SplitLf(out.str());
    EXPECT_EQ(l.front(), "Begin erase MSP430.");
    EXPECT_EQ(l.back().rfind("ERASE OK in ", 0), 0u) << out.str();
    EXPECT_TRUE(std::all_of(part.Memory().begin() + 0x1000, part.Memory().end(), [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_GT(part.CommandsOf(0x18).size(), 1u) << "the family's erase time takes several mass erases";
    EXPECT_EQ(part.WritesOnIncompleteErase(), 0);

    Stm32BootTarget f1(line);  // an STM32F103 as the STM32-115200 target has it
    for (std::size_t i = 0; i < f1.Flash().size(); ++i) f1.Flash()[i] = static_cast<std::uint8_t>(i * 3);
    line.SetPeer(&f1);
    out.str("");
    parsed = ParseFlashArgs({"--port", "ttyQ0", "--target", "STM32-115200", "--read", dir.File("f1.hex"), "--length",
                             "0x1000"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(command.Run(parsed.options), kFlashOk) << out.str();
    EXPECT_EQ(LoadBack(dir.File("f1.hex"), kStm32FlashBase, 0x1000), Bytes(f1.Flash().begin(), f1.Flash().begin() + 0x1000));
    parsed = ParseFlashArgs({"--port", "ttyQ0", "--target", "STM32-57600", "--erase"});
    EXPECT_EQ(command.Run(parsed.options), kFlashOk) << out.str();
    EXPECT_EQ(f1.Flash(), Bytes(f1.Flash().size(), 0xFF));
    line.SetPeer(&chip);
}

TEST(FlashReadArgsTest, ReadMistakesAreRefusedOnTheCommandLine) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--target", "STM32-ANY-57600", "--read", "f.txt"},
         "--read writes a file whose name ends in .bin, .hex, .s19, .s28, .s37 or .srec, not f.txt"},
        {{"--target", "MSP430-9600", "--erase", "--start", "0x1100"},
         "--erase on the MSP430 targets erases the whole flash: --start and --length do not go with it"},
        {{"--target", "STM32-ANY-57600", "--read", "f.bin", "--password", "fw.s19"},
         "--password goes with --read or --device-info on the MSP430 targets"},
        {{"--target", "MSP430-9600", "--password", "fw.s19", "f.s19"},
         "--password goes with --read or --device-info on the MSP430 targets"},
        {{"--target", "STM32-ANY-57600", "--start", "0x08000000", "f.s37"},
         "--start and --length go with --read or --erase"},
        {{"--target", "STM32-ANY-57600", "--erase", "f.s37"}, "--erase takes no firmware file: f.s37"},
        {{"--target", "STM32-ANY-57600", "--erase", "--read", "f.bin"}, "--erase does not go with --read"},
        {{"--target", "MSP430-9600", "--readout-protect"}, "--readout-protect applies to the STM32 targets only, not MSP430-9600"},
        {{"--target", "STM32-57600", "--write-protect", "0,256"},
         "--write-protect takes sector numbers 0 to 255 such as 0,1,4-7, not 0,256"},
        {{"--target", "STM32-57600", "--write-protect", "3-1"},
         "--write-protect takes sector numbers 0 to 255 such as 0,1,4-7, not 3-1"},
        {{"--target", "STM32-57600", "--write-protect=1,", "--write-unprotect"},
         "--write-protect takes sector numbers 0 to 255 such as 0,1,4-7, not 1,"},
        {{"--target", "STM32-57600", "--readout-protect", "--write-unprotect"},
         "--readout-protect does not go with --write-unprotect"},
        {{"--target", "STM32-ANY-57600", "--readout-unprotect", "--erase"}, "--erase does not go with --readout-unprotect"},
        {{"--target", "STM32-ANY-57600", "--write-unprotect", "fw.s37"}, "--write-unprotect takes no firmware file: fw.s37"},
        {{"--target", "STM32-ANY-57600", "--go=0x8000000g"},
         "--go takes 0x and up to eight hex digits, or a decimal number, not 0x8000000g"},
        {{"--target", "STM32-ANY-57600", "--go", "--verify"}, "--verify goes with a firmware file, not with --go alone"},
        {{"--target", "STM32-ANY-57600", "--read", "f.bin", "fw.s37"}, "--read takes no firmware file: fw.s37"},
        {{"--target", "STM32-ANY-57600", "--read", "f.bin", "--verify"}, "--verify does not go with --read"},
        {{"--target", "STM32-ANY-57600", "--read", "f.bin", "--length", "0"}, "--length must not be 0"},
        {{"--target", "STM32-ANY-57600", "--read", "f.bin", "--length", "1k"},
         "--length takes 0x and up to eight hex digits, or a decimal number, not 1k"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--port", "p"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(ParseFlashArgs(args).error, c.message);
    }
}

}  // namespace
}  // namespace quennet
