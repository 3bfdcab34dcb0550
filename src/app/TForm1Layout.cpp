// The window's controls: menus, the four tabs and the status bar, each
// control under its form name. What the controls do is wired by the frame
// and the parts; the frame's own connections are made here too.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <iterator>

#include "app/FormControls.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalBars.h"
#include "app/TerminalMemo.h"
#include "app/TerminalTransfer.h"
#include "loader/Loader.h"
#include "serial/FrameText.h"

namespace quennet {

namespace {

using Handler = void (TForm1::*)();

constexpr int kPanelMargin = 8;  // Image1 sits at 8, 8 inside Panel1

const char* const kBaudRates[] = {"600",   "1200",  "4800",  "9600",   "14400",  "19200",
                                  "28800", "38400", "57600", "115200", "460800", "921600"};

// The names of the scrollback sizes, in the order of kScrollbackChars.
constexpr const char* kScrollbackNames[] = {"16000 characters", "100 KB", "1 MB", "10 MB", "30 MB"};
static_assert(std::size(kScrollbackNames) == kScrollbackCount);

QComboBox* Choice(const char* name, std::initializer_list<const char*> items, const char* tip) {
    auto* combo = new QComboBox;
    combo->setObjectName(name);
    for (const char* item : items) combo->addItem(item);
    combo->setToolTip(tip);
    return combo;
}

QCheckBox* Option(const char* name, const char* caption, const char* tip) {
    auto* box = new QCheckBox(caption);
    box->setObjectName(name);
    box->setToolTip(tip);
    return box;
}

}  // namespace

void TForm1::ConnectFrame() {
    const auto guarded = [this](Handler handler) {
        return [this, handler] { Guarded([this, handler] { (this->*handler)(); }); };
    };
    connect(Exit1, &QAction::triggered, this, guarded(&TForm1::Exit1Click));
    connect(Font1, &QAction::triggered, this, guarded(&TForm1::Font1Click));
    // A checkable action flips its own check mark before it triggers.
    connect(ExtraFeatures1, &QAction::triggered, this, guarded(&TForm1::ExtraFeatures1Click));
    connect(About1, &QAction::triggered, this, guarded(&TForm1::About1Click));
    connect(ButtonLoad1, &QAction::triggered, this, guarded(&TForm1::ButtonLoad1Click));
    connect(ButtonSave1, &QAction::triggered, this, guarded(&TForm1::ButtonSave1Click));

    connect(CheckBox1, &QCheckBox::toggled, this, guarded(&TForm1::CheckBox1Click));
    ComboComPort->onDropDown = guarded(&TForm1::ComboComPortDropDown);
    connect(ComboComPort, &QComboBox::currentIndexChanged, this, guarded(&TForm1::ComboComPortChange));
    connect(ButtonReset, &QPushButton::clicked, this, guarded(&TForm1::ButtonResetClick));
    connect(Button4, &QPushButton::clicked, this, guarded(&TForm1::Button4Click));
    connect(CheckBoxHex, &QCheckBox::toggled, this, guarded(&TForm1::CheckBoxHexClick));
    connect(CheckBoxLowLatency, &QCheckBox::toggled, this, guarded(&TForm1::CheckBoxLowLatencyClick));
    connect(VisibleCheck, &QCheckBox::toggled, this, guarded(&TForm1::VisibleCheckClick));
    Memo1->onKeyPress = [this](char32_t ch) { Guarded([this, ch] { Memo1KeyPress(ch); }); };
    Memo1->onKeyDown = [this](int key, Qt::KeyboardModifiers m) {
        Guarded([this, key, m] { Memo1KeyDown(key, m); });
    };
    Memo1->onEnter = guarded(&TForm1::Memo1Enter);
    for (int i = 0; i < 8; ++i) {
        connect(ButtonStr[i], &QPushButton::clicked, this, guarded(kButtonStrClicks[i]));
        connect(EditBC[i], &QLineEdit::textChanged, this, guarded(kEditBCChanges[i]));
    }
    for (QComboBox* combo : {ComboLineEnd, ComboScrollback, ComboEncoding, ComboHexView})
        connect(combo, &QComboBox::currentIndexChanged, this, guarded(&TForm1::TerminalOptionsChanged));
    for (QCheckBox* box : {CheckBoxInputLine, CheckBoxTimestamps, CheckBoxWrap, CheckBoxControlMarks, CheckBoxAnsi,
                           CheckBoxCounters, CheckBoxLocalEcho, CheckBoxFKeys, CheckBoxRestoreButtons})
        connect(box, &QCheckBox::toggled, this, guarded(&TForm1::TerminalOptionsChanged));
    connect(ComboFlow, &QComboBox::currentIndexChanged, this, guarded(&TForm1::TerminalOptionsChanged));
    connect(SpinBreakMs, &QSpinBox::valueChanged, this, guarded(&TForm1::TerminalOptionsChanged));
    connect(ComboBits, &QComboBox::activated, this, guarded(&TForm1::ComboBitsSelect));
    // The DTR toggle shows the line as "Invert DTR" leaves it.
    connect(CheckBoxReset, &QCheckBox::toggled, this, guarded(&TForm1::ShowLines));

    connect(ButtonStop, &QPushButton::clicked, this, guarded(&TForm1::ButtonStopClick));
    connect(ButtonStopCapture, &QPushButton::clicked, this, guarded(&TForm1::ButtonStopClick));
    // Esc belongs to the terminal (it sends ESC) except while a long
    // operation holds the port.
    StopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    StopShortcut->setObjectName("StopShortcut");
    StopShortcut->setContext(Qt::WindowShortcut);
    StopShortcut->setEnabled(false);
    connect(StopShortcut, &QShortcut::activated, this, guarded(&TForm1::ButtonStopClick));
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (PageControl1->widget(index) == TabLcd) Guarded([this] { TabSheetLCDShow(); });
    });
}

