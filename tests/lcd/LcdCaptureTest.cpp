#include "lcd/LcdCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include <string>
#include <vector>

#include "LcdFirmwareTarget.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "terminal/Nmea.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::At;
using testing::Last;

// A capture over a simulated line to the simulated firmware at 115200 8N1.
class LcdCaptureTest : public ::testing::Test {
protected:
    VirtualClock clock;
    SimLine line{clock};
    ComPort port{SimDeviceFactory(line), clock};
    NmeaWriter nmea{port};
    LcdFirmwareTarget target{line};
    LcdState state;
    std::vector<std::string> messages;
    std::vector<int> progress;
    int pauses = 0, resumes = 0, busyOn = 0, busyOff = 0, processed = 0;
    bool pumpRunning = true;
    PortUser holderWhilePaused = PortUser::Terminal;
    std::function<void()> onProcess;   // runs where the window would process messages
    std::function<bool()> stopAsked;

    LcdCaptureTest() { target.FillTestPattern(); }

    void Open(std::uint32_t baud = 115200) { ASSERT_EQ(port.ComOpen("ttyQ0", baud, kFrameN81), kComOk); }

    LcdCaptureResult Capture() {
        LcdCaptureHost host{port,
                            nmea,
                            [this] {
                                ++pauses;
                                pumpRunning = false;
                                holderWhilePaused = port.Owner().Holder();
                            },
                            [this] { ++resumes; pumpRunning = true; },
                            [this](bool b) { ++(b ? busyOn : busyOff); },
                            [this](int p) { progress.push_back(p); },
                            [this] {
                                ++processed;
                                if (onProcess) onProcess();
                            },
                            [this](const std::string& caption, const std::string& text) {
                                EXPECT_EQ(caption, "Quennet Error");
                                EXPECT_TRUE(pumpRunning) << "message box shown with the pump paused";
                                EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal)) << "message box shown holding the port";
                                messages.push_back(text);
                            },
                            stopAsked};
        return RunLcdCapture(state, host);
    }

    // Every pixel of the store matches the target's display.
    void ExpectPictureOfTarget() {
        ASSERT_EQ(state.LcdWidth, target.Width());
        ASSERT_EQ(state.LcdHeight, target.Height());
        int mismatches = 0;
        for (int r = 0; r < target.Height(); ++r)
            for (int c = 0; c < target.Width(); ++c)
                mismatches += state.PixelLit(state.LcdWidth, r, c) != target.Pixel(r, c);
        EXPECT_EQ(mismatches, 0);
    }

    // The pump is paused once and resumed once, whatever the ending.
    void ExpectPumpBalanced() {
        EXPECT_EQ(holderWhilePaused, PortUser::LcdCapture);
        EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal));
        EXPECT_EQ(pauses, 1);
        EXPECT_EQ(resumes, 1);
        EXPECT_EQ(busyOn, 1);
        EXPECT_EQ(busyOff, 1);
    }
};

TEST_F(LcdCaptureTest, FullPictureArrivesWithTheCommandSentOnceAndProgressAtHundred) {
    Open();
    EXPECT_EQ(Capture(), LcdCaptureResult::Done);
    const std::vector<std::uint8_t> written = line.WrittenBytes();
    EXPECT_EQ(std::string(written.begin(), written.end()), "$QNCOM,SCR*30\r\n");
    EXPECT_EQ(target.CommandsReceived(), 1);
    ExpectPictureOfTarget();
    ASSERT_EQ(progress.size(), 65u);  // reset to 0, then once per row
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress[1], 1);   // (0*100+100)/64
    EXPECT_EQ(progress.back(), 100);
    EXPECT_EQ(processed, 64);
    EXPECT_TRUE(messages.empty());
    ExpectPumpBalanced();
}

TEST_F(LcdCaptureTest, AStopEndsBetweenRowsAndAnExceptionStillGivesEverythingBack) {
    Open();
    stopAsked = [this] { return processed == 3; };
    EXPECT_EQ(Capture(), LcdCaptureResult::Stopped);
    EXPECT_EQ(progress.back(), 4);  // three rows of 64
    EXPECT_TRUE(messages.empty());  // the user asked: no box
    ExpectPumpBalanced();

    stopAsked = nullptr;
    pauses = resumes = busyOn = busyOff = processed = 0;
    onProcess = [] { throw std::runtime_error("handler failed"); };
    EXPECT_THROW(Capture(), std::runtime_error);
    ExpectPumpBalanced();
    EXPECT_FALSE(port.LowLatencyRequested());
}

