// quennet-flash against quennet-board: whole runs as a script makes them,
// over a real pseudo-terminal, checked by the exit code, the printed log and
// the flash the board holds afterwards.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BoardProcess.h"
#include "CliProcess.h"
#include "Stm32Image.h"
#include "TempDir.h"
#include "firmware/FirmwareImage.h"
#include "firmware/SRecord.h"
#include "loader/Stm32Program.h"
#include "serial/posix/PosixSerialDevice.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::Last;

using testing::LinesOf;

using testing::RunCli;
using testing::Stm32Image;
using testing::TempDir;

const std::string kFlash = QUENNET_FLASH_EXE;
const std::string kBoard = QUENNET_BOARD_EXE;

// A quennet-board process: its pty path is the first line it prints; its
// reports go to a file; the flash is written out when it is stopped.
class Board {
public:
    Board(const TempDir& dir, const std::vector<std::string>& options)
        : dir_(dir), process_(kBoard, Arguments(dir, options), dir.File("board.err")) {}

    const std::string& path() const { return process_.Path(); }
    // Stops the board; the flash it held, from its first address.
    std::vector<unsigned char> Stop() {
        process_.Stop();
        return testing::ReadBinary(dir_.File("flash.bin"));
    }
    std::string Reports() const { return testing::Slurp(dir_.File("board.err")); }

private:
    static std::vector<std::string> Arguments(const TempDir& dir, std::vector<std::string> options) {
        for (const char* a : {"--no-announce", "--flash-out"}) options.push_back(a);
        options.push_back(dir.File("flash.bin"));
        return options;
    }

    const TempDir& dir_;
    testing::BoardProcess process_;
};

bool StartsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// The image a file holds, as the loader reads it.
FirmwareImage Load(const std::string& path) {
    FirmwareImage image;
    EXPECT_EQ(LoadSRecordFile(path, image), kSRecOk);
    return image;
}

TEST(FlashBoardTest, ProgramsAndVerifiesEachFamily) {
    TempDir dir;
    {
        Board board(dir, {"--chip", "stm32"});
        ASSERT_FALSE(board.path().empty());
        const std::string fw = dir.Write("app.s37", Stm32Image(0x2400));
        const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-115200", "--verify", fw});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const auto lines = LinesOf(r.out);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[lines.size() - 3], std::string(64, '^')) << "the verify pass";
        EXPECT_TRUE(StartsWith(lines.back(), "PROGRAM OK in ")) << r.out;
        const auto flash = board.Stop();
        const FirmwareImage image = Load(fw);
        ASSERT_GE(flash.size(), 0x2800u);
        EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x2800, image.data()));
    }
    {
        Board board(dir, {"--chip", "msp430"});
        ASSERT_FALSE(board.path().empty());
        const std::string fw = QUENNET_TEST_DATA "/srec/msp430_blink.s19";
        const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "MSP430-19200", fw});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(StartsWith(Last(LinesOf(r.out)), "PROGRAM OK in ")) << r.out;
        // The board's dump starts at 0x1000; compare the whole space above.
        const auto flash = board.Stop();
        const FirmwareImage image = Load(fw);
        ASSERT_EQ(flash.size(), 0xF000u);
        EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.data() + 0x1000));
    }
}

// A read-out protected part: refused with a hint, then unprotected on
// request; Go starts the firmware, which the board reports.
TEST(FlashBoardTest, AnyTargetUnprotectsOnRequestAndStartsWithGo) {
    TempDir dir;
    const std::string fw = dir.Write("app.s37", Stm32Image(0x400));
    Board board(dir, {"--chip", "stm32", "--product-id", "468", "--rdp"});
    ASSERT_FALSE(board.path().empty());
    auto r = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-ANY-115200", fw});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(LinesOf(r.out).at(LinesOf(r.out).size() - 2), kLineReadoutProtected);
    EXPECT_EQ(r.err, "quennet-flash: run again with --unprotect to remove the read-out protection; this erases "
                     "the part's whole flash\n");

    r = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-ANY-115200", "--unprotect", "--go", fw});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Read-out protection removed; the flash is erased."), lines.end());
    const auto flash = board.Stop();
    const FirmwareImage image = Load(fw);
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x400, image.data()));
    EXPECT_NE(board.Reports().find("firmware (left the bootloader)"), std::string::npos) << board.Reports();
}

