#include "app/TForm1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>

#include "app/FormServices.h"
#include "app/LcdPage.h"
#include "app/LoaderPage.h"
#include "app/PlotPage.h"
#include "app/PortCombo.h"
#include "app/PumpWaker.h"
#include "app/Resources.h"
#include "app/TAboutBox.h"
#include "app/TerminalInput.h"
#include "app/TerminalMemo.h"
#include "app/TerminalSession.h"
#include "app/TerminalTools.h"
#include "app/TerminalTransfer.h"
#include "core/IniFile.h"
#include "loader/LoaderSettings.h"
#include "serial/FrameText.h"
#include "terminal/Nmea.h"

namespace quennet {

TForm1::TForm1(FormEnvironment env, QWidget* parent)
    : QMainWindow(parent),
      env_(std::move(env)),
      services_(std::make_unique<FormServices>(env_)),
      transferWidgets_(std::make_unique<TransferWidgets>()) {
    setObjectName("Form1");
    setWindowTitle("QUENNET - Serial Terminal and Serial Flash Loader");
    setMinimumSize(kMinWidth, kMinHeight);
    // The window's font is a small sans at 8 points, so that the first row of
    // the terminal fits the minimum width.
    QFont windowFont("MS Sans Serif");
    windowFont.setStyleHint(QFont::SansSerif);
    windowFont.setPointSize(8);
    setFont(windowFont);
    InitQuennetResources();
    setWindowIcon(QIcon(":/quennet.png"));

    BuildMenus();
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    TabTerminal = BuildTerminalTab();
    TabLoader = BuildLoaderTab();
    TabSettings = BuildSettingsTab();
    TabLcd = BuildLcdTab();
    PageControl1->addTab(TabTerminal, "Terminal");
    PageControl1->addTab(TabLoader, "Serial Flash Loader");
    PageControl1->addTab(TabSettings, "Settings");
    PageControl1->addTab(TabLcd, "LCD");
    PageControl1->setTabVisible(3, false);
    setCentralWidget(PageControl1);
    BuildStatusBar();

    trayIcon_ = new QSystemTrayIcon(QIcon(":/quennet.png"), this);
    trayIcon_->setToolTip("Quennet");
    connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::DoubleClick || r == QSystemTrayIcon::Trigger) {
            showNormal();
            raise();
            activateWindow();
        }
    });

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(2);
    // While the line is quiet the pump rests and the port wakes it; with
    // nothing to do it sleeps until something brings work.
    pumpWaker_ = new PumpWaker(
        Timer1,
        {[this] { return TerminalHoldsPort() && !tools_->Sending() && !input_->Pasting(); },
         [this] { return port().ReadableHandle(); }, [this] { PumpTick(); },
         [this] { return (TerminalHoldsPort() && port().IsOpen()) || tools_->Sending() || input_->Pasting(); },
         // While the view shows a fast flow less often, the pump reads it
         // less often too: each tick brings the rows of one picture, drawn
         // in the same wake-up. Time stamps are the time a chunk was read,
         // so lines read in one tick share theirs; after a few quiet ticks
         // the pump rests, and a line is read as its first byte arrives.
         [this] {
             return std::clamp(static_cast<int>(Memo1->Pace()), PumpWaker::kFlowMs, PumpWaker::kSlowFlowMs);
         }},
        this);
    connect(Timer1, &QTimer::timeout, this, [this] { PumpTick(); });

    MakeParts();
    ConnectFrame();
    if (!TrayAvailable()) {
        VisibleCheck->setEnabled(false);
        VisibleCheck->setToolTip("This desktop has no system tray to place the window on");
    }
    port().Owner().SetListener([this](PortUser holder) { PortHolderChanged(holder); });
    // A wider font than the one the rows were laid out for (the sans that
    // stands in for it on Linux) must widen the window, not clip buttons.
    setMinimumWidth(std::max(kMinWidth, minimumSizeHint().width()));

    ReadSettings();
    UpdateLoaderControls();

    // The receive pump runs from now on; its first tick finds whether it
    // has work, and sleeps until some comes if not.
    Timer1->start();
}

TForm1::~TForm1() {
    // The port outlives the window: it must not call back into it.
    port().Owner().SetListener(nullptr);
}

