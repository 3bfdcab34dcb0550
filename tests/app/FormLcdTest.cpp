// The LCD tab in a real window, capturing from the simulated firmware.
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include "FormFixture.h"
#include "app/PortCombo.h"
#include "LcdFirmwareTarget.h"
#include "lcd/LcdCapture.h"
#include "loader/Loader.h"
#include "Checked.h"

namespace quennet::testing {
namespace {

class FormLcd : public FormFixture {
protected:
    LcdFirmwareTarget target{line};
    std::vector<std::string> saveProposals;
    std::optional<std::string> saveAnswer;

    FormLcd() { target.FillTestPattern(); }

    TForm1& Make() {
        FormEnvironment env = Env();
        env.saveFileDialog = [this](const std::string&, const std::string& proposed) {
            saveProposals.push_back(proposed);
            return saveAnswer;
        };
        TForm1& f = MakeFormWith(env);
        f.ExtraFeatures1->trigger();
        f.PageControl1->setCurrentWidget(f.TabLcd);
        return f;
    }
    void OpenPort(TForm1& f) {
        f.ComboComPort->setCurrentIndex(0);
        f.ComboBaud->setEditText("115200");
        f.CheckBox1->setChecked(true);
        ASSERT_TRUE(port.IsOpen());
    }
    QImage Shown() const { return form->Image1->pixmap().toImage().convertToFormat(QImage::Format_RGB32); }
    // The shown picture is the target's display at the given zoom and colours.
    void ExpectShowsTarget(int zoom, bool inverted) {
        const QImage img = Shown();
        ASSERT_EQ(img.size(), QSize(target.Width() * zoom, target.Height() * zoom));
        const QRgb lit = inverted ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
        const QRgb unlit = inverted ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
        int wrong = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                wrong += img.pixel(x, y) != (target.Pixel(y / zoom, x / zoom) ? lit : unlit);
        EXPECT_EQ(wrong, 0);
    }
};

TEST_F(FormLcd, TabShowsTheStartPictureAndACaptureDrawsTheDisplay) {
    TForm1& f = Make();
    EXPECT_EQ(f.TabLcd->objectName(), "TabSheetLCD");
    EXPECT_EQ(Shown().size(), QSize(20, 10));
    EXPECT_EQ(Shown().pixel(3, 3), qRgb(255, 255, 255));
    EXPECT_EQ(f.Panel1->size(), QSize(36, 26));

    OpenPort(f);
    f.timer()->start();
    f.Button6->click();
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(target.CommandsReceived(), 1);
    EXPECT_EQ(f.ProgressBarLCD->value(), 100);
    ExpectShowsTarget(1, false);
    EXPECT_EQ(f.Panel1->size(), QSize(144, 80));
    EXPECT_EQ(f.Image1->geometry(), QRect(8, 8, 128, 64));
    EXPECT_TRUE(f.timer()->isActive());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(f.CheckBox1->isEnabled());
}

TEST_F(FormLcd, ZoomAndInvertRedrawWithoutACapture) {
    TForm1& f = Make();
    OpenPort(f);
    f.Button6->click();
    f.CheckZoom->click();
    ExpectShowsTarget(2, false);
    EXPECT_EQ(f.Panel1->size(), QSize(272, 144));
    f.CheckBoxInvert->click();
    ExpectShowsTarget(2, true);
    f.CheckZoom->click();
    ExpectShowsTarget(1, true);
    EXPECT_EQ(f.Panel1->size(), QSize(144, 80));
    EXPECT_EQ(target.CommandsReceived(), 1);
}

TEST_F(FormLcd, SaveWritesABitmapOfWhatIsShownWhateverTheName) {
    TForm1& f = Make();
    OpenPort(f);
    f.Button6->click();
    f.CheckZoom->click();
    f.CheckBoxInvert->click();

    saveAnswer = dir.filePath("screen.png").toStdString();
    f.ButtonSaveImage->click();
    QImage saved(dir.filePath("screen.png"), "BMP");
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), QSize(256, 128));
    EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), Shown());

    saveAnswer = dir.filePath("plain").toStdString();
    f.ButtonSaveImage->click();
    EXPECT_FALSE(QImage(dir.filePath("plain.bmp"), "BMP").isNull());
    EXPECT_EQ(Last(saveProposals), dir.filePath("screen.png").toStdString());
    EXPECT_TRUE(overwriteQuestions.empty());

    // An existing file is replaced only after a Yes; the name asked about
    // is the one written, extension added.
    f.CheckZoom->click();
    overwrite = false;
    f.ButtonSaveImage->click();
    EXPECT_EQ(overwriteQuestions, std::vector<std::string>{dir.filePath("plain.bmp").toStdString()});
    EXPECT_EQ(QImage(dir.filePath("plain.bmp"), "BMP").size(), QSize(256, 128));
    overwrite = true;
    f.ButtonSaveImage->click();
    EXPECT_EQ(QImage(dir.filePath("plain.bmp"), "BMP").size(), QSize(128, 64));
    f.CheckZoom->click();

    saveAnswer = std::nullopt;  // Cancel
    f.ButtonSaveImage->click();
    saveAnswer = dir.filePath("no/such/folder/x.bmp").toStdString();
    f.ButtonSaveImage->click();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("no/such/folder/x.bmp"), std::string::npos);
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormLcd, FailuresShowTheirMessageAndLeaveThePictureAsItWas) {
    TForm1& f = Make();
    f.Button6->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::make_pair(std::string("Quennet Error"),
                                          std::string("COM port is not open.\nFrom Terminal page select a Communication Port.")));
    EXPECT_EQ(target.CommandsReceived(), 0);

    OpenPort(f);
    f.timer()->start();
    target.rowsToSend = 10;
    f.Button6->click();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].second, "Protocol Error 2");
    EXPECT_EQ(Shown().size(), QSize(20, 10));  // not redrawn
    EXPECT_TRUE(f.timer()->isActive());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    // The new size and the rows received show at the next redraw.
    f.CheckBoxInvert->click();
    EXPECT_EQ(Shown().size(), QSize(128, 64));
}

