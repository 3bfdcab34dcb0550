#include "terminal/transfer/XyModem.h"

#include <cstdio>
#include <system_error>

#include "terminal/transfer/Crc.h"

namespace quennet {
using namespace xymodem;
namespace fs = std::filesystem;

namespace {

std::string BytesText(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string Utf8Name(const fs::path& p) {
    const std::u8string u = p.filename().u8string();
    return std::string(u.begin(), u.end());
}

std::string FilesText(int files, std::uint64_t bytes) {
    return std::to_string(files) + (files == 1 ? " file (" : " files (") + BytesText(bytes) + ")";
}

}  // namespace

// ---------------------------------------------------------------- sender

BlockSender::BlockSender(BlockProtocol protocol, std::vector<fs::path> files)
    : protocol_(protocol), files_(std::move(files)) {
    if (protocol_ != BlockProtocol::Ymodem && files_.size() > 1) files_.resize(1);
    if (!files_.empty()) StartFile(Utf8Name(files_[0]), std::nullopt);
}

void BlockSender::OnEnd() { in_.close(); }

void BlockSender::OnPoll() {
    if (!timing_) {
        timing_ = true;
        startMs_ = Now();
        if (files_.empty() && protocol_ != BlockProtocol::Ymodem) {
            End(TransferOutcome::Failed, "No file to send.");
            return;
        }
        SetDue(Now() + kNoPeerMs);
        return;
    }
    if (!Due()) return;
    switch (state_) {
    case State::WaitStart:
    case State::WaitDataStart:
        if (!started_) End(TransferOutcome::NoPeer, "No receiver: " + FileAfterBytes(progress_.file, 0) + ".");
        else EndTooManyErrors();
        break;
    case State::WaitAck:
    case State::WaitEotAck:
        Resend();
        break;
    }
}

void BlockSender::OnBytes(const std::uint8_t* data, std::size_t n) {
    startedThisChunk_ = false;
    for (std::size_t i = 0; i < n && !Finished(); ++i) OnByte(data[i]);
}

void BlockSender::OnByte(std::uint8_t b) {
    if (b == kCan) {
        if (++cans_ >= 2) EndCancelledByFarEnd();
        return;
    }
    cans_ = 0;
    switch (state_) {
    case State::WaitStart:
        if (b != kCrcStart && b != kNak) return;
        if (!started_) crc_ = (b == kCrcStart) || protocol_ == BlockProtocol::Ymodem;
        started_ = true;
        startedThisChunk_ = true;
        StartNextFile();
        break;
    case State::WaitDataStart:
        if (b != kCrcStart && b != kNak) return;
        startedThisChunk_ = true;
        seq_ = 1;
        sent_ = 0;
        if (!SendDataBlock()) {
            block_ = {kEot};
            Send(block_);
            state_ = State::WaitEotAck;
            SetDue(Now() + kAckTimeoutMs);
        }
        break;
    case State::WaitAck:
        // A receiver repeats its start request until a block comes; those
        // that were already waiting with the first are not answers.
        if (b == kAck) Acked();
        else if (b == kNak && !startedThisChunk_) Resend();
        break;
    case State::WaitEotAck:
        if (b == kNak) {
            Resend();
        } else if (b == kAck) {
            const std::string line = "Sent " + progress_.file + " (" + BytesText(sent_) + ").";
            FileDone();
            in_.close();
            if (protocol_ != BlockProtocol::Ymodem) {
                End(TransferOutcome::Done, line);
                return;
            }
            AddLine(line);
            ++fileIndex_;
            if (fileIndex_ < files_.size()) StartFile(Utf8Name(files_[fileIndex_]), std::nullopt);
            state_ = State::WaitStart;
            errors_ = 0;
            SetDue(Now() + kNoPeerMs);
        }
        break;
    }
}

void BlockSender::StartNextFile() {
    errors_ = 0;
    if (protocol_ == BlockProtocol::Ymodem) {
        SendHeaderBlock();
        return;
    }
    in_.open(files_[0], std::ios::binary);
    if (!in_) {
        SendCancel();
        End(TransferOutcome::Failed, "Cannot read " + progress_.file + ".");
        return;
    }
    seq_ = 1;
    if (!SendDataBlock()) {
        block_ = {kEot};
        Send(block_);
        state_ = State::WaitEotAck;
        SetDue(Now() + kAckTimeoutMs);
    }
}

void BlockSender::SendHeaderBlock() {
    std::vector<std::uint8_t> data;
    batchEnd_ = fileIndex_ >= files_.size();
    if (!batchEnd_) {
        const fs::path& path = files_[fileIndex_];
        std::error_code ec;
        fileSize_ = fs::file_size(path, ec);
        in_.close();
        in_.clear();
        in_.open(path, std::ios::binary);
        if (ec || !in_) {
            SendCancel();
            End(TransferOutcome::Failed, "Cannot read " + progress_.file + ".");
            return;
        }
        StartFile(progress_.file, fileSize_);
        const long long mtime = FileMtimeSeconds(path);
        const std::string name = progress_.file;
        data.assign(name.begin(), name.end());
        data.push_back(0);
        char info[64];
        std::snprintf(info, sizeof info, "%llu %llo", static_cast<unsigned long long>(fileSize_),
                      static_cast<unsigned long long>(mtime < 0 ? 0 : mtime));
        data.insert(data.end(), info, info + std::string_view(info).size());
    }
    data.resize(data.size() < 128 ? 128 : 1024, 0);
    if (data.size() > 1024) data.resize(1024);
    headerBlock_ = true;
    blockBytes_ = 0;
    SendBlock(0, data);
}

bool BlockSender::SendDataBlock() {
    const bool big = protocol_ != BlockProtocol::Xmodem && crc_;
    std::vector<std::uint8_t> data(big ? 1024 : 128);
    in_.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    const auto got = static_cast<std::size_t>(in_.gcount());
    if (got == 0) return false;
    // A short tail goes in a small block: less padding on the wire.
    if (big && got <= 128) data.resize(128);
    std::fill(data.begin() + static_cast<std::ptrdiff_t>(got), data.end(), kSub);
    headerBlock_ = false;
    blockBytes_ = got;
    SendBlock(seq_, data);
    return true;
}

void BlockSender::SendBlock(std::uint8_t seq, const std::vector<std::uint8_t>& data) {
    block_.clear();
    block_.push_back(data.size() == 1024 ? kStx : kSoh);
    block_.push_back(seq);
    block_.push_back(static_cast<std::uint8_t>(~seq));
    block_.insert(block_.end(), data.begin(), data.end());
    if (crc_) {
        const std::uint16_t crc = Crc16(data.data(), data.size());
        block_.push_back(static_cast<std::uint8_t>(crc >> 8));
        block_.push_back(static_cast<std::uint8_t>(crc));
    } else {
        std::uint8_t sum = 0;
        for (auto d : data) sum = static_cast<std::uint8_t>(sum + d);
        block_.push_back(sum);
    }
    Send(block_);
    state_ = State::WaitAck;
    SetDue(Now() + kAckTimeoutMs);
}

void BlockSender::Resend() {
    if (++errors_ >= kRetries) {
        EndTooManyErrors();
        return;
    }
    Send(block_);
    SetDue(Now() + kAckTimeoutMs);
}

void BlockSender::Acked() {
    errors_ = 0;
    if (headerBlock_) {
        if (batchEnd_) {
            End(TransferOutcome::Done, "Sent " + FilesText(progress_.filesDone, progress_.batchBytes) + ".");
            return;
        }
        state_ = State::WaitDataStart;
        SetDue(Now() + kNoPeerMs);
        return;
    }
    sent_ += blockBytes_;
    SetFileBytes(sent_);
    ++seq_;
    if (!SendDataBlock()) {
        block_ = {kEot};
        Send(block_);
        state_ = State::WaitEotAck;
        SetDue(Now() + kAckTimeoutMs);
    }
}

// -------------------------------------------------------------- receiver

BlockReceiver::BlockReceiver(BlockProtocol protocol, ReceiveTarget target)
    : protocol_(protocol), file_(std::move(target)), batch_(protocol == BlockProtocol::Ymodem) {}

void BlockReceiver::OnEnd() { file_.Abandon(); }

void BlockReceiver::Fail(const std::string& why) {
    DropOutput();
    SendCancel();
    End(TransferOutcome::Failed, "Stopped, " + why + ": " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void BlockReceiver::StartRequest() {
    if (!batch_ && crc_ && startTries_ >= kCrcStartTries) crc_ = false;
    ++startTries_;
    SendByte(crc_ ? kCrcStart : kNak);
    SetDue(Now() + (crc_ ? kCrcStartEveryMs : kNakStartEveryMs));
}

void BlockReceiver::OnPoll() {
    if (!timing_) {
        timing_ = true;
        startedMs_ = Now();
        if (!batch_) {
            if (file_.Begin("", std::nullopt) != ReceivedFile::BeginResult::Opened) {
                End(TransferOutcome::Failed, "Cannot create the file: " + file_.Problem() + ".");
                return;
            }
            StartFile(file_.Name(), std::nullopt);
            inFile_ = true;
        }
        StartRequest();
        return;
    }
    if (!Due()) return;
    switch (state_) {
    case State::Starting:
        if (Now() - startedMs_ >= kNoPeerMs) {
            End(TransferOutcome::NoPeer, "No sender.");
            return;
        }
        StartRequest();
        break;
    case State::Header:
        if (++errors_ >= kRetries) {
            EndTooManyErrors();
            return;
        }
        // Nothing yet of a file: ask for its start again, as often as at
        // the start (a sender may have thrown the first request away while
        // it set up its line); else for the block.
        if (inFile_ && (expected_ != 1 || gotData_)) {
            nakPending_ = true;
            SendByte(kNak);
            SetDue(Now() + kAckTimeoutMs);
        } else {
            SendByte(crc_ ? kCrcStart : kNak);
            SetDue(Now() + kCrcStartEveryMs);
        }
        break;
    case State::Body:
    case State::Purge:
        Nak();
        break;
    case State::Asking:
        break;
    }
}

void BlockReceiver::Nak() {
    state_ = State::Header;
    nakPending_ = inFile_;
    SendByte(kNak);
    SetDue(Now() + kAckTimeoutMs);
}

void BlockReceiver::Error() {
    if (++errors_ >= kRetries) {
        EndTooManyErrors();
        return;
    }
    // Let the rest of the bad block pass before asking again.
    state_ = State::Purge;
    SetDue(Now() + kCharTimeoutMs);
}

void BlockReceiver::OnBytes(const std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 0; i < n && !Finished(); ++i) OnByte(data[i]);
}

void BlockReceiver::OnByte(std::uint8_t b) {
    switch (state_) {
    case State::Asking:
        return;
    case State::Purge:
        SetDue(Now() + kCharTimeoutMs);
        return;
    case State::Body:
        block_.push_back(b);
        if (block_.size() == need_) BlockComplete();
        else SetDue(Now() + kCharTimeoutMs);
        return;
    case State::Starting:
    case State::Header:
        break;
    }
    if (b == kCan) {
        if (++cans_ >= 2) EndCancelledByFarEnd();
        return;
    }
    cans_ = 0;
    if (b == kSoh || b == kStx) {
        block_.clear();
        block_.push_back(b);
        need_ = 3 + (b == kStx ? 1024u : 128u) + (crc_ ? 2u : 1u);
        state_ = State::Body;
        SetDue(Now() + kCharTimeoutMs);
    } else if (b == kEot) {
        if (!inFile_) {
            // A repeated end of the last file: our answer was lost.
            SendByte(kAck);
            return;
        }
        if (nakPending_) {
            // The sender ends although we asked for a block again: it took
            // something else for our ACK, and a block is missing.
            DropOutput();
            SendCancel();
            End(TransferOutcome::TooManyErrors,
                "A block went missing: " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
            return;
        }
        if (!eotOnce_) {
            // The first end is answered with NAK: a lone end made by noise
            // must not end the file.
            eotOnce_ = true;
            SendByte(kNak);
            SetDue(Now() + kAckTimeoutMs);
            state_ = State::Header;
            return;
        }
        SendByte(kAck);
        FileEnd();
    }
}

void BlockReceiver::BlockComplete() {
    state_ = State::Header;
    const std::uint8_t seq = block_[1];
    const std::size_t len = block_[0] == kStx ? 1024 : 128;
    const std::uint8_t* data = block_.data() + 3;
    if (static_cast<std::uint8_t>(seq ^ block_[2]) != 0xFF) {
        Error();
        return;
    }
    bool good;
    if (crc_) {
        const std::uint16_t crc = Crc16(data, len);
        good = block_[3 + len] == (crc >> 8) && block_[4 + len] == (crc & 0xFF);
    } else {
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < len; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
        good = block_[3 + len] == sum;
    }
    if (!good) {
        Error();
        return;
    }
    eotOnce_ = false;
    if (batch_ && !inFile_) {
        if (seq != 0) {
            Nak();
            return;
        }
        FileHeader(data, len);
        return;
    }
    gotData_ = true;
    if (seq == expected_) {
        Accept(seq);
        return;
    }
    if (seq == static_cast<std::uint8_t>(expected_ - 1)) {
        // The sender missed our ACK and sent the block again.
        nakPending_ = false;
        SendByte(kAck);
        if (batch_ && seq == 0) SendByte(crc_ ? kCrcStart : kNak);
        SetDue(Now() + kAckTimeoutMs);
        return;
    }
    DropOutput();
    SendCancel();
    End(TransferOutcome::TooManyErrors,
        "Blocks out of order: " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void BlockReceiver::Accept(std::uint8_t seq) {
    (void)seq;
    const std::size_t len = block_[0] == kStx ? 1024 : 128;
    switch (file_.Write(block_.data() + 3, len)) {
    case ReceivedFile::WriteResult::Ok:
        break;
    case ReceivedFile::WriteResult::LimitReached:
    case ReceivedFile::WriteResult::Failed:
        Fail(file_.Problem());
        return;
    }
    errors_ = 0;
    nakPending_ = false;
    ++expected_;
    received_ += len;
    SetFileBytes(file_.Kept());
    SendByte(kAck);
    SetDue(Now() + kAckTimeoutMs);
}

void BlockReceiver::FileHeader(const std::uint8_t* data, std::size_t n) {
    std::size_t nameEnd = 0;
    while (nameEnd < n && data[nameEnd] != 0) ++nameEnd;
    if (nameEnd == 0) {
        SendByte(kAck);
        End(TransferOutcome::Done,
            "Received " + FilesText(progress_.filesDone, progress_.batchBytes) + ".");
        return;
    }
    switch (BeginReceivedFile(file_, data, n)) {
    case FileStart::Opened:
        OnAnswer(ExistingFileChoice::Replace);  // nothing to decide: start it
        return;
    case FileStart::Asking:
        state_ = State::Asking;
        return;
    case FileStart::Failed:
        Fail(file_.Problem());
        return;
    }
}

void BlockReceiver::OnAnswer(ExistingFileChoice choice) {
    if (state_ == State::Asking) {
        if (file_.Decide(choice) != ReceivedFile::BeginResult::Opened) {
            Fail(file_.Problem());
            return;
        }
        StartFile(file_.Name(), file_.Size());
    }
    inFile_ = true;
    expected_ = 1;
    received_ = 0;
    gotData_ = false;
    errors_ = 0;
    state_ = State::Header;
    SendByte(kAck);
    SendByte(kCrcStart);
    SetDue(Now() + kCrcStartEveryMs);
}

void BlockReceiver::FileEnd() {
    eotOnce_ = false;
    const bool skipped = file_.Skipping();
    const std::string name = file_.Name();
    if (!file_.Commit()) {
        DropOutput();
        SendCancel();
        End(TransferOutcome::Failed, "Not saved, " + file_.Problem() + ".");
        return;
    }
    const std::string line = skipped ? "Skipped " + name + " (already there)."
                                     : "Received " + file_.Name() + " (" + BytesText(file_.Kept()) + ").";
    if (skipped) SetFileBytes(0);
    FileDone();
    if (!batch_) {
        End(TransferOutcome::Done, line);
        return;
    }
    AddLine(line);
    inFile_ = false;
    expected_ = 0;
    state_ = State::Header;
    SendByte(kCrcStart);
    SetDue(Now() + kCrcStartEveryMs);
}

}  // namespace quennet
