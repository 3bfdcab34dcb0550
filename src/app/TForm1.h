#pragma once
#include <QClipboard>
#include <QImage>
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Ui.h"
#include "loader/Loader.h"
#include "serial/ComPort.h"
#include "serial/PortProblem.h"
#include "terminal/ReceiveView.h"
#include "terminal/TimeStamp.h"
#include "terminal/TypedSend.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QWidget;

namespace quennet {

class PortCombo;
class TerminalMemo;
class PumpWaker;
class IniFile;
class FileSender;
class LogFile;
class NmeaWriter;
class Loader;
class Memo2Log;
class LcdState;
class InputLine;
class FindBar;
class InputHistory;

// What the window needs from outside; tests replace every part of it.
struct FormEnvironment {
    std::string settingsPath;   // the settings file: NAME.INI beside the executable or in ~/.config/NAME
    ComPort* port = nullptr;    // the program's one serial port
    std::function<std::optional<std::vector<std::string>>()> listPorts = SystemSerialPorts;
    // A line to add to "Error opening" when the user may not use the port.
    std::function<std::string(const std::string& port)> portAccessHint = PortAccessHint;
    MessageBoxFn messageBox;                            // caption, text; OK button
    std::function<void(const std::string&)> errorBox;   // the standard error box
    // Font dialog: returns the chosen font, or nothing on Cancel.
    std::function<std::optional<QFont>(const QFont& current)> chooseFont;
    std::function<std::optional<QColor>(const QColor& current)> chooseColor;
    // Desktop services: tray availability and opening a document.
    std::function<bool()> trayAvailable;
    std::function<bool(const QString& path)> openDocument;
    // File dialogs: filter in the "Description (*.x)|*.x|..." form, the
    // proposed name; the chosen path, or nothing on Cancel.
    using FileDialogFn = std::function<std::optional<std::string>(const std::string& filter,
                                                                  const std::string& proposed)>;
    FileDialogFn openFileDialog;
    FileDialogFn saveFileDialog;
    // Asks where a raw binary file is loaded, proposing an address; the
    // address, or nothing on Cancel.
    std::function<std::optional<std::uint32_t>(const std::string& file, std::uint32_t proposed)>
        askFlashAddress;
    // Why the port of that name could not be opened ("was not found", ...).
    std::function<std::string(const std::string& port)> explainOpenFailure = ExplainOpenFailure;
    // Whether the device of that name is there to be opened again.
    std::function<bool(const std::string& port)> portPresent = PortNamePresent;
    // Asks before a file is replaced (the file's path); true for Yes.
    // Nothing set counts as Yes, as the save dialogs of the system ask
    // themselves.
    std::function<bool(const std::string& path)> confirmOverwrite;
    // A question with Yes and No (caption, text); true for Yes. Nothing
    // set counts as No.
    std::function<bool(const std::string& caption, const std::string& text)> askYesNo;
    // The time of day of the terminal's time stamps.
    TimeOfDayFn timeOfDay = LocalTimeOfDayMs;
};

// A shared file dialog's memory: the filter set last and the name last chosen.
struct FileDialogState {
    std::string filter;
    std::string fileName;
};

// The main window.
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

    // ---- terminal options (TForm1Terminal.cpp) ----
    // Any control of the "Terminal" group changed: the display, the input
    // line and the counters follow.
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
    std::size_t DisplayLimit() const { return displayLimit_; }
    const PacedSender& pacedSender() const { return *paced_; }
    // The counters of the status bar: bytes received by the terminal and
    // sent by it (typing, pasting, buttons, file send) since "Clear".
    std::uint64_t ReceivedCount() const { return received_; }
    std::uint64_t SentCount() const;
    // The input line's history file: the settings file's name with
    // ".history" for its extension.
    std::string HistoryPath() const;

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
    QCheckBox* CheckBoxLogTimestamps = nullptr;
    InputLine* EditInput = nullptr;
    FindBar* FindBar1 = nullptr;
    QLabel* LabelCounters = nullptr;
    // ---- end of terminal options ----

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
    void EditBCChange(int n);    // caption field n = 1..8 changed
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
    QPushButton* ButtonStop = nullptr;
    QPushButton* ButtonStopCapture = nullptr;
    QShortcut* StopShortcut = nullptr;
    QProgressBar* ProgressBarRun = nullptr;  // status bar: blocks of a run done
    QLabel* LabelTimeLeft = nullptr;

