// The Serial Flash Loader tab and "Quick Program": the window's side of a
// programming run. The run itself, its log lines and the port hand-over are
// the loader core's.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <filesystem>

#include "app/Memo2Log.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "loader/FirmwareCheck.h"

namespace quennet {

namespace {

// The D filter first, as it always was; then one per format read, then all.
constexpr const char* kFirmwareFilter =
    "D files (*.d)|*.d|"
    "S-records (*.s19 *.s28 *.s37 *.srec *.mot)|*.s19;*.s28;*.s37;*.srec;*.mot|"
    "Intel HEX (*.hex *.ihx)|*.hex;*.ihx|"
    "ELF executables (*.elf *.axf *.out)|*.elf;*.axf;*.out|"
    "TI-TXT (*.txt)|*.txt|"
    "Raw binary (*.bin)|*.bin|"
    "All files (*.*)|*.*";

}  // namespace

int EffectiveIndex(const QComboBox* combo) {
    // In an editable chooser the text is what counts: a typed text that is
    // none of the entries means no entry is chosen.
    const int index = combo->currentIndex();
    if (!combo->isEditable() || (index >= 0 && combo->itemText(index) == combo->currentText())) return index;
    return combo->findText(combo->currentText(), Qt::MatchExactly);
}

void TForm1::WireLoader() {
    LoaderHost host{port(), *memo2Log_, [this] { Timer1->stop(); }, [this] { Timer1->start(); },
                    [] { QCoreApplication::processEvents(QEventLoop::AllEvents); }};
    loader_ = std::make_unique<Loader>(std::move(host));
    connect(Button1, &QPushButton::clicked, this, [this] { Guarded([this] { Button1Click(); }); });
    connect(Button2, &QPushButton::clicked, this, [this] { Guarded([this] { Button2Click(); }); });
    connect(Button5, &QPushButton::clicked, this, [this] { Guarded([this] { Button5Click(); }); });
    connect(Button7, &QPushButton::clicked, this, [this] { Guarded([this] { Button7Click(); }); });
    connect(CheckBoxReset, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxResetClick(); }); });
}

LoaderInputs TForm1::LoaderSnapshot() const {
    LoaderInputs in;
    in.firmwarePath = Edit1->text().toStdString();
    in.verify = CheckBoxVerify->isChecked();
    in.invertDtr = CheckBoxReset->isChecked();
    in.toggleTck = CheckBoxToggleTCK->isChecked();
    in.targetIndex = EffectiveIndex(ComboTarget);
    in.terminalPort = ComboComPort->currentText().toStdString();
    in.terminalBaud = ComboBaud->currentText().toStdString();
    in.terminalFormat = EffectiveIndex(ComboBits);
    return in;
}

void TForm1::AskBinaryAddress(LoaderInputs& inputs) {
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    // Only a run that will read the file needs the address.
    if (!target || !target->program || !port().IsOpen() || !NamesRawBinary(inputs.firmwarePath) ||
        !env_.askFlashAddress)
        return;
    std::error_code ec;
    const auto size = std::filesystem::file_size(inputs.firmwarePath, ec);
    inputs.binaryAddress =
        env_.askFlashAddress(inputs.firmwarePath, ProposedBinaryAddress(*target, ec ? 0 : size));
}

void TForm1::BeginLoaderClick() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Memo2->setFocus();
}

void TForm1::FinishLoaderClick() {
    QApplication::restoreOverrideCursor();
    SessionFollowsPort();
    RunDeferredClose();
}

void TForm1::Button1Click() {
    if (!TerminalHoldsPort()) return;  // one long operation at a time
    LoaderInputs inputs = LoaderSnapshot();
    AskBinaryAddress(inputs);
    BeginLoaderClick();
    loader_->StartProgram(inputs);
    // An STM32 with read-out protection: removing it erases the part, so
    // only the user's Yes starts a second run that does.
    if (loader_->ReadoutProtected && env_.askYesNo &&
        env_.askYesNo("Quennet", "The STM32's read-out protection is on.\n\nRemove it? This erases the whole "
                                 "flash of the part before the new firmware is written.")) {
        inputs.unprotect = true;
        loader_->StartProgram(inputs);
    }
    FinishLoaderClick();
}

void TForm1::Button7Click() {
    if (!TerminalHoldsPort()) return;
    BeginLoaderClick();
    loader_->DeviceInfo(LoaderSnapshot());
    FinishLoaderClick();
}

void TForm1::Button5Click() {
    if (!TerminalHoldsPort()) return;
    PageControl1->setCurrentIndex(1);
    Button1Click();
    if (loader_->LastRunResult == 0) PageControl1->setCurrentIndex(0);
}

void TForm1::Button2Click() {
    const auto chosen = RunOpenDialog(kFirmwareFilter, Edit1->text().toStdString());
    if (!chosen) return;
    Edit1->setFocus();
    Edit1->setText(QString::fromStdString(*chosen));
}

void TForm1::CheckBoxResetClick() {
    loader_->ApplyInvertDtr(CheckBoxReset->isChecked());
}

}  // namespace quennet
