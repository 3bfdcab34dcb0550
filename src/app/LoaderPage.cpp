// The Serial Flash Loader tab and "Quick Program".
#include "app/LoaderPage.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <filesystem>

#include "app/FormControls.h"
#include "app/FormServices.h"
#include "app/Memo2Log.h"
#include "core/ScopeExit.h"
#include "loader/FirmwareCheck.h"

namespace quennet {

namespace {

// The D filter first, as it always was; then every format read at once,
// one per format, then all files.
constexpr const char* kFirmwareFilter =
    "D files (*.d)|*.d|"
    "All firmware files|*.d;*.s19;*.s28;*.s37;*.srec;*.mot;*.hex;*.ihx;*.elf;*.axf;*.out;*.txt;*.bin|"
    "S-records (*.s19 *.s28 *.s37 *.srec *.mot)|*.s19;*.s28;*.s37;*.srec;*.mot|"
    "Intel HEX (*.hex *.ihx)|*.hex;*.ihx|"
    "ELF executables (*.elf *.axf *.out)|*.elf;*.axf;*.out|"
    "TI-TXT (*.txt)|*.txt|"
    "Raw binary (*.bin)|*.bin|"
    "All files (*.*)|*.*";

constexpr const char* kDeviceInfoQuestion =
    "Device Info. erases the whole flash of the MSP430: its bootstrap loader answers only after a "
    "password, and the one password known beforehand is that of an erased part. With a password file "
    "(MSP430 Password) it erases nothing.\n\n"
    "Erase the part and read its device info?";

}  // namespace

LoaderPage::LoaderPage(ComPort& port, FormServices& services, const LoaderWidgets& widgets, QObject* parent)
    : QObject(parent), port_(port), services_(services), w_(widgets), memo2Log_(std::make_unique<Memo2Log>(w_.Memo2)) {
    LoaderHost host{port_,
                    *memo2Log_,
                    [this] { services_.pausePump(); },
                    [this] { services_.resumePump(); },
                    [] { FormServices::ProcessMessages(); },
                    [this](const RunProgress& p) { ShowRunProgress(p); }};
    loader_ = std::make_unique<Loader>(std::move(host));
    const auto wire = [this](QPushButton* button, void (LoaderPage::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { services_.Guarded([this, handler] { (this->*handler)(); }); });
    };
    connect(w_.ComboTarget, &QComboBox::currentIndexChanged, this, [this] { UpdateControls(); });
    connect(w_.ComboTarget, &QComboBox::editTextChanged, this, [this] { UpdateControls(); });
    wire(w_.Button1, &LoaderPage::Button1Click);
    wire(w_.Button2, &LoaderPage::Button2Click);
    wire(w_.Button5, &LoaderPage::Button5Click);
    wire(w_.Button7, &LoaderPage::Button7Click);
    connect(w_.CheckBoxVerify, &QCheckBox::toggled, this, [this](bool on) {
        if (w_.CheckBoxVerify->isEnabled()) verifyWanted_ = on;
    });
    connect(w_.CheckBoxReset, &QCheckBox::toggled, this,
            [this] { services_.Guarded([this] { CheckBoxResetClick(); }); });
    ConnectActions();
}

LoaderPage::~LoaderPage() = default;

LoaderInputs LoaderPage::LoaderSnapshot() const {
    LoaderInputs in;
    in.firmwarePath = w_.Edit1->text().toStdString();
    in.verify = w_.CheckBoxVerify->isChecked();
    in.invertDtr = w_.CheckBoxReset->isChecked();
    in.toggleTck = w_.CheckBoxToggleTCK->isChecked();
    in.targetIndex = EffectiveIndex(w_.ComboTarget);
    in.terminalPort = w_.ComboComPort->currentText().toStdString();
    in.terminalBaud = w_.ComboBaud->currentText().toStdString();
    in.terminalFormat = EffectiveIndex(w_.ComboBits);
    if (terminalFrame) in.terminalFrame = terminalFrame(in.terminalFormat);
    const LoaderTarget* target = FindLoaderTarget(in.targetIndex);
    if (target && RunsMsp430(*target)) in.passwordPath = PasswordPath();
    return in;
}

bool LoaderPage::AskBinaryAddress(LoaderInputs& inputs) {
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    const FormEnvironment& env = services_.env();
    // Only a run that will read the file needs the address.
    if (!target || !target->program || !port_.IsOpen() || !NamesRawBinary(inputs.firmwarePath) ||
        !env.askFlashAddress)
        return true;
    std::error_code ec;
    const auto size = std::filesystem::file_size(inputs.firmwarePath, ec);
    inputs.binaryAddress = env.askFlashAddress(inputs.firmwarePath, ProposedBinaryAddress(*target, ec ? 0 : size));
    return inputs.binaryAddress.has_value();
}

void LoaderPage::BeginLoaderClick() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    w_.Memo2->setFocus();
}

void LoaderPage::FinishLoaderClick() {
    QApplication::restoreOverrideCursor();
    // The stop button that had the focus is off now: the next key goes to
    // "Start Program", never to an option it would flip.
    if (stopAsked_) w_.Button1->setFocus();
    stopAsked_ = false;
    if (finished) finished();
}

