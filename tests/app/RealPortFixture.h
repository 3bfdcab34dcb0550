#pragma once
// The real window on the platform's serial backend, in real time: the base
// of the end-to-end tests against a far end on a real (or pseudo) terminal.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTabWidget>
#include <QTest>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "LcdFirmwareTarget.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "firmware/FirmwareImage.h"
#include "loader/Loader.h"
#include "firmware/SRecord.h"
#include "serial/ComPort.h"

namespace quennet::testing {

class RealPortFixture : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ComPort port{DefaultSerialDeviceFactory(), SystemClock()};
    std::vector<std::string> messages;
    std::optional<std::string> saveAnswer;
    std::unique_ptr<TForm1> form;

    void TearDown() override {
        form.reset();
        port.ComClose();
    }

    // A test's own answers to the window's questions.
    virtual void Customize(FormEnvironment&) {}

    std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }

    TForm1& MakeForm() {
        FormEnvironment env;
        env.settingsPath = Path("q.INI");
        env.port = &port;
        env.listPorts = SystemSerialPorts;
        env.messageBox = [this](const std::string&, const std::string& t) { messages.push_back(t); };
        env.errorBox = [this](const std::string& t) { messages.push_back(t); };
        env.saveFileDialog = [this](const std::string&, const std::string&) { return saveAnswer; };
        Customize(env);
        form = std::make_unique<TForm1>(env);
        form->FormCreate();
        form->show();
        return *form;
    }

    // Opens the terminal on the port typed into the chooser (a path or a
    // COM name), at a rate that is no bootloader's unless asked for.
    TForm1& OpenTerminal(const std::string& name, const char* baud = "38400") {
        TForm1& f = MakeForm();
        f.ComboComPort->lineEdit()->setText(QString::fromStdString(name));
        QTest::keyClick(f.ComboComPort->lineEdit(), Qt::Key_Return);
        f.ComboBaud->setEditText(baud);
        f.ComboBits->setCurrentIndex(kFrameN81);
        f.CheckBox1->setChecked(true);
        EXPECT_TRUE(messages.empty()) << messages.front();
        EXPECT_TRUE(port.IsOpen());
        return f;
    }

    // Pumps the real event loop (the 2 ms pump runs) until cond, or 30 s
    // on a machine so loaded that something must be wrong.
    template <class Cond>
    bool WaitFor(Cond cond) {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 30000) QTest::qWait(5);
        return cond();
    }
    bool Shows(const char* text) {
        return WaitFor([&] { return form->Memo1->toPlainText().contains(text); });
    }
    QStringList LogLines() const { return form->Memo2->toPlainText().split('\n', Qt::SkipEmptyParts); }

    // Runs the loader on target and returns its result.
    int Program(int target, const std::string& firmware, bool verify) {
        form->Edit1->setText(QString::fromStdString(firmware));
        form->ComboTarget->setCurrentIndex(target);
        form->CheckBoxVerify->setChecked(verify);
        form->Button1->click();
        return form->loader().LastRunResult;
    }

    // A session with the board's firmware on the open terminal: typed keys
    // come back as the board echoes them and a command is answered; a
    // function button sends a text with an escape.
    void TalkToTheBoard() {
        form->Memo1->setFocus();
        QTest::keyClicks(form->Memo1, "ping");
        QTest::keyClick(form->Memo1, Qt::Key_Return);
        EXPECT_TRUE(Shows("ping\nPONG")) << form->Memo1->toPlainText().toStdString();
        form->EditBV[0]->setText(R"(led on\r)");
        form->ButtonStr[0]->click();
        EXPECT_TRUE(Shows("LED is on.")) << form->Memo1->toPlainText().toStdString();
    }

    // Programs the test STM32 image with read-back into the board that the
    // terminal has open, checks the run's log and that the terminal reaches
    // the board's firmware again afterwards. Returns the firmware file.
    std::string ProgramStm32WithVerify() {
        const std::string firmware = QUENNET_TEST_DATA "/srec/stm32_app.s37";
        EXPECT_EQ(Program(kTargetStm32_115200, firmware, true), 0) << form->Memo2->toPlainText().toStdString();
        const QStringList lines = LogLines();
        EXPECT_TRUE(lines.contains("ID: 0414 (High-density device)"));
        EXPECT_TRUE(lines.contains("Verify ..."));
        EXPECT_TRUE(lines.last().startsWith("PROGRAM OK in "));
        form->Memo1->clear();
        QTest::keyClicks(form->Memo1, "x");
        EXPECT_TRUE(Shows("x"));
        return firmware;
    }

    // Captures the LCD of the board that the terminal has open, saves it as
    // a bitmap and checks that it shows the LCD model's test pattern.
    void CaptureShowsTheTestPattern() {
        form->ExtraFeatures1->trigger();
        form->PageControl1->setCurrentWidget(form->TabLcd);
        form->Button6->click();
        EXPECT_TRUE(messages.empty()) << messages.front();
        saveAnswer = Path("screen.bmp");
        form->ButtonSaveImage->click();
        QImage saved(dir.filePath("screen.bmp"), "BMP");
        ASSERT_FALSE(saved.isNull());
        ASSERT_EQ(saved.size(), QSize(128, 64));

        VirtualClock clock;
        SimLine line{clock};
        LcdFirmwareTarget expected{line};
        expected.FillTestPattern();
        int wrong = 0;
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 128; ++x)
                wrong += (saved.pixel(x, y) == qRgb(0, 0, 0)) != expected.Pixel(y, x);
        EXPECT_EQ(wrong, 0);
    }

    static FirmwareImage Load(const std::string& path) {
        FirmwareImage image;
        EXPECT_EQ(LoadSRecordFile(path, image), 0) << path;
        return image;
    }
};

}  // namespace quennet::testing