// The board follows the loader to 38400 without taking it for a new entry.
TEST(FlashBoardTest, TheFasterMsp430TargetSwitchesTheLoaderTo38400) {
    TempDir dir;
    Board board(dir, {"--chip", "msp430", "--device-id", "F449", "--bsl-version", "0160"});
    ASSERT_FALSE(board.path().empty());
    const std::string fw = QUENNET_TEST_DATA "/srec/msp430_blink.s19";
    const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "MSP430-38400", fw});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "BSL baud rate changed to 38400."), lines.end()) << r.out;
    EXPECT_TRUE(StartsWith(Last(lines), "PROGRAM OK in ")) << r.out;
    const auto flash = board.Stop();
    const FirmwareImage image = Load(fw);
    ASSERT_EQ(flash.size(), 0xF000u);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.data() + 0x1000));
}

TEST(FlashBoardTest, DeviceInfoShowsThePartAndItsLoader) {
    TempDir dir;
    Board board(dir, {"--chip", "msp430", "--device-id", "F16C", "--bsl-version", "0160"});
    ASSERT_FALSE(board.path().empty());
    const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "MSP430-9600", "--device-info"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_EQ(lines.size(), 10u) << r.out;
    EXPECT_EQ(lines[6], "| Device: MSP430F1611 |");
    EXPECT_EQ(lines[7], "| BSL Version:  1.60  |");
    EXPECT_TRUE(StartsWith(lines[9], "Request Device Info in "));
}

TEST(FlashBoardTest, CommandLineErrorsNeverReachTheBoard) {
    TempDir dir;
    Board board(dir, {"--chip", "stm32"});
    ASSERT_FALSE(board.path().empty());
    const std::string fw = QUENNET_TEST_DATA "/srec/stm32_app.s37";
    const struct {
        std::vector<std::string> args;
        std::string firstErrorLine;
    } cases[] = {
        {{"--port", board.path(), "--target", "STM32-9600", fw}, "quennet-flash: unknown target STM32-9600 (targets: MSP430-9600, "
                                                   "MSP430-19200, STM32-57600, STM32-115200, MSP430-38400, "
                                                   "STM32-ANY-115200, STM32-ANY-57600)"},
        // A name is matched whole, never by its start.
        {{"--port", board.path(), "--target", "MSP430-9600X", fw}, "quennet-flash: unknown target MSP430-9600X (targets: MSP430-9600, "
                                                   "MSP430-19200, STM32-57600, STM32-115200, MSP430-38400, "
                                                   "STM32-ANY-115200, STM32-ANY-57600)"},
        {{"--port", board.path(), "--target", "STM32-115200", dir.File("none.s37")},
         "quennet-flash: firmware file " + dir.File("none.s37") +
             ": cannot be opened (No such file or directory)"},
        // Data beyond the flash: refused before the board hears a byte.
        {{"--port", board.path(), "--target", "STM32-115200",
          dir.Write("far.s37", "S30908100000DEADBEEFA6\n")},
         "quennet-flash: firmware file " + dir.File("far.s37") +
             ": line 1: data at 0x08100000..0x08100003 lie outside the flash (0x08000000..0x0807FFFF); "
             "S3 addresses count from 0x08000000"},
        {{"--port", board.path(), "--target", "STM32-115200", "--toggle-tck", fw},
         "quennet-flash: --toggle-tck applies to the MSP430 targets only, not STM32-115200"},
        {{"--port", board.path() + "x", "--target", "STM32-115200", fw},
         "quennet-flash: port " + board.path() + "x was not found"},
    };
    for (const auto& c : cases) {
        const auto r = RunCli(kFlash, c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(LinesOf(r.err).at(0), c.firstErrorLine);
        EXPECT_EQ(r.out, "");
    }
    // Busy: another program holds the port.
    PosixSerialDevice holder;
    ASSERT_TRUE(holder.Open(board.path()));
    const auto busy = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-115200", fw});
    EXPECT_EQ(busy.exitCode, 2);
    EXPECT_EQ(busy.err, "quennet-flash: port " + board.path() + " is busy: another program has it open\n");
    EXPECT_EQ(busy.out, "");
    holder.Close();
    EXPECT_EQ(board.Reports().find("bootloader"), std::string::npos) << board.Reports();
}

TEST(FlashBoardTest, AChipThatIsNotThereDoesNotAnswer) {
    TempDir dir;
    // An MSP430 board asked for an STM32: the chip never acknowledges.
    Board board(dir, {"--chip", "msp430"});
    ASSERT_FALSE(board.path().empty());
    const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-115200",
                                   QUENNET_TEST_DATA "/srec/stm32_app.s37"});
    EXPECT_EQ(r.exitCode, 1);
    const auto lines = LinesOf(r.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "ERROR: Failed to Sync with Target, verify Power and Connection.");
    // Its firmware greets the line after every open: no bootloader there.
    EXPECT_EQ(lines[lines.size() - 2], "Bytes came after each reset, before the sync byte: the firmware runs "
                                       "instead of the bootloader (BOOT0 not high).");
    EXPECT_EQ(lines.back(), "Restore Serial baud rate.");
}

