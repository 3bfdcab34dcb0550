// Whole STM32 programming runs through the loader's run frame, against the
// simulated bootloader on a simulated line and virtual clock, checked by the
// status log and by the simulated flash afterwards.
#include "loader/Stm32Program.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "Stm32ChipModels.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "core/BaudText.h"
#include "firmware/SRecord.h"
#include "loader/FirmwareCheck.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::At;
using testing::Last;

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using Step = Stm32BootTarget::Step;
using Fault = Stm32BootTarget::Fault;

// An S-record file (S0, S3 records of up to 16 bytes, S7) holding the bytes
// at their image offsets.
std::string S37(const std::map<std::uint32_t, std::uint8_t>& bytes) {
    auto record = [](char type, std::uint32_t address, const Bytes& data) {
        Bytes body{static_cast<std::uint8_t>(data.size() + 5), static_cast<std::uint8_t>(address >> 24),
                   static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
                   static_cast<std::uint8_t>(address)};
        body.insert(body.end(), data.begin(), data.end());
        unsigned sum = 0;
        std::string line = {'S', type};
        char hex[3];
        for (std::uint8_t b : body) {
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
        }
        std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFF);
        return line + hex + "\n";
    };
    std::string text = "S0030000FC\n";
    for (auto it = bytes.begin(); it != bytes.end();) {
        const std::uint32_t start = it->first;
        Bytes data;
        while (it != bytes.end() && it->first == start + data.size() && data.size() < 16)
            data.push_back((it++)->second);
        text += record('3', kStm32FlashBase + start, data);
    }
    return text + record('7', kStm32FlashBase, {});
}

// Data bytes (never 0xFF) over [begin, end).
void Fill(std::map<std::uint32_t, std::uint8_t>& bytes, std::uint32_t begin, std::uint32_t end) {
    for (std::uint32_t a = begin; a < end; ++a) bytes[a] = static_cast<std::uint8_t>(a * 7 % 255);
}

std::string Repeat(const char* c, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += c;
    return s;
}

class Stm32ProgramTest : public ::testing::Test {
protected:
    Stm32ProgramTest()
        : line(clock),
          port(SimDeviceFactory(line), clock),
          loader(LoaderHost{port, log, {}, {}, [this] { ++messageRounds; },
                            [this](const RunProgress& p) { progress.push_back(p); }}),
          target(line) {
        line.SetPeer(&target);
        inputs.targetIndex = kTargetStm32_115200;
        inputs.terminalPort = "ttyQ0";
        inputs.terminalBaud = "9600";
        inputs.terminalFormat = kFrameN81;
        inputs.verify = true;
        EXPECT_EQ(port.ComOpen("ttyQ0", 9600, kFrameN81), kComOk);
    }
    // The port outlives the target and still moves its lines when it closes.
    ~Stm32ProgramTest() override { line.SetPeer(nullptr); }

    // Runs Start Program on an image made of `bytes`; returns the log lines.
    Lines Run(const std::map<std::uint32_t, std::uint8_t>& bytes) {
        image = bytes;
        inputs.firmwarePath = dir.Write("fw.s37", S37(bytes));
        line.ClearEvents();
        startUs = clock.NowUs();
        loader.StartProgram(inputs);
        return log.Lines();
    }
    // Run, with another chip on the line for it.
    Lines RunOn(SimPeer* chip, const std::map<std::uint32_t, std::uint8_t>& bytes) {
        line.SetPeer(chip);
        Run(bytes);
        line.SetPeer(&target);
        return log.Lines();
    }
    Bytes FlashImage() const {
        Bytes expected(FirmwareImage::kDefaultSize, 0xFF);
        for (const auto& [a, b] : image) expected[a] = b;
        return expected;
    }
    // The lines of a good run up to and including the page map.
    static Lines Head(const std::string& id = "ID: 0414 (High-density device)") {
        Lines l{"Begin program STM32.", "FILE Load: OK.", "Changing Serial baud rate.", "BSL Enter ...",
                "Bootloader Version: 2.2", id, "Erasing ...", "Programming ..."};
        for (const char* r : kStm32Ruler) l.push_back(r);
        return l;
    }
    static Lines GoodRun(const std::string& map, bool verify = true) {
        Lines l = Head();
        l.push_back(map);
        l.push_back(Repeat("^", 64));
        if (verify) {
            l.push_back("Verify ...");
            l.push_back(Repeat("^", 64));
        }
        l.push_back("Restore Serial baud rate.");
        return l;
    }
    // The log without its last line, which carries the run's time.
    Lines WithoutTime() const {
        Lines l = log.Lines();
        if (!l.empty() && l.back().rfind("PROGRAM OK in ", 0) == 0) l.pop_back();
        return l;
    }
    bool BackAtTerminalSettings() const {
        return port.IsOpen() && line.Settings().baud == 9600 && line.Settings().parity == Parity::None;
    }
    // Write calls the port made, as byte counts.
    std::vector<std::size_t> WriteSizes() const {
        std::vector<std::size_t> sizes;
        for (const auto& e : line.EventsOf(SimEvent::Kind::Write)) sizes.push_back(e.bytes.size());
        return sizes;
    }

    VirtualClock clock{1000};
    SimLine line;
    ComPort port;
    MemoryStatusLog log;
    int messageRounds = 0;
    std::vector<RunProgress> progress;
    Loader loader;
    Stm32BootTarget target;
    testing::TempDir dir;
    LoaderInputs inputs;
    std::map<std::uint32_t, std::uint8_t> image;
    std::uint64_t startUs = 0;
};

