// The receive pump over the simulated line into an in-memory display.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "MemoryDisplay.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "terminal/Charset.h"
#include "terminal/ReceivePump.h"

namespace quennet {
namespace {

class Pump : public ::testing::Test {
protected:
    VirtualClock clock;
    SimLine line{clock};
    ComPort port{[this] { return std::unique_ptr<SerialDevice>(new SimSerialDevice(line)); }, clock};
    MemoryDisplay display;
    std::vector<std::uint8_t> logged;
    std::vector<std::size_t> chunkSizes;

    void SetUp() override { ASSERT_EQ(port.ComOpen("ttyS0", 115200, kFrameN81), 0); }

    ReceivePump::TickResult Feed(const std::vector<std::uint8_t>& bytes, bool hex = false) {
        line.SendToPort(bytes);
        clock.Advance(line.WireTimeUs(bytes.size()) + 1);
        return Tick(hex);
    }
    ReceivePump::TickResult Tick(bool hex = false) {
        return ReceivePump::Tick(port, display, hex, [this](const std::uint8_t* b, std::size_t n) {
            logged.insert(logged.end(), b, b + n);
            chunkSizes.push_back(n);
        });
    }
};

TEST_F(Pump, LineBreaksCarriageReturnsAndBackspaces) {
    Feed({'A', 'B', 0x0D, 0x0A, 'X', 'Y'});
    EXPECT_EQ(display.text, "AB\r\nXY");
    display.text.clear();
    Feed({'A', 'B', 0x0D, 'X', 'Y'});
    EXPECT_EQ(display.text, "ABXY");
    display.text.clear();
    Feed({'A', 'B', 'X', 0x08});
    EXPECT_EQ(display.text, "AB");
    display.text.clear();
    Feed({0x08, 0x08, 'Q'});
    EXPECT_EQ(display.text, "Q");
    display.text.clear();
    Feed({0x0A, 0x0D, 'a', 0x0D, 0x0A, 0x0A});  // LF CR, CR LF and LF: three breaks
    EXPECT_EQ(display.text, "\r\na\r\n\r\n");
}

TEST_F(Pump, NulHidesTheRestOfItsSegmentButTheLogGetsEverything) {
    Feed({'A', 0x00, 'B', 0x0A});
    EXPECT_EQ(display.text, "A\r\n");
    EXPECT_EQ(logged, (std::vector<std::uint8_t>{'A', 0x00, 'B', 0x0A}));
    Feed({0x00, 'x', 0x08, 'y', 0x00});
    // The backspace ends the hidden segment and deletes the line break.
    EXPECT_EQ(display.text, "Ay");
}

TEST_F(Pump, HexModeFormatsEachByte) {
    Feed({0x41, 0x0A, 0xFF, 0x00, 0x08}, true);
    EXPECT_EQ(display.text, "41 0A FF 00 08 ");
}

TEST_F(Pump, ChunksOfTwoHundredAndTheFullFlag) {
    std::vector<std::uint8_t> bytes(450);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>('a' + i % 26);
    auto r = Feed(bytes);
    EXPECT_EQ(r.bytes, 450u);
    EXPECT_TRUE(r.fullChunk);
    EXPECT_EQ(chunkSizes, (std::vector<std::size_t>{200, 200, 50}));
    EXPECT_EQ(logged, bytes);
    EXPECT_EQ(display.updates, 1);  // painting suspended once for the whole tick

    chunkSizes.clear();
    r = Feed(std::vector<std::uint8_t>(199, 'z'));
    EXPECT_FALSE(r.fullChunk);
    r = Tick();
    EXPECT_EQ(r.bytes, 0u);
    EXPECT_EQ(display.updates, 2);  // an idle tick does not touch the display
}

TEST_F(Pump, TrimsBeforeEachChunkByWholeLines) {
    // One line of 15990 characters, then a second line.
    display.text.assign(15990, 'a');
    display.text += "\r\nbbbbbbbbbb";  // 16002 characters
    Feed({'c'});
    EXPECT_EQ(display.text, "bbbbbbbbbbc");

    // A display without any break is emptied whole.
    display.text.assign(16001, 'x');
    Feed({'y'});
    EXPECT_EQ(display.text, "y");

    // At exactly the limit nothing is trimmed.
    display.text.assign(16000, 'x');
    Feed({'y'});
    EXPECT_EQ(display.text.size(), 16001u);
}

TEST_F(Pump, ClosedOrVanishedPortReadsNothing) {
    line.SendToPort({'a', 'b'});
    clock.Advance(10000);
    line.vanished = true;
    EXPECT_EQ(Tick().bytes, 0u);
    EXPECT_EQ(display.text, "");
    line.vanished = false;
    port.ComClose();
    EXPECT_EQ(Tick().bytes, 0u);
}

TEST(Charset, EveryByteIsOneCharacterAndTypingMapsBack) {
    for (int b = 0; b < 256; ++b) {
        const char32_t ch = ByteToDisplayChar(static_cast<std::uint8_t>(b));
        EXPECT_LT(ch, 0x10000u) << b;  // one UTF-16 unit: one character to delete
        if (ch != 0xFFFD && b >= 0x20 && b != 0x7F) {
            EXPECT_EQ(TypedCharToByte(ch), b) << b;
        }
    }
    EXPECT_EQ(ByteToDisplayChar(0x41), U'A');
    EXPECT_EQ(ByteToDisplayChar(0x1B), 0x241Bu);
    EXPECT_EQ(ByteToDisplayChar(0xE9), 0xE9u);
    EXPECT_EQ(TypedCharToByte(0x0D), 0x0D);
    EXPECT_EQ(TypedCharToByte(0x20AC), 0x80);
    EXPECT_EQ(TypedCharToByte(0x4E2D), -1);
    EXPECT_EQ(TypedCharToByte(0xFFFD), -1);
    EXPECT_EQ(TypedCharToByte(0x1F600), -1);
}

}  // namespace
}  // namespace quennet

namespace quennet {
namespace {

// A watcher claims part of a chunk: the bytes before and after its claim
// are neither logged nor shown, and after a cut the tick reads no further.
TEST_F(Pump, AWatcherKeepsWhatItDoesNotClaimFromTheLogAndTheDisplay) {
    ReceiveView view{ViewOptions{}};
    std::vector<std::uint8_t> bytes(450, 'x');
    bytes[0] = 'O';
    bytes[1] = 'O';
    bytes[150] = '*';
    line.SendToPort(bytes);
    clock.Advance(line.WireTimeUs(bytes.size()) + 1);
    int calls = 0;
    const auto tick = ReceivePump::Tick(
        port, display, view, ReceivePump::kDisplayLimit,
        [this](const std::uint8_t* b, std::size_t n) { logged.insert(logged.end(), b, b + n); },
        [&](const std::uint8_t*, std::size_t) {
            ++calls;
            return ReceivePump::Claim{2, 150};
        });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(tick.bytes, 200u);  // one chunk read, the rest left queued
    EXPECT_EQ(display.text, std::string(148, 'x'));
    EXPECT_EQ(logged, std::vector<std::uint8_t>(148, 'x'));
    std::uint8_t rest[512];
    EXPECT_EQ(port.ComRead(rest, sizeof rest), 250u);
}

}  // namespace
}  // namespace quennet
