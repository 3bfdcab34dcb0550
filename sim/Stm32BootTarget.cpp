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

Stm32BootTarget::Stm32BootTarget(SimLine& line, const Stm32ChipModel& model, std::uint32_t flashBytes)
    : version(model.version),
      commands({0x00, 0x01, 0x02, 0x11, 0x21, 0x31, static_cast<std::uint8_t>(model.extendedErase ? 0x44 : 0x43),
                0x63, 0x73, 0x82, 0x92}),
      productId({static_cast<std::uint8_t>(model.productId >> 8), static_cast<std::uint8_t>(model.productId)}),
      line_(line),
      model_(model),
      ram_(model.ramSize, 0x00) {
    const std::uint32_t size =
        flashBytes == 0 || flashBytes > model.FlashSize() ? model.FlashSize() : flashBytes;
    // Each bank holds the first pages of the model's bank up to its share;
    // a part too small for two banks of whole sectors has one.
    int banks = model_.banks;
    if (banks > 1 && size / static_cast<std::uint32_t>(banks) < model_.bank.front().bytes) banks = 1;
    const std::uint32_t bankBytes = size / static_cast<std::uint32_t>(banks);
    std::uint32_t offset = 0;
    for (int bank = 0; bank < banks; ++bank) {
        std::uint32_t inBank = 0;
        for (const Stm32ChipModel::Pages& run : model_.bank) {
            for (std::uint16_t i = 0; i < run.count && inBank < bankBytes; ++i) {
                pages_.push_back({offset, run.bytes, run.eraseUs});
                offset += run.bytes;
                inBank += run.bytes;
            }
        }
    }
    flash_.assign(offset, 0xFF);
    const std::uint32_t kib = offset / 1024;
    flashSizeKib_ = {static_cast<std::uint8_t>(kib), static_cast<std::uint8_t>(kib >> 8)};
    line_.clock().AddListener(this);
}

void Stm32BootTarget::LoadOldFirmware() {
    for (std::size_t a = 0; a < flash_.size(); ++a) flash_[a] = static_cast<std::uint8_t>(0x20 + (a * 37 + a / 256) % 0xC0);
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
    if (args_.size() == 2 && rx_ == Rx::ExtendedCount) {
        // Two bytes: a special erase from 0xFFF0 up (then only the
        // checksum follows), else N and N + 1 two-byte page numbers.
        const unsigned n = (args_[0] << 8) | args_[1];
        if (n < 0xFFF0) {
            rx_ = Rx::ExtendedPages;
            need_ = 2 + 2 * (n + 1) + 1;
        }
    }
    if (args_.size() == 1) {
        // Frames whose length is given by their first byte.
        if (rx_ == Rx::WriteData || rx_ == Rx::ProtectCodes) need_ = 1 + (args_[0] + 1u) + 1;
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
    case Rx::ExtendedCount: OnExtendedSpecial(atUs); break;
    case Rx::ExtendedPages: OnExtendedPages(atUs); break;
    case Rx::GoAddress: OnGoAddress(atUs); break;
    case Rx::ProtectCodes: OnProtectCodes(atUs); break;
    default: break;
    }
}

