// File transfers by XMODEM, YMODEM and ZMODEM in the terminal window.
#include "app/TerminalTransfer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/FormServices.h"
#include "app/TerminalMemo.h"
#include "core/ScopeExit.h"
#include "terminal/transfer/ReceivedFile.h"
#include "terminal/transfer/Transfer.h"
#include "terminal/transfer/XyModem.h"
#include "terminal/transfer/Zmodem.h"

namespace quennet {

namespace fs = std::filesystem;

namespace {

constexpr int kTickMs = 1;
constexpr std::size_t kReadPerTick = 64 * 1024;  // a local far end can outrun any tick
constexpr int kAheadMs = 20;                     // wire time kept written ahead
constexpr std::size_t kMinAhead = 256;
constexpr std::size_t kMaxPending = 64 * 1024;
constexpr std::uint64_t kMuteAfterDeclineMs = 3000;
constexpr std::size_t kRecentBytes = 32;
constexpr int kProgressEveryMs = 100;

fs::path Utf8Path(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string Amount(double bytes) {
    char buf[32];
    if (bytes < 10 * 1024) std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    else if (bytes < 10 * 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024);
    else std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024 * 1024));
    return buf;
}

std::string Duration(double seconds) {
    const long long s = static_cast<long long>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

// Where a ZMODEM header starts that ends at the end of bytes: its run of
// ZPAD before ZDLE and the header kind; npos when none is seen.
std::size_t HeaderStart(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = bytes.size(); i-- > 1;) {
        if (bytes[i - 1] != zmodem::kDle ||
            (bytes[i] != zmodem::kBin16 && bytes[i] != zmodem::kHex && bytes[i] != zmodem::kBin32))
            continue;
        std::size_t start = i - 1;
        while (start > 0 && bytes[start - 1] == zmodem::kPad) --start;
        return start;
    }
    return std::string::npos;
}

}  // namespace

// ------------------------------------------------------------- controls

QWidget* BuildReceiveBox(TransferWidgets& w) {
    auto* box = new QWidget;
    box->setObjectName("ReceiveBox");
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    w.ComboReceiveFile = new QComboBox;
    w.ComboReceiveFile->setObjectName("ComboReceiveFile");
    for (const char* name : kTransferProtocolNames) w.ComboReceiveFile->addItem(name);
    w.ComboReceiveFile->setToolTip("The protocol \"Receive File\" uses");
    w.ButtonReceiveFile = new QPushButton("Receive File");
    w.ButtonReceiveFile->setObjectName("ButtonReceiveFile");
    w.ButtonReceiveFile->setToolTip(
        "XMODEM into a file you name; YMODEM and ZMODEM into the folder of the Settings tab");
    row->addWidget(w.ComboReceiveFile);
    row->addWidget(w.ButtonReceiveFile);
    return box;
}

QWidget* BuildTransferSettings(TransferWidgets& w) {
    auto* group = new QGroupBox("File Transfers");
    group->setObjectName("GroupBoxTransfers");
    auto* grid = new QGridLayout(group);
    w.EditReceiveFolder = new QLineEdit;
    w.EditReceiveFolder->setObjectName("EditReceiveFolder");
    w.EditReceiveFolder->setToolTip("Where YMODEM and ZMODEM put the files they receive");
    w.ButtonBrowseReceiveFolder = new QPushButton("Receive Folder");
    w.ButtonBrowseReceiveFolder->setObjectName("ButtonBrowseReceiveFolder");
    w.CheckBoxAutoStart = new QCheckBox("ZMODEM auto-start");
    w.CheckBoxAutoStart->setObjectName("CheckBoxAutoStart");
    w.CheckBoxAutoStart->setToolTip(
        "When the target starts sz or rz, offer to receive or send; nothing happens until you answer");
    w.SpinByteLimit = new QSpinBox;
    w.SpinByteLimit->setObjectName("SpinByteLimit");
    w.SpinByteLimit->setRange(0, static_cast<int>(kMaxByteLimitMiB));
    w.SpinByteLimit->setSuffix(" MiB");
    w.SpinByteLimit->setSpecialValueText("no limit");
    w.SpinByteLimit->setToolTip("The most one receive may bring; a sender that goes past it is cancelled");
    grid->addWidget(w.ButtonBrowseReceiveFolder, 0, 0);
    grid->addWidget(w.EditReceiveFolder, 0, 1, 1, 2);
    grid->addWidget(w.CheckBoxAutoStart, 1, 0);
    grid->addWidget(new QLabel("Receive at most:"), 1, 1);
    grid->addWidget(w.SpinByteLimit, 1, 2);
    return group;
}

