// The Serial Flash Loader tab and "Quick Program": the window's side of a
// programming run. The run itself, its log lines and the port hand-over are
// the loader core's.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>
#include <filesystem>

#include "app/Memo2Log.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "core/ScopeExit.h"
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

constexpr const char* kDeviceInfoQuestion =
    "Device Info. erases the whole flash of the MSP430: its bootstrap loader answers only after a "
    "password, and the one password known beforehand is that of an erased part.\n\n"
    "Erase the part and read its device info?";

bool RunsMsp430(const LoaderTarget* target) {
    return target && target->program == &TargetSequences::programMsp430;
}

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
                    [] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
                    [this](const RunProgress& p) { ShowRunProgress(p); }};
    loader_ = std::make_unique<Loader>(std::move(host));
    connect(ButtonStop, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonStopClick(); }); });
    connect(ButtonStopCapture, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonStopClick(); }); });
    // Esc belongs to the terminal (it sends ESC) except while a long
    // operation holds the port.
    StopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    StopShortcut->setObjectName("StopShortcut");
    StopShortcut->setContext(Qt::WindowShortcut);
    StopShortcut->setEnabled(false);
    connect(StopShortcut, &QShortcut::activated, this, [this] { Guarded([this] { ButtonStopClick(); }); });
    connect(ComboTarget, &QComboBox::currentIndexChanged, this, [this] { UpdateLoaderControls(); });
    connect(ComboTarget, &QComboBox::editTextChanged, this, [this] { UpdateLoaderControls(); });
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

bool TForm1::AskBinaryAddress(LoaderInputs& inputs) {
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    // Only a run that will read the file needs the address.
    if (!target || !target->program || !port().IsOpen() || !NamesRawBinary(inputs.firmwarePath) ||
        !env_.askFlashAddress)
        return true;
    std::error_code ec;
    const auto size = std::filesystem::file_size(inputs.firmwarePath, ec);
    inputs.binaryAddress =
        env_.askFlashAddress(inputs.firmwarePath, ProposedBinaryAddress(*target, ec ? 0 : size));
    return inputs.binaryAddress.has_value();
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
    // Cancel in the address dialog cancels the run: nothing is touched.
    if (!AskBinaryAddress(inputs)) return;
    BeginLoaderClick();
    // The end of the click, however the run ends.
    AtExit finish([this] { FinishLoaderClick(); });
    loader_->StartProgram(inputs);
    // An STM32 with read-out protection: removing it erases the part, so
    // only the user's Yes starts a second run that does.
    if (loader_->ReadoutProtected && !closePending_ && !exitPending_ && env_.askYesNo &&
        env_.askYesNo("Quennet", "The STM32's read-out protection is on.\n\nRemove it? This erases the whole "
                                 "flash of the part before the new firmware is written.")) {
        inputs.unprotect = true;
        loader_->StartProgram(inputs);
    }
}

void TForm1::Button7Click() {
    if (!TerminalHoldsPort()) return;
    const LoaderInputs inputs = LoaderSnapshot();
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    // The query erases the part: only the user's Yes runs it.
    if (RunsMsp430(target) && target->deviceInfo &&
        !(env_.askYesNo && env_.askYesNo("Quennet", kDeviceInfoQuestion)))
        return;
    BeginLoaderClick();
    AtExit finish([this] { FinishLoaderClick(); });
    loader_->DeviceInfo(inputs);
}

void TForm1::ButtonStopClick() {
    switch (port().Owner().Holder()) {
        case PortUser::Terminal:
            return;
        case PortUser::LoaderRun:
            loader_->RequestStop();
            LabelPortHolder->setText("Stopping the run at the next block ...");
            break;
        case PortUser::LcdCapture:
            lcdStopRequested_ = true;
            LabelPortHolder->setText("Stopping the capture at the next row ...");
            break;
    }
    ButtonStop->setEnabled(false);
    ButtonStopCapture->setEnabled(false);
}

void TForm1::UpdateLoaderControls() {
    const bool free = TerminalHoldsPort();
    const PortUser holder = port().Owner().Holder();
    const LoaderTarget* target = FindLoaderTarget(EffectiveIndex(ComboTarget));
    Button1->setEnabled(free);
    const bool info = target && target->deviceInfo;
    Button7->setEnabled(free && info);
    Button7->setToolTip(info ? "Reads the part's device and bootloader version; this erases an MSP430"
                             : "This target has no device info");
    // The MSP430 loader has no read-back; a run takes its options as they
    // were at its start.
    CheckBoxVerify->setEnabled(free && !RunsMsp430(target));
    CheckBoxVerify->setToolTip(RunsMsp430(target) ? "The MSP430 loader does not read the flash back"
                                                  : "Read the flash back after writing and compare");
    ButtonStop->setEnabled(holder == PortUser::LoaderRun && !loader_->StopRequested());
    ButtonStopCapture->setEnabled(holder == PortUser::LcdCapture && !lcdStopRequested_);
    StopShortcut->setEnabled(!free);
}

void TForm1::ShowRunProgress(const RunProgress& progress) {
    ProgressBarRun->setVisible(progress.active);
    LabelTimeLeft->setVisible(progress.active);
    if (!progress.active) return;
    LabelTimeLeft->setText(QString::fromStdString(ProgressText(progress)));
    ProgressBarRun->setValue(progress.percent);
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
