// The command-line flasher: its argument rules, and whole runs through
// FlashCommand against the simulated bootloaders on a virtual clock.
#include "loader/FlashCommand.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "Msp430BslTarget.h"
#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "firmware/SRecord.h"
#include "loader/FirmwareCheck.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::At;
using testing::Last;

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

// S-records for bytes at image offsets: S1 for an MSP430 image, S3 at the
// STM32 flash address otherwise; then the end record.
std::string SRecords(std::uint32_t offset, const Bytes& data, bool s1) {
    std::string text = "S0030000FC\n";
    for (std::size_t i = 0; i < data.size(); i += 16) {
        const std::size_t n = std::min<std::size_t>(16, data.size() - i);
        const std::uint32_t address =
            static_cast<std::uint32_t>(offset + i) + (s1 ? 0 : kStm32FlashBase);
        const int addrBytes = s1 ? 2 : 4;
        Bytes body{static_cast<std::uint8_t>(addrBytes + n + 1)};
        for (int k = addrBytes - 1; k >= 0; --k) body.push_back(static_cast<std::uint8_t>(address >> (8 * k)));
        body.insert(body.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
        std::uint8_t sum = 0;
        for (auto b : body) sum = static_cast<std::uint8_t>(sum + b);
        body.push_back(static_cast<std::uint8_t>(~sum));
        text += s1 ? "S1" : "S3";
        char hex[3];
        for (auto b : body) {
            std::snprintf(hex, sizeof hex, "%02X", b);
            text += hex;
        }
        text += "\n";
    }
    return text + (s1 ? "S9030000FC\n" : "S70508000000F2\n");
}

Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 % 255);
    return b;
}

Lines SplitLf(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// --- the command line ---------------------------------------------------------

TEST(FlashArgsTest, AcceptsTheWindowTargetsAndOptions) {
    FlashArgs a = ParseFlashArgs({"--port", "/dev/ttyUSB0", "--target", "STM32-115200", "--verify",
                                  "--invert-dtr", "fw.s19"});
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.options.port, "/dev/ttyUSB0");
    EXPECT_EQ(a.options.targetIndex, kTargetStm32_115200);
    EXPECT_EQ(a.options.firmwarePath, "fw.s19");
    EXPECT_TRUE(a.options.verify);
    EXPECT_TRUE(a.options.invertDtr);
    EXPECT_FALSE(a.options.toggleTck);
    EXPECT_FALSE(a.options.deviceInfo);

    // --name=value, any letter case in the target, options after the file,
    // and a file that looks like an option after "--".
    a = ParseFlashArgs({"fw.s19", "--target=msp430-19200", "--port=ttyS1", "--toggle-tck"});
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.options.targetIndex, kTargetMsp430_19200);
    EXPECT_EQ(a.options.port, "ttyS1");
    EXPECT_TRUE(a.options.toggleTck);
    a = ParseFlashArgs({"--port", "p", "--target", "STM32-57600", "--", "--odd.s19"});
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.options.firmwarePath, "--odd.s19");

    a = ParseFlashArgs({"--port", "p", "--target", "STM32-57600", "--address=0x08004000", "app.bin"});
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.options.binaryAddress, 0x08004000u);

    a = ParseFlashArgs({"--port", "p", "--target", "stm32-any-57600", "--unprotect", "--go", "f"});
    ASSERT_EQ(a.error, "");
    EXPECT_EQ(a.options.targetIndex, kTargetStm32Any_57600);
    EXPECT_TRUE(a.options.unprotect);
    EXPECT_TRUE(a.options.go);

    a = ParseFlashArgs({"--port", "p", "--target", "MSP430-9600", "--device-info", "--verbose"});
    ASSERT_EQ(a.error, "");
    EXPECT_TRUE(a.options.deviceInfo);
    EXPECT_TRUE(a.options.verbose);
    EXPECT_EQ(a.options.targetIndex, kTargetMsp430_9600);

    // Help needs nothing else and wins over everything else.
    a = ParseFlashArgs({"--target", "nonsense", "-h"});
    EXPECT_EQ(a.error, "");
    EXPECT_TRUE(a.options.help);
}

