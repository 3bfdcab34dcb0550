#include "loader/StatusLog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace quennet {
namespace {

// A view that implements only what every view must; the line rules have to
// come out the same through the default line-start test.
class PlainLog : public StatusLogView {
public:
    std::string Text() const override { return text; }
    void AppendRaw(const std::string& t) override { text += t; }
    void Clear() override { text.clear(); }
    void Refresh() override {}
    std::string text;
};

template <typename Log>
class StatusLogLayout : public ::testing::Test {
protected:
    Log log;
};
using Logs = ::testing::Types<MemoryStatusLog, PlainLog>;
TYPED_TEST_SUITE(StatusLogLayout, Logs);

TYPED_TEST(StatusLogLayout, AddedLinesAreClosedUntilTextIsAppended) {
    AddStatusLine(this->log, "Begin program MSP430.");
    AddStatusLine(this->log, "FILE Load: OK.");
    EXPECT_EQ(this->log.Text(), "Begin program MSP430.\r\nFILE Load: OK.\r\n");
    // Appended text after a closed line starts a line of its own...
    AppendStatusText(this->log, "**--");
    AppendStatusText(this->log, "-*");
    EXPECT_EQ(this->log.Text(), "Begin program MSP430.\r\nFILE Load: OK.\r\n**---*");
    // ...and a line added after it breaks first and stays open.
    AddStatusLine(this->log, "PROGRAM OK in ");
    AppendStatusText(this->log, FormatElapsed(5042));
    EXPECT_EQ(this->log.Text(),
              "Begin program MSP430.\r\nFILE Load: OK.\r\n**---*\r\nPROGRAM OK in 5.042 sec.");
}

TYPED_TEST(StatusLogLayout, EmptyAddedLineEndsAnOpenLineOrAddsAnEmptyOne) {
    AddStatusLine(this->log, "");
    EXPECT_EQ(this->log.Text(), "\r\n");
    AppendStatusText(this->log, "Bootloader Version: 2.2");
    AddStatusLine(this->log, "");
    EXPECT_EQ(this->log.Text(), "\r\nBootloader Version: 2.2\r\n");
    AddStatusLine(this->log, "Erasing ...");
    EXPECT_EQ(this->log.Text(), "\r\nBootloader Version: 2.2\r\nErasing ...\r\n");
}

TYPED_TEST(StatusLogLayout, DeviceBoxComesOutAsFourWholeLines) {
    AddStatusLine(this->log, "Version ...");
    AddStatusLine(this->log, "+---------------------+");
    AppendStatusText(this->log, "| Device: MSP430F149  |");
    AddStatusLine(this->log, "");
    AppendStatusText(this->log, "| BSL Version:  1.10  |");
    AddStatusLine(this->log, "");
    AddStatusLine(this->log, "+---------------------+");
    EXPECT_EQ(this->log.Text(),
              "Version ...\r\n+---------------------+\r\n| Device: MSP430F149  |\r\n"
              "| BSL Version:  1.10  |\r\n+---------------------+\r\n");
}

TYPED_TEST(StatusLogLayout, OpenLineModeCarriesOnUntilAnEmptyLineClosesIt) {
    AppendStatusText(this->log, "^^^^");
    AddStatusLine(this->log, "Restore Serial baud rate.");
    AddStatusLine(this->log, "FATAL ERROR: Can't open COM port.");
    EXPECT_EQ(this->log.Text(),
              "^^^^\r\nRestore Serial baud rate.\r\nFATAL ERROR: Can't open COM port.");
    AppendStatusText(this->log, "Request Device Info in 0.061 sec.");
    EXPECT_EQ(this->log.Text(),
              "^^^^\r\nRestore Serial baud rate.\r\nFATAL ERROR: Can't open COM port."
              "Request Device Info in 0.061 sec.");
}

TEST(StatusLog, ClearEmptiesAndLinesSplitAtCrLf) {
    MemoryStatusLog log;
    AddStatusLine(log, "a");
    AppendStatusText(log, "b\rc");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"a", "b\rc"}));
    log.Refresh();
    log.Refresh();
    EXPECT_EQ(log.RefreshCount(), 2);
    log.Clear();
    EXPECT_EQ(log.Text(), "");
    EXPECT_TRUE(log.Lines().empty());
    AddStatusLine(log, "x");
    EXPECT_EQ(log.Text(), "x\r\n");
}

TEST(StatusLog, FormatElapsedShowsSecondsAndThreeDigitsOfMilliseconds) {
    EXPECT_EQ(FormatElapsed(5042), "5.042 sec.");
    EXPECT_EQ(FormatElapsed(61), "0.061 sec.");
    EXPECT_EQ(FormatElapsed(2000), "2.000 sec.");
    EXPECT_EQ(FormatElapsed(12005), "12.005 sec.");
    EXPECT_EQ(FormatElapsed(0), "0.000 sec.");
    EXPECT_EQ(FormatElapsed(7), "0.007 sec.");
    EXPECT_EQ(FormatElapsed(999), "0.999 sec.");
    EXPECT_EQ(FormatElapsed(1000), "1.000 sec.");
    EXPECT_EQ(FormatElapsed(100100), "100.100 sec.");
    EXPECT_EQ(FormatElapsed(UINT32_MAX), "4294967.295 sec.");
}

}  // namespace
}  // namespace quennet
