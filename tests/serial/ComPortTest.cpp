#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "serial/ComPort.h"
#include "serial/FrameText.h"

namespace quennet {
namespace {

using Kind = SimEvent::Kind;
using Bytes = std::vector<std::uint8_t>;

class ComPortSimTest : public ::testing::Test {
protected:
    void Open(std::uint32_t baud = 115200, int format = kFrameN81) {
        ASSERT_EQ(port.ComOpen("ttyUSB0", baud, format), kComOk);
    }
    // Lets everything already sent to the port arrive.
    void LetArrive() { clock.Advance(line.WireTimeUs(4096) + 1); }
    std::vector<SimEvent> RtsEventsAfter(std::size_t first) const {
        std::vector<SimEvent> out;
        const auto& ev = line.Events();
        for (std::size_t i = first; i < ev.size(); ++i)
            if (ev[i].kind == Kind::Rts) out.push_back(ev[i]);
        return out;
    }

    VirtualClock clock;
    EchoPeer echo;  // outlives the port, which closes on destruction
    SimLine line{clock};
    ComPort port{SimDeviceFactory(line), clock};
};

// --- ComOpen -----------------------------------------------------------------

TEST_F(ComPortSimTest, OpenConfiguresTheDeviceInOrder) {
    port.QueuedCount = 7;
    port.RtsPolarity = false;
    Open(19200, kFrameE81);

    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.OpenPath(), PortNameToPath("ttyUSB0"));
    EXPECT_EQ(line.Settings().baud, 19200u);
    EXPECT_EQ(line.Settings().dataBits, 8);
    EXPECT_EQ(line.Settings().parity, Parity::Even);
    EXPECT_EQ(line.Settings().stopBits, 1);

    std::vector<Kind> kinds;
    for (const auto& e : line.Events()) kinds.push_back(e.kind);
    const std::vector<Kind> expected = {Kind::Open, Kind::Settings, Kind::Purge,
                                        Kind::Purge, Kind::Dtr, Kind::Rts};
    ASSERT_EQ(kinds, expected);
    const auto& ev = line.Events();
    EXPECT_TRUE(ev[2].transmit && !ev[2].receive) << "transmit side purged first";
    EXPECT_TRUE(!ev[3].transmit && ev[3].receive);
    EXPECT_TRUE(ev[4].level) << "DTR asserted";
    EXPECT_TRUE(ev[5].level) << "RTS asserted through the polarity";

