#include "Stm32BootTarget.h"

#include <algorithm>
#include <utility>

namespace quennet {

namespace {

std::uint8_t XorOf(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < n; ++i) x ^= bytes[i];
    return x;
}

std::uint32_t BigEndian32(const std::uint8_t* b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}

}  // namespace

Stm32BootTarget::Stm32BootTarget(SimLine& line)
    : line_(line), flash_(kFlashSize, 0xFF), ram_(kRamSize, 0x00) {
    line_.clock().AddListener(this);
}

Stm32BootTarget::~Stm32BootTarget() { line_.clock().RemoveListener(this); }

void Stm32BootTarget::FailStep(Step step, Fault fault, int occurrence) {
    rules_.push_back({step, fault, occurrence});
}

Stm32BootTarget::Fault Stm32BootTarget::Serve(Step step) {
    const std::size_t n = ++served_[static_cast<int>(step)];
    Fault fault = Fault::None;
    for (const Rule& r : rules_)
        if (r.step == step && (r.occurrence == 0 || static_cast<std::size_t>(r.occurrence) == n))
            fault = r.fault;
    return fault;
}

void Stm32BootTarget::OnLines(SimLine&, bool dtr, bool rts, std::uint64_t atUs) {
    const bool reset = dtr == resetWhenDtrAsserted;
    if (reset && !inReset_) {
        inReset_ = true;
        Reset();
        mode_ = Mode::InReset;
    } else if (!reset && inReset_) {
        // BOOT0 is latched as the chip leaves reset.
        inReset_ = false;
        if (rts == boot0WhenRtsAsserted) {
            mode_ = Mode::Starting;
            readyUs_ = atUs + kStartupUs;
            ++bootloaderStarts_;
        } else {
            mode_ = Mode::Running;  // the user firmware: it ignores the line here
        }
    }
}

void Stm32BootTarget::Reset() {
    pending_.clear();
    rx_ = Rx::Command;
    args_.clear();
    lockedBaud_ = 0;
}

bool Stm32BootTarget::FrameUsable() const {
    // The bootloader's USART runs 8 data bits with even parity; other frames
    // arrive as framing or parity errors. After the sync byte the baud rate
    // is fixed, so a host that changes it is no longer understood.
    const LineSettings& s = line_.Settings();
    if (s.dataBits != 8 || s.parity != Parity::Even || s.stopBits != 1) return false;
    return mode_ == Mode::WaitSync || s.baud == lockedBaud_;
}

void Stm32BootTarget::OnBytes(SimLine&, const std::uint8_t* bytes, std::size_t n,
                              std::uint64_t arrivalUs) {
    for (std::size_t i = 0; i < n; ++i) Receive(bytes[i], arrivalUs);
}

void Stm32BootTarget::Receive(std::uint8_t byte, std::uint64_t atUs) {
    if (mode_ == Mode::Starting) {
        if (atUs < readyUs_) return;  // still starting up: the byte is lost
        mode_ = Mode::WaitSync;
    }
    if (mode_ != Mode::WaitSync && mode_ != Mode::Bootloader) return;
    if (!FrameUsable()) return;

    if (mode_ == Mode::WaitSync) {
        // Only the sync byte means anything before the baud rate is known.
        if (byte != 0x7F) return;
        lockedBaud_ = line_.Settings().baud;
        const Fault f = Serve(Step::Sync);
        if (Acknowledge(f, atUs)) mode_ = Mode::Bootloader;
        return;
    }

    switch (rx_) {
    case Rx::Command:
        command_ = byte;
        rx_ = Rx::Complement;
        return;
    case Rx::Complement:
        rx_ = Rx::Command;
        // Every command byte travels with its complement.
        if (byte != static_cast<std::uint8_t>(command_ ^ 0xFF)) {
            Send(atUs, {kNack});
            return;
        }
        OnCommand(command_, atUs);
        return;
    default:
        break;
    }

    args_.push_back(byte);
    if (args_.size() == 1) {
        // Frames whose length is given by their first byte.
        if (rx_ == Rx::WriteData) need_ = 1 + (args_[0] + 1u) + 1;
        if (rx_ == Rx::EraseCount) {
            if (args_[0] == 0xFF) {
                need_ = 2;  // global erase: 0xFF and its checksum 0x00
            } else {
                rx_ = Rx::ErasePages;
                need_ = 1 + (args_[0] + 1u) + 1;
            }
        }
    }
    if (args_.size() < need_) return;
    const Rx what = rx_;
    rx_ = Rx::Command;
    switch (what) {
    case Rx::ReadAddress: OnReadAddress(atUs); break;
    case Rx::ReadCount: OnReadCount(atUs); break;
    case Rx::WriteAddress: OnWriteAddress(atUs); break;
    case Rx::WriteData: OnWriteData(atUs); break;
    case Rx::EraseCount: OnEraseAll(atUs); break;
    case Rx::ErasePages: OnErasePages(atUs); break;
    default: break;
    }
}

