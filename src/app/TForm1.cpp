#include "app/TForm1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <filesystem>

#include "app/Memo2Log.h"
#include "app/PortCombo.h"
#include "app/PumpWaker.h"
#include "app/Resources.h"
#include "app/TAboutBox.h"
#include "app/TerminalBars.h"
#include "app/TerminalMemo.h"
#include "core/BaudText.h"
#include "core/IniFile.h"
#include "lcd/LcdCapture.h"
#include "loader/Loader.h"
#include "terminal/Charset.h"
#include "terminal/FileSend.h"
#include "terminal/InputHistory.h"
#include "terminal/LogFile.h"
#include "terminal/Nmea.h"
#include "terminal/ReceivePump.h"

namespace quennet {

namespace {

constexpr int kMinWidth = 850;
constexpr int kMinHeight = 460;
constexpr int kButtonRowHeight = 17;

constexpr const char* kProposedBaud = "115200";

const char* const kBaudRates[] = {"600",   "1200",  "4800",  "9600",   "14400",  "19200",
                                  "28800", "38400", "57600", "115200", "460800", "921600"};

// Stored numbers are 64-bit (long long: a long has 32 bits on Windows);
// anything beyond what a window could use is clamped rather than wrapped
// into a plausible value.
int ClampToInt(long long value, int low, int high) {
    return static_cast<int>(std::clamp<long long>(value, low, high));
}

// Sets a combo's selection from a stored index; out of range selects nothing.
void SelectIndex(QComboBox* combo, long long index) {
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? static_cast<int>(index) : -1);
}

// The first installed fixed-pitch family among the usual ones.
QFont FixedPitchFont() {
    const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (const QString& family : {system.family(), QString("DejaVu Sans Mono"), QString("Liberation Mono"),
                                  QString("Noto Mono"), QString("Monospace"), QString("Courier New")}) {
        if (QFontDatabase::hasFamily(family) && QFontDatabase::isFixedPitch(family)) return QFont(family);
    }
    QFont font = system;
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

}  // namespace

long ColorToSetting(const QColor& color) {
    return static_cast<long>(color.red()) | (static_cast<long>(color.green()) << 8) |
           (static_cast<long>(color.blue()) << 16);
}

QColor ColorFromSetting(long value) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

TForm1::TForm1(FormEnvironment env, QWidget* parent) : QMainWindow(parent), env_(std::move(env)) {
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
    LabelPortHolder = new QLabel;
    LabelPortHolder->setObjectName("LabelPortHolder");
    statusBar()->addWidget(LabelPortHolder, 1);
    LabelPortState = new QLabel;
    LabelPortState->setObjectName("LabelPortState");
    statusBar()->addWidget(LabelPortState, 1);
    LabelTimeLeft = new QLabel;
    LabelTimeLeft->setObjectName("LabelTimeLeft");
    LabelTimeLeft->hide();
    statusBar()->addPermanentWidget(LabelTimeLeft);
    ProgressBarRun = new QProgressBar;
    ProgressBarRun->setObjectName("ProgressBarRun");
    ProgressBarRun->setRange(0, 100);
    ProgressBarRun->setMaximumWidth(160);
    ProgressBarRun->setTextVisible(false);
    ProgressBarRun->hide();
    statusBar()->addPermanentWidget(ProgressBarRun);
    LabelCounters = new QLabel;
    LabelCounters->setObjectName("LabelCounters");
    LabelCounters->hide();
    statusBar()->addPermanentWidget(LabelCounters);

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
    // While the line is quiet the pump rests and the port wakes it.
    pumpWaker_ = new PumpWaker(Timer1,
                               {[this] { return TerminalHoldsPort() && !fileSender_->Running() && !paced_->Running(); },
                                [this] { return port().ReadableHandle(); },
                                [this] {
                                    Guarded([this] { Timer1Timer(); });
                                    pumpWaker_->AfterTick(lastTickBytes_);
                                }},
                               this);
    connect(Timer1, &QTimer::timeout, this, [this] {
        Guarded([this] { Timer1Timer(); });
        pumpWaker_->AfterTick(lastTickBytes_);
    });

    nmea_ = std::make_unique<NmeaWriter>(port());
    fileSender_ = std::make_unique<FileSender>();
    logFile_ = std::make_unique<LogFile>();
    memo2Log_ = std::make_unique<Memo2Log>(Memo2);
    WireTools();
    WireLoader();
    WireLcd();
    WireTerminal();
    WireReopen();
    if (!TrayAvailable()) {
        VisibleCheck->setEnabled(false);
        VisibleCheck->setToolTip("This desktop has no system tray to place the window on");
    }
    port().Owner().SetListener([this](PortUser holder) { PortHolderChanged(holder); });

    ReadSettings();
    UpdateLoaderControls();

    // The receive pump runs from now to the end; Qt paints double-buffered
    // anyway.
    Timer1->start();
}

TForm1::~TForm1() {
    // The port outlives the window: it must not call back into it.
    port().Owner().SetListener(nullptr);
}

void TForm1::Guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        if (env_.errorBox) env_.errorBox(e.what());
    } catch (...) {
        if (env_.errorBox) env_.errorBox("Unknown error");
    }
}

