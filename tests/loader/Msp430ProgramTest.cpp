// Whole MSP430 runs through the run frame against the simulated ROM loader
// on a virtual clock, judged by the log they leave and the flash they make.
#include "loader/Msp430Program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "Msp430BslTarget.h"
#include "SimSerialDevice.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "core/BaudText.h"
#include "loader/Loader.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::At;
using testing::Last;

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using testing::TempDir;

// One S-record line: type '1' (16-bit address) or '3' (32-bit).
std::string Record(char type, std::uint32_t address, const Bytes& data) {
    const int addrBytes = type == '1' ? 2 : 4;
    Bytes body = {static_cast<std::uint8_t>(addrBytes + data.size() + 1)};
    for (int i = addrBytes - 1; i >= 0; --i) body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (auto b : body) sum = static_cast<std::uint8_t>(sum + b);
    body.push_back(static_cast<std::uint8_t>(~sum));
    std::string line = std::string("S") + type;
    char hex[3];
    for (auto b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    return line + "\n";
}

// Data as S1 records of at most 16 bytes.
std::string Records(std::uint16_t address, const Bytes& data) {
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 16)
        out += Record('1', static_cast<std::uint32_t>(address + i),
                      Bytes(data.begin() + static_cast<long>(i),
                            data.begin() + static_cast<long>(std::min(data.size(), i + 16))));
    return out;
}

const std::string kRuler1 = "0   1   2   3   4   5   6   7   8   9   A   B   C   D   E   F  F";
const std::string kRuler2 = "0   0   0   0   0   0   0   0   0   0   0   0   0   0   0   0  F";

class Msp430RunTest : public ::testing::Test {
protected:
    Msp430RunTest()
        : line(clock),
          port(SimDeviceFactory(line), clock),
          loader(LoaderHost{port, log, nullptr, nullptr, [this] { OnMessages(); }, nullptr}) {
        line.SetPeer(&target);
        inputs.targetIndex = kTargetMsp430_9600;
        inputs.terminalPort = "ttyQ0";
        inputs.terminalBaud = "9600";
        inputs.terminalFormat = kFrameN81;
    }

    void OpenTerminal() {
        ASSERT_EQ(port.ComOpen(inputs.terminalPort, ParseBaudText(inputs.terminalBaud),
                               inputs.terminalFormat),
                  kComOk);
    }
    void Firmware(const std::string& records) {
        inputs.firmwarePath = dir.Write("fw.s19", records + "S9030000FC\n");
    }
    int Run() {
        OpenTerminal();
        runStartUs = clock.NowUs();
        line.ClearEvents();
        EXPECT_TRUE(loader.StartProgram(inputs));
        return loader.LastRunResult;
    }
    // A run on another part, which then leaves the line to the fixture's.
    int RunOn(Msp430BslTarget& part) {
        line.SetPeer(&part);
        const int result = Run();
        port.ComClose();
        line.SetPeer(&target);
        return result;
    }
    void OnMessages() {
        ++messageCalls;
        if (!port.IsOpen() || !loader.RunActive()) portLostDuringRun = true;
    }

    // The log from the device box on, for the cases where only the part
    // around the pass matters.
    static Lines Box(const char* device, const char* version) {
        return {"+---------------------+", device, version, "+---------------------+"};
    }
    Lines ExpectedRun(const std::string& map, bool reopened, bool patch = false,
                      const char* device = "| Device: MSP430F149  |",
                      const char* version = "| BSL Version:  1.11  |") const {
        Lines l = {"Begin program MSP430.", "FILE Load: OK."};
        if (reopened) l.push_back("Changing Serial baud rate.");
        for (const char* s : {"BSL Enter ...", "Erasing ...", "Password ...", "Version ..."}) l.push_back(s);
        for (const auto& s : Box(device, version)) l.push_back(s);
        if (patch) l.push_back("Patch ...");
        for (const auto& s : {std::string("Programming ..."), kRuler1, kRuler2, kRuler2, kRuler2, map,
                              std::string(64, '^')})
            l.push_back(s);
        if (reopened) l.push_back("Restore Serial baud rate.");
        return l;
    }
    // Splits off the closing time line and checks its form.
    Lines WithoutTime(const std::string& prefix) {
        Lines l = log.Lines();
        EXPECT_FALSE(l.empty());
        if (l.empty()) return l;
        EXPECT_TRUE(std::regex_match(l.back(), std::regex(prefix + "[0-9]+\\.[0-9]{3} sec\\.")))
            << l.back();
        l.pop_back();
        return l;
    }
    std::vector<Msp430BslTarget::Command> Blocks() const {
        std::vector<Msp430BslTarget::Command> out;
        for (const auto& c : target.CommandsOf(0x12))
            if (c.address >= 0x1000) out.push_back(c);
        return out;
    }
    static bool FlashOf(const Msp430BslTarget& part, std::uint32_t begin, const Bytes& data) {
        for (std::uint32_t a = 0x1000; a < 0x10000; ++a) {
            const bool inData = a >= begin && a < begin + data.size();
            if (part.At(static_cast<std::uint16_t>(a)) != (inData ? data[a - begin] : 0xFF)) return false;
        }
        return true;
    }
    bool FlashBlankExcept(std::uint32_t begin, const Bytes& data) const { return FlashOf(target, begin, data); }
    // DTR levels driven since the port was last opened: the open's own 1,
    // then 0 and 1 of the closing reset pulse when the run succeeded.
    std::vector<bool> DtrSinceLastOpen() const {
        std::vector<bool> out;
        for (const auto& e : line.Events()) {
            if (e.kind == SimEvent::Kind::Open) out.clear();
            if (e.kind == SimEvent::Kind::Dtr) out.push_back(e.level);
        }
        return out;
    }