TEST_F(Stm32ProgramTest, OneBlockRunWritesVerifiesRestoresAndResets) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x00, 0x100);
    const Lines lines = Run(bytes);
    EXPECT_EQ(WithoutTime(), GoodRun("*" + Repeat("-", 63)));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("PROGRAM OK in ", 0), 0u);
    EXPECT_EQ(loader.LastRunResult, 0);
    EXPECT_EQ(target.WriteAddresses(), std::vector<std::uint32_t>{0x08000000});
    EXPECT_EQ(target.ReadAddresses(), std::vector<std::uint32_t>{0x08000000});
    EXPECT_EQ(target.Flash(), FlashImage());
    EXPECT_EQ(target.Served(Step::Erase), 1u);
    EXPECT_TRUE(BackAtTerminalSettings());
    // The target ran at 115200 in E-8-1.
    const auto settings = line.EventsOf(SimEvent::Kind::Settings);
    ASSERT_GE(settings.size(), 2u);
    EXPECT_EQ(settings[0].settings.baud, 115200u);
    EXPECT_EQ(settings[0].settings.parity, Parity::Even);
    // On the wire: sync; Get and Get ID as code and complement; erase; the
    // write as 1 + 1 + 5 + 258 bytes; the read-back as 1 + 1 + 5 + 1 + 1.
    EXPECT_EQ(WriteSizes(), (std::vector<std::size_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 5, 258,
                                                      1, 1, 5, 1, 1}));
    const auto writes = line.EventsOf(SimEvent::Kind::Write);
    ASSERT_EQ(writes.size(), 18u);
    EXPECT_EQ(writes[11].bytes, (Bytes{0x08, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(writes[12].bytes.front(), 0xFF);
    EXPECT_EQ(writes[16].bytes, Bytes{0xFF});
    EXPECT_EQ(writes[17].bytes, Bytes{0x00});
    // The window was given its turn after each block.
    EXPECT_GE(messageRounds, 2);
    // After the run the reset pulse starts the firmware (BOOT0 low now).
    EXPECT_EQ(target.mode(), Stm32BootTarget::Mode::Running);
}

TEST_F(Stm32ProgramTest, BlocksStartAtTheFirstDataWordAndNeverOverlap) {
    struct Case {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> data;  // [begin, end)
        std::vector<std::uint32_t> blocks;
    };
    const Case cases[] = {
        {{{0x101, 0x102}}, {0x08000100}},
        {{{0x000, 0x101}}, {0x08000000, 0x08000100}},
        {{{0x000, 0x200}}, {0x08000000, 0x08000100}},
        // A start at 2 or 3 modulo 4 is moved back to the word boundary,
        // which the bootloader requires.
        {{{0x102, 0x103}}, {0x08000100}},
        {{{0x103, 0x104}, {0x203, 0x204}}, {0x08000100, 0x08000200}},
        {{{0x1FE, 0x206}, {0x2FF, 0x300}}, {0x080001FC, 0x080002FC}},
        {{{0x2001, 0x2002}, {0x7A000, 0x7A001}}, {0x08002000, 0x0807A000}},
    };
    for (const Case& c : cases) {
        target.Flash().assign(FirmwareImage::kDefaultSize, 0x00);  // the erase must happen
        std::map<std::uint32_t, std::uint8_t> bytes;
        for (const auto& [b, e] : c.data) Fill(bytes, b, e);
        const std::size_t before = target.WriteAddresses().size();
        Run(bytes);
        EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
        const std::vector<std::uint32_t> written(target.WriteAddresses().begin() + static_cast<long>(before),
                                                 target.WriteAddresses().end());
        EXPECT_EQ(written, c.blocks);
        EXPECT_EQ(target.Flash(), FlashImage());
    }
    // The map shows the used pages.
    EXPECT_EQ(At(log.Lines(), 13), "-*" + Repeat("-", 59) + "*--");
}

TEST_F(Stm32ProgramTest, BlankImageErasesAndWritesNothing) {
    target.Flash()[0x1234] = 0x00;
    inputs.firmwarePath = dir.Write("blank.s37", "S0030000FC\nS70508000000F2\n");
    loader.StartProgram(inputs);
    EXPECT_EQ(WithoutTime(), GoodRun(Repeat("-", 64)));
    EXPECT_EQ(loader.LastRunResult, 0);
    EXPECT_TRUE(target.WriteAddresses().empty());
    EXPECT_TRUE(target.ReadAddresses().empty());
    EXPECT_EQ(target.Flash()[0x1234], 0xFF);
}

TEST_F(Stm32ProgramTest, BlocksInTheLastPageStopAtTheEndOfFlash) {
    // A full block ending at the last byte; then a block that begins within
    // the last 255 bytes, which is cut to the end of the flash.
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x7FE80, 0x7FE81);
    Fill(bytes, 0x7FF81, 0x7FF82);
    Fill(bytes, 0x7FFFE, 0x80000);
    Run(bytes);
    EXPECT_EQ(WithoutTime(), GoodRun(Repeat("-", 63) + "*"));
    EXPECT_EQ(target.WriteAddresses(), (std::vector<std::uint32_t>{0x0807FE80, 0x0807FF80}));
    EXPECT_EQ(target.Flash(), FlashImage());
    // The second frame holds 128 bytes: N = 0x7F.
    const auto writes = line.EventsOf(SimEvent::Kind::Write);
    std::vector<std::size_t> frames;
    for (const auto& w : writes)
        if (w.bytes.size() > 5) frames.push_back(w.bytes.size());
    EXPECT_EQ(frames, (std::vector<std::size_t>{258, 130}));

    Fill(bytes, 0x7FFFD, 0x7FFFE);  // only the last word
    bytes.erase(0x7FE80);
    bytes.erase(0x7FF81);
    Run(bytes);
    EXPECT_EQ(WithoutTime(), GoodRun(Repeat("-", 63) + "*"));
    EXPECT_EQ(Last(target.WriteAddresses()), 0x0807FFFCu);
    EXPECT_EQ(Last(target.ReadAddresses()), 0x0807FFFCu);
    EXPECT_EQ(target.Flash(), FlashImage());
}

TEST_F(Stm32ProgramTest, ProgressCountsTheBlocksOfBothPassesAndTheTimeLeft) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0, 300);  // two blocks of at most 256 bytes
    Fill(bytes, 0x3000, 0x3004);
    const std::vector<std::pair<bool, std::vector<int>>> table = {
        {false, {0, 33, 66, 100}},
        {true, {0, 16, 33, 50, 66, 83, 100}},
    };
    for (const auto& [verify, percents] : table) {
        progress.clear();
        inputs.verify = verify;
        Run(bytes);
        ASSERT_EQ(progress.size(), percents.size() + 1) << verify;
        for (std::size_t i = 0; i < percents.size(); ++i) {
            EXPECT_TRUE(progress[i].active);
            EXPECT_EQ(progress[i].percent, percents[i]) << verify << " " << i;
            // Known from the first block on; nothing is left at the end.
            EXPECT_EQ(progress[i].msLeft.has_value(), i > 0);
        }
        EXPECT_GT(*progress[1].msLeft, *progress[percents.size() - 2].msLeft);
        EXPECT_EQ(*progress[percents.size() - 1].msLeft, 0u);
        EXPECT_FALSE(progress.back().active);  // the run's end takes the bar away
    }
}