TEST(FlashArgsTest, EachMistakeGetsItsOwnMessage) {
    const std::string kTargets =
        "MSP430-9600, MSP430-19200, STM32-57600, STM32-115200, MSP430-38400, STM32-ANY-115200, STM32-ANY-57600";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--port", "p", "--target", "STM32-115200", "--fast", "f"}, "unknown option --fast"},
        {{"--target", "STM32-115200", "f"}, "no port given (--port " + ExamplePortName() + ", say)"},
        {{"--port", "p", "f"}, "no target given (--target NAME; targets: " + kTargets + ")"},
        {{"--port", "p", "--target", "AVR", "f"}, "unknown target AVR (targets: " + kTargets + ")"},
        {{"--port", "p", "--target", "BLACKFIN", "f"},
         "target BLACKFIN cannot be programmed yet (targets: " + kTargets + ")"},
        {{"--port", "p", "--target", "STM32-115200"}, "no firmware file given"},
        {{"--port", "p", "--target", "STM32-115200", "a", "b"}, "more than one firmware file given: a, b"},
        {{"--port", "p", "--target"}, "--target needs a value"},
        {{"--port=", "--target", "STM32-115200", "f"}, "--port needs a value"},
        {{"--port", "p", "--target", "STM32-115200", "--verify=yes", "f"},
         "option --verify takes no value"},
        {{"--port", "p", "--target", "STM32-115200", "--device-info"},
         "--device-info works with the MSP430 targets only, not STM32-115200"},
        {{"--port", "p", "--target", "MSP430-9600", "--device-info", "f"},
         "--device-info takes no firmware file"},
        // Options the family would ignore are refused rather than dropped.
        {{"--port", "p", "--target", "MSP430-9600", "--verify", "f"}, ""},  // both families read back
        {{"--port", "p", "--target", "STM32-57600", "--toggle-tck", "f"},
         "--toggle-tck applies to the MSP430 targets only, not STM32-57600"},
        {{"--port", "p", "--target", "STM32-57600", "--address", "0x8000000g", "f"},
         "--address takes 0x and up to eight hex digits, or a decimal number, not 0x8000000g"},
        {{"--port", "p", "--target", "MSP430-9600", "--device-info", "--address=0"},
         "--address goes with a firmware file, not with --device-info"},
        {{"--port", "p", "--target", "STM32-115200", "--unprotect", "f"},
         "--unprotect applies to the STM32-ANY targets only, not STM32-115200"},
        {{"--port", "p", "--target", "MSP430-9600", "--go", "f"},
         "--go applies to the STM32-ANY targets only, not MSP430-9600"},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseFlashArgs(c.args).error, c.message) << c.message;
}

// --- the printed log ------------------------------------------------------------

class CountingBuf : public std::stringbuf {
public:
    int syncs = 0;

protected:
    int sync() override {
        ++syncs;
        return std::stringbuf::sync();
    }
};

TEST(StreamStatusLogTest, PrintsAsItGrowsWithPlainLineFeedsAndFlushesOnRefresh) {
    CountingBuf buf;
    std::ostream out(&buf);
    StreamStatusLog log(out);
    AddStatusLine(log, "Programming ...");
    AppendStatusText(log, "^^");
    EXPECT_EQ(buf.str(), "Programming ...\n^^");  // the marks show before the line ends
    log.Refresh();
    EXPECT_EQ(buf.syncs, 1);
    AppendStatusText(log, "^\r");  // a break split over two appends
    AppendStatusText(log, "\nx\ry");
    AddStatusLine(log, "PROGRAM OK in ");
    AppendStatusText(log, "1.000 sec.");
    EXPECT_EQ(log.Text(), "Programming ...\r\n^^^\r\nx\ry\r\nPROGRAM OK in 1.000 sec.");
    log.Finish();
    EXPECT_EQ(buf.str(), "Programming ...\n^^^\nx\ry\nPROGRAM OK in 1.000 sec.\n");
    EXPECT_EQ(buf.syncs, 2);
}

TEST(StreamStatusLogTest, OnATerminalProgressShowsBehindTheMarksWhereItFits) {
    struct Case {
        int columns;
        std::size_t marks;
        std::string expected;  // after the marks
    };
    // Shown behind the marks, then blanked before the next piece.
    const std::string shown = "  [50%]" + std::string(7, '\b') + std::string(7, ' ') + std::string(7, '\b') + "^\n";
    const std::vector<Case> table = {
        {0, 2, "^\n"},    // no terminal: the output stays the log's alone
        {80, 2, shown},
        {80, 74, "^\n"},  // a line near the right edge would wrap: nothing is shown
        {40, 42, shown},  // positions count within the row a long line wrapped to
    };
    for (const Case& c : table) {
        std::ostringstream out;
        StreamStatusLog log(out, c.columns);
        AppendStatusText(log, std::string(c.marks, '^'));
        log.ShowProgress("50%");
        AppendStatusText(log, "^");
        log.Finish();
        EXPECT_EQ(out.str(), std::string(c.marks, '^') + c.expected) << c.columns << " " << c.marks;
        EXPECT_EQ(log.Text(), std::string(c.marks + 1, '^'));
    }
}

