#include "lcd/LcdProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "lcd/LcdCapture.h"

namespace quennet {
namespace {

TEST(LcdProtocol, SentenceValidChecksFramingAndChecksum) {
    // XOR of "QNLCD,128,64" is 0x6D.
    EXPECT_TRUE(LcdSentenceValid("$QNLCD,128,64*6D\r\n"));
    EXPECT_FALSE(LcdSentenceValid("$QNLCD,128,64*6C\r\n"));
    EXPECT_FALSE(LcdSentenceValid("$QNLCD,128,64*6d\r\n"));  // lower-case digits never match
    EXPECT_FALSE(LcdSentenceValid("QNLCD,128,64*6D\r\n"));
    EXPECT_FALSE(LcdSentenceValid("$\r\n"));
    EXPECT_FALSE(LcdSentenceValid("$QNLCD,128,64*4F\n"));  // no CR
    EXPECT_FALSE(LcdSentenceValid(""));
    EXPECT_FALSE(LcdSentenceValid(nullptr));
    // The checksum covers everything up to the last "*".
    EXPECT_TRUE(LcdSentenceValid("$A*B*29\r\n"));  // A ^ * ^ B
    // Without "*" the expected value is 0xFF.
    EXPECT_TRUE(LcdSentenceValid("$ABFF\r\n"));
    // The CR must come within 99 characters after the "$".
    const std::string body95 = std::string(94, 'A') + "B";  // XOR 0x42, CR at index 99
    EXPECT_TRUE(LcdSentenceValid(("$" + body95 + "*42\r\n").c_str()));
    const std::string body96(96, 'A');  // XOR 0, CR at index 100
    EXPECT_FALSE(LcdSentenceValid(("$" + body96 + "*00\r\n").c_str()));
    // A NUL inside the line ends it before its CR.
    const char withNul[] = "$AB\0*03\r\n";
    EXPECT_FALSE(LcdSentenceValid(withNul));
}

TEST(LcdProtocol, HexValuesTakeUpperCaseDigitsOnly) {
    EXPECT_EQ(HexPairValue("F0"), 0xF0);
    EXPECT_EQ(HexPairValue("a5"), 0x05);  // "a" leaves the value unchanged
    EXPECT_EQ(HexPairValue("G1"), 0x01);
    EXPECT_EQ(HexPairValue("F"), 0xF0);   // cut short: the missing digit is 0
    EXPECT_EQ(HexPairValue(""), 0);
    EXPECT_EQ(HexFieldValue("4F\r\n"), 0x4Fu);
    EXPECT_EQ(HexFieldValue("1A2B"), 0x1A2Bu);
    EXPECT_EQ(HexFieldValue("\r12"), 0u);
}

TEST(LcdProtocol, DecimalValuesSaturateInsteadOfOverflowing) {
    EXPECT_EQ(LcdDecimalValue("  128"), 128);
    EXPECT_EQ(LcdDecimalValue("-5x"), -5);
    EXPECT_EQ(LcdDecimalValue("+7"), 7);
    EXPECT_EQ(LcdDecimalValue("x7"), 0);
    EXPECT_EQ(LcdDecimalValue("99999999999999999999"), 2147483647);
    EXPECT_EQ(LcdDecimalValue("-99999999999999999999"), -2147483647 - 1);
}

TEST(LcdProtocol, NextFieldCutsAtDelimitersAndKeepsEmptyFields) {
    char text[] = "QNPIX,,3*";
    FieldSplitter f;
    char* a = f.NextField(text, ",");
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "QNPIX");
    char* b = f.NextField(nullptr, ",");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "");  // two delimiters in a row: an empty field
    char* c = f.NextField(nullptr, "*");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "3");
    EXPECT_EQ(f.NextField(nullptr, ","), nullptr);  // at the end
    char tail[] = "abc";
    EXPECT_STREQ(f.NextField(tail, ","), "abc");  // no delimiter: the rest
    EXPECT_EQ(f.NextField(nullptr, ","), nullptr);
}

// LcdParseLine on lines put straight into the buffer.
class LcdParse : public ::testing::Test {
protected:
    LcdState s;
    int Parse(const std::string& body, const char* checksumOverride = nullptr) {
        unsigned x = 0;
        for (char c : body) x ^= static_cast<unsigned char>(c);
        char sum[3];
        std::snprintf(sum, sizeof sum, "%02X", x);
        const std::string line = "$" + body + "*" + (checksumOverride ? checksumOverride : sum) + "\r\n";
        std::memset(s.LcdLine, 0, sizeof s.LcdLine);
        std::memcpy(s.LcdLine, line.data(), std::min(line.size(), sizeof s.LcdLine - 1));
        return s.LcdParseLine();
    }
};