void TForm1::BuildMenus() {
    // Alt mnemonics only: a Ctrl+letter belongs to the terminal, which sends
    // it to the target.
    QMenu* file = menuBar()->addMenu("&File");
    ButtonLoad1 = file->addAction("&Load Buttons");
    ButtonLoad1->setObjectName("ButtonLoad1");
    ButtonSave1 = file->addAction("&Save Buttons");
    ButtonSave1->setObjectName("ButtonSave1");
    file->addSeparator();
    Exit1 = file->addAction("E&xit");
    Exit1->setObjectName("Exit1");

    QMenu* options = menuBar()->addMenu("&Options");
    Font1 = options->addAction("&Font");
    Font1->setObjectName("Font1");
    options->addSeparator();
    ExtraFeatures1 = options->addAction("&Extra Features");
    ExtraFeatures1->setObjectName("ExtraFeatures1");
    ExtraFeatures1->setCheckable(true);

    QMenu* help = menuBar()->addMenu("&Help");
    About1 = help->addAction("&About");
    About1->setObjectName("About1");
}

void TForm1::BuildStatusBar() {
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
    BuildTransferStatus(*transferWidgets_, statusBar());
    LabelCounters = new QLabel;
    LabelCounters->setObjectName("LabelCounters");
    LabelCounters->hide();
    statusBar()->addPermanentWidget(LabelCounters);
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
    ComboBits->addItem("Custom...");  // after the five, whose indices are stored
    ComboBits->setCurrentIndex(kFrameN81);
    // Sized for the frames ("N-8-1"), not for "Custom...": the first row
    // has to fit the window's minimum width.
    ComboBits->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBits->setMinimumContentsLength(3);
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
    ButtonBreak = new QPushButton("BREAK");
    ButtonBreak->setObjectName("ButtonBreak");
    ButtonBreak->setFocusPolicy(Qt::NoFocus);
    row2->addWidget(ButtonBreak);
    ButtonDtr = new QPushButton("DTR");
    ButtonDtr->setObjectName("ButtonDtr");
    ButtonRts = new QPushButton("RTS");
    ButtonRts->setObjectName("ButtonRts");
    for (QPushButton* line : {ButtonDtr, ButtonRts}) {
        line->setCheckable(true);
        line->setFocusPolicy(Qt::NoFocus);
        row2->addWidget(line);
    }
    row2->addWidget(BuildReceiveBox(*transferWidgets_));
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
    LoaderActions = BuildLoaderActionRow(column);

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
    for (const char* protocol : kTransferProtocolNames) ComboSendFile->addItem(protocol);
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
    grid->addWidget(BuildTransferSettings(*transferWidgets_), 3, 0);

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
    grid->setRowStretch(4, 1);
    return tab;
}