TEST(RunProgressText, PercentAndMinutesLeftRoundedUp) {
    const std::vector<std::pair<RunProgress, std::string>> table = {
        {{true, 0, std::nullopt}, "0%"},
        {{true, 45, 12000}, "45%, 0:12 left"},
        {{true, 45, 12001}, "45%, 0:13 left"},
        {{true, 99, 65000}, "99%, 1:05 left"},
        {{true, 100, 0}, "100%, 0:00 left"},
    };
    for (const auto& [p, text] : table) EXPECT_EQ(ProgressText(p), text);
}

TEST_F(Stm32ProgramTest, WithoutVerifyNothingIsReadBack) {
    inputs.verify = false;
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x4000, 0x4010);
    Run(bytes);
    EXPECT_EQ(WithoutTime(), GoodRun("--*" + Repeat("-", 61), false));
    EXPECT_TRUE(target.ReadAddresses().empty());
    EXPECT_EQ(target.Flash(), FlashImage());
}

TEST_F(Stm32ProgramTest, EveryFailureEndsWithItsOwnLineAndGivesThePortBack) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x0, 0x300);
    // Reply bytes this far apart are a failure; a USB adapter's 16 ms is not.
    constexpr std::uint64_t kLateGapUs = 35000;
    struct Case {
        const char* name;
        std::function<void(Stm32BootTarget&)> setup;
        Lines tail;  // the last lines before "Restore Serial baud rate."
    };
    const Case cases[] = {
        {"sync nack", [](auto& t) { t.FailStep(Step::Sync, Fault::Nack); },
         {"Changing Serial baud rate.", "ERROR: Failed to Sync with Target, verify Power and Connection.",
          "The target answered NACK: its bootloader runs but was not reset; check the reset line (DTR) and its "
          "polarity."}},
        {"get silent", [](auto& t) { t.FailStep(Step::Get, Fault::Silence); },
         {"BSL Enter ...", "ERROR: Can't get Bootloader version."}},
        {"get gaps", [](auto& t) { t.FailStep(Step::Get, Fault::SlowReply); t.replyGapUs = kLateGapUs; },
         {"BSL Enter ...", "ERROR: Can't get Bootloader version."}},
        {"id nack", [](auto& t) { t.FailStep(Step::GetId, Fault::Nack); },
         {"Bootloader Version: 2.2", "ERROR: Can't get ID."}},
        {"id gaps", [](auto& t) { t.FailStep(Step::GetId, Fault::SlowReply); t.replyGapUs = kLateGapUs; },
         {"Bootloader Version: 2.2", "ERROR: Can't get ID."}},
        // A one-byte ID is no product ID.
        {"id short", [](auto& t) { t.productId = {0x04}; },
         {"Bootloader Version: 2.2", "ERROR: Can't get ID."}},
        {"wrong id", [](auto& t) { t.productId = {0x04, 0x13}; },
         {"Bootloader Version: 2.2", "ID: 0413 ERROR: Wrong ID."}},
        {"erase nack", [](auto& t) { t.FailStep(Step::Erase, Fault::Nack); },
         {"Erasing ...", "ERROR: Erasing Failure."}},
        {"erase ack late", [](auto& t) {
             t.FailStep(Step::Erase, Fault::SlowReply);
             t.replyGapUs = 1100000;
         },
         {"Erasing ...", "ERROR: Erasing Failure."}},
        {"write nack", [](auto& t) { t.FailStep(Step::Write, Fault::Nack, 2); },
         {Repeat("^", 1), "ERROR: Programming error."}},
        {"write silent", [](auto& t) { t.FailStep(Step::Write, Fault::Silence, 3); },
         {Repeat("^", 1), "ERROR: Programming error."}},
        {"write wrong ack", [](auto& t) { t.FailStep(Step::Write, Fault::WrongByte, 1); },
         {"*" + Repeat("-", 63), "ERROR: Programming error."}},
        {"read wrong byte", [](auto& t) {
             t.FailStep(Step::Read, Fault::WrongByte, 3);
             t.wrongByteIndex = 255;
         },
         {"Verify ...", Repeat("^", 1), "ERROR: Verify error."}},
        {"read gaps", [](auto& t) { t.FailStep(Step::Read, Fault::SlowReply, 1); t.replyGapUs = kLateGapUs; },
         {"Verify ...", "ERROR: Verify error."}},
    };
    for (const Case& c : cases) {
        Stm32BootTarget fresh(line);
        line.SetPeer(&fresh);
        c.setup(fresh);
        Run(bytes);
        line.SetPeer(&target);
        Lines lines = log.Lines();
        ASSERT_GE(lines.size(), c.tail.size() + 1) << c.name;
        EXPECT_EQ(lines.back(), "Restore Serial baud rate.") << c.name;
        EXPECT_EQ(Lines(lines.end() - 1 - static_cast<long>(c.tail.size()), lines.end() - 1), c.tail)
            << c.name << "\n" << log.Text();
        EXPECT_EQ(loader.LastRunResult, 1) << c.name;
        EXPECT_TRUE(BackAtTerminalSettings()) << c.name;
        // No reset pulse after a failure: DTR was last driven by the reopen.
        EXPECT_TRUE(Last(line.EventsOf(SimEvent::Kind::Dtr)).level) << c.name;
        if (std::string(c.name) == "wrong id") {
            EXPECT_EQ(fresh.Served(Step::Erase), 0u);  // nothing erased
        }
    }

    // A stray NACK before each ACK is no failure, nor an ACK late by 950 ms.
    target.ClearFaults();
    target.replyGapUs = 950000;
    for (Step s : {Step::Sync, Step::Get, Step::GetId, Step::Erase, Step::Write, Step::Read})
        target.FailStep(s, Fault::NackThenAck);
    target.FailStep(Step::Write, Fault::SlowReply, 2);
    target.Flash().assign(FirmwareImage::kDefaultSize, 0x00);
    Run(bytes);
    EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
    EXPECT_EQ(target.Flash(), FlashImage());

    // A file that cannot be read stops the run before the port is touched.
    inputs.firmwarePath = dir.File("missing.s37");
    line.ClearEvents();
    loader.StartProgram(inputs);
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32.", "FATAL ERROR: Can't open FILE.",
                                  "Firmware file " + inputs.firmwarePath +
                                      ": cannot be opened (No such file or directory)."}));
    EXPECT_TRUE(line.Events().empty());
}

