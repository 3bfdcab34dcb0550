// What the user sends by hand, finding in the display, and the counters.
#include "app/TerminalInput.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "app/FormServices.h"
#include "app/TerminalBars.h"
#include "app/TerminalMemo.h"
#include "terminal/Charset.h"
#include "terminal/InputHistory.h"
#include "terminal/LocalEcho.h"

namespace quennet {

namespace {
// Counters are drawn at most this often while bytes flow.
constexpr int kCountersMs = 200;
}  // namespace

TerminalInput::TerminalInput(ComPort& port, FormServices& services, const InputWidgets& widgets, QObject* parent)
    : QObject(parent),
      port_(port),
      services_(services),
      w_(widgets),
      paced_(std::make_unique<PacedSender>()),
      history_(std::make_unique<InputHistory>()) {
    echo_ = std::make_unique<LocalEcho>();
    if (!HistoryPath().empty()) history_->Load(HistoryPath());
    w_.Memo1->onReturn = [this] { services_.Guarded([this] { Memo1Return(); }); };
    w_.Memo1->onPaste = [this](QClipboard::Mode mode) { services_.Guarded([this, mode] { Memo1Paste(mode); }); };
    w_.Memo1->onFind = [this] { services_.Guarded([this] { FindShow(); }); };
    connect(w_.EditInput, &QLineEdit::returnPressed, this, [this] { services_.Guarded([this] { EditInputReturn(); }); });
    w_.EditInput->onHistory = [this](bool older) { services_.Guarded([this, older] { EditInputHistory(older); }); };
    w_.FindBar1->onSearch = [this](bool forward) { services_.Guarded([this, forward] { FindNext(forward); }); };
    w_.FindBar1->onChanged = [this] {
        w_.Memo1->SetHighlight(w_.FindBar1->EditFind->text().toStdU32String(),
                               w_.FindBar1->CheckBoxFindCase->isChecked());
        w_.FindBar1->LabelFind->clear();
    };
    w_.FindBar1->onClose = [this] { services_.Guarded([this] { FindClose(); }); };
    countersTimer_ = new QTimer(this);
    countersTimer_->setSingleShot(true);
    connect(countersTimer_, &QTimer::timeout, this, [this] { ShowCounters(); });
}

TerminalInput::~TerminalInput() = default;

std::string TerminalInput::HistoryPath() const {
    std::string path = services_.env().settingsPath;
    if (path.empty()) return path;
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.erase(dot);
    return path + ".history";
}

void TerminalInput::SaveHistory() {
    // The history is not a setting: a folder that takes no settings file
    // loses it silently.
    if (historyChanged_ && !HistoryPath().empty()) history_->Save(HistoryPath());
}

void TerminalInput::ApplyOptions(const TerminalOptions& options) {
    options_ = options;
    w_.EditInput->setVisible(options.inputLine);
    w_.LabelCounters->setVisible(options.counters);
    ShowCounters();
}

// ------------------------------------------------------ sending typed text

void TerminalInput::Memo1KeyPress(char32_t ch) {
    if (!TerminalHoldsPort()) return;
    const int byte = TypedCharToByte(ch);
    if (byte < 0) return;
    const char code = static_cast<char>(byte);
    SendKeys(std::string_view(&code, 1));
}

void TerminalInput::Echo(std::string_view bytes) {
    if (!options_.localEcho || !port().IsOpen() || bytes.empty()) return;
    w_.Memo1->BeginUpdate();
    echo_->Show(*w_.Memo1, bytes, hexShown && hexShown());
    w_.Memo1->EndUpdate();
}

// Keys go out at once, unless a paste is still going out: then after it.
void TerminalInput::SendKeys(std::string_view bytes) {
    Echo(bytes);
    if (paced_->Running()) {
        paced_->Queue(bytes);
        return;
    }
    for (char c : bytes) port().ComWriteByte(static_cast<std::uint8_t>(c));
    services_.WakePump();  // the counters follow
}

// A paste or an input line goes out over the pump's ticks.
void TerminalInput::PacedStep() {
    if (!paced_->Running()) return;
    paced_->Step(port(), port().clock().MonotonicUs(), pacedRate_);
    services_.WakePump();
}

bool TerminalInput::Pasting() const { return paced_->Running(); }

void TerminalInput::StopPaste() { paced_->Stop(); }

void TerminalInput::Memo1Return() {
    if (!TerminalHoldsPort()) return;
    SendKeys(LineEndBytes(CurrentLineEnd()));
}

void TerminalInput::Memo1Paste(QClipboard::Mode mode) {
    if (!TerminalHoldsPort() || !port().IsOpen()) return;
    const std::string bytes = TypedBytes(QApplication::clipboard()->text(mode).toStdU32String(), CurrentLineEnd());
    Echo(bytes);
    paced_->Queue(bytes);
    PacedStep();
}

void TerminalInput::EditInputReturn() {
    if (!TerminalHoldsPort() || !port().IsOpen()) return;
    const QString text = w_.EditInput->text();
    std::string bytes = TypedBytes(text.toStdU32String(), CurrentLineEnd());
    bytes += LineEndBytes(CurrentLineEnd());
    history_->Add(text.toStdString());
    historyChanged_ = true;
    w_.EditInput->clear();
    Echo(bytes);
    paced_->Queue(bytes);
    PacedStep();
}

void TerminalInput::EditInputHistory(bool older) {
    const std::optional<std::string> line =
        older ? history_->Older(w_.EditInput->text().toStdString()) : history_->Newer();
    if (line) w_.EditInput->setText(QString::fromStdString(*line));
}

// ------------------------------------------------------------------- find

void TerminalInput::FindShow() {
    w_.FindBar1->show();
    w_.FindBar1->EditFind->setFocus();
    w_.FindBar1->EditFind->selectAll();
    w_.FindBar1->onChanged();
}

void TerminalInput::FindClose() {
    w_.FindBar1->hide();
    w_.Memo1->SetHighlight({}, false);
    w_.Memo1->setFocus();
}

void TerminalInput::FindNext(bool forward) {
    const std::u32string pattern = w_.FindBar1->EditFind->text().toStdU32String();
    if (pattern.empty()) return;
    const std::optional<TextMatch> match = w_.Memo1->Text().Find(pattern, w_.Memo1->SearchFrom(forward), forward,
                                                                 w_.FindBar1->CheckBoxFindCase->isChecked());
    if (match) w_.Memo1->Select(match->from, match->to);
    w_.FindBar1->LabelFind->setText(match ? QString() : QString("Not found"));
}

// --------------------------------------------------------------- counters

void TerminalInput::AfterTick(std::size_t received) {
    received_ += received;
    PacedStep();
    if (received > 0 || port().WrittenCount != countedWritten_) {
        countedWritten_ = port().WrittenCount;
        CountersChanged();
    }
}

void TerminalInput::ClearCounters() {
    received_ = 0;
    sentExcluded_ += SentCount();
    ShowCounters();
}

std::uint64_t TerminalInput::SentCount() const {
    const std::uint64_t written = port().WrittenCount;
    return written - sentExcluded_ - (held_ ? written - heldSince_ : 0);
}

void TerminalInput::CountersChanged() {
    if (options_.counters && !countersTimer_->isActive()) countersTimer_->start(kCountersMs);
}

void TerminalInput::ShowCounters() {
    if (!options_.counters) return;
    w_.LabelCounters->setText(QString("Received: %1  Sent: %2").arg(received_).arg(SentCount()));
}

// What runs and captures write is theirs, not the terminal's; they also end
// a paste that is going out.
void TerminalInput::HolderChanged(PortUser holder) {
    if (holder != PortUser::Terminal) {
        paced_->Stop();
        if (!held_) heldSince_ = port().WrittenCount;
        held_ = true;
    } else if (held_) {
        sentExcluded_ += port().WrittenCount - heldSince_;
        held_ = false;
    }
}

}  // namespace quennet