void TForm1::ShowMessage(const std::string& text) {
    if (env_.messageBox) env_.messageBox(kErrorCaption, text);
}

void TForm1::BuildMenus() {
    QMenu* file = menuBar()->addMenu("File");
    ButtonLoad1 = file->addAction("Load Buttons");
    ButtonLoad1->setObjectName("ButtonLoad1");
    ButtonSave1 = file->addAction("Save Buttons");
    ButtonSave1->setObjectName("ButtonSave1");
    file->addSeparator();
    Exit1 = file->addAction("Exit");
    Exit1->setObjectName("Exit1");
    connect(Exit1, &QAction::triggered, this, [this] { Guarded([this] { Exit1Click(); }); });

    QMenu* options = menuBar()->addMenu("Options");
    Font1 = options->addAction("Font");
    Font1->setObjectName("Font1");
    connect(Font1, &QAction::triggered, this, [this] { Guarded([this] { Font1Click(); }); });
    options->addSeparator();
    ExtraFeatures1 = options->addAction("Extra Features");
    ExtraFeatures1->setObjectName("ExtraFeatures1");
    ExtraFeatures1->setCheckable(true);
    // A checkable action flips its own check mark before it triggers.
    connect(ExtraFeatures1, &QAction::triggered, this, [this] { Guarded([this] { ExtraFeatures1Click(); }); });

    QMenu* help = menuBar()->addMenu("Help");
    About1 = help->addAction("About");
    About1->setObjectName("About1");
    connect(About1, &QAction::triggered, this, [this] { Guarded([this] { About1Click(); }); });
}