TEST_F(LcdCaptureTest, HeaderWaitSkipsNoiseBadHeadersAndEarlyRowsThenRowsComeInAnyOrder) {
    Open();
    target.shuffleRows = true;
    target.noiseBeforeHeader = "garbage \x01\x02 more\r\n";
    // A row before the header is stored at the old width (20) but not counted.
    target.linesBeforeHeader = {NmeaSentence("GPGGA,1,2,3"), NmeaSentence("QNPIX,0,FFF"),
                                NmeaSentence("QNLCD,16,8", true)};
    target.badHeaderFirst = true;
    EXPECT_EQ(Capture(), LcdCaptureResult::Done);
    ExpectPictureOfTarget();
    EXPECT_EQ(Last(progress), 100);
    EXPECT_TRUE(messages.empty());
}

TEST_F(LcdCaptureTest, NoPortShowsTheMessageAndSendsNothing) {
    EXPECT_EQ(Capture(), LcdCaptureResult::NoPort);
    EXPECT_EQ(messages, std::vector<std::string>{
                            "COM port is not open.\nFrom Terminal page select a Communication Port."});
    EXPECT_EQ(pauses, 0);
    EXPECT_EQ(progress, std::vector<int>{0});
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal));
}

TEST_F(LcdCaptureTest, RefusedWhileAProgrammingRunHoldsThePort) {
    Open();
    ASSERT_TRUE(port.Owner().Take(PortUser::LoaderRun));
    EXPECT_EQ(Capture(), LcdCaptureResult::PortBusy);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(pauses, 0);
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_TRUE(port.Owner().Holds(PortUser::LoaderRun));
}