void BuildTransferStatus(TransferWidgets& w, QStatusBar* bar) {
    w.LabelTransfer = new QLabel;
    w.LabelTransfer->setObjectName("LabelTransfer");
    w.LabelTransfer->hide();
    bar->addPermanentWidget(w.LabelTransfer);
    w.ProgressBarTransfer = new QProgressBar;
    w.ProgressBarTransfer->setObjectName("ProgressBarTransfer");
    w.ProgressBarTransfer->setMaximumWidth(160);
    w.ProgressBarTransfer->setTextVisible(false);
    w.ProgressBarTransfer->hide();
    bar->addPermanentWidget(w.ProgressBarTransfer);
}

// ------------------------------------------------------------------ part

TerminalTransfer::TerminalTransfer(ComPort& port, FormServices& services, const TransferWidgets& widgets,
                                   QObject* parent)
    : QObject(parent), port_(port), services_(services), w_(widgets) {
    timer_ = new QTimer(this);
    timer_->setObjectName("TransferTimer");
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(kTickMs);
    connect(timer_, &QTimer::timeout, this, [this] { services_.Guarded([this] { Tick(); }); });
    connect(w_.ButtonReceiveFile, &QPushButton::clicked, this,
            [this] { services_.Guarded([this] { ButtonReceiveFileClick(); }); });
    connect(w_.ButtonBrowseReceiveFolder, &QPushButton::clicked, this,
            [this] { services_.Guarded([this] { ButtonBrowseReceiveFolderClick(); }); });
}

TerminalTransfer::~TerminalTransfer() = default;

std::string TerminalTransfer::DefaultFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation).toStdString();
}

TransferSettings TerminalTransfer::Settings() const {
    TransferSettings s;
    s.folder = w_.EditReceiveFolder->text().toStdString();
    s.autoStart = w_.CheckBoxAutoStart->isChecked();
    s.byteLimitMiB = static_cast<std::uint64_t>(w_.SpinByteLimit->value());
    s.receiveProtocol = static_cast<TransferProtocol>(std::clamp(w_.ComboReceiveFile->currentIndex(), 0, 3));
    return s;
}

void TerminalTransfer::ShowSettings(const TransferSettings& s) {
    w_.EditReceiveFolder->setText(QString::fromStdString(s.folder));
    w_.CheckBoxAutoStart->setChecked(s.autoStart);
    w_.SpinByteLimit->setValue(static_cast<int>(std::min(s.byteLimitMiB, kMaxByteLimitMiB)));
    w_.ComboReceiveFile->setCurrentIndex(static_cast<int>(s.receiveProtocol));
}

std::uint64_t TerminalTransfer::ByteLimit() const {
    return static_cast<std::uint64_t>(w_.SpinByteLimit->value()) * 1024 * 1024;
}

std::uint64_t TerminalTransfer::NowMs() { return port_.clock().MonotonicUs() / 1000; }

double TerminalTransfer::BytesPerMs() const {
    bool ok = false;
    const unsigned baud = w_.ComboBaud->currentText().trimmed().toUInt(&ok);
    // Start, eight data bits, stop: ten bits a byte.
    return (ok && baud > 0 ? baud : 115200) / 10000.0;
}

// ---------------------------------------------------------- starting