TEST_F(LcdParse, RowThreeExampleSetsOnePixelAndClearsTheRest) {
    ASSERT_EQ(Parse("QNLCD,128,64"), kLcdHeader);
    for (int i = 384; i < 512; ++i) s.LcdPixels[static_cast<std::size_t>(i)] = 1;
    s.LcdPixels[383] = 1;
    EXPECT_EQ(Parse("QNPIX,3,80" + std::string(30, '0')), kLcdRow);
    EXPECT_EQ(s.LcdPixels[384], 1);
    for (int i = 385; i < 512; ++i) EXPECT_EQ(s.LcdPixels[static_cast<std::size_t>(i)], 0) << i;
    EXPECT_EQ(s.LcdPixels[383], 1);  // row 2 untouched
    EXPECT_EQ(s.LcdPixels[512], 0);
}

TEST_F(LcdParse, WidthTwelveUsesTheHighBitsOfTheLastByte) {
    ASSERT_EQ(Parse("GPLCD,12,2"), kLcdHeader);
    EXPECT_EQ(Parse("GPPIX,1,F0A0"), kLcdRow);
    const int lit[] = {0, 1, 2, 3, 8, 10};
    for (int c = 0; c < 12; ++c) {
        const bool want = std::find(std::begin(lit), std::end(lit), c) != std::end(lit);
        EXPECT_EQ(s.LcdPixels[static_cast<std::size_t>(12 + c)], want ? 1 : 0) << c;
    }
    EXPECT_EQ(s.LcdPixels[24], 0);  // nothing spills into the next row
}

TEST_F(LcdParse, RowsOutsideTheStoreAreDropped) {
    ASSERT_EQ(Parse("QNLCD,128,64"), kLcdHeader);
    const auto before = s.LcdPixels;
    EXPECT_EQ(Parse("QNPIX,100," + std::string(32, 'F')), kLcdRow);   // entries 12800 on
    EXPECT_EQ(Parse("QNPIX,-1," + std::string(32, 'F')), kLcdRow);
    EXPECT_EQ(Parse("QNPIX,99999999999," + std::string(32, 'F')), kLcdRow);
    EXPECT_EQ(s.LcdPixels, before);
}

TEST_F(LcdParse, ShortDataFieldLeavesTheMissingPixelsUnlit) {
    ASSERT_EQ(Parse("QNLCD,128,64"), kLcdHeader);
    s.LcdPixels.fill(1);
    // One and a half bytes for 128 pixels: "FF" then "F" (0xF0), rest unlit.
    EXPECT_EQ(Parse("QNPIX,0,FFF"), kLcdRow);
    for (int c = 0; c < 128; ++c) EXPECT_EQ(s.LcdPixels[static_cast<std::size_t>(c)], c < 12 ? 1 : 0) << c;
    EXPECT_EQ(Parse("QNPIX,1,"), kLcdRow);  // an empty field is present
    for (int c = 128; c < 256; ++c) EXPECT_EQ(s.LcdPixels[static_cast<std::size_t>(c)], 0);
    EXPECT_EQ(Parse("QNPIX,1"), kLcdNotUsable);  // the data field is missing
}

TEST_F(LcdParse, HeadersTheStoreCannotHoldLeaveTheSizeAlone) {
    ASSERT_EQ(Parse("QNLCD,64,128"), kLcdHeader);
    EXPECT_EQ(s.LcdWidth, 64);
    EXPECT_EQ(s.LcdHeight, 128);
    for (const char* fields : {"128,65", "0,64", "128,0", "-8,10", "10,-8", "-128,-64", "99999999999,99999999999"})
        EXPECT_EQ(Parse(std::string("QNLCD,") + fields), kLcdHeaderOutOfRange) << fields;
    EXPECT_EQ(Parse("QNLCD,8192,1"), kLcdHeader);
    EXPECT_EQ(s.LcdWidth, 8192);
    // A header without its height changes nothing.
    EXPECT_EQ(Parse("QNLCD,100"), kLcdNotUsable);
    EXPECT_EQ(s.LcdWidth, 8192);
    EXPECT_EQ(s.LcdHeight, 1);
}

TEST_F(LcdParse, OnlyValidHeadersAndRowsAreRecognised) {
    EXPECT_EQ(Parse("QNLCD,128,64", "00"), kLcdNotUsable);
    EXPECT_EQ(Parse("LCD,128,64"), kLcdNotUsable);   // name starts at the third character
    EXPECT_EQ(Parse("X"), kLcdNotUsable);            // first field too short
    EXPECT_EQ(Parse("QNLCDX,1,1"), kLcdNotUsable);
    EXPECT_EQ(Parse("GPGGA,1,2"), kLcdNotUsable);
    EXPECT_EQ(s.LcdWidth, 20);
    EXPECT_EQ(s.LcdHeight, 10);
}

}  // namespace
}  // namespace quennet