    TempDir dir;
    VirtualClock clock{5000};
    Msp430BslTarget target;  // outlives the line and the port that talk to it
    SimLine line;
    ComPort port;
    MemoryStatusLog log;
    Loader loader;
    LoaderInputs inputs;
    std::uint64_t runStartUs = 0;
    int messageCalls = 0;
    bool portLostDuringRun = false;
};

TEST(Msp430BslFrameTest, FramesAndPatchAreByteExact) {
    VirtualClock clock;
    SimLine line(clock);
    ComPort port(SimDeviceFactory(line), clock);
    ASSERT_EQ(port.ComOpen("ttyQ0", 9600, kFrameE81), kComOk);
    Msp430Bsl bsl(port);
    auto sent = [&](auto&& operation) {
        line.ClearWriteLog();
        operation();
        return line.WrittenBytes();
    };
    // FCTL1 = ERASE | MERAS under the key, the dummy write into main flash.
    Bytes erase = sent([&] { bsl.BslMassErase(); });
    EXPECT_EQ(erase, (Bytes{0x80, 0x18, 0x04, 0x04, 0x00, 0xFF, 0x06, 0xA5, 0x7D, 0xB9}));
    Bytes baud = sent([&] { bsl.BslChangeBaud(*BslBaudSettings(0xF16C, 38400)); });
    EXPECT_EQ(Bytes(baud.end() - 10, baud.end()), (Bytes{0x80, 0x20, 0x04, 0x04, 0xE0, 0x87, 0x02, 0x00, 0x99, 0x5C}));
    Bytes password = sent([&] { bsl.BslSendPassword(); });
    ASSERT_EQ(password.size(), 42u);
    EXPECT_EQ(Bytes(password.begin(), password.begin() + 8), (Bytes{0x80, 0x10, 0x24, 0x24, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(password.begin() + 8, password.begin() + 40), Bytes(32, 0xFF));
    EXPECT_EQ(password[40], 0x5B);
    EXPECT_EQ(password[41], 0xCB);
    // Each of these begins with the sync characters that found no answer.
    Bytes read = sent([&] { bsl.BslReadVersion(); });
    EXPECT_EQ(Bytes(read.end() - 10, read.end()),
              (Bytes{0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x10, 0x00, 0x9B, 0xE0}));
    Bytes loadPc = sent([&] { bsl.BslLoadPc(0x0220); });
    EXPECT_EQ(Bytes(loadPc.end() - 10, loadPc.end()),
              (Bytes{0x80, 0x1A, 0x04, 0x04, 0x20, 0x02, 0x00, 0x00, 0x5B, 0xE3}));
    bsl.VersionMajor = 0x01;
    bsl.VersionMinor = 0x10;
    Bytes patch = sent([&] { bsl.BslLoadPatch(); });
    EXPECT_TRUE(bsl.PatchLoaded);
    ASSERT_EQ(patch.size(), 10u + 204u);
    const Bytes frame(patch.begin() + 10, patch.end());
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 8), (Bytes{0x80, 0x12, 0xC6, 0xC6, 0x20, 0x02, 0xC2, 0x00}));
    const auto& published = Msp430BslTarget::Patch110();
    EXPECT_EQ(Bytes(frame.begin() + 8, frame.end() - 2), Bytes(published.begin(), published.end()));
    EXPECT_EQ(BslChecksum(frame.data(), 202), frame[202] | (frame[203] << 8));
    // Any other version, 1.11 included, gets no patch.
    bsl.VersionMinor = 0x11;
    EXPECT_EQ(bsl.BslLoadPatch(), 0);
    EXPECT_TRUE(sent([&] { bsl.BslLoadPatch(); }).empty());
}

TEST_F(Msp430RunTest, BlankImageErasesAndPrintsAllMarks) {
    Firmware("");
    target.Preload(0x4000, {0x12, 0x34});
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(WithoutTime("PROGRAM OK in "), ExpectedRun(std::string(64, '-'), true));
    EXPECT_TRUE(Blocks().empty());
    EXPECT_TRUE(FlashBlankExcept(0, {}));
    EXPECT_EQ(target.Entries(), 2);
    // Back at the terminal's settings, then the reset pulse.
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.Settings().parity, Parity::None);
    EXPECT_EQ(DtrSinceLastOpen(), (std::vector<bool>{true, false, true}));
    EXPECT_FALSE(target.Running());
}