TEST_F(Stm32ProgramTest, EntryFindsEitherBoot0WiringAndAnInvertedReset) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x10, 0x20);
    // BOOT0 high with RTS asserted: the first attempt starts the firmware,
    // the second (opposite polarity) the bootloader.
    target.boot0WhenRtsAsserted = true;
    Run(bytes);
    EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
    EXPECT_EQ(target.Served(Step::Sync), 1u);
    EXPECT_EQ(target.Flash(), FlashImage());

    // The link keeps the polarity that worked.
    ASSERT_EQ(port.ComOpen("ttyQ0", 57600, kFrameE81), kComOk);
    Stm32Link link(port);
    const std::uint64_t t0 = clock.NowUs();
    EXPECT_EQ(link.Stm32Connect(), Stm32Link::kConnected);
    EXPECT_FALSE(port.RtsPolarity);
    // One failed attempt (210 ms of pattern and 1 s of ACK tries), then the
    // pattern again and an ACK within a millisecond.
    EXPECT_NEAR(static_cast<double>(clock.NowUs() - t0), 1420000.0, 1000.0);
    int version = 0;
    EXPECT_EQ(link.Stm32Get(version), 0);
    EXPECT_EQ(version, 0x22);

    // "Invert DTR (RESET)" for a board whose reset is held by DTR asserted.
    target.boot0WhenRtsAsserted = false;
    target.resetWhenDtrAsserted = true;
    inputs.invertDtr = true;
    ASSERT_EQ(port.ComOpen("ttyQ0", 9600, kFrameN81), kComOk);
    Run(bytes);
    EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
}

TEST_F(Stm32ProgramTest, ProductIdsAndVersionsAreNamed) {
    const std::pair<Bytes, const char*> ids[] = {
        {{0x04, 0x10}, "ID: 0410 (Medium-density device)"},
        {{0x04, 0x12}, "ID: 0412 (Low-density device)"},
        {{0x04, 0x14}, "ID: 0414 (High-density device)"},
        {{0x04, 0x18}, "ID: 0418 STM32F105xx/STM32F107xx (Connectivity device)"},
        {{0x04, 0x20}, "ID: 0420 STM32F100xx"},
        {{0x06, 0x41}, "ID: 0641 STM32F101RB"},
    };
    inputs.verify = false;
    for (const auto& [id, text] : ids) {
        target.productId = id;
        Run({{0x0, 0x12}});
        EXPECT_EQ(At(log.Lines(), 5), text);
        EXPECT_EQ(loader.LastRunResult, 0);
    }
    target.version = 0x31;
    Run({{0x0, 0x12}});
    EXPECT_EQ(At(log.Lines(), 4), "Bootloader Version: 3.1");
}