void LoaderPage::Button1Click() {
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
    if (loader_->ReadoutProtected && !(services_.closeAsked && services_.closeAsked()) &&
        services_.AskYesNo("Quennet", "The STM32's read-out protection is on.\n\nRemove it? This erases the whole "
                                      "flash of the part before the new firmware is written.")) {
        inputs.unprotect = true;
        loader_->StartProgram(inputs);
    }
}

void LoaderPage::Button7Click() {
    if (!TerminalHoldsPort()) return;
    const LoaderInputs inputs = LoaderSnapshot();
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    // Without a password the query erases the part, and with one a wrong
    // password may: only the user's Yes runs it.
    if (target && RunsMsp430(*target) && target->deviceInfo &&
        !(inputs.passwordPath.empty() ? services_.AskYesNo("Quennet", kDeviceInfoQuestion) : AskPasswordRisk(inputs)))
        return;
    BeginLoaderClick();
    AtExit finish([this] { FinishLoaderClick(); });
    loader_->DeviceInfo(inputs);
}

void LoaderPage::RequestStop() {
    stopAsked_ = true;
    loader_->RequestStop();
}

void LoaderPage::UpdateControls() {
    const bool free = TerminalHoldsPort();
    const PortUser holder = port_.Owner().Holder();
    const LoaderTarget* target = FindLoaderTarget(EffectiveIndex(w_.ComboTarget));
    w_.Button1->setEnabled(free);
    const bool info = target && target->deviceInfo;
    w_.Button7->setEnabled(free && info);
    w_.Button7->setToolTip(info ? "Reads the part's device and bootloader version; this erases an MSP430 "
                                  "unless its password file is given"
                                : "This target has no device info");
    // Options a target's runs do not use are off and say why; a run takes
    // its options as they were at its start.
    const bool verify = target && target->verifyOption;
    {
        const QSignalBlocker quiet(w_.CheckBoxVerify);
        w_.CheckBoxVerify->setChecked(verify && verifyWanted_);
    }
    w_.CheckBoxVerify->setEnabled(free && verify);
    w_.CheckBoxVerify->setToolTip(verify ? "Read the flash back after writing and compare"
                                         : "This target's loader does not read the flash back");
    const bool watchdog = target && target->watchdogOption;
    w_.CheckBoxToggleTCK->setEnabled(free && watchdog);
    w_.CheckBoxToggleTCK->setToolTip(watchdog ? "Toggle the MSP430's TCK pin during the run to serve a watchdog"
                                              : "Only MSP430 targets have a TCK pin to toggle");
    w_.ButtonStop->setEnabled(holder == PortUser::LoaderRun && !loader_->StopRequested());
    UpdateActionControls(free, target);
}

void LoaderPage::HolderChanged(PortUser holder) {
    w_.Button5->setEnabled(holder == PortUser::Terminal);
    ShowRunProgress(RunProgress{});
}

void LoaderPage::ShowRunProgress(const RunProgress& progress) {
    w_.ProgressBarRun->setVisible(progress.active);
    w_.LabelTimeLeft->setVisible(progress.active);
    if (!progress.active) return;
    w_.LabelTimeLeft->setText(QString::fromStdString(ProgressText(progress)));
    w_.ProgressBarRun->setValue(progress.percent);
}

void LoaderPage::Button5Click() {
    if (!TerminalHoldsPort()) return;
    w_.PageControl1->setCurrentIndex(1);
    Button1Click();
    if (loader_->LastRunResult == 0) {
        w_.PageControl1->setCurrentIndex(0);
        const LoaderTarget* target = FindLoaderTarget(EffectiveIndex(w_.ComboTarget));
        if (note && target && target->program) note("Quick Program: PROGRAM OK.");
    }
}

void LoaderPage::SetVerifyWanted(bool on) {
    verifyWanted_ = on;
    const QSignalBlocker quiet(w_.CheckBoxVerify);
    const LoaderTarget* target = FindLoaderTarget(EffectiveIndex(w_.ComboTarget));
    w_.CheckBoxVerify->setChecked(on && target && target->verifyOption);
}

void LoaderPage::Button2Click() {
    const FormEnvironment& env = services_.env();
    std::optional<std::string> chosen;
    if (env.openFileDialogFiltered) {
        // The dialog opens on the filter the user chose last.
        services_.OpenDialog1.filter = kFirmwareFilter;
        std::string selected = firmwareFilter;
        chosen = env.openFileDialogFiltered(kFirmwareFilter, w_.Edit1->text().toStdString(), selected);
        if (chosen) {
            services_.OpenDialog1.fileName = *chosen;
            firmwareFilter = selected;
        }
    } else {
        chosen = services_.RunOpenDialog(kFirmwareFilter, w_.Edit1->text().toStdString());
    }
    if (!chosen) return;
    w_.Edit1->setFocus();
    w_.Edit1->setText(QString::fromStdString(*chosen));
}

void LoaderPage::CheckBoxResetClick() {
    loader_->ApplyInvertDtr(w_.CheckBoxReset->isChecked());
}

}  // namespace quennet
