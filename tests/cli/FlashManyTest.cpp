// quennet-flash on many quennet-board processes at once: boards that
// succeed, fail half-way, are unplugged or never answer, each in its own
// run; the production line that programs each board plugged in.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BoardProcess.h"
#include "CliProcess.h"
#include "Checked.h"
#include "PtyPair.h"
#include "Stm32Image.h"
#include "TempDir.h"
#include "core/Sha256.h"
#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareImage.h"
#include "loader/FirmwareCheck.h"
#include "loader/Loader.h"
#include "firmware/SRecord.h"
#include "loader/ProductionReport.h"
#include "serial/posix/PosixSerialDevice.h"

namespace quennet {
namespace {

using testing::LinesOf;
using testing::RunCli;
using testing::Stm32Image;
using testing::TempDir;

const std::string kFlash = QUENNET_FLASH_EXE;
const std::string kBoard = QUENNET_BOARD_EXE;

// A board whose flash is written to `<name>.bin` in the folder when it stops.
struct NamedBoard {
    NamedBoard(const TempDir& dir, const std::string& name, std::vector<std::string> options)
        : flashFile(dir.File(name + ".bin")) {
        for (const char* a : {"--no-announce", "--period", "0", "--flash-out"}) options.push_back(a);
        options.push_back(flashFile);
        process = std::make_unique<testing::BoardProcess>(kBoard, options, dir.File(name + ".err"));
    }
    std::string flashFile;
    std::unique_ptr<testing::BoardProcess> process;
};


bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string ShortOf(const std::string& pty) { return "pts" + pty.substr(pty.rfind('/') + 1); }

// The table row of a port, from the lines after the blank one.
std::string RowOf(const std::string& out, const std::string& port) {
    const auto table = out.rfind("\n\nBoard ");
    const auto at = out.find("  " + port + "  ", table);
    if (table == std::string::npos || at == std::string::npos) return "";
    return out.substr(out.rfind('\n', at) + 1, out.find('\n', at) - out.rfind('\n', at) - 1);
}

TEST(FlashManyTest, EachBoardEndsOnItsOwn) {
    TempDir dir;
    const std::string fw = dir.Write("app.s37", Stm32Image(0x4000));
    NamedBoard good(dir, "good", {"--uid", "0123456789ABCDEF01234567"});
    NamedBoard failing(dir, "failing", {"--fail-write", "20"});
    NamedBoard unplugged(dir, "unplugged", {});
    // A pseudo-terminal with nothing behind it: its other end is held and
    // never read or written.
    const testing::PtyPair silent;
    for (const auto* b : {&good, &failing, &unplugged}) ASSERT_TRUE(b->process->Started());
    ASSERT_FALSE(silent.path().empty());

    const std::string report = dir.File("boards.csv");
    bool pulled = false;
    const std::string pullAt = "[" + ShortOf(unplugged.process->Path()) + "] Programming ...";
    const auto r = RunCli(kFlash,
                          {"--port", good.process->Path(), "--port", failing.process->Path(), "--port",
                           unplugged.process->Path(), "--port", silent.path(), "--target", "STM32-115200",
                           "--report", report, fw},
                          60000, [&](pid_t, const std::string& out) {
                              if (!pulled && out.find(pullAt) != std::string::npos) {
                                  unplugged.process->Stop(SIGKILL);
                                  pulled = true;
                              }
                          });
    ASSERT_TRUE(pulled) << r.out << r.err;
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    const std::string g = "[" + ShortOf(good.process->Path()) + "] ";
    const std::string f = "[" + ShortOf(failing.process->Path()) + "] ";
    EXPECT_TRUE(Has(lines, f + "ERROR: Programming error.")) << r.out;
    EXPECT_TRUE(Has(lines, "[" + ShortOf(silent.path()) + "] " + "ERROR: Failed to Sync with Target, verify Power and Connection."))
        << r.out;
    const auto ok = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind(g + "PROGRAM OK in ", 0) == 0; });
    ASSERT_NE(ok, lines.end()) << r.out;

    // The table: one row per board, in the order of the command line.
    const struct {
        std::string port, part, uid, result;
    } rows[] = {
        {good.process->Path(), "0414 (High-density device)", "0123456789ABCDEF01234567", ok->substr(g.size())},
        {failing.process->Path(), "0414 (High-density device)", "-", "ERROR: Programming error."},
        {silent.path(), "-", "-", "ERROR: Failed to Sync with Target, verify Power and Connection."},
    };
    for (const auto& row : rows) {
        const std::string text = RowOf(r.out, row.port);
        EXPECT_NE(text.find("  " + row.part + "  "), std::string::npos) << text;
        EXPECT_NE(text.find("  " + row.uid + "  "), std::string::npos) << text;
        EXPECT_NE(text.find("  " + row.result + "  "), std::string::npos) << text;
    }
    EXPECT_NE(RowOf(r.out, unplugged.process->Path()).find("  ERROR: "), std::string::npos) << r.out;