// Through an FTDI adapter that keeps its 16 ms timer (the request refused,
// as on Windows) each block read back ends with bytes that wait a whole
// period after the packets before them, yet within a reply byte's wait.
TEST_F(Stm32ProgramTest, RunsWithVerifySucceedThroughAnAdapterAtItsDefaultLatency) {
    line.SetAdapter(SimLine::Adapter::Ftdi);
    line.refuseLowLatency = true;
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x0, 0x500);
    for (int targetIndex : {kTargetStm32_115200, kTargetStm32_57600}) {
        inputs.targetIndex = targetIndex;
        Run(bytes);
        EXPECT_EQ(WithoutTime(), GoodRun("*" + Repeat("-", 63))) << targetIndex;
        EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
        EXPECT_EQ(target.ReadAddresses().size(), 5u * (targetIndex == kTargetStm32_115200 ? 1 : 2));
        EXPECT_EQ(target.Flash(), FlashImage());
    }
}

TEST_F(Stm32ProgramTest, NoTargetTakesAboutFourPointEightSecondsAtThe57600Rate) {
    line.SetPeer(nullptr);
    inputs.targetIndex = kTargetStm32_57600;
    Run({{0x0, 0x12}});
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32.", "FILE Load: OK.", "Changing Serial baud rate.",
                                  "ERROR: Failed to Sync with Target, verify Power and Connection.",
                                  "Nothing came back: check the target's power, that its TX goes to the "
                                  "adapter's RX and its RX to TX, and the port.",
                                  "Restore Serial baud rate."}));
    // 4 attempts of 10 + 100 + 100 ms of reset pattern and 10 tries of 100 ms.
    EXPECT_NEAR(static_cast<double>(clock.NowUs() - startUs), 4840000.0, 5000.0);
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::Settings)[0].settings.baud, 57600u);
    // The window was let in at every silent try.
    EXPECT_EQ(messageRounds, 40);
    EXPECT_EQ(loader.LastRunResult, 1);
}

// --- the STM32-ANY targets ---------------------------------------------------

TEST_F(Stm32ProgramTest, AnyTargetWritesAndVerifiesEachFamilyModel) {
    struct Case {
        std::uint16_t id;
        const char* idLine;
        const char* eraseLine;
        std::vector<std::uint16_t> erased;  // pages one by one; none: a global erase
    };
    const Case cases[] = {
        {0x414, "ID: 0414 STM32F10xxx high-density, flash 512 KiB in 256 pages",
         "Erasing all 256 pages (global erase) ...", {}},
        {0x430, "ID: 0430 STM32F10xxx XL-density, flash 1024 KiB in 512 pages",
         "Erasing all 512 pages (global erase) ...", {}},
        {0x440, "ID: 0440 STM32F05xxx/F030x8, flash 64 KiB in 64 pages", "Erasing all 64 pages (global erase) ...", {}},
        {0x413, "ID: 0413 STM32F40xxx/41xxx, flash 1024 KiB in 12 sectors", "Erasing 4 of 12 sectors ...", {0, 7, 8, 11}},
        {0x419, "ID: 0419 STM32F42xxx/43xxx, flash 2048 KiB in 24 sectors",
         "Erasing all 24 sectors (global erase) ...", {}},
        {0x449, "ID: 0449 STM32F74xxx/75xxx, flash 1024 KiB in 8 sectors", "Erasing 4 of 8 sectors ...", {0, 5, 6, 7}},
        {0x460, "ID: 0460 STM32G07xxx/08xxx, flash 128 KiB in 64 pages", "Erasing all 64 pages (global erase) ...", {}},
        {0x468, "ID: 0468 STM32G431xx/441xx, flash 128 KiB in 64 pages", "Erasing all 64 pages (global erase) ...", {}},
        {0x415, "ID: 0415 STM32L47xxx/48xxx, flash 1024 KiB in 512 pages",
         "Erasing all 512 pages (global erase) ...", {}},
        {0x450, "ID: 0450 STM32H74xxx/75xxx, flash 2048 KiB in 16 sectors",
         "Erasing all 16 sectors (global erase) ...", {}},
    };
    ASSERT_EQ(std::size(cases), Stm32ChipModels().size());
    inputs.targetIndex = kTargetStm32Any_115200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.idLine);
        const Stm32ChipModel& model = *FindStm32ChipModel(c.id);
        Stm32BootTarget chip(line, model);
        chip.Flash().assign(chip.Flash().size(), 0x00);  // the erase must happen
        // The first bytes, a stretch across the middle, the last bytes: an
        // odd number each, so blocks are cut inside a write unit.
        const std::uint32_t size = model.FlashSize();
        std::map<std::uint32_t, std::uint8_t> bytes;
        Fill(bytes, 0, 7);
        Fill(bytes, size / 2 - 3, size / 2 + 301);
        Fill(bytes, size - 5, size);
        const Lines lines = RunOn(&chip, bytes);
        EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
        // The ruler and map span this flash; each pass leaves 64 marks.
        const Lines ruler = Stm32RulerLines(size);
        Lines expected = {c.idLine, c.eraseLine, "Programming ..."};
        expected.insert(expected.end(), ruler.begin(), ruler.end());
        const std::string map = "*" + Repeat("-", 30) + "**" + Repeat("-", 30) + "*", marks = Repeat("^", 64);
        expected.insert(expected.end(), {map, marks, "Verify ...", marks, "Restore Serial baud rate."});
        ASSERT_EQ(lines.size(), 6 + expected.size()) << log.Text();
        EXPECT_EQ(Lines(lines.begin() + 5, lines.end() - 1), expected);
        EXPECT_EQ(Last(lines).rfind("PROGRAM OK in ", 0), 0u);
        EXPECT_EQ(chip.ErasedPages(), c.erased);
        EXPECT_EQ(chip.SpecialErases().size(), c.erased.empty() ? 1u : 0u);
        // Whole units only, and the flash holds the image: blank where it
        // was erased, untouched in the pages left alone.
        for (std::uint32_t a : chip.WriteAddresses()) EXPECT_EQ(a % model.programUnit, 0u) << a;
        Bytes flash(size, c.erased.empty() ? 0xFF : 0x00);
        const std::vector<Stm32Page> pages = Stm32PageList(*FindStm32Part(c.id));
        for (std::uint16_t p : c.erased) std::fill_n(flash.begin() + pages.at(p).offset, pages.at(p).bytes, 0xFF);
        for (const auto& [a, b] : bytes) flash[a] = b;
        EXPECT_EQ(chip.Flash(), flash);
    }
}