TEST_F(Msp430RunTest, SingleOddByteWritesOneFullBlockFromTheEvenAddressBefore) {
    Firmware(Record('1', 0x1001, {0x5A}));
    EXPECT_EQ(Run(), 0);
    std::string map(64, '-');
    map[4] = '*';
    EXPECT_EQ(WithoutTime("PROGRAM OK in "), ExpectedRun(map, true));
    const auto blocks = Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].address, 0x1000);
    EXPECT_EQ(blocks[0].length, 240);
    EXPECT_TRUE(blocks[0].accepted);
    EXPECT_TRUE(FlashBlankExcept(0x1001, {0x5A}));
    EXPECT_EQ(messageCalls, 1);  // the window had its turn after the block
    EXPECT_FALSE(portLostDuringRun);
}

TEST_F(Msp430RunTest, DataAtTheTopEndsThePassAndDataAbove64KiBStopTheRunFirst) {
    Bytes top(32);
    for (std::size_t i = 0; i < top.size(); ++i) top[i] = static_cast<std::uint8_t>(i);
    Bytes mid(300, 0x00);
    // Data beyond the MSP430's 64 KiB would be lost: the run stops before
    // the port is touched, saying where they lie.
    Firmware(Records(0x8000, mid) + Records(0xFFE0, top) + Record('3', 0x08010000, {1, 2, 3, 4}));
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(log.Lines(), (Lines{"Begin program MSP430.", "FATAL ERROR: Can't open FILE.",
                                  "Firmware file " + inputs.firmwarePath +
                                      ": line 22: data at 0x08010000..0x08010003 lie outside the flash "
                                      "(0x08000000..0x0800FFFF); S3 addresses count from 0x08000000."}));
    EXPECT_TRUE(line.Events().empty());
    port.ComClose();

    Firmware(Records(0x8000, mid) + Records(0xFFE0, top));
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(loader.Image().size(), 0x10000u);
    std::string map(64, '-');
    map[32] = '*';
    map[63] = '*';
    EXPECT_EQ(WithoutTime("PROGRAM OK in "), ExpectedRun(map, true));
    const auto blocks = Blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, 0x8000);
    EXPECT_EQ(blocks[0].length, 240);
    EXPECT_EQ(blocks[1].address, 0x80F0);
    EXPECT_EQ(blocks[1].length, 240);  // blank bytes after the data ride along
    EXPECT_EQ(blocks[2].address, 0xFFE0);
    EXPECT_EQ(blocks[2].length, 32);
    EXPECT_EQ(target.At(0xFFFF), 31);
    EXPECT_EQ(target.At(0x812B), 0x00);
    EXPECT_EQ(target.At(0x812C), 0xFF);
    EXPECT_EQ(messageCalls, 3);
}

TEST_F(Msp430RunTest, Version110LoadsThePatchAndEntersItBeforeEveryBlock) {
    target.Config().versionMinor = 0x10;
    target.Config().deviceId = 0xF16C;
    Firmware(Record('1', 0x3000, Bytes(16, 0x11)) + Record('1', 0x3200, Bytes(16, 0x22)));
    EXPECT_EQ(Run(), 0);
    std::string map(64, '-');
    map[12] = '*';
    EXPECT_EQ(WithoutTime("PROGRAM OK in "),
              ExpectedRun(map, true, true, "| Device: MSP430F1611 |", "| BSL Version:  1.10  |"));
    // The patch went to RAM, then load PC 0x0220 came before each block.
    std::vector<std::pair<int, std::uint16_t>> order;
    for (const auto& c : target.Commands())
        if (c.cmd == 0x12 || c.cmd == 0x1A) order.push_back({c.cmd, c.address});
    EXPECT_EQ(order, (std::vector<std::pair<int, std::uint16_t>>{
                         {0x12, 0x0220}, {0x1A, 0x0220}, {0x12, 0x3000}, {0x1A, 0x0220}, {0x12, 0x3200}}));
    EXPECT_EQ(target.At(0x3000), 0x11);
    EXPECT_EQ(target.At(0x3200), 0x22);

    // A 1.11 part: no patch, no load PC.
    target.Config().versionMinor = 0x11;
    const auto before = target.Commands().size();
    EXPECT_EQ(Run(), 0);
    for (std::size_t i = before; i < target.Commands().size(); ++i) {
        const auto& c = target.Commands()[i];
        EXPECT_NE(c.cmd, 0x1A);
        if (c.cmd == 0x12) {
            EXPECT_GE(c.address, 0x1000);
        }
    }
    EXPECT_EQ(WithoutTime("PROGRAM OK in "), ExpectedRun(map, true, false, "| Device: MSP430F1611 |"));
}

