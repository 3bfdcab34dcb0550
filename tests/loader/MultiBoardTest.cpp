#include "loader/MultiBoard.h"

#include <gtest/gtest.h>

#include "loader/FlashCommand.h"
#include "loader/ProductionReport.h"

namespace quennet {
namespace {

TEST(MultiBoardTest, ShortNames) {
    const struct {
        const char* port;
        const char* name;
    } cases[] = {
        {"/dev/ttyUSB0", "USB0"},
        {"/dev/ttyACM12", "ACM12"},
        {"COM7", "COM7"},
        {"\\\\.\\COM12", "COM12"},
        {"/dev/pts/3", "pts3"},
        {"/tmp/ports/boardA", "boardA"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "A50285BI"},
        {"/dev/serial/by-id/usb-FTDI_Dual_RS232-HS_FT2X9K-if01-port0", "FT2X9K-if01"},
    };
    for (const auto& c : cases) EXPECT_EQ(BoardShortName(c.port), c.name) << c.port;
}

TEST(MultiBoardTest, EachBoardReadsIntoAFileOfItsOwn) {
    const struct {
        const char* path;
        const char* tag;
        const char* file;
    } cases[] = {
        {"dump.hex", "USB0", "dump-USB0.hex"},
        {"out/v1.2/dump.s19", "A50285BI", "out/v1.2/dump-A50285BI.s19"},
        {"C:\\v1.2\\dump", "COM7", "C:\\v1.2\\dump-COM7"},
        {"dump.tar.bin", "pts3-2", "dump.tar-pts3-2.bin"},
    };
    for (const auto& c : cases) EXPECT_EQ(BoardFilePath(c.path, c.tag), c.file) << c.path;

    // The board's file replaces the one of the command line, before any "--".
    const ProductionArgs a =
        ParseProductionArgs({"--port", "A", "--port", "B", "--read", "d.hex", "--target", "STM32-ANY-115200", "--"});
    const std::vector<std::string> worker = WorkerArgs(a, "A", "d-A.hex");
    EXPECT_EQ(worker, (std::vector<std::string>{"--worker", "--port", "A", "--read", "d.hex", "--target",
                                                "STM32-ANY-115200", "--read=d-A.hex", "--"}));
    const FlashArgs run = ParseFlashArgs(std::vector<std::string>(worker.begin() + 1, worker.end()));
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.options.readPath, "d-A.hex");
}

TEST(MultiBoardTest, WildcardMatch) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"COM*", "COM3", true},   {"com*", "COM12", true}, {"COM?", "COM12", false},
        {"COM1?", "COM12", true}, {"*", "", true},         {"COM*3", "COM13", true},
        {"COM*3", "COM31", false}, {"", "COM1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(MultiBoardTest, OptionsTakenOutOfTheCommandLine) {
    const auto a = ParseProductionArgs({"--port", "A", "--target", "--port", "--port=B", "--ports", "/dev/ttyUSB*",
                                        "--watch", "--count=3", "--report", "r.csv", "--verify", "fw.s37"});
    EXPECT_EQ(a.error, "");
    EXPECT_EQ(a.ports, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(a.patterns, (std::vector<std::string>{"/dev/ttyUSB*"}));
    EXPECT_TRUE(a.watch);
    EXPECT_EQ(a.count, 3);
    EXPECT_EQ(a.reportPath, "r.csv");
    // "--port" as the value of --target stays the single run's business.
    EXPECT_EQ(a.runArgs, (std::vector<std::string>{"--target", "--port", "--verify", "fw.s37"}));
    EXPECT_EQ(WorkerArgs(a, "A"),
              (std::vector<std::string>{"--worker", "--port", "A", "--target", "--port", "--verify", "fw.s37"}));

    for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--watch", "--ports", "x", "--count", "0"}, "--count takes a number of boards from 1 up, not 0"},
             {{"--report"}, "--report needs a value"},
             {{"--watch=1"}, "option --watch takes no value"},
             {{"--worker", "--port", "A", "--port", "B"}, "--worker runs one --port alone"},
         })
        EXPECT_EQ(ParseProductionArgs(args).error, error);
}

// A run's result line, by what its worker said and how it ended.
TEST(MultiBoardTest, ResultLines) {
    const struct {
        std::vector<std::string> lines;
        int status;
        const char* result;
    } cases[] = {
        {{"L ID: 0414 (High-density device)", "L PROGRAM OK in 4.2 sec."}, 0, "PROGRAM OK in 4.2 sec."},
        {{"L ERROR: Programming error.", "L Restore Serial baud rate."}, 1, "ERROR: Programming error."},
        {{"E quennet-flash: port /dev/x is busy: another program has it open"}, 2,
         "port /dev/x is busy: another program has it open"},
        {{"Segmentation fault"}, 139, "Segmentation fault"},
        {{"L Begin program STM32."}, 137, "worker ended with status 137"},
    };
    for (const auto& c : cases) {
        BoardRun run;
        for (const std::string& l : c.lines) run.Take(ParseWorkerLine(l), 1.0);
        run.exitCode = c.status;
        EXPECT_EQ(run.ResultLine(), c.result);
        EXPECT_EQ(run.Ok(), c.status == 0);
    }
    BoardRun run;
    for (const char* l : {"L | Device: MSP430F149 |", "W 131072", "P 50 7200", "U 0011"}) run.Take(ParseWorkerLine(l), 2.0);
    EXPECT_EQ(run.part, "MSP430F149");
    EXPECT_EQ(run.uniqueId, "0011");
    EXPECT_EQ(run.LiveText(6.0), "50%  16.0 KiB/s  0:08 left");
}

TEST(MultiBoardTest, ReportFieldsAreQuotedWhereNeeded) {
    ReportRow row{"2024-05-01T14:03:22Z", "/dev/ttyUSB0", "A5", "-", "0414 (High-density device)", "a,b.s37",
                  "ab", true, "ERROR: Failed to Sync with Target, verify \"Power\".", 4.5};
    EXPECT_EQ(ReportLine(row), "2024-05-01T14:03:22Z,/dev/ttyUSB0,A5,-,0414 (High-density device),\"a,b.s37\",ab,yes,"
                               "\"ERROR: Failed to Sync with Target, verify \"\"Power\"\".\",4.500\n");
}

}  // namespace
}  // namespace quennet