bool TerminalTransfer::StartSend(int modeIndex, const std::string& text) {
    const int p = modeIndex - kFirstProtocolSendMode;
    if (p < 0 || p >= kTransferProtocolCount) return false;
    if (transfer_ || !port_.Owner().Holds(PortUser::Terminal)) return true;
    if (!port_.IsOpen()) {
        services_.ShowMessage("Communication Port is not Open!");
        return true;
    }
    const auto protocol = static_cast<TransferProtocol>(p);
    std::vector<fs::path> files;
    for (const auto& f : SplitSendFiles(text)) {
        std::error_code ec;
        if (!fs::is_regular_file(Utf8Path(f), ec)) {
            services_.ShowMessage("Can't Open the File!");
            return true;
        }
        files.push_back(Utf8Path(f));
    }
    if (files.empty()) {
        services_.ShowMessage("Can't Open the File!");
        return true;
    }
    if (!IsBatchProtocol(protocol)) files.resize(1);  // XMODEM carries one file
    std::unique_ptr<Transfer> t;
    switch (protocol) {
        case TransferProtocol::Xmodem: t = std::make_unique<BlockSender>(BlockProtocol::Xmodem, files); break;
        case TransferProtocol::Xmodem1K: t = std::make_unique<BlockSender>(BlockProtocol::Xmodem1K, files); break;
        case TransferProtocol::Ymodem: t = std::make_unique<BlockSender>(BlockProtocol::Ymodem, files); break;
        case TransferProtocol::Zmodem: t = std::make_unique<ZmodemSender>(files); break;
    }
    Begin(std::move(t), Direction::Send, kTransferProtocolNames[p]);
    return true;
}

std::optional<std::string> TerminalTransfer::ReceiveFolder() {
    const std::string folder = w_.EditReceiveFolder->text().trimmed().toStdString();
    std::error_code ec;
    if (folder.empty() || (!fs::is_directory(Utf8Path(folder), ec) && !fs::create_directories(Utf8Path(folder), ec))) {
        services_.ShowMessage("Can't use the receive folder \"" + folder + "\".\nChoose one on the Settings tab.");
        return std::nullopt;
    }
    return folder;
}

void TerminalTransfer::ButtonReceiveFileClick() {
    if (transfer_) {
        Stop();
        return;
    }
    if (!port_.Owner().Holds(PortUser::Terminal)) return;
    if (!port_.IsOpen()) {
        services_.ShowMessage("Communication Port is not Open!");
        return;
    }
    const int p = std::clamp(w_.ComboReceiveFile->currentIndex(), 0, kTransferProtocolCount - 1);
    const auto protocol = static_cast<TransferProtocol>(p);
    std::unique_ptr<Transfer> t;
    if (!IsBatchProtocol(protocol)) {
        // XMODEM brings no name: the user names the file, and agrees there
        // to replace one that is there.
        services_.SaveDialog1.filter = "All files (*.*)|*.*";
        const auto chosen = services_.RunSaveDialog(services_.SaveDialog1.fileName);
        if (!chosen || !services_.ConfirmOverwrite(*chosen)) return;
        const auto target = ReceiveTarget::IntoFile(Utf8Path(*chosen), ByteLimit());
        t = std::make_unique<BlockReceiver>(
            protocol == TransferProtocol::Xmodem ? BlockProtocol::Xmodem : BlockProtocol::Xmodem1K, target);
    } else {
        const auto folder = ReceiveFolder();
        if (!folder) return;
        const auto target = ReceiveTarget::IntoFolder(Utf8Path(*folder), ByteLimit());
        if (protocol == TransferProtocol::Ymodem)
            t = std::make_unique<BlockReceiver>(BlockProtocol::Ymodem, target);
        else
            t = std::make_unique<ZmodemReceiver>(target);
    }
    Begin(std::move(t), Direction::Receive, kTransferProtocolNames[p]);
}

void TerminalTransfer::HolderChanged(PortUser holder) {
    // A run or a capture has the port: no receive can start meanwhile.
    if (!transfer_) w_.ButtonReceiveFile->setEnabled(holder == PortUser::Terminal || holder == PortUser::FileTransfer);
}

void TerminalTransfer::ButtonBrowseReceiveFolderClick() {
    const auto& env = services_.env();
    if (!env.chooseFolder) return;
    const auto chosen = env.chooseFolder(w_.EditReceiveFolder->text().toStdString());
    if (chosen) w_.EditReceiveFolder->setText(QString::fromStdString(*chosen));
}