TEST_F(Msp430RunTest, PolarityFoundOnTheFourthAttemptIsKeptForTheRun) {
    // TEST follows RTS directly, and the part misses the first good pattern:
    // attempts 1 and 3 drive TEST the wrong way, 2 is missed, 4 enters.
    target.Config().testHighWhenRtsAsserted = true;
    target.Config().missedEntries = 1;
    target.Config().startupNoise = {0x00, 0x90};  // must not pass for an answer
    Firmware(Record('1', 0x1100, {1, 2}));
    inputs.terminalFormat = kFrameE81;  // no reopen: the polarity is the run's
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(target.Entries(), 2);
    EXPECT_FALSE(port.RtsPolarity);  // flipped three times from ComOpen's true
    // The second entry used the polarity that worked: one pattern, not four.
    const auto erase = target.CommandsOf(0x18).at(0);
    const auto password = target.CommandsOf(0x10).at(0);
    EXPECT_LT(password.atUs - erase.atUs, 400000u);
    EXPECT_EQ(target.At(0x1100), 1);
    EXPECT_EQ(log.Lines().at(2), "BSL Enter ...");

    // The first attempt as the lines saw it (physical levels, ms from its
    // start): RTS released is logical 1 while ComOpen's polarity holds.
    std::vector<std::string> attempt;
    const std::uint64_t t0 = At(line.Events(), 0).atUs;
    for (const auto& e : line.Events()) {
        const std::string at = "@" + std::to_string((e.atUs - t0) / 1000);
        if (e.kind == SimEvent::Kind::Dtr) attempt.push_back((e.level ? "D1" : "D0") + at);
        if (e.kind == SimEvent::Kind::Rts) attempt.push_back((e.level ? "R1" : "R0") + at);
        if (e.kind == SimEvent::Kind::Write) attempt.push_back("W" + at);
        if (attempt.size() == 13) break;
    }
    EXPECT_EQ(attempt, (std::vector<std::string>{"D1@0", "R0@0", "D0@100", "R1@110", "R0@120", "R1@130", "R0@140",
                                                 "D1@150", "R1@160", "W@260", "W@310", "W@360", "W@410"}));
    // The second attempt drives TEST the other way.
    std::vector<bool> rtsOfAttempt2;
    for (const auto& e : line.EventsOf(SimEvent::Kind::Rts))
        if (e.atUs - t0 >= 760000 && rtsOfAttempt2.size() < 6) rtsOfAttempt2.push_back(e.level);
    EXPECT_EQ(rtsOfAttempt2, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST_F(Msp430RunTest, EachFailureEndsTheRunWithItsLineAndGivesThePortBack) {
    struct Case {
        std::vector<BslSimFaultRule> faults;
        std::uint8_t minor;
        Lines tail;  // the last lines of the log
    };
    const std::vector<Case> cases = {
        {{{BslSimStep::Sync, BslSimFault::Silence, 0}}, 0x11,
         {"Changing Serial baud rate.", "ERROR: Failed to Sync with Target, verify Power and Connection."}},
        {{{BslSimStep::MassErase, BslSimFault::Silence}}, 0x11, {"Erasing ...", "ERROR: Erasing Failure."}},
        {{{BslSimStep::Sync, BslSimFault::WrongByte, 2, true}}, 0x11, {"Erasing ...", "ERROR: 1."}},
        {{{BslSimStep::Password, BslSimFault::Nak}}, 0x11, {"Password ...", "ERROR: 2."}},
        {{{BslSimStep::ReadBlock, BslSimFault::Silence}}, 0x11, {"Version ...", "ERROR: 3."}},
        {{{BslSimStep::ReadBlock, BslSimFault::WrongByte}}, 0x11, {"Version ...", "ERROR: 3."}},
        {{{BslSimStep::ReadBlock, BslSimFault::BadChecksum}}, 0x11, {"Version ...", "ERROR: 3."}},
        {{{BslSimStep::ReadBlock, BslSimFault::LengthMismatch}}, 0x11, {"Version ...", "ERROR: 3."}},
        {{{BslSimStep::ReadBlock, BslSimFault::ShortFrame}}, 0x11, {"Version ...", "ERROR: 3."}},
        {{{BslSimStep::MassErase, BslSimFault::Nak, 2}}, 0x11, {"+---------------------+", "ERROR: Erasing Failure."}},
        {{{BslSimStep::WriteRam, BslSimFault::Nak}}, 0x10, {"+---------------------+", "Patch ...", "ERROR: 4."}},
        {{{BslSimStep::WriteFlash, BslSimFault::Nak, 2}}, 0x11,
         {std::string(64, '-').replace(16, 1, "*"), std::string(17, '^'), "ERROR: Programming error."}},
    };
    Firmware(Record('1', 0x4000, Bytes(16, 0x00)) + Record('1', 0x40F0, Bytes(16, 0x00)));
    for (const auto& c : cases) {
        Msp430BslTarget part;  // fault counts start at its power-up
        part.faults = c.faults;
        part.Config().versionMinor = c.minor;
        line.SetPeer(&part);
        EXPECT_EQ(Run(), 1);
        Lines tail = c.tail;
        tail.push_back("Restore Serial baud rate.");
        const Lines got = log.Lines();
        if (got.size() >= tail.size()) {
            EXPECT_EQ(Lines(got.end() - static_cast<long>(tail.size()), got.end()), tail) << tail[tail.size() - 2];
        } else {
            ADD_FAILURE() << log.Text();
        }
        EXPECT_EQ(line.Settings().parity, Parity::None);  // the terminal's settings again
        EXPECT_TRUE(port.IsOpen());
        // No reset pulse after a failure.
        EXPECT_EQ(DtrSinceLastOpen(), std::vector<bool>{true});
        port.ComClose();
        line.SetPeer(&target);
    }
}

// A file that may be cut short is programmed, and the log says so first.
TEST_F(Msp430RunTest, AFileWithoutAnEndRecordIsProgrammedWithAWarning) {
    inputs.firmwarePath = dir.Write("cut.s19", Records(0x1100, {1, 2}));
    EXPECT_EQ(Run(), 0) << log.Text();
    const Lines l = log.Lines();
    ASSERT_GE(l.size(), 3u);
    EXPECT_EQ(l[1], "WARNING: firmware file " + inputs.firmwarePath +
                        ": the file ends without an end record (S7, S8 or S9) after its data; it may be cut short.");
    EXPECT_EQ(l[2], "FILE Load: OK.");
    EXPECT_EQ(target.At(0x1100), 1);
}

TEST_F(Msp430RunTest, FileAndPortFailures) {
    inputs.firmwarePath = dir.File("missing.s19");
    EXPECT_EQ(Run(), 1);
    EXPECT_EQ(log.Lines(), (Lines{"Begin program MSP430.", "FATAL ERROR: Can't open FILE.",
                                  "Firmware file " + inputs.firmwarePath +
                                      ": cannot be opened (No such file or directory)."}));
    EXPECT_EQ(line.Events().size(), 0u);
    port.ComClose();

    // The target's settings cannot be had: the port stays closed.
    Firmware("");
    OpenTerminal();
    line.busy = true;
    line.ClearEvents();
    EXPECT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(log.Lines(), (Lines{"Begin program MSP430.", "FILE Load: OK.", "Changing Serial baud rate.",
                                  "FATAL ERROR: Can't open COM port."}));
    EXPECT_FALSE(port.IsOpen());
    line.busy = false;

    // The terminal's settings cannot be restored after a good run: the run
    // still reports its time, and the reset finds no port.
    inputs.terminalBaud = "9600";
    OpenTerminal();
    inputs.terminalBaud = "0";  // changed in the window during the run
    EXPECT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(loader.LastRunResult, 0);
    Lines l = WithoutTime("PROGRAM OK in ");
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(Lines(l.end() - 2, l.end()), (Lines{"Restore Serial baud rate.", "FATAL ERROR: Can't open COM port."}));
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(Msp430RunTest, ReopenOnlyWhenTheTerminalIsNotAtTheTargetSettings) {
    Firmware(Record('1', 0x2000, {7, 7}));
    inputs.terminalFormat = kFrameE81;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(WithoutTime("PROGRAM OK in "), ExpectedRun(std::string(8, '-') + "*" + std::string(55, '-'), false));
    EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Open).empty());
    // The terminal's port, kept, has low latency from before the first byte
    // to the end of the run.
    const auto fast = line.EventsOf(SimEvent::Kind::LowLatency);
    ASSERT_EQ(fast.size(), 2u);
    EXPECT_TRUE(fast[0].level);
    EXPECT_FALSE(fast[1].level);
    EXPECT_LE(fast[0].atUs, At(line.EventsOf(SimEvent::Kind::Write), 0).atUs);

    // 19200 wanted, terminal at 9600 E-8-1: reopened at 19200, back at 9600.
    port.ComClose();
    inputs.targetIndex = kTargetMsp430_19200;
    EXPECT_EQ(Run(), 0);
    const auto settings = line.EventsOf(SimEvent::Kind::Settings);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_EQ(settings[0].settings.baud, 19200u);
    EXPECT_EQ(settings[0].settings.parity, Parity::Even);
    EXPECT_EQ(settings[1].settings.baud, 9600u);
    EXPECT_EQ(log.Lines().at(2), "Changing Serial baud rate.");
}

// Through an FTDI adapter that keeps its 16 ms timer (the request refused,
// as on Windows) every acknowledge and reply comes late, yet within its wait.
TEST_F(Msp430RunTest, EveryRunSucceedsThroughAnAdapterAtItsDefaultLatency) {
    line.SetAdapter(SimLine::Adapter::Ftdi);
    line.refuseLowLatency = true;
    const Bytes data(500, 0x3C);
    Firmware(Records(0xE000, data));
    struct Case {
        const char* name;
        int target;
        std::uint16_t deviceId;
        std::uint8_t minor;  // of version 1.xx
        bool info;
    };
    const Case cases[] = {
        {"MSP430-9600, 1.11", kTargetMsp430_9600, 0xF149, 0x11, false},
        {"MSP430-19200, 1.10 and its patch", kTargetMsp430_19200, 0xF16C, 0x10, false},
        {"MSP430-38400, 1.60 switching", kTargetMsp430_38400, 0xF449, 0x60, false},
        {"Device Info.", kTargetMsp430_9600, 0xF149, 0x11, true},
    };
    for (const Case& c : cases) {
        target.Config().deviceId = c.deviceId;
        target.Config().versionMinor = c.minor;
        target.Config().startupNoise = {0x00, 0x90};  // held in the adapter as well
        inputs.targetIndex = c.target;
        OpenTerminal();
        EXPECT_TRUE(c.info ? loader.DeviceInfo(inputs) : loader.StartProgram(inputs));
        const std::string end = c.info ? "Request Device Info in " : "PROGRAM OK in ";
        EXPECT_EQ(Last(log.Lines()).rfind(end, 0), 0u) << c.name << "\n" << log.Text();
        EXPECT_TRUE(FlashBlankExcept(0xE000, c.info ? Bytes{} : data)) << c.name;
        port.ComClose();
    }
}

TEST_F(Msp430RunTest, WatchdogPulsesOnceAroundEachBlockSyncAndIsNeverLeftSet) {
    Firmware(Record('1', 0x5000, Bytes(16, 0x33)) + Record('1', 0x5100, Bytes(16, 0x44)));
    inputs.toggleTck = true;
    inputs.terminalFormat = kFrameE81;
    EXPECT_EQ(Run(), 0);
    EXPECT_FALSE(port.WatchdogToggle);
    // Before the pass the waits toggled RTS; from the last of the F149's
    // mass erases on, the only RTS moves are one low-high pair around each
    // block's sync.
    const std::uint64_t versionRead = Last(target.CommandsOf(0x18)).atUs;
    std::size_t rtsBefore = 0;
    std::vector<std::string> after;
    for (const auto& e : line.Events()) {
        if (e.kind == SimEvent::Kind::Rts && e.atUs < versionRead) ++rtsBefore;
        if (e.atUs <= versionRead) continue;
        if (e.kind == SimEvent::Kind::Rts) after.push_back(e.level ? "R1" : "R0");
        if (e.kind == SimEvent::Kind::Write) after.push_back(e.bytes.size() == 1 ? "sync" : "frame");
        if (e.kind == SimEvent::Kind::Dtr) break;  // the closing reset
    }
    EXPECT_GT(rtsBefore, 2u * 8u + 10u);  // two patterns and many toggles
    // The pass begins with the first sync after the last erase, and the RTS
    // pulse just before it.
    const auto firstSync = std::find(after.begin(), after.end(), "sync");
    ASSERT_NE(firstSync, after.end());
    ASSERT_NE(firstSync, after.begin());
    const std::vector<std::string> pass(firstSync - 1, after.end());
    // RtsPolarity is true after ComOpen: logical 0 asserts RTS.
    EXPECT_EQ(pass, (std::vector<std::string>{"R1", "sync", "R0", "frame", "R1", "sync", "R0", "frame"}));
    EXPECT_EQ(target.At(0x5100), 0x44);

    // Unticked for the next run: no pulses at all.
    inputs.toggleTck = false;
    port.ComClose();
    EXPECT_EQ(Run(), 0);
    const std::uint64_t pass2 = target.CommandsOf(0x14).at(1).atUs;
    for (const auto& e : line.EventsOf(SimEvent::Kind::Rts))
        if (e.atUs > pass2) {
            EXPECT_EQ(e.level, true) << "only the reset pulse's RTS 0";
        }
}

TEST_F(Msp430RunTest, DeviceInfoErasesAProgrammedPartAndReportsIt) {
    target.Preload(0xFFE0, Bytes(32, 0x10));  // vectors of a program: password unknown
    target.Preload(0x1100, {0xAB, 0xCD});
    target.Config().deviceId = 0xF413;
    OpenTerminal();
    line.ClearEvents();
    EXPECT_TRUE(loader.DeviceInfo(inputs));
    EXPECT_EQ(WithoutTime("Request Device Info in "),
              (Lines{"MSP430 Info.", "Changing Serial baud rate.", "BSL Enter ...", "Erasing ...", "Password ...",
                     "Version ...", "+---------------------+", "| Device: MSP430F413  |",
                     "| BSL Version:  1.11  |", "+---------------------+", "Restore Serial baud rate."}));
    EXPECT_TRUE(FlashBlankExcept(0, {}));
    EXPECT_EQ(target.At(0x0FF0), 0xF4);
    EXPECT_TRUE(target.CommandsOf(0x12).empty());
    EXPECT_EQ(DtrSinceLastOpen(), (std::vector<bool>{true, false, true}));
    EXPECT_FALSE(target.Running());  // reset into the (erased) program
}

TEST_F(Msp430RunTest, EachFamilyGetsTheMassErasesItsFlashNeedsAndNearlyThreeSecondsEach) {
    struct Case {
        std::uint16_t deviceId;
        std::uint64_t eraseUs;  // 0: the part's own
        std::size_t erases;
        int result;
    };
    // F1xx and F4xx (the F41x2 says 0x41xx) repeat, F2xx erases once, a part
    // not known is erased as the slowest flash needs.
    const Case cases[] = {{0xF149, 0, 19, 0},       {0xF16C, 0, 19, 0},       {0xF413, 0, 19, 0},
                          {0xF449, 0, 19, 0},       {0xF427, 0, 19, 0},       {0x4152, 0, 19, 0},
                          {0xF249, 0, 1, 0},        {0xF26F, 0, 1, 0},        {0x5A49, 0, 19, 0},
                          {0xF249, 2900000, 1, 0},  {0xF249, 3100000, 1, 1}};
    inputs.terminalFormat = kFrameE81;
    Firmware(Record('1', 0x1100, {1, 2}));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.deviceId) + " erasing for " + std::to_string(c.eraseUs));
        Msp430BslTarget part;
        part.Config().deviceId = c.deviceId;
        if (c.eraseUs) part.Config().massEraseUs = c.eraseUs;
        EXPECT_EQ(RunOn(part), c.result) << log.Text();
        if (c.result != 0) {
            EXPECT_EQ(Last(log.Lines()), "ERROR: Erasing Failure.");
            continue;
        }
        const auto erases = part.CommandsOf(0x18);
        EXPECT_EQ(erases.size(), c.erases);
        for (const auto& e : erases) EXPECT_TRUE(e.accepted && e.address == 0xFF00 && e.length == 0xA506);
        EXPECT_EQ(part.WritesOnIncompleteErase(), 0);
        EXPECT_EQ(part.At(0x1100), 1);
        EXPECT_EQ(part.At(0x1102), 0xFF) << "the old program is gone";
    }
}