QWidget* TForm1::BuildTerminalTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheet1");
    auto* column = new QVBoxLayout(tab);
    column->setContentsMargins(2, 2, 2, 2);
    column->setSpacing(3);

    // Compact buttons: the whole first row has to fit the minimum width.
    tab->setStyleSheet("QPushButton { padding: 2px 3px; }");
    auto fixedLabel = [](const char* text) {
        auto* label = new QLabel(text);
        label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
        return label;
    };
    auto* row1 = new QHBoxLayout;
    row1->setSpacing(2);
    row1->addWidget(fixedLabel("Port:"));
    ComboComPort = new PortCombo;
    ComboComPort->setObjectName("ComboComPort");
    ComboComPort->setMinimumWidth(PortCombo::kMinWidth);
    ComboComPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    row1->addWidget(ComboComPort, 1);
    row1->addWidget(fixedLabel("Baud:"));
    ComboBaud = new QComboBox;
    ComboBaud->setObjectName("ComboBaud");
    ComboBaud->setEditable(true);
    ComboBaud->setInsertPolicy(QComboBox::NoInsert);
    ComboBaud->setMaxVisibleItems(12);
    for (const char* rate : kBaudRates) ComboBaud->addItem(rate);
    ComboBaud->setCurrentIndex(-1);
    ComboBaud->setEditText("");
    row1->addWidget(ComboBaud);
    row1->addWidget(fixedLabel("Bits:"));
    ComboBits = new QComboBox;
    ComboBits->setObjectName("ComboBits");
    ComboBits->setEditable(true);
    ComboBits->setInsertPolicy(QComboBox::NoInsert);
    for (const char* name : kFrameFormatNames) ComboBits->addItem(name);
    ComboBits->setCurrentIndex(kFrameN81);
    row1->addWidget(ComboBits);
    CheckBox1 = new QCheckBox("Open Com.");
    CheckBox1->setObjectName("CheckBox1");
    row1->addWidget(CheckBox1);
    ButtonReset = new QPushButton("TARGET RESET");
    ButtonReset->setObjectName("ButtonReset");
    row1->addWidget(ButtonReset);
    Button4 = new QPushButton("Clear");
    Button4->setObjectName("Button4");
    row1->addWidget(Button4);
    Button5 = new QPushButton("Quick Program");
    Button5->setObjectName("Button5");
    row1->addWidget(Button5);
    ButtonSendFile = new QPushButton("Send File");
    ButtonSendFile->setObjectName("ButtonSendFile");
    row1->addWidget(ButtonSendFile);
    row1->addSpacing(6);
    VisibleCheck = new QCheckBox("Place on Tray");
    VisibleCheck->setObjectName("VisibleCheck");
    row1->addWidget(VisibleCheck);
    column->addLayout(row1);

    auto* row2 = new QHBoxLayout;
    CheckBoxHex = new QCheckBox("Show Hex");
    CheckBoxHex->setObjectName("CheckBoxHex");
    CheckBoxHex->setToolTip("Display char in HEX format");
    row2->addWidget(CheckBoxHex);
    CheckBoxLowLatency = new QCheckBox("Low latency");
    CheckBoxLowLatency->setObjectName("CheckBoxLowLatency");
    CheckBoxLowLatency->setToolTip(
        "Ask a USB adapter to pass received bytes on at once, not after its latency timer");
    CheckBoxLowLatency->setChecked(true);
    row2->addWidget(CheckBoxLowLatency);
    CheckBoxReopen = new QCheckBox("Reopen automatically");
    CheckBoxReopen->setObjectName("CheckBoxReopen");
    CheckBoxReopen->setToolTip(
        "When the device goes away (unplugged, board reset), open it again with the same settings once it is back");
    row2->addWidget(CheckBoxReopen);
    Edit2 = new QLineEdit;
    Edit2->setObjectName("Edit2");
    row2->addWidget(Edit2, 1);
    Button3 = new QPushButton("Send Hex");
    Button3->setObjectName("Button3");
    row2->addWidget(Button3);
    column->addLayout(row2);

    // The function buttons are placed by FormResize, not by a layout.
    ButtonRow = new QWidget;
    ButtonRow->setObjectName("ButtonRow");
    ButtonRow->setFixedHeight(kButtonRowHeight + 2);
    for (int i = 0; i < 8; ++i) {
        ButtonStr[i] = new QPushButton(ButtonRow);
        ButtonStr[i]->setObjectName(QString("ButtonStr%1").arg(i + 1));
        ButtonStr[i]->setFixedHeight(kButtonRowHeight);
        ButtonStr[i]->setFocusPolicy(Qt::NoFocus);
    }
    column->addWidget(ButtonRow);

    FindBar1 = new FindBar;
    FindBar1->hide();
    column->addWidget(FindBar1);
    Memo1 = new TerminalMemo;
    Memo1->setObjectName("Memo1");
    column->addWidget(Memo1, 1);
    EditInput = new InputLine;
    EditInput->setObjectName("EditInput");
    EditInput->hide();
    column->addWidget(EditInput);

    connect(CheckBox1, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBox1Click(); }); });
    ComboComPort->onDropDown = [this] { Guarded([this] { ComboComPortDropDown(); }); };
    connect(ComboComPort, &QComboBox::currentIndexChanged, this,
            [this] { Guarded([this] { ComboComPortChange(); }); });
    connect(ButtonReset, &QPushButton::clicked, this, [this] { Guarded([this] { ButtonResetClick(); }); });
    connect(Button4, &QPushButton::clicked, this, [this] { Guarded([this] { Button4Click(); }); });
    connect(CheckBoxHex, &QCheckBox::toggled, this, [this] { Guarded([this] { CheckBoxHexClick(); }); });
    connect(CheckBoxLowLatency, &QCheckBox::toggled, this,
            [this] { Guarded([this] { CheckBoxLowLatencyClick(); }); });
    connect(VisibleCheck, &QCheckBox::toggled, this, [this] { Guarded([this] { VisibleCheckClick(); }); });
    Memo1->onKeyPress = [this](char32_t ch) { Guarded([this, ch] { Memo1KeyPress(ch); }); };
    Memo1->onKeyDown = [this](int key, Qt::KeyboardModifiers m) {
        Guarded([this, key, m] { Memo1KeyDown(key, m); });
    };
    Memo1->onEnter = [this] { Guarded([this] { Memo1Enter(); }); };
    return tab;
}

