// The LCD tab: capture, draw, save.
#include "app/LcdPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <stdexcept>

#include "app/FormServices.h"
#include "core/ScopeExit.h"
#include "lcd/LcdCapture.h"
#include "lcd/LcdRaster.h"

namespace quennet {

namespace {
constexpr int kPanelMargin = 8;  // Image1 sits at 8, 8 inside Panel1
constexpr const char* kPictureFilter = "Bitmaps (*.bmp)|*.bmp";
}  // namespace

LcdPage::LcdPage(ComPort& port, FormServices& services, NmeaWriter& nmea, const LcdWidgets& widgets,
                 QObject* parent)
    : QObject(parent), port_(port), services_(services), nmea_(nmea), w_(widgets), lcd_(std::make_unique<LcdState>()) {
    SavePictureDialog1.filter = kPictureFilter;
    const auto guarded = [this](void (LcdPage::*handler)()) {
        return [this, handler] { services_.Guarded([this, handler] { (this->*handler)(); }); };
    };
    connect(w_.Button6, &QPushButton::clicked, this, guarded(&LcdPage::Button6Click));
    connect(w_.ButtonSaveImage, &QPushButton::clicked, this, guarded(&LcdPage::ButtonSaveImageClick));
    connect(w_.CheckZoom, &QCheckBox::toggled, this, guarded(&LcdPage::TabSheetLCDShow));
    connect(w_.CheckBoxInvert, &QCheckBox::toggled, this, guarded(&LcdPage::TabSheetLCDShow));
    // Nothing to save until a capture has brought a picture.
    w_.ButtonSaveImage->setEnabled(false);
    w_.ButtonSaveImage->setToolTip("Capture an image first");
}

LcdPage::~LcdPage() = default;

void LcdPage::HolderChanged(PortUser holder) {
    w_.Button6->setEnabled(holder == PortUser::Terminal);
}

void LcdPage::UpdateControls() {
    w_.ButtonStopCapture->setEnabled(port_.Owner().Holder() == PortUser::LcdCapture && !stopRequested_);
}

void LcdPage::TabSheetLCDShow() {
    DrawLcdPicture(lcd_->LcdWidth, lcd_->LcdHeight, w_.CheckZoom->isChecked() ? 2 : 1);
}

void LcdPage::DrawLcdPicture(int w, int h, int z) {
    const LcdRaster raster = RenderLcdRaster(*lcd_, w, h, z, w_.CheckBoxInvert->isChecked());
    w_.Panel1->setFixedSize(raster.width + 2 * kPanelMargin, raster.height + 2 * kPanelMargin);
    w_.Image1->setGeometry(kPanelMargin, kPanelMargin, raster.width, raster.height);
    LcdPicture = QImage(raster.width, raster.height, QImage::Format_RGB32);
    for (int y = 0; y < raster.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(LcdPicture.scanLine(y));
        for (int x = 0; x < raster.width; ++x) line[x] = 0xFF000000u | raster.At(x, y);
    }
    w_.Image1->setPixmap(QPixmap::fromImage(LcdPicture));
}

void LcdPage::Button6Click() {
    // One user of the port at a time: not during a programming run, and not
    // a second capture from a click taken while this one processes messages.
    if (!port_.Owner().Holds(PortUser::Terminal)) return;
    stopRequested_ = false;
    // A close asked for during the capture happens at its end, however it ends.
    AtExit finish([this] { EndLcdCapture(); });
    LcdCaptureHost host{port_,
                        nmea_,
                        [this] { services_.pausePump(); },
                        [this] { services_.resumePump(); },
                        [](bool busy) {
                            if (busy)
                                QApplication::setOverrideCursor(Qt::WaitCursor);
                            else
                                QApplication::restoreOverrideCursor();
                        },
                        [this](int percent) { w_.ProgressBarLCD->setValue(percent); },
                        [] { FormServices::ProcessMessages(); },
                        [this](const std::string&, const std::string& text) { services_.ShowMessage(text); },
                        [this] { return stopRequested_; }};
    const LcdCaptureResult result = RunLcdCapture(*lcd_, host);
    if (result == LcdCaptureResult::Done) {
        TabSheetLCDShow();
        w_.ButtonSaveImage->setEnabled(true);
        w_.ButtonSaveImage->setToolTip("Save the picture as a bitmap file");
    }
}

void LcdPage::EndLcdCapture() {
    stopRequested_ = false;
    if (finished) finished();
}

void LcdPage::ButtonSaveImageClick() {
    const FormEnvironment& env = services_.env();
    if (!env.saveFileDialog || !w_.ButtonSaveImage->isEnabled()) return;
    const auto chosen = env.saveFileDialog(SavePictureDialog1.filter, SavePictureDialog1.fileName);
    if (!chosen) return;
    const std::string path = WithDefaultBmpExtension(*chosen);
    SavePictureDialog1.fileName = path;
    if (!services_.ConfirmOverwrite(path)) return;
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
