// The terminal's tools: function buttons, "Send Hex", button-set files, file
// send and the receive log.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "terminal/ButtonSend.h"
#include "terminal/ButtonSet.h"
#include "terminal/Charset.h"
#include "terminal/FileSend.h"
#include "terminal/LogFile.h"
#include "terminal/Nmea.h"

namespace quennet {

namespace {

constexpr const char* kButFilter = "BUT files (*.but)|*.but";
constexpr const char* kAllFilter = "All files (*.*)|*.*";
constexpr const char* kLogFilter = "Log files (*.log)|*.log|All files (*.*)|*.*";

// The handlers of the eight buttons and caption fields, by number - 1.
using Handler = void (TForm1::*)();
constexpr Handler kButtonStrClick[8] = {&TForm1::ButtonStr1Click, &TForm1::ButtonStr2Click, &TForm1::ButtonStr3Click,
                                        &TForm1::ButtonStr4Click, &TForm1::ButtonStr5Click, &TForm1::ButtonStr6Click,
                                        &TForm1::ButtonStr7Click, &TForm1::ButtonStr8Click};
constexpr Handler kEditBCChange[8] = {&TForm1::EditBC1Change, &TForm1::EditBC2Change, &TForm1::EditBC3Change,
                                      &TForm1::EditBC4Change, &TForm1::EditBC5Change, &TForm1::EditBC6Change,
                                      &TForm1::EditBC7Change, &TForm1::EditBC8Change};

}  // namespace

std::string ToEightBit(const QString& text) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(text.size()));
    for (char32_t ch : text.toUcs4()) {
        const int b = TypedCharToByte(ch);
        bytes.push_back(static_cast<char>(b >= 0 ? b : '?'));
    }
    return bytes;
}

QString FromEightBit(const std::string& bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char b : bytes) {
        // Control codes stay themselves in a text field.
        const char32_t ch = (b < 0x20 || b == 0x7F) ? char32_t(b) : ByteToDisplayChar(b);
        text.append(QChar(static_cast<char16_t>(ch)));
    }
    return text;
}

void TForm1::WireTools() {
    for (int i = 0; i < 8; ++i) {
        const Handler click = kButtonStrClick[i], change = kEditBCChange[i];
        connect(ButtonStr[i], &QPushButton::clicked, this,
                [this, click] { Guarded([this, click] { (this->*click)(); }); });
        connect(EditBC[i], &QLineEdit::textChanged, this,
                [this, change] { Guarded([this, change] { (this->*change)(); }); });
    }
    connect(Button3, &QPushButton::clicked, this, [this] { Guarded([this] { Button3Click(); }); });
    connect(CheckBoxFHex, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxFHexClick(); }); });
    connect(CheckBoxCRCNMEA, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxCRCNMEAClick(); }); });
    connect(ButtonLoad1, &QAction::triggered, this, [this] { Guarded([this] { ButtonLoad1Click(); }); });
    connect(ButtonSave1, &QAction::triggered, this, [this] { Guarded([this] { ButtonSave1Click(); }); });
    connect(ButtonBrowseSendFile, &QPushButton::clicked, this,
            [this] { Guarded([this] { ButtonBrowseSendFileClick(); }); });
    connect(ButtonSendFile, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonSendFileClick(); }); });
    connect(CheckBoxLogFile, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxLogFileClick(); }); });
    connect(ButtonBrowseLogFile, &QPushButton::clicked, this,
            [this] { Guarded([this] { ButtonBrowseLogFileClick(); }); });
    SaveDialog1.filter = kButFilter;
}

std::optional<std::string> TForm1::RunOpenDialog(const std::string& filter, const std::string& proposed) {
    OpenDialog1.filter = filter;
    OpenDialog1.fileName = proposed;
    if (!env_.openFileDialog) return std::nullopt;
    auto chosen = env_.openFileDialog(filter, proposed);
    if (chosen) OpenDialog1.fileName = *chosen;
    return chosen;
}

std::optional<std::string> TForm1::RunSaveDialog(const std::string& proposed) {
    SaveDialog1.fileName = proposed;
    if (!env_.saveFileDialog) return std::nullopt;
    auto chosen = env_.saveFileDialog(SaveDialog1.filter, proposed);
    if (chosen) SaveDialog1.fileName = *chosen;
    return chosen;
}

// ------------------------------------------------------- function buttons

void TForm1::ButtonStrClick(int n) {
    if (n < 1 || n > 8 || !TerminalHoldsPort()) return;
    SendButtonString(port(), *Memo1, *nmea_, ToEightBit(EditBV[n - 1]->text()), CheckBoxFHex->isChecked(),
                     CheckBoxCRCNMEA->isChecked(), CheckBoxHex->isChecked());
    Memo1->setFocus();
}

void TForm1::Memo1KeyDown(int key, Qt::KeyboardModifiers) {
    if (key >= Qt::Key_F1 && key <= Qt::Key_F8) (this->*kButtonStrClick[key - Qt::Key_F1])();
}