void Stm32BootTarget::OnCommand(std::uint8_t command, std::uint64_t atUs) {
    auto expect = [this](Rx rx, std::size_t need) {
        rx_ = rx;
        need_ = need;
        args_.clear();
    };
    switch (command) {
    case 0x00: {  // Get: version and the supported commands
        const Fault f = Serve(Step::Get);
        const bool shaped = f == Fault::SlowReply || f == Fault::WrongByte;
        if (!Acknowledge(shaped ? Fault::None : f, atUs)) return;
        std::vector<std::uint8_t> reply;
        reply.push_back(static_cast<std::uint8_t>(commands.size()));
        reply.push_back(version);
        reply.insert(reply.end(), commands.begin(), commands.end());
        if (f == Fault::WrongByte) reply[1] ^= 0x5A;
        reply.push_back(kAck);
        SendSpaced(atUs, reply, f == Fault::SlowReply ? replyGapUs : 0);
        return;
    }
    case 0x01:  // Get Version & Read Protection Status
        Send(atUs, {kAck, version, 0x00, 0x00, kAck});
        return;
    case 0x02: {  // Get ID
        const Fault f = Serve(Step::GetId);
        const bool shaped = f == Fault::SlowReply || f == Fault::WrongByte;
        if (!Acknowledge(shaped ? Fault::None : f, atUs)) return;
        std::vector<std::uint8_t> reply;
        const std::size_t n = productId.empty() ? 1 : productId.size();
        reply.push_back(static_cast<std::uint8_t>(n - 1));
        if (productId.empty())
            reply.push_back(0x00);
        else
            reply.insert(reply.end(), productId.begin(), productId.end());
        if (f == Fault::WrongByte) reply[1] ^= 0x5A;
        reply.push_back(kAck);
        SendSpaced(atUs, reply, f == Fault::SlowReply ? replyGapUs : 0);
        return;
    }
    case 0x11: {  // Read Memory
        readFault_ = Serve(Step::Read);
        const bool shaped = readFault_ == Fault::SlowReply || readFault_ == Fault::WrongByte;
        if (!Acknowledge(shaped ? Fault::None : readFault_, atUs)) return;
        expect(Rx::ReadAddress, 5);
        return;
    }
    case 0x31:  // Write Memory
        writeFault_ = Serve(Step::Write);
        Send(atUs, {kAck});
        expect(Rx::WriteAddress, 5);
        return;
    case 0x43:  // Erase Memory
        eraseFault_ = Serve(Step::Erase);
        Send(atUs, {kAck});
        expect(Rx::EraseCount, 1);
        return;
    default:
        Send(atUs, {kNack});
        return;
    }
}

void Stm32BootTarget::OnReadAddress(std::uint64_t atUs) {
    // Four address bytes, most significant first, then their XOR.
    if (XorOf(args_.data(), 5) != 0 || !Memory(BigEndian32(args_.data()), 1, false)) {
        Send(atUs, {kNack});
        return;
    }
    address_ = BigEndian32(args_.data());
    Send(atUs, {kAck});
    rx_ = Rx::ReadCount;
    need_ = 2;
    args_.clear();
}

void Stm32BootTarget::OnReadCount(std::uint64_t atUs) {
    // N (bytes to read minus one) and its complement.
    const std::size_t count = args_[0] + 1u;
    const std::uint8_t* mem = Memory(address_, count, false);
    if (static_cast<std::uint8_t>(args_[0] ^ args_[1]) != 0xFF || !mem) {
        Send(atUs, {kNack});
        return;
    }
    readAddresses_.push_back(address_);
    std::vector<std::uint8_t> data(mem, mem + count);
    if (readFault_ == Fault::WrongByte) data[std::min(wrongByteIndex, count - 1)] ^= 0x5A;
    Send(atUs, {kAck});
    SendSpaced(atUs, data, readFault_ == Fault::SlowReply ? replyGapUs : 0);
}

void Stm32BootTarget::OnWriteAddress(std::uint64_t atUs) {
    const std::uint32_t address = BigEndian32(args_.data());
    // Writes to flash and RAM must start on a word (4-byte) boundary.
    if (XorOf(args_.data(), 5) != 0 || address % 4 != 0 || !Memory(address, 1, true)) {
        Send(atUs, {kNack});
        return;
    }
    address_ = address;
    Send(atUs, {kAck});
    rx_ = Rx::WriteData;
    need_ = 1;
    args_.clear();
}

