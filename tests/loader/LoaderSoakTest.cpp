// Programming runs and LCD captures in virtual time, each meeting one seeded
// fault (wire bytes flipped, lost or added, noise, late replies, refusals, a
// reset, an unplugged adapter): each ends with one error line, or with
// "PROGRAM OK" and the image in flash, and the terminal has its port back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "LcdFirmwareTarget.h"
#include "Msp430BslTarget.h"
#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "lcd/LcdCapture.h"
#include "loader/Loader.h"
#include "terminal/Nmea.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Fault { None, Flip, Drop, Add, Noise, Late, Refuse, Reset, Unplug };
constexpr int kFaultKinds = 9;
const char* const kFaultNames[kFaultKinds] = {"none",  "flip", "drop",  "add",   "noise",
                                              "late",  "refuse", "reset", "unplug"};

// Runs of each kind: QUENNET_SOAK_RUNS overrides the suite's size.
int RunCount(int suiteDefault) {
    const char* text = std::getenv("QUENNET_SOAK_RUNS");
    return text ? std::atoi(text) : suiteDefault;
}
unsigned BaseSeed() {
    const char* text = std::getenv("QUENNET_SOAK_SEED");
    return text ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : 2024u;
}

// Outcomes by fault kind.
using Tally = std::map<std::string, std::map<std::string, int>>;

// Calls once(seed, generator, tally) for each run until one fails, then
// prints the tally.
template <class Once>
void Soak(const char* what, Once once) {
    const int runs = RunCount(400);
    const unsigned base = BaseSeed();
    Tally tally;
    for (int i = 0; i < runs && !::testing::Test::HasFailure(); ++i) {
        std::mt19937 rng(base + static_cast<unsigned>(i));
        once(base + static_cast<unsigned>(i), rng, tally);
    }
    std::cout << what << ":\n";
    for (const auto& [fault, outcomes] : tally)
        for (const auto& [outcome, n] : outcomes) std::cout << "  " << fault << " -> " << outcome << ": " << n << "\n";
}

// The bytes as S1 records (S3 at STM32 flash addresses) of up to 16 bytes.
std::string SRecords(const std::map<std::uint32_t, std::uint8_t>& image, bool s3) {
    std::string text;
    auto put = [&text](unsigned b) { text += {"0123456789ABCDEF"[b >> 4 & 15], "0123456789ABCDEF"[b & 15]}; };
    for (auto it = image.begin(); it != image.end();) {
        const std::uint32_t start = it->first, address = s3 ? kStm32FlashBase + start : start;
        Bytes body{0};
        for (int i = s3 ? 3 : 1; i >= 0; --i) body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
        while (it != image.end() && it->first == start + body.size() - (s3 ? 5 : 3) && body.size() < (s3 ? 21u : 19u))
            body.push_back((it++)->second);
        body[0] = static_cast<std::uint8_t>(body.size());  // address, data and the checksum to come
        unsigned sum = 0;
        text += s3 ? "S3" : "S1";
        for (std::uint8_t b : body) {
            sum += b;
            put(b);
        }
        put(~sum & 0xFF);
        text += '\n';
    }
    return text;
}

// A wire fault on a byte the target sends; false when an XOR checksum cannot
// see it (bytes added whose XOR is zero).
bool WireFault(SimLine& line, Fault fault, std::mt19937& rng, std::size_t bytesSent) {
    SimLine::WireFault f;
    f.atByte = 1 + rng() % bytesSent;
    switch (fault) {
    case Fault::Flip:
        f.kind = SimLine::WireFault::Kind::Flip;
        f.flipMask = static_cast<std::uint8_t>(3u << (rng() % 7));  // two bits: parity still holds
        break;
    case Fault::Drop: f.kind = SimLine::WireFault::Kind::Drop; break;
    case Fault::Add:
    case Fault::Noise:
        f.kind = SimLine::WireFault::Kind::Insert;
        f.extra.resize(fault == Fault::Add ? 1 : 2 + rng() % 6);
        for (auto& b : f.extra) b = static_cast<std::uint8_t>(rng());
        break;
    default: return true;
    }
    line.toPortFault = f;
    std::uint8_t sum = 0;
    for (std::uint8_t b : f.extra) sum ^= b;
    return f.kind != SimLine::WireFault::Kind::Insert || sum != 0;
}

