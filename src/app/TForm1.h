#pragma once
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Ui.h"
#include "serial/ComPort.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QWidget;

namespace quennet {

class PortCombo;
class TerminalMemo;
class IniFile;

// What the window needs from outside; tests replace every part of it.
struct FormEnvironment {
    std::string settingsPath;   // the settings file, NAME.INI beside the executable
    ComPort* port = nullptr;    // the program's one serial port
    std::function<std::optional<std::vector<std::string>>()> listPorts = SystemSerialPorts;
    MessageBoxFn messageBox;                            // caption, text; OK button
    std::function<void(const std::string&)> errorBox;   // the standard error box
    // Font dialog: returns the chosen font, or nothing on Cancel.
    std::function<std::optional<QFont>(const QFont& current)> chooseFont;
    std::function<std::optional<QColor>(const QColor& current)> chooseColor;
    // Desktop services: tray availability and opening a document.
    std::function<bool()> trayAvailable;
    std::function<bool(const QString& path)> openDocument;
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

    // The settings file's font values as stored (the shown font may differ
    // when the stored family is not installed).
    QString displayFontName() const { return fontName_; }
    int displayFontSize() const { return fontSize_; }
    QColor displayFontColor() const { return fontColor_; }

    ComPort& port() { return *env_.port; }
    QTimer* timer() const { return Timer1; }
    QSystemTrayIcon* trayIcon() const { return trayIcon_; }

    // Runs a handler; an exception that escapes it goes to the error box.
    void Guarded(const std::function<void()>& handler);

    // Controls, by their form names.
    QTabWidget* PageControl1 = nullptr;
    QWidget* TabTerminal = nullptr;
    QWidget* TabLoader = nullptr;
    QWidget* TabSettings = nullptr;
    QWidget* TabLcd = nullptr;
    QAction* LoadButtons1 = nullptr;
    QAction* SaveButtons1 = nullptr;
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

    FormEnvironment env_;
    int savedComIndex_ = -1;
    bool initMax_ = false;
    QString fontName_;
    int fontSize_ = 14;
    QColor fontColor_;
    QSystemTrayIcon* trayIcon_ = nullptr;
    bool settingsWritten_ = false;
};

// Reads "COM baud" text the way the terminal does: optional blanks and sign,
// then decimal digits up to the first other character; no digits give 0.
std::uint32_t BaudFromText(const std::string& text);

// Colours in the settings file are 0x00BBGGRR.
long ColorToSetting(const QColor& color);
QColor ColorFromSetting(long value);

}  // namespace quennet
