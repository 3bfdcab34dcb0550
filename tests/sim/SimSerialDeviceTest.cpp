#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Kind = SimEvent::Kind;

// --- VirtualClock -------------------------------------------------------------

TEST(VirtualClockSimTest, TickCountWrapsFromTheStartTick) {
    VirtualClock clock(0xFFFFFFF0u);
    EXPECT_EQ(clock.TickCount(), 0xFFFFFFF0u);
    clock.Sleep(15);
    EXPECT_EQ(clock.TickCount(), 0xFFFFFFFFu);
    clock.Sleep(1);
    EXPECT_EQ(clock.TickCount(), 0u);
    clock.Advance(20999);  // 20.999 ms more: the tick counts whole milliseconds
    EXPECT_EQ(clock.TickCount(), 20u);
    EXPECT_EQ(static_cast<std::uint32_t>(clock.TickCount() - 0xFFFFFFF0u), 36u)
        << "differences across the wrap stay right";
    clock.SetStartTick(100);
    EXPECT_EQ(clock.TickCount(), 136u);
}

TEST(VirtualClockSimTest, SleepAdvancesOnlyForPositiveTimes) {
    VirtualClock clock;
    clock.Sleep(0);
    clock.Sleep(-7);
    EXPECT_EQ(clock.NowUs(), 0u);
    clock.Sleep(5);
    EXPECT_EQ(clock.NowUs(), 5000u);
    EXPECT_EQ(clock.SleepCount(), 3u);
    EXPECT_EQ(clock.SleptUs(), 5000u);
    clock.AdvanceTo(1000);  // in the past: stays
    EXPECT_EQ(clock.NowUs(), 5000u);
}

TEST(VirtualClockSimTest, ScheduledActionsRunInTimeOrderAtTheirInstant) {
    VirtualClock clock;
    std::vector<std::pair<int, std::uint64_t>> ran;
    clock.ScheduleAt(3000, [&] { ran.push_back({3, clock.NowUs()}); });
    clock.ScheduleAt(1000, [&] { ran.push_back({1, clock.NowUs()}); });
    clock.ScheduleAt(3000, [&] { ran.push_back({4, clock.NowUs()}); });
    clock.ScheduleAt(2500, [&] {
        ran.push_back({2, clock.NowUs()});
        // An action may schedule another one inside the same advance.
        clock.ScheduleAt(2600, [&] { ran.push_back({25, clock.NowUs()}); });
    });
    clock.Sleep(2);
    ASSERT_EQ(ran.size(), 1u);
    clock.Sleep(10);
    const std::vector<std::pair<int, std::uint64_t>> expected = {
        {1, 1000}, {2, 2500}, {25, 2600}, {3, 3000}, {4, 3000}};
    EXPECT_EQ(ran, expected);
    EXPECT_EQ(clock.NowUs(), 12000u);
}

// --- SimLine ------------------------------------------------------------------

class RecordingPeer : public SimPeer {
public:
    struct Got { std::uint8_t byte; std::uint64_t atUs; std::uint64_t clockUs; };
    std::vector<Got> bytes;
    std::vector<std::tuple<bool, bool, std::uint64_t>> lines;
    std::vector<LineSettings> settings;

    void OnBytes(SimLine& line, const std::uint8_t* b, std::size_t n,
                 std::uint64_t arrivalUs) override {
        for (std::size_t i = 0; i < n; ++i) bytes.push_back({b[i], arrivalUs, line.NowUs()});
    }
    void OnLines(SimLine&, bool dtr, bool rts, std::uint64_t atUs) override {
        lines.emplace_back(dtr, rts, atUs);
    }
    void OnSettings(SimLine&, const LineSettings& s) override { settings.push_back(s); }
};

class SimLineTest : public ::testing::Test {
protected:
    void OpenAt(std::uint32_t baud, int dataBits = 8, Parity parity = Parity::None) {
        ASSERT_TRUE(device.Open("/dev/sim0"));
        ASSERT_TRUE(device.SetSettings({baud, dataBits, parity, 1}));
    }
    std::uint32_t Waiting() {
        std::uint32_t n = 0;
        EXPECT_TRUE(device.QueryWaiting(n));
        return n;
    }