    EXPECT_TRUE(port.RtsPolarity);
    EXPECT_EQ(port.RtsState, 1);
    EXPECT_EQ(port.QueuedCount, 0u);
}

TEST_F(ComPortSimTest, EachFrameFormatSetsItsBitsAndParity) {
    struct Row { int format; const char* name; int bits; Parity parity; };
    const Row rows[] = {{kFrameE71, "E-7-1", 7, Parity::Even}, {kFrameO71, "O-7-1", 7, Parity::Odd},
                        {kFrameN81, "N-8-1", 8, Parity::None}, {kFrameE81, "E-8-1", 8, Parity::Even},
                        {kFrameO81, "O-8-1", 8, Parity::Odd}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_STREQ(kFrameFormatNames[r.format], r.name);
        line.SetDeviceSettings({4800, 5, Parity::Odd, 2});
        ASSERT_EQ(port.ComOpen("ttyS1", 57600, r.format), kComOk);
        EXPECT_EQ(line.Settings().baud, 57600u);
        EXPECT_EQ(line.Settings().dataBits, r.bits);
        EXPECT_EQ(line.Settings().parity, r.parity);
        EXPECT_EQ(line.Settings().stopBits, 1);
        ASSERT_EQ(port.ComClose(), kComOk);
    }
}

TEST_F(ComPortSimTest, FrameFormatOutsideTheTableKeepsBitsAndParity) {
    for (int format : {-1, 5, 99}) {
        SCOPED_TRACE(format);
        line.SetDeviceSettings({9600, 7, Parity::Odd, 2});
        ASSERT_EQ(port.ComOpen("ttyS0", 38400, format), kComOk);
        EXPECT_EQ(line.Settings().baud, 38400u) << "the baud rate is still applied";
        EXPECT_EQ(line.Settings().dataBits, 7);
        EXPECT_EQ(line.Settings().parity, Parity::Odd);
        EXPECT_EQ(line.Settings().stopBits, 1) << "one stop bit is still applied";
        ASSERT_EQ(port.ComClose(), kComOk);
    }
}

TEST_F(ComPortSimTest, AWholeFrameIsAppliedAndClassicFormatsDropFlowControl) {
    const Frame custom{5, Parity::Space, 2, FlowControl::XonXoff};
    ASSERT_EQ(port.ComOpen("ttyS0", 1200, custom), kComOk);
    const LineSettings s = line.Settings();
    EXPECT_EQ(Frame({s.dataBits, s.parity, s.stopBits, s.flow}), custom);
    ASSERT_EQ(port.ComClose(), kComOk);
    // A device left with flow control by someone else: the five formats
    // (and so every loader run) get a line without it.
    line.SetDeviceSettings({9600, 8, Parity::None, 1, FlowControl::RtsCts});
    ASSERT_EQ(port.ComOpen("ttyS0", 9600, kFrameE81), kComOk);
    EXPECT_EQ(line.Settings().flow, FlowControl::None);
}

TEST_F(ComPortSimTest, BreakAndHandDrivenLinesReachTheDevice) {
    EXPECT_FALSE(port.ComSendBreak(100)) << "no port";
    Open();
    port.DtrInverted = true;
    const std::uint64_t start = clock.MonotonicUs();
    ASSERT_TRUE(port.ComSendBreak(100));
    const auto breaks = line.EventsOf(Kind::Break);
    ASSERT_EQ(breaks.size(), 2u);
    EXPECT_TRUE(breaks[0].level);
    EXPECT_FALSE(breaks[1].level);
    EXPECT_EQ(breaks[1].atUs - breaks[0].atUs, 100000u);
    EXPECT_GE(clock.MonotonicUs() - start, 100000u);
    // By hand the line shows what was asked, whatever the inversion.
    port.ComAssertDtr(false);
    port.ComAssertRts(true);
    EXPECT_FALSE(line.Dtr());
    EXPECT_TRUE(line.Rts());
    EXPECT_FALSE(port.DtrAsserted());
    EXPECT_TRUE(port.RtsAsserted());
    EXPECT_FALSE(port.ModemLinesRefused());
    // A device without modem lines says so once it refuses one.
    line.refuseLines = true;
    port.ComResetTarget();
    EXPECT_TRUE(port.ModemLinesRefused());
    EXPECT_FALSE(port.ComSetBreak(true));
}

TEST(FrameTextTest, FramesReadAndWriteAsUsersWriteThem) {
    struct Row {
        const char* text;
        std::optional<Frame> frame;
        const char* back;
    };
    const Row rows[] = {
        {"8N1", Frame{8, Parity::None, 1}, "8N1"},
        {"7e2", Frame{7, Parity::Even, 2}, "7E2"},
        {"5-M-1", Frame{5, Parity::Mark, 1}, "5M1"},
        {"6S2", Frame{6, Parity::Space, 2}, "6S2"},
        {"O-8-1", Frame{8, Parity::Odd, 1}, "8O1"},
        {"9N1", std::nullopt, ""},
        {"4N1", std::nullopt, ""},
        {"8X1", std::nullopt, ""},
        {"8N3", std::nullopt, ""},
        {"8N1.5", std::nullopt, ""},
        {"", std::nullopt, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        const auto f = ParseFrameText(r.text);
        ASSERT_EQ(f.has_value(), r.frame.has_value());
        if (!f) continue;
        EXPECT_EQ(*f, *r.frame);
        EXPECT_EQ(FrameText(*f), r.back);
    }
    for (FlowControl flow : {FlowControl::None, FlowControl::RtsCts, FlowControl::XonXoff})
        EXPECT_EQ(ParseFlowControl(FlowControlName(flow)), flow);
    EXPECT_FALSE(ParseFlowControl("rts"));
}

TEST_F(ComPortSimTest, RefusedSettingsGiveThreeAndReleaseTheDevice) {
    EXPECT_EQ(port.ComOpen("ttyUSB0", 0, kFrameN81), kComSettingsRefused) << "baud 0";
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(line.IsOpen());

    line.refuseSettings = true;
    EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), kComSettingsRefused);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(line.IsOpen());
    EXPECT_TRUE(line.EventsOf(Kind::Dtr).empty()) << "no line is driven after a refusal";

    line.refuseSettings = false;
    EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), kComOk) << "nothing left held";
}

TEST_F(ComPortSimTest, DeviceThatCannotBeOpenedOrReadGivesTwo) {
    line.missing = true;
    EXPECT_EQ(port.ComOpen("ttyUSB9", 9600, kFrameN81), kComCannotOpen);
    EXPECT_FALSE(port.IsOpen());
    line.missing = false;

    line.busy = true;
    EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), kComCannotOpen);
    EXPECT_FALSE(port.IsOpen());
    line.busy = false;

    line.failGetSettings = true;
    EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), kComCannotOpen);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(line.IsOpen()) << "device closed again";
}

// The reason is the one the refusing step gave, and an open that succeeds
// leaves none behind.
TEST_F(ComPortSimTest, AFailedOpenKeepsTheReasonOfTheStepThatRefused) {
    struct Case {
        bool SimLine::*fault;
        int result;
        const char* problem;
    };
    const Case cases[] = {
        {&SimLine::missing, kComCannotOpen, "was not found"},
        {&SimLine::busy, kComCannotOpen, "is busy: another program has it open"},
        {&SimLine::failGetSettings, kComCannotOpen, "cannot be set up as a serial line"},
        {&SimLine::refuseSettings, kComSettingsRefused, "cannot be set up as a serial line"},
    };
    for (const Case& c : cases) {
        line.*c.fault = true;
        EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), c.result) << c.problem;
        EXPECT_EQ(port.ComOpenProblem(), c.problem);
        line.*c.fault = false;
        ASSERT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), kComOk) << c.problem;
        EXPECT_EQ(port.ComOpenProblem(), "") << c.problem;
        ASSERT_EQ(port.ComClose(), kComOk);
    }
}

