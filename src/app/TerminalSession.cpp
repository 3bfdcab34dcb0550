// The terminal session: the port's open and close, what comes in, and a
// device that goes away (an adapter unplugged, a board's pseudo-terminal
// closed): the session ends as if the user had closed it, and "Reopen
// automatically" opens the same path again with the same settings once it
// is back.
#include "app/TerminalSession.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include "app/FormControls.h"
#include "app/FormServices.h"
#include "app/PortCombo.h"
#include "app/TerminalMemo.h"
#include "core/BaudText.h"
#include "serial/FrameText.h"
#include "terminal/TypedSend.h"

namespace quennet {

namespace {
constexpr int kReopenPollMs = 500;  // a look for the device twice a second
}  // namespace

TerminalSession::TerminalSession(ComPort& port, FormServices& services, const SessionWidgets& widgets,
                                 QObject* parent)
    : QObject(parent),
      port_(port),
      services_(services),
      w_(widgets),
      view_(std::make_unique<ReceiveView>(ViewOptions{}, services.env().timeOfDay)) {
    ReopenTimer = new QTimer(this);
    ReopenTimer->setObjectName("ReopenTimer");
    ReopenTimer->setInterval(kReopenPollMs);
    connect(ReopenTimer, &QTimer::timeout, this, [this] { services_.Guarded([this] { ReopenTick(); }); });
    connect(w_.CheckBoxReopen, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) CancelReopen();
    });
    breakTimer_ = new QTimer(this);
    breakTimer_->setObjectName("BreakTimer");
    breakTimer_->setSingleShot(true);
    connect(breakTimer_, &QTimer::timeout, this, [this] { EndBreak(); });
    const auto wire = [this](QPushButton* button, void (TerminalSession::*handler)()) {
        connect(button, &QPushButton::clicked, this,
                [this, handler] { services_.Guarded([this, handler] { (this->*handler)(); }); });
    };
    wire(w_.ButtonBreak, &TerminalSession::ButtonBreakClick);
    wire(w_.ButtonDtr, &TerminalSession::ButtonDtrClick);
    wire(w_.ButtonRts, &TerminalSession::ButtonRtsClick);
    ShowLines();
}

TerminalSession::~TerminalSession() = default;

// --------------------------------------------------------- terminal session

void TerminalSession::SetChoosersEnabled(bool enabled) {
    w_.ComboComPort->setEnabled(enabled);
    w_.ComboBaud->setEnabled(enabled);
    w_.ComboBits->setEnabled(enabled);
}

void TerminalSession::CheckBox1Click() {
    if (!port().Owner().Holds(PortUser::Terminal)) {
        // The switch cannot close or reopen a port that a run holds: put
        // the box back to what the port is.
        const QSignalBlocker quiet(w_.CheckBox1);
        w_.CheckBox1->setChecked(port().IsOpen());
        return;
    }
    if (w_.CheckBox1->isChecked()) {
        if (w_.ComboComPort->currentIndex() < 0) {
            services_.ShowMessage("There aren't COM Port available on this computer!");
            w_.CheckBox1->setChecked(false);
            return;
        }
        const std::string name = w_.ComboComPort->currentText().toStdString();
        // The user's own open ends any wait for a lost device.
        CancelReopen();
        w_.LabelPortState->clear();
        const int result = OpenSession(name, w_.ComboBaud->currentText(), EffectiveIndex(w_.ComboBits));
        if (result != kComOk) {
            w_.CheckBox1->setChecked(false);
            services_.ShowMessage(
                OpenFailureText(name, ParseBaudText(w_.ComboBaud->currentText().toStdString()), result));
            return;
        }
        w_.Memo1->setFocus();
    } else {
        SetChoosersEnabled(true);
        ClosePort();
    }
}

