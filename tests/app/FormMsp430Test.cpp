// MSP430 runs from the window: Start Program and Device Info. against the
// simulated ROM loader behind the terminal's port.
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <QProgressBar>
#include <QLabel>
#include <QApplication>
#include <QTest>
#include <functional>
#include "FormFixture.h"
#include "app/PortCombo.h"
#include "Msp430BslTarget.h"
#include "loader/Loader.h"

namespace quennet::testing {
namespace {

class FormMsp430 : public FormFixture {
protected:
    // The window and the port outlive this class's members: unplug the part.
    ~FormMsp430() override { line.SetPeer(nullptr); }

    Msp430BslTarget target;

    TForm1& MakeAtTerminal() {
        line.SetPeer(&target);
        TForm1& f = MakeOpenForm();
        return f;
    }
    QString Log() const { return form->Memo2->toPlainText(); }
};

TEST_F(FormMsp430, StartProgramWritesTheFirmwareWhileTheWindowStaysAlive) {
    TForm1& f = MakeAtTerminal();
    f.Edit1->setText(QUENNET_TEST_DATA "/srec/msp430_blink.s19");
    f.ComboTarget->setCurrentIndex(kTargetMsp430_9600);
    f.show();
    f.timer()->start();

    // Work the window meets while the run lets it process messages.
    QString logDuringRun;
    bool portHeldDuringRun = false, pumpStoppedDuringRun = false;
    int refusedRuns = 0;
    QTimer::singleShot(0, &f, [&] {
        logDuringRun = Log();
        portHeldDuringRun = f.loader().RunActive() && port.IsOpen();
        pumpStoppedDuringRun = !f.timer()->isActive();
        const auto before = target.Entries();
        f.Button1->click();  // a second run is refused
        f.Button7->click();
        if (target.Entries() == before) ++refusedRuns;
    });
    f.Button1->click();

    const QString log = Log();
    EXPECT_TRUE(log.startsWith("Begin program MSP430.\nFILE Load: OK.\nChanging Serial baud rate.\n"
                               "BSL Enter ...\nErasing ...\nPassword ...\nVersion ...\n"
                               "+---------------------+\n| Device: MSP430F149  |\n"
                               "| BSL Version:  1.11  |\n+---------------------+\nProgramming ...\n"))
        << log.toStdString();
    const QString map = "----*" + QString(58, '-') + "*";
    EXPECT_TRUE(log.contains("\n" + map + "\n" + QString(64, '^') + "\nRestore Serial baud rate.\nPROGRAM OK in "))
        << log.toStdString();
    EXPECT_TRUE(log.endsWith(" sec."));
    EXPECT_EQ(f.loader().LastRunResult, 0);

    // The window had its turn during the pass, with the run holding the port.
    EXPECT_TRUE(logDuringRun.contains("Programming ..."));
    EXPECT_TRUE(portHeldDuringRun);
    EXPECT_TRUE(pumpStoppedDuringRun);
    EXPECT_EQ(refusedRuns, 1);

    // The part holds the firmware and runs it; the terminal has its port.
    EXPECT_EQ(target.At(0x1100), 0x31);
    EXPECT_EQ(target.At(0x111B), 0x3F);
    EXPECT_EQ(target.At(0x111C), 0xFF);
    EXPECT_EQ(target.At(0xFFFE), 0x00);
    EXPECT_EQ(target.At(0xFFFF), 0x11);
    EXPECT_EQ(target.At(0x2000), 0xFF);
    EXPECT_FALSE(target.Running());
    EXPECT_TRUE(f.timer()->isActive());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.Settings().baud, 9600u);
    EXPECT_EQ(line.Settings().parity, Parity::None);
}

TEST_F(FormMsp430, DeviceInfoReportsThePartAndErasesIt) {
    TForm1& f = MakeAtTerminal();
    target.Preload(0x1100, {0x12, 0x34});
    target.Config().deviceId = 0xF16C;
    target.Config().versionMinor = 0x10;
    f.ComboTarget->setCurrentIndex(kTargetMsp430_19200);
    f.Button7->click();
    const QString log = Log();
    EXPECT_TRUE(log.startsWith("MSP430 Info.\nChanging Serial baud rate.\nBSL Enter ...\nErasing ...\n"
                               "Password ...\nVersion ...\n+---------------------+\n"
                               "| Device: MSP430F1611 |\n| BSL Version:  1.10  |\n"
                               "+---------------------+\nRestore Serial baud rate.\nRequest Device Info in "))
        << log.toStdString();
    EXPECT_TRUE(log.endsWith(" sec."));
    EXPECT_FALSE(log.contains("Patch"));  // the query loads no patch
    EXPECT_EQ(target.At(0x1100), 0xFF);
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::Settings).at(1).settings.baud, 19200u);
}