TEST_F(ComPortSimTest, SecondPortOnAHeldDeviceGetsTwo) {
    Open();
    ComPort other(SimDeviceFactory(line), clock);
    EXPECT_EQ(other.ComOpen("ttyUSB0", 9600, kFrameN81), kComCannotOpen);
    EXPECT_FALSE(other.IsOpen());
    EXPECT_EQ(line.Settings().baud, 115200u) << "the holder's settings are untouched";
    ASSERT_EQ(port.ComClose(), kComOk);
    EXPECT_EQ(other.ComOpen("ttyUSB0", 9600, kFrameN81), kComOk);
}

TEST_F(ComPortSimTest, OpenUsesAGivenPathAsItStands) {
    ASSERT_EQ(port.ComOpen("/tmp/some/pty", 9600, kFrameN81), kComOk);
    EXPECT_EQ(line.OpenPath(), "/tmp/some/pty");
}

TEST_F(ComPortSimTest, ReopenResetsQueuedCountAndPolarityButKeepsTheRest) {
    Open();
    port.DtrInverted = true;
    port.WatchdogCounter = 42;
    port.WatchdogToggle = true;
    port.RtsPolarity = false;
    ASSERT_EQ(port.ComClose(), kComOk);
    port.QueuedCount = 3;
    Open();
    EXPECT_EQ(port.QueuedCount, 0u);
    EXPECT_TRUE(port.RtsPolarity);
    EXPECT_TRUE(port.DtrInverted);
    EXPECT_TRUE(port.WatchdogToggle);
    EXPECT_EQ(port.WatchdogCounter, 42);
    EXPECT_FALSE(line.Dtr()) << "DTR level 1 inverted is released";
}

// --- ComClose ----------------------------------------------------------------

TEST_F(ComPortSimTest, ClosePurgesThenCloses) {
    EXPECT_EQ(port.ComClose(), kComOk) << "closing a closed port";
    Open();
    port.RtsState = 1;
    port.QueuedCount = 2;
    line.ClearEvents();
    EXPECT_EQ(port.ComClose(), kComOk);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(line.IsOpen());
    const auto& ev = line.Events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].kind, Kind::Purge);
    EXPECT_TRUE(ev[0].transmit && !ev[0].receive);
    EXPECT_EQ(ev[1].kind, Kind::Purge);
    EXPECT_TRUE(!ev[1].transmit && ev[1].receive);
    EXPECT_EQ(ev[2].kind, Kind::Close);
    EXPECT_EQ(port.QueuedCount, 2u) << "ComClose leaves QueuedCount alone";
    EXPECT_EQ(port.RtsState, 1);
}

TEST_F(ComPortSimTest, RefusedCloseGivesTenAndThePortStaysOpen) {
    Open();
    line.refuseClose = true;
    EXPECT_EQ(port.ComClose(), kComCloseRefused);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(line.IsOpen());

    line.SendToPort(Bytes{0x5A});
    LetArrive();
    EXPECT_EQ(port.ComReadByte(), 0x5A) << "the port still works";

    line.refuseClose = false;
    EXPECT_EQ(port.ComClose(), kComOk);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(line.IsOpen());
}

TEST_F(ComPortSimTest, OpenWhileTheDeviceIsStillHeldDoesNotLoseIt) {
    Open();
    line.refuseClose = true;
    ASSERT_EQ(port.ComClose(), kComCloseRefused);

    // Still refused: the held device is kept and the open is refused.
    EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameN81), kComCannotOpen);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(line.IsOpen());
    EXPECT_EQ(line.Settings().baud, 115200u);

    // Once the device lets go, the open closes it and opens afresh.
    line.refuseClose = false;
    line.ClearEvents();
    EXPECT_EQ(port.ComOpen("ttyUSB0", 9600, kFrameE81), kComOk);
    ASSERT_GE(line.Events().size(), 4u);
    EXPECT_EQ(line.Events()[2].kind, Kind::Close);
    EXPECT_EQ(line.Events()[3].kind, Kind::Open);
    EXPECT_EQ(line.Settings().baud, 9600u);
    EXPECT_EQ(port.ComClose(), kComOk);
    EXPECT_FALSE(line.IsOpen());
}

TEST_F(ComPortSimTest, DestroyingAnOpenPortReleasesTheDevice) {
    {
        ComPort scoped(SimDeviceFactory(line), clock);
        ASSERT_EQ(scoped.ComOpen("ttyUSB0", 9600, kFrameN81), kComOk);
        EXPECT_TRUE(line.IsOpen());
    }
    EXPECT_FALSE(line.IsOpen());
}

// --- Low latency ---------------------------------------------------------------

