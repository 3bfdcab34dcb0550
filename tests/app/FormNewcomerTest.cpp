// What a newcomer to the terminal tripped over, and the options terminal
// users reach for: each with the behaviour that was wrong or could break.
#include <QAbstractButton>
#include <QFontDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QSpinBox>
#include <QTest>
#include <fstream>

#include "FormFixture.h"
#include "Msp430BslTarget.h"
#include "app/StartArguments.h"
#include "core/ScopeExit.h"
#include "app/TerminalMemo.h"
#include "loader/Loader.h"
#include "serial/FrameText.h"

namespace quennet::testing {
namespace {

class FormNewcomer : public FormFixture {
protected:
    std::optional<Frame> frameAnswer;
    std::string filterSeen;      // the filter the firmware dialog was opened on
    std::string filterAnswer;    // the filter the user leaves it on
    std::optional<std::string> saveAnswer;

    FormEnvironment Env() override {
        FormEnvironment env = FormFixture::Env();
        env.momentNoteMs = 20;
        // OK without a change: the dialog gives back what it was preset with.
        env.chooseFont = [](const QFont& current) -> std::optional<QFont> {
            QFontDialog dialog(current);
            return dialog.currentFont();
        };
        env.saveFileDialog = [this](const std::string&, const std::string&) { return saveAnswer; };
        env.confirmWriteInto = [](const std::string&) { return true; };
        env.chooseFrame = [this](const Frame&) { return frameAnswer; };
        env.openFileDialogFiltered = [this](const std::string&, const std::string&, std::string& selected) {
            filterSeen = selected;
            selected = filterAnswer;
            return std::optional<std::string>(dir.filePath("fw.hex").toStdString());
        };
        return env;
    }
    std::string Written() const {
        const std::vector<std::uint8_t> bytes = line.WrittenBytes();
        return {bytes.begin(), bytes.end()};
    }
};

TEST_F(FormNewcomer, FontOkWithoutChangeKeepsTheDisplayAsItWasAndAChosenStyleSurvivesARestart) {
    TForm1& f = MakeForm();
    const QFont before = f.Memo1->font();
    f.Font1Click();
    EXPECT_FALSE(f.Memo1->font().italic());
    EXPECT_EQ(f.Memo1->font().weight(), before.weight());

    FormEnvironment env = Env();
    env.chooseFont = [](const QFont& current) -> std::optional<QFont> {
        QFont chosen = current;
        chosen.setItalic(true);
        chosen.setWeight(QFont::Bold);
        return chosen;
    };
    form.reset();
    TForm1& g = MakeFormWith(env);
    g.Font1Click();
    CloseForm();
    TForm1& h = MakeForm();
    EXPECT_TRUE(h.Memo1->font().italic());
    EXPECT_EQ(h.Memo1->font().weight(), QFont::Bold);
}

TEST_F(FormNewcomer, EnterInTheSendHexFieldSends) {
    TForm1& f = MakeOpenForm();
    f.Edit2->setText("41 42");
    QTest::keyClick(f.Edit2, Qt::Key_Return);
    EXPECT_EQ(Written(), "AB");
}

TEST_F(FormNewcomer, EveryCaptionOfTheTerminalRowsShowsWholeAtTheSmallestWindow) {
    TForm1& f = MakeForm();
    f.resize(1, 1);  // as small as the window lets itself be
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    for (QAbstractButton* b : f.TabTerminal->findChildren<QAbstractButton*>()) {
        if (b->text().isEmpty()) continue;
        EXPECT_GE(b->width(), b->minimumSizeHint().width()) << b->text().toStdString();
    }
}

TEST_F(FormNewcomer, LoaderOptionsATargetDoesNotUseAreOffWithAReason) {
    struct Case {
        int target;
        bool tck, verify;
    } const cases[] = {{kTargetMsp430_9600, true, true},
                       {kTargetStm32_115200, false, true},
                       {kTargetMsp430_38400, true, true},
                       {kTargetStm32_57600, false, true}};
    TForm1& f = MakeForm();
    f.ComboTarget->setCurrentIndex(kTargetStm32_57600);
    f.CheckBoxVerify->setChecked(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        f.ComboTarget->setCurrentIndex(c.target);
        EXPECT_EQ(f.CheckBoxToggleTCK->isEnabled(), c.tck);
        EXPECT_EQ(f.CheckBoxVerify->isEnabled(), c.verify);
        EXPECT_EQ(f.CheckBoxVerify->isChecked(), c.verify) << "unticked while it does nothing";
        EXPECT_FALSE(f.CheckBoxToggleTCK->toolTip().isEmpty());
        EXPECT_FALSE(f.CheckBoxVerify->toolTip().isEmpty());
    }
    EXPECT_FALSE(f.ButtonSaveImage->isEnabled()) << "nothing captured yet";
    f.ComboTarget->setCurrentIndex(kTargetMsp430_9600);
    CloseForm();
    EXPECT_NE(ReadSettings().find("Verify=1"), std::string::npos) << "the stored value is kept";
}

TEST_F(FormNewcomer, ADeviceWithoutModemLinesHasResetAndLinesOffAndSaysSoOnceForAMoment) {
    line.refuseLines = true;
    TForm1& f = MakeOpenForm();
    EXPECT_FALSE(f.ButtonReset->isEnabled());
    EXPECT_FALSE(f.ButtonDtr->isEnabled());
    EXPECT_TRUE(f.LabelPortState->text().contains("no modem lines"));
    QTRY_VERIFY(f.LabelPortState->text().isEmpty());
    f.CheckBox1->setChecked(false);
    EXPECT_TRUE(f.ButtonReset->isEnabled()) << "another device may have them";
}

TEST_F(FormNewcomer, MessagesThatStoppedShortSayWhatToDo) {
    TForm1& f = MakeForm();
    f.CheckBoxLogFile->setChecked(true);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].second, "Can't Open the Log File!\nChoose a file under Log first.");

