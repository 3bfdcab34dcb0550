#include "loader/Loader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "core/BaudText.h"
#include "VirtualClock.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::Last;

using Lines = std::vector<std::string>;

class LoaderTest : public ::testing::Test {
protected:
    LoaderTest()
        : line(clock),
          port(SimDeviceFactory(line), clock),
          loader(LoaderHost{port, log, [this] { Pump(false); }, [this] { Pump(true); },
                            [this] {
                                if (onMessages) onMessages();
                            },
                            {}}) {
        inputs.firmwarePath = QUENNET_TEST_DATA "/srec/stm32_app.s37";
        inputs.terminalPort = "ttyQ0";
        inputs.terminalBaud = "9600";
        inputs.terminalFormat = kFrameN81;
    }

    void Pump(bool run) {
        pumpRunning = run;
        (run ? resumes : pauses)++;
        if (run) eventsAtResume = line.Events().size();
    }

    void OpenTerminal() {
        ASSERT_EQ(port.ComOpen(inputs.terminalPort, ParseBaudText(inputs.terminalBaud),
                               inputs.terminalFormat),
                  kComOk);
        line.ClearEvents();
    }

    // A sequence standing in for a target: counts its calls and runs `body`.
    void Use(int target, std::function<int(Loader&, std::uint32_t)> body) {
        inputs.targetIndex = target;
        auto seq = [this, body](Loader& l, const LoaderInputs&, std::uint32_t baud) {
            ++sequenceCalls;
            seenBaud = baud;
            seenPumpRunning = pumpRunning;
            seenWatchdog = port.WatchdogToggle;
            seenDtrInverted = port.DtrInverted;
            seenRunActive = l.RunActive();
            return body(l, baud);
        };
        loader.SetProgramMsp430(seq);
        loader.SetMsp430DeviceInfo(seq);
        loader.SetProgramStm32(seq);
    }

    // DTR levels the device saw after the pump was resumed.
    std::vector<SimEvent> DtrAfterResume() const {
        std::vector<SimEvent> out;
        for (std::size_t i = eventsAtResume; i < line.Events().size(); ++i)
            if (line.Events()[i].kind == SimEvent::Kind::Dtr) out.push_back(line.Events()[i]);
        return out;
    }
    std::size_t DtrEvents() const { return line.EventsOf(SimEvent::Kind::Dtr).size(); }

    VirtualClock clock{1000};
    SimLine line;
    ComPort port;
    MemoryStatusLog log;
    std::function<void()> onMessages;
    Loader loader;
    LoaderInputs inputs;

    bool pumpRunning = true;
    int pauses = 0, resumes = 0;
    std::size_t eventsAtResume = 0;
    int sequenceCalls = 0;
    std::uint32_t seenBaud = 0;
    bool seenPumpRunning = true, seenWatchdog = false, seenDtrInverted = false, seenRunActive = false;
};

// --- frame ------------------------------------------------------------------

TEST_F(LoaderTest, NoPortOpenStopsBeforeTheSequenceAndLeavesTheFileUnread) {
    loader.Image()[0] = 0x00;
    loader.PortReopened = true;
    port.DtrInverted = false;
    inputs.invertDtr = true;
    for (int target : {kTargetMsp430_9600, kTargetStm32_115200}) {
        inputs.targetIndex = target;  // the built-in sequences read the file first
        ASSERT_TRUE(loader.StartProgram(inputs));
        Lines expected{target == kTargetMsp430_9600 ? "Begin program MSP430." : "Begin program STM32.",
                       "ERROR: Select a COM Port from the Terminal."};
        // A port chosen but not open gets the line that says what to do.
        if (!inputs.terminalPort.empty()) expected.push_back(kLineTickOpenCom);
        EXPECT_EQ(log.Lines(), expected);
        EXPECT_EQ(log.Text().substr(log.Text().size() - 2), "\r\n");
        EXPECT_EQ(loader.LastRunResult, 1);
    }
    EXPECT_EQ(loader.Image()[0], 0x00);  // the file was not read
    EXPECT_FALSE(loader.PortReopened);
    EXPECT_FALSE(port.DtrInverted);  // taken from the option only with a port
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(resumes, 2);
    EXPECT_TRUE(pumpRunning);
    EXPECT_TRUE(line.Events().empty());
}