void TForm1::Button3Click() {
    if (!TerminalHoldsPort()) return;
    if (SendButtonString(port(), *Memo1, *nmea_, ToEightBit(Edit2->text()), true, false, CheckBoxHex->isChecked()))
        Memo1->setFocus();
}

void TForm1::CheckBoxFHexClick() {
    CheckBoxCRCNMEA->setEnabled(!CheckBoxFHex->isChecked());
}

void TForm1::CheckBoxCRCNMEAClick() {
    CheckBoxFHex->setEnabled(!CheckBoxCRCNMEA->isChecked());
}

void TForm1::EditBCChange(int n) {
    if (n < 1 || n > 8) return;
    ButtonStr[n - 1]->setText(EditBC[n - 1]->text());
}

// ------------------------------------------------------------ button sets

void TForm1::ButtonLoad1Click() {
    const auto chosen = RunOpenDialog(kButFilter, OpenDialog1.fileName);
    if (!chosen) return;
    const ButtonSet set = LoadButtonSet(ButtonSetFileName(*chosen));
    // Setting the boxes runs their click handlers, so the enabling follows.
    CheckBoxFHex->setChecked(set.hex);
    CheckBoxCRCNMEA->setChecked(set.nmea);
    // A file may hold longer texts than typing allows; they are taken whole.
    for (int i = 0; i < 8; ++i) {
        const QString caption = FromEightBit(set.captions[static_cast<std::size_t>(i)]);
        EditBC[i]->setMaxLength(std::max(16, static_cast<int>(caption.size())));
        EditBC[i]->setText(caption);
    }
    for (int i = 0; i < 8; ++i) {
        const QString value = FromEightBit(set.values[static_cast<std::size_t>(i)]);
        EditBV[i]->setMaxLength(std::max(200, static_cast<int>(value.size())));
        EditBV[i]->setText(value);
    }
}

void TForm1::ButtonSave1Click() {
    const auto chosen = RunSaveDialog(SaveDialog1.fileName);
    // The button keys go into the file; its other sections stay.
    if (!chosen || !ConfirmWriteInto(ButtonSetFileName(*chosen))) return;
    ButtonSet set;
    set.hex = CheckBoxFHex->isChecked();
    set.nmea = CheckBoxCRCNMEA->isChecked();
    for (std::size_t i = 0; i < 8; ++i) {
        set.captions[i] = ToEightBit(EditBC[i]->text());
        set.values[i] = ToEightBit(EditBV[i]->text());
    }
    SaveButtonSet(ButtonSetFileName(*chosen), set);
}

// -------------------------------------------------------------- file send

void TForm1::ButtonBrowseSendFileClick() {
    const auto chosen = RunOpenDialog(kAllFilter, EditBrowseSendFile->text().toStdString());
    if (!chosen) return;
    EditBrowseSendFile->setFocus();
    EditBrowseSendFile->setText(QString::fromStdString(*chosen));
}

void TForm1::ButtonSendFileClick() {
    if (fileSender_->Running()) {
        fileSender_->Stop();
        ButtonSendFile->setText("Send File");
        Memo1->setFocus();
        return;
    }
    if (!TerminalHoldsPort()) return;
    switch (fileSender_->Start(port(), EditBrowseSendFile->text().toStdString(), ComboSendFile->currentIndex())) {
        case FileSender::StartResult::Started:
            ButtonSendFile->setText("STOP Send");
            Memo1->setFocus();
            break;
        case FileSender::StartResult::PortNotOpen:
            ShowMessage("Communication Port is not Open!");
            break;
        case FileSender::StartResult::CannotOpen:
            ShowMessage("Can't Open the File!");
            break;
        case FileSender::StartResult::InvalidMode:
            // Only a stored mode outside the list leaves it without a choice.
            ShowMessage("Choose a send mode (Raw or Compact SREC) on the Settings tab.");
            break;
    }
}

void TForm1::SendFileEnded(bool tbd) {
    ButtonSendFile->setText("Send File");
    if (tbd) ShowMessage("TBD");
    Memo1->setFocus();
}

// --------------------------------------------------------------- log file

void TForm1::CheckBoxLogFileClick() {
    if (CheckBoxLogFile->isChecked()) {
        if (!logFile_->Open(EditBrowseLogFile->text().toStdString())) {
            ShowMessage("Can't Open the Log File!");
            CheckBoxLogFile->setChecked(false);
        }
    } else {
        logFile_->Close();
    }
}

void TForm1::ButtonBrowseLogFileClick() {
    SaveDialog1.filter = kLogFilter;
    const auto chosen = RunSaveDialog(EditBrowseLogFile->text().toStdString());
    if (!chosen) return;
    EditBrowseLogFile->setFocus();
    EditBrowseLogFile->setText(QString::fromStdString(*chosen));
    CheckBoxLogFile->setChecked(false);
    logFile_->Close();
}

}  // namespace quennet