TEST_F(Stm32ProgramTest, AnyTargetStopsBeforeErasingWhatItCannotWrite) {
    struct Case {
        const char* name;
        std::uint16_t model;
        std::function<void(Stm32BootTarget&)> setup;
        std::uint32_t dataAt;
        std::string lastLine;
    };
    const Case cases[] = {
        {"unknown ID", 0x414, [](auto& t) { t.productId = {0x09, 0x99}; }, 0, "ID: 0999 ERROR: Unknown product ID."},
        {"beyond the part", 0x440, [](auto&) {}, 0x10000,
         "ERROR: The firmware does not fit this part's 64 KiB of flash: line 2: data at 0x08010000..0x08010003 lie outside the flash "
         "(0x08000000..0x0800FFFF); S3 addresses count from 0x08000000."},
        {"protected", 0x413, [](auto& t) { t.readoutProtected = true; }, 0, kLineReadoutProtected},
        {"no go", 0x413, [](auto& t) { t.commands.erase(std::find(t.commands.begin(), t.commands.end(), 0x21)); },
         0, "ERROR: This bootloader has no Go command (0x21)."},
    };
    inputs.targetIndex = kTargetStm32Any_115200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stm32BootTarget chip(line, *FindStm32ChipModel(c.model));
        c.setup(chip);
        chip.Flash()[0] = 0x00;
        inputs.go = std::string(c.name) == "no go";
        std::map<std::uint32_t, std::uint8_t> bytes;
        Fill(bytes, c.dataAt, c.dataAt + 4);
        const Lines lines = RunOn(&chip, bytes);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.lastLine);
        EXPECT_EQ(lines.back(), "Restore Serial baud rate.");
        EXPECT_EQ(loader.LastRunResult, 1);
        EXPECT_EQ(loader.ReadoutProtected, std::string(c.name) == "protected");
        EXPECT_EQ(chip.Served(Step::Erase), 0u);
        EXPECT_EQ(chip.Flash()[0], 0x00);
    }
    // Data that no STM32 flash could hold: refused before the port is
    // touched, as the program's own STM32 targets refuse what lies beyond
    // 512 KiB.
    std::map<std::uint32_t, std::uint8_t> beyond;
    Fill(beyond, 0x200000, 0x200004);
    Run(beyond);
    EXPECT_EQ(At(log.Lines(), 1), "FATAL ERROR: Can't open FILE.");
    EXPECT_TRUE(line.Events().empty());
}

TEST_F(Stm32ProgramTest, AnyTargetUnprotectsOnlyOnRequestAndCanStartWithGo) {
    Stm32BootTarget chip(line, *FindStm32ChipModel(0x460));
    chip.readoutProtected = true;
    chip.Flash()[0x1000] = 0x00;
    inputs.targetIndex = kTargetStm32Any_115200;
    inputs.unprotect = true;
    inputs.go = true;
    std::map<std::uint32_t, std::uint8_t> bytes;
    Fill(bytes, 0x10, 0x20);
    Lines lines = RunOn(&chip, bytes);
    EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
    EXPECT_EQ((Lines{At(lines, 6), At(lines, 7), At(lines, 8), At(lines, 9)}),
              (Lines{"The part refused to read its flash size (read-out protection): the family's 128 KiB stand.",
                     "Removing read-out protection (this erases the whole flash) ...",
                     "Read-out protection removed; the flash is erased.", "Programming ..."}));
    EXPECT_EQ(At(lines, lines.size() - 3), "Starting the firmware at 0x08000000 (Go) ...");
    EXPECT_FALSE(chip.readoutProtected);
    EXPECT_EQ(chip.Served(Step::Erase), 0u);  // the unprotect erased it
    Bytes expected(chip.Flash().size(), 0xFF);
    for (const auto& [a, b] : bytes) expected[a] = b;
    EXPECT_EQ(chip.Flash(), expected);
    // Go started the firmware, and no reset pulse follows: DTR falls once
    // less than in a run that ends with the pulse.
    EXPECT_EQ(chip.mode(), Stm32BootTarget::Mode::Running);
    auto dtrFalls = [this] {
        int falls = 0;
        for (const SimEvent& e : line.EventsOf(SimEvent::Kind::Dtr)) falls += e.level ? 0 : 1;
        return falls;
    };
    const int fallsWithGo = dtrFalls();

    // Asked for, on a part without protection: said, and the run erases.
    inputs.go = false;
    lines = RunOn(&chip, bytes);
    EXPECT_EQ(loader.LastRunResult, 0) << log.Text();
    EXPECT_EQ(At(lines, 6), "Read-out protection is off: nothing to remove.");
    EXPECT_EQ(At(lines, 7), "Erasing 1 of 64 pages ...");
    EXPECT_EQ(dtrFalls(), fallsWithGo + 1);
}

