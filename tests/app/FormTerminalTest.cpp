// The terminal session in a real window over the simulated line: opening and
// closing, the receive pump into Memo1, typing, reset and clear.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <cstring>

#include <QAbstractItemView>
#include "FormFixture.h"
#include "app/PortCombo.h"
#include "app/TerminalMemo.h"

namespace quennet::testing {
namespace {

class FormTerminal : public FormFixture {
protected:
    TForm1& OpenSession(const char* baud = "115200", int format = kFrameN81) {
        TForm1& f = MakeForm();
        f.ComboComPort->setCurrentIndex(1);
        f.ComboBaud->setEditText(baud);
        f.ComboBits->setCurrentIndex(format);
        f.CheckBox1->setChecked(true);
        return f;
    }
    // Lets the far end's bytes arrive, then runs one pump tick.
    void Receive(const std::vector<std::uint8_t>& bytes) {
        line.SendToPort(bytes);
        clock.Advance(line.WireTimeUs(bytes.size()) + 1000);
        form->Timer1Timer();
    }
    QString Shown() const { return form->Memo1->toPlainText(); }
};

TEST_F(FormTerminal, OpenUsesTheChosenPortRateAndFormat) {
    TForm1& f = OpenSession("28800", kFrameE71);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(line.OpenPath(), "/dev/ttyUSB0");
    EXPECT_EQ(line.Settings().baud, 28800u);
    EXPECT_EQ(line.Settings().dataBits, 7);
    EXPECT_EQ(line.Settings().parity, Parity::Even);
    EXPECT_FALSE(f.ComboComPort->isEnabled());
    EXPECT_FALSE(f.ComboBaud->isEnabled());
    EXPECT_FALSE(f.ComboBits->isEnabled());
    f.CheckBox1->setChecked(false);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(f.ComboComPort->isEnabled());
    EXPECT_TRUE(f.ComboBits->isEnabled());
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormTerminal, LowLatencyIsOnByDefaultFollowsTheBoxAndIsRemembered) {
    TForm1& f = OpenSession();
    EXPECT_TRUE(line.LowLatency());
    f.CheckBoxLowLatency->setChecked(false);
    EXPECT_FALSE(line.LowLatency());
    {
        // While a run holds the port the box waits; the port comes back
        // with what the box says.
        PortLease run(port.Owner(), PortUser::LoaderRun);
        f.CheckBoxLowLatency->setChecked(true);
        EXPECT_FALSE(line.LowLatency());
    }
    EXPECT_TRUE(line.LowLatency());
    f.CheckBox1->setChecked(false);
    EXPECT_FALSE(line.LowLatency()) << "put back as the port closes";

    f.CheckBoxLowLatency->setChecked(false);
    CloseForm();
    EXPECT_NE(ReadSettings().find("LowLatency=0"), std::string::npos);
    OpenSession();
    EXPECT_FALSE(form->CheckBoxLowLatency->isChecked());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::LowLatency).size(), 4u) << "none from the second window";
}

TEST_F(FormTerminal, OpenWithoutPortOrWithBadRateIsRefused) {
    ports = std::vector<std::string>{};
    TForm1& f = MakeForm();
    f.CheckBox1->setChecked(true);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, "Quennet Error");
    EXPECT_EQ(messages[0].second, "There aren't COM Port available on this computer!");
    EXPECT_FALSE(f.CheckBox1->isChecked());
    EXPECT_TRUE(f.ComboComPort->isEnabled());

    // A path typed and confirmed becomes an entry; an empty baud text is 0.
    f.ComboComPort->setFocus();
    f.ComboComPort->lineEdit()->setText("/dev/pts/77");
    QTest::keyClick(f.ComboComPort->lineEdit(), Qt::Key_Return);
    ASSERT_EQ(f.ComboComPort->currentText(), "/dev/pts/77");
    ASSERT_GE(f.ComboComPort->currentIndex(), 0);
    f.ComboBaud->setEditText("fast");
    f.CheckBox1->setChecked(true);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].second, "Error opening /dev/pts/77\nNo baud rate: choose one under \"Baud:\".");
    EXPECT_FALSE(f.CheckBox1->isChecked());
    EXPECT_FALSE(port.IsOpen());

    line.busy = true;
    f.ComboBaud->setEditText("9600");
    f.CheckBox1->setChecked(true);
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].second, "Error opening /dev/pts/77\nThe port is busy: another program has it open.");
    EXPECT_TRUE(f.ComboBaud->isEnabled());
}

TEST_F(FormTerminal, ReceivedTextFollowsTheDisplayRules) {
    OpenSession();
    Receive({'A', 'B', 0x0D, 0x0A, 'X', 'Y'});
    EXPECT_EQ(Shown(), "AB\nXY");
    Receive({0x0D, 'Z'});  // a lone CR: same line
    EXPECT_EQ(Shown(), "AB\nXYZ");
    Receive({0x08, 0x08});
    EXPECT_EQ(Shown(), "AB\nX");
    Receive({0x0A, 'A', 0x00, 'B', 'C', 0x0A, 'D'});  // NUL hides the rest of its segment
    EXPECT_EQ(Shown(), "AB\nX\nA\nD");
    Receive({0x0A, 0x0D, 'q', 0x01, 0xE9, 0x80});
    EXPECT_EQ(Shown(), QString("AB\nX\nA\nD\nq") + QChar(0x2401) + QChar(0xE9) + QChar(0x20AC));
    EXPECT_EQ(form->Memo1->TextLength(), 9u + 4u * 2u);  // 9 characters, 4 breaks of CR LF
}