bool TerminalTransfer::Begin(std::unique_ptr<Transfer> t, Direction direction, const std::string& protocol) {
    // An offer has taken the port already; a click takes it here.
    if (!port_.Owner().Holds(PortUser::FileTransfer)) {
        if (!port_.Owner().Take(PortUser::FileTransfer)) return false;
        services_.pausePump();
    }
    transfer_ = std::move(t);
    direction_ = direction;
    protocol_ = protocol;
    linesShown_ = 0;
    inFlight_ = 0;
    zmodemReceive_ = direction == Direction::Receive && protocol == "ZMODEM";
    const double perMs = BytesPerMs();
    transfer_->SetOutputAhead(std::max<std::size_t>(kMinAhead, static_cast<std::size_t>(perMs * kAheadMs)));
    const std::uint64_t now = NowMs();
    lastWriteMs_ = now;
    lastProgressMs_ = 0;
    // The far end's bytes that started it come first.
    if (!pending_.empty()) transfer_->Feed(pending_.data(), pending_.size(), now);
    pending_.clear();
    w_.ButtonReceiveFile->setText(direction == Direction::Receive ? "STOP Receive" : "Receive File");
    w_.ButtonReceiveFile->setEnabled(direction == Direction::Receive);
    w_.ComboReceiveFile->setEnabled(false);
    if (direction == Direction::Send && hooks.sending) hooks.sending(true);
    w_.ProgressBarTransfer->setRange(0, 0);
    w_.ProgressBarTransfer->show();
    w_.LabelTransfer->setText(QString::fromStdString(protocol_ + ": waiting for the far end"));
    w_.LabelTransfer->show();
    if (const int fd = port_.ReadableHandle(); fd >= 0) {
        // Bytes are answered as they come, not a tick later.
        notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this,
                [this] { services_.Guarded([this] { Tick(); }); });
    }
    timer_->start();
    Tick();
    return true;
}

// ------------------------------------------------------------ running

void TerminalTransfer::Tick() {
    if (!transfer_ || inTick_) return;
    inTick_ = true;
    AtExit leave([this] { inTick_ = false; });
    std::uint64_t now = NowMs();
    if (!port_.IsOpen() || port_.ComDeviceLost()) {
        transfer_->PortLost(now);
    } else {
        std::uint8_t buf[4096];
        std::size_t total = 0;
        while (total < kReadPerTick && !transfer_->Finished()) {
            const std::size_t n = port_.ComRead(buf, sizeof buf);
            if (n == 0) break;
            total += n;
            transfer_->Feed(buf, n, now);
        }
        if (transfer_->Question()) {
            AnswerQuestion();
            now = NowMs();
        }
        transfer_->Poll(now);
        WriteOutput(now, transfer_->Finished());
    }
    ShowLines();
    ShowProgress(false);
    if (transfer_->Finished()) Finish();
}

std::size_t TerminalTransfer::WriteBudget(std::uint64_t nowMs) {
    const double perMs = BytesPerMs();
    inFlight_ = std::max(0.0, inFlight_ - static_cast<double>(nowMs - lastWriteMs_) * perMs);
    lastWriteMs_ = nowMs;
    const double ahead = std::max<double>(kMinAhead, perMs * kAheadMs);
    return inFlight_ >= ahead ? 0 : static_cast<std::size_t>(ahead - inFlight_);
}

void TerminalTransfer::WriteOutput(std::uint64_t nowMs, bool all) {
    // Only what the line takes in a few ticks is written, so a write never
    // waits long for the device; the last words of a transfer go out whole.
    std::size_t budget = all ? transfer_->OutputSize() : WriteBudget(nowMs);
    int idle = 0;
    while (transfer_->OutputSize() > 0 && budget > 0) {
        const std::size_t w = port_.ComWrite(transfer_->OutputData(), std::min(budget, transfer_->OutputSize()));
        if (w == 0) {
            if (++idle >= 3) {
                transfer_->PortLost(nowMs);
                return;
            }
            continue;
        }
        transfer_->Consume(w);
        budget -= std::min(budget, w);
        inFlight_ += static_cast<double>(w);
    }
}

