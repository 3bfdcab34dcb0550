#pragma once
#include <QClipboard>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <string>

#include "app/FormControls.h"
#include "app/FormEnvironment.h"
#include "app/LoaderPageActions.h"
#include "loader/Loader.h"
#include "serial/ComPort.h"
#include "terminal/ReceiveView.h"
#include "terminal/TerminalOptions.h"
#include "terminal/TypedSend.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSpinBox;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QWidget;

namespace quennet {

class FileSender;
class FindBar;
class FormServices;
class InputLine;
class LcdPage;
class LcdState;
class LoaderPage;
class NmeaWriter;
class PlotPage;
class PortCombo;
class PumpWaker;
class TerminalInput;
class TerminalMemo;
class TerminalSession;
class TerminalTools;
class TerminalTransfer;
struct TransferWidgets;

// The main window: the frame (menus, tabs, status bar, tray, font, About,
// settings, closing) and the handlers of every control by its form name.
// The work of each tab is done by its part: the terminal session, terminal
// input, terminal tools, the loader page and the LCD page.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit TForm1(FormEnvironment env, QWidget* parent = nullptr);
    ~TForm1() override;

    // Lists the ports and selects the stored index; run once the window exists.
    void FormCreate();
    void FormResize();
    void FormClose();

    // Menus
    void Exit1Click();
    void Font1Click();
    void ExtraFeatures1Click();
    void About1Click();
    void VisibleCheckClick();

    // Terminal session
    void CheckBox1Click();
    void ComboComPortDropDown();
    void ComboComPortChange();
    void Timer1Timer();
    void Memo1KeyPress(char32_t ch);
    void Memo1KeyDown(int key, Qt::KeyboardModifiers mods);
    void Memo1Enter();
    void ButtonResetClick();
    void Button4Click();
    void CheckBoxHexClick();
    void CheckBoxLowLatencyClick();
    // "Custom..." chosen under "Bits:": the frame is asked for.
    void ComboBitsSelect();
    void ButtonBreakClick();
    void ShowLines();
    void ButtonDtrClick();
    void ButtonRtsClick();
    // Opens the port given on the command line; false (and said) when it fails.
    struct StartPort {
        std::string port;
        std::string baud;
        std::optional<Frame> frame;
    };
    bool OpenAtStart(const StartPort& start);

    // Terminal options: any control of the "Terminal" group changed, and
    // the display, the input line and the counters follow.
    void TerminalOptionsChanged();
    void Memo1Return();
    void Memo1Paste(QClipboard::Mode mode);
    void EditInputReturn();
    void EditInputHistory(bool older);
    void FindShow();
    void FindClose();
    void FindNext(bool forward);
    ViewOptions CurrentViewOptions() const;
    LineEnd CurrentLineEnd() const;
    std::size_t DisplayLimit() const;
    const PacedSender& pacedSender() const;
    // The counters of the status bar: bytes received by the terminal and
    // sent by it (typing, pasting, buttons, file send) since "Clear".
    std::uint64_t ReceivedCount() const;
    std::uint64_t SentCount() const;
    // The input line's history file: the settings file's name with
    // ".history" for its extension.
    std::string HistoryPath() const;

    // Function buttons and button sets
    void ButtonStrClick(int n);  // the button of number n = 1..8
    void ButtonStr1Click() { ButtonStrClick(1); }
    void ButtonStr2Click() { ButtonStrClick(2); }
    void ButtonStr3Click() { ButtonStrClick(3); }
    void ButtonStr4Click() { ButtonStrClick(4); }
    void ButtonStr5Click() { ButtonStrClick(5); }
    void ButtonStr6Click() { ButtonStrClick(6); }
    void ButtonStr7Click() { ButtonStrClick(7); }
    void ButtonStr8Click() { ButtonStrClick(8); }
    void Button3Click();
    void CheckBoxFHexClick();
    void CheckBoxCRCNMEAClick();
    void EditBCChange(int n);  // caption field n = 1..8 changed
    void EditBC1Change() { EditBCChange(1); }
    void EditBC2Change() { EditBCChange(2); }
    void EditBC3Change() { EditBCChange(3); }
    void EditBC4Change() { EditBCChange(4); }
    void EditBC5Change() { EditBCChange(5); }
    void EditBC6Change() { EditBCChange(6); }
    void EditBC7Change() { EditBCChange(7); }
    void EditBC8Change() { EditBCChange(8); }
    void ButtonLoad1Click();
    void ButtonSave1Click();

    // File send and log
    void ButtonBrowseSendFileClick();
    void ButtonSendFileClick();
    void CheckBoxLogFileClick();
    void ButtonBrowseLogFileClick();