TEST_F(Msp430RunTest, TheFasterTargetSwitchesWhereTheLoaderCanAndGoesOnAt9600Otherwise) {
    struct Case {
        std::uint16_t deviceId, version;
        const char* line;         // after the device box, before "Programming ..."
        std::uint32_t blockBaud;  // the rate the blocks travel at
        std::optional<BslSimFault> refusal = std::nullopt;
    };
    const std::vector<Case> cases = {
        {0xF449, 0x0160, "BSL baud rate changed to 38400.", 38400},
        {0xF16C, 0x0161, "BSL baud rate changed to 38400.", 38400},
        {0xF249, 0x0202, "BSL baud rate changed to 38400.", 38400},
        {0xF149, 0x0111, "This BSL cannot change its baud rate: going on at 9600.", 9600},
        {0x5A49, 0x0160, "No baud rate settings known for this device: going on at 9600.", 9600},
        {0xF449, 0x0160, "BSL refused the baud rate change: going on at 9600.", 9600, BslSimFault::Nak},
    };
    inputs.targetIndex = kTargetMsp430_38400;
    // The terminal already at 9600 E-8-1: no reopen, yet the port must get
    // its rate back after a switch.
    inputs.terminalFormat = kFrameE81;
    Firmware(Records(0x8000, Bytes(500, 0x5A)));
    for (const auto& c : cases) {
        Msp430BslTarget part;
        part.Config().deviceId = c.deviceId;
        part.Config().versionMajor = static_cast<std::uint8_t>(c.version >> 8);
        part.Config().versionMinor = static_cast<std::uint8_t>(c.version);
        if (c.refusal) part.faults = {{BslSimStep::ChangeBaud, *c.refusal}};
        EXPECT_EQ(RunOn(part), 0) << log.Text();
        const Lines l = log.Lines();
        const auto box = std::find(l.begin(), l.end(), "Programming ...");
        ASSERT_NE(box, l.end()) << log.Text();
        EXPECT_EQ(*(box - 1), c.line);
        const bool switched = c.blockBaud != 9600;
        EXPECT_EQ(l.at(l.size() - 2) == "Restore Serial baud rate.", switched) << log.Text();
        EXPECT_EQ(part.CommandsOf(0x20).size(), switched || c.refusal ? 1u : 0u);
        // Every block went at the faster rate, after the port had followed
        // the loader (the model garbles bytes at any other rate).
        std::uint64_t switchedAt = UINT64_MAX;
        for (const auto& e : line.EventsOf(SimEvent::Kind::Settings))
            if (e.settings.baud == 38400) switchedAt = std::min(switchedAt, e.atUs);
        const auto blocks = part.CommandsOf(0x12);
        ASSERT_FALSE(blocks.empty());
        EXPECT_EQ(blocks.front().atUs > switchedAt, switched);
        EXPECT_TRUE(FlashOf(part, 0x8000, Bytes(500, 0x5A)));
        EXPECT_EQ(line.Settings().baud, 9600u) << "the terminal's rate again";
        EXPECT_EQ(line.Settings().parity, Parity::Even);
    }
}