    VirtualClock clock;
    RecordingPeer peer;
    SimLine line{clock};
    SimSerialDevice device{line};
};

TEST_F(SimLineTest, CharacterTimeCountsStartDataParityAndStopBits) {
    line.SetDeviceSettings({9600, 8, Parity::None, 1});
    EXPECT_DOUBLE_EQ(line.CharTimeUs(), 10e6 / 9600);
    line.SetDeviceSettings({9600, 8, Parity::Even, 1});
    EXPECT_DOUBLE_EQ(line.CharTimeUs(), 11e6 / 9600);
    line.SetDeviceSettings({115200, 7, Parity::Odd, 1});
    EXPECT_DOUBLE_EQ(line.CharTimeUs(), 10e6 / 115200);
    line.SetDeviceSettings({1000, 8, Parity::None, 2});
    EXPECT_EQ(line.WireTimeUs(3), 33000u);
    // 512 KiB at 115200 8N1 without drift: 5242880 bits.
    line.SetDeviceSettings({115200, 8, Parity::None, 1});
    EXPECT_EQ(line.WireTimeUs(512 * 1024), 45511112u);
}

TEST_F(SimLineTest, BytesToThePortArriveBackToBack) {
    OpenAt(1000);  // 10 ms a character
    line.SendToPort(Bytes{1, 2, 3});
    line.SendToPortAt(15000, Bytes{4});  // the transmitter is busy until 30 ms
    line.SendToPortAt(100000, Bytes{5});
    const std::pair<std::uint64_t, std::uint32_t> steps[] = {
        {9999, 0}, {10000, 1}, {29999, 2}, {30000, 3}, {40000, 4}, {109999, 4}, {110000, 5}};
    for (const auto& [at, expected] : steps) {
        clock.AdvanceTo(at);
        EXPECT_EQ(Waiting(), expected) << "at " << at;
    }
    std::uint8_t buf[8];
    EXPECT_EQ(device.Read(buf, 8), 5);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(SimLineTest, ReadTakesOnlyArrivedBytes) {
    OpenAt(1000);
    line.SendToPort(Bytes{7, 8, 9});
    clock.AdvanceTo(20000);
    std::uint8_t buf[8];
    EXPECT_EQ(device.Read(buf, 8), 2);
    EXPECT_EQ(device.Read(buf, 8), 0);
    EXPECT_EQ(line.InFlightToPort(), 1u);
    clock.AdvanceTo(30000);
    EXPECT_EQ(device.Read(buf, 8), 1);
    EXPECT_EQ(buf[0], 9);
}

TEST_F(SimLineTest, PortBytesReachThePeerAfterTheirWireTime) {
    line.SetPeer(&peer);
    OpenAt(1000, 8, Parity::Even);  // 11 ms a character
    clock.AdvanceTo(5000);
    ASSERT_EQ(device.Write(Bytes{0xA1, 0xA2}.data(), 2), 2);
    clock.AdvanceTo(6000);
    ASSERT_EQ(device.Write(Bytes{0xA3}.data(), 1), 1);
    EXPECT_TRUE(peer.bytes.empty()) << "nothing arrives before its time";
    clock.AdvanceTo(100000);
    ASSERT_EQ(peer.bytes.size(), 3u);
    const std::uint64_t expectAt[] = {16000, 27000, 38000};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(peer.bytes[i].byte, 0xA1 + i);
        EXPECT_EQ(peer.bytes[i].atUs, expectAt[i]);
        EXPECT_EQ(peer.bytes[i].clockUs, expectAt[i]) << "the peer runs at that instant";
    }
    ASSERT_EQ(line.WriteLog().size(), 3u);
    EXPECT_EQ(line.WriteLog()[2].writeUs, 6000u);
    EXPECT_EQ(line.WriteLog()[2].arrivalUs, 38000u);
    EXPECT_EQ(line.EventsOf(Kind::Write).size(), 2u);
}