QWidget* TForm1::BuildLoaderTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheet2");
    auto* column = new QVBoxLayout(tab);

    auto* row1 = new QHBoxLayout;
    row1->addWidget(new QLabel("Select Target:"));
    ComboTarget = new QComboBox;
    ComboTarget->setObjectName("ComboTarget");
    ComboTarget->setEditable(true);
    ComboTarget->setInsertPolicy(QComboBox::NoInsert);
    for (const LoaderTarget& t : kLoaderTargets) ComboTarget->addItem(t.name);
    ComboTarget->setCurrentIndex(0);
    row1->addWidget(ComboTarget);
    row1->addWidget(new QLabel("File:"));
    Edit1 = new QLineEdit;
    Edit1->setObjectName("Edit1");
    row1->addWidget(Edit1, 1);
    Button2 = new QPushButton("Browse File");
    Button2->setObjectName("Button2");
    row1->addWidget(Button2);
    column->addLayout(row1);

    auto* row2 = new QHBoxLayout;
    Button1 = new QPushButton("Start Program");
    Button1->setObjectName("Button1");
    row2->addWidget(Button1);
    ButtonStop = new QPushButton("Stop");
    ButtonStop->setObjectName("ButtonStop");
    ButtonStop->setToolTip("Ends the run at the next block (Esc)");
    ButtonStop->setEnabled(false);
    row2->addWidget(ButtonStop);
    Button7 = new QPushButton("Device Info.");
    Button7->setObjectName("Button7");
    row2->addWidget(Button7);
    auto* options = new QGroupBox("Options:");
    options->setObjectName("GroupBoxOptions");
    auto* optRow = new QHBoxLayout(options);
    CheckBoxVerify = new QCheckBox("Verify Data");
    CheckBoxVerify->setObjectName("CheckBoxVerify");
    CheckBoxReset = new QCheckBox("Invert DTR (RESET)");
    CheckBoxReset->setObjectName("CheckBoxReset");
    CheckBoxToggleTCK = new QCheckBox("Toggle TCK as WTD");
    CheckBoxToggleTCK->setObjectName("CheckBoxToggleTCK");
    optRow->addWidget(CheckBoxVerify);
    optRow->addWidget(CheckBoxReset);
    optRow->addWidget(CheckBoxToggleTCK);
    row2->addWidget(options);
    row2->addStretch(1);
    column->addLayout(row2);

    auto* status = new QGroupBox("Program Status:");
    status->setObjectName("GroupBoxStatus");
    auto* statusLayout = new QVBoxLayout(status);
    Memo2 = new QPlainTextEdit;
    Memo2->setObjectName("Memo2");
    Memo2->setReadOnly(true);
    Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont courier = FixedPitchFont();
    courier.setFamilies({"Courier New", "Courier", courier.family()});
    courier.setPixelSize(13);
    Memo2->setFont(courier);
    statusLayout->addWidget(Memo2);
    column->addWidget(status, 1);

    return tab;
}