// --- whole runs -------------------------------------------------------------------

class FlashCommandTest : public ::testing::Test {
protected:
    FlashCommandTest() : line(clock), stm32(line) {}
    ~FlashCommandTest() override { line.SetPeer(nullptr); }

    FlashOptions Options(int target, const std::string& file = "") {
        FlashOptions o;
        o.port = "ttyQ0";
        o.targetIndex = target;
        o.firmwarePath = file;
        return o;
    }
    int Run(const FlashOptions& o) {
        out.str("");
        err.str("");
        line.ClearEvents();
        const int code = command.Run(o);
        EXPECT_FALSE(port().IsOpen()) << "the port is closed when the command ends";
        return code;
    }
    ComPort& port() { return command.port(); }
    Lines OutLines() const { return SplitLf(out.str()); }
    std::size_t Opens() const { return line.EventsOf(SimEvent::Kind::Open).size(); }

    VirtualClock clock{1000};
    SimLine line;
    Stm32BootTarget stm32;
    Msp430BslTarget msp430;
    testing::TempDir dir;
    std::ostringstream out, err;
    FlashCommand command{FlashHost{SimDeviceFactory(line), clock, out, err}};
};

TEST_F(FlashCommandTest, Stm32ProgramWithVerifyPrintsTheWholeLogAndExitsZero) {
    line.SetPeer(&stm32);
    const Bytes data = Pattern(0x3000);
    FlashOptions o = Options(kTargetStm32_115200, dir.Write("fw.s37", SRecords(0x1000, data, false)));
    o.verify = true;
    ASSERT_EQ(Run(o), kFlashOk) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(out.str().find('\r'), std::string::npos);
    const Lines l = OutLines();
    ASSERT_GE(l.size(), 14u);
    EXPECT_EQ(l[0], "Begin program STM32.");
    EXPECT_EQ(l[3], "BSL Enter ...");
    EXPECT_EQ(l[l.size() - 6].substr(0, 3), "**-");  // the page map
    EXPECT_EQ(l[l.size() - 5], std::string(64, '^'));
    EXPECT_EQ(l[l.size() - 4], "Verify ...");
    EXPECT_EQ(l[l.size() - 3], std::string(64, '^'));
    EXPECT_EQ(l[l.size() - 2], "Restore Serial baud rate.");
    EXPECT_EQ(l.back().rfind("PROGRAM OK in ", 0), 0u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), stm32.Flash().begin() + 0x1000));
    EXPECT_EQ(stm32.ReadAddresses().size(), stm32.WriteAddresses().size());
    // After the last byte, the reset pulse that starts the new firmware:
    // DTR released for 250 ms, then asserted again.
    const auto& ev = line.Events();
    std::size_t last = 0;
    for (std::size_t i = 0; i < ev.size(); ++i)
        if (ev[i].kind == SimEvent::Kind::Write) last = i;
    std::vector<SimEvent> dtr;
    for (std::size_t i = last; i < ev.size(); ++i)
        if (ev[i].kind == SimEvent::Kind::Dtr) dtr.push_back(ev[i]);
    ASSERT_GE(dtr.size(), 2u);
    EXPECT_FALSE(dtr[dtr.size() - 2].level);
    EXPECT_TRUE(dtr.back().level);
    EXPECT_EQ(dtr.back().atUs - dtr[dtr.size() - 2].atUs, 250000u);
}

