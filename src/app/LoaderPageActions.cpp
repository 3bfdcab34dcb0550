// The loader tab's read, erase, protection and password controls.
#include "app/LoaderPageActions.h"

#include <QApplication>
#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "app/FormControls.h"
#include "app/FormServices.h"
#include "app/LoaderPage.h"
#include "core/ScopeExit.h"
#include "firmware/FirmwareWriter.h"
#include "loader/LoaderActions.h"

namespace quennet {

namespace {

constexpr const char* kReadFilter =
    "Raw binary (*.bin)|*.bin|Intel HEX (*.hex)|*.hex|"
    "S-records (*.s19 *.s28 *.s37 *.srec)|*.s19;*.s28;*.s37;*.srec";

constexpr const char* kPasswordFilter =
    "All firmware files|*.d;*.s19;*.s28;*.s37;*.srec;*.mot;*.hex;*.ihx;*.elf;*.axf;*.out;*.txt|All files (*.*)|*.*";

QPushButton* NamedButton(const char* text, const char* name, const char* tip) {
    auto* b = new QPushButton(text);
    b->setObjectName(name);
    b->setToolTip(tip);
    return b;
}

QAction* NamedAction(QMenu* menu, const char* text, const char* name) {
    QAction* a = menu->addAction(text);
    a->setObjectName(name);
    return a;
}

}  // namespace

LoaderActionWidgets BuildLoaderActionRow(QBoxLayout* column) {
    LoaderActionWidgets w;
    auto* row = new QHBoxLayout;
    w.ButtonReadFlash = NamedButton("Read Flash", "ButtonReadFlash", "Reads the target's flash into a file");
    w.ButtonErase = NamedButton("Erase", "ButtonErase", "Erases the target's whole flash");
    w.ButtonProtection =
        NamedButton("Protection...", "ButtonProtection", "The STM32's write and read-out protection");
    auto* menu = new QMenu(w.ButtonProtection);
    menu->setObjectName("MenuProtection");
    w.ActionWriteUnprotect = NamedAction(menu, "Write Unprotect", "ActionWriteUnprotect");
    w.ActionWriteProtect = NamedAction(menu, "Write Protect...", "ActionWriteProtect");
    w.ActionReadoutProtect = NamedAction(menu, "Readout Protect", "ActionReadoutProtect");
    w.ActionReadoutUnprotect = NamedAction(menu, "Readout Unprotect", "ActionReadoutUnprotect");
    w.ButtonProtection->setMenu(menu);
    row->addWidget(w.ButtonReadFlash);
    row->addWidget(w.ButtonErase);
    row->addWidget(w.ButtonProtection);
    row->addWidget(new QLabel("MSP430 Password:"));
    w.EditPassword = new QLineEdit;
    w.EditPassword->setObjectName("EditPassword");
    w.EditPassword->setPlaceholderText("firmware file with the part's vectors; empty: an erased part");
    w.EditPassword->setToolTip("Read Flash and Device Info. unlock the MSP430 with the vector table in this file "
                               "and erase nothing");
    row->addWidget(w.EditPassword, 1);
    w.ButtonBrowsePassword = NamedButton("Browse", "ButtonBrowsePassword", "Choose the password file");
    row->addWidget(w.ButtonBrowsePassword);
    column->addLayout(row);
    return w;
}

void LoaderPage::ConnectActions() {
    const LoaderActionWidgets& a = w_.actions;
    const auto wire = [this](QPushButton* button, void (LoaderPage::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { services_.Guarded([this, handler] { (this->*handler)(); }); });
    };
    wire(a.ButtonReadFlash, &LoaderPage::ButtonReadFlashClick);
    wire(a.ButtonErase, &LoaderPage::ButtonEraseClick);
    wire(a.ButtonBrowsePassword, &LoaderPage::ButtonBrowsePasswordClick);
    for (const auto& [action, what] :
         {std::pair{a.ActionWriteUnprotect, LoaderAction::WriteUnprotect},
          std::pair{a.ActionWriteProtect, LoaderAction::WriteProtect},
          std::pair{a.ActionReadoutProtect, LoaderAction::ReadoutProtect},
          std::pair{a.ActionReadoutUnprotect, LoaderAction::ReadoutUnprotect}}) {
        const LoaderAction chosen = what;
        connect(action, &QAction::triggered, this,
                [this, chosen] { services_.Guarded([this, chosen] { ProtectionClick(chosen); }); });
    }
}

void LoaderPage::UpdateActionControls(bool free, const LoaderTarget* target) {
    const LoaderActionWidgets& a = w_.actions;
    const bool msp430 = target && RunsMsp430(*target);
    const bool stm32 = target && RunsStm32(*target);
    a.ButtonReadFlash->setEnabled(free && (msp430 || stm32));
    a.ButtonErase->setEnabled(free && (msp430 || stm32));
    a.ButtonProtection->setEnabled(free && stm32);
    a.EditPassword->setEnabled(free && msp430);
    a.ButtonBrowsePassword->setEnabled(free && msp430);
}

bool LoaderPage::AskPasswordRisk(const LoaderInputs& inputs) {
    const std::string which = inputs.passwordPath.empty()
                                  ? "The password of an erased part (32 bytes 0xFF) is sent."
                                  : "The password from " + inputs.passwordPath + " is sent.";
    return services_.AskYesNo("Quennet", std::string(kMsp430PasswordRisk) + "\n\n" + which + "\n\nSend it?");
}

void LoaderPage::RunPageAction(LoaderInputs inputs, LoaderAction action) {
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target) return;
    const TargetSequence sequence = ActionSequence(*target, action);
    if (!sequence) return;
    BeginLoaderClick();
    AtExit finish([this] { FinishLoaderClick(); });
    loader_->RunAction(inputs, ActionFirstLine(*target, action), sequence);
}