TEST_F(ComPortSimTest, LowLatencyIsSetOnEachDeviceOpenedAndPutBackAsItWasFound) {
    struct Case {
        const char* name;
        bool found;   // the driver's flag as another program left it
        bool refuse;  // the device has no such flag
    };
    const Case cases[] = {
        {"clear", false, false}, {"left set", true, false}, {"no flag", false, true}};
    for (const Case& c : cases) {
        line.refuseLowLatency = false;
        line.SetLowLatencyFlag(c.found);
        line.refuseLowLatency = c.refuse;
        line.ClearEvents();
        const bool on = c.found || !c.refuse;

        EXPECT_FALSE(port.ComSetLowLatency(true)) << c.name << ": a closed port carries nothing";
        Open();
        EXPECT_EQ(port.LowLatencyGranted(), !c.refuse) << c.name;
        EXPECT_EQ(line.LowLatency(), on) << c.name;
        EXPECT_FALSE(port.ComSetLowLatency(false));
        EXPECT_EQ(line.LowLatency(), c.found) << c.name << ": withdrawn";
        EXPECT_EQ(port.ComSetLowLatency(true), !c.refuse);
        ASSERT_EQ(port.ComClose(), kComOk);
        EXPECT_EQ(line.LowLatency(), c.found) << c.name << ": closed";
        Open();  // the request stands across opens
        EXPECT_EQ(line.LowLatency(), on) << c.name;
        {
            LowLatencyRequest run(port);  // a run on a port that has it already
        }
        EXPECT_TRUE(port.LowLatencyRequested());
        EXPECT_EQ(line.LowLatency(), on) << c.name;
        port.ComSetLowLatency(false);
        {
            ComPort other(SimDeviceFactory(line), clock);  // ends without closing
            ASSERT_EQ(port.ComClose(), kComOk);
            other.ComSetLowLatency(true);
            ASSERT_EQ(other.ComOpen("ttyUSB0", 9600, kFrameN81), kComOk);
            EXPECT_EQ(line.LowLatency(), on) << c.name;
        }
        EXPECT_EQ(line.LowLatency(), c.found) << c.name << ": the process ended";
        // A flag that had the wanted value is never written.
        EXPECT_EQ(line.EventsOf(Kind::LowLatency).size(), on && !c.found ? 8u : 0u) << c.name;
    }
}

// --- Reading -----------------------------------------------------------------

TEST_F(ComPortSimTest, ReadByteTellsByteFFFromNothing) {
    EXPECT_EQ(port.ComReadByte(), -1) << "closed port";
    Open();
    EXPECT_EQ(port.ComReadByte(), -1);
    line.SendToPort(Bytes{0xFF, 0x00, 0x80});
    LetArrive();
    EXPECT_EQ(port.ComReadByte(), 255);
    EXPECT_EQ(port.ComReadByte(), 0);
    EXPECT_EQ(port.ComReadByte(), 0x80);
    EXPECT_EQ(port.ComReadByte(), -1);
}

TEST_F(ComPortSimTest, ReadByteQueriesOncePerRun) {
    Open();
    line.SendToPort(Bytes{1, 2, 3, 4, 5});
    LetArrive();
    const std::size_t before = line.QueryCount();
    EXPECT_EQ(port.ComReadByte(), 1);
    EXPECT_EQ(port.QueuedCount, 4u);
    for (int b = 2; b <= 5; ++b) EXPECT_EQ(port.ComReadByte(), b);
    EXPECT_EQ(port.QueuedCount, 0u);
    EXPECT_EQ(line.QueryCount() - before, 1u) << "one status query for the whole run";
    EXPECT_EQ(port.ComReadByte(), -1);
    EXPECT_EQ(line.QueryCount() - before, 2u);
}

TEST_F(ComPortSimTest, StaleQueuedCountFallsBackToAQuery) {
    Open();
    port.QueuedCount = 3;  // counted bytes that are no longer there
    EXPECT_EQ(port.ComReadByte(), -1);
    EXPECT_EQ(port.QueuedCount, 0u);
    line.SendToPort(Bytes{0x42, 0x43});
    LetArrive();
    port.QueuedCount = 9;
    line.readChunkLimit = 1;
    EXPECT_EQ(port.ComReadByte(), 0x42);
    EXPECT_EQ(port.QueuedCount, 8u);
}

TEST_F(ComPortSimTest, ReadReturnsWhatIsWaitingUpToTheCapacity) {
    std::uint8_t buf[16] = {};
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 0u) << "closed port";
    Open();
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 0u);

    const Bytes sent = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    line.SendToPort(sent);
    LetArrive();
    EXPECT_EQ(port.ComRead(buf, 4), 4u) << "smaller capacity";
    EXPECT_EQ(Bytes(buf, buf + 4), Bytes(sent.begin(), sent.begin() + 4));
    EXPECT_EQ(line.ArrivedAtPort(), 6u) << "the rest stays queued";
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 6u) << "bigger capacity";
    EXPECT_EQ(Bytes(buf, buf + 6), Bytes(sent.begin() + 4, sent.end()));
    EXPECT_EQ(port.ComRead(buf, 0), 0u);
}

TEST_F(ComPortSimTest, ReadTakesOnlyBytesThatHaveArrived) {
    Open(9600);  // 10 bits a character: 1041.67 us
    line.SendToPort(Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    clock.Advance(3200);  // three characters complete at 3125 us
    std::uint8_t buf[8] = {};
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 3u);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 3}));
}

TEST_F(ComPortSimTest, ReadReportsWhatTheDeviceDeliveredNotWhatWasAsked) {
    Open();
    line.SendToPort(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    LetArrive();
    line.readChunkLimit = 3;
    std::uint8_t buf[10];
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    EXPECT_EQ(port.ComRead(buf, sizeof buf), 3u);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{1, 2, 3, 0xEE}));
}

TEST_F(ComPortSimTest, ReadClearsQueuedCount) {
    Open();
    line.SendToPort(Bytes{1, 2, 3, 4});
    LetArrive();
    ASSERT_EQ(port.ComReadByte(), 1);
    ASSERT_EQ(port.QueuedCount, 3u);
    std::uint8_t buf[2];
    EXPECT_EQ(port.ComRead(buf, 2), 2u);
    EXPECT_EQ(port.QueuedCount, 0u);
    EXPECT_EQ(port.ComReadByte(), 4) << "found again by a fresh query";
    EXPECT_EQ(port.ComReadByte(), -1);
}