    // Flash loader
    void Button1Click();
    void Button2Click();
    void Button5Click();
    void Button7Click();
    void CheckBoxResetClick();
    // "Stop" and Esc: the run or capture that holds the port ends at its
    // next block or row.
    void ButtonStopClick();
    // The loader tab's buttons and options follow the target and whether
    // a long operation holds the port.
    void UpdateLoaderControls();

    // A lost device: the session closes and, with "Reopen automatically",
    // waits for the same path to come back.
    void PortLost();
    void ReopenTick();
    bool ReopenWaiting() const;

    // LCD capture
    void Button6Click();
    void ButtonSaveImageClick();
    void CheckZoomClick();
    void CheckBoxInvertClick();
    void TabSheetLCDShow();
    void DrawLcdPicture(int w, int h, int z);
    LcdState& lcd();

    FileSender& fileSender();
    // File transfers by XMODEM, YMODEM and ZMODEM.
    TerminalTransfer& transfer() { return *transfer_; }
    Loader& loader();
    PlotPage& plotPage() { return *plotPage_; }

    // The settings file's font values as stored (the shown font may differ
    // when the stored family is not installed).
    QString displayFontName() const { return fontName_; }
    int displayFontSize() const { return fontSize_; }
    QColor displayFontColor() const { return fontColor_; }
    QFont::Weight displayFontWeight() const { return fontWeight_; }
    bool displayFontItalic() const { return fontItalic_; }

    ComPort& port() { return *env_.port; }
    const ComPort& port() const { return *env_.port; }
    // Whether the terminal may use the port now: no programming run or
    // capture holds it. Every terminal path that touches the port asks.
    bool TerminalHoldsPort() const { return port().Owner().Holds(PortUser::Terminal); }
    QTimer* timer() const { return Timer1; }
    const PumpWaker& pumpWaker() const { return *pumpWaker_; }
    QSystemTrayIcon* trayIcon() const { return trayIcon_; }

    // Runs a handler; an exception that escapes it goes to the error box.
    void Guarded(const std::function<void()>& handler);

    // Controls, by their form names.
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabTerminal = nullptr;
    QWidget* TabLoader = nullptr;
    QWidget* TabSettings = nullptr;
    QWidget* TabLcd = nullptr;
    QWidget* TabPlot = nullptr;
    QAction* ButtonLoad1 = nullptr;
    QAction* ButtonSave1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Font1 = nullptr;
    QAction* ExtraFeatures1 = nullptr;
    QAction* About1 = nullptr;

    PortCombo* ComboComPort = nullptr;
    QComboBox* ComboBaud = nullptr;
    QComboBox* ComboBits = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QPushButton* ButtonReset = nullptr;
    QPushButton* Button4 = nullptr;
    QPushButton* Button5 = nullptr;
    QPushButton* ButtonSendFile = nullptr;
    QCheckBox* VisibleCheck = nullptr;
    QCheckBox* CheckBoxHex = nullptr;
    QCheckBox* CheckBoxLowLatency = nullptr;  // the terminal asks for low latency
    QCheckBox* CheckBoxReopen = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* ButtonBreak = nullptr;
    QPushButton* ButtonDtr = nullptr;
    QPushButton* ButtonRts = nullptr;
    QWidget* ButtonRow = nullptr;
    QPushButton* ButtonStr[8] = {};
    TerminalMemo* Memo1 = nullptr;
    InputLine* EditInput = nullptr;
    FindBar* FindBar1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* ReopenTimer = nullptr;

    QComboBox* ComboTarget = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button7 = nullptr;
    QPushButton* ButtonStop = nullptr;
    QCheckBox* CheckBoxVerify = nullptr;
    QCheckBox* CheckBoxReset = nullptr;
    QCheckBox* CheckBoxToggleTCK = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QShortcut* StopShortcut = nullptr;
    LoaderActionWidgets LoaderActions;  // Read Flash, Erase, Protection..., the MSP430 password

    // Status bar
    QLabel* LabelPortHolder = nullptr;  // who holds the port
    QLabel* LabelPortState = nullptr;   // the port's own news
    QProgressBar* ProgressBarRun = nullptr;  // blocks of a run done
    QLabel* LabelTimeLeft = nullptr;
    QLabel* LabelCounters = nullptr;