void TerminalTransfer::AnswerQuestion() {
    timer_->stop();
    if (notifier_) notifier_->setEnabled(false);
    const std::string name = *transfer_->Question();
    const int chosen = services_.AskChoice("Quennet",
                                           name + " is already in the receive folder.\n\nReplace it, keep both (the "
                                                  "new one under a numbered name), or skip the new one?",
                                           {"Replace", "Keep Both", "Skip"});
    // Closing the question replaces nothing.
    transfer_->Answer(chosen == 0   ? ExistingFileChoice::Replace
                      : chosen == 1 ? ExistingFileChoice::KeepBoth
                                    : ExistingFileChoice::Skip);
    if (notifier_) notifier_->setEnabled(true);
    timer_->start();
}

void TerminalTransfer::Stop() {
    if (!transfer_) return;
    transfer_->Cancel(NowMs());
    if (!inTick_) Tick();
}

void TerminalTransfer::PortClosing() {
    if (!transfer_) return;
    transfer_->PortLost(NowMs());
    if (!inTick_) Tick();
}

void TerminalTransfer::ShowLine(const std::string& line) {
    TerminalMemo& memo = *w_.Memo1;
    if (memo.LastLineLength() > 0) memo.AppendLineBreak();
    memo.AppendText(protocol_ + ": " + line);
    memo.AppendLineBreak();
}

void TerminalTransfer::ShowLines() {
    const auto& lines = transfer_->Lines();
    for (; linesShown_ < lines.size(); ++linesShown_) ShowLine(lines[linesShown_]);
}

void TerminalTransfer::ShowProgress(bool force) {
    const std::uint64_t now = NowMs();
    if (!force && lastProgressMs_ != 0 && now - lastProgressMs_ < kProgressEveryMs) return;
    lastProgressMs_ = now;
    const TransferProgress& p = transfer_->Progress();
    if (p.file.empty() && p.batchBytes == 0) return;
    std::string text = protocol_ + ": " + p.file + " " + Amount(static_cast<double>(p.bytes));
    if (p.total) {
        text += " of " + Amount(static_cast<double>(*p.total));
        w_.ProgressBarTransfer->setRange(0, 1000);
        w_.ProgressBarTransfer->setValue(
            *p.total == 0 ? 1000 : static_cast<int>(std::min<std::uint64_t>(p.bytes, *p.total) * 1000 / *p.total));
    }
    if (p.bytesPerSecond > 0) {
        text += ", " + Amount(p.bytesPerSecond) + "/s";
        if (p.total && *p.total > p.bytes)
            text += ", " + Duration(static_cast<double>(*p.total - p.bytes) / p.bytesPerSecond) + " left";
    }
    w_.LabelTransfer->setText(QString::fromStdString(text));
}

void TerminalTransfer::Finish() {
    timer_->stop();
    notifier_.reset();
    ShowLines();
    // Nothing of a ZMODEM sender's "OO" goodbye reaches the display.
    swallowOver_ = zmodemReceive_ && transfer_->Outcome() == TransferOutcome::Done ? 2 : 0;
    transfer_.reset();
    w_.ProgressBarTransfer->hide();
    w_.LabelTransfer->hide();
    w_.ButtonReceiveFile->setText("Receive File");
    w_.ButtonReceiveFile->setEnabled(true);
    w_.ComboReceiveFile->setEnabled(true);
    if (direction_ == Direction::Send && hooks.sending) hooks.sending(false);
    port_.Owner().GiveBack(PortUser::FileTransfer);
    services_.resumePump();
    w_.Memo1->setFocus();
    if (hooks.ended) hooks.ended();
}

// ------------------------------------------------------ the far end's start

