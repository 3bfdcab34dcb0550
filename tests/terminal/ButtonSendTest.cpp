#include "terminal/ButtonSend.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "MemoryDisplay.h"
#include "SimSerialDevice.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "serial/ComPort.h"
#include "terminal/Nmea.h"

namespace quennet {
namespace {

using testing::AsText;

// A display that also notes which calls it got and how many bytes had gone
// out on the line when each echo text arrived.
class RecordingDisplay : public MemoryDisplay {
public:
    explicit RecordingDisplay(SimLine& line) : line_(line) {}
    void AppendText(std::string_view bytes) override {
        calls.push_back("text:" + std::string(bytes) + "@" +
                        std::to_string(line_.WrittenBytes().size()));
        MemoryDisplay::AppendText(bytes);
    }
    void AppendLineBreak() override {
        calls.push_back("break");
        MemoryDisplay::AppendLineBreak();
    }
    void AppendEmptyLine() override {
        calls.push_back("emptyline");
        MemoryDisplay::AppendEmptyLine();
    }
    std::vector<std::string> calls;

private:
    SimLine& line_;
};

class ButtonSendTest : public ::testing::Test {
protected:
    ButtonSendTest() : line(clock), port(SimDeviceFactory(line), clock), nmea(port), display(line) {}
    void SetUp() override { ASSERT_EQ(port.ComOpen("ttySIM0", 115200, kFrameN81), kComOk); }

    // Sends and returns what went out on the wire.
    std::string Send(std::string_view text, bool hex, bool nmeaMode, bool echo = false) {
        line.ClearWriteLog();
        line.ClearEvents();
        focus = SendButtonString(port, display, nmea, text, hex, nmeaMode, echo);
        return AsText(line.WrittenBytes());
    }
    // Every byte must go out in a write of its own.
    void ExpectOneWritePerByte() {
        const auto writes = line.EventsOf(SimEvent::Kind::Write);
        EXPECT_EQ(writes.size(), line.WrittenBytes().size());
        for (const auto& w : writes) EXPECT_EQ(w.bytes.size(), 1u);
    }

