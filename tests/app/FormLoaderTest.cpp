// The Serial Flash Loader tab in a real window: the run frame as the user
// meets it through Start Program, Device Info. and Quick Program.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "FormFixture.h"
#include "app/PortCombo.h"
#include "app/TerminalMemo.h"
#include "terminal/FileSend.h"
#include "loader/Loader.h"

namespace quennet::testing {
namespace {

class FormLoader : public FormFixture {
protected:
    std::vector<std::pair<std::string, std::string>> openRequests;  // filter, proposed
    std::optional<std::string> openAnswer;

    TForm1& Make() {
        FormEnvironment env = Env();
        env.openFileDialog = [this](const std::string& f, const std::string& p) {
            openRequests.emplace_back(f, p);
            return openAnswer;
        };
        return MakeFormWith(env);
    }
    void OpenPort(TForm1& f) {
        f.ComboComPort->setCurrentIndex(0);
        f.ComboBaud->setEditText("115200");
        f.CheckBox1->setChecked(true);
        ASSERT_TRUE(port.IsOpen());
    }
    QString Log() const { return form->Memo2->toPlainText(); }
};

TEST_F(FormLoader, NoPortOpenIsReportedAndThePumpRunsAgain) {
    TForm1& f = Make();
    f.timer()->start();
    f.Memo2->setPlainText("old text");
    f.Button1->click();
    EXPECT_EQ(Log(), "Begin program MSP430.\nERROR: Select a COM Port from the Terminal.\n");
    EXPECT_TRUE(f.timer()->isActive());
    EXPECT_EQ(f.loader().LastRunResult, 1);

    f.ComboTarget->setCurrentIndex(kTargetStm32_115200);
    f.Button1->click();
    EXPECT_EQ(Log(), "Begin program STM32.\nERROR: Select a COM Port from the Terminal.\n");
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormLoader, QuickProgramReturnsToTheTerminalOnlyAfterSuccess) {
    TForm1& f = Make();
    f.ComboTarget->setCurrentIndex(kTargetBlackfin);
    f.Button5->click();
    EXPECT_EQ(f.PageControl1->currentIndex(), 0);
    EXPECT_EQ(Log(), "Begin program BLACKFIN.\nUnder Development.\n");

    f.ComboTarget->setCurrentIndex(kTargetMsp430_9600);
    f.Button5->click();  // no port: fails
    EXPECT_EQ(f.PageControl1->currentIndex(), 1);
    EXPECT_EQ(f.loader().LastRunResult, 1);

    // A typed target runs nothing and keeps the last result.
    f.ComboTarget->setEditText("MY-BOARD");
    f.Button5->click();
    EXPECT_EQ(Log(), "");
    EXPECT_EQ(f.PageControl1->currentIndex(), 1);
    f.ComboTarget->setCurrentIndex(kTargetMg2455);
    f.Button1->click();
    EXPECT_EQ(Log(), "Begin program MG2455.\nUnder Development.\n");
    f.ComboTarget->setEditText("MY-BOARD");
    f.Button5->click();
    EXPECT_EQ(f.PageControl1->currentIndex(), 0);
}

TEST_F(FormLoader, DeviceInfoOnlyForMsp430Targets) {
    TForm1& f = Make();
    for (int target : {kTargetStm32_57600, kTargetBlackfin, kTargetMg2455}) {
        f.ComboTarget->setCurrentIndex(target);
        f.Memo2->setPlainText("x");
        f.Button7->click();
        EXPECT_EQ(Log(), "") << target;
    }
    f.ComboTarget->setCurrentIndex(kTargetMsp430_19200);
    f.Button7->click();
    EXPECT_EQ(Log(), "MSP430 Info.\nERROR: Select a COM Port from the Terminal.\n");
}

TEST_F(FormLoader, RunsHoldThePumpAndRefuseSecondClicksAndCloses) {
    TForm1& f = Make();
    OpenPort(f);
    f.timer()->start();
    int runs = 0;
    bool pumpActiveDuringRun = true;
    bool visibleAfterCloseRequest = false;
    bool sessionSwitchEnabled = true;
    f.loader().SetProgramMsp430([&](Loader& l, const LoaderInputs&, std::uint32_t) {
        ++runs;
        pumpActiveDuringRun = f.timer()->isActive();
        sessionSwitchEnabled = f.CheckBox1->isEnabled();
        l.ProcessMessages();
        // Clicks that arrive while the run processes messages are refused.
        f.Button1->click();
        f.Button5->click();
        f.Button7->click();
        f.show();
        f.close();
        visibleAfterCloseRequest = f.isVisible();
        l.AddLine("sequence done");
        return 0;
    });
    f.show();
    f.Button1->click();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(pumpActiveDuringRun);
    EXPECT_FALSE(sessionSwitchEnabled);
    EXPECT_TRUE(f.CheckBox1->isEnabled());
    EXPECT_TRUE(visibleAfterCloseRequest);
    EXPECT_EQ(Log().count("Begin program MSP430."), 1);
    EXPECT_TRUE(Log().contains("sequence done"));
    // The close asked for during the run happens once it has ended.
    QApplication::processEvents();
    EXPECT_FALSE(f.isVisible());
}

TEST_F(FormLoader, WhileARunHoldsThePortNoTerminalPathReachesIt) {
    TForm1& f = Make();
    OpenPort(f);
    f.show();
    const QString sendPath = dir.filePath("send.bin");
    std::ofstream(sendPath.toStdString(), std::ios::binary) << std::string(4000, 'S');
    f.EditBrowseSendFile->setText(sendPath);
    f.EditBV[0]->setText("F1!");
    f.Edit2->setText("0A 0B");
    f.ButtonSendFileClick();
    ASSERT_TRUE(f.fileSender().Running());

    std::vector<std::uint8_t> written;
    std::size_t lineChanges = 0;
    bool openAfter = false, boxAfter = false, controlsOff = false, sendStopped = false;
    QString holderShown, shownDuringRun;
    f.loader().SetProgramMsp430([&](Loader& l, const LoaderInputs&, std::uint32_t) {
        line.ClearWriteLog();
        line.ClearEvents();
        l.ProcessMessages();
        sendStopped = !f.fileSender().Running() && f.ButtonSendFile->text() == "Send File";
        controlsOff = !f.CheckBox1->isEnabled() && !f.ButtonReset->isEnabled() && !f.Button3->isEnabled() &&
                      !f.ButtonStr[0]->isEnabled() && !f.ButtonSendFile->isEnabled() && !f.Button5->isEnabled();
        holderShown = f.LabelPortHolder->text();
        // Queued clicks and keys reach the handlers even with controls off.
        QTest::keyClicks(f.Memo1, "typed");
        QTest::keyClick(f.Memo1, Qt::Key_F1);
        f.ButtonStrClick(1);
        f.Button3Click();
        f.ButtonResetClick();
        f.ButtonSendFileClick();
        f.Button5Click();
        f.Button7Click();
        f.CheckBox1->setChecked(false);
        f.ComboComPortChange();
        line.SendToPort(std::vector<std::uint8_t>{'r', 'x'});
        clock.Advance(2000);
        f.Timer1Timer();  // the pump must not take the run's reply bytes
        shownDuringRun = f.Memo1->toPlainText();
        written = line.WrittenBytes();
        lineChanges = line.EventsOf(SimEvent::Kind::Dtr).size() + line.EventsOf(SimEvent::Kind::Rts).size() +
                      line.EventsOf(SimEvent::Kind::Close).size();
        openAfter = port.IsOpen();
        boxAfter = f.CheckBox1->isChecked();
        EXPECT_EQ(port.ComWaitByte(10), 'r');
        return 1;
    });
    f.Button1->click();
    EXPECT_TRUE(sendStopped) << "a file send does not go on into the run";
    EXPECT_TRUE(controlsOff);
    EXPECT_EQ(holderShown, "The serial port is in use by the flash loader.");
    EXPECT_TRUE(written.empty());
    EXPECT_EQ(lineChanges, 0u);
    EXPECT_TRUE(openAfter);
    EXPECT_TRUE(boxAfter);
    EXPECT_EQ(shownDuringRun, "");
    EXPECT_FALSE(f.fileSender().Running());
    EXPECT_EQ(Log().count("Begin program MSP430."), 1);
    // Given back: everything works again.
    EXPECT_TRUE(f.LabelPortHolder->text().isEmpty());
    EXPECT_TRUE(f.ButtonReset->isEnabled() && f.CheckBox1->isEnabled() && f.ButtonStr[0]->isEnabled());
    f.ButtonStrClick(1);
    EXPECT_EQ(line.WrittenBytes(), (std::vector<std::uint8_t>{'F', '1', '!'}));
}

TEST_F(FormLoader, ARunThatLeavesThePortClosedUnticksOpenCom) {
    TForm1& f = Make();
    OpenPort(f);
    ASSERT_FALSE(f.ComboComPort->isEnabled());
    f.loader().SetProgramStm32([&](Loader& l, const LoaderInputs&, std::uint32_t baud) {
        line.missing = true;  // the adapter was pulled
        return l.OpenPortForTarget(baud);
    });
    f.ComboTarget->setCurrentIndex(kTargetStm32_115200);
    f.Button1->click();
    EXPECT_TRUE(Log().endsWith("FATAL ERROR: Can't open COM port.\n"));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(f.CheckBox1->isChecked());
    EXPECT_TRUE(f.ComboComPort->isEnabled() && f.ComboBaud->isEnabled() && f.ComboBits->isEnabled());
    line.missing = false;
    f.CheckBox1->setChecked(true);  // the user opens it again
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(FormLoader, ExitDuringARunWaitsForItsEnd) {
    TForm1& f = Make();
    OpenPort(f);
    f.show();
    bool portOpenAfterExit = false;
    f.loader().SetProgramMsp430([&](Loader&, const LoaderInputs&, std::uint32_t) {
        f.Exit1->trigger();
        portOpenAfterExit = port.IsOpen();
        return 1;
    });
    f.Button1->click();
    EXPECT_TRUE(portOpenAfterExit);
    QApplication::processEvents();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(f.isVisible());
}

TEST_F(FormLoader, SnapshotCarriesTheWindowsSettings) {
    TForm1& f = Make();
    OpenPort(f);
    f.Edit1->setText("/tmp/none.s19");
    f.CheckBoxVerify->setChecked(true);
    f.CheckBoxToggleTCK->setChecked(true);
    f.ComboBits->setCurrentIndex(kFrameO81);
    LoaderInputs seen;
    bool watchdogDuringRun = false;
    f.loader().SetProgramMsp430([&](Loader& l, const LoaderInputs& in, std::uint32_t) {
        seen = in;
        watchdogDuringRun = l.Port().WatchdogToggle;
        return 1;
    });
    f.ComboTarget->setCurrentIndex(kTargetMsp430_19200);
    f.Button1->click();
    EXPECT_EQ(seen.firmwarePath, "/tmp/none.s19");
    EXPECT_TRUE(seen.verify);
    EXPECT_TRUE(seen.toggleTck);
    EXPECT_EQ(seen.targetIndex, kTargetMsp430_19200);
    EXPECT_EQ(seen.terminalPort, "/dev/ttyS0");
    EXPECT_EQ(seen.terminalBaud, "115200");
    EXPECT_EQ(seen.terminalFormat, kFrameO81);
    EXPECT_TRUE(watchdogDuringRun);
    EXPECT_FALSE(port.WatchdogToggle);
}

TEST_F(FormLoader, BrowseFileAndInvertDtr) {
    TForm1& f = Make();
    f.Edit1->setText("/work/fw.s19");
    openAnswer = std::nullopt;
    f.Button2->click();
    ASSERT_EQ(openRequests.size(), 1u);
    EXPECT_EQ(openRequests[0].first, "D files (*.d)|*.d");
    EXPECT_EQ(openRequests[0].second, "/work/fw.s19");
    EXPECT_EQ(f.Edit1->text(), "/work/fw.s19");
    openAnswer = "/work/other.d";
    f.Button2->click();
    EXPECT_EQ(f.Edit1->text(), "/work/other.d");

    f.CheckBoxReset->setChecked(true);
    EXPECT_TRUE(port.DtrInverted);
    f.CheckBoxReset->setChecked(false);
    EXPECT_FALSE(port.DtrInverted);
}

}  // namespace
}  // namespace quennet::testing