void Stm32BootTarget::OnCommand(std::uint8_t command, std::uint64_t atUs) {
    auto expect = [this](Rx rx, std::size_t need) {
        rx_ = rx;
        need_ = need;
        args_.clear();
    };
    // Only what GET lists is served.
    if (std::find(commands.begin(), commands.end(), command) == commands.end()) {
        Send(atUs, {kNack});
        return;
    }
    // Read-out protection shuts the flash off: these are refused at once.
    const bool touchesMemory =
        command == 0x11 || command == 0x21 || command == 0x31 || command == 0x43 || command == 0x44;
    if (readoutProtected && touchesMemory) {
        Send(atUs, {kNack});
        return;
    }
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
    case 0x21:  // Go
        Send(atUs, {kAck});
        expect(Rx::GoAddress, 5);
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
    case 0x43:  // Erase Memory: one-byte count and page numbers
    case 0x44:  // Extended Erase: two-byte count and page numbers
        eraseFault_ = Serve(Step::Erase);
        Send(atUs, {kAck});
        if (command == 0x43)
            expect(Rx::EraseCount, 1);
        else
            expect(Rx::ExtendedCount, 3);
        return;
    case 0x63:  // Write Protect: the sector codes follow
    case 0x73:  // Write Unprotect
    case 0x82:  // Readout Protect
        // The option bytes stay as they are while read-out protection is on.
        if (readoutProtected) {
            Send(atUs, {kNack});
            return;
        }
        if (command == 0x63) {
            Send(atUs, {kAck});
            expect(Rx::ProtectCodes, 1);
            return;
        }
        if (command == 0x73) writeProtectedSectors.clear();
        if (command == 0x82) readoutProtected = true;
        OptionChange(kOptionWriteUs, atUs);
        return;
    case 0x92:  // Readout Unprotect: the flash goes with the protection
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        busyNs_ += model_.massEraseUs * 1000;
        readoutProtected = false;
        OptionChange(model_.massEraseUs + kOptionWriteUs, atUs);
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
    // Writes to RAM start on a word (4-byte) boundary, writes to flash on
    // the boundary of the unit the flash is programmed in.
    const bool flash = address >= kFlashBase && address - kFlashBase < flash_.size();
    const std::uint32_t unit = flash ? model_.programUnit : 4;
    if (XorOf(args_.data(), 5) != 0 || address % unit != 0 || !Memory(address, 1, true)) {
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
    const bool flash = address_ >= kFlashBase && address_ - kFlashBase < flash_.size();
    const std::size_t unit = flash ? model_.programUnit : 4;
    const std::size_t padded = (count + unit - 1) / unit * unit;
    std::uint8_t* mem = Memory(address_, padded, true);
    if (XorOf(args_.data(), count + 2) != 0 || !mem) {
        Send(atUs, {kNack});
        return;
    }
    if (writeFault_ == Fault::Silence || writeFault_ == Fault::Nack) {
        Acknowledge(writeFault_, atUs);
        return;
    }
    if (flash && WriteProtected(address_ - kFlashBase, padded)) {
        Send(atUs, {kNack});
        return;
    }
    // A short tail is filled with 0xFF up to the unit.
    std::vector<std::uint8_t> data(padded, 0xFF);
    std::copy_n(args_.begin() + 1, count, data.begin());
    if (!flash) {
        std::copy(data.begin(), data.end(), mem);
        writeAddresses_.push_back(address_);
        Acknowledge(writeFault_, atUs);
        return;
    }
    // The flash is programmed check unit by check unit, in order; the first
    // one the flash refuses ends the write with a NACK, the units before it
    // programmed.
    using Overwrite = Stm32ChipModel::Overwrite;
    const std::size_t check = model_.overwrite == Overwrite::HalfWordError ? 2 : unit;
    std::size_t done = 0;
    bool refused = false;
    for (; done < padded && !refused; done += check) {
        auto blank = [](std::uint8_t b) { return b == 0xFF; };
        auto zero = [](std::uint8_t b) { return b == 0x00; };
        const bool erased = std::all_of(mem + done, mem + done + check, blank);
        const bool zeros = std::all_of(data.begin() + static_cast<long>(done),
                                       data.begin() + static_cast<long>(done + check), zero);
        switch (model_.overwrite) {
        case Overwrite::ClearsBits: break;
        case Overwrite::HalfWordError:
        case Overwrite::UnitError: refused = !erased && !zeros; break;
        case Overwrite::UnitOnce: refused = !erased; break;
        }
        if (refused) break;
        // Programming only clears bits.
        for (std::size_t i = done; i < done + check; ++i) mem[i] = static_cast<std::uint8_t>(mem[i] & data[i]);
    }
    const std::uint64_t busyNs = (done + unit - 1) / unit * model_.programUnitNs;
    busyNs_ += busyNs;
    if (refused) {
        Send(atUs + (busyNs + 999) / 1000, {kNack});
        return;
    }
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
    specialErases_.push_back(0xFF);
    busyNs_ += model_.massEraseUs * 1000;
    Acknowledge(eraseFault_, atUs + model_.massEraseUs);
}

void Stm32BootTarget::OnErasePages(std::uint64_t atUs) {
    // N, N + 1 page numbers of one byte, the XOR of them all.
    const std::size_t n = args_[0] + 1u;
    std::vector<std::uint16_t> pages(args_.begin() + 1, args_.begin() + 1 + static_cast<long>(n));
    if (XorOf(args_.data(), n + 2) != 0) pages.clear();
    ErasePages(pages, atUs);
}

void Stm32BootTarget::OnExtendedPages(std::uint64_t atUs) {
    // Two bytes of N, N + 1 two-byte page numbers (most significant byte
    // first), the XOR of every byte.
    const std::size_t n = ((args_[0] << 8) | args_[1]) + 1u;
    std::vector<std::uint16_t> pages;
    for (std::size_t i = 0; i < n; ++i)
        pages.push_back(static_cast<std::uint16_t>((args_[2 + 2 * i] << 8) | args_[3 + 2 * i]));
    if (XorOf(args_.data(), args_.size()) != 0) pages.clear();
    ErasePages(pages, atUs);
}

void Stm32BootTarget::ErasePages(const std::vector<std::uint16_t>& pages, std::uint64_t atUs) {
    bool valid = !pages.empty();
    for (std::uint16_t p : pages)
        valid = valid && p < pages_.size() && !WriteProtected(pages_[p].offset, pages_[p].bytes);
    if (!valid) {
        Send(atUs, {kNack});
        return;
    }
    if (eraseFault_ == Fault::Silence || eraseFault_ == Fault::Nack) {
        Acknowledge(eraseFault_, atUs);
        return;
    }
    std::uint64_t us = 0;
    for (std::uint16_t p : pages) {
        EraseRange(pages_[p].offset, pages_[p].bytes);
        erasedPages_.push_back(p);
        us += pages_[p].eraseUs;
    }
    busyNs_ += us * 1000;
    Acknowledge(eraseFault_, atUs + us);
}

void Stm32BootTarget::OnExtendedSpecial(std::uint64_t atUs) {
    // 0xFFFF erases everything; 0xFFFE and 0xFFFD bank 1 and bank 2 of a
    // dual-bank part. The checksum is the XOR of the two code bytes.
    const std::uint16_t code = static_cast<std::uint16_t>((args_[0] << 8) | args_[1]);
    const bool known = code == 0xFFFF || (model_.banks == 2 && (code == 0xFFFE || code == 0xFFFD));
    if (XorOf(args_.data(), 3) != 0 || !known) {
        Send(atUs, {kNack});
        return;
    }
    if (eraseFault_ == Fault::Silence || eraseFault_ == Fault::Nack) {
        Acknowledge(eraseFault_, atUs);
        return;
    }
    const std::uint32_t bank = static_cast<std::uint32_t>(flash_.size()) / static_cast<std::uint32_t>(model_.banks);
    if (code == 0xFFFF) EraseRange(0, static_cast<std::uint32_t>(flash_.size()));
    if (code == 0xFFFE) EraseRange(0, bank);
    if (code == 0xFFFD) EraseRange(bank, bank);
    specialErases_.push_back(code);
    busyNs_ += model_.massEraseUs * 1000;
    Acknowledge(eraseFault_, atUs + model_.massEraseUs);
}

bool Stm32BootTarget::WriteProtected(std::uint32_t offset, std::size_t bytes) const {
    if (writeProtectedSectors.empty() || bytes == 0) return false;
    const bool smallPages = std::all_of(pages_.begin(), pages_.end(), [](const Page& p) { return p.bytes <= 2048; });
    auto sectorOf = [&](std::uint64_t at) -> std::uint64_t {
        if (smallPages) return at / 4096;
        for (std::size_t i = 0; i < pages_.size(); ++i)
            if (at < std::uint64_t{pages_[i].offset} + pages_[i].bytes) return i;
        return pages_.size();
    };
    for (std::uint64_t s = sectorOf(offset), last = sectorOf(offset + bytes - 1); s <= last; ++s)
        if (std::find(writeProtectedSectors.begin(), writeProtectedSectors.end(), s) != writeProtectedSectors.end())
            return true;
    return false;
}

void Stm32BootTarget::EraseRange(std::uint32_t offset, std::uint32_t bytes) {
    std::fill_n(flash_.begin() + offset, bytes, 0xFF);
}

void Stm32BootTarget::OnGoAddress(std::uint64_t atUs) {
    // The address of a vector table in flash or RAM: the bootloader loads
    // the stack pointer from it and jumps to its reset vector.
    if (XorOf(args_.data(), 5) != 0 || !Memory(BigEndian32(args_.data()), 8, false)) {
        Send(atUs, {kNack});
        return;
    }
    Send(atUs, {kAck});
    mode_ = Mode::Running;
    if (onGo) onGo(atUs + line_.WireTimeUs(1));
}

void Stm32BootTarget::OnProtectCodes(std::uint64_t atUs) {
    // N, N + 1 sector codes, the XOR of them all. The codes themselves are
    // not checked: the option bytes take whatever they name.
    if (XorOf(args_.data(), args_.size()) != 0) {
        Send(atUs, {kNack});
        return;
    }
    writeProtectedSectors.assign(args_.begin() + 1, args_.end() - 1);
    OptionWritten(kOptionWriteUs, atUs);
}

void Stm32BootTarget::OptionChange(std::uint64_t workUs, std::uint64_t atUs) {
    Send(atUs, {kAck});
    OptionWritten(workUs, atUs);
}

void Stm32BootTarget::OptionWritten(std::uint64_t workUs, std::uint64_t atUs) {
    // The second ACK once the option bytes are written, then the reset that
    // loads them; BOOT0 is still high, so the bootloader starts again.
    pending_.push_back({atUs + workUs, {kAck}, true});
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.atUs < b.atUs; });
    rx_ = Rx::Command;
}