TEST_F(ComPortSimTest, FailedQueryCountsAsNothingWaiting) {
    Open();
    line.SendToPort(Bytes{1, 2});
    LetArrive();
    line.failQuery = true;
    std::uint8_t buf[4];
    EXPECT_EQ(port.ComRead(buf, 4), 0u);
    EXPECT_EQ(port.ComReadByte(), -1);
    EXPECT_EQ(port.ComWaitByte(10), -1);
    line.failQuery = false;
    EXPECT_EQ(port.ComRead(buf, 4), 2u);
}

TEST_F(ComPortSimTest, VanishedDeviceFailsQuietly) {
    Open();
    line.SendToPort(Bytes{1, 2});
    LetArrive();
    line.vanished = true;
    std::uint8_t buf[4];
    EXPECT_EQ(port.ComReadByte(), -1);
    EXPECT_EQ(port.ComRead(buf, 4), 0u);
    const auto t0 = clock.NowUs();
    EXPECT_EQ(port.ComWaitByte(20), -1);
    EXPECT_EQ(clock.NowUs() - t0, 20000u);
    const Bytes out = {1, 2, 3};
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), 0u);
    port.ComWriteByte(0x55);
    port.ComSetDtr(0);
    port.ComResetTarget();
    EXPECT_EQ(port.ComClose(), kComOk);
    EXPECT_FALSE(line.IsOpen());
}

// --- ComWaitByte -------------------------------------------------------------

TEST_F(ComPortSimTest, SilentWaitSpendsWholePollStepsAndBadBudgetsReturnAtOnce) {
    struct Row { int budget; std::uint64_t spentUs; };
    const Row rows[] = {{0, 0}, {-5, 0}, {INT_MIN, 0}, {1, 5000}, {5, 5000}, {6, 10000},
                        {12, 15000}, {50, 50000}};
    Open();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.budget);
        const auto queries = line.QueryCount();
        const auto t0 = clock.NowUs();
        EXPECT_EQ(port.ComWaitByte(r.budget), -1);
        EXPECT_EQ(clock.NowUs() - t0, r.spentUs);
        if (r.budget <= 0) {
            EXPECT_EQ(line.QueryCount(), queries) << "no read attempt";
        }
    }
}

TEST_F(ComPortSimTest, ClosedPortSpendsTheWholeBudget) {
    EXPECT_EQ(port.ComWaitByte(500), -1);
    EXPECT_EQ(clock.NowUs(), 500000u);
    EXPECT_EQ(clock.SleepCount(), 100u);
    EXPECT_EQ(port.ComWaitByte(-1), -1);
    EXPECT_EQ(clock.NowUs(), 500000u);
}

TEST_F(ComPortSimTest, WaitWakesTheMomentAByteArrives) {
    Open(9600);
    // 1.3 ms after the wait starts; at 9600 N-8-1 a character takes 1041.7 us.
    line.SendToPortAt(1300 - line.WireTimeUs(1), Bytes{0xFF});
    EXPECT_EQ(port.ComWaitByte(100), 255) << "0xFF is a byte, not nothing";
    EXPECT_EQ(clock.NowUs(), 1300u);
    EXPECT_EQ(clock.SleepCount(), 0u) << "woken by the byte, not by polling";

    line.SendToPort(Bytes{0x00});
    const auto t0 = clock.NowUs();
    EXPECT_EQ(port.ComWaitByte(1), 0x00) << "a budget of one step covers one character";
    EXPECT_EQ(clock.NowUs() - t0, line.WireTimeUs(1));

    line.SendToPortAt(2000000, Bytes{0x33});
    EXPECT_EQ(port.ComWaitByte(INT_MAX), 0x33) << "huge budgets do not overflow";
    EXPECT_EQ(clock.NowUs(), 2000000 + line.WireTimeUs(1));
}

TEST_F(ComPortSimTest, WaitSeesRepliesThatTheFarEndMakesWhileItWaits) {
    Open(115200);
    EchoPeer echo;
    line.SetPeer(&echo);
    const Bytes frame = {0x80, 0x18, 0x04, 0x04};
    port.ComWrite(frame.data(), frame.size());
    std::vector<int> got;
    for (int i = 0; i < 4; ++i) got.push_back(port.ComWaitByte(10));
    EXPECT_EQ(got, (std::vector<int>{0x80, 0x18, 0x04, 0x04}));
    // Each byte comes back as it arrives; the wait ends with the last echo.
    EXPECT_EQ(clock.NowUs(), line.WriteLog().back().arrivalUs + line.WireTimeUs(1));
    EXPECT_EQ(port.ComWaitByte(10), -1);
    line.SetPeer(nullptr);
}

TEST_F(ComPortSimTest, DeviceThatCannotWaitFallsBackToPollSteps) {
    Open(9600);
    line.SendToPortAt(12000, Bytes{0x41});  // complete at 13042 us
    line.failQuery = true;  // the device can neither count nor wait
    EXPECT_EQ(port.ComWaitByte(10), -1);
    EXPECT_EQ(clock.NowUs(), 10000u) << "the budget, slept in steps, without spinning";
    line.failQuery = false;
    EXPECT_EQ(port.ComWaitByte(10), 0x41);
    EXPECT_EQ(clock.NowUs(), 13042u);
}

