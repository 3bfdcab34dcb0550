#include "core/BaudText.h"

#include <gtest/gtest.h>

namespace quennet {
namespace {

TEST(ParseBaudText, ReadsLeadingDecimalDigits) {
    EXPECT_EQ(ParseBaudText("9600"), 9600u);
    EXPECT_EQ(ParseBaudText("921600"), 921600u);
    EXPECT_EQ(ParseBaudText("  14400"), 14400u);
    EXPECT_EQ(ParseBaudText("\t19200"), 19200u);
    EXPECT_EQ(ParseBaudText("+57600"), 57600u);
    EXPECT_EQ(ParseBaudText("115200 baud"), 115200u);
    EXPECT_EQ(ParseBaudText("12a34"), 12u);
    EXPECT_EQ(ParseBaudText("007"), 7u);
    EXPECT_EQ(ParseBaudText("4294967295"), 4294967295u);
}

TEST(ParseBaudText, NoDigitsNegativeOrTooLargeGiveZero) {
    EXPECT_EQ(ParseBaudText(""), 0u);
    EXPECT_EQ(ParseBaudText("   "), 0u);
    EXPECT_EQ(ParseBaudText("fast"), 0u);
    EXPECT_EQ(ParseBaudText("+"), 0u);
    EXPECT_EQ(ParseBaudText("+ 9600"), 0u);  // the sign must touch the digits
    EXPECT_EQ(ParseBaudText("x9600"), 0u);
    EXPECT_EQ(ParseBaudText("-9600"), 0u);
    EXPECT_EQ(ParseBaudText("4294967296"), 0u);
    EXPECT_EQ(ParseBaudText("99999999999999999999999"), 0u);
}

}  // namespace
}  // namespace quennet
