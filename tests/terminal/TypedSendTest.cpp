// Text typed or pasted into the terminal: its bytes, and sending it no
// faster than the line carries it.
#include "terminal/TypedSend.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"

namespace quennet {
namespace {

struct BytesCase {
    std::u32string text;
    LineEnd end;
    std::string bytes;
};

TEST(TypedBytes, EightBitCodesAndTheChosenLineEnd) {
    const std::vector<BytesCase> cases = {
        {U"ls\r\ncd\rpwd\n", LineEnd::Cr, "ls\rcd\rpwd\r"},
        {U"ls\r\ncd\rpwd\n", LineEnd::Lf, "ls\ncd\npwd\n"},
        {U"a\n\nb", LineEnd::CrLf, "a\r\n\r\nb"},
        {U"\r\r\n", LineEnd::Lf, "\n\n"},  // CR then CR LF: two line ends
        {U"caf\u00E9 \u20AC5 \u4E2D!", LineEnd::Cr, "caf\xE9 \x80" "5 !"},  // no 8-bit code: skipped
        {U"\t\x01", LineEnd::Cr, "\t\x01"},
    };
    for (const BytesCase& c : cases) EXPECT_EQ(TypedBytes(c.text, c.end), c.bytes);
}

class Paced : public ::testing::Test {
protected:
    VirtualClock clock;
    SimLine line{clock};
    ComPort port{SimDeviceFactory(line), clock};
    PacedSender sender;
    void SetUp() override { ASSERT_EQ(port.ComOpen("ttyS0", 9600, kFrameN81), kComOk); }
    std::size_t StepAt(std::uint64_t us) {
        clock.AdvanceTo(us);
        return sender.Step(port, clock.NowUs(), CharsPerSecond(9600, kFrameN81));
    }
};

TEST_F(Paced, AFirstBurstThenTheLinesPace) {
    std::string text(3000, 'x');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    sender.Queue(text);
    EXPECT_EQ(StepAt(0), PacedSender::kBurst);
    EXPECT_EQ(StepAt(100'000), 96u);   // 960 characters a second
    EXPECT_EQ(StepAt(100'000), 0u);    // no time, no bytes
    // A long pause is not saved up into a burst larger than the first.
    EXPECT_EQ(StepAt(5'100'000), PacedSender::kBurst);
    sender.Queue("!");  // typed meanwhile: after the paste
    std::uint64_t at = 5'100'000;
    while (sender.Running()) StepAt(at += 2000);
    const std::string all = text + "!";
    EXPECT_EQ(line.WrittenBytes(), std::vector<std::uint8_t>(all.begin(), all.end()));
    const std::uint64_t paced = (3001u - 2 * PacedSender::kBurst - 96u) * 1000'000u / 960u;
    EXPECT_GE(at - 5'100'000, paced - 4000u);
    EXPECT_LE(at - 5'100'000, paced + 4000u);
}

TEST_F(Paced, AClosedPortEndsTheSend) {
    sender.Queue(std::string(1000, 'z'));
    port.ComClose();
    for (int i = 0; i < PacedSender::kMaxIdleSteps; ++i) StepAt(static_cast<std::uint64_t>(i) * 1000);
    EXPECT_FALSE(sender.Running());
    EXPECT_TRUE(line.WrittenBytes().empty());
}

TEST(CharsPerSecond, FramesOfTenOrElevenBits) {
    EXPECT_EQ(CharsPerSecond(115200, kFrameN81), 11520u);
    EXPECT_EQ(CharsPerSecond(115200, kFrameE71), 11520u);
    EXPECT_EQ(CharsPerSecond(115200, kFrameE81), 10472u);
    EXPECT_EQ(CharsPerSecond(0, kFrameN81), 960u);  // a rate that is no number
}

}  // namespace
}  // namespace quennet