// --- Watchdog toggle ---------------------------------------------------------

TEST_F(ComPortSimTest, WatchdogFlipsRtsOnEveryStepFromTheSecondAttempt) {
    Open();
    port.WatchdogToggle = true;
    port.WatchdogCounter = 0;
    const std::size_t mark = line.Events().size();
    EXPECT_EQ(port.ComWaitByte(50), -1);
    EXPECT_EQ(line.QueryCount(), 10u);

    const auto flips = RtsEventsAfter(mark);
    ASSERT_EQ(flips.size(), 9u);
    bool level = true;  // asserted after the open
    for (std::size_t i = 0; i < flips.size(); ++i) {
        SCOPED_TRACE(i);
        level = !level;
        EXPECT_EQ(flips[i].atUs, (i + 1) * 5000) << "attempts 2 to 10";
        EXPECT_EQ(flips[i].level, level);
    }
    EXPECT_EQ(port.RtsState, line.Rts() ? 1 : 0);
    EXPECT_EQ(port.WatchdogCounter, 10);
}

TEST_F(ComPortSimTest, WatchdogFlipsOnTheFirstAttemptWhenTheCounterReachesFive) {
    Open();
    port.WatchdogToggle = true;
    port.WatchdogCounter = 4;
    const std::size_t mark = line.Events().size();
    EXPECT_EQ(port.ComWaitByte(50), -1);
    const auto flips = RtsEventsAfter(mark);
    ASSERT_EQ(flips.size(), 10u);
    EXPECT_EQ(flips[0].atUs, 0u);
    EXPECT_FALSE(flips[0].level);

    port.WatchdogCounter = 3;  // reaches only 4 at the first attempt
    const std::size_t mark2 = line.Events().size();
    EXPECT_EQ(port.ComWaitByte(50), -1);
    EXPECT_EQ(RtsEventsAfter(mark2).size(), 9u);
}

TEST_F(ComPortSimTest, WithoutWatchdogRtsNeverMovesButTheCounterRuns) {
    Open();
    port.WatchdogToggle = false;
    port.WatchdogCounter = 0;
    const std::size_t mark = line.Events().size();
    EXPECT_EQ(port.ComWaitByte(50), -1);
    EXPECT_TRUE(RtsEventsAfter(mark).empty());
    EXPECT_EQ(port.WatchdogCounter, 100);
    EXPECT_EQ(port.ComWaitByte(50), -1);
    EXPECT_EQ(port.WatchdogCounter, -56) << "200 wraps as a signed 8-bit value";
    EXPECT_TRUE(RtsEventsAfter(mark).empty());

    // From a negative counter the first attempt does not flip.
    port.WatchdogToggle = true;
    const std::size_t mark2 = line.Events().size();
    EXPECT_EQ(port.ComWaitByte(5), -1);
    EXPECT_TRUE(RtsEventsAfter(mark2).empty());
    EXPECT_EQ(port.WatchdogCounter, -45);
}

