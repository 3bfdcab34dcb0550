// The terminal's options in a real window over the simulated line: each
// changes the window only once chosen, and is kept in the settings file.
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <functional>

#include "FormFixture.h"
#include "app/TerminalBars.h"
#include "app/TerminalMemo.h"

namespace quennet::testing {
namespace {

constexpr std::uint32_t kNoon = ((12 * 60 + 4) * 60 + 17) * 1000 + 123;

class FormOptions : public FormFixture {
protected:
    FormEnvironment Env() override {
        FormEnvironment env = FormFixture::Env();
        env.timeOfDay = [] { return kNoon; };
        return env;
    }
    TForm1& Open() {
        TForm1& f = MakeOpenForm();
        f.show();
        line.ClearEvents();
        return f;
    }
    // Lets the far end's bytes arrive, then runs pump ticks until they are in.
    void Receive(const std::string& bytes) {
        line.SendToPort(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        clock.Advance(line.WireTimeUs(bytes.size()) + 1000);
        std::uint64_t before = 0;
        do {
            before = form->ReceivedCount();
            form->Timer1Timer();
        } while (form->ReceivedCount() != before);
    }
    std::string Sent() const {
        const std::vector<std::uint8_t> bytes = line.WrittenBytes();
        return std::string(bytes.begin(), bytes.end());
    }
};

// Each control reaches the view; the view's own tests pin what the options do.
TEST_F(FormOptions, DisplayOptionsReachTheView) {
    TForm1& f = Open();
    f.ComboHexView->setCurrentIndex(1);
    f.CheckBoxHex->setChecked(true);
    Receive("AB\n");
    // As many bytes a row as the window's width takes (the view's tests pin that).
    EXPECT_TRUE(f.Memo1->toPlainText().startsWith("00000000  41 42 0A   ")) << f.Memo1->toPlainText().toStdString();
    EXPECT_TRUE(f.Memo1->toPlainText().endsWith("  |AB.|")) << f.Memo1->toPlainText().toStdString();
    form.reset();

    TForm1& g = Open();
    for (QCheckBox* box : {g.CheckBoxTimestamps, g.CheckBoxControlMarks, g.CheckBoxAnsi}) box->setChecked(true);
    g.ComboEncoding->setCurrentIndex(1);  // UTF-8
    Receive(std::string("\x1b[1;32mG\x1b[0m\0\xC3\xA9\r\nb", 18));
    EXPECT_EQ(g.Memo1->toPlainText(), "12:04:17.123 G^@" + QString(QChar(0xE9)) + "\n12:04:17.123 b");
    // The colours reach the cells: a bold green G after a dim stamp.
    const CellView cells = g.Memo1->Text().Line(0);
    ASSERT_GT(cells.size(), 13u);
    EXPECT_EQ(cell::Fg(cells[0]), cell::kDim);
    EXPECT_EQ(cell::Fg(cells[13]), 3u);
    EXPECT_TRUE(cells[13] & cell::kBold);
}

TEST_F(FormOptions, EnterSendsTheChosenLineEnd) {
    TForm1& f = Open();
    for (int end : {0, 1, 2}) {
        f.ComboLineEnd->setCurrentIndex(end);
        QTest::keyClick(f.Memo1, Qt::Key_Return);
    }
    QTest::keyClick(f.Memo1, Qt::Key_M, Qt::ControlModifier);  // Ctrl+M stays CR
    EXPECT_EQ(Sent(), "\r\n\r\n\r");
}

TEST_F(FormOptions, PasteSendsTheClipboardAsTypedWithTheLineEnd) {
    const std::vector<std::pair<const char*, std::function<void(TForm1&)>>> triggers = {
        {"Ctrl+Shift+V", [](TForm1& f) { QTest::keyClick(f.Memo1, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier); }},
        {"Shift+Insert", [](TForm1& f) { QTest::keyClick(f.Memo1, Qt::Key_Insert, Qt::ShiftModifier); }},
        {"middle button", [](TForm1& f) { QTest::mouseClick(f.Memo1->viewport(), Qt::MiddleButton); }},
        {"menu", [](TForm1& f) {
             QTimer::singleShot(0, [] {
                 auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                 ASSERT_NE(menu, nullptr);
                 menu->findChild<QAction*>("PasteAction")->trigger();
                 menu->close();
             });
             QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), f.Memo1->mapToGlobal(QPoint(5, 5)));
             QApplication::sendEvent(f.Memo1->viewport(), &event);
         }},
    };
    QApplication::clipboard()->setText(QString("ls -l\ncd /\r\n") + QChar(0xE9) + QChar(0x4E2D));
    QApplication::clipboard()->clear(QClipboard::Selection);
    for (const auto& [what, paste] : triggers) {
        form.reset();
        TForm1& f = Open();
        f.ComboLineEnd->setCurrentIndex(2);
        paste(f);
        EXPECT_EQ(Sent(), "ls -l\r\ncd /\r\n\xE9") << what;
    }
    form.reset();  // with the port closed nothing goes out
    port.ComClose();
    line.ClearEvents();
    MakeForm().Memo1Paste(QClipboard::Clipboard);
    EXPECT_EQ(Sent(), "");
}

TEST_F(FormOptions, ALongPasteGoesAtWirePace) {
    TForm1& f = Open();  // 9600 baud: 960 characters a second
    QApplication::clipboard()->setText(QString(2000, 'p'));
    QTest::keyClick(f.Memo1, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Sent().size(), PacedSender::kBurst) << "the handler returned at once";
    QTest::keyClick(f.Memo1, Qt::Key_Q);  // typed during the paste: after it
    clock.Advance(250'000);
    f.Timer1Timer();
    EXPECT_EQ(Sent().size(), PacedSender::kBurst + 240u);
    for (int i = 0; i < 40 && f.pacedSender().Running(); ++i) {
        clock.Advance(100'000);
        f.Timer1Timer();
    }
    EXPECT_EQ(Sent(), std::string(2000, 'p') + "q");
}

TEST_F(FormOptions, InputLineSendsWithTheLineEndAndRemembers) {
    {
        TForm1& f = Open();
        EXPECT_FALSE(f.EditInput->isVisible());
        f.CheckBoxInputLine->setChecked(true);
        EXPECT_TRUE(f.EditInput->isVisible());
        f.ComboLineEnd->setCurrentIndex(1);
        for (const char* command : {"AT", "AT+GMR"}) {
            f.EditInput->setFocus();
            QTest::keyClicks(f.EditInput, command);
            QTest::keyClick(f.EditInput, Qt::Key_Return);
        }
        EXPECT_EQ(Sent(), "AT\nAT+GMR\n");
        EXPECT_TRUE(f.EditInput->text().isEmpty());
        CloseForm();
        port.ComClose();
    }
    TForm1& f = Open();
    EXPECT_TRUE(f.EditInput->isVisible()) << "the option is kept";
    f.EditInput->setFocus();
    QTest::keyClicks(f.EditInput, "draft");
    QTest::keyClick(f.EditInput, Qt::Key_Up);
    EXPECT_EQ(f.EditInput->text(), "AT+GMR") << "the history is kept across starts";
    QTest::keyClick(f.EditInput, Qt::Key_Down);
    EXPECT_EQ(f.EditInput->text(), "draft");
}

TEST_F(FormOptions, FindBarFindsMarksAndLeavesCtrlFToTheTarget) {
    TForm1& f = Open();
    Receive("boot\r\nError 1\r\nok\r\nerror 2\r\n");
    QTest::keyClick(f.Memo1, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(Sent(), "\x06");
    EXPECT_FALSE(f.FindBar1->isVisible());
    QTest::keyClick(f.Memo1, Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_TRUE(f.FindBar1->isVisible());
    EXPECT_EQ(Sent(), "\x06") << "the find key sends nothing";
    QTest::keyClicks(f.FindBar1->EditFind, "error");
    QTest::keyClick(f.FindBar1->EditFind, Qt::Key_Return);  // from the end, round to the top
    EXPECT_EQ(f.Memo1->selectedText(), "Error");
    f.FindBar1->ButtonFindNext->click();
    EXPECT_EQ(f.Memo1->selectedText(), "error");
    f.FindBar1->ButtonFindPrev->click();
    EXPECT_EQ(f.Memo1->Text().RowOf(f.Memo1->SearchFrom(false)), 1u);
    f.FindBar1->CheckBoxFindCase->setChecked(true);
    f.FindBar1->EditFind->setText("ERROR");
    f.FindBar1->ButtonFindNext->click();
    EXPECT_EQ(f.FindBar1->LabelFind->text(), "Not found");
    QTest::keyClick(f.FindBar1->EditFind, Qt::Key_Escape);
    EXPECT_FALSE(f.FindBar1->isVisible());
}

TEST_F(FormOptions, ScrollbackKeepsMoreWhenChosen) {
    TForm1& f = Open();
    f.ComboScrollback->setCurrentIndex(2);  // 1 MB
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += std::string(78, static_cast<char>('a' + i % 26)) + "\r\n";
    Receive(lines);
    EXPECT_EQ(f.Memo1->TextLength(), 80'000u);
    EXPECT_EQ(f.Memo1->Text().LineCount(), 1001u);
}

TEST_F(FormOptions, WrapOptionWrapsText) {
    TForm1& f = Open();
    EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    f.CheckBoxWrap->setChecked(true);
    EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    Receive(std::string(1000, 'w'));
    EXPECT_GT(f.Memo1->Text().RowCount(), 1u);
    EXPECT_EQ(f.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

// The stamped dump fits the window as it opens, and a new way of showing
// bytes starts at the left edge, not where a long line left the view.
TEST_F(FormOptions, StampedDumpFitsTheWindowAndANewViewStartsAtTheLeft) {
    TForm1& f = Open();
    QScrollBar* across = f.Memo1->horizontalScrollBar();
    f.CheckBoxTimestamps->setChecked(true);
    f.ComboHexView->setCurrentIndex(1);
    Receive(std::string(300, 'x'));
    QTRY_VERIFY(across->value() > 0);
    f.CheckBoxHex->setChecked(true);
    EXPECT_EQ(across->value(), 0);

    std::string bytes;
    for (int i = 0; i < 64; ++i) bytes.push_back(static_cast<char>(i));
    Receive(bytes);
    const TerminalText& text = f.Memo1->Text();
    ASSERT_GT(text.LineCount(), 4u);
    for (std::size_t i = 1; i + 1 < text.LineCount(); ++i) {
        const QString row = f.Memo1->toPlainText().split('\n')[static_cast<int>(i)];
        EXPECT_LT(text.Line(i).size(), static_cast<std::size_t>(f.Memo1->RowChars())) << row.toStdString();
        EXPECT_TRUE(row.startsWith("12:04:17.123 000000")) << row.toStdString();
    }

    across->setValue(across->maximum());
    f.CheckBoxHex->setChecked(false);
    EXPECT_EQ(across->value(), 0);
}

TEST_F(FormOptions, CountersShowTheTerminalsBytesUntilClear) {
    TForm1& f = Open();
    EXPECT_FALSE(f.LabelCounters->isVisible());
    f.CheckBoxCounters->setChecked(true);
    EXPECT_TRUE(f.LabelCounters->isVisible());
    Receive("hello\r\n");
    QTest::keyClicks(f.Memo1, "abc");
    f.Edit2->setText("0A 0B");
    f.Button3->click();
    f.Timer1Timer();
    QTRY_COMPARE(f.LabelCounters->text(), QString("Received: 7  Sent: 5"));
    f.Button4->click();
    EXPECT_EQ(f.LabelCounters->text(), "Received: 0  Sent: 0");
}

TEST_F(FormOptions, LogWithTimestampsStampsEachLine) {
    TForm1& f = Open();
    const std::string log = dir.filePath("rx.log").toStdString();
    f.EditBrowseLogFile->setText(QString::fromStdString(log));
    f.CheckBoxLogTimestamps->setChecked(true);
    f.CheckBoxLogFile->setChecked(true);
    Receive("A\r\nB");
    f.CheckBoxLogFile->setChecked(false);
    std::ifstream in(log, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "12:04:17.123 A\r\n12:04:17.123 B");
}

TEST_F(FormOptions, OptionsAreKeptInTheirOwnSection) {
    {
        TForm1& f = MakeForm();
        f.ComboLineEnd->setCurrentIndex(2);
        f.ComboScrollback->setCurrentIndex(3);
        f.ComboEncoding->setCurrentIndex(1);
        f.ComboHexView->setCurrentIndex(1);
        for (QCheckBox* box : {f.CheckBoxTimestamps, f.CheckBoxWrap, f.CheckBoxControlMarks, f.CheckBoxAnsi,
                               f.CheckBoxCounters, f.CheckBoxLogTimestamps})
            box->setChecked(true);
        CloseForm();
    }
    const std::string text = ReadSettings();
    const std::size_t section = text.find("[TerminalOptions]");
    ASSERT_NE(section, std::string::npos);
    EXPECT_GT(section, text.find("[Font]"));
    EXPECT_NE(text.find("Scrollback=10000000"), std::string::npos);
    TForm1& g = MakeForm();
    EXPECT_EQ(g.CurrentLineEnd(), LineEnd::CrLf);
    EXPECT_EQ(g.DisplayLimit(), 10'000'000u);
    const ViewOptions o = g.CurrentViewOptions();
    EXPECT_TRUE(o.timestamps && o.controlMarks && o.ansi && o.encoding == TextEncoding::Utf8 && o.hexStyle == HexStyle::Dump);
    EXPECT_TRUE(g.CheckBoxWrap->isChecked() && g.CheckBoxCounters->isChecked() && g.CheckBoxLogTimestamps->isChecked());
    EXPECT_FALSE(g.CheckBoxInputLine->isChecked());
    form.reset();

    // Values out of range read as the plain terminal's; a size between two
    // choices takes the smaller.
    WriteSettings("[TerminalOptions]\r\nLineEnd=7\r\nScrollback=5000000\r\nEncoding=-1\r\nHexView=x\r\n");
    TForm1& h = MakeForm();
    EXPECT_EQ(h.CurrentLineEnd(), LineEnd::Cr);
    EXPECT_EQ(h.DisplayLimit(), 1'000'000u);
    EXPECT_EQ(h.CurrentViewOptions(), ViewOptions{});
}

}  // namespace
}  // namespace quennet::testing