TEST_F(LoaderTest, SuccessResumesThePumpThenPulsesReset) {
    OpenTerminal();
    Use(kTargetStm32_57600, [&](Loader&, std::uint32_t) { return 0; });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(sequenceCalls, 1);
    EXPECT_EQ(seenBaud, 57600u);
    EXPECT_FALSE(seenPumpRunning);
    EXPECT_TRUE(seenRunActive);
    EXPECT_TRUE(pumpRunning);
    EXPECT_EQ(loader.LastRunResult, 0);
    EXPECT_FALSE(loader.RunActive());
    // Pulse after the pump is back: DTR released for 250 ms, then asserted.
    const auto dtr = DtrAfterResume();
    ASSERT_EQ(dtr.size(), 2u);
    EXPECT_FALSE(dtr[0].level);
    EXPECT_TRUE(dtr[1].level);
    EXPECT_EQ(dtr[1].atUs - dtr[0].atUs, 250000u);
    EXPECT_EQ(DtrEvents(), 2u);
    EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Open).empty());  // no reopen was needed
}

TEST_F(LoaderTest, DtrInversionComesFromTheOptionAndTurnsThePulse) {
    OpenTerminal();
    inputs.invertDtr = true;
    Use(kTargetMsp430_19200, [&](Loader&, std::uint32_t) { return 0; });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(seenBaud, 19200u);
    EXPECT_TRUE(seenDtrInverted);
    EXPECT_TRUE(port.DtrInverted);
    const auto dtr = DtrAfterResume();
    ASSERT_EQ(dtr.size(), 2u);
    EXPECT_TRUE(dtr[0].level);
    EXPECT_FALSE(dtr[1].level);

    inputs.invertDtr = false;
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_FALSE(seenDtrInverted);
    loader.ApplyInvertDtr(true);  // the check box acts at once, between runs too
    EXPECT_TRUE(port.DtrInverted);
}

TEST_F(LoaderTest, FailureGetsNoResetPulse) {
    OpenTerminal();
    Use(kTargetStm32_115200, [&](Loader&, std::uint32_t) { return 1; });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(loader.LastRunResult, 1);
    EXPECT_EQ(DtrEvents(), 0u);
    EXPECT_TRUE(pumpRunning);
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32."}));
}

TEST_F(LoaderTest, ReopenAtTargetSettingsThenRestoreTheTerminals) {
    inputs.terminalBaud = "115200";
    inputs.terminalFormat = kFrameE71;
    OpenTerminal();
    LineSettings atTarget;
    Use(kTargetStm32_57600, [&](Loader& l, std::uint32_t baud) {
        if (l.OpenPortForTarget(baud) != 0) return 1;
        atTarget = line.Settings();
        EXPECT_TRUE(l.PortReopened);
        l.Port().clock().Sleep(5042);
        l.AppendText("^^^");  // the pass's marks leave the last line open
        l.RestoreTerminalPort();
        l.AddLine("PROGRAM OK in ");
        l.AppendText(FormatElapsed(l.ElapsedMs()));
        return 0;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(atTarget.baud, 57600u);
    EXPECT_EQ(atTarget.dataBits, 8);
    EXPECT_EQ(atTarget.parity, Parity::Even);
    EXPECT_EQ(atTarget.stopBits, 1);
    // Back at the terminal's settings, on the same device.
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.Settings().baud, 115200u);
    EXPECT_EQ(line.Settings().dataBits, 7);
    EXPECT_EQ(line.Settings().parity, Parity::Even);
    const auto opens = line.EventsOf(SimEvent::Kind::Open);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].text, PortNameToPath("ttyQ0"));
    EXPECT_EQ(opens[1].text, PortNameToPath("ttyQ0"));
    EXPECT_EQ(log.Text(), "Begin program STM32.\r\nChanging Serial baud rate.\r\n^^^\r\n"
                          "Restore Serial baud rate.\r\nPROGRAM OK in 5.042 sec.");
    EXPECT_EQ(loader.LastRunResult, 0);
    EXPECT_EQ(DtrAfterResume().size(), 2u);  // the reset pulse at the very end
}

TEST_F(LoaderTest, TargetReopenFailureLeavesThePortClosedWithoutRestore) {
    OpenTerminal();
    Use(kTargetMsp430_9600, [&](Loader& l, std::uint32_t baud) {
        line.missing = true;  // the adapter was pulled
        return l.OpenPortForTarget(baud);
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(log.Lines(), (Lines{"Begin program MSP430.", "Changing Serial baud rate.",
                                  "FATAL ERROR: Can't open COM port.", "The device ttyQ0 went away."}));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(loader.PortReopened);
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::OpenFailed).size(), 1u);  // no second try
    EXPECT_EQ(loader.LastRunResult, 1);
    EXPECT_TRUE(pumpRunning);
}