    // ---- a lost device (TForm1Port.cpp) ----
    // The open device went away: the session closes and, with "Reopen
    // automatically", waits for the same path to come back.
    void PortLost();
    void ReopenTick();
    bool ReopenWaiting() const { return reopenName_.has_value(); }
    QCheckBox* CheckBoxReopen = nullptr;
    QLabel* LabelPortState = nullptr;  // status bar: the port's own news
    QTimer* ReopenTimer = nullptr;

    // ---- LCD capture (TForm1Lcd.cpp) ----
    void Button6Click();
    void ButtonSaveImageClick();
    void CheckZoomClick();
    void CheckBoxInvertClick();
    void TabSheetLCDShow();
    void DrawLcdPicture(int w, int h, int z);
    LcdState& lcd() { return *lcd_; }
    FileDialogState SavePictureDialog1;
    QPushButton* Button6 = nullptr;
    QPushButton* ButtonSaveImage = nullptr;
    QCheckBox* CheckZoom = nullptr;
    QCheckBox* CheckBoxInvert = nullptr;
    QProgressBar* ProgressBarLCD = nullptr;
    QFrame* Panel1 = nullptr;
    QLabel* Image1 = nullptr;
    QImage LcdPicture;  // what Image1 shows
    // ---- end of LCD capture ----

    FileSender& fileSender() { return *fileSender_; }
    LogFile& logFile() { return *logFile_; }
    NmeaWriter& nmeaWriter() { return *nmea_; }
    Loader& loader() { return *loader_; }
    FileDialogState OpenDialog1;
    FileDialogState SaveDialog1;

    // The settings file's font values as stored (the shown font may differ
    // when the stored family is not installed).
    QString displayFontName() const { return fontName_; }
    int displayFontSize() const { return fontSize_; }
    QColor displayFontColor() const { return fontColor_; }

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
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button3 = nullptr;
    QWidget* ButtonRow = nullptr;
    QPushButton* ButtonStr[8] = {};
    TerminalMemo* Memo1 = nullptr;
    QTimer* Timer1 = nullptr;

    QComboBox* ComboTarget = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button7 = nullptr;
    QCheckBox* CheckBoxVerify = nullptr;
    QCheckBox* CheckBoxReset = nullptr;
    QCheckBox* CheckBoxToggleTCK = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QLabel* LabelPortHolder = nullptr;  // status bar: who holds the port