int TerminalSession::OpenSession(const std::string& name, const QString& baudText, int format) {
    port().ComSetLowLatency(w_.CheckBoxLowLatency->isChecked());
    const std::uint32_t baud = ParseBaudText(baudText.toStdString());
    const std::optional<Frame> frame = OpenFrame(format);
    // A rate of 0 would hang up a real line (B0) before being refused.
    int result = kComSettingsRefused;
    if (baud != 0) result = frame ? port().ComOpen(name, baud, *frame) : port().ComOpen(name, baud, format);
    if (result != kComOk) return result;
    if (hooks.opened) {
        // Start, data, parity and stop bits per character.
        const std::uint32_t bits =
            frame ? static_cast<std::uint32_t>(1 + frame->dataBits + (frame->parity == Parity::None ? 0 : 1) +
                                               frame->stopBits)
                  : 0;
        hooks.opened(frame ? baud / bits : CharsPerSecond(baud, format));
    }
    SetChoosersEnabled(false);
    ShowLines();
    // A device without modem lines (a pseudo-terminal) cannot reset a
    // target; said once as it opens.
    if (port().ModemLinesRefused())
        services_.Note("The device " + name + " has no modem lines: TARGET RESET, DTR and RTS do nothing on it.");
    return result;
}

std::optional<Frame> TerminalSession::OpenFrame(int format) const {
    Frame frame;
    if (format == kFrameCustom) {
        frame = options_.customFrame;
    } else if (format >= 0 && format < kFrameCustom) {
        if (options_.flow == FlowControl::None) return std::nullopt;
        const std::optional<Frame> named = ParseFrameText(kFrameFormatNames[format]);
        if (!named) return std::nullopt;
        frame = *named;
    } else {
        return std::nullopt;  // the device's own bits, as ever
    }
    frame.flow = options_.flow;
    return frame;
}

void TerminalSession::ClosePort() {
    if (hooks.closing) hooks.closing();
    EndBreak();
    port().ComClose();
    ShowLines();
}

std::string TerminalSession::OpenFailureText(const std::string& name, std::uint32_t baud, int result) const {
    const FormEnvironment& env = services_.env();
    std::string text = "Error opening " + name;
    if (baud == 0) {
        text += "\nNo baud rate: choose one under \"Baud:\".";
    } else if (result == kComSettingsRefused) {
        const std::optional<Frame> frame = OpenFrame(EffectiveIndex(w_.ComboBits));
        text += "\nThe device refused the line settings (" + std::to_string(baud) + " baud, " +
                (frame ? FrameText(*frame) + (frame->flow == FlowControl::None
                                                  ? std::string()
                                                  : std::string(", ") + FlowControlName(frame->flow))
                       : w_.ComboBits->currentText().toStdString()) +
                ").";
    } else if (const std::string hint = env.portAccessHint ? env.portAccessHint(name) : std::string();
               !hint.empty()) {
        // The user may not use the port: the hint says why and what to do.
        text += "\n" + hint;
    } else if (!port().ComOpenProblem().empty()) {
        text += "\nThe port " + port().ComOpenProblem() + ".";
    }
    return text;
}

void TerminalSession::CheckBoxLowLatencyClick() {
    // A run or a capture holds its own request and gives the port back with
    // the terminal's, which then follows the box again.
    if (port().Owner().Holds(PortUser::Terminal)) port().ComSetLowLatency(w_.CheckBoxLowLatency->isChecked());
}

void TerminalSession::ComboComPortDropDown() {
    const FormEnvironment& env = services_.env();
    ComListPorts(*w_.ComboComPort, env.listPorts ? env.listPorts() : std::nullopt);
}

void TerminalSession::ComboComPortChange() {
    if (!port().Owner().Holds(PortUser::Terminal)) return;
    // Another port chosen: the lost one is no longer awaited.
    if (reopenName_ && w_.ComboComPort->currentText().toStdString() != reopenName_->name) CancelReopen();
    w_.CheckBox1->setChecked(false);
}

void TerminalSession::HolderChanged(PortUser holder) {
    const bool terminal = holder == PortUser::Terminal;
    w_.CheckBox1->setEnabled(terminal);
    // A run takes the line as it is: no break held into it.
    if (!terminal) EndBreak();
    if (terminal) CheckBoxLowLatencyClick();
    ShowLines();
}