QWidget* TForm1::BuildSettingsTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheet3");
    auto* grid = new QGridLayout(tab);

    auto* send = new QGroupBox("Send File");
    send->setObjectName("GroupBoxSendFile");
    auto* sendLayout = new QGridLayout(send);
    ComboSendFile = new QComboBox;
    ComboSendFile->setObjectName("ComboSendFile");
    ComboSendFile->addItems({"Raw", "Compact SREC"});
    ComboSendFile->setCurrentIndex(0);
    ButtonBrowseSendFile = new QPushButton("Browse Send File");
    ButtonBrowseSendFile->setObjectName("ButtonBrowseSendFile");
    EditBrowseSendFile = new QLineEdit;
    EditBrowseSendFile->setObjectName("EditBrowseSendFile");
    sendLayout->addWidget(ComboSendFile, 0, 0);
    sendLayout->addWidget(ButtonBrowseSendFile, 0, 1);
    sendLayout->addWidget(EditBrowseSendFile, 1, 0, 1, 2);
    grid->addWidget(send, 0, 0);

    auto* log = new QGroupBox("Log File");
    log->setObjectName("GroupBoxLogFile");
    auto* logLayout = new QGridLayout(log);
    CheckBoxLogFile = new QCheckBox("Enable");
    CheckBoxLogFile->setObjectName("CheckBoxLogFile");
    ButtonBrowseLogFile = new QPushButton("Browse Log File");
    ButtonBrowseLogFile->setObjectName("ButtonBrowseLogFile");
    EditBrowseLogFile = new QLineEdit;
    EditBrowseLogFile->setObjectName("EditBrowseLogFile");
    logLayout->addWidget(CheckBoxLogFile, 0, 0);
    logLayout->addWidget(ButtonBrowseLogFile, 0, 1);
    logLayout->addWidget(EditBrowseLogFile, 1, 0, 1, 2);
    CheckBoxLogTimestamps = new QCheckBox("Log with timestamps");
    CheckBoxLogTimestamps->setObjectName("CheckBoxLogTimestamps");
    CheckBoxLogTimestamps->setToolTip("Each line of the log starts with the time it came; otherwise the log is byte-exact");
    logLayout->addWidget(CheckBoxLogTimestamps, 2, 0, 1, 2);
    grid->addWidget(log, 1, 0);
    grid->addWidget(BuildTerminalOptions(), 2, 0);

    auto* buttons = new QGroupBox("Buttons");
    buttons->setObjectName("GroupBoxButtons");
    auto* b = new QGridLayout(buttons);
    b->addWidget(new QLabel("Caption"), 0, 1);
    b->addWidget(new QLabel("Value"), 0, 2);
    for (int i = 0; i < 8; ++i) {
        b->addWidget(new QLabel(QString("F%1:").arg(i + 1)), i + 1, 0);
        EditBC[i] = new QLineEdit;
        EditBC[i]->setObjectName(QString("EditBC%1").arg(i + 1));
        EditBC[i]->setMaxLength(16);
        EditBV[i] = new QLineEdit;
        EditBV[i]->setObjectName(QString("EditBV%1").arg(i + 1));
        EditBV[i]->setMaxLength(200);
        b->addWidget(EditBC[i], i + 1, 1);
        b->addWidget(EditBV[i], i + 1, 2);
    }
    b->setColumnStretch(2, 1);
    b->setRowStretch(10, 1);
    CheckBoxFHex = new QCheckBox("Format HEX");
    CheckBoxFHex->setObjectName("CheckBoxFHex");
    CheckBoxFHex->setToolTip("Check for HEX format, otherwise ASCII");
    CheckBoxCRCNMEA = new QCheckBox("Append NMEA CRC");
    CheckBoxCRCNMEA->setObjectName("CheckBoxCRCNMEA");
    CheckBoxCRCNMEA->setToolTip("Compute NMEA CRC and append to the string");
    auto* opts = new QHBoxLayout;
    opts->addWidget(CheckBoxFHex);
    opts->addWidget(CheckBoxCRCNMEA);
    opts->addStretch(1);
    b->addLayout(opts, 9, 1, 1, 2);
    grid->addWidget(buttons, 0, 1, 3, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);
    return tab;
}

// ---------------------------------------------------------------- settings

void TForm1::ReadSettings() {
    IniFile ini(env_.settingsPath);
    // Form
    const long long top = ini.ReadInteger("Form", "Top", 100);
    const long long left = ini.ReadInteger("Form", "Left", 100);
    const long long width = ini.ReadInteger("Form", "Width", 850);
    const long long height = ini.ReadInteger("Form", "Height", 554);
    initMax_ = ini.ReadBool("Form", "InitMax", false);
    constexpr int kFar = 100000;
    move(ClampToInt(left, -kFar, kFar), ClampToInt(top, -kFar, kFar));
    resize(ClampToInt(width, kMinWidth, kFar), ClampToInt(height, kMinHeight, kFar));
    if (initMax_) setWindowState(windowState() | Qt::WindowMaximized);
    // Prog
    Edit1->setText(QString::fromStdString(ini.ReadString("Prog", "File", "")));
    CheckBoxVerify->setChecked(ini.ReadBool("Prog", "Verify", false));
    CheckBoxReset->setChecked(ini.ReadBool("Prog", "Reset", false));
    CheckBoxToggleTCK->setChecked(ini.ReadBool("Prog", "ToggleTCK", false));
    SelectIndex(ComboTarget, ini.ReadInteger("Prog", "Target", 0));
    // Terminal
    // The port's path is what identifies it; the position is only read from
    // files written before the path was stored.
    savedComIndex_ = ClampToInt(ini.ReadInteger("Terminal", "ComIndex", -1), -1, 1 << 30);
    savedComPort_ = ini.ReadString("Terminal", "ComPort", "");
    // A first start has no rate: propose the usual one rather than an empty
    // box that no port opens with.
    const std::string baud = ini.ReadString("Terminal", "Baud", "");
    ComboBaud->setEditText(QString::fromStdString(baud.empty() ? std::string(kProposedBaud) : baud));
    SelectIndex(ComboBits, ini.ReadInteger("Terminal", "Bits", kFrameN81));
    CheckBoxLowLatency->setChecked(ini.ReadBool("Terminal", "LowLatency", true));
    CheckBoxReopen->setChecked(ini.ReadBool("Terminal", "Reopen", false));
    // File
    EditBrowseSendFile->setText(QString::fromStdString(ini.ReadString("File", "Name", "")));
    SelectIndex(ComboSendFile, ini.ReadInteger("File", "Mode", 0));
    EditBrowseLogFile->setText(QString::fromStdString(ini.ReadString("File", "Log", "")));
    // Font
    fontName_ = QString::fromStdString(ini.ReadString("Font", "Name", "Terminal"));
    fontSize_ = ClampToInt(ini.ReadInteger("Font", "Size", 14), 1, 400);
    fontColor_ = ColorFromSetting(ini.ReadInteger("Font", "Color", 0xC0C0C0));
    QFont font(fontName_);
    font.setPointSize(fontSize_ > 0 ? fontSize_ : 14);
    ApplyDisplayFont(font, fontColor_);
    ReadTerminalOptions(ini);
}