QWidget* TForm1::BuildTerminalOptions() {
    auto* group = new QGroupBox("Terminal");
    group->setObjectName("GroupBoxTerminal");
    auto* grid = new QGridLayout(group);
    ComboLineEnd = Choice("ComboLineEnd", {"CR", "LF", "CR LF"}, "What the Enter key sends");
    ComboScrollback = Choice("ComboScrollback", {}, "How much received text the display keeps");
    for (std::size_t i = 0; i < kScrollbackCount; ++i)
        ComboScrollback->addItem(kScrollbackNames[i], QVariant::fromValue(kScrollbackChars[i]));
    ComboEncoding = Choice("ComboEncoding", {"Latin-1", "UTF-8"}, "How received bytes become characters");
    ComboHexView = Choice("ComboHexView", {"Pairs", "Dump with text"}, "What Show Hex shows");
    grid->addWidget(new QLabel("Enter sends:"), 0, 0);
    grid->addWidget(ComboLineEnd, 0, 1);
    grid->addWidget(new QLabel("Scrollback:"), 0, 2);
    grid->addWidget(ComboScrollback, 0, 3);
    grid->addWidget(new QLabel("Encoding:"), 1, 0);
    grid->addWidget(ComboEncoding, 1, 1);
    grid->addWidget(new QLabel("Hex view:"), 1, 2);
    grid->addWidget(ComboHexView, 1, 3);
    CheckBoxInputLine = Option("CheckBoxInputLine", "Input line", "A line under the display, sent with Enter");
    CheckBoxTimestamps = Option("CheckBoxTimestamps", "Timestamps", "Each received line starts with the time");
    CheckBoxWrap = Option("CheckBoxWrap", "Wrap long lines", "Wrap at the display's width");
    CheckBoxControlMarks = Option("CheckBoxControlMarks", "Control bytes as ^X", "Show control bytes as ^X marks");
    CheckBoxAnsi = Option("CheckBoxAnsi", "ANSI colours", "Colours and bold from escape sequences");
    CheckBoxCounters = Option("CheckBoxCounters", "Byte counters", "Bytes received and sent, in the status bar");
    CheckBoxLocalEcho = Option("CheckBoxLocalEcho", "Local echo", "Show what is typed, in a colour of its own");
    CheckBoxFKeys = Option("CheckBoxFKeys", "F-keys on buttons", "Function buttons show their key");
    CheckBoxRestoreButtons =
        Option("CheckBoxRestoreButtons", "Restore last buttons", "Load the button set last loaded or saved at start");
    QCheckBox* const boxes[] = {CheckBoxInputLine, CheckBoxTimestamps, CheckBoxWrap,  CheckBoxControlMarks,
                                CheckBoxAnsi,      CheckBoxCounters,   CheckBoxLocalEcho, CheckBoxFKeys,
                                CheckBoxRestoreButtons};
    for (int i = 0; i < 9; ++i) grid->addWidget(boxes[i], 2 + i / 2, (i % 2) * 2, 1, 2);
    ComboFlow = Choice("ComboFlow", {"None", "RTS/CTS", "XON/XOFF"}, "Flow control of the terminal's port");
    SpinBreakMs = new QSpinBox;
    SpinBreakMs->setObjectName("SpinBreakMs");
    SpinBreakMs->setRange(kMinBreakMs, kMaxBreakMs);
    SpinBreakMs->setValue(kDefaultBreakMs);
    SpinBreakMs->setSuffix(" ms");
    SpinBreakMs->setToolTip("How long BREAK holds the line");
    grid->addWidget(new QLabel("Flow control:"), 7, 0);
    grid->addWidget(ComboFlow, 7, 1);
    grid->addWidget(new QLabel("Break:"), 7, 2);
    grid->addWidget(SpinBreakMs, 7, 3);
    return group;
}

