// The terminal's options beyond the plain display, each off (or at the plain
// terminal's value) until the user chooses it: what Enter sends, the input
// line and its history, time stamps, how much text is kept, wrapping, the
// hex dump, marks for control bytes, UTF-8, ANSI colours, byte counters;
// and pasting and finding.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include "app/TForm1.h"
#include "app/TerminalBars.h"
#include "app/TerminalMemo.h"
#include "core/BaudText.h"
#include "core/IniFile.h"
#include "terminal/InputHistory.h"
#include "terminal/LogFile.h"

namespace quennet {

namespace {

constexpr const char* kSection = "TerminalOptions";

struct Scrollback {
    const char* name;
    long long chars;
};
// The first is the plain terminal's; every size costs the same per byte.
constexpr Scrollback kScrollbacks[] = {
    {"16000 characters", 16000}, {"100 KB", 100'000}, {"1 MB", 1'000'000}, {"10 MB", 10'000'000}, {"30 MB", 30'000'000},
};

// Counters are drawn at most this often while bytes flow.
constexpr int kCountersMs = 200;

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

// A stored choice; anything out of range gives the default.
void SelectStored(QComboBox* combo, long long index, int def) {
    combo->setCurrentIndex(index >= 0 && index < combo->count() ? static_cast<int>(index) : def);
}

}  // namespace

QWidget* TForm1::BuildTerminalOptions() {
    auto* group = new QGroupBox("Terminal");
    group->setObjectName("GroupBoxTerminal");
    auto* grid = new QGridLayout(group);
    ComboLineEnd = Choice("ComboLineEnd", {"CR", "LF", "CR LF"}, "What the Enter key sends");
    ComboScrollback = Choice("ComboScrollback", {}, "How much received text the display keeps");
    for (const Scrollback& s : kScrollbacks) ComboScrollback->addItem(s.name, QVariant::fromValue(s.chars));
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
    QCheckBox* const boxes[] = {CheckBoxInputLine, CheckBoxTimestamps, CheckBoxWrap,
                                CheckBoxControlMarks, CheckBoxAnsi, CheckBoxCounters};
    for (int i = 0; i < 6; ++i) grid->addWidget(boxes[i], 2 + i / 2, (i % 2) * 2, 1, 2);
    return group;
}

void TForm1::WireTerminal() {
    view_ = std::make_unique<ReceiveView>(ViewOptions{}, env_.timeOfDay);
    paced_ = std::make_unique<PacedSender>();
    history_ = std::make_unique<InputHistory>();
    if (!HistoryPath().empty()) history_->Load(HistoryPath());
    const auto changed = [this] { Guarded([this] { TerminalOptionsChanged(); }); };
    for (QComboBox* combo : {ComboLineEnd, ComboScrollback, ComboEncoding, ComboHexView})
        connect(combo, &QComboBox::currentIndexChanged, this, changed);
    for (QCheckBox* box : {CheckBoxInputLine, CheckBoxTimestamps, CheckBoxWrap, CheckBoxControlMarks, CheckBoxAnsi,
                           CheckBoxCounters})
        connect(box, &QCheckBox::toggled, this, changed);
    Memo1->onReturn = [this] { Guarded([this] { Memo1Return(); }); };
    Memo1->onPaste = [this](QClipboard::Mode mode) { Guarded([this, mode] { Memo1Paste(mode); }); };
    Memo1->onFind = [this] { Guarded([this] { FindShow(); }); };
    connect(EditInput, &QLineEdit::returnPressed, this, [this] { Guarded([this] { EditInputReturn(); }); });
    EditInput->onHistory = [this](bool older) { Guarded([this, older] { EditInputHistory(older); }); };
    FindBar1->onSearch = [this](bool forward) { Guarded([this, forward] { FindNext(forward); }); };
    FindBar1->onChanged = [this] {
        Memo1->SetHighlight(FindBar1->EditFind->text().toStdU32String(), FindBar1->CheckBoxFindCase->isChecked());
        FindBar1->LabelFind->clear();
    };
    FindBar1->onClose = [this] { Guarded([this] { FindClose(); }); };
    countersTimer_ = new QTimer(this);
    countersTimer_->setSingleShot(true);
    connect(countersTimer_, &QTimer::timeout, this, [this] { ShowCounters(); });
}

void TForm1::ReadTerminalOptions(const IniFile& ini) {
    SelectStored(ComboLineEnd, ini.ReadInteger(kSection, "LineEnd", 0), 0);
    // A size that is not in the list takes the largest one it covers.
    const long long chars = ini.ReadInteger(kSection, "Scrollback", kScrollbacks[0].chars);
    int scrollback = 0;
    for (int i = 0; i < ComboScrollback->count(); ++i)
        if (kScrollbacks[i].chars <= chars) scrollback = i;
    ComboScrollback->setCurrentIndex(scrollback);
    SelectStored(ComboEncoding, ini.ReadInteger(kSection, "Encoding", 0), 0);
    SelectStored(ComboHexView, ini.ReadInteger(kSection, "HexView", 0), 0);
    CheckBoxInputLine->setChecked(ini.ReadBool(kSection, "InputLine", false));
    CheckBoxTimestamps->setChecked(ini.ReadBool(kSection, "Timestamps", false));
    CheckBoxWrap->setChecked(ini.ReadBool(kSection, "Wrap", false));
    CheckBoxControlMarks->setChecked(ini.ReadBool(kSection, "ControlMarks", false));
    CheckBoxAnsi->setChecked(ini.ReadBool(kSection, "Ansi", false));
    CheckBoxCounters->setChecked(ini.ReadBool(kSection, "Counters", false));
    CheckBoxLogTimestamps->setChecked(ini.ReadBool(kSection, "LogTimestamps", false));
    TerminalOptionsChanged();
}

void TForm1::WriteTerminalOptions(IniFile& ini) {
    ini.WriteInteger(kSection, "LineEnd", ComboLineEnd->currentIndex());
    ini.WriteInteger(kSection, "Scrollback", static_cast<long long>(displayLimit_));
    ini.WriteInteger(kSection, "Encoding", ComboEncoding->currentIndex());
    ini.WriteInteger(kSection, "HexView", ComboHexView->currentIndex());
    ini.WriteBool(kSection, "InputLine", CheckBoxInputLine->isChecked());
    ini.WriteBool(kSection, "Timestamps", CheckBoxTimestamps->isChecked());
    ini.WriteBool(kSection, "Wrap", CheckBoxWrap->isChecked());
    ini.WriteBool(kSection, "ControlMarks", CheckBoxControlMarks->isChecked());
    ini.WriteBool(kSection, "Ansi", CheckBoxAnsi->isChecked());
    ini.WriteBool(kSection, "Counters", CheckBoxCounters->isChecked());
    ini.WriteBool(kSection, "LogTimestamps", CheckBoxLogTimestamps->isChecked());
}

std::string TForm1::HistoryPath() const {
    std::string path = env_.settingsPath;
    if (path.empty()) return path;
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.erase(dot);
    return path + ".history";
}

ViewOptions TForm1::CurrentViewOptions() const {
    ViewOptions o;
    o.hex = CheckBoxHex->isChecked();
    o.hexStyle = ComboHexView->currentIndex() == 1 ? HexStyle::Dump : HexStyle::Pairs;
    o.encoding = ComboEncoding->currentIndex() == 1 ? TextEncoding::Utf8 : TextEncoding::Latin1;
    o.controlMarks = CheckBoxControlMarks->isChecked();
    o.ansi = CheckBoxAnsi->isChecked();
    o.timestamps = CheckBoxTimestamps->isChecked();
    return o;
}

LineEnd TForm1::CurrentLineEnd() const {
    switch (ComboLineEnd->currentIndex()) {
        case 1: return LineEnd::Lf;
        case 2: return LineEnd::CrLf;
        default: return LineEnd::Cr;
    }
}

void TForm1::TerminalOptionsChanged() {
    view_->SetOptions(CurrentViewOptions());
    const QVariant chars = ComboScrollback->currentData();
    displayLimit_ = chars.isValid() ? static_cast<std::size_t>(chars.toLongLong()) : kScrollbacks[0].chars;
    ApplyWrap();
    EditInput->setVisible(CheckBoxInputLine->isChecked());
    LabelCounters->setVisible(CheckBoxCounters->isChecked());
    ShowCounters();
}

// "XX " pairs wrap at the view's width as they always have; text and the
// dump wrap when the user asks for it.
void TForm1::ApplyWrap() {
    const bool pairs = CheckBoxHex->isChecked() && ComboHexView->currentIndex() != 1;
    const bool wrap = pairs || CheckBoxWrap->isChecked();
    Memo1->setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(wrap ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
}

// ------------------------------------------------------ sending typed text

// Keys go out at once, unless a paste is still going out: then after it.
void TForm1::SendKeys(std::string_view bytes) {
    if (paced_->Running()) {
        paced_->Queue(bytes);
        return;
    }
    for (char c : bytes) port().ComWriteByte(static_cast<std::uint8_t>(c));
}

void TForm1::PacedStep() {
    if (paced_->Running()) paced_->Step(port(), port().clock().MonotonicUs(), pacedRate_);
}

void TForm1::Memo1Return() {
    if (!TerminalHoldsPort()) return;
    SendKeys(LineEndBytes(CurrentLineEnd()));
}

void TForm1::Memo1Paste(QClipboard::Mode mode) {
    if (!TerminalHoldsPort() || !port().IsOpen()) return;
    paced_->Queue(TypedBytes(QApplication::clipboard()->text(mode).toStdU32String(), CurrentLineEnd()));
    PacedStep();
}

void TForm1::EditInputReturn() {
    if (!TerminalHoldsPort() || !port().IsOpen()) return;
    const QString text = EditInput->text();
    std::string bytes = TypedBytes(text.toStdU32String(), CurrentLineEnd());
    bytes += LineEndBytes(CurrentLineEnd());
    history_->Add(text.toStdString());
    historyChanged_ = true;
    EditInput->clear();
    paced_->Queue(bytes);
    PacedStep();
}

void TForm1::EditInputHistory(bool older) {
    const std::optional<std::string> line = older ? history_->Older(EditInput->text().toStdString()) : history_->Newer();
    if (line) EditInput->setText(QString::fromStdString(*line));
}

// ------------------------------------------------------------------- find

void TForm1::FindShow() {
    FindBar1->show();
    FindBar1->EditFind->setFocus();
    FindBar1->EditFind->selectAll();
    FindBar1->onChanged();
}

void TForm1::FindClose() {
    FindBar1->hide();
    Memo1->SetHighlight({}, false);
    Memo1->setFocus();
}

void TForm1::FindNext(bool forward) {
    const std::u32string pattern = FindBar1->EditFind->text().toStdU32String();
    if (pattern.empty()) return;
    const std::optional<TextMatch> match =
        Memo1->Text().Find(pattern, Memo1->SearchFrom(forward), forward, FindBar1->CheckBoxFindCase->isChecked());
    if (match)
        Memo1->Select(match->from, match->to);
    FindBar1->LabelFind->setText(match ? QString() : QString("Not found"));
}

// --------------------------------------------------------------- counters

std::uint64_t TForm1::SentCount() const {
    const std::uint64_t written = port().WrittenCount;
    return written - sentExcluded_ - (held_ ? written - heldSince_ : 0);
}

void TForm1::CountersChanged() {
    if (CheckBoxCounters->isChecked() && !countersTimer_->isActive()) countersTimer_->start(kCountersMs);
}

void TForm1::ShowCounters() {
    if (!CheckBoxCounters->isChecked()) return;
    LabelCounters->setText(QString("Received: %1  Sent: %2").arg(received_).arg(SentCount()));
}

// What runs and captures write is theirs, not the terminal's; they also end
// a paste that is going out.
void TForm1::TerminalPortHolderChanged(bool terminal) {
    if (!terminal) {
        paced_->Stop();
        if (!held_) heldSince_ = port().WrittenCount;
        held_ = true;
    } else if (held_) {
        sentExcluded_ += port().WrittenCount - heldSince_;
        held_ = false;
    }
}

void TForm1::LogChunk(const std::uint8_t* bytes, std::size_t n) {
    const bool logging = CheckBoxLogFile->isChecked();
    logWrote_ = logWrote_ || (logging && logFile_->IsOpen());
    if (logging && CheckBoxLogTimestamps->isChecked() && logFile_->IsOpen())
        logFile_->WriteStamped(bytes, n, FormatTimeOfDay(env_.timeOfDay ? env_.timeOfDay() : 0));
    else
        LogReceivedBytes(*logFile_, logging, bytes, n);
}

}  // namespace quennet
