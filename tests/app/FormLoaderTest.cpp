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
#include <stdexcept>

#include "FormFixture.h"
#include "app/AddressDialog.h"
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
    // A listed target, or with -1 a name typed in that is none of them.
    static void ChooseTarget(TForm1& f, int target) {
        if (target < 0)
            f.ComboTarget->setEditText("MY-BOARD");
        else
            f.ComboTarget->setCurrentIndex(target);
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

TEST_F(FormLoader, DeviceInfoOnlyForMsp430TargetsAndOnlyAfterAYes) {
    TForm1& f = Make();
    for (int target : {kTargetStm32_57600, kTargetBlackfin, kTargetMg2455, -1}) {
        ChooseTarget(f, target);
        EXPECT_FALSE(f.Button7->isEnabled()) << target;
        f.Memo2->setPlainText("x");
        f.Button7Click();  // a click queued before the target changed
        EXPECT_EQ(Log(), "") << target;
    }
    EXPECT_TRUE(questions.empty());

    // The query erases the part: No leaves everything as it was.
    f.ComboTarget->setCurrentIndex(kTargetMsp430_19200);
    ASSERT_TRUE(f.Button7->isEnabled());
    f.Memo2->setPlainText("x");
    answerYes = false;
    f.Button7->click();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("erases"), std::string::npos) << questions[0];
    EXPECT_EQ(Log(), "x");
    answerYes = true;
    f.Button7->click();
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(Log(), "MSP430 Info.\nERROR: Select a COM Port from the Terminal.\n");
}