// A reset not from the host (brown-out, watchdog), or the adapter pulled out.
void Schedule(VirtualClock& clock, SimLine& line, SimPeer& target, Fault fault, std::uint64_t atUs) {
    if (fault == Fault::Unplug) {
        clock.ScheduleAt(atUs, [&line] {
            line.vanished = true;
            line.missing = true;
        });
    } else if (fault == Fault::Reset) {
        clock.ScheduleAt(atUs, [&line, &target, &clock] {
            line.DiscardInFlightToPort();
            // Both boards hold their chip in reset while DTR is released.
            target.OnLines(line, false, line.Rts(), clock.NowUs());
            clock.ScheduleAt(clock.NowUs() + 5000,
                             [&line, &target, &clock] { target.OnLines(line, line.Dtr(), line.Rts(), clock.NowUs()); });
        });
    }
}

struct RunPlan {
    bool stm32 = false;
    bool verify = false;
    Fault fault = Fault::None;
};

// Checks one finished run; returns its outcome for the tally.
std::string Judge(const std::vector<std::string>& lines, int result, bool flashHoldsImage, const ComPort& port,
                  const SimLine& line) {
    int errors = 0;
    bool ok = false, restoreFailed = false;
    std::string outcome;  // the first error line, or how the run ended
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("PROGRAM OK in ", 0) == 0) ok = true;
        if (lines[i].find("ERROR") == std::string::npos) continue;
        if (outcome.empty()) outcome = lines[i].substr(0, 48);
        // A failed reopen at the terminal's settings follows the run's own line.
        if (lines[i] == kLineCantOpenPort && i > 0 && lines[i - 1] == kLineRestoringBaud)
            restoreFailed = true;
        else
            ++errors;
    }
    if (outcome.empty()) outcome = ok ? "PROGRAM OK" : "no end line";
    EXPECT_TRUE(ok ? errors == 0 : errors == 1) << errors << " error lines, ok " << ok;
    EXPECT_EQ(result, ok ? 0 : 1);
    if (ok) {
        EXPECT_TRUE(flashHoldsImage) << "PROGRAM OK, but the flash is not the image";
    }
    EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal));
    if (port.IsOpen()) {
        EXPECT_FALSE(restoreFailed);
        EXPECT_EQ(line.Settings().baud, 9600u) << "the port is open, but not at the terminal's rate";
    } else {
        // The line after it names a device that went away.
        const bool gone = !lines.empty() && lines.back() == "The device ttyQ0 went away.";
        const std::size_t said = lines.size() - (gone ? 2 : 1);
        EXPECT_FALSE(lines.size() < (gone ? 2u : 1u) || lines[said].rfind(kLineCantOpenPort, 0) != 0)
            << "the port is closed without saying so";
    }
    return outcome;
}

