#pragma once
#include <QObject>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "terminal/ReceivePump.h"
#include "terminal/transfer/TransferSettings.h"
#include "terminal/transfer/ZmodemFrames.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSocketNotifier;
class QSpinBox;
class QStatusBar;
class QTimer;
class QWidget;

namespace quennet {

class FormServices;
class TerminalMemo;
class Transfer;

// The controls of the file transfers.
struct TransferWidgets {
    TerminalMemo* Memo1 = nullptr;
    QComboBox* ComboBaud = nullptr;          // read for the line's pace
    QComboBox* ComboReceiveFile = nullptr;   // the protocol a receive uses
    QPushButton* ButtonReceiveFile = nullptr;
    QProgressBar* ProgressBarTransfer = nullptr;
    QLabel* LabelTransfer = nullptr;         // file, bytes, rate, time left
    QLineEdit* EditReceiveFolder = nullptr;
    QPushButton* ButtonBrowseReceiveFolder = nullptr;
    QCheckBox* CheckBoxAutoStart = nullptr;
    QSpinBox* SpinByteLimit = nullptr;       // MiB, 0 for no limit
};

// Builds the controls under their names: the receive box that stands beside
// "Send File", the settings group, and the progress in the status bar.
QWidget* BuildReceiveBox(TransferWidgets& w);
QWidget* BuildTransferSettings(TransferWidgets& w);
void BuildTransferStatus(TransferWidgets& w, QStatusBar* bar);

// File transfers by XMODEM, YMODEM and ZMODEM in the terminal: started by
// "Send File" (a protocol mode), "Receive File", or the far end's ZMODEM
// start; driven by a timer of their own while they hold the port, the
// receive pump held meanwhile, so no byte of a transfer reaches the display
// or the log. The end line of each transfer goes to the display.
class TerminalTransfer : public QObject {
public:
    struct Hooks {
        std::function<void(bool on)> sending;  // a send by protocol runs: "STOP Send"
        std::function<void()> ended;           // the port is the terminal's again
    };

    TerminalTransfer(ComPort& port, FormServices& services, const TransferWidgets& widgets, QObject* parent);
    ~TerminalTransfer() override;

    Hooks hooks;

    // "Send File" in a protocol mode: the files named in the field (several
    // as "a" "b"). False when the mode is none of the protocols.
    bool StartSend(int modeIndex, const std::string& files);
    void ButtonReceiveFileClick();
    void ButtonBrowseReceiveFolderClick();
    void HolderChanged(PortUser holder);
    // Stop and Esc: cancels by the protocol, the far end told.
    void Stop();
    bool Running() const { return transfer_ != nullptr; }
    // The port is about to close or has gone: the transfer ends at once.
    void PortClosing();

    // The pump's look at each received chunk: how many of its bytes are the
    // terminal's (the rest starts a ZMODEM transfer of the far end).
    ReceivePump::Claim Watch(const std::uint8_t* bytes, std::size_t n);
    // After the pump's tick: an offer found by Watch is made.
    void AfterPumpTick();

    TransferSettings Settings() const;
    void ShowSettings(const TransferSettings& settings);
    // Where YMODEM and ZMODEM files go unless the user chose a folder.
    static std::string DefaultFolder();

private:
    enum class Direction { Send, Receive };
    bool Begin(std::unique_ptr<Transfer> transfer, Direction direction, const std::string& protocol);
    void Tick();
    void Finish();
    std::size_t WriteBudget(std::uint64_t nowMs);
    void WriteOutput(std::uint64_t nowMs, bool all);
    void AnswerQuestion();
    void ShowLines();
    void ShowProgress(bool force);
    void Offer();
    void Decline();
    std::optional<std::string> ReceiveFolder();
    std::uint64_t ByteLimit() const;
    std::uint64_t NowMs();
    double BytesPerMs() const;
    void ShowLine(const std::string& line);

    ComPort& port_;
    FormServices& services_;
    TransferWidgets w_;
    QTimer* timer_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::unique_ptr<Transfer> transfer_;
    Direction direction_ = Direction::Send;
    std::string protocol_;        // its name, before each line
    std::size_t linesShown_ = 0;
    bool inTick_ = false;
    double inFlight_ = 0;         // bytes written and, by the line's pace, not yet gone
    std::uint64_t lastWriteMs_ = 0;
    std::uint64_t lastProgressMs_ = 0;
    bool zmodemReceive_ = false;

    // The far end's ZMODEM start.
    zmodem::StartDetector detector_;
    std::vector<std::uint8_t> recent_;   // the last bytes the pump showed
    std::optional<zmodem::StartDetector::Found> offer_;
    bool offerScheduled_ = false;
    std::vector<std::uint8_t> pending_;  // the far end's bytes from its header on
    std::uint64_t mutedUntilMs_ = 0;     // after a declined offer
    int swallowOver_ = 0;                // the 'O's of a ZMODEM sender's goodbye still to come
};

}  // namespace quennet