// The loader's clock settles after its rate changes: nothing is sent to
// it for 10 ms after the port has followed.
TEST_F(Msp430RunTest, AfterTheRateChangeTheHostWaitsForTheLoadersClock) {
    inputs.targetIndex = kTargetMsp430_38400;
    inputs.terminalFormat = kFrameE81;
    Firmware(Records(0x8000, Bytes(16, 0x5A)));
    Msp430BslTarget part;
    part.Config().deviceId = 0xF449;
    part.Config().versionMajor = 0x01;
    part.Config().versionMinor = 0x60;
    ASSERT_EQ(RunOn(part), 0) << log.Text();
    std::optional<std::uint64_t> switchedAt;
    for (const auto& e : line.EventsOf(SimEvent::Kind::Settings))
        if (e.settings.baud == 38400 && !switchedAt) switchedAt = e.atUs;
    ASSERT_TRUE(switchedAt);
    const auto& written = line.WriteLog();
    const auto next = std::find_if(written.begin(), written.end(),
                                   [&](const auto& w) { return w.writeUs >= *switchedAt; });
    ASSERT_NE(next, written.end());
    EXPECT_GE(next->writeUs - *switchedAt, 10000u);
}

// The loader has moved to the faster rate and the port cannot follow: the
// log says so, and the port stays open as it was.
TEST_F(Msp430RunTest, APortThatCannotFollowTheLoadersNewRateEndsTheRunSayingSo) {
    inputs.targetIndex = kTargetMsp430_38400;
    inputs.terminalFormat = kFrameE81;
    Firmware(Records(0x8000, Bytes(16, 0x5A)));
    Msp430BslTarget part;
    part.Config().deviceId = 0xF449;
    part.Config().versionMajor = 0x01;
    part.Config().versionMinor = 0x60;
    line.SetPeer(&part);
    OpenTerminal();
    line.refuseSettings = true;
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(loader.LastRunResult, 1);
    EXPECT_EQ(Last(log.Lines()), "ERROR: This port cannot be set to 38400 baud, the BSL's new rate.");
    EXPECT_EQ(part.CommandsOf(0x20).size(), 1u);
    EXPECT_TRUE(part.CommandsOf(0x12).empty());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.Settings().baud, 9600u);
    line.refuseSettings = false;
    port.ComClose();
    line.SetPeer(&target);
}

}  // namespace
}  // namespace quennet