TEST_F(FlashCommandTest, VerboseSaysHowThePortTookTheLowLatencyRequest) {
    line.SetPeer(&stm32);
    const std::string fw = dir.Write("fw.s37", SRecords(0, Pattern(0x40), false));
    struct Case {
        bool verbose;
        SimLine::Adapter adapter;
        bool refuse;
        std::string first;  // the first line printed
    };
    const Case cases[] = {
        {true, SimLine::Adapter::Ftdi, false, "quennet-flash: ttyQ0: low latency on; adapter latency timer 1 ms"},
        {true, SimLine::Adapter::Ftdi, true,
         "quennet-flash: ttyQ0: low latency refused; the port is used as it is; adapter latency timer 16 ms"},
        {true, SimLine::Adapter::None, false, "quennet-flash: ttyQ0: low latency on"},
        {true, SimLine::Adapter::None, true, "quennet-flash: ttyQ0: low latency refused; the port is used as it is"},
        {false, SimLine::Adapter::Ftdi, false, "Begin program STM32."},
    };
    for (const Case& c : cases) {
        line.SetAdapter(c.adapter);
        line.refuseLowLatency = c.refuse;
        FlashOptions o = Options(kTargetStm32_115200, fw);
        o.verbose = c.verbose;
        ASSERT_EQ(Run(o), kFlashOk) << err.str();
        EXPECT_EQ(OutLines().at(0), c.first);
        EXPECT_FALSE(line.LowLatency()) << "put back when the port closed";
    }
}

TEST_F(FlashCommandTest, Msp430ProgramAndDeviceInfoExitZero) {
    line.SetPeer(&msp430);
    const Bytes data = Pattern(0x400);
    ASSERT_EQ(Run(Options(kTargetMsp430_9600, dir.Write("fw.s19", SRecords(0xC000, data, true)))),
              kFlashOk)
        << err.str();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), msp430.Memory().begin() + 0xC000));
    Lines l = OutLines();
    EXPECT_EQ(At(l, 0), "Begin program MSP430.");
    EXPECT_EQ(Last(l).rfind("PROGRAM OK in ", 0), 0u);
    // The port was opened at the target's settings: no change of rate.
    EXPECT_EQ(Opens(), 1u);
    EXPECT_EQ(line.Settings().baud, 9600u);

    FlashOptions info = Options(kTargetMsp430_19200);
    info.deviceInfo = true;
    ASSERT_EQ(Run(info), kFlashOk) << err.str();
    l = OutLines();
    ASSERT_EQ(l.size(), 10u);
    EXPECT_EQ(l[0], "MSP430 Info.");
    EXPECT_EQ(l[6], "| Device: MSP430F149  |");
    EXPECT_EQ(l[9].rfind("Request Device Info in ", 0), 0u);
    EXPECT_EQ(msp430.At(0xC000), 0xFF);  // the query erased the part
}

TEST_F(FlashCommandTest, ARawBinaryGoesWhereTheAddressSays) {
    line.SetPeer(&stm32);
    const Bytes data = Pattern(0x300);
    const std::string bin = dir.Write("app.bin", std::string(data.begin(), data.end()));
    FlashOptions o = Options(kTargetStm32_115200, bin);
    o.binaryAddress = 0x08004000;
    ASSERT_EQ(Run(o), kFlashOk) << err.str();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), stm32.Flash().begin() + 0x4000));
    EXPECT_EQ(stm32.Flash()[0x3FFF], 0xFF);
    EXPECT_EQ(stm32.Flash()[0x4300], 0xFF);
}

TEST(RawBinaryTest, ABinNameOfAnyCaseIsARawBinaryAndAnMsp430OneEndsAtFFFF) {
    const struct {
        const char* name;
        bool raw;
    } names[] = {{"app.bin", true}, {"APP.BIN", true}, {"a.Bin", true}, {".bin", true},
                 {"app.bin.s19", false}, {"appbin", false}, {"bin", false}, {"", false}};
    for (const auto& n : names) EXPECT_EQ(NamesRawBinary(n.name), n.raw) << n.name;

    const LoaderTarget& msp430 = *FindLoaderTarget(kTargetMsp430_9600);
    const LoaderTarget& stm32 = *FindLoaderTarget(kTargetStm32_115200);
    const struct {
        const LoaderTarget& target;
        std::uint64_t size;
        std::uint32_t proposed;
    } sizes[] = {{msp430, 0x1000, 0xF000}, {msp430, 1, 0xFFFF},   {msp430, 0x10000, 0x0000},
                 {msp430, 0x10001, 0x0000}, {msp430, 0, 0x0000},   {stm32, 0x1000, 0x08000000}};
    for (const auto& c : sizes)
        EXPECT_EQ(ProposedBinaryAddress(c.target, c.size), c.proposed) << c.size;
}