    f.ComboComPort->setCurrentIndex(0);  // chosen, not open
    f.ComboTarget->setCurrentIndex(kTargetStm32_57600);
    f.Button1Click();
    const QString log = f.Memo2->toPlainText();
    EXPECT_TRUE(log.contains(QString(kLineNoPort) + "\n" + kLineTickOpenCom)) << log.toStdString();
}

// A run that ends leaves the keyboard on "Start Program" when it was
// stopped (never on an option the next Space would flip), and a good Quick
// Program says so in the status bar.
TEST_F(FormNewcomer, ARunsEndLeavesTheFocusOnStartAndAGoodQuickProgramSaysSo) {
    Msp430BslTarget target;
    line.SetPeer(&target);
    AtExit unplug([this] { line.SetPeer(nullptr); });
    TForm1& f = MakeOpenForm();
    f.Edit1->setText(QUENNET_TEST_DATA "/srec/msp430_blink.s19");  // two blocks
    f.show();
    QApplication::setActiveWindow(&f);
    const struct {
        const char* name;
        QPushButton* button;
        bool stop;
        int page;  // after the run
        QString note;
    } cases[] = {
        {"Start Program, stopped", f.Button1, true, 1, ""},
        {"Quick Program, stopped", f.Button5, true, 1, ""},
        {"Quick Program", f.Button5, false, 0, "Quick Program: PROGRAM OK."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        f.LabelPortState->clear();
        f.PageControl1->setCurrentIndex(1);
        f.CheckBoxReset->setFocus();
        if (c.stop)
            QTimer::singleShot(0, &f, [&f] {
                f.ButtonStop->setFocus();
                f.ButtonStop->click();
            });
        c.button->click();
        EXPECT_EQ(f.loader().LastRunResult, c.stop ? 1 : 0);
        EXPECT_EQ(f.PageControl1->currentIndex(), c.page);
        EXPECT_EQ(f.LabelPortState->text(), c.note);
        if (c.stop) {
            EXPECT_EQ(QApplication::focusWidget(), f.Button1);
        }
    }
}

TEST_F(FormNewcomer, BrowseFileOffersAllFirmwareAfterTheDFilterAndRemembersTheLastFilter) {
    filterAnswer = "Intel HEX (*.hex *.ihx)";
    TForm1& f = MakeForm();
    f.Button2Click();
    EXPECT_EQ(filterSeen, "");
    EXPECT_EQ(f.Edit1->text(), dir.filePath("fw.hex"));
    CloseForm();
    TForm1& g = MakeForm();
    g.Button2Click();
    EXPECT_EQ(filterSeen, filterAnswer);
}

TEST_F(FormNewcomer, LocalEchoShowsTypedKeysApartOnlyWhenAskedFor) {
    TForm1& f = MakeOpenForm();
    f.Memo1KeyPress(U'a');
    EXPECT_EQ(f.Memo1->toPlainText(), "") << "the plain terminal shows only what comes in";
    f.CheckBoxLocalEcho->setChecked(true);
    f.Memo1KeyPress(U'b');
    f.Memo1Return();
    f.Memo1KeyPress(U'c');
    EXPECT_EQ(f.Memo1->toPlainText(), "b\nc");
    EXPECT_EQ(Written(), "ab\rc");
}

TEST_F(FormNewcomer, BreakHoldsTheLineForItsLengthWithoutBlocking) {
    TForm1& f = MakeOpenForm();
    f.SpinBreakMs->setValue(30);
    line.ClearEvents();
    f.ButtonBreak->click();
    ASSERT_EQ(line.EventsOf(SimEvent::Kind::Break).size(), 1u) << "the click returns while the break lasts";
    EXPECT_FALSE(f.ButtonBreak->isEnabled());
    QTRY_COMPARE(line.EventsOf(SimEvent::Kind::Break).size(), 2u);
    EXPECT_FALSE(line.EventsOf(SimEvent::Kind::Break)[1].level);
    EXPECT_TRUE(f.ButtonBreak->isEnabled());

    // Closing the port mid-break ends it first.
    f.ButtonBreak->click();
    f.CheckBox1->setChecked(false);
    EXPECT_FALSE(line.EventsOf(SimEvent::Kind::Break).back().level);
}

TEST_F(FormNewcomer, DtrAndRtsTogglesShowAndSetTheLines) {
    TForm1& f = MakeOpenForm();
    EXPECT_EQ(f.ButtonDtr->isChecked(), port.DtrAsserted());
    EXPECT_EQ(f.ButtonRts->isChecked(), port.RtsAsserted());
    for (QPushButton* b : {f.ButtonDtr, f.ButtonRts}) {
        const bool was = b->isChecked();
        b->click();
        EXPECT_EQ(b->isChecked(), !was);
    }
    EXPECT_EQ(f.ButtonDtr->isChecked(), port.DtrAsserted());
    EXPECT_EQ(f.ButtonRts->isChecked(), port.RtsAsserted());
    // The reset pulse leaves DTR as it found it; the toggle shows that.
    f.ButtonReset->click();
    EXPECT_EQ(f.ButtonDtr->isChecked(), port.DtrAsserted());
}

TEST_F(FormNewcomer, CustomFrameAndFlowControlOpenTheLineAndAreStoredApart) {
    TForm1& f = MakeForm();
    ASSERT_EQ(f.ComboBits->count(), 6);
    EXPECT_EQ(f.ComboBits->itemText(kFrameN81), "N-8-1");
    frameAnswer = std::nullopt;  // Cancel keeps the entry before
    f.ComboBits->setCurrentIndex(kFrameCustom);
    emit f.ComboBits->activated(kFrameCustom);
    EXPECT_EQ(f.ComboBits->currentIndex(), kFrameN81);
    frameAnswer = ParseFrameText("7O2");
    f.ComboBits->setCurrentIndex(kFrameCustom);
    emit f.ComboBits->activated(kFrameCustom);
    f.ComboFlow->setCurrentIndex(1);
    f.ComboComPort->setCurrentIndex(0);
    f.CheckBox1->setChecked(true);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(line.Settings().dataBits, 7);
    EXPECT_EQ(line.Settings().parity, Parity::Odd);
    EXPECT_EQ(line.Settings().stopBits, 2);
    EXPECT_EQ(line.Settings().flow, FlowControl::RtsCts);
    CloseForm();
    const std::string ini = ReadSettings();
    EXPECT_NE(ini.find("Bits=5"), std::string::npos);
    EXPECT_NE(ini.find("CustomFrame=7O2"), std::string::npos);
    EXPECT_NE(ini.find("Flow=RTS/CTS"), std::string::npos);
}

TEST_F(FormNewcomer, FunctionButtonsShowTheirKeyAndTheLastSetComesBack) {
    TForm1& f = MakeForm();
    f.EditBC[0]->setText("reset");
    EXPECT_EQ(f.ButtonStr[0]->text(), "reset");
    f.CheckBoxFKeys->setChecked(true);
    EXPECT_EQ(f.ButtonStr[0]->text(), "F1 reset");
    saveAnswer = dir.filePath("set.but").toStdString();
    f.ButtonSave1Click();
    f.CheckBoxRestoreButtons->setChecked(true);
    CloseForm();
    TForm1& g = MakeForm();
    EXPECT_EQ(g.EditBC[0]->text(), "reset");
    EXPECT_EQ(g.ButtonStr[0]->text(), "F1 reset");
}

TEST_F(FormNewcomer, MenusHaveMnemonicsAndNoCtrlLetterShortcut) {
    TForm1& f = MakeForm();
    for (QAction* a : {f.ButtonLoad1, f.ButtonSave1, f.Exit1, f.Font1, f.ExtraFeatures1, f.About1}) {
        SCOPED_TRACE(a->text().toStdString());
        EXPECT_TRUE(a->text().contains('&'));
        for (const QKeySequence& k : a->shortcuts())
            EXPECT_FALSE(k[0].keyboardModifiers() == Qt::ControlModifier && k[0].key() >= Qt::Key_A &&
                         k[0].key() <= Qt::Key_Z);
    }
}

TEST(StartArgumentsTest, TheCommandLineIsTakenOrRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        std::string port, baud, frame;
        bool version, help, refused;
    } const cases[] = {
        {{}, "", "", "", false, false, false},
        {{"--port", "/dev/ttyUSB0"}, "/dev/ttyUSB0", "", "", false, false, false},
        {{"--port=/dev/pts/3", "--baud", "9600", "--frame", "7E2"}, "/dev/pts/3", "9600", "7E2", false, false, false},
        {{"-platform", "offscreen", "--version"}, "", "", "", true, false, false},
        {{"--help"}, "", "", "", false, true, false},
        {{"--port"}, "", "", "", false, false, true},
        {{"--port", "x", "--frame", "9X1"}, "x", "", "", false, false, true},
        {{"--port", "x", "--baud", "fast"}, "x", "", "", false, false, true},
        {{"--baud", "9600"}, "", "9600", "", false, false, true},
        {{"--colour"}, "", "", "", false, false, true},
    };
    for (const Case& c : cases) {
        const StartArguments a = ParseStartArguments(c.args);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(!a.error.empty(), c.refused) << a.error;
        if (c.refused) continue;
        EXPECT_EQ(a.port, c.port);
        EXPECT_EQ(a.baud, c.baud);
        EXPECT_EQ(a.frame ? FrameText(*a.frame) : "", c.frame);
        EXPECT_EQ(a.version, c.version);
        EXPECT_EQ(a.help, c.help);
    }
}

TEST_F(FormNewcomer, APortGivenAtStartOpensWithItsFrame) {
    TForm1& f = MakeForm();
    EXPECT_TRUE(f.OpenAtStart({"/dev/ttyS0", "57600", ParseFrameText("8N2")}));
    EXPECT_EQ(line.OpenPath(), "/dev/ttyS0");
    EXPECT_EQ(line.Settings().baud, 57600u);
    EXPECT_EQ(line.Settings().stopBits, 2);
    EXPECT_EQ(f.ComboBits->currentIndex(), kFrameCustom);
}

}  // namespace
}  // namespace quennet::testing
