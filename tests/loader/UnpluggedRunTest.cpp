// A run whose device goes away: the log says so under the run's error.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "VirtualClock.h"
#include "loader/Loader.h"

namespace quennet {
namespace {

using Lines = std::vector<std::string>;

TEST(UnpluggedRunTest, TheLineAfterTheRunsErrorSaysTheDeviceWentAway) {
    struct Case {
        const char* what;
        std::optional<std::uint64_t> unplugAfterUs;  // from the run's start
        bool nackWrites;
        const char* lastTwo[2];
    } cases[] = {
        {"unplugged while blocks are written", 60000, false,
         {"FATAL ERROR: Can't open COM port.", "The device ttyQ0 went away."}},
        {"unplugged before the bootloader answers", 100, false,
         {"FATAL ERROR: Can't open COM port.", "The device ttyQ0 went away."}},
        {"a refused write on a line that stays", std::nullopt, true, {"Restore Serial baud rate.", nullptr}},
    };
    for (const Case& c : cases) {
        VirtualClock clock{1000};
        SimLine line(clock);
        ComPort port(SimDeviceFactory(line), clock);
        Stm32BootTarget target(line);
        line.SetPeer(&target);
        MemoryStatusLog log;
        Loader loader(LoaderHost{port, log, {}, {}, {}, {}});
        LoaderInputs inputs;
        inputs.firmwarePath = QUENNET_TEST_DATA "/srec/stm32_app.s37";
        inputs.targetIndex = kTargetStm32_115200;
        inputs.terminalPort = "ttyQ0";
        inputs.terminalBaud = "9600";
        ASSERT_EQ(port.ComOpen("ttyQ0", 9600, kFrameN81), kComOk);
        if (c.nackWrites) target.FailStep(Stm32BootTarget::Step::Write, Stm32BootTarget::Fault::Nack);
        if (c.unplugAfterUs)
            clock.ScheduleAt(clock.NowUs() + *c.unplugAfterUs, [&line] {
                line.vanished = true;
                line.missing = true;
            });
        loader.StartProgram(inputs);
        line.SetPeer(nullptr);

        const Lines lines = log.Lines();
        ASSERT_GE(lines.size(), 2u) << c.what;
        EXPECT_EQ(loader.LastRunResult, 1) << c.what;
        const std::string& beforeLast = lines[lines.size() - 2];
        if (c.lastTwo[1]) {
            EXPECT_EQ(beforeLast, c.lastTwo[0]) << c.what;
            EXPECT_EQ(lines.back(), c.lastTwo[1]) << c.what;
        } else {
            EXPECT_EQ(lines.back(), c.lastTwo[0]) << c.what;
            for (const std::string& l : lines) EXPECT_EQ(l.find("went away"), std::string::npos) << c.what;
        }
    }
}

}  // namespace
}  // namespace quennet