namespace quennet {
namespace {

TEST_F(Msp430RunTest, VerifyReadsBackEveryCoveredByteAndAFaultyReadBackEndsTheRun) {
    // 0x1000..0x10FF with data, 0x8000..0x81FF as 0xFF bytes the file asks for.
    Bytes data(0x100);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 3 + 1);
    Firmware(Records(0x1000, data) + Records(0x8000, Bytes(0x200, 0xFF)));
    inputs.verify = true;
    std::string map(64, '-');
    map[4] = '*';
    const struct {
        std::optional<BslSimFault> fault;  // on the verify's first read-back
        int result;
        std::string last;
    } cases[] = {
        {std::nullopt, 0, std::string(64, '^')},
        {BslSimFault::Nak, 1, "ERROR: Verify error."},
        {BslSimFault::BadChecksum, 1, "ERROR: Verify error."},
        {BslSimFault::ShortFrame, 1, "ERROR: Verify error."},
    };
    for (const auto& c : cases) {
        target = Msp430BslTarget{};
        // The first TX data block of a run reads the version.
        if (c.fault) target.faults.push_back({BslSimStep::ReadBlock, *c.fault, 2});
        EXPECT_EQ(Run(), c.result);
        port.ComClose();
        Lines l = c.result == 0 ? WithoutTime("PROGRAM OK in ") : log.Lines();
        Lines expected = ExpectedRun(map, true);
        expected.pop_back();  // "Restore Serial baud rate." comes after the verify
        expected.push_back("Verify ...");
        expected.push_back(c.last);
        expected.push_back("Restore Serial baud rate.");
        EXPECT_EQ(l, expected);
        // 2 blocks over the data, 3 over the 0xFF bytes, beside the version's.
        EXPECT_EQ(target.CommandsOf(0x14).size(), c.result == 0 ? 6u : 2u);
    }
    EXPECT_TRUE(FlashBlankExcept(0x1000, data));
}

}  // namespace
}  // namespace quennet
