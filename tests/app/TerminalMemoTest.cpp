// Memo1 on its own: the rows it cuts in wrapping (hex) mode must stay
// invisible to the text's length, to trimming and to backspace.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTextBlock>

#include "app/TerminalMemo.h"
#include "terminal/ReceivePump.h"

namespace quennet {
namespace {

std::string HexOf(int firstByte, int count) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < count; ++i) {
        const int b = (firstByte + i) & 0xFF;
        text += digits[b >> 4];
        text += digits[b & 15];
        text += ' ';
    }
    return text;
}

class MemoRows : public ::testing::Test {
protected:
    TerminalMemo memo;
    void SetUp() override {
        memo.resize(600, 300);
        memo.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    }
    // The text without the row cuts, line breaks as CR LF.
    std::string Logical() const {
        std::string out;
        for (QTextBlock b = memo.document()->firstBlock(); b.isValid(); b = b.next()) {
            if (b != memo.document()->firstBlock()) out += (b.userState() == 1 ? "" : "\r\n");
            out += b.text().toStdString();
        }
        return out;
    }
};

TEST_F(MemoRows, LongHexTextIsCutIntoRowsThatDoNotCount) {
    const std::string hex = HexOf(0, 1000);
    memo.AppendText(hex);
    const int row = memo.RowChars();
    ASSERT_EQ(row % 3, 0);
    EXPECT_GT(memo.SoftBreaks(), 0);
    EXPECT_EQ(memo.document()->blockCount(), static_cast<int>((hex.size() + row - 1) / row));
    EXPECT_EQ(memo.TextLength(), hex.size());
    EXPECT_EQ(Logical(), hex);
    // Every row but the last is full and ends on a byte group.
    const QTextBlock first = memo.document()->firstBlock();
    EXPECT_EQ(first.text().size(), row);
    EXPECT_TRUE(first.text().endsWith(' '));

    // A hard break keeps counting as CR LF among the rows.
    memo.AppendLineBreak();
    memo.AppendText("ok");
    EXPECT_EQ(memo.TextLength(), hex.size() + 4);
    EXPECT_EQ(Logical(), hex + "\r\nok");
}

TEST_F(MemoRows, TrimmingRemovesTheFirstRow) {
    memo.AppendText(HexOf(0, 200));
    const int row = memo.RowChars();
    const std::size_t before = memo.TextLength();
    const int soft = memo.SoftBreaks();
    memo.RemoveFirstLine();
    EXPECT_EQ(memo.TextLength(), before - static_cast<std::size_t>(row));
    EXPECT_EQ(memo.SoftBreaks(), soft - 1);
    EXPECT_EQ(Logical(), HexOf(row / 3, 200 - row / 3));
}

TEST_F(MemoRows, PumpKeepsAHexStreamNearTheLimit) {
    // 40000 bytes arrive as 200 chunks; the display keeps the stream's tail.
    std::string expectedTail;
    for (int c = 0; c < 200; ++c) {
        std::vector<std::uint8_t> chunk(200);
        for (int i = 0; i < 200; ++i) chunk[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(c * 200 + i);
        ReceivePump::ShowHex(memo, chunk.data(), chunk.size());
        while (memo.TextLength() > ReceivePump::kDisplayLimit) memo.RemoveFirstLine();
    }
    const std::string shown = Logical();
    EXPECT_EQ(shown.size(), memo.TextLength());
    EXPECT_LE(shown.size(), ReceivePump::kDisplayLimit);
    EXPECT_GT(shown.size(), ReceivePump::kDisplayLimit - 200u);
    const std::string all = HexOf(0, 40000);
    EXPECT_EQ(shown, all.substr(all.size() - shown.size()));
}

TEST_F(MemoRows, BackspaceAcrossARowCutDeletesACharacter) {
    const int row = memo.RowChars();
    memo.AppendText(std::string(static_cast<std::size_t>(row), 'a') + "b");
    ASSERT_EQ(memo.SoftBreaks(), 1);
    memo.DeleteLastChar();  // the b
    memo.DeleteLastChar();  // the last a, across the cut
    EXPECT_EQ(memo.SoftBreaks(), 0);
    EXPECT_EQ(memo.TextLength(), static_cast<std::size_t>(row - 1));
    EXPECT_EQ(Logical(), std::string(static_cast<std::size_t>(row - 1), 'a'));

    memo.AppendText(std::string(static_cast<std::size_t>(3 * row), 'c'));
    memo.ClearText();
    EXPECT_EQ(memo.TextLength(), 0u);
    EXPECT_EQ(memo.SoftBreaks(), 0);
}

TEST(MemoText, NoWrapModeNeverCutsRows) {
    TerminalMemo memo;
    memo.AppendText(std::string(5000, 'x'));
    EXPECT_EQ(memo.document()->blockCount(), 1);
    EXPECT_EQ(memo.TextLength(), 5000u);
}

}  // namespace
}  // namespace quennet
