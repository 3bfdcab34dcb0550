// The terminal's tools: function buttons, "Send Hex", button-set files, file
// send and the receive log.
#include "app/TerminalTools.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>

#include "app/FormControls.h"
#include "app/FormServices.h"
#include "app/TerminalMemo.h"
#include "terminal/ButtonSend.h"
#include "terminal/ButtonSet.h"
#include "terminal/FileSend.h"
#include "terminal/LogFile.h"
#include "terminal/Nmea.h"
#include "terminal/transfer/TransferSettings.h"

namespace quennet {

namespace {

constexpr const char* kButFilter = "BUT files (*.but)|*.but";
constexpr const char* kAllFilter = "All files (*.*)|*.*";
constexpr const char* kLogFilter = "Log files (*.log)|*.log|All files (*.*)|*.*";

}  // namespace

TerminalTools::TerminalTools(ComPort& port, FormServices& services, NmeaWriter& nmea, const ToolsWidgets& widgets,
                             QObject* parent)
    : QObject(parent),
      port_(port),
      services_(services),
      nmea_(nmea),
      w_(widgets),
      fileSender_(std::make_unique<FileSender>()),
      logFile_(std::make_unique<LogFile>()) {
    const auto wire = [this](auto* sender, auto signal, void (TerminalTools::*handler)()) {
        connect(sender, signal, this, [this, handler] { services_.Guarded([this, handler] { (this->*handler)(); }); });
    };
    wire(w_.Button3, &QPushButton::clicked, &TerminalTools::Button3Click);
    // Enter in the field sends, as the button does.
    wire(w_.Edit2, &QLineEdit::returnPressed, &TerminalTools::Button3Click);
    wire(w_.CheckBoxFHex, &QCheckBox::toggled, &TerminalTools::CheckBoxFHexClick);
    wire(w_.CheckBoxCRCNMEA, &QCheckBox::toggled, &TerminalTools::CheckBoxCRCNMEAClick);
    wire(w_.ButtonBrowseSendFile, &QPushButton::clicked, &TerminalTools::ButtonBrowseSendFileClick);
    wire(w_.ButtonSendFile, &QPushButton::clicked, &TerminalTools::ButtonSendFileClick);
    wire(w_.CheckBoxLogFile, &QCheckBox::toggled, &TerminalTools::CheckBoxLogFileClick);
    wire(w_.ButtonBrowseLogFile, &QPushButton::clicked, &TerminalTools::ButtonBrowseLogFileClick);
    services_.SaveDialog1.filter = kButFilter;
}

TerminalTools::~TerminalTools() = default;

void TerminalTools::HolderChanged(PortUser holder) {
    const bool terminal = holder == PortUser::Terminal;
    for (QWidget* w : std::initializer_list<QWidget*>{w_.Button3, w_.ButtonRow}) w->setEnabled(terminal);
    w_.ButtonSendFile->setEnabled(terminal || transferSending_);
    // A file send would go on into whatever the run leaves on the line.
    if (!terminal) StopRawSend();
}

// ------------------------------------------------------- function buttons

void TerminalTools::ButtonStrClick(int n) {
    if (n < 1 || n > 8 || !TerminalHoldsPort()) return;
    SendButtonString(port(), *w_.Memo1, nmea_, ToEightBit(w_.EditBV[n - 1]->text()), w_.CheckBoxFHex->isChecked(),
                     w_.CheckBoxCRCNMEA->isChecked(), w_.CheckBoxHex->isChecked());
    services_.WakePump();  // the counters follow
    w_.Memo1->setFocus();
}

void TerminalTools::Button3Click() {
    if (!TerminalHoldsPort()) return;
    const bool sent =
        SendButtonString(port(), *w_.Memo1, nmea_, ToEightBit(w_.Edit2->text()), true, false, w_.CheckBoxHex->isChecked());
    services_.WakePump();
    if (sent) w_.Memo1->setFocus();
}

void TerminalTools::CheckBoxFHexClick() {
    w_.CheckBoxCRCNMEA->setEnabled(!w_.CheckBoxFHex->isChecked());
}

void TerminalTools::CheckBoxCRCNMEAClick() {
    w_.CheckBoxFHex->setEnabled(!w_.CheckBoxCRCNMEA->isChecked());
}

void TerminalTools::EditBCChange(int n) {
    if (n < 1 || n > 8) return;
    const QString caption = w_.EditBC[n - 1]->text();
    w_.ButtonStr[n - 1]->setText(showKeys_ ? QString("F%1 %2").arg(n).arg(caption) : caption);
}

void TerminalTools::ShowKeys(bool on) {
    if (on == showKeys_) return;
    showKeys_ = on;
    for (int n = 1; n <= 8; ++n) EditBCChange(n);
}

// ------------------------------------------------------------ button sets

void TerminalTools::ButtonLoad1Click() {
    const auto chosen = services_.RunOpenDialog(kButFilter, services_.OpenDialog1.fileName);
    if (!chosen) return;
    LoadButtons(*chosen);
}

void TerminalTools::LoadButtons(const std::string& path) {
    lastButtonSet = ButtonSetFileName(path);
    const ButtonSet set = LoadButtonSet(lastButtonSet);
    // Setting the boxes runs their click handlers, so the enabling follows.
    w_.CheckBoxFHex->setChecked(set.hex);
    w_.CheckBoxCRCNMEA->setChecked(set.nmea);
    // A file may hold longer texts than typing allows; they are taken whole.
    for (int i = 0; i < 8; ++i) {
        const QString caption = FromEightBit(set.captions[static_cast<std::size_t>(i)]);
        w_.EditBC[i]->setMaxLength(std::max(16, static_cast<int>(caption.size())));
        w_.EditBC[i]->setText(caption);
    }
    for (int i = 0; i < 8; ++i) {
        const QString value = FromEightBit(set.values[static_cast<std::size_t>(i)]);
        w_.EditBV[i]->setMaxLength(std::max(200, static_cast<int>(value.size())));
        w_.EditBV[i]->setText(value);
    }
}

void TerminalTools::ButtonSave1Click() {
    const auto chosen = services_.RunSaveDialog(services_.SaveDialog1.fileName);
    // The button keys go into the file; its other sections stay.
    if (!chosen || !services_.ConfirmWriteInto(ButtonSetFileName(*chosen))) return;
    ButtonSet set;
    set.hex = w_.CheckBoxFHex->isChecked();
    set.nmea = w_.CheckBoxCRCNMEA->isChecked();
    for (std::size_t i = 0; i < 8; ++i) {
        set.captions[i] = ToEightBit(w_.EditBC[i]->text());
        set.values[i] = ToEightBit(w_.EditBV[i]->text());
    }
    SaveButtonSet(ButtonSetFileName(*chosen), set);
    lastButtonSet = ButtonSetFileName(*chosen);
}

// -------------------------------------------------------------- file send

void TerminalTools::ButtonBrowseSendFileClick() {
    // YMODEM and ZMODEM take several files at once.
    const int mode = w_.ComboSendFile->currentIndex();
    const FormEnvironment& env = services_.env();
    if ((mode == kFirstProtocolSendMode + static_cast<int>(TransferProtocol::Ymodem) ||
         mode == kFirstProtocolSendMode + static_cast<int>(TransferProtocol::Zmodem)) &&
        env.openFilesDialog) {
        const auto files = env.openFilesDialog(kAllFilter, w_.EditBrowseSendFile->text().toStdString());
        if (!files || files->empty()) return;
        w_.EditBrowseSendFile->setFocus();
        w_.EditBrowseSendFile->setText(QString::fromStdString(JoinSendFiles(*files)));
        return;
    }
    const auto chosen = services_.RunOpenDialog(kAllFilter, w_.EditBrowseSendFile->text().toStdString());
    if (!chosen) return;
    w_.EditBrowseSendFile->setFocus();
    w_.EditBrowseSendFile->setText(QString::fromStdString(*chosen));
}

bool TerminalTools::Sending() const { return fileSender_->Running(); }

void TerminalTools::StopSend() {
    if (transferSending_ && stopTransfer) stopTransfer();
    StopRawSend();
}

void TerminalTools::TransferSending(bool on) {
    transferSending_ = on;
    w_.ButtonSendFile->setText(on ? "STOP Send" : "Send File");
    w_.ButtonSendFile->setEnabled(on || TerminalHoldsPort());
}

void TerminalTools::StopRawSend() {
    if (!fileSender_->Running()) return;
    fileSender_->Stop();
    w_.ButtonSendFile->setText("Send File");
}

void TerminalTools::ButtonSendFileClick() {
    if (fileSender_->Running() || transferSending_) {
        StopSend();
        w_.Memo1->setFocus();
        return;
    }
    if (!TerminalHoldsPort()) return;
    if (startTransfer &&
        startTransfer(w_.ComboSendFile->currentIndex(), w_.EditBrowseSendFile->text().toStdString()))
        return;
    switch (fileSender_->Start(port(), w_.EditBrowseSendFile->text().toStdString(),
                               w_.ComboSendFile->currentIndex())) {
        case FileSender::StartResult::Started:
            services_.WakePump();  // the send goes out tick by tick
            w_.ButtonSendFile->setText("STOP Send");
            w_.Memo1->setFocus();
            break;
        case FileSender::StartResult::PortNotOpen:
            services_.ShowMessage("Communication Port is not Open!");
            break;
        case FileSender::StartResult::CannotOpen:
            services_.ShowMessage("Can't Open the File!");
            break;
        case FileSender::StartResult::InvalidMode:
            // Only a stored mode outside the list leaves it without a choice.
            services_.ShowMessage("Choose a send mode (Raw or Compact SREC) on the Settings tab.");
            break;
    }
}

void TerminalTools::FileSendStep() {
    if (!fileSender_->Running()) return;
    switch (fileSender_->Step(port(), port().clock())) {
        case FileSender::StepResult::Ended:
            SendFileEnded(false);
            break;
        case FileSender::StepResult::EndedTbd:
            SendFileEnded(true);
            break;
        default:
            break;
    }
}

void TerminalTools::SendFileEnded(bool tbd) {
    w_.ButtonSendFile->setText("Send File");
    if (tbd) services_.ShowMessage("TBD");
    w_.Memo1->setFocus();
}

// --------------------------------------------------------------- log file

void TerminalTools::CheckBoxLogFileClick() {
    if (w_.CheckBoxLogFile->isChecked()) {
        if (!logFile_->Open(w_.EditBrowseLogFile->text().toStdString())) {
            services_.ShowMessage(w_.EditBrowseLogFile->text().trimmed().isEmpty()
                                      ? "Can't Open the Log File!\nChoose a file under Log first."
                                      : "Can't Open the Log File!");
            w_.CheckBoxLogFile->setChecked(false);
        }
    } else {
        logFile_->Close();
    }
}

void TerminalTools::ButtonBrowseLogFileClick() {
    services_.SaveDialog1.filter = kLogFilter;
    const auto chosen = services_.RunSaveDialog(w_.EditBrowseLogFile->text().toStdString());
    if (!chosen) return;
    w_.EditBrowseLogFile->setFocus();
    w_.EditBrowseLogFile->setText(QString::fromStdString(*chosen));
    w_.CheckBoxLogFile->setChecked(false);
    logFile_->Close();
}

void TerminalTools::LogChunk(const std::uint8_t* bytes, std::size_t n) {
    const bool logging = w_.CheckBoxLogFile->isChecked();
    logWrote_ = logWrote_ || (logging && logFile_->IsOpen());
    const FormEnvironment& env = services_.env();
    if (logging && w_.CheckBoxLogTimestamps->isChecked() && logFile_->IsOpen())
        logFile_->WriteStamped(bytes, n, FormatTimeOfDay(env.timeOfDay ? env.timeOfDay() : 0));
    else
        LogReceivedBytes(*logFile_, logging, bytes, n);
}

void TerminalTools::FlushLog() {
    if (!logWrote_) return;
    logWrote_ = false;
    logFile_->Flush();
}

void TerminalTools::CloseLog() { logFile_->Close(); }

}  // namespace quennet