void TForm1::MakeParts() {
    services_->pausePump = [this] { pumpWaker_->Hold(); };
    services_->resumePump = [this] { pumpWaker_->Resume(); };
    services_->wakePump = [this] { pumpWaker_->Poke(); };
    services_->closeAsked = [this] { return closePending_ || exitPending_; };
    services_->showNote = [this](const std::string& text) { ShowNote(text); };
    nmea_ = std::make_unique<NmeaWriter>(port());
    session_ = std::make_unique<TerminalSession>(
        port(), *services_,
        SessionWidgets{ComboComPort, ComboBaud, ComboBits, CheckBox1, ButtonReset, CheckBoxHex, CheckBoxLowLatency,
                       CheckBoxReopen, LabelPortState, Memo1, ButtonBreak, ButtonDtr, ButtonRts},
        this);
    ReopenTimer = session_->ReopenTimer;
    input_ = std::make_unique<TerminalInput>(port(), *services_,
                                             InputWidgets{Memo1, EditInput, FindBar1, LabelCounters}, this);
    input_->hexShown = [this] { return CheckBoxHex->isChecked(); };
    ToolsWidgets tools{Memo1, CheckBoxHex, ButtonRow};
    std::copy(std::begin(ButtonStr), std::end(ButtonStr), tools.ButtonStr);
    std::copy(std::begin(EditBC), std::end(EditBC), tools.EditBC);
    std::copy(std::begin(EditBV), std::end(EditBV), tools.EditBV);
    tools.CheckBoxFHex = CheckBoxFHex;
    tools.CheckBoxCRCNMEA = CheckBoxCRCNMEA;
    tools.Edit2 = Edit2;
    tools.Button3 = Button3;
    tools.ButtonSendFile = ButtonSendFile;
    tools.ComboSendFile = ComboSendFile;
    tools.ButtonBrowseSendFile = ButtonBrowseSendFile;
    tools.EditBrowseSendFile = EditBrowseSendFile;
    tools.CheckBoxLogFile = CheckBoxLogFile;
    tools.ButtonBrowseLogFile = ButtonBrowseLogFile;
    tools.EditBrowseLogFile = EditBrowseLogFile;
    tools.CheckBoxLogTimestamps = CheckBoxLogTimestamps;
    tools_ = std::make_unique<TerminalTools>(port(), *services_, *nmea_, tools, this);
    transferWidgets_->Memo1 = Memo1;
    transferWidgets_->ComboBaud = ComboBaud;
    transfer_ = std::make_unique<TerminalTransfer>(port(), *services_, *transferWidgets_, this);
    tools_->startTransfer = [this](int mode, const std::string& files) { return transfer_->StartSend(mode, files); };
    tools_->stopTransfer = [this] { transfer_->Stop(); };
    transfer_->hooks.sending = [this](bool on) { tools_->TransferSending(on); };
    transfer_->hooks.ended = [this] { LongOperationEnded(); };
    loaderPage_ = std::make_unique<LoaderPage>(
        port(), *services_,
        LoaderWidgets{PageControl1, ComboTarget, Edit1, Button1, Button2, Button5, Button7, ButtonStop,
                      CheckBoxVerify, CheckBoxReset, CheckBoxToggleTCK, Memo2, ProgressBarRun, LabelTimeLeft,
                      ComboComPort, ComboBaud, ComboBits, LoaderActions},
        this);
    lcdPage_ = std::make_unique<LcdPage>(port(), *services_, *nmea_,
                                         LcdWidgets{Button6, ButtonStopCapture, ButtonSaveImage, CheckZoom,
                                                    CheckBoxInvert, ProgressBarLCD, Panel1, Image1},
                                         this);

    session_->hooks.opened = [this](std::uint32_t charsPerSecond) {
        input_->SetPace(charsPerSecond);
        pumpWaker_->Poke();
    };
    session_->hooks.closing = [this] {
        transfer_->PortClosing();
        input_->StopPaste();
        pumpWaker_->Release();
    };
    session_->hooks.lost = [this] {
        transfer_->PortClosing();
        tools_->StopSend();
    };
    loaderPage_->finished = [this] { LongOperationEnded(); };
    loaderPage_->note = [this](const std::string& text) { ShowNote(text); };
    loaderPage_->terminalFrame = [this](int format) { return session_->OpenFrame(format); };
    lcdPage_->finished = [this] { RunDeferredClose(); };
    // The plot follows what the terminal receives only while it is on.
    plotPage_ = std::make_unique<PlotPage>(*services_, this);
    TabPlot = plotPage_->Tab();
    PageControl1->addTab(TabPlot, "Plot");
    plotPage_->enabledChanged = [this](bool on) {
        session_->hooks.received = nullptr;
        if (on) session_->hooks.received = [this](const std::uint8_t* b, std::size_t n) { plotPage_->Feed(b, n); };
    };
}