TEST_F(LoaderTest, FailedRestoreIsReportedAndKeepsTheRunsResult) {
    inputs.terminalBaud = "";  // reads as 0, which the device refuses
    ASSERT_EQ(port.ComOpen("ttyQ0", 9600, kFrameN81), kComOk);
    line.ClearEvents();
    Use(kTargetStm32_115200, [&](Loader& l, std::uint32_t baud) {
        if (l.OpenPortForTarget(baud) != 0) return 1;
        l.AppendText("^");
        EXPECT_EQ(l.RestoreTerminalPort(), 1);
        l.AddLine("PROGRAM OK in ");
        l.AppendText(FormatElapsed(l.ElapsedMs()));
        return 0;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32.", "Changing Serial baud rate.", "^",
                                  "Restore Serial baud rate.", "FATAL ERROR: Can't open COM port.",
                                  "PROGRAM OK in 0.000 sec."}));
    EXPECT_EQ(loader.LastRunResult, 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(DtrAfterResume().empty());  // the closing pulse finds no port
    EXPECT_TRUE(pumpRunning);
}

TEST_F(LoaderTest, FrameGivesThePortBackWhenASequenceFailsAfterReopening) {
    OpenTerminal();
    Use(kTargetStm32_57600, [&](Loader& l, std::uint32_t baud) {
        l.OpenPortForTarget(baud);
        l.AddLine("ERROR: Failed to Sync with Target, verify Power and Connection.");
        return 1;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32.", "Changing Serial baud rate.",
                                  "ERROR: Failed to Sync with Target, verify Power and Connection.",
                                  "Restore Serial baud rate."}));
    EXPECT_EQ(line.Settings().baud, 9600u);
    EXPECT_EQ(line.Settings().parity, Parity::None);
    EXPECT_EQ(DtrAfterResume().size(), 0u);
}

TEST_F(LoaderTest, RestoreWithoutReopenDoesNothing) {
    OpenTerminal();
    int restore = -1;
    Use(kTargetStm32_57600, [&](Loader& l, std::uint32_t) {
        restore = l.RestoreTerminalPort();
        return 1;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(restore, 0);
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32."}));
    EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Close).empty());
}