    VirtualClock clock;
    SimLine line;
    ComPort port;
    NmeaWriter nmea;
    RecordingDisplay display;
    bool focus = false;
};

TEST_F(ButtonSendTest, AsciiEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"AT\\r\\n", "AT\r\n"},
        {"\\\\", "\\"},
        {"a\\\\b", "a\\b"},
        {"x\\ty", "xy"},         // unknown escape: both characters dropped
        {"end\\", "end"},        // trailing backslash dropped
        {"\\\\\\n", "\\\n"},     // escaped backslash, then an escape
        {"\\N\\R", ""},          // escapes are lower case only
        {"$ABC*40", "$ABC*40"},  // no checksum without the option
        {"\x01\x7f\x80\xff", "\x01\x7f\x80\xff"},
        {"", ""},
    };
    for (const auto& [value, wire] : cases) {
        EXPECT_EQ(Send(value, false, false), wire) << value;
        EXPECT_TRUE(focus);
        ExpectOneWritePerByte();
    }
    EXPECT_TRUE(display.text.empty());
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(ButtonSendTest, TextEndsAtTheFirstNul) {
    using namespace std::string_view_literals;
    EXPECT_EQ(Send("AB\0CD"sv, false, false), "AB");
    EXPECT_EQ(Send("0A\0" "1B"sv, true, false), "\x0A");
    EXPECT_EQ(Send("$A\0B"sv, false, true), "$A*41\r\n");
}

TEST_F(ButtonSendTest, HexPairs) {
    const std::pair<std::string, std::string> cases[] = {
        {"ff", "\xff"},  {"FF", "\xff"},  {"G1", ""},           {"12 3", "\x12"},
        {"123", "\x12"}, {"1 23", "\x23"}, {"0x41", "\x41"},     {"0A1B", "\x0a\x1b"},
        {"00", std::string(1, '\0')},      {"aB,Cd:eF\t01", "\xab\xcd\xef\x01"},
        {"1\xc3" "2", ""}, {"", ""},       {"4", ""},
    };
    for (const auto& [value, wire] : cases) {
        EXPECT_EQ(Send(value, true, false, false), wire) << value;
        EXPECT_TRUE(focus);
        ExpectOneWritePerByte();
    }
    // Without the echo option the display is never touched.
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(ButtonSendTest, HexEchoOnAnEmptyDisplay) {
    EXPECT_EQ(Send("0A1B", true, false, true), "\x0a\x1b");
    EXPECT_EQ(display.text, "\r\n< 0A 1B > \r\n");
    // Each byte is shown before it goes out; the list-style empty line opens
    // and closes the echo.
    EXPECT_EQ(display.calls, (std::vector<std::string>{"emptyline", "text:< @0", "text:0A @0",
                                                       "text:1B @1", "text:> @2", "emptyline"}));
}

TEST_F(ButtonSendTest, HexEchoAfterExistingText) {
    display.text = "hello";
    Send("ff", true, false, true);
    EXPECT_EQ(display.text, "hello\r\n< FF > \r\n");
    display.text = "line\r\n";
    Send("ab cd", true, false, true);
    EXPECT_EQ(display.text, "line\r\n\r\n< AB CD > \r\n");
}

TEST_F(ButtonSendTest, HexWithoutACompletePairEchoesNothing) {
    display.text = "keep";
    EXPECT_EQ(Send("1 2 3 G", true, false, true), "");
    EXPECT_EQ(display.text, "keep");
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(ButtonSendTest, HexEchoIsShownEvenWithThePortClosed) {
    port.ComClose();
    EXPECT_EQ(Send("41", true, false, true), "");
    EXPECT_EQ(display.text, "\r\n< 41 > \r\n");
}

TEST_F(ButtonSendTest, NmeaSentences) {
    const std::pair<std::string, std::string> cases[] = {
        {"$ABC", "$ABC*40\r\n"},
        {"$", "$*00\r\n"},
        {"ABC", ""},
        {"", ""},
        {" $ABC", ""},
        {"$ABC*40", "$ABC*40*6E\r\n"},  // the old "*40" is summed as well
        {"$GPGLL,\\n", "$GPGLL,\\n*4E\r\n"},  // no escapes in sentences
        {"$\xff", "$\xff*FF\r\n"},
    };
    for (const auto& [value, wire] : cases) {
        EXPECT_EQ(Send(value, false, true), wire) << value;
        EXPECT_FALSE(focus);
        ExpectOneWritePerByte();
    }
    EXPECT_TRUE(display.calls.empty());
}

TEST_F(ButtonSendTest, NmeaWinsOverHex) {
    EXPECT_EQ(Send("$ABC", true, true, true), "$ABC*40\r\n");
    EXPECT_FALSE(focus);
    EXPECT_TRUE(display.text.empty());
}

TEST_F(ButtonSendTest, NmeaChecksumStateBetweenSentences) {
    Send("$AB", false, true);
    EXPECT_EQ(nmea.NmeaChecksum, 'A' ^ 'B');
    // A text without "$" still resets the checksum and sends nothing.
    Send("AB", false, true);
    EXPECT_EQ(nmea.NmeaChecksum, '$');
}

TEST_F(ButtonSendTest, CommandSentenceOfTheLcdCapture) {
    line.ClearWriteLog();
    nmea.NmeaBeginCommand();
    for (char c : std::string("COM,SCR")) nmea.NmeaPutChar(static_cast<std::uint8_t>(c));
    nmea.NmeaEnd();
    EXPECT_EQ(AsText(line.WrittenBytes()), "$QNCOM,SCR*30\r\n");
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::Write).size(), 15u);
}

TEST_F(ButtonSendTest, CommandPrefixCanBeChosen) {
    NmeaWriter other(port, "XY");
    line.ClearWriteLog();
    other.NmeaBeginCommand();
    EXPECT_EQ(other.NmeaChecksum, 'X' ^ 'Y');
    other.NmeaEnd();
    EXPECT_EQ(AsText(line.WrittenBytes()), "$XY*01\r\n");
}

TEST_F(ButtonSendTest, NothingGoesOutWithThePortClosed) {
    port.ComClose();
    EXPECT_EQ(Send("abc", false, false), "");
    EXPECT_EQ(Send("$abc", false, true), "");
    EXPECT_EQ(nmea.NmeaChecksum, 'a' ^ 'b' ^ 'c');
}

}  // namespace
}  // namespace quennet