TEST_F(FormLoader, VerifyIsOnForTheReadingTargetsAndOffDuringARun) {
    TForm1& f = Make();
    OpenPort(f);
    const std::vector<std::pair<int, bool>> table = {
        {kTargetMsp430_9600, true}, {kTargetMsp430_38400, true}, {kTargetStm32_57600, true},
        {kTargetStm32Any_115200, true}, {kTargetBlackfin, true}};
    for (const auto& [target, enabled] : table) {
        f.ComboTarget->setCurrentIndex(target);
        EXPECT_EQ(f.CheckBoxVerify->isEnabled(), enabled) << target;
    }
    bool verifyDuringRun = true, startDuringRun = true, stopDuringRun = false;
    f.loader().SetProgramStm32([&](Loader&, const LoaderInputs&, std::uint32_t) {
        verifyDuringRun = f.CheckBoxVerify->isEnabled();
        startDuringRun = f.Button1->isEnabled();
        stopDuringRun = f.ButtonStop->isEnabled();
        return 0;
    });
    f.ComboTarget->setCurrentIndex(kTargetStm32_57600);
    f.Button1->click();
    EXPECT_FALSE(verifyDuringRun || startDuringRun);
    EXPECT_TRUE(stopDuringRun);
    EXPECT_TRUE(f.CheckBoxVerify->isEnabled() && !f.ButtonStop->isEnabled());
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

TEST_F(FormLoader, ARunEndingInAnExceptionStillEndsTheClickAndTheClose) {
    TForm1& f = Make();
    OpenPort(f);
    f.show();
    f.loader().SetProgramMsp430([&](Loader&, const LoaderInputs&, std::uint32_t) -> int {
        f.close();
        throw std::runtime_error("out of memory");
    });
    f.Button1->click();
    EXPECT_EQ(errors, std::vector<std::string>{"out of memory"});
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(f.TerminalHoldsPort() && f.timer()->isActive());
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

TEST_F(FormLoader, TargetsWithoutARunLeaveAFileSendAlone) {
    TForm1& f = Make();
    OpenPort(f);
    const QString sendPath = dir.filePath("send.bin");
    std::ofstream(sendPath.toStdString(), std::ios::binary) << std::string(4000, 'S');
    f.EditBrowseSendFile->setText(sendPath);
    f.ButtonSendFileClick();
    ASSERT_TRUE(f.fileSender().Running());
    std::vector<PortUser> holders;
    port.Owner().SetListener([&](PortUser u) { holders.push_back(u); });
    for (int target : {kTargetBlackfin, kTargetMg2455, -1, kTargetStm32_57600}) {
        ChooseTarget(f, target);
        if (target == kTargetStm32_57600)
            f.Button7Click();  // Device Info.
        else
            f.Button1Click();
        EXPECT_TRUE(f.fileSender().Running()) << target;
    }
    EXPECT_TRUE(holders.empty());
    EXPECT_EQ(f.ButtonSendFile->text(), "STOP Send");
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
    EXPECT_TRUE(Log().endsWith("FATAL ERROR: Can't open COM port.\nThe device " + f.ComboComPort->currentText() +
                               " went away.\n"))
        << Log().toStdString();
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
    EXPECT_TRUE(seen.verify);  // the MSP430 reads back too
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
    EXPECT_EQ(openRequests[0].first,
              "D files (*.d)|*.d|All firmware files|*.d;*.s19;*.s28;*.s37;*.srec;*.mot;*.hex;*.ihx;*.elf;*.axf;*.out;"
              "*.txt;*.bin|S-records (*.s19 *.s28 *.s37 *.srec *.mot)|*.s19;*.s28;*.s37;*.srec;*.mot|"
              "Intel HEX (*.hex *.ihx)|*.hex;*.ihx|ELF executables (*.elf *.axf *.out)|*.elf;*.axf;*.out|"
              "TI-TXT (*.txt)|*.txt|Raw binary (*.bin)|*.bin|All files (*.*)|*.*");
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

// The reasons for other files are the firmware readers' and the loader's tests.
TEST_F(FormLoader, NoFileNameAnEmptyOrACutFileStopsTheRunBeforeThePortIsTouched) {
    TForm1& f = Make();
    OpenPort(f);
    const std::string empty = dir.filePath("empty.s19").toStdString();
    const std::string blank = dir.filePath("blank.s37").toStdString();
    std::ofstream(empty, std::ios::binary).flush();
    std::ofstream(blank, std::ios::binary) << " \r\n\n";
    const std::string cut = dir.filePath("cut.hex").toStdString();
    std::ofstream(cut, std::ios::binary) << ":0400000001020304F2\n:0400";
    const struct {
        int target;
        std::string file;
        std::string log;
    } cases[] = {
        {kTargetStm32_115200, "", "Begin program STM32.\nFATAL ERROR: Can't open FILE.\nNo firmware file given.\n"},
        {kTargetStm32_115200, blank,
         "Begin program STM32.\nFATAL ERROR: The file holds no firmware.\nFirmware file " + blank + ": holds no data.\n"},
        {kTargetMsp430_9600, empty,
         "Begin program MSP430.\nFATAL ERROR: The file holds no firmware.\nFirmware file " + empty + ": holds no data.\n"},
        {kTargetMsp430_9600, cut,
         "Begin program MSP430.\nFATAL ERROR: Can't open FILE.\nFirmware file " + cut +
             ": line 2: the file ends early, inside a record (4 of its 18 hex digits).\n"},
    };
    for (const auto& c : cases) {
        f.ComboTarget->setCurrentIndex(c.target);
        f.Edit1->setText(QString::fromStdString(c.file));
        line.ClearEvents();
        f.Button1->click();
        EXPECT_EQ(Log().toStdString(), c.log);
        EXPECT_TRUE(line.Events().empty());
        EXPECT_EQ(f.loader().LastRunResult, 1);
    }
}

TEST_F(FormLoader, OnlyARunThatReadsABinFileAsksForItsAddress) {
    TForm1& f = Make();
    const std::string bin = dir.filePath("App.BIN").toStdString();
    std::ofstream(bin, std::ios::binary) << std::string(0x1000, '\x55');
    f.Edit1->setText(QString::fromStdString(bin));
    f.ComboTarget->setCurrentIndex(kTargetMsp430_9600);
    f.Button1->click();  // no port: the file is not read
    EXPECT_TRUE(addressRequests.empty());

    OpenPort(f);
    std::optional<std::uint32_t> seen;
    f.loader().SetProgramMsp430([&](Loader&, const LoaderInputs& in, std::uint32_t) {
        seen = in.binaryAddress;
        return 1;
    });
    addressAnswer = 0xE000;
    f.Button1->click();
    // An MSP430 binary is proposed to end at 0xFFFF, with the reset vector.
    ASSERT_EQ(addressRequests.size(), 1u);
    EXPECT_EQ(addressRequests[0], (std::pair<std::string, std::uint32_t>{bin, 0xF000}));
    EXPECT_EQ(seen, 0xE000u);

    f.ComboTarget->setCurrentIndex(kTargetBlackfin);
    f.Button1->click();
    f.ComboTarget->setCurrentIndex(kTargetStm32_115200);
    f.Edit1->setText(QUENNET_TEST_DATA "/srec/stm32_app.s37");
    f.Button1->click();
    EXPECT_EQ(addressRequests.size(), 1u);

    // Cancel cancels the run: the log, the port and its lines stay as they were.
    f.Edit1->setText(QString::fromStdString(bin));
    addressAnswer.reset();
    const QString before = Log();
    line.ClearEvents();
    f.Button1->click();
    ASSERT_EQ(addressRequests.size(), 2u);
    EXPECT_EQ(addressRequests[1].second, 0x08000000u);
    EXPECT_EQ(Log(), before);
    EXPECT_TRUE(line.Events().empty());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(port.Owner().Holds(PortUser::Terminal));
}

TEST_F(FormLoader, TheAddressDialogTakesOnlyAnAddress) {
    TForm1& f = Make();
    f.show();
    bool okForBad = true, okForGood = false;
    QString proposedText;
    auto answer = [&](const QString& text, bool accept) {
        QTimer::singleShot(0, [&, text, accept] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            auto* edit = dialog->findChild<QLineEdit*>("EditAddress");
            auto* ok = dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
            proposedText = edit->text();
            edit->setText("0x0800 0000");
            okForBad = ok->isEnabled();
            edit->setText(text);
            okForGood = ok->isEnabled();
            if (accept) ok->click(); else dialog->reject();
        });
    };
    answer(" 0x08004000 ", true);
    EXPECT_EQ(AskFlashAddress(&f, "/tmp/app.bin", 0x08000000), 0x08004000u);
    EXPECT_EQ(proposedText, "0x08000000");
    EXPECT_FALSE(okForBad);
    EXPECT_TRUE(okForGood);
    answer("4096", false);
    EXPECT_EQ(AskFlashAddress(&f, "/tmp/app.bin", 0x1000), std::nullopt);
    EXPECT_EQ(proposedText, "0x1000");
}

}  // namespace
}  // namespace quennet::testing