TEST_F(LcdCaptureTest, HeaderPhaseFailuresEndWithProtocolError1) {
    struct Case {
        const char* what;
        std::function<void(LcdFirmwareTarget&)> set;
    };
    const std::vector<Case> cases = {
        {"silent target", [](LcdFirmwareTarget& t) { t.mute = true; }},
        {"bad header only", [](LcdFirmwareTarget& t) { t.badHeaderOnly = true; }},
        {"lower-case header checksum", [](LcdFirmwareTarget& t) { t.lowerCaseHeader = true; }},
        {"long line", [](LcdFirmwareTarget& t) { t.longLineBeforeRow = -2; }},
        {"oversized header", [](LcdFirmwareTarget& t) { t.headerFields = "200,100"; }},
        {"zero width", [](LcdFirmwareTarget& t) { t.headerFields = "0,64"; }},
        {"negative height", [](LcdFirmwareTarget& t) { t.headerFields = "128,-64"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LcdFirmwareTarget t(line);
        c.set(t);
        state = LcdState{};
        messages.clear();
        pauses = resumes = busyOn = busyOff = 0;
        Open();
        EXPECT_EQ(Capture(), LcdCaptureResult::ProtocolError1);
        EXPECT_EQ(messages, std::vector<std::string>{"Protocol Error 1"});
        EXPECT_EQ(state.LcdWidth, 20);  // the size is left as it was
        EXPECT_EQ(state.LcdHeight, 10);
        ExpectPumpBalanced();
        port.ComClose();
        clock.Advance(2'000'000);  // let whatever is left drain away
    }
}

TEST_F(LcdCaptureTest, EndlessOtherSentencesEndTheHeaderWaitAtItsBound) {
    Open();
    target.endlessChatter = true;
    const std::uint64_t start = clock.NowUs();
    EXPECT_EQ(Capture(), LcdCaptureResult::ProtocolError1);
    EXPECT_EQ(messages, std::vector<std::string>{"Protocol Error 1"});
    const std::uint64_t tookMs = (clock.NowUs() - start) / 1000;
    EXPECT_GE(tookMs, kLcdHeaderWaitMs);
    EXPECT_LT(tookMs, kLcdHeaderWaitMs + 100);  // one more line at most
    ExpectPumpBalanced();
}

TEST_F(LcdCaptureTest, RowPhaseFailures) {
    struct Case {
        const char* what;
        std::function<void(LcdFirmwareTarget&)> set;
        LcdCaptureResult result;
        const char* text;
        int width = 128;  // the size in force afterwards
        int height = 64;
    };
    const std::vector<Case> cases = {
        {"gap of 300 ms", [](LcdFirmwareTarget& t) { t.gapBeforeRow = 10; t.gapMs = 300; }, LcdCaptureResult::ProtocolError2, "Protocol Error 2"},
        {"fewer rows", [](LcdFirmwareTarget& t) { t.rowsToSend = 63; }, LcdCaptureResult::ProtocolError2, "Protocol Error 2"},
        // One character past the longest line: 100 characters and no LF.
        {"long line", [](LcdFirmwareTarget& t) { t.longLineBeforeRow = 5; t.longLineChars = 100; }, LcdCaptureResult::ProtocolError2, "Protocol Error 2"},
        {"lower-case row checksums", [](LcdFirmwareTarget& t) { t.lowerCaseRows = true; }, LcdCaptureResult::ProtocolError3, "Protocol Error 3"},
        {"second header", [](LcdFirmwareTarget& t) { t.secondHeaderAfterRows = 7; }, LcdCaptureResult::ProtocolError3, "Protocol Error 3", 64, 32},
        {"oversized second header", [](LcdFirmwareTarget& t) { t.secondHeaderAfterRows = 7; t.secondHeaderFields = "256,64"; }, LcdCaptureResult::ProtocolError3, "Protocol Error 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LcdFirmwareTarget t(line);
        t.FillTestPattern();
        c.set(t);
        messages.clear();
        progress.clear();
        pauses = resumes = busyOn = busyOff = 0;
        Open();
        EXPECT_EQ(Capture(), c.result);
        EXPECT_EQ(messages, std::vector<std::string>{c.text});
        EXPECT_LT(Last(progress), 100);
        EXPECT_EQ(state.LcdWidth, c.width);
        EXPECT_EQ(state.LcdHeight, c.height);
        ExpectPumpBalanced();
        port.ComClose();
        clock.Advance(2'000'000);
    }
}

TEST_F(LcdCaptureTest, ALineOfTheLongestLengthIsReadAndSkipped) {
    Open();
    target.longLineBeforeRow = -2;             // before the header, where lines are skipped
    target.longLineChars = kLcdLineChars - 1;  // with its LF, exactly the longest line
    EXPECT_EQ(Capture(), LcdCaptureResult::Done);
    EXPECT_TRUE(messages.empty());
    ExpectPictureOfTarget();
}

TEST_F(LcdCaptureTest, GapsShorterThanTheCharacterBudgetAreFine) {
    Open(9600);
    target.gapBeforeRow = 30;
    target.gapMs = 240;
    target.answerDelayUs = 200'000;
    EXPECT_EQ(Capture(), LcdCaptureResult::Done);
    ExpectPictureOfTarget();
}

TEST_F(LcdCaptureTest, TheCaptureHoldsLowLatencyAndGivesThePortBackWithTheTerminalsFlag) {
    struct Case {
        bool terminalAsks;
        bool mute;  // the capture fails
    };
    for (const Case c : {Case{false, false}, Case{false, true}, Case{true, false}}) {
        port.ComSetLowLatency(c.terminalAsks);
        Open();
        target.mute = c.mute;
        line.ClearEvents();
        EXPECT_EQ(Capture(), c.mute ? LcdCaptureResult::ProtocolError1 : LcdCaptureResult::Done);
        const auto fast = line.EventsOf(SimEvent::Kind::LowLatency);
        if (!c.terminalAsks) {
            ASSERT_EQ(fast.size(), 2u);
            EXPECT_LE(fast[0].atUs, At(line.EventsOf(SimEvent::Kind::Write), 0).atUs);
        }
        EXPECT_EQ(line.LowLatency(), c.terminalAsks);
        EXPECT_EQ(port.LowLatencyRequested(), c.terminalAsks);
        port.ComClose();
    }
}

TEST_F(LcdCaptureTest, ACaptureThroughAnAdapterAtItsDefaultLatencySucceeds) {
    line.SetAdapter(SimLine::Adapter::Ftdi);
    line.refuseLowLatency = true;
    Open();
    EXPECT_EQ(Capture(), LcdCaptureResult::Done);
    ExpectPictureOfTarget();
}

}  // namespace
}  // namespace quennet