TEST_F(FormMsp430, StopEscAndCloseEndARunAtTheNextBlock) {
    TForm1& f = MakeAtTerminal();
    f.Edit1->setText(QUENNET_TEST_DATA "/srec/msp430_blink.s19");  // two blocks
    f.show();
    QApplication::setActiveWindow(&f);
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"Stop", [&] { f.ButtonStop->click(); }},
        {"Esc", [&] { QTest::keyClick(f.Memo2, Qt::Key_Escape); }},
        {"close", [&] { f.close(); }},
    };
    for (const auto& [name, act] : ways) {
        // The first block is on its way when the window gets its turn.
        QTimer::singleShot(0, &f, act);
        f.Button1->click();
        EXPECT_TRUE(Log().contains("\nERROR: Run stopped by user.\nRestore Serial baud rate.")) << name;
        EXPECT_EQ(target.At(0x1100), 0x31) << name;
        EXPECT_EQ(target.At(0xFFFE), 0xFF) << name << ": the second block was not sent";
        EXPECT_EQ(f.loader().LastRunResult, 1);
        EXPECT_TRUE(f.TerminalHoldsPort() && port.IsOpen() && f.CheckBox1->isChecked());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_FALSE(f.loader().StopRequested());
    }
    // The close asked for during the last run happens now that it ended.
    EXPECT_TRUE(f.isVisible());
    QApplication::processEvents();
    EXPECT_FALSE(f.isVisible());
}

TEST_F(FormMsp430, TheStatusBarShowsTheBlocksDoneAndTheTimeLeft) {
    TForm1& f = MakeAtTerminal();
    f.Edit1->setText(QUENNET_TEST_DATA "/srec/msp430_blink.s19");
    f.show();
    f.ProgressBarRun->setValue(7);  // so that the first 0 shows as a change
    std::vector<int> values;
    QString halfway;
    bool visibleDuringRun = false;
    QObject::connect(f.ProgressBarRun, &QProgressBar::valueChanged, &f, [&](int v) {
        visibleDuringRun = f.ProgressBarRun->isVisible();
        values.push_back(v);
        if (v == 50) halfway = f.LabelTimeLeft->text();
    });
    f.Button1->click();
    EXPECT_EQ(values, (std::vector<int>{0, 50, 100})) << Log().toStdString();
    EXPECT_TRUE(halfway.startsWith("50%, 0:0") && halfway.endsWith(" left")) << halfway.toStdString();
    EXPECT_TRUE(visibleDuringRun);
    EXPECT_FALSE(f.ProgressBarRun->isVisible());
    EXPECT_FALSE(f.LabelTimeLeft->isVisible());
}

TEST_F(FormMsp430, TheFasterTargetIsChosenRunAndRemembered) {
    {
        TForm1& f = MakeAtTerminal();
        target.Config().deviceId = 0xF449;
        target.Config().versionMinor = 0x60;
        f.Edit1->setText(QUENNET_TEST_DATA "/srec/msp430_blink.s19");
        f.ComboTarget->setCurrentIndex(kTargetMsp430_38400);
        f.Button1->click();
        const QString log = Log();
        EXPECT_TRUE(log.contains("+---------------------+\nBSL baud rate changed to 38400.\nProgramming ...\n"))
            << log.toStdString();
        EXPECT_EQ(f.loader().LastRunResult, 0) << log.toStdString();
        EXPECT_EQ(target.At(0x1100), 0x31);
        CloseForm();
    }
    EXPECT_NE(ReadSettings().find("Target=6"), std::string::npos);
    TForm1& g = MakeForm();
    EXPECT_EQ(g.ComboTarget->currentText(), "MSP430-38400");
}

}  // namespace
}  // namespace quennet::testing