    QComboBox* ComboSendFile = nullptr;
    QPushButton* ButtonBrowseSendFile = nullptr;
    QLineEdit* EditBrowseSendFile = nullptr;
    QCheckBox* CheckBoxLogFile = nullptr;
    QPushButton* ButtonBrowseLogFile = nullptr;
    QLineEdit* EditBrowseLogFile = nullptr;
    QLineEdit* EditBC[8] = {};
    QLineEdit* EditBV[8] = {};
    QCheckBox* CheckBoxFHex = nullptr;
    QCheckBox* CheckBoxCRCNMEA = nullptr;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildMenus();
    QWidget* BuildTerminalTab();
    QWidget* BuildLoaderTab();
    QWidget* BuildSettingsTab();
    QWidget* BuildLcdTab();
    void ReadSettings();
    void WriteSettings();
    void ApplyDisplayFont(const QFont& font, const QColor& color);
    void ShowMessage(const std::string& text);
    void SetChoosersEnabled(bool enabled);
    // Closes the port; the pump's notifier lets go of the descriptor first.
    void ClosePort();
    void WireReopen();
    void CancelReopen();
    bool TrayAvailable() const;
    std::string OpenFailureText(const std::string& name, std::uint32_t baud, int result) const;
    void ShowRunProgress(const RunProgress& progress);
    bool ConfirmOverwrite(const std::string& path) const;
    void PortHolderChanged(PortUser holder);
    void SessionFollowsPort();
    void RunDeferredClose();
    void WireTools();
    void WireLoader();
    std::optional<std::string> RunOpenDialog(const std::string& filter, const std::string& proposed);
    std::optional<std::string> RunSaveDialog(const std::string& proposed);
    void SendFileEnded(bool tbd);
    LoaderInputs LoaderSnapshot() const;
    // For a raw binary (a name ending in .bin) to be programmed: asks for
    // its load address.
    void AskBinaryAddress(LoaderInputs& inputs);
    void BeginLoaderClick();
    void FinishLoaderClick();
    // Terminal options (TForm1Terminal.cpp)
    QWidget* BuildTerminalOptions();
    void WireTerminal();
    void ReadTerminalOptions(const IniFile& ini);
    void WriteTerminalOptions(IniFile& ini);
    void ApplyWrap();
    void SendKeys(std::string_view bytes);
    void PacedStep();
    void CountersChanged();
    void ShowCounters();
    void TerminalPortHolderChanged(bool terminal);
    void LogChunk(const std::uint8_t* bytes, std::size_t n);

    FormEnvironment env_;
    int savedComIndex_ = -1;
    std::string savedComPort_;
    bool initMax_ = false;
    QString fontName_;
    int fontSize_ = 14;
    QColor fontColor_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool settingsWritten_ = false;
    bool closePending_ = false;
    bool exitPending_ = false;
    bool lcdStopRequested_ = false;
    bool logWrote_ = false;  // this pump tick wrote to the log
    // The session to reopen when its device comes back.
    struct LostSession {
        std::string name;
        QString baud;
        int format = -1;
        DeviceReturn device{"", {}};  // the device itself, to know it again
    };
    std::optional<LostSession> reopenName_;
    std::unique_ptr<NmeaWriter> nmea_;
    std::unique_ptr<FileSender> fileSender_;
    PumpWaker* pumpWaker_ = nullptr;
    std::size_t lastTickBytes_ = 0;  // received by the last pump tick
    std::unique_ptr<LogFile> logFile_;
    std::unique_ptr<Memo2Log> memo2Log_;
    std::unique_ptr<Loader> loader_;
    // LCD capture (TForm1Lcd.cpp)
    void WireLcd();
    void EndLcdCapture();
    std::unique_ptr<LcdState> lcd_;
    // Terminal options (TForm1Terminal.cpp)
    std::unique_ptr<ReceiveView> view_;
    std::unique_ptr<PacedSender> paced_;
    std::unique_ptr<InputHistory> history_;
    bool historyChanged_ = false;
    std::uint32_t pacedRate_ = 960;  // characters a second of the open port
    std::size_t displayLimit_ = 16000;
    std::uint64_t received_ = 0;
    std::uint64_t sentExcluded_ = 0;  // written by runs and captures, and before "Clear"
    std::uint64_t heldSince_ = 0;     // the write count when a run took the port
    bool held_ = false;
    std::uint64_t countedWritten_ = 0;  // the write count the counters last saw
    QTimer* countersTimer_ = nullptr;
};

// Button values and button-set files are 8-bit text: Latin-1, with the
// Windows-1252 characters in 0x80-0x9F. A character with no 8-bit code
// becomes "?".
std::string ToEightBit(const QString& text);
QString FromEightBit(const std::string& bytes);

// The entry an editable chooser stands at: -1 when its text was typed over
// with something that is none of its entries.
int EffectiveIndex(const QComboBox* combo);

// Colours in the settings file are 0x00BBGGRR.
long ColorToSetting(const QColor& color);
QColor ColorFromSetting(long value);

}  // namespace quennet
