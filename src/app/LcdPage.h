#pragma once
#include <QImage>
#include <QObject>
#include <functional>
#include <memory>

#include "app/FormEnvironment.h"
#include "serial/ComPort.h"

class QCheckBox;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quennet {

class FormServices;
class LcdState;
class NmeaWriter;

// The controls of the LCD tab.
struct LcdWidgets {
    QPushButton* Button6 = nullptr;
    QPushButton* ButtonStopCapture = nullptr;
    QPushButton* ButtonSaveImage = nullptr;
    QCheckBox* CheckZoom = nullptr;
    QCheckBox* CheckBoxInvert = nullptr;
    QProgressBar* ProgressBarLCD = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;
};

// The LCD tab: capture the target's display through the terminal's open
// port, show it zoomed or inverted, save it as a bitmap. The protocol and
// the pixel store are the lcd core's; this part reads the controls and
// draws.
class LcdPage : public QObject {
public:
    LcdPage(ComPort& port, FormServices& services, NmeaWriter& nmea, const LcdWidgets& widgets, QObject* parent);
    ~LcdPage() override;

    // Run after every capture, however it ended.
    std::function<void()> finished;

    void Button6Click();
    void ButtonSaveImageClick();
    void TabSheetLCDShow();
    void DrawLcdPicture(int w, int h, int z);
    // The capture that holds the port ends at its next row.
    void RequestStop() { stopRequested_ = true; }
    void UpdateControls();
    void HolderChanged(PortUser holder);
    LcdState& lcd() { return *lcd_; }

    QImage LcdPicture;  // what Image1 shows
    FileDialogState SavePictureDialog1;

private:
    void EndLcdCapture();

    ComPort& port_;
    FormServices& services_;
    NmeaWriter& nmea_;
    LcdWidgets w_;
    std::unique_ptr<LcdState> lcd_;
    bool stopRequested_ = false;
};

}  // namespace quennet