void TForm1::ShowNote(const std::string& text) {
    const QString shown = QString::fromStdString(text);
    LabelPortState->setText(shown);
    // Only this note clears itself: news that came after it stays.
    QTimer::singleShot(env_.momentNoteMs, LabelPortState, [label = LabelPortState, shown] {
        if (label->text() == shown) label->clear();
    });
}

void TForm1::Guarded(const std::function<void()>& handler) {
    services_->Guarded(handler);
}

// ------------------------------------------------------------ window frame

void TForm1::FormCreate() {
    ComListPorts(*ComboComPort, env_.listPorts ? env_.listPorts() : std::nullopt);
    if (!savedComPort_.empty())
        ComboComPort->SelectPath(savedComPort_);
    else
        ComboComPort->SetSelectedIndex(savedComIndex_);
}

void TForm1::FormResize() {
    const int unit = (width() - 4) / 8;
    for (int k = 0; k < 8; ++k) {
        ButtonStr[k]->setGeometry(unit * k, 0, std::max(unit - 5, 0), kButtonRowHeight);
    }
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TForm1::FormClose() {
    if (settingsWritten_) return;
    settingsWritten_ = true;
    input_->SaveHistory();
    WriteSettings();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // A programming run lets the window process messages; closing under it
    // would pull the port away mid-transfer. Close once the run has ended.
    if (!TerminalHoldsPort()) {
        closePending_ = true;
        ButtonStopClick();
        event->ignore();
        return;
    }
    // A settings file that cannot be written is reported; the window still
    // closes, since keeping it open would not make the folder writable.
    Guarded([this] { FormClose(); });
    tools_->CloseLog();
    if (trayIcon_->isVisible()) trayIcon_->hide();
    Timer1->stop();
    ReopenTimer->stop();
    // The port outlives the window: the notifier on its descriptor must not.
    pumpWaker_->Release();
    event->accept();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && trayIcon_->isVisible() && isMinimized()) {
        // Minimized while on the tray: leave the task bar until restored.
        QTimer::singleShot(0, this, [this] { hide(); });
    }
}

void TForm1::Exit1Click() {
    if (!TerminalHoldsPort()) {
        exitPending_ = true;  // the port is the run's until it ends
        ButtonStopClick();
        return;
    }
    session_->ClosePort();
    close();
}

void TForm1::Font1Click() {
    if (!env_.chooseFont) return;
    // The dialog is preset with the style the display really shows; left
    // to guess, it proposes a style of the family's own (an oblique one).
    QFont preset = Memo1->font();
    preset.setStyleName(QFontInfo(preset).styleName());
    const std::optional<QFont> chosen = env_.chooseFont(preset);
    if (!chosen) return;
    QColor color = fontColor_;
    if (env_.chooseColor) {
        if (auto c = env_.chooseColor(fontColor_)) color = *c;
    }
    // What is applied is what is stored: family, size, weight and slant.
    QFont applied(chosen->family());
    applied.setPointSize(chosen->pointSize() > 0 ? chosen->pointSize() : fontSize_);
    applied.setWeight(chosen->weight());
    applied.setItalic(chosen->italic());
    fontName_ = applied.family();
    fontSize_ = applied.pointSize();
    fontWeight_ = applied.weight();
    fontItalic_ = applied.italic();
    fontColor_ = color;
    SetDisplayFont(applied, color);
}

void TForm1::ComboBitsSelect() {
    const int index = ComboBits->currentIndex();
    if (index != kFrameCustom) {
        lastBitsIndex_ = index;
        return;
    }
    const std::optional<Frame> chosen = env_.chooseFrame ? env_.chooseFrame(customFrame_) : std::nullopt;
    if (!chosen) {
        // Cancel: the entry chosen before stays.
        ComboBits->setCurrentIndex(lastBitsIndex_);
        return;
    }
    customFrame_ = *chosen;
    customFrame_.flow = FlowControl::None;
    lastBitsIndex_ = index;
    ComboBits->setToolTip(QString("Custom frame: %1").arg(QString::fromStdString(FrameText(customFrame_))));
    TerminalOptionsChanged();
}

