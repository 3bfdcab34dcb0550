#pragma once
#include <functional>
#include <string>
#include <QObject>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "serial/ComPort.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

namespace quennet {

class FileSender;
class FormServices;
class LogFile;
class NmeaWriter;
class TerminalMemo;

// The controls of the terminal's tools.
struct ToolsWidgets {
    TerminalMemo* Memo1 = nullptr;
    QCheckBox* CheckBoxHex = nullptr;
    QWidget* ButtonRow = nullptr;
    QPushButton* ButtonStr[8] = {};
    QLineEdit* EditBC[8] = {};
    QLineEdit* EditBV[8] = {};
    QCheckBox* CheckBoxFHex = nullptr;
    QCheckBox* CheckBoxCRCNMEA = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* ButtonSendFile = nullptr;
    QComboBox* ComboSendFile = nullptr;
    QPushButton* ButtonBrowseSendFile = nullptr;
    QLineEdit* EditBrowseSendFile = nullptr;
    QCheckBox* CheckBoxLogFile = nullptr;
    QPushButton* ButtonBrowseLogFile = nullptr;
    QLineEdit* EditBrowseLogFile = nullptr;
    QCheckBox* CheckBoxLogTimestamps = nullptr;
};

// The terminal's tools: function buttons, "Send Hex", button-set files,
// file send and the receive log.
class TerminalTools : public QObject {
public:
    TerminalTools(ComPort& port, FormServices& services, NmeaWriter& nmea, const ToolsWidgets& widgets,
                  QObject* parent);
    ~TerminalTools() override;

    void ButtonStrClick(int n);  // the button of number n = 1..8
    void Button3Click();
    void CheckBoxFHexClick();
    void CheckBoxCRCNMEAClick();
    void EditBCChange(int n);  // caption field n = 1..8 changed
    void ButtonLoad1Click();
    // Loads a button-set file into the fields, as "Load Buttons" does.
    void LoadButtons(const std::string& path);
    // The button-set file last loaded or saved (kept in the settings file).
    std::string lastButtonSet;
    // Function buttons show their key before their caption.
    void ShowKeys(bool on);
    void ButtonSave1Click();
    void ButtonBrowseSendFileClick();
    void ButtonSendFileClick();
    void CheckBoxLogFileClick();
    void ButtonBrowseLogFileClick();

    FileSender& fileSender() { return *fileSender_; }
    bool Sending() const;
    // The one way a running file send ends early, by protocol or raw.
    void StopSend();
    // Sends by protocol are the transfer part's: "Send File" in such a mode
    // starts one there (true when the mode was a protocol), and stops it.
    std::function<bool(int mode, const std::string& files)> startTransfer;
    std::function<void()> stopTransfer;
    // A send by protocol runs: the button reads "STOP Send" and stays on.
    void TransferSending(bool on);
    // A step of a running file send, after a pump tick.
    void FileSendStep();
    // What the pump received goes to the log, which reaches its file at
    // the end of each tick that logged.
    void LogChunk(const std::uint8_t* bytes, std::size_t n);
    void FlushLog();
    void CloseLog();
    void HolderChanged(PortUser holder);

private:
    ComPort& port() { return port_; }
    bool TerminalHoldsPort() const { return port_.Owner().Holds(PortUser::Terminal); }
    void SendFileEnded(bool tbd);
    void StopRawSend();

    ComPort& port_;
    FormServices& services_;
    NmeaWriter& nmea_;
    ToolsWidgets w_;
    std::unique_ptr<FileSender> fileSender_;
    std::unique_ptr<LogFile> logFile_;
    bool showKeys_ = false;
    bool logWrote_ = false;  // this pump tick wrote to the log
    bool transferSending_ = false;
};

}  // namespace quennet
