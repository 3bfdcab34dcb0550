#include "terminal/transfer/Transfer.h"

#include "terminal/transfer/ReceivedFile.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace quennet {

const std::vector<std::uint8_t>& Transfer::CancelSequence() {
    static const std::vector<std::uint8_t> seq = {0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18,
                                                  0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08, 0x08};
    return seq;
}

long long FileMtimeSeconds(const std::filesystem::path& path) {
    std::error_code ec;
    const auto when = std::filesystem::last_write_time(path, ec);
    if (ec) return 0;
    // The file clock's epoch is the library's choice: step over to the
    // system clock through the present instant of both.
    const auto sys = std::chrono::system_clock::now() +
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(
                         when - std::filesystem::file_time_type::clock::now());
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
    return s < 0 ? 0 : static_cast<long long>(s);
}

std::string FileAfterBytes(const std::string& file, std::uint64_t bytes) {
    std::string s = file.empty() ? std::string("nothing moved") : file;
    if (!file.empty()) s += " after " + std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    return s;
}

void Transfer::Feed(const std::uint8_t* data, std::size_t n, std::uint64_t nowMs) {
    now_ = nowMs;
    if (!startMs_) startMs_ = nowMs;
    if (Finished() || n == 0 || !data) return;
    OnBytes(data, n);
    UpdateRate();
}

void Transfer::Poll(std::uint64_t nowMs) {
    now_ = nowMs;
    if (!startMs_) startMs_ = nowMs;
    if (Finished()) return;
    OnPoll();
    UpdateRate();
}

void Transfer::Cancel(std::uint64_t nowMs) {
    now_ = nowMs;
    if (Finished()) return;
    DropOutput();
    SendCancel();
    End(TransferOutcome::Cancelled,
        "Cancelled: " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void Transfer::PortLost(std::uint64_t nowMs) {
    now_ = nowMs;
    if (Finished()) return;
    DropOutput();
    End(TransferOutcome::Failed, "The port was lost: " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void Transfer::Consume(std::size_t n) {
    outHead_ += std::min(n, OutputSize());
    if (outHead_ == out_.size()) {
        out_.clear();
        outHead_ = 0;
    } else if (outHead_ > 65536 && outHead_ * 2 > out_.size()) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(outHead_));
        outHead_ = 0;
    }
}

void Transfer::Answer(ExistingFileChoice choice) {
    if (!question_) return;
    question_.reset();
    if (!Finished()) OnAnswer(choice);
}

void Transfer::Send(const std::uint8_t* data, std::size_t n) {
    out_.insert(out_.end(), data, data + n);
}

void Transfer::End(TransferOutcome outcome, std::string line) {
    if (Finished()) return;
    outcome_ = outcome;
    question_.reset();
    dueMs_.reset();
    OnEnd();
    endLine_ = line;
    lines_.push_back(std::move(line));
}

void Transfer::EndCancelledByFarEnd() {
    End(TransferOutcome::FarEndCancelled,
        "Cancelled by the far end: " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void Transfer::EndTooManyErrors() {
    DropOutput();
    SendCancel();
    End(TransferOutcome::TooManyErrors,
        "Too many errors: " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void Transfer::StartFile(const std::string& name, std::optional<std::uint64_t> total) {
    progress_.file = name;
    progress_.bytes = 0;
    progress_.total = total;
    progress_.batchBytes = doneBefore_;
}

Transfer::FileStart Transfer::BeginReceivedFile(ReceivedFile& file, const std::uint8_t* header, std::size_t n) {
    std::size_t nameEnd = 0;
    while (nameEnd < n && header[nameEnd] != 0) ++nameEnd;
    const std::string name(reinterpret_cast<const char*>(header), nameEnd);
    std::optional<std::uint64_t> size;
    std::uint64_t value = 0;
    bool digits = false;
    for (std::size_t i = nameEnd + 1; i < n && header[i] >= '0' && header[i] <= '9'; ++i) {
        if (value > (UINT64_MAX - 9) / 10) break;
        value = value * 10 + (header[i] - '0');
        digits = true;
    }
    if (digits) size = value;
    switch (file.Begin(name, size)) {
    case ReceivedFile::BeginResult::Opened:
        StartFile(file.Name(), size);
        return FileStart::Opened;
    case ReceivedFile::BeginResult::Exists:
        StartFile(file.Name(), size);
        ClearDue();
        Ask(file.Name());
        return FileStart::Asking;
    case ReceivedFile::BeginResult::Failed:
        break;
    }
    return FileStart::Failed;
}

void Transfer::SetFileBytes(std::uint64_t bytes) {
    progress_.bytes = bytes;
    progress_.batchBytes = doneBefore_ + bytes;
}

void Transfer::FileDone() {
    doneBefore_ += progress_.bytes;
    progress_.batchBytes = doneBefore_;
    ++progress_.filesDone;
}

void Transfer::UpdateRate() {
    if (!startMs_ || now_ <= *startMs_) return;
    progress_.bytesPerSecond =
        static_cast<double>(progress_.batchBytes) * 1000.0 / static_cast<double>(now_ - *startMs_);
}

}  // namespace quennet