TEST_F(FormLcd, CaptureAndProgrammingRunNeverOverlap) {
    TForm1& f = Make();
    OpenPort(f);
    // A capture asked for during a run is refused.
    f.loader().SetProgramMsp430([&](Loader&, const LoaderInputs&, std::uint32_t) {
        f.Button6->click();
        return 1;
    });
    f.Button1->click();
    EXPECT_EQ(target.CommandsReceived(), 0);
    EXPECT_TRUE(messages.empty());

    // A run, a second capture or an exit asked for while the capture lets
    // the window process messages waits or is refused.
    int runs = 0;
    f.loader().SetProgramMsp430([&](Loader&, const LoaderInputs&, std::uint32_t) {
        ++runs;
        return 0;
    });
    bool switchEnabled = true;
    bool portOpenAfterExit = false;
    PortUser holder = PortUser::Terminal;
    QTimer::singleShot(0, &f, [&] {
        switchEnabled = f.CheckBox1->isEnabled();
        holder = port.Owner().Holder();
        f.Button1->click();
        f.Button6->click();
        f.Exit1->trigger();
        portOpenAfterExit = port.IsOpen();
    });
    f.show();
    f.Button6->click();
    EXPECT_EQ(runs, 0);
    EXPECT_FALSE(switchEnabled);
    EXPECT_EQ(holder, PortUser::LcdCapture);
    EXPECT_TRUE(f.CheckBox1->isEnabled());
    EXPECT_TRUE(portOpenAfterExit);
    EXPECT_EQ(target.CommandsReceived(), 1);
    EXPECT_TRUE(messages.empty());
    // The exit stopped the capture after its first row, without a box.
    EXPECT_LT(f.ProgressBarLCD->value(), 100);
    QApplication::processEvents();  // the exit happens now
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace quennet::testing