void TerminalSession::ShowLines() {
    const bool terminal = port().Owner().Holds(PortUser::Terminal);
    const bool open = port().IsOpen();
    const bool noLines = open && port().ModemLinesRefused();
    w_.ButtonReset->setEnabled(terminal && !noLines);
    w_.ButtonReset->setToolTip(noLines ? "This device has no modem lines: a reset pulse reaches no target"
                                       : "Pulse the target's reset line (DTR)");
    for (QPushButton* b : {w_.ButtonDtr, w_.ButtonRts}) {
        b->setEnabled(terminal && open && !noLines);
        const QSignalBlocker quiet(b);
        b->setChecked(open && (b == w_.ButtonDtr ? port().DtrAsserted() : port().RtsAsserted()));
    }
    const char* lineTip = !open ? "Open the port to set the line" : noLines ? "This device has no modem lines" : nullptr;
    w_.ButtonDtr->setToolTip(lineTip ? lineTip : "DTR asserted while pressed in; a click sets it the other way");
    w_.ButtonRts->setToolTip(lineTip ? lineTip : "RTS asserted while pressed in; a click sets it the other way");
    w_.ButtonBreak->setEnabled(terminal && open && !breakOn_);
    w_.ButtonBreak->setToolTip(!open ? "Open the port to send a break"
                                     : QString("Hold the line in a break for %1 ms (Pause/Break key)")
                                           .arg(options_.breakMs));
}

void TerminalSession::ButtonBreakClick() {
    if (!port().Owner().Holds(PortUser::Terminal) || !port().IsOpen() || breakOn_) return;
    if (!port().ComSetBreak(true)) {
        services_.Note("The device refused the break.");
        return;
    }
    breakOn_ = true;
    ShowLines();
    breakTimer_->start(options_.breakMs);
}

void TerminalSession::EndBreak() {
    breakTimer_->stop();
    if (!breakOn_) return;
    breakOn_ = false;
    port().ComSetBreak(false);
    ShowLines();
}

void TerminalSession::ButtonDtrClick() {
    if (port().Owner().Holds(PortUser::Terminal) && port().IsOpen()) port().ComAssertDtr(!port().DtrAsserted());
    ShowLines();
    w_.Memo1->setFocus();
}

void TerminalSession::ButtonRtsClick() {
    if (port().Owner().Holds(PortUser::Terminal) && port().IsOpen()) port().ComAssertRts(!port().RtsAsserted());
    ShowLines();
    w_.Memo1->setFocus();
}

bool TerminalSession::FollowPort() {
    if (!w_.CheckBox1->isChecked()) return false;
    // A device that went away during the run ends the session the way the
    // terminal's own loss does: said in the status bar, reopened if asked.
    const FormEnvironment& env = services_.env();
    const bool gone = port().IsOpen() ? port().ComDeviceLost()
                                      : env.portPresent && !env.portPresent(w_.ComboComPort->currentText().toStdString());
    if (gone) return true;
    // A run that could not reopen the port leaves it closed: the session
    // switch must not claim otherwise, and the choosers are free again.
    if (!port().IsOpen()) w_.CheckBox1->setChecked(false);
    return false;
}

ReceivePump::TickResult TerminalSession::Receive(const ReceivePump::LogFn& log, const ReceivePump::WatchFn& watch) {
    // Dump rows begun in this tick fit the view as it is now wide.
    view_->SetWidth(static_cast<std::size_t>(w_.Memo1->RowChars()));
    if (!hooks.received) return ReceivePump::Tick(port(), *w_.Memo1, *view_, displayLimit_, log, watch);
    const auto both = [this, &log](const std::uint8_t* bytes, std::size_t n) {
        if (log) log(bytes, n);
        hooks.received(bytes, n);
    };
    return ReceivePump::Tick(port(), *w_.Memo1, *view_, displayLimit_, both, watch);
}

bool TerminalSession::DeviceLost() {
    return port().IsOpen() && port().ComDeviceLost();
}

void TerminalSession::Memo1Enter() {
    w_.Memo1->CaretToEnd();
}

void TerminalSession::ButtonResetClick() {
    if (!port().Owner().Holds(PortUser::Terminal)) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    port().ComResetTarget();
    ShowLines();
    w_.Memo1->setFocus();
    QApplication::restoreOverrideCursor();
}

void TerminalSession::Clear() {
    w_.Memo1->ClearText();
    view_->Restart();
}