    // The report: a header, then one row per board as each ended.
    const auto csv = LinesOf(testing::Slurp(report));
    ASSERT_EQ(csv.size(), 5u) << testing::Slurp(report);
    EXPECT_EQ(csv[0], "time,port,adapter_serial,chip_uid,part,firmware,firmware_sha256,verify,result,seconds");
    const std::string sha = Sha256OfFile(fw);
    ASSERT_EQ(sha.size(), 64u);
    for (const auto& row : rows) {
        const auto it = std::find_if(csv.begin(), csv.end(), [&](const std::string& l) {
            return l.find("," + row.port + ",") != std::string::npos;
        });
        ASSERT_NE(it, csv.end()) << row.port;
        EXPECT_NE(it->find("," + row.uid + "," + row.part + ",app.s37," + sha + ",no," + CsvField(row.result) + ","),
                  std::string::npos)
            << *it;
    }

    // The good board holds the image, whatever the others did.
    good.process->Stop();
    const auto flash = testing::ReadBinary(good.flashFile);
    FirmwareImage image;
    ASSERT_EQ(LoadSRecordFile(fw, image), kSRecOk);
    ASSERT_GE(flash.size(), 0x4000u);
    EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x4000, image.data()));

}

// Programmed, read into a file each, erased: each action reaches every
// board, and the table and the report say what was done.
TEST(FlashManyTest, ReadProtectionAndEraseReachEveryBoard) {
    TempDir dir;
    const std::string fw = dir.Write("app.s37", Stm32Image(0x400));
    NamedBoard a(dir, "a", {"--chip", "stm32", "--product-id", "468"});
    NamedBoard b(dir, "b", {"--chip", "stm32", "--product-id", "468"});
    ASSERT_TRUE(a.process->Started() && b.process->Started());
    const std::string report = dir.File("r.csv"), dump = dir.File("dump.hex");
    const std::vector<const NamedBoard*> boards{&a, &b};
    auto fileOf = [&](const NamedBoard* board) { return dir.File("dump-" + ShortOf(board->process->Path()) + ".hex"); };
    const struct {
        std::vector<std::string> action;
        std::string result;
    } steps[] = {
        {{fw}, "PROGRAM OK in "},
        {{"--read", dump, "--length", "0x400"}, "READ OK in "},
        // On a production line each board's file also has its number.
        {{"--watch", "--count", "2", "--read", dir.File("line.hex"), "--length", "0x400"}, "READ OK in "},
        {{"--write-unprotect"}, "PROTECTION OK in "},
        {{"--erase"}, "ERASE OK in "},
    };
    for (const auto& step : steps) {
        std::vector<std::string> args{"--port", a.process->Path(), "--port", b.process->Path(), "--target",
                                      "STM32-ANY-115200", "--report", report};
        args.insert(args.end(), step.action.begin(), step.action.end());
        const auto r = RunCli(kFlash, args, 60000);
        ASSERT_EQ(r.exitCode, 0) << step.result << r.out << r.err;
        for (const NamedBoard* board : boards)
            EXPECT_NE(RowOf(r.out, board->process->Path()).find("  " + step.result), std::string::npos) << r.out;
    }

    FirmwareImage written;
    ASSERT_EQ(LoadSRecordFile(fw, written), kSRecOk);
    const auto csv = LinesOf(testing::Slurp(report));
    ASSERT_EQ(csv.size(), 11u) << testing::Slurp(report);
    std::vector<std::string> paths{a.process->Path(), b.process->Path()};
    std::sort(paths.begin(), paths.end());
    for (std::size_t i = 0; i < paths.size(); ++i)
        EXPECT_TRUE(std::filesystem::exists(dir.File("line-" + ShortOf(paths[i]) + "-" + std::to_string(i + 1) + ".hex")))
            << paths[i];
    for (const NamedBoard* board : boards) {
        SCOPED_TRACE(board->process->Path());
        // Each board's own file holds what was written to it.
        const FirmwareFile back = ReadFirmwareFile(fileOf(board), std::nullopt);
        ASSERT_TRUE(back.ok()) << back.problem;
        FirmwareImage read;
        EXPECT_EQ(PlaceFirmware(back, FlashWindow{kStm32FlashBase, 0x400}, read), "");
        EXPECT_TRUE(std::equal(read.data(), read.data() + 0x400, written.data()));
        const std::string name = fileOf(board).substr(dir.File("").size());
        EXPECT_EQ(std::count_if(csv.begin(), csv.end(),
                                [&](const std::string& l) {
                                    return l.find("," + board->process->Path() + ",") != std::string::npos &&
                                           l.find("," + name + "," + Sha256OfFile(fileOf(board)) + ",no,READ OK in ") !=
                                               std::string::npos;
                                }),
                  1);
        // Erased at the end.
        board->process->Stop();
        const auto flash = testing::ReadBinary(board->flashFile);
        ASSERT_GE(flash.size(), 0x400u);
        EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](unsigned char c) { return c == 0xFF; }));
    }
    EXPECT_FALSE(std::filesystem::exists(dump)) << "no board reads into the file the command line names";
}

