// A device that goes away while the terminal has it open (an adapter
// unplugged, a board's pseudo-terminal closed): the session ends as if the
// user had closed it, and "Reopen automatically" opens the same path again
// with the same settings once it is back.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "core/BaudText.h"
#include "terminal/FileSend.h"

namespace quennet {

namespace {
constexpr int kReopenPollMs = 500;  // a look for the device twice a second
}  // namespace

void TForm1::WireReopen() {
    ReopenTimer = new QTimer(this);
    ReopenTimer->setObjectName("ReopenTimer");
    ReopenTimer->setInterval(kReopenPollMs);
    connect(ReopenTimer, &QTimer::timeout, this, [this] { Guarded([this] { ReopenTick(); }); });
    connect(CheckBoxReopen, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) CancelReopen();
    });
}

void TForm1::CancelReopen() {
    reopenName_.reset();
    ReopenTimer->stop();
}

void TForm1::PortLost() {
    const std::string name = ComboComPort->currentText().toStdString();
    const LostSession lost{name, ComboBaud->currentText(), EffectiveIndex(ComboBits),
                           DeviceReturn(name, port().OpenedIdentity())};
    if (fileSender_->Running()) {
        fileSender_->Stop();
        ButtonSendFile->setText("Send File");
    }
    // Unticking runs the ordinary close: choosers enabled, port closed.
    CheckBox1->setChecked(false);
    QString text = QString("The device %1 went away; the port is closed.").arg(QString::fromStdString(lost.name));
    if (CheckBoxReopen->isChecked()) {
        if (lost.device.Recognisable()) {
            reopenName_ = lost;
            ReopenTimer->start();
        }
        text += QString::fromStdString(lost.device.WaitNote());
    }
    LabelPortState->setText(text);
}

void TForm1::ReopenTick() {
    if (!reopenName_ || CheckBox1->isChecked()) {
        CancelReopen();
        return;
    }
    if (!TerminalHoldsPort()) return;
    // Only the device that went away is opened again, wherever it is back.
    const DeviceReturn::Look look = reopenName_->device.LookFor(
        [this](const std::string& n) { return port().ComIdentify(n); },
        env_.listPorts ? env_.listPorts().value_or(std::vector<std::string>{}) : std::vector<std::string>{});
    if (look.kind == DeviceReturn::Look::Kind::Stranger)
        LabelPortState->setText(QString::fromStdString(reopenName_->device.StrangerNote(look)));
    if (look.kind != DeviceReturn::Look::Kind::Back) return;
    LostSession session = *reopenName_;
    session.name = look.path;
    // The controls first, while the port is closed: choosing the port
    // unticks "Open Com.", which must find nothing to close.
    ComboComPort->SelectPath(session.name);
    ComboBaud->setEditText(session.baud);
    ComboBits->setCurrentIndex(session.format);
    port().ComSetLowLatency(CheckBoxLowLatency->isChecked());
    const std::uint32_t baud = ParseBaudText(session.baud.toStdString());
    // A device that is back but not ready (its permissions not yet set) is
    // tried again at the next look.
    if (port().ComOpen(session.name, baud, session.format) != kComOk) return;
    CancelReopen();
    {
        const QSignalBlocker quiet(CheckBox1);
        CheckBox1->setChecked(true);
    }
    pacedRate_ = CharsPerSecond(baud, session.format);
    SetChoosersEnabled(false);
    LabelPortState->setText(QString::fromStdString(session.device.BackNote(look)));
}

}  // namespace quennet