TEST_F(ComPortSimTest, WatchdogFlipsOnEveryFifthByteWhileBytesWait) {
    Open();
    line.SendToPort(Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    LetArrive();
    port.WatchdogToggle = true;
    port.WatchdogCounter = 0;
    const std::size_t mark = line.Events().size();
    std::vector<std::size_t> flipAfterByte;
    for (int i = 0; i < 10; ++i) {
        const std::size_t before = RtsEventsAfter(mark).size();
        EXPECT_EQ(port.ComWaitByte(100), i);
        if (RtsEventsAfter(mark).size() != before) flipAfterByte.push_back(i + 1);
    }
    EXPECT_EQ(flipAfterByte, (std::vector<std::size_t>{5, 10}));
    EXPECT_EQ(clock.SleepCount(), 0u);
}

TEST_F(ComPortSimTest, WatchdogTickOnAClosedPortCountsOnly) {
    port.WatchdogToggle = true;
    port.WatchdogCounter = 3;
    port.RtsState = 0;
    port.ComWatchdogTick();
    EXPECT_EQ(port.WatchdogCounter, 4);
    port.ComWatchdogTick();
    EXPECT_EQ(port.WatchdogCounter, 0);
    EXPECT_EQ(port.RtsState, 0);
    port.WatchdogToggle = false;
    port.ComWatchdogTick();
    EXPECT_EQ(port.WatchdogCounter, 0);
}

// --- Control lines -----------------------------------------------------------

TEST_F(ComPortSimTest, DtrFollowsTheLevelAndTheInversion) {
    Open();
    struct Row { bool inverted; int level; bool asserted; };
    const Row rows[] = {{false, 1, true}, {false, 0, false}, {false, 2, false}, {false, -1, false},
                        {true, 1, false}, {true, 0, true},   {true, 2, true},   {true, -1, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "inverted " << r.inverted << " level " << r.level);
        port.DtrInverted = r.inverted;
        // Start from the opposite level, so that a missing call shows.
        line.ClearEvents();
        port.ComSetDtr(r.asserted == r.inverted ? 1 : 0);
        ASSERT_EQ(line.Dtr(), !r.asserted);
        port.ComSetDtr(r.level);
        EXPECT_EQ(line.Dtr(), r.asserted);
        EXPECT_EQ(line.EventsOf(Kind::Dtr).size(), 2u);
    }
}

TEST_F(ComPortSimTest, RtsFollowsTheLevelAndThePolarity) {
    Open();
    struct Row { bool polarity; int level; bool asserted; };
    const Row rows[] = {{false, 1, true}, {false, 0, false}, {false, 7, false},
                        {true, 1, false}, {true, 0, true},   {true, -3, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "polarity " << r.polarity << " level " << r.level);
        port.RtsPolarity = r.polarity;
        port.ComSetRts(r.asserted == r.polarity ? 1 : 0);
        ASSERT_EQ(line.Rts(), !r.asserted);
        port.ComSetRts(r.level);
        EXPECT_EQ(line.Rts(), r.asserted);
        EXPECT_EQ(port.RtsState, r.asserted ? 1 : 0);
    }
}

TEST_F(ComPortSimTest, ToggleRtsFollowsTheState) {
    Open();
    port.RtsState = 1;
    port.ComToggleRts();
    EXPECT_FALSE(line.Rts());
    EXPECT_EQ(port.RtsState, 0);
    port.ComToggleRts();
    EXPECT_TRUE(line.Rts());
    EXPECT_EQ(port.RtsState, 1);
    port.RtsState = 5;  // anything but 1 counts as released
    port.ComToggleRts();
    EXPECT_TRUE(line.Rts());
    EXPECT_EQ(port.RtsState, 1);
}

TEST_F(ComPortSimTest, ChangingTheFlagsAloneMovesNoLine) {
    Open();
    line.ClearEvents();
    port.DtrInverted = !port.DtrInverted;
    port.RtsPolarity = !port.RtsPolarity;
    EXPECT_TRUE(line.Events().empty());
    EXPECT_TRUE(line.Dtr());
    EXPECT_TRUE(line.Rts());
}

TEST_F(ComPortSimTest, LinesOnAClosedPortDoNothing) {
    port.RtsState = 0;
    port.ComSetRts(0);
    port.ComSetDtr(1);
    port.ComToggleRts();
    port.ComResetTarget();
    EXPECT_EQ(port.RtsState, 0);
    EXPECT_EQ(clock.NowUs(), 0u) << "no reset pulse";
    EXPECT_TRUE(line.Events().empty());
}

TEST_F(ComPortSimTest, RefusedLineChangesAreIgnored) {
    line.refuseLines = true;  // like a pseudo-terminal
    Open();
    EXPECT_EQ(port.RtsState, 1);
    port.ComToggleRts();
    EXPECT_EQ(port.RtsState, 0) << "the logical state still follows";
    port.ComResetTarget();
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(ComPortSimTest, ResetReleasesDtrForExactly250ms) {
    Open();
    clock.Advance(1234);
    line.ClearEvents();
    port.ComResetTarget();
    const auto& ev = line.Events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].kind, Kind::Dtr);
    EXPECT_FALSE(ev[0].level);
    EXPECT_EQ(ev[0].atUs, 1234u);
    EXPECT_EQ(ev[1].kind, Kind::Rts);
    EXPECT_TRUE(ev[1].level) << "logical 0 with the open's polarity";
    EXPECT_EQ(ev[2].kind, Kind::Dtr);
    EXPECT_TRUE(ev[2].level);
    EXPECT_EQ(ev[2].atUs - ev[0].atUs, 250000u);
    EXPECT_EQ(port.RtsState, 1);
}

TEST_F(ComPortSimTest, InvertedResetPulseRunsTheOtherWay) {
    Open();
    port.DtrInverted = true;
    line.ClearEvents();
    port.ComResetTarget();
    const auto dtr = line.EventsOf(Kind::Dtr);
    ASSERT_EQ(dtr.size(), 2u);
    EXPECT_TRUE(dtr[0].level);
    EXPECT_FALSE(dtr[1].level);
    EXPECT_EQ(dtr[1].atUs - dtr[0].atUs, 250000u);
}

// --- Writing -----------------------------------------------------------------

TEST_F(ComPortSimTest, WriteSendsBytesUnchangedAtWireSpeed) {
    Open(9600, kFrameE81);  // 11 bits a character: 1145.83 us
    const Bytes out = {0x00, 0x0D, 0x0A, 0xFF, 0x11, 0x13};
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), out.size());
    port.ComWriteByte(0x7E);
    Bytes expected = out;
    expected.push_back(0x7E);
    EXPECT_EQ(line.WrittenBytes(), expected);
    const auto& log = line.WriteLog();
    EXPECT_EQ(log[0].arrivalUs, 1146u);
    EXPECT_EQ(log[5].arrivalUs, 6875u);
    EXPECT_EQ(log[6].arrivalUs, 6875u + 1146u) << "queued behind the first write";
}

TEST_F(ComPortSimTest, WriteOnAClosedPortDoesNothing) {
    const Bytes out = {1, 2};
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), 0u);
    port.ComWriteByte(3);
    EXPECT_EQ(line.WriteCallCount(), 0u);
}