TEST(FlashManyTest, CtrlCStopsEveryBoardAtABlockBoundary) {
    TempDir dir;
    const std::string fw = dir.Write("big.s37", Stm32Image(0x10000));
    NamedBoard a(dir, "a", {}), b(dir, "b", {});
    ASSERT_TRUE(a.process->Started() && b.process->Started());
    bool sent = false;
    const std::string ma = "[" + ShortOf(a.process->Path()) + "] Programming ...";
    const std::string mb = "[" + ShortOf(b.process->Path()) + "] Programming ...";
    const auto r = RunCli(kFlash, {"--port", a.process->Path(), "--port", b.process->Path(), "--target",
                                   "STM32-115200", fw},
                          60000, [&](pid_t pid, const std::string& out) {
                              if (!sent && out.find(ma) != std::string::npos && out.find(mb) != std::string::npos) {
                                  ::kill(pid, SIGINT);
                                  sent = true;
                              }
                          });
    ASSERT_TRUE(sent);
    EXPECT_EQ(r.exitCode, 130) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    for (const auto* board : {&a, &b})
        EXPECT_TRUE(Has(lines, "[" + ShortOf(board->process->Path()) + "] ERROR: Run stopped by user.")) << r.out;
}

TEST(FlashManyTest, RefusedCommandLines) {
    TempDir dir;
    const std::string fw = dir.Write("app.s37", Stm32Image(0x400));
    const std::string none = dir.File("none.s37");
    NamedBoard a(dir, "a", {});
    ASSERT_TRUE(a.process->Started());
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--port", a.process->Path(), "--count", "2", "--target", "STM32-115200", fw},
         "quennet-flash: --count goes with --watch\nTry 'quennet-flash --help'.\n"},
        {{"--watch", "--target", "STM32-115200", fw},
         "quennet-flash: --watch needs the ports to watch (--ports PATTERN or --port)\nTry 'quennet-flash --help'.\n"},
        {{"--ports", dir.File("nothing*"), "--target", "STM32-115200", fw},
         "quennet-flash: no port matches " + dir.File("nothing*") + "\n"},
        // The file is read once, before any board is touched.
        {{"--port", a.process->Path(), "--port", a.process->Path() + "x", "--target", "STM32-115200", none},
         "quennet-flash: firmware file " + none + ": cannot be opened (No such file or directory)\n"},
        {{"--port", a.process->Path(), "--report", dir.File("no/such/dir.csv"), "--target", "STM32-115200", fw},
         "quennet-flash: report file " + dir.File("no/such/dir.csv") + " cannot be opened (No such file or directory)\n"},
    };
    for (const auto& c : cases) {
        const auto r = RunCli(kFlash, c.args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(testing::Slurp(dir.File("a.err")).find("bootloader"), std::string::npos);
}

// Boards come and go as links in a folder; one port is held by another
// program. Each board is programmed once, until the count is reached.
TEST(FlashManyTest, WatchProgramsEachBoardThatAppears) {
    TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir.File("ports"));
    const std::string fw = dir.Write("app.s37", Stm32Image(0x400));
    NamedBoard first(dir, "first", {}), second(dir, "second", {}), held(dir, "held", {});
    ASSERT_TRUE(first.process->Started() && second.process->Started() && held.process->Started());
    const std::string linkA = dir.File("ports/boardA"), linkB = dir.File("ports/boardB"),
                      linkH = dir.File("ports/boardH");
    PosixSerialDevice holder;
    ASSERT_TRUE(holder.Open(held.process->Path()));
    fs::create_symlink(held.process->Path(), linkH);
    fs::create_symlink(first.process->Path(), linkA);

    int step = 0;
    const auto r = RunCli(kFlash, {"--watch", "--ports", dir.File("ports/board*"), "--count", "2", "--report",
                                   dir.File("r.csv"), "--target", "STM32-115200", fw},
                          60000, [&](pid_t, const std::string& out) {
                              // The first board done: it goes, and once that
                              // is seen, the second comes in its place.
                              if (step == 0 && out.find("[boardA] done: PROGRAM OK") != std::string::npos) {
                                  fs::remove(linkA);
                                  step = 1;
                              }
                              if (step == 1 && out.find("[boardA] board gone") != std::string::npos) {
                                  fs::create_symlink(second.process->Path(), linkB);
                                  step = 2;
                              }
                          });
    EXPECT_EQ(step, 2) << r.out << r.err;
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto lines = LinesOf(r.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[boardA] new board on " + linkA + ": programming it"), 1)
        << r.out;
    EXPECT_TRUE(Has(lines, "[boardB] new board on " + linkB + ": programming it")) << r.out;
    EXPECT_TRUE(Has(lines, "[boardH] " + linkH + " is open in another program: left alone")) << r.out;
    const auto csv = LinesOf(testing::Slurp(dir.File("r.csv")));
    ASSERT_EQ(csv.size(), 3u);
    EXPECT_NE(csv[1].find("," + linkA + ","), std::string::npos);
    EXPECT_NE(csv[2].find("," + linkB + ","), std::string::npos);
    holder.Close();
}

}  // namespace
}  // namespace quennet
