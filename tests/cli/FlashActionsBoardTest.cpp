// quennet-flash's read, erase and protection runs against quennet-board
// over a pseudo-terminal: their exit statuses, and stm32flash on the same
// board as an independent host.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BoardProcess.h"
#include "CliProcess.h"
#include "TempDir.h"

namespace quennet {
namespace {

using testing::LinesOf;
using testing::RunCli;
using testing::TempDir;

const std::string kFlash = QUENNET_FLASH_EXE;
const std::string kBoard = QUENNET_BOARD_EXE;
const std::string kStm32flash = "/usr/bin/stm32flash";

// Each action's exit status: 2 refused before the port is opened, 1 when
// the chip said no, 0 when it was done.
TEST(FlashActionsBoardTest, ExitStatusesOfReadEraseAndProtection) {
    TempDir dir;
    testing::BoardProcess board(kBoard, {"--chip", "stm32", "--product-id", "440", "--no-announce"},
                                dir.File("board.err"));
    ASSERT_TRUE(board.Started());
    const struct {
        std::vector<std::string> args;
        int code;
        std::string line;  // on standard error for 2, in the log otherwise
    } cases[] = {
        {{"--read", dir.File("a.txt")}, 2, "--read writes a file whose name ends in"},
        {{"--write-protect", "1,x"}, 2, "--write-protect takes sector numbers"},
        {{"--read", dir.File("no/a.bin")}, 2, "cannot be written"},
        {{"--erase", "--start", "0x08000001", "--length", "4"}, 1, "ERROR: The range does not cover whole pages"},
        {{"--write-protect", "0-1"}, 0, "Sectors 0,1 are write-protected; all others are not."},
        {{"--write-unprotect"}, 0, "Write protection removed from every sector."},
        {{"--readout-protect"}, 0, "The part resets to take on its new option bytes; its bootloader must be entered again."},
        {{"--read", dir.File("a.bin")}, 1, "ERROR: Read-out protection is on"},
        {{"--erase"}, 1, "ERROR: Read-out protection is on"},
        {{"--readout-protect"}, 1, "ERROR: The part refused the Readout Protect command (0x82); read-out protection may be on."},
        {{"--readout-unprotect"}, 0, "Read-out protection removed; the flash is erased."},
        {{"--erase"}, 0, "Erasing all 64 pages (global erase) ..."},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--port", board.Path(), "--target", "STM32-ANY-115200"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = RunCli(kFlash, args);
        EXPECT_EQ(r.exitCode, c.code) << c.line << "\n" << r.out << r.err;
        if (c.code == 2) {
            EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
            EXPECT_EQ(r.out, "");
            continue;
        }
        const auto lines = LinesOf(r.out);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(c.line, 0) == 0; }))
            << c.line << "\n" << r.out;
    }
}

// What Quennet reads equals what stm32flash reads; protection set by one
// host is seen and removed by the other.
TEST(FlashActionsBoardTest, Stm32flashAgreesOnReadsAndProtection) {
    if (::access(kStm32flash.c_str(), X_OK) != 0) GTEST_SKIP() << "stm32flash is not installed";
    TempDir dir;
    testing::BoardProcess board(kBoard, {"--chip", "stm32", "--product-id", "440", "--no-announce"},
                                dir.File("board.err"));
    ASSERT_TRUE(board.Started());
    // A pty reports 8N1 whatever was set: stm32flash needs -m 8n1 on it.
    auto stm32flash = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-b", "115200", "-m", "8n1"});
        args.push_back(board.Path());
        return RunCli(kStm32flash, args).exitCode;
    };
    auto quennet = [&](std::vector<std::string> args) {
        std::vector<std::string> all{"--port", board.Path(), "--target", "STM32-ANY-115200"};
        all.insert(all.end(), args.begin(), args.end());
        return RunCli(kFlash, all);
    };
    const std::string fw = QUENNET_TEST_DATA "/srec/stm32_app.s37";
    ASSERT_EQ(quennet({fw}).exitCode, 0);
    const std::string ours = dir.File("ours.bin"), theirs = dir.File("theirs.bin");
    ASSERT_EQ(quennet({"--read", ours, "--length", "0x2000"}).exitCode, 0);
    ASSERT_EQ(stm32flash({"-r", theirs, "-S", "0x08000000:8192"}), 0);
    EXPECT_EQ(testing::ReadBinary(ours), testing::ReadBinary(theirs));

    // stm32flash sets read-out protection: Quennet's read is refused, and its
    // unprotect lets stm32flash read (an erased flash) again.
    ASSERT_EQ(stm32flash({"-j"}), 0);
    EXPECT_EQ(quennet({"--read", ours, "--length", "16"}).exitCode, 1);
    EXPECT_EQ(quennet({"--readout-unprotect"}).exitCode, 0);
    ASSERT_EQ(stm32flash({"-r", theirs, "-S", "0x08000000:16"}), 0);
    EXPECT_EQ(testing::ReadBinary(theirs), std::vector<unsigned char>(16, 0xFF));
    // Quennet sets it: stm32flash cannot read until its -k removes it.
    EXPECT_EQ(quennet({"--readout-protect"}).exitCode, 0);
    EXPECT_NE(stm32flash({"-r", theirs, "-S", "0x08000000:16"}), 0);
    EXPECT_EQ(stm32flash({"-k"}), 0);
    // Write protection both ways round.
    EXPECT_EQ(quennet({"--write-protect", "2"}).exitCode, 0);
    EXPECT_EQ(stm32flash({"-u"}), 0);
    EXPECT_EQ(quennet({"--write-unprotect"}).exitCode, 0);
}

}  // namespace
}  // namespace quennet