TEST_F(LoaderTest, ElapsedTimeIsRightAcrossTheTickCounterWrap) {
    clock.SetStartTick(0xFFFFFFFFu - 2000);
    OpenTerminal();
    Use(kTargetStm32_57600, [&](Loader& l, std::uint32_t) {
        l.Port().clock().Sleep(12005);
        l.AppendText("^");
        l.AddLine("PROGRAM OK in ");
        l.AppendText(FormatElapsed(l.ElapsedMs()));
        return 0;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    ASSERT_LT(clock.TickCount(), 20000u);  // the counter did wrap during the run
    EXPECT_EQ(Last(log.Lines()), "PROGRAM OK in 12.005 sec.");
}

TEST_F(LoaderTest, AThrowingSequenceStillResumesThePumpAndClearsTheFlags) {
    OpenTerminal();
    inputs.toggleTck = true;
    Use(kTargetMsp430_9600, [&](Loader&, std::uint32_t) -> int { throw std::runtime_error("boom"); });
    EXPECT_THROW(loader.StartProgram(inputs), std::runtime_error);
    EXPECT_TRUE(pumpRunning);
    EXPECT_FALSE(loader.RunActive());
    EXPECT_FALSE(port.WatchdogToggle);
    Use(kTargetMsp430_9600, [&](Loader&, std::uint32_t) { return 0; });
    EXPECT_TRUE(loader.StartProgram(inputs));  // the loader is not stuck "busy"
    EXPECT_EQ(sequenceCalls, 2);
}

// --- one run at a time ----------------------------------------------------------

// The run asks for low latency as it reaches for the target (reopening the
// port, or keeping the terminal's) and hands the terminal its port back with
// the flag the terminal's own request gives it, on every path out.
TEST_F(LoaderTest, TheRunHoldsLowLatencyAndGivesThePortBackWithTheTerminalsFlag) {
    struct Case {
        const char* name;
        bool terminalAsks;
        bool reopen;  // else the sequence keeps the terminal's port
        int result;   // 0, 1, or -1 for a sequence that throws
    };
    const Case cases[] = {
        {"reopen, good run", false, true, 0},  {"reopen, failed run", false, true, 1},
        {"kept port, good run", false, false, 0}, {"thrown", false, true, -1},
        {"terminal asks too", true, true, 0},  {"terminal asks, kept port", true, false, 1},
    };
    for (const Case& c : cases) {
        port.ComSetLowLatency(c.terminalAsks);
        OpenTerminal();
        bool during = false;
        Use(kTargetStm32_115200, [&](Loader& l, std::uint32_t baud) {
            if (c.reopen)
                l.OpenPortForTarget(baud);
            else
                l.RequestLowLatency();
            during = line.LowLatency();
            if (c.result < 0) throw std::runtime_error("boom");
            return c.result;
        });
        try {
            loader.StartProgram(inputs);
        } catch (const std::runtime_error&) {
        }
        EXPECT_TRUE(during) << c.name;
        EXPECT_EQ(line.LowLatency(), c.terminalAsks) << c.name;
        EXPECT_EQ(port.LowLatencyRequested(), c.terminalAsks) << c.name;
        EXPECT_EQ(port.LowLatencyGranted(), c.terminalAsks && port.IsOpen()) << c.name;
        port.ComClose();
        EXPECT_FALSE(line.LowLatency()) << c.name;
    }
}

TEST_F(LoaderTest, ClicksDuringARunAreRefused) {
    OpenTerminal();
    bool second = true, info = true;
    int clicks = 0;
    onMessages = [&] {
        if (clicks++ > 0) return;  // one click each, even if a run wrongly nests
        second = loader.StartProgram(inputs);
        info = loader.DeviceInfo(inputs);
    };
    Use(kTargetMsp430_9600, [&](Loader& l, std::uint32_t) {
        l.AddLine("block");
        l.ProcessMessages();  // the window delivers clicks here
        return 0;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_FALSE(second);
    EXPECT_FALSE(info);
    EXPECT_EQ(sequenceCalls, 1);
    EXPECT_EQ(log.Lines(), (Lines{"Begin program MSP430.", "block"}));  // not cleared by them
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(resumes, 1);
    // Once the run is over, the next click runs.
    onMessages = nullptr;
    EXPECT_TRUE(loader.DeviceInfo(inputs));
    EXPECT_EQ(sequenceCalls, 2);
}

TEST_F(LoaderTest, TheRunHoldsThePortAndNothingStartsWhileAnotherUserHoldsIt) {
    OpenTerminal();
    PortUser holderDuringRun = PortUser::Terminal;
    Use(kTargetStm32_115200, [&](Loader&, std::uint32_t) {
        holderDuringRun = port.Owner().Holder();
        return 1;
    });
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(holderDuringRun, PortUser::LoaderRun);
    EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal)) << "given back after the run";

    // An LCD capture holds the port: neither a run nor a query may start,
    // and the log of the last run stays as it was.
    ASSERT_TRUE(port.Owner().Take(PortUser::LcdCapture));
    log.Clear();
    AddStatusLine(log, "kept");
    EXPECT_FALSE(loader.StartProgram(inputs));
    inputs.targetIndex = kTargetMsp430_9600;
    EXPECT_FALSE(loader.DeviceInfo(inputs));
    EXPECT_EQ(sequenceCalls, 1);
    EXPECT_EQ(log.Lines(), (Lines{"kept"}));
    EXPECT_EQ(pauses, 1);
    port.Owner().GiveBack(PortUser::LoaderRun);  // only the holder can give it back
    EXPECT_TRUE(port.Owner().Holds(PortUser::LcdCapture));
    port.Owner().GiveBack(PortUser::LcdCapture);
    EXPECT_TRUE(loader.DeviceInfo(inputs));
}

// --- target table -------------------------------------------------------------------

TEST_F(LoaderTest, WatchdogToggleOnlyAroundMsp430RunsAndNeverLeftSet) {
    OpenTerminal();
    Use(kTargetMsp430_9600, [&](Loader&, std::uint32_t) { return 1; });
    inputs.toggleTck = true;
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_TRUE(seenWatchdog);
    EXPECT_FALSE(port.WatchdogToggle);
    ASSERT_TRUE(loader.DeviceInfo(inputs));
    EXPECT_TRUE(seenWatchdog);
    EXPECT_FALSE(port.WatchdogToggle);

    inputs.toggleTck = false;  // unchecked between runs: takes effect at the next
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_FALSE(seenWatchdog);
    port.WatchdogToggle = true;
    ASSERT_TRUE(loader.DeviceInfo(inputs));
    EXPECT_FALSE(port.WatchdogToggle);  // cleared whether or not the run set it

    // An STM32 run does not touch the flag.
    Use(kTargetStm32_57600, [&](Loader&, std::uint32_t) { return 0; });
    inputs.toggleTck = true;
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_FALSE(seenWatchdog);
    port.WatchdogToggle = true;
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_TRUE(port.WatchdogToggle);
}

TEST_F(LoaderTest, PlaceholderTargetsSucceedWithoutTouchingThePort) {
    OpenTerminal();
    for (int target : {kTargetBlackfin, kTargetMg2455}) {
        loader.LastRunResult = 1;
        inputs.targetIndex = target;
        ASSERT_TRUE(loader.StartProgram(inputs));
        EXPECT_EQ(log.Lines(), (Lines{target == kTargetBlackfin ? "Begin program BLACKFIN."
                                                               : "Begin program MG2455.",
                                      "Under Development."}));
        EXPECT_EQ(loader.LastRunResult, 0);
        // Device Info. has nothing for them: the log is cleared and stays empty.
        ASSERT_TRUE(loader.DeviceInfo(inputs));
        EXPECT_EQ(log.Text(), "");
    }
    EXPECT_EQ(pauses, 0);
    EXPECT_TRUE(line.Events().empty());
}

TEST_F(LoaderTest, TypedTargetTextClearsTheLogAndKeepsTheLastResult) {
    OpenTerminal();
    for (int typed : {-1, kLoaderTargetCount, 1000}) {
        for (int last : {0, 1}) {
            log.AppendRaw("old run\r\n");
            loader.LastRunResult = last;
            inputs.targetIndex = typed;
            ASSERT_TRUE(loader.StartProgram(inputs));
            EXPECT_EQ(log.Text(), "");
            EXPECT_EQ(loader.LastRunResult, last);
        }
    }
    EXPECT_EQ(pauses, 0);
    EXPECT_TRUE(line.Events().empty());
}

TEST_F(LoaderTest, DeviceInfoRunsOnlyForMsp430AndKeepsTheLastResult) {
    OpenTerminal();
    Use(kTargetMsp430_19200, [&](Loader&, std::uint32_t) { return 0; });
    loader.LastRunResult = 1;
    ASSERT_TRUE(loader.DeviceInfo(inputs));
    EXPECT_EQ(seenBaud, 19200u);
    EXPECT_EQ(log.Lines(), (Lines{"MSP430 Info."}));
    EXPECT_EQ(loader.LastRunResult, 1);
    EXPECT_EQ(DtrAfterResume().size(), 2u);  // a good query resets the target too
    for (int target : {kTargetStm32_57600, kTargetStm32_115200, -1}) {
        inputs.targetIndex = target;
        ASSERT_TRUE(loader.DeviceInfo(inputs));
        EXPECT_EQ(log.Text(), "");
    }
    EXPECT_EQ(sequenceCalls, 1);
}

TEST_F(LoaderTest, BuiltInSequencesReadTheFileFirst) {
    OpenTerminal();
    inputs.targetIndex = kTargetStm32_57600;
    ASSERT_TRUE(loader.StartProgram(inputs));
    // The STM32 sequence is the real one: with nothing on the line it
    // finds no target.
    EXPECT_EQ(log.Lines(), (Lines{"Begin program STM32.", "FILE Load: OK.",
                                  "Changing Serial baud rate.",
                                  "ERROR: Failed to Sync with Target, verify Power and Connection.",
                                  "Nothing came back: check the target's power, that its TX goes to the "
                                  "adapter's RX and its RX to TX, and the port.",
                                  "Restore Serial baud rate."}));
    EXPECT_EQ(loader.LastRunResult, 1);
    EXPECT_EQ(loader.Image()[0x100], 0x70);  // the fixture's bytes are in the image
    line.ClearEvents();

    inputs.targetIndex = kTargetMsp430_9600;
    inputs.firmwarePath = QUENNET_TEST_DATA "/srec/does-not-exist.s19";
    ASSERT_TRUE(loader.StartProgram(inputs));
    EXPECT_EQ(log.Lines(), (Lines{"Begin program MSP430.", "FATAL ERROR: Can't open FILE.",
                                  "Firmware file " + inputs.firmwarePath +
                                      ": cannot be opened (No such file or directory)."}));

    // Nothing pretended to talk to a target: no reopen, no reset.
    EXPECT_TRUE(line.Events().empty());
    EXPECT_EQ(loader.LastRunResult, 1);
}

}  // namespace
}  // namespace quennet