bool TForm1::OpenAtStart(const StartPort& start) {
    ComboComPort->SelectPath(start.port);
    if (!start.baud.empty()) ComboBaud->setEditText(QString::fromStdString(start.baud));
    if (start.frame) {
        // A plain format keeps its entry; any other frame is the custom one.
        int index = kFrameCustom;
        for (int i = 0; i < kFrameCustom; ++i)
            if (ParseFrameText(kFrameFormatNames[i]) == start.frame) index = i;
        if (index == kFrameCustom) {
            customFrame_ = *start.frame;
            customFrame_.flow = FlowControl::None;
        }
        ComboBits->setCurrentIndex(index);
        lastBitsIndex_ = index;
        TerminalOptionsChanged();
    }
    CheckBox1->setChecked(true);
    return CheckBox1->isChecked();
}

void TForm1::ExtraFeatures1Click() {
    PageControl1->setTabVisible(3, ExtraFeatures1->isChecked());
}

void TForm1::About1Click() {
    TAboutBox box(env_.openDocument, this);
    box.ShowSettingsFile(QString::fromStdString(env_.settingsPath));
    box.exec();
}

bool TForm1::TrayAvailable() const {
    return env_.trayAvailable ? env_.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

void TForm1::VisibleCheckClick() {
    // A desktop without a tray has the box disabled; a tick the program
    // sets all the same is reported.
    if (VisibleCheck->isChecked()) {
        if (!TrayAvailable()) throw std::runtime_error("Cannot Create System Shell Notification Icon");
        trayIcon_->show();
    } else {
        if (trayIcon_->isVisible()) trayIcon_->hide();
    }
    update();
}

// ----------------------------------------------------- the port's holder

void TForm1::PortHolderChanged(PortUser holder) {
    const bool terminal = holder == PortUser::Terminal;
    // While a run or a capture holds the port, the terminal's controls that
    // would reach it are off; their handlers refuse as well, for keys and
    // for clicks that were already queued.
    input_->HolderChanged(holder);
    session_->HolderChanged(holder);
    tools_->HolderChanged(holder);
    transfer_->HolderChanged(holder);
    loaderPage_->HolderChanged(holder);
    lcdPage_->HolderChanged(holder);
    UpdateLoaderControls();
    // The run may close the descriptor the pump's notifier watches.
    if (!terminal) pumpWaker_->Release();
    switch (holder) {
        case PortUser::Terminal:
            LabelPortHolder->clear();
            break;
        case PortUser::LoaderRun:
            LabelPortHolder->setText("The serial port is in use by the flash loader.");
            break;
        case PortUser::LcdCapture:
            LabelPortHolder->setText("The serial port is in use by the LCD capture.");
            break;
        case PortUser::FileTransfer:
            LabelPortHolder->setText("The serial port is in use by a file transfer.");
            break;
    }
}

void TForm1::LongOperationEnded() {
    if (session_->FollowPort()) PortLost();
    RunDeferredClose();
}

void TForm1::RunDeferredClose() {
    // An exit or close asked for while a run or a capture held the port
    // happens now that the port is free.
    if (exitPending_) {
        exitPending_ = closePending_ = false;
        QTimer::singleShot(0, this, [this] { Guarded([this] { Exit1Click(); }); });
    } else if (closePending_) {
        closePending_ = false;
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

void TForm1::ButtonStopClick() {
    switch (port().Owner().Holder()) {
        case PortUser::Terminal:
            return;
        case PortUser::LoaderRun:
            loaderPage_->RequestStop();
            LabelPortHolder->setText("Stopping the run at the next block ...");
            break;
        case PortUser::LcdCapture:
            lcdPage_->RequestStop();
            LabelPortHolder->setText("Stopping the capture at the next row ...");
            break;
        case PortUser::FileTransfer:
            transfer_->Stop();  // cancelled by the protocol at once
            return;
    }
    ButtonStop->setEnabled(false);
    ButtonStopCapture->setEnabled(false);
}

void TForm1::UpdateLoaderControls() {
    loaderPage_->UpdateControls();
    lcdPage_->UpdateControls();
    StopShortcut->setEnabled(!TerminalHoldsPort());
}

}  // namespace quennet