QWidget* TForm1::BuildLcdTab() {
    auto* tab = new QWidget;
    tab->setObjectName("TabSheetLCD");
    auto* column = new QVBoxLayout(tab);

    auto* row = new QHBoxLayout;
    Button6 = new QPushButton("Capture Image");
    Button6->setObjectName("Button6");
    ButtonStopCapture = new QPushButton("Stop");
    ButtonStopCapture->setObjectName("ButtonStopCapture");
    ButtonStopCapture->setToolTip("Ends the capture at the next row (Esc)");
    ButtonStopCapture->setEnabled(false);
    ButtonSaveImage = new QPushButton("Save Image");
    ButtonSaveImage->setObjectName("ButtonSaveImage");
    CheckZoom = new QCheckBox("Zoom 2X");
    CheckZoom->setObjectName("CheckZoom");
    CheckBoxInvert = new QCheckBox("Invert Image");
    CheckBoxInvert->setObjectName("CheckBoxInvert");
    ProgressBarLCD = new QProgressBar;
    ProgressBarLCD->setObjectName("ProgressBarLCD");
    ProgressBarLCD->setRange(0, 100);
    ProgressBarLCD->setValue(0);
    ProgressBarLCD->setMaximumWidth(200);
    row->addWidget(Button6);
    row->addWidget(ButtonStopCapture);
    row->addWidget(ButtonSaveImage);
    row->addWidget(CheckZoom);
    row->addWidget(CheckBoxInvert);
    row->addWidget(ProgressBarLCD);
    row->addStretch(1);
    column->addLayout(row);

    // The picture sits at a fixed place inside its frame; both are sized by
    // each redraw, not by the layout.
    Panel1 = new QFrame;
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setFixedSize(144, 90);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName("Image1");
    Image1->setScaledContents(true);
    Image1->setGeometry(kPanelMargin, kPanelMargin, 128, 64);
    column->addWidget(Panel1, 0, Qt::AlignLeft | Qt::AlignTop);
    column->addStretch(1);
    return tab;
}

TerminalOptions TForm1::ShownTerminalOptions() const {
    TerminalOptions o;
    switch (ComboLineEnd->currentIndex()) {
        case 1: o.lineEnd = LineEnd::Lf; break;
        case 2: o.lineEnd = LineEnd::CrLf; break;
        default: o.lineEnd = LineEnd::Cr; break;
    }
    const QVariant chars = ComboScrollback->currentData();
    o.scrollback = chars.isValid() ? chars.toLongLong() : kScrollbackChars[0];
    o.encoding = ComboEncoding->currentIndex() == 1 ? TextEncoding::Utf8 : TextEncoding::Latin1;
    o.hexView = ComboHexView->currentIndex() == 1 ? HexStyle::Dump : HexStyle::Pairs;
    o.inputLine = CheckBoxInputLine->isChecked();
    o.timestamps = CheckBoxTimestamps->isChecked();
    o.wrap = CheckBoxWrap->isChecked();
    o.controlMarks = CheckBoxControlMarks->isChecked();
    o.ansi = CheckBoxAnsi->isChecked();
    o.counters = CheckBoxCounters->isChecked();
    o.logTimestamps = CheckBoxLogTimestamps->isChecked();
    o.localEcho = CheckBoxLocalEcho->isChecked();
    o.breakMs = SpinBreakMs->value();
    o.flow = ParseFlowControl(ComboFlow->currentText().toStdString()).value_or(FlowControl::None);
    o.customFrame = customFrame_;
    o.fkeys = CheckBoxFKeys->isChecked();
    o.restoreButtons = CheckBoxRestoreButtons->isChecked();
    return o;
}

void TForm1::ShowTerminalOptions(const TerminalOptions& o) {
    ComboLineEnd->setCurrentIndex(static_cast<int>(o.lineEnd));
    ComboScrollback->setCurrentIndex(ScrollbackIndex(o.scrollback));
    ComboEncoding->setCurrentIndex(o.encoding == TextEncoding::Utf8 ? 1 : 0);
    ComboHexView->setCurrentIndex(o.hexView == HexStyle::Dump ? 1 : 0);
    CheckBoxInputLine->setChecked(o.inputLine);
    CheckBoxTimestamps->setChecked(o.timestamps);
    CheckBoxWrap->setChecked(o.wrap);
    CheckBoxControlMarks->setChecked(o.controlMarks);
    CheckBoxAnsi->setChecked(o.ansi);
    CheckBoxCounters->setChecked(o.counters);
    CheckBoxLogTimestamps->setChecked(o.logTimestamps);
    CheckBoxLocalEcho->setChecked(o.localEcho);
    SpinBreakMs->setValue(o.breakMs);
    ComboFlow->setCurrentIndex(ComboFlow->findText(FlowControlName(o.flow)));
    customFrame_ = o.customFrame;
    CheckBoxFKeys->setChecked(o.fkeys);
    CheckBoxRestoreButtons->setChecked(o.restoreButtons);
}

}  // namespace quennet