ReceivePump::Claim TerminalTransfer::Watch(const std::uint8_t* bytes, std::size_t n) {
    // The sender's goodbye "OO" is taken only whole (or as its last 'O'
    // after a chunk that held the first alone), so a target's "OK" keeps
    // its 'O'.
    std::size_t from = 0;
    if (swallowOver_ == 2 && n == 1 && bytes[0] == 'O') {
        swallowOver_ = 1;
        return {1, 1};
    }
    if (swallowOver_ == 2 && n >= 2 && bytes[0] == 'O' && bytes[1] == 'O') from = 2;
    if (swallowOver_ == 1 && n >= 1 && bytes[0] == 'O') from = 1;
    swallowOver_ = 0;
    if (offer_) {
        // Waiting for the user: what follows is the transfer's.
        const std::size_t room = kMaxPending - std::min(kMaxPending, pending_.size());
        pending_.insert(pending_.end(), bytes + from, bytes + from + std::min(n - from, room));
        return {from, from};
    }
    if (!w_.CheckBoxAutoStart->isChecked() || transfer_) return {from, n};
    std::size_t consumed = n;
    const auto found = detector_.Scan(bytes + from, n - from, &consumed);
    consumed += from;
    if (found == zmodem::StartDetector::Found::Nothing || NowMs() < mutedUntilMs_) {
        recent_.insert(recent_.end(), bytes + from, bytes + n);
        if (recent_.size() > kRecentBytes) recent_.erase(recent_.begin(), recent_.end() - kRecentBytes);
        return {from, n};
    }
    std::vector<std::uint8_t> seen = recent_;
    const std::size_t before = seen.size();
    seen.insert(seen.end(), bytes + from, bytes + consumed);
    std::size_t start = HeaderStart(seen);
    if (start == std::string::npos) start = before;  // the header began in an earlier chunk
    offer_ = found;
    recent_.clear();
    pending_.assign(seen.begin() + static_cast<std::ptrdiff_t>(start), seen.end());
    pending_.insert(pending_.end(), bytes + consumed, bytes + n);
    return {from, from + (start > before ? start - before : 0)};
}

void TerminalTransfer::AfterPumpTick() {
    if (!offer_ || offerScheduled_) return;
    offerScheduled_ = true;
    // Asked outside the pump's tick, which must stay short.
    QTimer::singleShot(0, this, [this] { services_.Guarded([this] { Offer(); }); });
}

void TerminalTransfer::Offer() {
    offerScheduled_ = false;
    if (!offer_) return;
    const auto found = *offer_;
    if (!port_.IsOpen() || !port_.Owner().Take(PortUser::FileTransfer)) {
        offer_.reset();
        pending_.clear();
        return;
    }
    services_.pausePump();
    // The pump's tick is over: what is still queued is the transfer's.
    offer_.reset();
    bool started = false;
    if (found == zmodem::StartDetector::Found::FarEndSends) {
        if (services_.AskYesNo("Quennet", "The target sends files by ZMODEM.\n\nReceive them into " +
                                              w_.EditReceiveFolder->text().toStdString() + "?")) {
            if (const auto folder = ReceiveFolder())
                started = Begin(std::make_unique<ZmodemReceiver>(ReceiveTarget::IntoFolder(Utf8Path(*folder), ByteLimit())),
                                Direction::Receive, "ZMODEM");
        }
    } else if (services_.AskYesNo("Quennet", "The target waits for files by ZMODEM.\n\nChoose files to send?")) {
        const auto& env = services_.env();
        const auto files = env.openFilesDialog ? env.openFilesDialog("All files (*.*)|*.*", "") : std::nullopt;
        if (files && !files->empty()) {
            std::vector<fs::path> paths;
            for (const auto& f : *files) paths.push_back(Utf8Path(f));
            started = Begin(std::make_unique<ZmodemSender>(paths), Direction::Send, "ZMODEM");
        }
    }
    if (!started) Decline();
}

void TerminalTransfer::Decline() {
    // The far end is told, so it stops waiting; its start bytes are dropped,
    // and the next ones that were already under way do not ask again.
    pending_.clear();
    const auto& cancel = Transfer::CancelSequence();
    if (port_.IsOpen()) port_.ComWrite(cancel.data(), cancel.size());
    mutedUntilMs_ = NowMs() + kMuteAfterDeclineMs;
    port_.Owner().GiveBack(PortUser::FileTransfer);
    services_.resumePump();
    if (hooks.ended) hooks.ended();
}

}  // namespace quennet