// Chips that hold old firmware, with files that end inside a page or
// sector, cover one with 0xFF only, or reach beyond a smaller part's
// flash: each run ends "PROGRAM OK" with the chip equal to every byte the
// file covers and the pages it leaves alone untouched, or is refused
// before anything is erased.
TEST_F(Stm32ProgramTest, AnyTargetOnOldFirmwareMatchesEveryCoveredByte) {
    struct Range {
        std::uint32_t begin, end;
        bool blank;  // the file sets the bytes to 0xFF
    };
    struct Case {
        const char* name;
        std::uint16_t id;
        std::uint32_t flashBytes;  // 0: the model's
        std::vector<Range> file;
        std::vector<std::uint16_t> erased;
        std::string line;  // the ID line of a good run, else the failure line
    };
    const Case cases[] = {
        {"F407 end of sector 0", 0x413, 0, {{0x3FF0, 0x4000, false}}, {0},
         "ID: 0413 STM32F40xxx/41xxx, flash 1024 KiB in 12 sectors"},
        {"F407 sector 1 set to 0xFF", 0x413, 0, {{0x0, 0x10, false}, {0x4000, 0x8000, true}}, {0, 1},
         "ID: 0413 STM32F40xxx/41xxx, flash 1024 KiB in 12 sectors"},
        {"F407 0xFF inside data", 0x413, 0, {{0x8000, 0x8010, false}, {0x8010, 0x8020, true}, {0x8020, 0x8023, false}},
         {2}, "ID: 0413 STM32F40xxx/41xxx, flash 1024 KiB in 12 sectors"},
        {"F103 end of page 0", 0x414, 0, {{0x7F2, 0x800, false}}, {0},
         "ID: 0414 STM32F10xxx high-density, flash 512 KiB in 256 pages"},
        {"L476 end of page 3", 0x415, 0, {{0x1FF9, 0x2000, false}}, {3},
         "ID: 0415 STM32L47xxx/48xxx, flash 1024 KiB in 512 pages"},
        {"H743 end of sector 0", 0x450, 0, {{0x1FFE1, 0x20000, false}}, {0},
         "ID: 0450 STM32H74xxx/75xxx, flash 2048 KiB in 16 sectors"},
        {"F407 of 512 KiB, last sector", 0x413, 0x80000, {{0x7FFF0, 0x80000, false}}, {7},
         "ID: 0413 STM32F40xxx/41xxx, flash 512 KiB in 8 sectors"},
        {"F407 of 512 KiB, data beyond", 0x413, 0x80000, {{0x0, 0x10, false}, {0x80000, 0x80004, false}}, {},
         "ERROR: The firmware does not fit this part's 512 KiB of flash: line 3: data at 0x08080000..0x08080003 lie "
         "outside the flash (0x08000000..0x0807FFFF); S3 addresses count from 0x08000000."},
    };
    inputs.targetIndex = kTargetStm32Any_115200;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stm32BootTarget chip(line, *FindStm32ChipModel(c.id), c.flashBytes);
        chip.LoadOldFirmware();
        Bytes expected = chip.Flash();
        std::map<std::uint32_t, std::uint8_t> bytes;
        for (const Range& r : c.file) {
            if (r.blank)
                for (std::uint32_t a = r.begin; a < r.end; ++a) bytes[a] = 0xFF;
            else
                Fill(bytes, r.begin, r.end);
        }
        const Lines lines = RunOn(&chip, bytes);
        const bool good = c.line.rfind("ID: ", 0) == 0;
        EXPECT_EQ(loader.LastRunResult, good ? 0 : 1) << log.Text();
        EXPECT_EQ(At(lines, good ? 5 : lines.size() - 2), c.line);
        EXPECT_EQ(chip.ErasedPages(), c.erased);
        EXPECT_TRUE(chip.SpecialErases().empty());
        const Stm32Part part = Stm32PartOfSize(*FindStm32Part(c.id), static_cast<std::uint32_t>(chip.Flash().size()));
        for (std::uint16_t p : c.erased)
            std::fill_n(expected.begin() + Stm32PageList(part).at(p).offset, Stm32PageList(part).at(p).bytes, 0xFF);
        if (good)
            for (const auto& [a, b] : bytes) expected[a] = b;
        EXPECT_EQ(chip.Flash(), expected);
        // After the flash size and the protection probe, the read-back
        // starts its blocks at covered bytes only.
        for (std::size_t i = 2; i < chip.ReadAddresses().size(); ++i)
            EXPECT_TRUE(bytes.count(chip.ReadAddresses()[i] - kStm32FlashBase)) << i;
    }
}

// The plain Erase command numbers pages in one byte: 255 is the last it
// can name, and 255 pages the most one command takes (N = 0xFF means the
// global erase). A larger number or count is refused before anything is
// sent.
TEST_F(Stm32ProgramTest, PlainEraseStopsAtTheOneBytePageNumbers) {
    std::vector<std::uint16_t> first255(255);
    for (std::size_t i = 0; i < first255.size(); ++i) first255[i] = static_cast<std::uint16_t>(i);
    std::vector<std::uint16_t> first256 = first255;
    first256.push_back(255);
    const std::pair<std::vector<std::uint16_t>, int> cases[] = {
        {{255}, 0}, {{256}, 1}, {{3, 256}, 1}, {first255, 0}, {first256, 1},
    };
    Stm32BootTarget xl(line, *FindStm32ChipModel(0x430));
    line.SetPeer(&xl);
    ASSERT_EQ(port.ComOpen("ttyQ0", 115200, kFrameE81), kComOk);
    Stm32Link link(port);
    ASSERT_EQ(link.Stm32Connect(), Stm32Link::kConnected);
    for (const auto& [pages, result] : cases) {
        SCOPED_TRACE(pages.size());
        const std::size_t before = xl.ErasedPages().size();
        line.ClearEvents();
        EXPECT_EQ(link.Stm32Erase(false, pages, 30000), result);
        const std::vector<std::uint16_t> erased(xl.ErasedPages().begin() + static_cast<long>(before),
                                                xl.ErasedPages().end());
        EXPECT_EQ(erased, result == 0 ? pages : std::vector<std::uint16_t>{});
        if (result != 0) {
            EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Write).empty());
        }
    }
    line.SetPeer(&target);
}