void TerminalSession::CheckBoxHexClick() {
    view_->SetOptions(CurrentViewOptions());
    ApplyWrap();
    ScrollToLineStarts();
    w_.Memo1->setFocus();
}

// ------------------------------------------------------------ the display

ViewOptions TerminalSession::CurrentViewOptions() const {
    ViewOptions o;
    o.hex = w_.CheckBoxHex->isChecked();
    o.hexStyle = options_.hexView;
    o.encoding = options_.encoding;
    o.controlMarks = options_.controlMarks;
    o.ansi = options_.ansi;
    o.timestamps = options_.timestamps;
    return o;
}

void TerminalSession::ApplyOptions(const TerminalOptions& options) {
    const bool viewChanged = options.hexView != options_.hexView || options.timestamps != options_.timestamps;
    options_ = options;
    view_->SetOptions(CurrentViewOptions());
    if (viewChanged) ScrollToLineStarts();
    displayLimit_ = static_cast<std::size_t>(options.scrollback);
    ApplyWrap();
    ShowLines();
}

// "XX " pairs wrap at the view's width as they always have; text and the
// dump wrap when the user asks for it.
void TerminalSession::ApplyWrap() {
    const bool pairs = w_.CheckBoxHex->isChecked() && options_.hexView != HexStyle::Dump;
    const bool wrap = pairs || options_.wrap;
    w_.Memo1->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    w_.Memo1->setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
}

// Another way of showing bytes starts at the left edge: a sideways offset
// that suited wide dump rows would hide the start of every line after them.
void TerminalSession::ScrollToLineStarts() {
    w_.Memo1->horizontalScrollBar()->setValue(0);
}

// ------------------------------------------------------------ a lost device

void TerminalSession::CancelReopen() {
    reopenName_.reset();
    ReopenTimer->stop();
}

void TerminalSession::PortLost() {
    const std::string name = w_.ComboComPort->currentText().toStdString();
    const LostSession lost{name, w_.ComboBaud->currentText(), EffectiveIndex(w_.ComboBits),
                           DeviceReturn(name, port().OpenedIdentity())};
    if (hooks.lost) hooks.lost();
    // Unticking runs the ordinary close: choosers enabled, port closed.
    w_.CheckBox1->setChecked(false);
    QString text = QString("The device %1 went away; the port is closed.").arg(QString::fromStdString(lost.name));
    if (w_.CheckBoxReopen->isChecked()) {
        if (lost.device.Recognisable()) {
            reopenName_ = lost;
            ReopenTimer->start();
        }
        text += QString::fromStdString(lost.device.WaitNote());
    }
    w_.LabelPortState->setText(text);
}

void TerminalSession::ReopenTick() {
    if (!reopenName_ || w_.CheckBox1->isChecked()) {
        CancelReopen();
        return;
    }
    if (!port().Owner().Holds(PortUser::Terminal)) return;
    const FormEnvironment& env = services_.env();
    // Only the device that went away is opened again, wherever it is back.
    const DeviceReturn::Look look = reopenName_->device.LookFor(
        [this](const std::string& n) { return port().ComIdentify(n); },
        env.listPorts ? env.listPorts().value_or(std::vector<std::string>{}) : std::vector<std::string>{});
    if (look.kind == DeviceReturn::Look::Kind::Stranger)
        w_.LabelPortState->setText(QString::fromStdString(reopenName_->device.StrangerNote(look)));
    if (look.kind != DeviceReturn::Look::Kind::Back) return;
    LostSession session = *reopenName_;
    session.name = look.path;
    // The controls first, while the port is closed: choosing the port
    // unticks "Open Com.", which must find nothing to close.
    w_.ComboComPort->SelectPath(session.name);
    w_.ComboBaud->setEditText(session.baud);
    w_.ComboBits->setCurrentIndex(session.format);
    // A device that is back but not ready (its permissions not yet set) is
    // tried again at the next look.
    if (OpenSession(session.name, session.baud, session.format) != kComOk) return;
    CancelReopen();
    {
        const QSignalBlocker quiet(w_.CheckBox1);
        w_.CheckBox1->setChecked(true);
    }
    services_.Note(session.device.BackNote(look));
}

}  // namespace quennet
