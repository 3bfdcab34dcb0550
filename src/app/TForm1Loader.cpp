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

#include "app/Memo2Log.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"

namespace quennet {

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
    BeginLoaderClick();
    loader_->StartProgram(LoaderSnapshot());
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
    const auto chosen = RunOpenDialog("D files (*.d)|*.d", Edit1->text().toStdString());
    if (!chosen) return;
    Edit1->setFocus();
    Edit1->setText(QString::fromStdString(*chosen));
}

void TForm1::CheckBoxResetClick() {
    loader_->ApplyInvertDtr(CheckBoxReset->isChecked());
}

}  // namespace quennet