std::string ProgramOnce(const RunPlan& run, unsigned seed, std::mt19937& rng, const testing::TempDir& dir) {
    VirtualClock clock;
    SimLine line(clock);
    ComPort port(SimDeviceFactory(line), clock);
    MemoryStatusLog log;
    Loader loader(LoaderHost{port, log, {}, {}, {}, {}});
    LoaderInputs inputs;
    inputs.terminalPort = "ttyQ0";
    inputs.terminalBaud = "9600";
    inputs.terminalFormat = kFrameN81;
    inputs.verify = run.verify;

    // A few pieces of data, never 0xFF (blank).
    std::map<std::uint32_t, std::uint8_t> image;
    const int pieces = 1 + static_cast<int>(rng() % 3);
    for (int p = 0; p < pieces; ++p) {
        const std::uint32_t at = run.stm32 ? rng() % 0x3000 : 0xF000 + rng() % 0xF00;
        const std::uint32_t n = 1 + rng() % 300;
        for (std::uint32_t a = at; a < at + n && (run.stm32 || a < 0x10000); ++a)
            image[a] = static_cast<std::uint8_t>(rng() % 255);
    }
    inputs.firmwarePath = dir.Write("fw" + std::to_string(seed) + ".s19", SRecords(image, run.stm32));

    std::unique_ptr<Stm32BootTarget> stm32;
    std::unique_ptr<Msp430BslTarget> msp430;
    SimPeer* target = nullptr;
    if (run.stm32) {
        stm32 = std::make_unique<Stm32BootTarget>(line);
        target = stm32.get();
        inputs.targetIndex = rng() % 2 ? kTargetStm32_115200 : kTargetStm32_57600;
    } else {
        msp430 = std::make_unique<Msp430BslTarget>();
        target = msp430.get();
        inputs.targetIndex = rng() % 2 ? kTargetMsp430_9600 : kTargetMsp430_19200;
    }
    line.SetPeer(target);
    EXPECT_EQ(port.ComOpen("ttyQ0", 9600, kFrameN81), kComOk);

    const Stm32BootTarget::Step stm32Steps[] = {Stm32BootTarget::Step::Get, Stm32BootTarget::Step::GetId,
                                                Stm32BootTarget::Step::Erase, Stm32BootTarget::Step::Write,
                                                Stm32BootTarget::Step::Read};
    const BslSimStep bslSteps[] = {BslSimStep::Sync, BslSimStep::MassErase, BslSimStep::Password,
                                   BslSimStep::ReadBlock, BslSimStep::WriteFlash};
    switch (run.fault) {
    case Fault::Late:
        if (stm32) {
            stm32->replyGapUs = 100000 + rng() % 3000000;
            stm32->FailStep(stm32Steps[rng() % 5], Stm32BootTarget::Fault::SlowReply, 1 + static_cast<int>(rng() % 2));
        } else {
            msp430->Config().massEraseUs = 100000 + rng() % 30000000;
        }
        break;
    case Fault::Refuse:
        if (stm32)
            stm32->FailStep(stm32Steps[rng() % 5], Stm32BootTarget::Fault::Nack, 1 + static_cast<int>(rng() % 2));
        else
            msp430->faults.push_back({bslSteps[rng() % 5], BslSimFault::Nak, 1 + static_cast<int>(rng() % 3)});
        break;
    case Fault::Reset:
    case Fault::Unplug:
        Schedule(clock, line, *target, run.fault, 1000 + rng() % (run.stm32 ? 600000 : 6000000));
        break;
    default: (void)WireFault(line, run.fault, rng, run.stm32 ? (run.verify ? 400 : 40) : 120); break;
    }

    const std::uint64_t startUs = clock.NowUs();
    EXPECT_TRUE(loader.StartProgram(inputs));
    EXPECT_LT(clock.NowUs() - startUs, 600000000u) << "the run took more than ten minutes";

    bool holds = true;
    for (const auto& [offset, byte] : image)
        if ((stm32 ? stm32->Flash()[offset] : msp430->At(static_cast<std::uint16_t>(offset))) != byte) holds = false;
    // An STM32 run without verify reads nothing back: it cannot know.
    const bool mustHold = !run.stm32 || run.verify;
    std::string outcome = Judge(log.Lines(), loader.LastRunResult, holds || !mustHold, port, line);
    if (!holds && outcome == "PROGRAM OK") outcome += " (flash differs, not verified)";
    line.SetPeer(nullptr);
    // A wire fault drawn past the last byte the target sent never struck.
    return line.toPortFault ? outcome + " (fault not reached)" : outcome;
}