// After Readout Unprotect the chip restarts its bootloader; a host finds it
// by its answer to the sync byte: ACK from a fresh one, NACK from one that
// had already taken a sync byte and reads the next as a command.
TEST_F(Stm32ProgramTest, ResyncTakesAckOrNackAsAListeningBootloader) {
    struct Case {
        const char* name;
        bool syncedBefore;
        bool present;
        int result;
    };
    const Case cases[] = {
        {"restarted", false, true, 0},
        {"already synced", true, true, 0},
        {"gone", false, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stm32BootTarget chip(line);
        line.SetPeer(&chip);
        ASSERT_EQ(port.ComOpen("ttyQ0", 115200, kFrameE81), kComOk);
        Stm32Link link(port);
        ASSERT_EQ(link.Stm32Connect(), Stm32Link::kConnected);
        if (!c.syncedBefore) {
            // The restart after the unprotect: the bootloader waits for a sync.
            link.Stm32ReadoutUnprotect(Stm32MassEraseWaitMs(*FindStm32Part(0x414)));
        }
        if (!c.present) line.SetPeer(nullptr);
        EXPECT_EQ(link.Stm32Resync(), c.result);
        int version = 0;
        if (c.present) {
            EXPECT_EQ(link.Stm32Get(version), 0);
        }
        line.SetPeer(&target);
    }
}

// The window of addresses a file may use, per target: an STM32-ANY file
// may reach as far as the largest STM32 flash, not only the F1's 512 KiB.
TEST(TargetFlashWindowTest, EachTargetTakesItsFlash) {
    const std::pair<const char*, FlashWindow> cases[] = {
        {"MSP430-9600", {0x0000, 0x10000}},
        {"STM32-115200", {0x08000000, 0x80000}},
        {"STM32-57600", {0x08000000, 0x80000}},
        {"STM32-ANY-115200", {0x08000000, 0x200000}},
        {"STM32-ANY-57600", {0x08000000, 0x200000}},
        {"BLACKFIN", {0, 0}},
    };
    for (const auto& [name, window] : cases) {
        SCOPED_TRACE(name);
        const LoaderTarget* target = nullptr;
        for (const LoaderTarget& t : kLoaderTargets)
            if (std::string(t.name) == name) target = &t;
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(TargetFlashWindow(*target).base, window.base);
        EXPECT_EQ(TargetFlashWindow(*target).size, window.size);
    }
}

// A target that does not answer the sync byte, seen from what comes back.
class EchoesSync : public SimPeer {
public:
    explicit EchoesSync(std::vector<std::uint8_t> reply) : reply_(std::move(reply)) {}
    void OnBytes(SimLine& line, const std::uint8_t*, std::size_t, std::uint64_t arrivalUs) override {
        line.SendToPortAt(arrivalUs, reply_);
    }

private:
    std::vector<std::uint8_t> reply_;
};

// Application firmware that greets the line each time reset is released.
class GreetsAfterReset : public SimPeer {
public:
    void OnBytes(SimLine&, const std::uint8_t*, std::size_t, std::uint64_t) override {}
    void OnLines(SimLine& line, bool dtr, bool, std::uint64_t atUs) override {
        if (dtr && !released_) line.SendToPortAt(atUs + 20000, {'b', 'o', 'o', 't', '\r', '\n'});
        released_ = dtr;
    }

private:
    bool released_ = true;
};

TEST_F(Stm32ProgramTest, AFailedConnectIsExplainedByWhatCameBack) {
    EchoesSync loopback({0x7F});
    EchoesSync garbled({0xE0, 0x00});
    GreetsAfterReset firmware;
    // Silence and a NACK are explained in the runs that meet them above.
    const std::pair<SimPeer*, std::string> cases[] = {
        {&loopback, "The sync byte 0x7F came back as it was sent: RX is wired to TX (a loopback)."},
        {&garbled, "Stray bytes came back: a wrong baud rate, or an adapter that cannot do even parity."},
        // Last: its greeting after the closing reopen would reach the next run.
        {&firmware, "Bytes came after each reset, before the sync byte: the firmware runs instead of the bootloader "
                    "(BOOT0 not high)."},
    };
    for (const auto& [peer, explanation] : cases) {
        for (int index : {kTargetStm32_115200, kTargetStm32Any_57600}) {
            SCOPED_TRACE(explanation + " / " + kLoaderTargets[index].name);
            inputs.targetIndex = index;
            const Lines lines = RunOn(peer, {{0x0, 0x12}});
            ASSERT_EQ(lines.size(), 6u) << log.Text();
            EXPECT_EQ(lines[3], "ERROR: Failed to Sync with Target, verify Power and Connection.");
            EXPECT_EQ(lines[4], explanation);
            EXPECT_EQ(lines[5], "Restore Serial baud rate.");
        }
    }
}

}  // namespace
}  // namespace quennet