void TForm1::ApplyDisplayFont(const QFont& wanted, const QColor& color) {
    QFont shown = wanted;
    // A family that is not installed would fall back to a proportional font;
    // a terminal wants fixed pitch, so take a fixed font of the system instead.
    if (!QFontDatabase::hasFamily(wanted.family())) {
        shown = FixedPitchFont();
        shown.setPointSize(wanted.pointSize() > 0 ? wanted.pointSize() : 14);
        shown.setBold(wanted.bold());
        shown.setItalic(wanted.italic());
    }
    Memo1->setFont(shown);
    QPalette pal = Memo1->palette();
    pal.setColor(QPalette::Text, color);
    Memo1->setPalette(pal);
}

void TForm1::WriteSettings() {
    IniFile ini(env_.settingsPath);
    const bool maximized = isMaximized();
    const QRect normal = maximized ? normalGeometry() : geometry();
    ini.WriteInteger("Form", "Top", maximized ? normal.top() : y());
    ini.WriteInteger("Form", "Left", maximized ? normal.left() : x());
    if (!maximized) {
        ini.WriteInteger("Form", "Width", width());
        ini.WriteInteger("Form", "Height", height());
    }
    ini.WriteBool("Form", "InitMax", maximized);
    ini.WriteInteger("Terminal", "ComIndex", ComboComPort->currentIndex());
    ini.WriteString("Terminal", "ComPort",
                    ComboComPort->currentIndex() >= 0 ? ComboComPort->currentText().toStdString() : "");
    ini.WriteString("Terminal", "Baud", ComboBaud->currentText().toStdString());
    ini.WriteInteger("Terminal", "Bits", EffectiveIndex(ComboBits));
    ini.WriteBool("Terminal", "LowLatency", CheckBoxLowLatency->isChecked());
    ini.WriteBool("Terminal", "Reopen", CheckBoxReopen->isChecked());
    ini.WriteString("Prog", "File", Edit1->text().toStdString());
    ini.WriteBool("Prog", "Verify", CheckBoxVerify->isChecked());
    ini.WriteBool("Prog", "Reset", CheckBoxReset->isChecked());
    ini.WriteBool("Prog", "ToggleTCK", CheckBoxToggleTCK->isChecked());
    ini.WriteInteger("Prog", "Target", EffectiveIndex(ComboTarget));
    ini.WriteString("File", "Name", EditBrowseSendFile->text().toStdString());
    ini.WriteInteger("File", "Mode", ComboSendFile->currentIndex());
    ini.WriteString("File", "Log", EditBrowseLogFile->text().toStdString());
    ini.WriteString("Font", "Name", fontName_.toStdString());
    ini.WriteInteger("Font", "Size", fontSize_);
    ini.WriteInteger("Font", "Color", ColorToSetting(fontColor_));
    WriteTerminalOptions(ini);
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
    // The history is not a setting: a folder that takes no settings file
    // loses it silently.
    if (historyChanged_ && !HistoryPath().empty()) history_->Save(HistoryPath());
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
    logFile_->Close();
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
    ClosePort();
    close();
}