void Stm32BootTarget::OnWriteData(std::uint64_t atUs) {
    // N, N + 1 data bytes, then the XOR of N and all data bytes.
    const std::size_t count = args_[0] + 1u;
    const std::size_t padded = (count + 3) / 4 * 4;
    std::uint8_t* mem = Memory(address_, padded, true);
    if (XorOf(args_.data(), count + 2) != 0 || !mem) {
        Send(atUs, {kNack});
        return;
    }
    if (writeFault_ == Fault::Silence || writeFault_ == Fault::Nack) {
        Acknowledge(writeFault_, atUs);
        return;
    }
    // A short tail is filled with 0xFF up to the word; flash bits can only
    // be cleared by programming.
    const bool flash = address_ >= kFlashBase && address_ < kFlashBase + kFlashSize;
    for (std::size_t i = 0; i < padded; ++i) {
        const std::uint8_t b = i < count ? args_[1 + i] : 0xFF;
        mem[i] = flash ? static_cast<std::uint8_t>(mem[i] & b) : b;
    }
    std::uint64_t busyNs = 0;
    if (flash) busyNs = padded / 2 * kHalfWordProgramNs;
    busyNs_ += busyNs;
    writeAddresses_.push_back(address_);
    Acknowledge(writeFault_, atUs + (busyNs + 999) / 1000);
}

void Stm32BootTarget::OnEraseAll(std::uint64_t atUs) {
    if (args_[1] != 0x00) {
        Send(atUs, {kNack});
        return;
    }
    if (eraseFault_ == Fault::Silence || eraseFault_ == Fault::Nack) {
        Acknowledge(eraseFault_, atUs);
        return;
    }
    std::fill(flash_.begin(), flash_.end(), 0xFF);
    busyNs_ += kMassEraseUs * 1000;
    Acknowledge(eraseFault_, atUs + kMassEraseUs);
}

void Stm32BootTarget::OnErasePages(std::uint64_t atUs) {
    const std::size_t pages = args_[0] + 1u;
    bool valid = XorOf(args_.data(), pages + 2) == 0;
    for (std::size_t i = 0; i < pages && valid; ++i)
        valid = std::uint32_t{args_[1 + i]} * kPageSize < kFlashSize;
    if (!valid) {
        Send(atUs, {kNack});
        return;
    }
    if (eraseFault_ == Fault::Silence || eraseFault_ == Fault::Nack) {
        Acknowledge(eraseFault_, atUs);
        return;
    }
    for (std::size_t i = 0; i < pages; ++i) {
        const auto first = flash_.begin() + static_cast<std::ptrdiff_t>(args_[1 + i] * kPageSize);
        std::fill(first, first + kPageSize, 0xFF);
    }
    busyNs_ += pages * kPageEraseUs * 1000;
    Acknowledge(eraseFault_, atUs + pages * kPageEraseUs);
}

bool Stm32BootTarget::Acknowledge(Fault fault, std::uint64_t atUs) {
    switch (fault) {
    case Fault::Silence:
        mode_ = Mode::Deaf;
        return false;
    case Fault::Nack:
        Send(atUs, {kNack});
        return false;
    case Fault::NackThenAck:
        Send(atUs, {kNack, kAck});
        return true;
    case Fault::SlowReply:
        Send(atUs + replyGapUs, {kAck});
        return true;
    case Fault::WrongByte:
        Send(atUs, {0x00});
        return true;
    case Fault::None:
        break;
    }
    Send(atUs, {kAck});
    return true;
}

void Stm32BootTarget::SendSpaced(std::uint64_t atUs, const std::vector<std::uint8_t>& bytes,
                                 std::uint64_t gapUs) {
    if (gapUs == 0) {
        Send(atUs, bytes);
        return;
    }
    // Each byte leaves a gap after the previous one has been sent.
    const std::uint64_t charUs = line_.WireTimeUs(1);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        Send(atUs + (i + 1) * (gapUs + charUs), {bytes[i]});
}

void Stm32BootTarget::Send(std::uint64_t atUs, std::vector<std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (atUs <= line_.NowUs()) {
        bytesSent_ += bytes.size();
        line_.SendToPortAt(atUs, bytes);
        return;
    }
    // Later replies wait here, so that a reset can still cancel them.
    Pending p{atUs, std::move(bytes)};
    const auto pos = std::upper_bound(pending_.begin(), pending_.end(), p.atUs,
                                      [](std::uint64_t t, const Pending& q) { return t < q.atUs; });
    pending_.insert(pos, std::move(p));
}

std::optional<std::uint64_t> Stm32BootTarget::NextEventUs() const {
    if (pending_.empty()) return std::nullopt;
    return pending_.front().atUs;
}

void Stm32BootTarget::OnTime(std::uint64_t nowUs) {
    while (!pending_.empty() && pending_.front().atUs <= nowUs) {
        Pending p = std::move(pending_.front());
        pending_.erase(pending_.begin());
        bytesSent_ += p.bytes.size();
        line_.SendToPortAt(p.atUs, p.bytes);
    }
}

std::uint8_t* Stm32BootTarget::Memory(std::uint32_t address, std::size_t length, bool forWrite) {
    const std::uint64_t a = address;
    if (a >= kFlashBase && a - kFlashBase + length <= kFlashSize) return &flash_[a - kFlashBase];
    const std::uint64_t ramStart = kRamBase + (forWrite ? kRamReserved : 0);
    if (a >= ramStart && a - kRamBase + length <= kRamSize) return &ram_[a - kRamBase];
    return nullptr;
}

}  // namespace quennet