TEST_F(ComPortSimTest, WriteReportsWhatTheDeviceTook) {
    Open();
    line.writeChunkLimit = 3;  // the device stops taking after three bytes
    Bytes out(10);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(0xA0 + i);
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), 3u);
    EXPECT_EQ(line.WrittenBytes(), Bytes(out.begin(), out.begin() + 3));
    EXPECT_EQ(line.WriteCallCount(), 1u) << "a device that stopped is not asked again";
}

// The device goes away with less than a millisecond of the budget left:
// its wait fails at once, and the rest must still be slept, not spun.
TEST_F(ComPortSimTest, DeviceGoneNearTheEndOfAWaitStillEndsIt) {
    for (const std::uint64_t leftUs : {1u, 500u, 999u, 1000u, 4500u}) {
        Open();
        const auto t0 = clock.NowUs();
        clock.ScheduleAt(t0 + 20000 - leftUs, [this] { line.vanished = true; });
        EXPECT_EQ(port.ComWaitByte(20), -1) << leftUs;
        // Sleeps come in whole milliseconds: the end may be up to one late.
        EXPECT_GE(clock.NowUs() - t0, 20000u) << leftUs;
        EXPECT_LT(clock.NowUs() - t0, 21000u) << leftUs;
        line.vanished = false;
        port.ComClose();
    }
}

TEST_F(ComPortSimTest, WriteThatTakesNothingGivesUp) {
    Open();
    line.writesTakeZero = true;
    const Bytes out = {1, 2, 3};
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), 0u);
    EXPECT_EQ(line.WriteCallCount(), 1u);
    line.writesTakeZero = false;
    line.writeChunkLimit = 2;
    line.vanished = true;
    EXPECT_EQ(port.ComWrite(out.data(), out.size()), 0u);
}

TEST_F(ComPortSimTest, EchoPeerAnswersThroughTheLine) {
    line.SetPeer(&echo);
    Open(115200);
    const std::string text = "AT\r\n";
    port.ComWrite(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    std::string got;
    for (int b; (b = port.ComWaitByte(20)) != -1;) got.push_back(static_cast<char>(b));
    EXPECT_EQ(got, text);
}

// --- ComListPorts ------------------------------------------------------------

class FakeChooser : public PortChooser {
public:
    std::vector<std::string> items;
    std::vector<std::string> typed;
    int selected = -1;
    int SelectedIndex() const override { return selected; }
    void SetSelectedIndex(int index) override {
        selected = index >= 0 && index < static_cast<int>(items.size()) ? index : -1;
    }
    std::string ItemText(int index) const override { return items.at(static_cast<std::size_t>(index)); }
    int ItemCount() const override { return static_cast<int>(items.size()); }
    void ClearItems() override {
        items.clear();
        selected = -1;
    }
    // Kept in text order like the real chooser.
    void AddItem(const std::string& text) override {
        items.insert(std::upper_bound(items.begin(), items.end(), text), text);
    }
    std::vector<std::string> TypedItems() const override { return typed; }
    std::string Selected() const { return selected < 0 ? "" : items[static_cast<std::size_t>(selected)]; }
};

TEST(ComListPortsTest, NoListLeavesTheChooserAlone) {
    FakeChooser chooser;
    chooser.items = {"/dev/ttyS0", "/dev/ttyUSB0"};
    chooser.selected = 1;
    EXPECT_EQ(ComListPorts(chooser, std::nullopt), 0);
    EXPECT_EQ(chooser.items, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0"}));
    EXPECT_EQ(chooser.selected, 1);
}

TEST(ComListPortsTest, SelectionFollowsThePathNotThePosition) {
    FakeChooser chooser;
    chooser.items = {"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"};
    chooser.selected = 1;
    const std::vector<std::string> now = {"/dev/ttyACM0", "/dev/ttyACM1", "/dev/ttyS0",
                                          "/dev/ttyUSB0"};
    EXPECT_EQ(ComListPorts(chooser, now), 4);
    EXPECT_EQ(chooser.items, now);
    EXPECT_EQ(chooser.Selected(), "/dev/ttyS0") << "an adapter plugged in before it moved it down";

    // The selected adapter is unplugged: it stays listed and selected, so
    // opening reports it missing instead of reaching another board.
    chooser.SetSelectedIndex(3);
    EXPECT_EQ(ComListPorts(chooser, std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS1"}), 2);
    EXPECT_EQ(chooser.items, (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyUSB0"}));
    EXPECT_EQ(chooser.Selected(), "/dev/ttyUSB0");

    chooser.selected = -1;
    EXPECT_EQ(ComListPorts(chooser, std::vector<std::string>{}), 0);
    EXPECT_TRUE(chooser.items.empty()) << "an empty list empties the chooser";
    EXPECT_EQ(chooser.selected, -1);
}

TEST(ComListPortsTest, TypedPathsStayListed) {
    FakeChooser chooser;
    chooser.typed = {"/dev/pts/7"};
    chooser.items = {"/dev/pts/7", "/dev/ttyS0"};
    chooser.selected = 0;
    EXPECT_EQ(ComListPorts(chooser, std::vector<std::string>{"/dev/ttyUSB0"}), 1);
    EXPECT_EQ(chooser.items, (std::vector<std::string>{"/dev/pts/7", "/dev/ttyUSB0"}));
    EXPECT_EQ(chooser.Selected(), "/dev/pts/7");
}

}  // namespace
}  // namespace quennet