void LoaderPage::ButtonReadFlashClick() {
    if (!TerminalHoldsPort()) return;
    LoaderInputs inputs = LoaderSnapshot();
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target || !ActionSequence(*target, LoaderAction::Read)) return;
    // The shared save dialog proposes the file this button read into last.
    services_.SaveDialog1.filter = kReadFilter;
    const std::optional<std::string> path = services_.RunSaveDialog(lastReadPath_.empty() ? "flash.bin" : lastReadPath_);
    if (!path) return;
    if (WriteFormatForName(*path) == WriteFormat::Unknown) {
        services_.ShowMessage("The file's name says its format: it ends in " + std::string(WriteFormatNames()) +
                              ", not " + *path + ".");
        return;
    }
    if (!services_.ConfirmOverwrite(*path)) return;
    lastReadPath_ = *path;
    inputs.readPath = *path;
    if (RunsMsp430(*target) && !AskPasswordRisk(inputs)) return;
    RunPageAction(inputs, LoaderAction::Read);
}

void LoaderPage::ButtonEraseClick() {
    if (!TerminalHoldsPort()) return;
    const LoaderInputs inputs = LoaderSnapshot();
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target || !ActionSequence(*target, LoaderAction::Erase)) return;
    const std::string question =
        RunsMsp430(*target)
            ? "Erase the whole flash of the MSP430 (mass erase of main and information memory)?"
            : "Erase the whole flash of the STM32 (global erase)?";
    if (!services_.AskYesNo("Quennet", question + "\n\nThe firmware on the part is lost.")) return;
    RunPageAction(inputs, LoaderAction::Erase);
}

void LoaderPage::ProtectionClick(LoaderAction action) {
    if (!TerminalHoldsPort()) return;
    LoaderInputs inputs = LoaderSnapshot();
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target || !ActionSequence(*target, action)) return;
    if (action == LoaderAction::WriteProtect) {
        const FormEnvironment& env = services_.env();
        if (!env.askText) return;
        const std::optional<std::string> text = env.askText(
            "Write Protect", "Sectors to write-protect (the part's write-protection sector numbers, such as 0,1,4-7):",
            lastSectors_);
        if (!text) return;
        const auto sectors = ParseSectorList(*text);
        if (!sectors) {
            services_.ShowMessage("Sector numbers go from 0 to 255, as a list such as 0,1,4-7, not " + *text + ".");
            return;
        }
        lastSectors_ = *text;
        inputs.protectSectors = *sectors;
    }
    if (!services_.AskYesNo("Quennet", ProtectionQuestion(action))) return;
    RunPageAction(inputs, action);
}

void LoaderPage::ButtonBrowsePasswordClick() {
    const std::optional<std::string> chosen =
        services_.RunOpenDialog(kPasswordFilter, w_.actions.EditPassword->text().toStdString());
    if (!chosen) return;
    w_.actions.EditPassword->setText(QString::fromStdString(*chosen));
}

std::string LoaderPage::PasswordPath() const { return w_.actions.EditPassword->text().trimmed().toStdString(); }

}  // namespace quennet