TEST_F(SimLineTest, PurgeDropsWhatHasNotStartedAndWhatHasArrived) {
    line.SetPeer(&peer);
    OpenAt(1000);
    ASSERT_EQ(device.Write(Bytes{1, 2, 3, 4}.data(), 4), 4);
    line.SendToPort(Bytes{11, 12, 13});
    clock.AdvanceTo(15000);  // byte 1 delivered, byte 2 on the wire both ways
    ASSERT_TRUE(device.Purge(true, true));
    EXPECT_EQ(Waiting(), 0u);
    clock.AdvanceTo(100000);
    ASSERT_EQ(peer.bytes.size(), 2u) << "the character being sent still completes";
    EXPECT_EQ(peer.bytes[1].byte, 2);
    EXPECT_EQ(line.WrittenBytes(), (Bytes{1, 2}));
    EXPECT_EQ(Waiting(), 2u) << "bytes still travelling were not yet in the queue";
    ASSERT_EQ(device.Write(Bytes{5}.data(), 1), 1);
    EXPECT_EQ(line.WriteLog().back().arrivalUs, 110000u) << "the transmitter is free again";
}

TEST_F(SimLineTest, OpeningRaisesTheLinesAndDropsBytesThatCameMeanwhile) {
    line.SetPeer(&peer);
    line.SetDeviceSettings({1000, 8, Parity::None, 1});
    line.SendToPort(Bytes{1, 2});
    clock.AdvanceTo(15000);
    ASSERT_TRUE(device.Open("/dev/sim0"));
    EXPECT_TRUE(line.IsOpen());
    EXPECT_TRUE(line.Dtr());
    EXPECT_TRUE(line.Rts());
    EXPECT_EQ(Waiting(), 0u);
    clock.AdvanceTo(20000);
    EXPECT_EQ(Waiting(), 1u) << "the byte still on the wire is received";

    ASSERT_TRUE(device.SetDtr(false));
    ASSERT_TRUE(device.Close());
    EXPECT_FALSE(line.Dtr());
    EXPECT_FALSE(line.Rts());
    const std::vector<std::tuple<bool, bool, std::uint64_t>> expected = {
        {true, true, 15000}, {false, true, 20000}, {false, false, 20000}};
    EXPECT_EQ(peer.lines, expected);
}

TEST_F(SimLineTest, SettingsAreCheckedAndReported) {
    line.SetPeer(&peer);
    ASSERT_TRUE(device.Open("/dev/sim0"));
    EXPECT_FALSE(device.SetSettings({0, 8, Parity::None, 1}));
    EXPECT_FALSE(device.SetSettings({9600, 9, Parity::None, 1}));
    EXPECT_FALSE(device.SetSettings({9600, 8, Parity::None, 3}));
    EXPECT_TRUE(device.SetSettings({14400, 7, Parity::Even, 1}));
    line.refuseSettings = true;
    EXPECT_FALSE(device.SetSettings({9600, 8, Parity::None, 1}));
    ASSERT_EQ(peer.settings.size(), 1u);
    EXPECT_EQ(peer.settings[0].baud, 14400u);
    LineSettings now;
    ASSERT_TRUE(device.GetSettings(now));
    EXPECT_EQ(now.baud, 14400u);
    EXPECT_EQ(now.parity, Parity::Even);
    EXPECT_EQ(line.EventsOf(Kind::SettingsRefused).size(), 4u);
}

TEST_F(SimLineTest, BlockingWritesAdvanceTheClockUntilSent) {
    line.SetPeer(&peer);
    OpenAt(1000);
    line.writeBlocksUntilSent = true;
    ASSERT_EQ(device.Write(Bytes{1, 2, 3}.data(), 3), 3);
    EXPECT_EQ(clock.NowUs(), 30000u);
    EXPECT_EQ(peer.bytes.size(), 3u);
}

// --- the FTDI adapter model ---------------------------------------------------