void Stm32BootTarget::Restart(std::uint64_t atUs) {
    Reset();
    mode_ = Mode::Starting;
    readyUs_ = atUs + kStartupUs;
    ++bootloaderStarts_;
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
    Pending p{atUs, std::move(bytes), false};
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
        if (p.restartAfter) Restart(p.atUs + line_.WireTimeUs(p.bytes.size()));
    }
}

std::uint8_t* Stm32BootTarget::Memory(std::uint32_t address, std::size_t length, bool forWrite) {
    const std::uint64_t a = address;
    if (!forWrite && a >= model_.flashSizeRegister && a - model_.flashSizeRegister + length <= flashSizeKib_.size())
        return &flashSizeKib_[a - model_.flashSizeRegister];
    if (a >= kFlashBase && a - kFlashBase + length <= flash_.size()) return &flash_[a - kFlashBase];
    const std::uint64_t ramStart = kRamBase + (forWrite ? model_.ramReserved : 0);
    if (a >= ramStart && a - kRamBase + length <= ram_.size()) return &ram_[a - kRamBase];
    if (!forWrite && uniqueIdAddress != 0 && a >= uniqueIdAddress && a - uniqueIdAddress + length <= uniqueId.size())
        return &uniqueId[a - uniqueIdAddress];
    return nullptr;
}

}  // namespace quennet
