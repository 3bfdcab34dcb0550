#include "terminal/FileSend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "TempDir.h"
#include "VirtualClock.h"

namespace quennet {
namespace {

using testing::AsText;
using testing::TempDir;
using Step = FileSender::StepResult;
using Start = FileSender::StartResult;

// Every byte value in turn, NUL, CR, LF and 0xFF included.
std::string Pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return s;
}

class FileSendTest : public ::testing::Test {
protected:
    FileSendTest() : line(clock), port(SimDeviceFactory(line), clock) {}
    void SetUp() override {
        ASSERT_EQ(port.ComOpen("ttySIM0", 115200, kFrameN81), kComOk);
        line.ClearEvents();
    }

    std::vector<std::size_t> WriteSizes() const {
        std::vector<std::size_t> sizes;
        for (const auto& e : line.EventsOf(SimEvent::Kind::Write)) sizes.push_back(e.bytes.size());
        return sizes;
    }

    TempDir dir;
    VirtualClock clock;
    SimLine line;
    ComPort port;
    FileSender sender;
};

TEST_F(FileSendTest, StartRefusals) {
    EXPECT_EQ(sender.Start(port, dir.File("none.bin"), 0), Start::CannotOpen);
    EXPECT_EQ(sender.Start(port, "", 0), Start::CannotOpen);
    EXPECT_EQ(sender.Start(port, dir.path().string(), 0), Start::CannotOpen);
    const std::string file = dir.Write("f.bin", "abc");
    EXPECT_EQ(sender.Start(port, file, -1), Start::InvalidMode);
    EXPECT_EQ(sender.Start(port, file, 2), Start::InvalidMode);
    EXPECT_EQ(sender.SendFileMode, FileSender::kIdle);
    port.ComClose();
    EXPECT_EQ(sender.Start(port, file, 0), Start::PortNotOpen);
    EXPECT_FALSE(sender.Running());
    EXPECT_EQ(sender.Step(port, clock), Step::Idle);
    EXPECT_TRUE(line.WrittenBytes().empty());
}

TEST_F(FileSendTest, StartSendsNothingUntilTheFirstStep) {
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", "abc"), 0), Start::Started);
    EXPECT_EQ(sender.SendFileMode, FileSender::kRaw);
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_EQ(clock.SleepCount(), 0u);
}

TEST_F(FileSendTest, EmptyFileEndsAtTheFirstStepWithoutWriting) {
    ASSERT_EQ(sender.Start(port, dir.Write("empty.bin", ""), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_EQ(sender.SendFileMode, FileSender::kIdle);
    EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Write).empty());
    EXPECT_EQ(clock.SleepCount(), 1u);
}

TEST_F(FileSendTest, ThirtyThreeBytesGoOutAsTwoBlocksInOneStep) {
    const std::string data = Pattern(33);
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", data), 0), Start::Started);
    EXPECT_EQ(sender.RawSendStep(port, clock), Step::Ended);
    EXPECT_EQ(WriteSizes(), (std::vector<std::size_t>{32, 1}));
    EXPECT_EQ(AsText(line.WrittenBytes()), data);
    // Each block follows its own 1 ms pause.
    const auto writes = line.EventsOf(SimEvent::Kind::Write);
    EXPECT_EQ(writes[0].atUs, 1000u);
    EXPECT_EQ(writes[1].atUs, 2000u);
    EXPECT_EQ(clock.SleepCount(), 2u);
    EXPECT_EQ(clock.SleptUs(), 2000u);
    EXPECT_FALSE(sender.Running());
}

TEST_F(FileSendTest, HundredBlocksPerStepThenEndOnTheNextStep) {
    const std::string data = Pattern(3200);
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", data), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Running);
    EXPECT_EQ(WriteSizes(), std::vector<std::size_t>(100, 32));
    EXPECT_EQ(AsText(line.WrittenBytes()), data);
    EXPECT_EQ(clock.SleepCount(), 100u);
    EXPECT_TRUE(sender.Running());

    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::Write).size(), 100u);
    EXPECT_EQ(clock.SleepCount(), 101u);
    EXPECT_EQ(sender.Step(port, clock), Step::Idle);
}

TEST_F(FileSendTest, LongFileKeepsEveryByteAcrossSteps) {
    const std::string data = Pattern(7000);
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", data), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Running);
    EXPECT_EQ(sender.Step(port, clock), Step::Running);
    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_EQ(AsText(line.WrittenBytes()), data);
    const auto sizes = WriteSizes();
    ASSERT_EQ(sizes.size(), 219u);  // 218 full blocks and 24 bytes
    EXPECT_EQ(sizes.back(), 24u);
}

TEST_F(FileSendTest, StopBetweenStepsSendsOnlyWholeBlocks) {
    const std::string data = Pattern(5000);
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", data), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Running);
    EXPECT_TRUE(sender.Stop());
    EXPECT_FALSE(sender.Stop());
    EXPECT_EQ(sender.Step(port, clock), Step::Idle);
    EXPECT_EQ(AsText(line.WrittenBytes()), data.substr(0, 3200));

    // A new start reads the file from its beginning again.
    line.ClearWriteLog();
    ASSERT_EQ(sender.Start(port, dir.File("f.bin"), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Running);
    EXPECT_EQ(AsText(line.WrittenBytes()), data.substr(0, 3200));
}

TEST_F(FileSendTest, PortClosedMidSendEndsTheTransfer) {
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", Pattern(5000)), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Running);
    port.ComClose();
    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_FALSE(sender.Running());
    EXPECT_EQ(WriteSizes(), std::vector<std::size_t>(100, 32));
}

TEST_F(FileSendTest, DeviceThatTakesNothingEndsTheTransfer) {
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", Pattern(100)), 0), Start::Started);
    line.writesTakeZero = true;
    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_FALSE(sender.Running());
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_EQ(clock.SleepCount(), 1u);
}

TEST_F(FileSendTest, VanishedDeviceEndsTheTransfer) {
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", Pattern(100)), 0), Start::Started);
    line.vanished = true;
    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_FALSE(sender.Running());
}

TEST_F(FileSendTest, DeviceTakingPartsOfABlockStillGetsEveryByte) {
    const std::string data = Pattern(70);
    line.writeChunkLimit = 5;
    ASSERT_EQ(sender.Start(port, dir.Write("f.bin", data), 0), Start::Started);
    EXPECT_EQ(sender.Step(port, clock), Step::Ended);
    EXPECT_EQ(AsText(line.WrittenBytes()), data);
}

TEST_F(FileSendTest, CompactSrecEndsAtOnceWithoutSending) {
    ASSERT_EQ(sender.Start(port, dir.Write("f.s19", "S00600004844521B\r\n"), 1), Start::Started);
    EXPECT_EQ(sender.SendFileMode, FileSender::kCompactSrec);
    EXPECT_EQ(sender.RawSendStep(port, clock), Step::Idle);
    EXPECT_EQ(sender.Step(port, clock), Step::EndedTbd);
    EXPECT_FALSE(sender.Running());
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_EQ(sender.SrecSendStep(), Step::Idle);
}

TEST_F(FileSendTest, StopBeforeTheFirstSrecStep) {
    ASSERT_EQ(sender.Start(port, dir.Write("f.s19", "x"), 1), Start::Started);
    EXPECT_TRUE(sender.Stop());
    EXPECT_EQ(sender.Step(port, clock), Step::Idle);
}

}  // namespace
}  // namespace quennet