void TForm1::Font1Click() {
    if (!env_.chooseFont) return;
    const std::optional<QFont> chosen = env_.chooseFont(Memo1->font());
    if (!chosen) return;
    QColor color = fontColor_;
    if (env_.chooseColor) {
        if (auto c = env_.chooseColor(fontColor_)) color = *c;
    }
    fontName_ = chosen->family();
    fontSize_ = chosen->pointSize() > 0 ? chosen->pointSize() : fontSize_;
    fontColor_ = color;
    Memo1->setFont(*chosen);
    QPalette pal = Memo1->palette();
    pal.setColor(QPalette::Text, color);
    Memo1->setPalette(pal);
}

void TForm1::ExtraFeatures1Click() {
    PageControl1->setTabVisible(3, ExtraFeatures1->isChecked());
}

void TForm1::About1Click() {
    TAboutBox box(env_.openDocument, this);
    box.ShowSettingsFile(QString::fromStdString(env_.settingsPath));
    box.exec();
}

bool TForm1::ConfirmOverwrite(const std::string& path) const {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return true;
    return !env_.confirmOverwrite || env_.confirmOverwrite(path);
}

bool TForm1::ConfirmWriteInto(const std::string& path) const {
    if (!env_.confirmWriteInto) return ConfirmOverwrite(path);
    std::error_code ec;
    return !std::filesystem::exists(path, ec) || env_.confirmWriteInto(path);
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

// --------------------------------------------------------- terminal session

void TForm1::SetChoosersEnabled(bool enabled) {
    ComboComPort->setEnabled(enabled);
    ComboBaud->setEnabled(enabled);
    ComboBits->setEnabled(enabled);
}

void TForm1::CheckBox1Click() {
    if (!TerminalHoldsPort()) {
        // The switch cannot close or reopen a port that a run holds: put
        // the box back to what the port is.
        const QSignalBlocker quiet(CheckBox1);
        CheckBox1->setChecked(port().IsOpen());
        return;
    }
    if (CheckBox1->isChecked()) {
        if (ComboComPort->currentIndex() < 0) {
            ShowMessage("There aren't COM Port available on this computer!");
            CheckBox1->setChecked(false);
            return;
        }
        const std::string name = ComboComPort->currentText().toStdString();
        // The user's own open ends any wait for a lost device.
        CancelReopen();
        LabelPortState->clear();
        port().ComSetLowLatency(CheckBoxLowLatency->isChecked());
        const std::uint32_t baud = ParseBaudText(ComboBaud->currentText().toStdString());
        // A rate of 0 would hang up a real line (B0) before being refused.
        const int result = baud == 0 ? kComSettingsRefused : port().ComOpen(name, baud, EffectiveIndex(ComboBits));
        if (result != kComOk) {
            CheckBox1->setChecked(false);
            ShowMessage(OpenFailureText(name, baud, result));
            return;
        }
        pacedRate_ = CharsPerSecond(ParseBaudText(ComboBaud->currentText().toStdString()), EffectiveIndex(ComboBits));
        SetChoosersEnabled(false);
        Memo1->setFocus();
    } else {
        SetChoosersEnabled(true);
        paced_->Stop();
        ClosePort();
    }
}

void TForm1::ClosePort() {
    pumpWaker_->Release();
    port().ComClose();
}

std::string TForm1::OpenFailureText(const std::string& name, std::uint32_t baud, int result) const {
    std::string text = "Error opening " + name;
    if (baud == 0) {
        text += "\nNo baud rate: choose one under \"Baud:\".";
    } else if (result == kComSettingsRefused) {
        text += "\nThe device refused the line settings (" + std::to_string(baud) + " baud, " +
                ComboBits->currentText().toStdString() + ").";
    } else if (const std::string hint = env_.portAccessHint ? env_.portAccessHint(name) : std::string();
               !hint.empty()) {
        // The user may not use the port: the hint says why and what to do.
        text += "\n" + hint;
    } else if (env_.explainOpenFailure) {
        text += "\nThe port " + env_.explainOpenFailure(name) + ".";
    }
    return text;
}

void TForm1::CheckBoxLowLatencyClick() {
    // A run or a capture holds its own request and gives the port back with
    // the terminal's, which then follows the box again.
    if (TerminalHoldsPort()) port().ComSetLowLatency(CheckBoxLowLatency->isChecked());
}

void TForm1::ComboComPortDropDown() {
    ComListPorts(*ComboComPort, env_.listPorts ? env_.listPorts() : std::nullopt);
}

void TForm1::ComboComPortChange() {
    if (!TerminalHoldsPort()) return;
    // Another port chosen: the lost one is no longer awaited.
    if (reopenName_ && ComboComPort->currentText().toStdString() != reopenName_->name) CancelReopen();
    CheckBox1->setChecked(false);
}

void TForm1::PortHolderChanged(PortUser holder) {
    const bool terminal = holder == PortUser::Terminal;
    TerminalPortHolderChanged(terminal);
    // While a run or a capture holds the port, the terminal's controls that
    // would reach it are off; their handlers refuse as well, for keys and
    // for clicks that were already queued.
    for (QWidget* w : std::initializer_list<QWidget*>{CheckBox1, ButtonReset, Button5, ButtonSendFile, Button3,
                                                      ButtonRow, Button6})
        w->setEnabled(terminal);
    UpdateLoaderControls();
    // The run may close the descriptor the pump's notifier watches.
    if (!terminal) pumpWaker_->Release();
    ShowRunProgress(RunProgress{});
    switch (holder) {
        case PortUser::Terminal:
            LabelPortHolder->clear();
            CheckBoxLowLatencyClick();
            break;
        case PortUser::LoaderRun:
            LabelPortHolder->setText("The serial port is in use by the flash loader.");
            break;
        case PortUser::LcdCapture:
            LabelPortHolder->setText("The serial port is in use by the LCD capture.");
            break;
    }
    // A file send would go on into whatever the run leaves on the line.
    if (!terminal && fileSender_->Running()) {
        fileSender_->Stop();
        ButtonSendFile->setText("Send File");
    }
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

void TForm1::SessionFollowsPort() {
    if (!CheckBox1->isChecked()) return;
    // A device that went away during the run ends the session the way the
    // terminal's own loss does: said in the status bar, reopened if asked.
    const bool gone = port().IsOpen() ? port().ComDeviceLost()
                                      : env_.portPresent && !env_.portPresent(ComboComPort->currentText().toStdString());
    if (gone) {
        PortLost();
        return;
    }
    // A run that could not reopen the port leaves it closed: the session
    // switch must not claim otherwise, and the choosers are free again.
    if (!port().IsOpen()) CheckBox1->setChecked(false);
}

void TForm1::Timer1Timer() {
    lastTickBytes_ = 0;
    if (!TerminalHoldsPort()) return;
    const ReceivePump::TickResult tick = ReceivePump::Tick(
        port(), *Memo1, *view_, displayLimit_, [this](const std::uint8_t* b, std::size_t n) { LogChunk(b, n); });
    lastTickBytes_ = tick.bytes;
    received_ += tick.bytes;
    if (logWrote_) {
        logWrote_ = false;
        logFile_->Flush();
    }
    if (tick.bytes == 0 && port().IsOpen() && port().ComDeviceLost()) {
        PortLost();
        return;
    }
    PacedStep();
    if (tick.bytes > 0 || port().WrittenCount != countedWritten_) {
        countedWritten_ = port().WrittenCount;
        CountersChanged();
    }
    // Receiving has precedence: a full chunk holds the file send back.
    if (tick.fullChunk || !fileSender_->Running()) return;
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

void TForm1::Memo1KeyPress(char32_t ch) {
    if (!TerminalHoldsPort()) return;
    const int byte = TypedCharToByte(ch);
    if (byte < 0) return;
    const char code = static_cast<char>(byte);
    SendKeys(std::string_view(&code, 1));
}

void TForm1::Memo1Enter() {
    Memo1->CaretToEnd();
}

void TForm1::ButtonResetClick() {
    if (!TerminalHoldsPort()) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    port().ComResetTarget();
    Memo1->setFocus();
    QApplication::restoreOverrideCursor();
}

void TForm1::Button4Click() {
    Memo1->ClearText();
    view_->Restart();
    received_ = 0;
    sentExcluded_ += SentCount();
    ShowCounters();
    Memo1->setFocus();
}

void TForm1::CheckBoxHexClick() {
    view_->SetOptions(CurrentViewOptions());
    ApplyWrap();
    Memo1->setFocus();
}

}  // namespace quennet