TEST(LoaderSoak, EveryRunOverABadLineEndsWithOneVerdictAndThePortBack) {
    testing::TempDir dir;
    Soak("programming runs", [&dir](unsigned seed, std::mt19937& rng, Tally& tally) {
        const RunPlan run{rng() % 2 != 0, rng() % 2 != 0, static_cast<Fault>(rng() % kFaultKinds)};
        SCOPED_TRACE("seed " + std::to_string(seed) + (run.stm32 ? " STM32" : " MSP430") +
                     (run.verify ? " verify" : "") + ", fault " + kFaultNames[static_cast<int>(run.fault)]);
        const std::string outcome = ProgramOnce(run, seed, rng, dir);
        ++tally[std::string(run.stm32 ? "STM32 " : "MSP430 ") + kFaultNames[static_cast<int>(run.fault)]][outcome];
    });
}

TEST(LoaderSoak, EveryCaptureOverABadLineEndsWithOneVerdictAndThePortBack) {
    Soak("captures", [](unsigned seed, std::mt19937& rng, Tally& tally) {
        const Fault fault = static_cast<Fault>(rng() % kFaultKinds);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", fault " + kFaultNames[static_cast<int>(fault)]);
        VirtualClock clock;
        SimLine line(clock);
        ComPort port(SimDeviceFactory(line), clock);
        LcdFirmwareTarget target(line, 8 + static_cast<int>(rng() % 25), 1 + static_cast<int>(rng() % 8));
        target.FillTestPattern();
        line.SetPeer(&target);
        ASSERT_EQ(port.ComOpen("ttyQ0", 115200, kFrameN81), kComOk);
        NmeaWriter nmea(port);
        LcdState state;
        int paused = 0, resumed = 0, boxes = 0;
        LcdCaptureHost host{port, nmea, [&] { ++paused; }, [&] { ++resumed; }, nullptr, nullptr, nullptr,
                            [&](const std::string&, const std::string&) { ++boxes; }, nullptr};
        // A sentence's checksum cannot see every fault; a capture that
        // comes through one of those may hold a wrong picture.
        bool visible = true;
        switch (fault) {
        case Fault::Late:
            target.gapBeforeRow = static_cast<int>(rng() % target.Height());
            target.gapMs = 260 + static_cast<int>(rng() % 500);
            break;
        case Fault::Refuse: target.mute = true; break;
        case Fault::Reset:
            clock.ScheduleAt(rng() % 30000, [&line] { line.DiscardInFlightToPort(); });
            break;
        case Fault::Unplug: Schedule(clock, line, target, fault, rng() % 30000); break;
        default: visible = WireFault(line, fault, rng, 30 + target.Height() * (20 + target.Width() / 4)); break;
        }
        const LcdCaptureResult result = RunLcdCapture(state, host);
        const bool done = result == LcdCaptureResult::Done;
        EXPECT_EQ(boxes, done ? 0 : 1);
        EXPECT_EQ(paused, 1);
        EXPECT_EQ(resumed, 1);
        EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal));
        EXPECT_LT(clock.NowUs(), 60000000u) << "the capture took more than a minute";
        if (done && visible) {
            EXPECT_EQ(state.LcdWidth, target.Width());
            EXPECT_EQ(state.LcdHeight, target.Height());
            for (int r = 0; r < target.Height(); ++r)
                for (int c = 0; c < target.Width(); ++c)
                    ASSERT_EQ(state.PixelLit(target.Width(), r, c), target.Pixel(r, c)) << "row " << r << " column " << c;
        }
        const char* names[] = {"Done",          "PortBusy",         "NoPort", "Protocol Error 1",
                               "Protocol Error 2", "Protocol Error 3", "Stopped"};
        ++tally[std::string(kFaultNames[static_cast<int>(fault)]) + (visible ? "" : " (checksum-blind)")]
               [std::string(names[static_cast<int>(result)]) + (line.toPortFault ? " (fault not reached)" : "")];
        line.SetPeer(nullptr);
    });
}

}  // namespace
}  // namespace quennet