TEST_F(FlashCommandTest, FileAndPortProblemsAreRefusedBeforeTheTargetHearsAnything) {
    line.SetPeer(&stm32);
    const std::string good = dir.Write("fw.s37", SRecords(0, Pattern(16), false));
    std::string damaged = SRecords(0, Pattern(16), false);
    char& digit = damaged[damaged.rfind("S7") - 2];  // the last data record's checksum
    digit = digit == '0' ? '1' : '0';
    const struct {
        FlashOptions options;
        bool missing, busy;
        std::string message;
    } cases[] = {
        {Options(kTargetStm32_115200, dir.File("none.s19")), false, false,
         "quennet-flash: firmware file " + dir.File("none.s19") +
             ": cannot be opened (No such file or directory)\n"},
        {Options(kTargetStm32_115200, ""), false, false, "quennet-flash: no firmware file given\n"},
        {Options(kTargetStm32_115200, dir.Write("bad.s37", damaged)), false, false,
         "quennet-flash: firmware file " + dir.File("bad.s37") +
             ": line 2: the S3 record fails its checksum (it ends in 90, its bytes need 9A)\n"},
        {Options(kTargetStm32_115200, dir.Write("text.s19", "hello\n")), false, false,
         "quennet-flash: firmware file " + dir.File("text.s19") +
             ": offset 0: holds no S-records, Intel HEX, ELF or TI-TXT (a raw binary needs the address "
             "it is loaded at)\n"
             "quennet-flash: for a raw binary, give its load address with --address ADDR (0x08000000)\n"},
        // S3 data at 0x08020000 lie beyond an MSP430's 64 KiB.
        {Options(kTargetMsp430_9600, dir.Write("hi.s37", SRecords(0x20000, Pattern(16), false))), false,
         false,
         "quennet-flash: firmware file " + dir.File("hi.s37") +
             ": line 2: data at 0x08020000..0x0802000F lie outside the flash (0x08000000..0x0800FFFF); "
             "S3 addresses count from 0x08000000\n"},
        // A file without data would only erase the chip.
        {Options(kTargetStm32_115200, dir.Write("empty.s37", "S0030000FC\nS70508000000F2\n")), false, false,
         "quennet-flash: firmware file " + dir.File("empty.s37") + ": holds no data\n"},
        {Options(kTargetStm32_115200, good), true, false, "quennet-flash: port ttyQ0 was not found\n"},
        {Options(kTargetStm32_115200, good), false, true,
         "quennet-flash: port ttyQ0 is busy: another program has it open\n"},
    };
    for (const auto& c : cases) {
        line.missing = c.missing;
        line.busy = c.busy;
        EXPECT_EQ(Run(c.options), kFlashBadCommand) << c.message;
        EXPECT_EQ(err.str(), c.message);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(Opens(), 0u);
        EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Write).empty());
        EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Dtr).empty());
    }
    EXPECT_EQ(stm32.Served(Stm32BootTarget::Step::Sync), 0u);
}

TEST_F(FlashCommandTest, ATargetThatDoesNotAnswerEndsWithItsFailureLine) {
    const std::string fw = dir.Write("fw.s37", SRecords(0, Pattern(16), false));
    stm32.FailStep(Stm32BootTarget::Step::Sync, Stm32BootTarget::Fault::Silence);
    line.SetPeer(&stm32);
    EXPECT_EQ(Run(Options(kTargetStm32_57600, fw)), kFlashRunFailed);
    Lines l = OutLines();
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[l.size() - 3], "ERROR: Failed to Sync with Target, verify Power and Connection.");
    EXPECT_EQ(l[l.size() - 2], "Nothing came back: check the target's power, that its TX goes to the adapter's "
                               "RX and its RX to TX, and the port.");
    EXPECT_EQ(l.back(), "Restore Serial baud rate.");

    line.SetPeer(nullptr);  // nothing on the line at all
    EXPECT_EQ(Run(Options(kTargetMsp430_19200, dir.Write("fw.s19", SRecords(0x8000, Pattern(16), true)))),
              kFlashRunFailed);
    EXPECT_EQ(Last(OutLines()), "ERROR: Failed to Sync with Target, verify Power and Connection.");
}

