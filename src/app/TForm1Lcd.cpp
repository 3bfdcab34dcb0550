// The LCD tab: capture the target's display through the terminal's open port,
// show it zoomed or inverted, save it as a bitmap. The protocol and the pixel
// store are the lcd core's; this file reads the controls and draws.
#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <stdexcept>

#include "app/TForm1.h"
#include "core/ScopeExit.h"
#include "lcd/LcdCapture.h"
#include "lcd/LcdRaster.h"

namespace quennet {

namespace {
constexpr int kPanelMargin = 8;  // Image1 sits at 8, 8 inside Panel1
constexpr const char* kPictureFilter = "Bitmaps (*.bmp)|*.bmp";
}  // namespace

QWidget* TForm1::BuildLcdTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheetLCD");
    auto* column = new QVBoxLayout(tab);

    auto* row = new QHBoxLayout;
    Button6 = new QPushButton("Capture Image");
    Button6->setObjectName("Button6");
    ButtonStopCapture = new QPushButton("Stop");
    ButtonStopCapture->setObjectName("ButtonStopCapture");
    ButtonStopCapture->setToolTip("Ends the capture at the next row (Esc)");
    ButtonStopCapture->setEnabled(false);
    ButtonSaveImage = new QPushButton("Save Image");
    ButtonSaveImage->setObjectName("ButtonSaveImage");
    CheckZoom = new QCheckBox("Zoom 2X");
    CheckZoom->setObjectName("CheckZoom");
    CheckBoxInvert = new QCheckBox("Invert Image");
    CheckBoxInvert->setObjectName("CheckBoxInvert");
    ProgressBarLCD = new QProgressBar;
    ProgressBarLCD->setObjectName("ProgressBarLCD");
    ProgressBarLCD->setRange(0, 100);
    ProgressBarLCD->setValue(0);
    ProgressBarLCD->setMaximumWidth(200);
    row->addWidget(Button6);
    row->addWidget(ButtonStopCapture);
    row->addWidget(ButtonSaveImage);
    row->addWidget(CheckZoom);
    row->addWidget(CheckBoxInvert);
    row->addWidget(ProgressBarLCD);
    row->addStretch(1);
    column->addLayout(row);

    // The picture sits at a fixed place inside its frame; both are sized by
    // each redraw, not by the layout.
    Panel1 = new QFrame;
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setFixedSize(144, 90);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName("Image1");
    Image1->setScaledContents(true);
    Image1->setGeometry(kPanelMargin, kPanelMargin, 128, 64);
    column->addWidget(Panel1, 0, Qt::AlignLeft | Qt::AlignTop);
    column->addStretch(1);
    return tab;
}

void TForm1::WireLcd() {
    lcd_ = std::make_unique<LcdState>();
    SavePictureDialog1.filter = kPictureFilter;
    connect(Button6, &QPushButton::clicked, this, [this] { Guarded([this] { Button6Click(); }); });
    connect(ButtonSaveImage, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonSaveImageClick(); }); });
    connect(CheckZoom, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckZoomClick(); }); });
    connect(CheckBoxInvert, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxInvertClick(); }); });
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (PageControl1->widget(index) == TabLcd) Guarded([this] { TabSheetLCDShow(); });
    });
}

void TForm1::TabSheetLCDShow() {
    DrawLcdPicture(lcd_->LcdWidth, lcd_->LcdHeight, CheckZoom->isChecked() ? 2 : 1);
}

void TForm1::CheckZoomClick() { TabSheetLCDShow(); }

void TForm1::CheckBoxInvertClick() { TabSheetLCDShow(); }

void TForm1::DrawLcdPicture(int w, int h, int z) {
    const LcdRaster raster = RenderLcdRaster(*lcd_, w, h, z, CheckBoxInvert->isChecked());
    Panel1->setFixedSize(raster.width + 2 * kPanelMargin, raster.height + 2 * kPanelMargin);
    Image1->setGeometry(kPanelMargin, kPanelMargin, raster.width, raster.height);
    LcdPicture = QImage(raster.width, raster.height, QImage::Format_RGB32);
    for (int y = 0; y < raster.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(LcdPicture.scanLine(y));
        for (int x = 0; x < raster.width; ++x) line[x] = 0xFF000000u | raster.At(x, y);
    }
    Image1->setPixmap(QPixmap::fromImage(LcdPicture));
}

void TForm1::Button6Click() {
    // One user of the port at a time: not during a programming run, and not
    // a second capture from a click taken while this one processes messages.
    if (!TerminalHoldsPort()) return;
    lcdStopRequested_ = false;
    // A close asked for during the capture happens at its end, however it ends.
    AtExit finish([this] { EndLcdCapture(); });
    LcdCaptureHost host{port(),
                        *nmea_,
                        [this] { Timer1->stop(); },
                        [this] { Timer1->start(); },
                        [](bool busy) {
                            if (busy)
                                QApplication::setOverrideCursor(Qt::WaitCursor);
                            else
                                QApplication::restoreOverrideCursor();
                        },
                        [this](int percent) { ProgressBarLCD->setValue(percent); },
                        [] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
                        [this](const std::string&, const std::string& text) { ShowMessage(text); },
                        [this] { return lcdStopRequested_; }};
    const LcdCaptureResult result = RunLcdCapture(*lcd_, host);
    if (result == LcdCaptureResult::Done) TabSheetLCDShow();
}

void TForm1::EndLcdCapture() {
    lcdStopRequested_ = false;
    RunDeferredClose();
}

void TForm1::ButtonSaveImageClick() {
    if (!env_.saveFileDialog) return;
    const auto chosen = env_.saveFileDialog(SavePictureDialog1.filter, SavePictureDialog1.fileName);
    if (!chosen) return;
    const std::string path = WithDefaultBmpExtension(*chosen);
    SavePictureDialog1.fileName = path;
    if (!ConfirmOverwrite(path)) return;
    // What Image1 shows, as drawn: zoom and inversion included.
    LcdRaster shown;
    shown.width = LcdPicture.width();
    shown.height = LcdPicture.height();
    shown.pixels.reserve(static_cast<std::size_t>(shown.width) * static_cast<std::size_t>(shown.height));
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x) shown.pixels.push_back(LcdPicture.pixel(x, y) & 0xFFFFFFu);
    if (!SaveBmpFile(path, shown)) throw std::runtime_error("Cannot create file " + path);
}

}  // namespace quennet