TEST(FlashBoardTest, CtrlCStopsTheRunAtABlockBoundary) {
    TempDir dir;
    Board board(dir, {"--chip", "stm32"});
    ASSERT_FALSE(board.path().empty());
    const std::string fw = dir.Write("big.s37", Stm32Image(0x10000));
    bool sent = false;
    auto sigintAfterThreePages = [&sent](pid_t pid, const std::string& out) {
        const auto at = out.find("\n^^^");
        if (!sent && at != std::string::npos && out.find("Programming ...") < at) {
            ::kill(pid, SIGINT);
            sent = true;
        }
    };
    const auto t0 = std::chrono::steady_clock::now();
    const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-115200", fw}, 30000,
                          sigintAfterThreePages);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(sent);
    EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], "ERROR: Run stopped by user.");
    EXPECT_EQ(lines.back(), "Restore Serial baud rate.");
    EXPECT_LT(lines[lines.size() - 3].size(), 64u) << "stopped before the pass ended";
    EXPECT_EQ(r.err, "quennet-flash: run stopped at a block boundary; the flash is erased and partly written\n");
    EXPECT_LT(seconds, 8.0) << "a whole run takes longer";

    // Whole blocks only: the flash holds the image up to a 256-byte boundary
    // and is blank after it.
    const auto flash = board.Stop();
    const FirmwareImage image = Load(fw);
    ASSERT_GE(flash.size(), 0x10000u);
    std::size_t written = 0;
    while (written < 0x10000 && flash[written] == image[written]) ++written;
    EXPECT_EQ(written % 256, 0u);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, 0x10000u);
    for (std::size_t a = written; a < 0x10000; ++a) ASSERT_EQ(flash[a], 0xFF) << a;
}

}  // namespace
}  // namespace quennet

namespace quennet {
namespace {

// What quennet-flash reads from each family equals what it wrote there:
// the STM32 without a password, the MSP430 (verified as written) unlocked
// with the password its own firmware file holds.
TEST(FlashBoardTest, ReadsBackWhatItWroteFromEachFamily) {
    TempDir dir;
    {
        Board board(dir, {"--chip", "stm32", "--product-id", "468"});
        ASSERT_FALSE(board.path().empty());
        const std::string fw = dir.Write("app.s37", Stm32Image(0x400));
        ASSERT_EQ(RunCli(kFlash, {"--port", board.path(), "--target", "STM32-ANY-115200", fw}).exitCode, 0);
        const std::string out = dir.File("back.hex");
        const auto r = RunCli(kFlash, {"--port", board.path(), "--target", "STM32-ANY-115200", "--read", out,
                                       "--length", "0x500"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(StartsWith(Last(LinesOf(r.out)), "READ OK in ")) << r.out;
        const FirmwareFile back = ReadFirmwareFile(out, std::nullopt);
        ASSERT_TRUE(back.ok()) << back.problem;
        FirmwareImage image;
        EXPECT_EQ(PlaceFirmware(back, FlashWindow{kStm32FlashBase, 0x500}, image), "");
        const auto flash = board.Stop();
        ASSERT_GE(flash.size(), 0x500u);
        EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x500, image.data()));
    }
    {
        Board board(dir, {"--chip", "msp430"});
        ASSERT_FALSE(board.path().empty());
        const std::string fw = QUENNET_TEST_DATA "/srec/msp430_blink.s19";
        auto r = RunCli(kFlash, {"--port", board.path(), "--target", "MSP430-19200", "--verify", fw});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const auto lines = LinesOf(r.out);
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Verify ..."), lines.end()) << r.out;
        const std::string out = dir.File("back.s19");
        r = RunCli(kFlash, {"--port", board.path(), "--target", "MSP430-19200", "--read", out, "--password", fw,
                            "--start", "0xFE00", "--length", "0x200"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const FirmwareImage written = Load(fw);
        const FirmwareImage read = Load(out);
        EXPECT_TRUE(std::equal(written.data() + 0xFE00, written.data() + 0x10000, read.data() + 0xFE00));
    }
}

}  // namespace
}  // namespace quennet