    // Settings tab
    QComboBox* ComboSendFile = nullptr;
    QPushButton* ButtonBrowseSendFile = nullptr;
    QLineEdit* EditBrowseSendFile = nullptr;
    QCheckBox* CheckBoxLogFile = nullptr;
    QPushButton* ButtonBrowseLogFile = nullptr;
    QLineEdit* EditBrowseLogFile = nullptr;
    QCheckBox* CheckBoxLogTimestamps = nullptr;
    QLineEdit* EditBC[8] = {};
    QLineEdit* EditBV[8] = {};
    QCheckBox* CheckBoxFHex = nullptr;
    QCheckBox* CheckBoxCRCNMEA = nullptr;
    QComboBox* ComboLineEnd = nullptr;
    QComboBox* ComboScrollback = nullptr;
    QComboBox* ComboEncoding = nullptr;
    QComboBox* ComboHexView = nullptr;
    QCheckBox* CheckBoxInputLine = nullptr;
    QCheckBox* CheckBoxTimestamps = nullptr;
    QCheckBox* CheckBoxWrap = nullptr;
    QCheckBox* CheckBoxControlMarks = nullptr;
    QCheckBox* CheckBoxAnsi = nullptr;
    QCheckBox* CheckBoxCounters = nullptr;
    QCheckBox* CheckBoxLocalEcho = nullptr;
    QCheckBox* CheckBoxFKeys = nullptr;
    QCheckBox* CheckBoxRestoreButtons = nullptr;
    QComboBox* ComboFlow = nullptr;
    QSpinBox* SpinBreakMs = nullptr;

    // LCD tab
    QPushButton* Button6 = nullptr;
    QPushButton* ButtonStopCapture = nullptr;
    QPushButton* ButtonSaveImage = nullptr;
    QCheckBox* CheckZoom = nullptr;
    QCheckBox* CheckBoxInvert = nullptr;
    QProgressBar* ProgressBarLCD = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    static constexpr int kMinWidth = 850;
    static constexpr int kMinHeight = 460;
    static constexpr int kButtonRowHeight = 17;  // the function buttons' row
    // The controls (TForm1Layout.cpp).
    void BuildMenus();
    void BuildStatusBar();
    QWidget* BuildTerminalTab();
    QWidget* BuildLoaderTab();
    QWidget* BuildSettingsTab();
    QWidget* BuildTerminalOptions();
    QWidget* BuildLcdTab();
    void ConnectFrame();
    // The terminal options as the controls show them, and back.
    TerminalOptions ShownTerminalOptions() const;
    void ShowTerminalOptions(const TerminalOptions& options);

    void MakeParts();
    void ShowNote(const std::string& text);
    void ReadSettings();
    void WriteSettings();
    void SetDisplayFont(const QFont& font, const QColor& color);
    void ApplyDisplayFont(const QFont& font, const QColor& color);
    bool TrayAvailable() const;
    void PumpTick();
    // The one notice of who holds the port, passed to every part.
    void PortHolderChanged(PortUser holder);
    // After a run or a capture: the session follows the port, and a close
    // asked for meanwhile happens.
    void LongOperationEnded();
    void RunDeferredClose();

    FormEnvironment env_;
    std::unique_ptr<FormServices> services_;
    std::unique_ptr<NmeaWriter> nmea_;
    std::unique_ptr<TerminalSession> session_;
    std::unique_ptr<TerminalInput> input_;
    std::unique_ptr<TerminalTools> tools_;
    std::unique_ptr<TransferWidgets> transferWidgets_;
    std::unique_ptr<TerminalTransfer> transfer_;
    std::unique_ptr<LoaderPage> loaderPage_;
    std::unique_ptr<LcdPage> lcdPage_;
    std::unique_ptr<PlotPage> plotPage_;
    int savedComIndex_ = -1;
    std::string savedComPort_;
    bool initMax_ = false;
    QString fontName_;
    int fontSize_ = 14;
    QColor fontColor_;
    QFont::Weight fontWeight_ = QFont::Normal;
    bool fontItalic_ = false;
    Frame customFrame_;
    int lastBitsIndex_ = kFrameN81;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool settingsWritten_ = false;
    bool closePending_ = false;
    bool exitPending_ = false;
    PumpWaker* pumpWaker_ = nullptr;
    std::size_t lastTickBytes_ = 0;  // received by the last pump tick
};

// The handlers of the eight buttons and caption fields, by number - 1.
inline constexpr void (TForm1::*kButtonStrClicks[8])() = {
    &TForm1::ButtonStr1Click, &TForm1::ButtonStr2Click, &TForm1::ButtonStr3Click, &TForm1::ButtonStr4Click,
    &TForm1::ButtonStr5Click, &TForm1::ButtonStr6Click, &TForm1::ButtonStr7Click, &TForm1::ButtonStr8Click};
inline constexpr void (TForm1::*kEditBCChanges[8])() = {
    &TForm1::EditBC1Change, &TForm1::EditBC2Change, &TForm1::EditBC3Change, &TForm1::EditBC4Change,
    &TForm1::EditBC5Change, &TForm1::EditBC6Change, &TForm1::EditBC7Change, &TForm1::EditBC8Change};

}  // namespace quennet
