#include "LcdFirmwareTarget.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "serial/ComPort.h"

namespace quennet {
namespace {

class LcdFirmwareTargetTest : public ::testing::Test {
protected:
    VirtualClock clock;
    SimLine line{clock};
    ComPort port{SimDeviceFactory(line), clock};
    LcdFirmwareTarget target{line, 12, 3};

    void SetUp() override { ASSERT_EQ(port.ComOpen("ttyQ0", 115200, kFrameN81), kComOk); }
    void Write(const std::string& s) { port.ComWrite(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); }
    std::string ReadAll() {
        std::string out;
        for (int b; (b = port.ComWaitByte(50)) >= 0;) out += static_cast<char>(b);
        return out;
    }
};

TEST_F(LcdFirmwareTargetTest, AnswersOnlyACorrectCommandWithHeaderAndRows) {
    target.SetPixel(1, 0, true);
    target.SetPixel(1, 8, true);
    target.SetPixel(1, 10, true);
    Write("$QNCOM,SCR*31\r\n");  // wrong checksum
    Write("$QNCOM,XYZ*3A\r\n");
    EXPECT_EQ(ReadAll(), "");
    EXPECT_EQ(target.CommandsReceived(), 0);

    Write(NmeaSentence("GPCOM,SCR"));  // any talker letters
    EXPECT_EQ(ReadAll(), NmeaSentence("QNLCD,12,3") + NmeaSentence("QNPIX,0,0000") +
                             NmeaSentence("QNPIX,1,80A0") + NmeaSentence("QNPIX,2,0000"));
    EXPECT_EQ(target.CommandsReceived(), 1);
    EXPECT_EQ(NmeaSentence("QNCOM,SCR"), "$QNCOM,SCR*30\r\n");
}

TEST_F(LcdFirmwareTargetTest, AnswerLeavesBackToBackAtTheLineRate) {
    const std::uint64_t start = clock.NowUs();
    Write("$QNCOM,SCR*30\r\n");
    std::uint64_t lastArrival = 0;
    std::size_t n = 0;
    for (int b; (b = port.ComWaitByte(50)) >= 0; ++n) lastArrival = clock.NowUs();
    ASSERT_EQ(n, target.BytesAnswered());
    // Command there, answer back, read within one 5 ms poll step of arrival.
    const std::uint64_t wire = line.WireTimeUs(15) + target.AnswerWireUs();
    EXPECT_GE(lastArrival - start, wire);
    EXPECT_LE(lastArrival - start, wire + 5000);
}

TEST_F(LcdFirmwareTargetTest, ShuffleSendsEveryRowOnceAndChatterNeverEnds) {
    target.Resize(8, 16);
    target.shuffleRows = true;
    Write("$QNCOM,SCR*30\r\n");
    const std::string answer = ReadAll();
    std::vector<int> seen;
    for (std::size_t at = 0; (at = answer.find("PIX,", at)) != std::string::npos; at += 4)
        seen.push_back(std::stoi(answer.substr(at + 4)));
    ASSERT_EQ(seen.size(), 16u);
    EXPECT_FALSE(std::is_sorted(seen.begin(), seen.end()));
    std::sort(seen.begin(), seen.end());
    for (int r = 0; r < 16; ++r) EXPECT_EQ(seen[static_cast<std::size_t>(r)], r);

    target.endlessChatter = true;
    Write("$QNCOM,SCR*30\r\n");
    int sentences = 0;
    std::string lineText;
    for (int i = 0; i < 20000; ++i) {
        const int b = port.ComWaitByte(50);
        ASSERT_GE(b, 0) << "chatter stopped";
        lineText += static_cast<char>(b);
        if (b == '\n') {
            EXPECT_EQ(lineText.substr(0, 6), "$GPGGA");
            EXPECT_EQ(lineText, NmeaSentence(lineText.substr(1, lineText.size() - 6)));
            ++sentences;
            lineText.clear();
        }
    }
    EXPECT_GT(sentences, 100);
}

}  // namespace
}  // namespace quennet