TEST_F(SimLineTest, AnFtdiAdapterHoldsBytesUntilAPacketFillsOrItsTimerRunsOut) {
    line.SetAdapter(SimLine::Adapter::Ftdi);  // its timer runs out at 16, 32, 48 ms ...
    OpenAt(1000000);                          // 10 us a character
    EXPECT_EQ(device.LatencyTimerMs(), 16);
    struct Send { std::uint64_t atUs; std::size_t n; };
    const Send sends[] = {
        {1000, 1},     // a lone byte waits for the timer: 16 ms
        {31980, 3},    // arrives at 31.99, 32.00 and 32.01 ms: the first goes at 32 ms,
                       // the others wait a whole period more
        {50000, 100},  // the 62nd byte sends a full packet at once (50.62 ms) and
                       // starts the timer again; the rest go 16 ms later
    };
    for (const Send& s : sends) line.SendToPortAt(s.atUs, Bytes(s.n, 0x55));
    const std::pair<std::uint64_t, std::uint32_t> steps[] = {
        {15999, 0}, {16000, 1}, {31999, 1}, {32000, 2}, {47999, 2}, {48000, 4},
        {50619, 4}, {50620, 66}, {66619, 66}, {66620, 104}};
    for (const auto& [at, expected] : steps) {
        clock.AdvanceTo(at);
        EXPECT_EQ(Waiting(), expected) << "at " << at;
    }
    EXPECT_EQ(line.InFlightToPort(), 0u);

    // With the driver's low-latency flag the timer runs 1 ms, from now on.
    ASSERT_TRUE(device.SetLowLatency(true));
    EXPECT_EQ(device.LatencyTimerMs(), 1);
    line.SendToPortAt(70000, Bytes{1});  // in the chip at 70.01 ms
    clock.AdvanceTo(70619);
    EXPECT_EQ(Waiting(), 104u);
    clock.AdvanceTo(70620);  // the timer runs out every millisecond from 67.62 ms
    EXPECT_EQ(Waiting(), 105u);
}

TEST_F(SimLineTest, AWaitForBytesSleepsUntilTheAdapterSendsThem) {
    line.SetAdapter(SimLine::Adapter::Ftdi);
    OpenAt(1000000);
    line.SendToPort(Bytes{7});
    EXPECT_EQ(line.NextArrivalAtPortUs(), std::optional<std::uint64_t>(16000));
    EXPECT_TRUE(device.WaitReadable(20000));
    EXPECT_EQ(clock.NowUs(), 16000u);
    EXPECT_EQ(Waiting(), 1u);
}

TEST_F(SimLineTest, TheAdapterKeepsWhatItHoldsWhenTheFarEndResetsAndLosesItWhenThePortOpens) {
    line.SetAdapter(SimLine::Adapter::Ftdi);
    OpenAt(1000);  // 10 ms a character
    line.SendToPort(Bytes{1, 2, 3});
    clock.AdvanceTo(15000);  // byte 1 is in the chip, byte 2 on the wire
    line.DiscardInFlightToPort();
    clock.AdvanceTo(16000);
    EXPECT_EQ(Waiting(), 1u) << "the chip's byte still reaches the port";
    clock.AdvanceTo(100000);
    EXPECT_EQ(Waiting(), 1u);

    line.SendToPort(Bytes{4});
    clock.AdvanceTo(111000);  // in the chip
    ASSERT_TRUE(device.Close());
    ASSERT_TRUE(device.Open("/dev/sim0"));
    clock.AdvanceTo(200000);
    EXPECT_EQ(Waiting(), 0u) << "the driver resets the chip as the port opens";
}

TEST_F(SimLineTest, TheLowLatencyFlagIsTheDriversAndOutlivesThePort) {
    ASSERT_TRUE(device.Open("/dev/sim0"));
    EXPECT_EQ(device.LatencyTimerMs(), std::nullopt) << "no adapter, no timer";
    bool on = true;
    ASSERT_TRUE(device.GetLowLatency(on));
    EXPECT_FALSE(on);
    ASSERT_TRUE(device.SetLowLatency(true));
    ASSERT_TRUE(device.Close());
    ASSERT_TRUE(device.Open("/dev/sim0"));
    ASSERT_TRUE(device.GetLowLatency(on));
    EXPECT_TRUE(on) << "nobody put it back";
    EXPECT_EQ(line.EventsOf(Kind::LowLatency).size(), 1u);

    line.refuseLowLatency = true;  // a pty has no such flag
    EXPECT_FALSE(device.GetLowLatency(on));
    EXPECT_FALSE(device.SetLowLatency(false));
    EXPECT_TRUE(line.LowLatency());
}

}  // namespace
}  // namespace quennet