TEST_F(FormTerminal, BackspaceIntoEmptyDisplayAndClear) {
    TForm1& f = OpenSession();
    Receive({0x08, 'a'});
    EXPECT_EQ(Shown(), "a");
    f.Button4->click();
    EXPECT_EQ(Shown(), "");
    EXPECT_TRUE(f.Memo1->hasFocus() || !f.isVisible());
}

TEST_F(FormTerminal, HexModeShowsPairsWithoutBreaksAndWraps) {
    TForm1& f = OpenSession();
    f.CheckBoxHex->setChecked(true);
    EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(f.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    Receive({0x41, 0x0A, 0xFF});
    EXPECT_EQ(Shown(), "41 0A FF ");
    f.CheckBoxHex->setChecked(false);
    EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    Receive({'o', 'k'});
    EXPECT_EQ(Shown(), "41 0A FF ok");  // nothing converted
}

TEST_F(FormTerminal, DisplayIsTrimmedByWholeLines) {
    OpenSession();
    // 100 lines of 198 characters plus a break: 20000 characters.
    std::vector<std::uint8_t> lineBytes(198, 'x');
    lineBytes.push_back(0x0A);
    for (int i = 0; i < 100; ++i) {
        lineBytes[0] = static_cast<std::uint8_t>('0' + i % 10);
        line.SendToPort(lineBytes);
    }
    clock.Advance(line.WireTimeUs(19900) + 1000);
    form->Timer1Timer();
    const std::size_t length = form->Memo1->TextLength();
    EXPECT_LE(length, 16000u + 400u);
    EXPECT_GT(length, 15000u);
    // Whole lines went: the display starts at the beginning of a line.
    EXPECT_EQ(Shown().section('\n', 0, 0).size(), 198);
    EXPECT_TRUE(Shown().endsWith('\n') || Shown().endsWith(QString(197, 'x')));
}

TEST_F(FormTerminal, UnbrokenStreamIsDroppedWholeWhenOverTheLimit) {
    OpenSession();
    std::vector<std::uint8_t> chunk(200, 'k');
    for (int i = 0; i < 81; ++i) line.SendToPort(chunk);  // 16200 characters, one line
    clock.Advance(line.WireTimeUs(16200) + 1000);
    form->Timer1Timer();
    // 80 chunks reach 16000; the 81st chunk is appended after a check that
    // finds 16000, not more: nothing is trimmed yet.
    EXPECT_EQ(form->Memo1->TextLength(), 16200u);
    Receive({'z'});
    EXPECT_EQ(Shown(), "z");
}

TEST_F(FormTerminal, TypedKeysGoOutAsEightBitCodes) {
    TForm1& f = OpenSession();
    f.show();
    QTest::keyClicks(f.Memo1, "Hi");
    QTest::keyClick(f.Memo1, Qt::Key_Return);
    QTest::keyClick(f.Memo1, Qt::Key_Backspace);
    QTest::keyClick(f.Memo1, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(f.Memo1, Qt::Key_Escape);
    f.Memo1->setFocus();
    QTest::keyClick(f.Memo1, Qt::Key_Tab);
    f.Memo1KeyPress(0xE9);    // é: Latin-1
    f.Memo1KeyPress(0x20AC);  // €: the 0x80 glyph
    f.Memo1KeyPress(0x4E2D);  // outside the 8-bit set: not sent
    EXPECT_EQ(line.WrittenBytes(),
              (std::vector<std::uint8_t>{'H', 'i', 0x0D, 0x08, 0x03, 0x1B, 0x09, 0xE9, 0x80}));
    EXPECT_EQ(Shown(), "");  // no local echo
    EXPECT_EQ(f.focusWidget(), f.Memo1) << "Tab went to the target, the focus stayed";
}

TEST_F(FormTerminal, CtrlCAlwaysInterruptsAndCtrlShiftCCopies) {
    TForm1& f = OpenSession();
    f.show();
    Receive({'b', 'o', 'o', 't'});
    f.Memo1->selectAll();
    QApplication::clipboard()->clear();
    QTest::keyClick(f.Memo1, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(line.WrittenBytes(), (std::vector<std::uint8_t>{0x03})) << "sent despite the selection";
    EXPECT_EQ(QApplication::clipboard()->text(), "");
    QTest::keyClick(f.Memo1, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "boot");
    EXPECT_EQ(line.WrittenBytes().size(), 1u) << "copying sends nothing";
}

TEST_F(FormTerminal, TypingWithPortClosedSendsNothing) {
    TForm1& f = MakeForm();
    QTest::keyClicks(f.Memo1, "abc");
    f.ButtonReset->click();
    EXPECT_TRUE(line.WrittenBytes().empty());
    EXPECT_TRUE(line.EventsOf(SimEvent::Kind::Dtr).empty());
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormTerminal, ResetPulsesDtrHonouringTheInvertOption) {
    TForm1& f = OpenSession();
    line.ClearEvents();
    const std::uint64_t start = clock.NowUs();
    f.ButtonReset->click();
    auto dtr = line.EventsOf(SimEvent::Kind::Dtr);
    ASSERT_EQ(dtr.size(), 2u);
    EXPECT_FALSE(dtr[0].level);
    EXPECT_TRUE(dtr[1].level);
    EXPECT_EQ(dtr[1].atUs - dtr[0].atUs, 250000u);
    EXPECT_EQ(dtr[0].atUs, start);

    f.CheckBoxReset->setChecked(true);  // takes effect at once
    line.ClearEvents();
    f.ButtonReset->click();
    dtr = line.EventsOf(SimEvent::Kind::Dtr);
    ASSERT_EQ(dtr.size(), 2u);
    EXPECT_TRUE(dtr[0].level);
    EXPECT_FALSE(dtr[1].level);
}

TEST_F(FormTerminal, ChoosingAnotherPortClosesTheSession) {
    TForm1& f = OpenSession();
    ASSERT_TRUE(port.IsOpen());
    f.ComboComPort->setCurrentIndex(0);  // by program: the chooser is disabled for the user
    EXPECT_FALSE(f.CheckBox1->isChecked());
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(FormTerminal, ALongPortPathShowsTheEndThatNamesItWithThePathAsToolTip) {
    const std::string link = "/run/user/1000/quennet/ports/quennet-board-stm32-13500";
    ports = std::vector<std::string>{"/dev/ttyS0", link};
    TForm1& f = MakeForm();
    f.show();
    f.ComboComPort->SelectPath(link);
    QApplication::processEvents();
    const QString path = QString::fromStdString(link);
    EXPECT_EQ(f.ComboComPort->toolTip(), path);
    EXPECT_EQ(f.ComboComPort->itemData(f.ComboComPort->currentIndex(), Qt::ToolTipRole).toString(), path);
    EXPECT_EQ(f.ComboComPort->view()->textElideMode(), Qt::ElideLeft);
    // The field shows the end; the list is wide enough for the whole path.
    EXPECT_EQ(f.ComboComPort->lineEdit()->cursorPosition(), path.size());
    EXPECT_GE(f.ComboComPort->view()->minimumWidth(), f.ComboComPort->view()->fontMetrics().horizontalAdvance(path));

    // A udev link shows its serial number, not the port numbers all share.
    const struct {
        const char* path;
        const char* shownUpTo;
    } cases[] = {
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "UART_A50285BI"},
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "usb-0:2:1.0"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/tmp/-port0", "/tmp/-port0"},
    };
    for (const auto& c : cases) {
        f.ComboComPort->SelectPath(c.path);
        EXPECT_EQ(f.ComboComPort->currentText().left(f.ComboComPort->lineEdit()->cursorPosition()).toStdString(),
                  std::string(c.path).substr(0, std::string(c.path).find(c.shownUpTo) + std::strlen(c.shownUpTo)))
            << c.path;
    }
    // Typing in the middle of a path leaves the caret where it is, also
    // where it is not the end of the name (column 6 here).
    for (const int column : {2, 5}) {
        f.ComboComPort->SelectPath("/tmp/-port0");
        f.ComboComPort->lineEdit()->setFocus();
        f.ComboComPort->lineEdit()->setCursorPosition(column);
        QTest::keyClick(f.ComboComPort->lineEdit(), Qt::Key_X);
        EXPECT_EQ(f.ComboComPort->lineEdit()->cursorPosition(), column + 1) << column;
    }
}

TEST_F(FormTerminal, DropDownRefreshKeepsThePortByPathAndTypedPaths) {
    TForm1& f = MakeForm();
    f.ComboComPort->setCurrentIndex(1);  // /dev/ttyUSB0
    ports = std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"};
    f.ComboComPortDropDown();
    ASSERT_EQ(f.ComboComPort->count(), 3);
    EXPECT_EQ(f.ComboComPort->currentText(), "/dev/ttyUSB0") << "not whatever took its position";

    // A path typed and confirmed with Enter is listed, selected and kept.
    f.ComboComPort->setFocus();
    f.ComboComPort->lineEdit()->selectAll();
    QTest::keyClicks(f.ComboComPort->lineEdit(), "/dev/pts/9");
    QTest::keyClick(f.ComboComPort->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(f.ComboComPort->currentText(), "/dev/pts/9");
    f.ComboComPort->setCurrentIndex(f.ComboComPort->findText("/dev/ttyS0"));
    f.ComboComPortDropDown();
    EXPECT_NE(f.ComboComPort->findText("/dev/pts/9"), -1);
    EXPECT_EQ(f.ComboComPort->currentText(), "/dev/ttyS0");

    ports = std::nullopt;  // the system list cannot be read: unchanged
    f.ComboComPortDropDown();
    EXPECT_EQ(f.ComboComPort->count(), 4);
}

}  // namespace
}  // namespace quennet::testing
