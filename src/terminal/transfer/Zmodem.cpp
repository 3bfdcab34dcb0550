#include "terminal/transfer/Zmodem.h"

#include <cstdio>
#include <system_error>

namespace quennet {
using namespace zmodem;
namespace fs = std::filesystem;

namespace {

std::string BytesText(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string FilesText(int files, std::uint64_t bytes) {
    return std::to_string(files) + (files == 1 ? " file (" : " files (") + BytesText(bytes) + ")";
}

std::string Utf8Name(const fs::path& p) {
    const std::u8string u = p.filename().u8string();
    return std::string(u.begin(), u.end());
}

}  // namespace

// ---------------------------------------------------------------- sender

ZmodemSender::ZmodemSender(std::vector<fs::path> files) : files_(std::move(files)) {
    std::error_code ec;
    for (const auto& f : files_) totalLeft_ += fs::file_size(f, ec);
    if (!files_.empty()) StartFile(Utf8Name(files_[0]), std::nullopt);
}

void ZmodemSender::OnEnd() { in_.close(); }

void ZmodemSender::Begin() {
    begun_ = true;
    startMs_ = Now();
    // "rz" and CR start a receiver at a shell prompt on the far end.
    static const std::uint8_t kRz[] = {'r', 'z', '\r'};
    Send(kRz, sizeof kRz);
    std::vector<std::uint8_t> out;
    enc_.HexHeader(out, Header::At(ZRQINIT, 0));
    Send(out);
    SetDue(Now() + kAnswerTimeoutMs);
}

void ZmodemSender::OnPoll() {
    if (!begun_) {
        Begin();
        return;
    }
    if (state_ == State::Streaming) Stream();
    if (!Due()) return;
    switch (state_) {
    case State::WaitInit: {
        if (Now() - startMs_ >= kNoPeerMs) {
            End(TransferOutcome::NoPeer, "No receiver: " + FileAfterBytes(progress_.file, 0) + ".");
            return;
        }
        std::vector<std::uint8_t> out;
        enc_.HexHeader(out, Header::At(ZRQINIT, 0));
        Send(out);
        SetDue(Now() + kAnswerTimeoutMs);
        break;
    }
    case State::WaitWindowAck:
        if (++errors_ >= kRetries) EndTooManyErrors();
        else Reposition(static_cast<std::uint32_t>(windowStart_));
        break;
    case State::WaitFin:
        // Every file is confirmed already; only the goodbye went missing.
        if (errors_ >= 2) {
            End(TransferOutcome::Done, "Sent " + FilesText(progress_.filesDone, progress_.batchBytes) + ".");
            return;
        }
        ResendLast();
        break;
    case State::WaitPos:
    case State::WaitEofAck:
        ResendLast();
        break;
    case State::Streaming:
        break;
    }
}

void ZmodemSender::OnBytes(const std::uint8_t* data, std::size_t n) {
    if (!begun_) {
        // Started by the far end's ZRINIT: no need to announce ourselves
        // unless it stays silent.
        begun_ = true;
        startMs_ = Now();
        SetDue(Now() + kAnswerTimeoutMs);
    }
    for (std::size_t i = 0; i < n && !Finished(); ++i) {
        switch (reader_.Push(data[i])) {
        case Reader::Event::Header:
            OnHeader(reader_.header());
            break;
        case Reader::Event::Cancel:
            EndCancelledByFarEnd();
            return;
        default:
            break;
        }
    }
    if (!Finished() && state_ == State::Streaming) Stream();
}

void ZmodemSender::OnHeader(const Header& h) {
    switch (h.type) {
    case ZRINIT:
        if (state_ == State::WaitInit) {
            crc32_ = (h.Zf0() & kCanFc32) != 0;
            enc_.escapeControls = (h.Zf0() & kEscCtl) != 0;
            window_ = h.d[0] | (h.d[1] << 8);
            errors_ = 0;
            SendFileInfo();
        } else if (state_ == State::WaitEofAck) {
            AddLine("Sent " + progress_.file + " (" + BytesText(progress_.bytes) + ").");
            FileDone();
            NextFile();
        } else if (state_ == State::WaitFin) {
            ResendLast();
        }
        break;
    case ZRPOS:
        if (state_ == State::WaitInit || state_ == State::WaitFin) break;
        if (state_ != State::WaitPos) {
            if (h.Position() <= lastRpos_ && ++errors_ >= kRetries) {
                EndTooManyErrors();
                return;
            }
            if (h.Position() > lastRpos_) errors_ = 0;
        }
        lastRpos_ = h.Position();
        Reposition(h.Position());
        break;
    case ZSKIP:
        if (state_ == State::WaitPos) {
            AddLine("Skipped by the receiver: " + progress_.file + ".");
            SetFileBytes(0);
            FileDone();
            NextFile();
        }
        break;
    case ZACK:
        if (state_ == State::WaitWindowAck && h.Position() == pos_) {
            sinceAck_ = 0;
            state_ = State::Streaming;
            ClearDue();
            Stream();
        }
        break;
    case ZNAK:
        if (state_ == State::WaitPos || state_ == State::WaitEofAck || state_ == State::WaitFin) ResendLast();
        break;
    case ZFIN:
        if (state_ == State::WaitFin) {
            static const std::uint8_t kOver[] = {'O', 'O'};
            Send(kOver, sizeof kOver);
            End(TransferOutcome::Done, "Sent " + FilesText(progress_.filesDone, progress_.batchBytes) + ".");
        }
        break;
    case ZFERR:
        End(TransferOutcome::Failed, "The receiver could not save " + progress_.file + ".");
        break;
    case ZABORT:
    case ZCAN:
        EndCancelledByFarEnd();
        break;
    default:
        break;
    }
}

void ZmodemSender::NextFile() {
    ++fileIndex_;
    in_.close();
    SendFileInfo();
}

void ZmodemSender::SendFileInfo() {
    if (fileIndex_ >= files_.size()) {
        SendFin();
        return;
    }
    const fs::path& path = files_[fileIndex_];
    std::error_code ec;
    fileSize_ = fs::file_size(path, ec);
    in_.close();
    in_.clear();
    in_.open(path, std::ios::binary);
    StartFile(Utf8Name(path), fileSize_);
    if (ec || !in_) {
        DropOutput();
        SendCancel();
        End(TransferOutcome::Failed, "Cannot read " + progress_.file + ".");
        return;
    }
    const long long mtime = FileMtimeSeconds(path);
    std::vector<std::uint8_t> info(progress_.file.begin(), progress_.file.end());
    info.push_back(0);
    char text[128];
    std::snprintf(text, sizeof text, "%llu %llo 100644 0 %u %llu", static_cast<unsigned long long>(fileSize_),
                  static_cast<unsigned long long>(mtime < 0 ? 0 : mtime),
                  static_cast<unsigned>(files_.size() - fileIndex_), static_cast<unsigned long long>(totalLeft_));
    info.insert(info.end(), text, text + std::string_view(text).size());
    info.push_back(0);
    totalLeft_ -= std::min(totalLeft_, fileSize_);
    last_.clear();
    enc_.BinaryHeader(last_, Header::Flags(ZFILE, kConvBinary), crc32_);
    enc_.Subpacket(last_, info.data(), info.size(), kCrcW, crc32_);
    Send(last_);
    state_ = State::WaitPos;
    lastRpos_ = 0;
    errors_ = 0;
    SetDue(Now() + kAnswerTimeoutMs);
}

void ZmodemSender::SendFin() {
    last_.clear();
    enc_.HexHeader(last_, Header::At(ZFIN, 0));
    Send(last_);
    state_ = State::WaitFin;
    errors_ = 0;
    SetDue(Now() + kAnswerTimeoutMs);
}

void ZmodemSender::ResendLast() {
    if (++errors_ >= kRetries) {
        EndTooManyErrors();
        return;
    }
    Send(last_);
    SetDue(Now() + kAnswerTimeoutMs);
}

void ZmodemSender::Reposition(std::uint32_t pos) {
    pos_ = std::min<std::uint64_t>(pos, fileSize_);
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(pos_));
    // What is not written yet is out of date now.
    DropOutput();
    std::vector<std::uint8_t> out;
    enc_.BinaryHeader(out, Header::At(ZDATA, static_cast<std::uint32_t>(pos_)), crc32_);
    Send(out);
    sinceAck_ = 0;
    windowStart_ = pos_;
    state_ = State::Streaming;
    ClearDue();
    SetFileBytes(pos_);
    Stream();
}

void ZmodemSender::Stream() {
    std::uint8_t buf[kBlock];
    while (state_ == State::Streaming && OutputRoom()) {
        in_.read(reinterpret_cast<char*>(buf), sizeof buf);
        const auto got = static_cast<std::size_t>(in_.gcount());
        if (in_.bad()) {
            DropOutput();
            SendCancel();
            End(TransferOutcome::Failed, "Cannot read " + progress_.file + ".");
            return;
        }
        pos_ += got;
        const bool last = got < sizeof buf || in_.peek() == std::char_traits<char>::eof();
        std::vector<std::uint8_t> out;
        out.reserve(got + got / 8 + 32);
        if (last) {
            enc_.Subpacket(out, buf, got, kCrcE, crc32_);
            last_.clear();
            enc_.BinaryHeader(last_, Header::At(ZEOF, static_cast<std::uint32_t>(pos_)), crc32_);
            out.insert(out.end(), last_.begin(), last_.end());
            state_ = State::WaitEofAck;
            SetDue(Now() + kAnswerTimeoutMs);
        } else if (window_ && (sinceAck_ += static_cast<std::uint32_t>(got)) + kBlock > window_) {
            enc_.Subpacket(out, buf, got, kCrcW, crc32_);
            state_ = State::WaitWindowAck;
            SetDue(Now() + kAnswerTimeoutMs);
        } else {
            enc_.Subpacket(out, buf, got, kCrcG, crc32_);
        }
        Send(out);
        SetFileBytes(pos_);
    }
}

// -------------------------------------------------------------- receiver

ZmodemReceiver::ZmodemReceiver(ReceiveTarget target) : file_(std::move(target)) {}

void ZmodemReceiver::OnEnd() { file_.Abandon(); }

void ZmodemReceiver::SendHex(std::uint8_t type, std::uint32_t pos) {
    std::vector<std::uint8_t> out;
    enc_.HexHeader(out, Header::At(type, pos));
    Send(out);
}

void ZmodemReceiver::SendInit() {
    std::vector<std::uint8_t> out;
    enc_.HexHeader(out, Header::Flags(ZRINIT, kCanFdx | kCanOvio | kCanFc32));
    Send(out);
    SetDue(Now() + kAnswerTimeoutMs);
}

void ZmodemReceiver::Fail(const std::string& why) {
    DropOutput();
    SendCancel();
    End(TransferOutcome::Failed, "Stopped, " + why + ": " + FileAfterBytes(progress_.file, progress_.bytes) + ".");
}

void ZmodemReceiver::OnPoll() {
    if (!begun_) {
        begun_ = true;
        startMs_ = Now();
        SendInit();
        return;
    }
    if (!Due()) return;
    switch (state_) {
    case State::Init:
        if (!heardSender_) {
            if (Now() - startMs_ >= kNoPeerMs) {
                End(TransferOutcome::NoPeer, "No sender.");
                return;
            }
        } else if (++errors_ >= kRetries) {
            EndTooManyErrors();
            return;
        }
        SendInit();
        break;
    case State::FileInfo:
    case State::SessionInfo:
        reader_.Hunt();
        state_ = State::Init;
        if (++errors_ >= kRetries) {
            EndTooManyErrors();
            return;
        }
        SendHex(ZNAK, 0);
        SetDue(Now() + kAnswerTimeoutMs);
        break;
    case State::WaitData:
    case State::Data:
        AskAgain();
        break;
    case State::Asking:
        break;
    }
}

void ZmodemReceiver::AskAgain() {
    if (++errors_ >= kRetries) {
        EndTooManyErrors();
        return;
    }
    reader_.Hunt();
    state_ = State::WaitData;
    SendHex(ZRPOS, static_cast<std::uint32_t>(pos_));
    SetDue(Now() + kAnswerTimeoutMs);
}

void ZmodemReceiver::OnBytes(const std::uint8_t* data, std::size_t n) {
    if (!begun_) {
        begun_ = true;
        startMs_ = Now();
        SendInit();
    }
    for (std::size_t i = 0; i < n && !Finished(); ++i) {
        if (state_ == State::Asking) {
            // Whatever the sender repeats meanwhile is read afresh later.
            continue;
        }
        switch (reader_.Push(data[i])) {
        case Reader::Event::Header:
            heardSender_ = true;
            OnHeader(reader_.header());
            break;
        case Reader::Event::Data:
            OnData();
            break;
        case Reader::Event::BadData:
            if (state_ == State::Data) {
                AskAgain();
            } else {
                state_ = State::Init;
                SendHex(ZNAK, 0);
                SetDue(Now() + kAnswerTimeoutMs);
            }
            break;
        case Reader::Event::BadHeader:
            if (state_ == State::Init) SendHex(ZNAK, 0);
            break;
        case Reader::Event::Cancel:
            EndCancelledByFarEnd();
            return;
        case Reader::Event::None:
            break;
        }
    }
}

void ZmodemReceiver::OnHeader(const Header& h) {
    switch (h.type) {
    case ZRQINIT:
        if (state_ == State::Init) SendInit();
        break;
    case ZSINIT:
        reader_.ExpectData();
        state_ = State::SessionInfo;
        SetDue(Now() + kAnswerTimeoutMs);
        break;
    case ZFILE:
        reader_.ExpectData();
        state_ = State::FileInfo;
        SetDue(Now() + kAnswerTimeoutMs);
        break;
    case ZDATA:
        if (!inFile_) break;
        if (h.Position() == pos_) {
            reader_.ExpectData();
            state_ = State::Data;
            SetDue(Now() + kAnswerTimeoutMs);
        } else {
            AskAgain();
        }
        break;
    case ZEOF:
        if (!inFile_) {
            // Our answer to the end of the last file was lost.
            if (state_ == State::Init) SendInit();
            break;
        }
        if (h.Position() != pos_) break;  // data still missing: our ZRPOS is on its way
        {
            const bool skipped = file_.Skipping();
            const std::string name = file_.Name();
            if (!file_.Commit()) {
                Fail(file_.Problem());
                return;
            }
            AddLine(skipped ? "Skipped " + name + " (already there)."
                            : "Received " + file_.Name() + " (" + BytesText(file_.Kept()) + ").");
            SetFileBytes(file_.Kept());
            FileDone();
            inFile_ = false;
            errors_ = 0;
            state_ = State::Init;
            SendInit();
        }
        break;
    case ZFIN:
        SendHex(ZFIN, 0);
        End(TransferOutcome::Done, "Received " + FilesText(progress_.filesDone, progress_.batchBytes) + ".");
        break;
    case ZABORT:
    case ZCAN:
        EndCancelledByFarEnd();
        break;
    default:
        break;
    }
}

void ZmodemReceiver::OnData() {
    switch (state_) {
    case State::SessionInfo:
        SendHex(ZACK, 1);
        state_ = State::Init;
        SetDue(Now() + kAnswerTimeoutMs);
        break;
    case State::FileInfo:
        OnFileInfo();
        break;
    case State::Data: {
        const auto& d = reader_.data();
        switch (file_.Write(d.data(), d.size())) {
        case ReceivedFile::WriteResult::Ok:
            break;
        case ReceivedFile::WriteResult::LimitReached:
        case ReceivedFile::WriteResult::Failed:
            Fail(file_.Problem());
            return;
        }
        pos_ += d.size();
        errors_ = 0;
        SetFileBytes(file_.Kept());
        const std::uint8_t end = reader_.frameEnd();
        if (end == kCrcQ || end == kCrcW) SendHex(ZACK, static_cast<std::uint32_t>(pos_));
        if (end == kCrcE || end == kCrcW) state_ = State::WaitData;
        SetDue(Now() + kAnswerTimeoutMs);
        break;
    }
    default:
        break;
    }
}

void ZmodemReceiver::OnFileInfo() {
    if (inFile_) {
        // The sender missed our answer and offers the same file again.
        state_ = State::WaitData;
        SendHex(ZRPOS, static_cast<std::uint32_t>(pos_));
        SetDue(Now() + kAnswerTimeoutMs);
        return;
    }
    const auto& d = reader_.data();
    switch (BeginReceivedFile(file_, d.data(), d.size())) {
    case FileStart::Opened:
        OnAnswer(ExistingFileChoice::Replace);
        break;
    case FileStart::Asking:
        state_ = State::Asking;
        break;
    case FileStart::Failed:
        Fail(file_.Problem());
        break;
    }
}

void ZmodemReceiver::OnAnswer(ExistingFileChoice choice) {
    if (state_ == State::Asking) {
        if (choice == ExistingFileChoice::Skip) {
            AddLine("Skipped " + file_.Name() + " (already there).");
            file_.Abandon();
            SetFileBytes(0);
            FileDone();
            reader_.Hunt();
            state_ = State::Init;
            SendHex(ZSKIP, 0);
            SetDue(Now() + kAnswerTimeoutMs);
            return;
        }
        if (file_.Decide(choice) != ReceivedFile::BeginResult::Opened) {
            Fail(file_.Problem());
            return;
        }
        StartFile(file_.Name(), file_.Size());
    }
    inFile_ = true;
    pos_ = 0;
    errors_ = 0;
    reader_.Hunt();
    state_ = State::WaitData;
    SendHex(ZRPOS, 0);
    SetDue(Now() + kAnswerTimeoutMs);
}

}  // namespace quennet