// Data beyond the flash that the part's register gives: refused before
// anything is erased, and the command exits 1.
TEST_F(FlashCommandTest, DataBeyondThePartsFlashExitsOneBeforeAnyErase) {
    Stm32BootTarget f407(line, *FindStm32ChipModel(0x413), 0x80000);
    f407.LoadOldFirmware();
    const Bytes old = f407.Flash();
    line.SetPeer(&f407);
    EXPECT_EQ(Run(Options(kTargetStm32Any_115200, dir.Write("fw.s37", SRecords(0x7FFF0, Pattern(32), false)))),
              kFlashRunFailed);
    const Lines l = OutLines();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 2].rfind("ERROR: The firmware does not fit this part's 512 KiB of flash: ", 0), 0u)
        << l[l.size() - 2];
    EXPECT_EQ(f407.Served(Stm32BootTarget::Step::Erase), 0u);
    EXPECT_EQ(f407.Flash(), old);
    line.SetPeer(&stm32);
}

TEST_F(FlashCommandTest, AStopRequestEndsTheRunAtTheNextBlockBoundary) {
    const std::string stmFw = dir.Write("fw.s37", SRecords(0, Pattern(0x10000), false));
    const std::string mspFw = dir.Write("fw.s19", SRecords(0x8000, Pattern(0x2000), true));
    const struct {
        int target;
        std::string file;
        bool verify;
        std::uint64_t stopAfterUs;
        std::uint64_t blockUs;  // time of one block on the wire, with its write
    } cases[] = {
        {kTargetStm32_115200, stmFw, false, 3000000, 35000},   // in the write pass
        {kTargetStm32_115200, stmFw, true, 12000000, 35000},   // in the verify pass
        {kTargetMsp430_9600, mspFw, false, 5000000, 320000},
    };
    for (const auto& c : cases) {
        Stm32BootTarget fresh(line);
        Msp430BslTarget part;
        const bool stm = c.target == kTargetStm32_115200;
        line.SetPeer(stm ? static_cast<SimPeer*>(&fresh) : &part);
        FlashOptions o = Options(c.target, c.file);
        o.verify = c.verify;
        const std::uint64_t stopAt = clock.NowUs() + c.stopAfterUs;
        clock.ScheduleAt(stopAt, [this] { command.RequestStop(); });

        EXPECT_EQ(Run(o), kFlashStopped) << err.str();
        const Lines l = OutLines();
        ASSERT_GE(l.size(), 3u);
        // The STM32 run reopened the port for the target and gives it back.
        const std::size_t stopLine = stm ? l.size() - 2 : l.size() - 1;
        EXPECT_EQ(l[stopLine], "ERROR: Run stopped by user.");
        EXPECT_EQ(l[stopLine - 1].find_first_not_of('^'), std::string::npos) << "stopped inside a pass";
        if (stm) {
            EXPECT_EQ(l.back(), "Restore Serial baud rate.");
        }
        EXPECT_EQ(err.str(), "quennet-flash: run stopped at a block boundary; the flash is erased and "
                             "partly written\n");
        // Ended within one block of the request, with no block cut short.
        EXPECT_LT(clock.NowUs() - stopAt, c.blockUs + 50000);
        if (stm) {
            const auto& done = c.verify ? fresh.ReadAddresses() : fresh.WriteAddresses();
            EXPECT_GT(done.size(), 0u);
            EXPECT_LT(done.size(), 256u);
            EXPECT_EQ(fresh.Served(c.verify ? Stm32BootTarget::Step::Read : Stm32BootTarget::Step::Write),
                      done.size());
        } else {
            const auto writes = part.CommandsOf(0x12);
            EXPECT_GT(writes.size(), 0u);
            EXPECT_LT(writes.size(), 35u);
            EXPECT_TRUE(Last(writes).accepted);
        }
        EXPECT_FALSE(command.loader().StopRequested()) << "the request ends with its run";
        line.SetPeer(nullptr);
    }
}

TEST_F(FlashCommandTest, AStopBeforeTheRunLeavesThePortAlone) {
    line.SetPeer(&stm32);
    command.RequestStop();
    EXPECT_EQ(Run(Options(kTargetStm32_115200, dir.Write("fw.s37", SRecords(0, Pattern(16), false)))),
              kFlashStopped);
    EXPECT_EQ(Opens(), 0u);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), "quennet-flash: stopped before the run began\n");
    // The request was used up: the next run goes through.
    EXPECT_EQ(Run(Options(kTargetStm32_115200, dir.File("fw.s37"))), kFlashOk);
}

}  // namespace
}  // namespace quennet
