#include "Msp430BslTarget.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace quennet {

namespace {

constexpr std::uint8_t kCmdRxBlock = 0x12;
constexpr std::uint8_t kCmdRxPassword = 0x10;
constexpr std::uint8_t kCmdTxBlock = 0x14;
constexpr std::uint8_t kCmdMassErase = 0x18;
constexpr std::uint8_t kCmdLoadPc = 0x1A;
constexpr std::uint8_t kCmdEraseSegment = 0x16;
constexpr std::uint8_t kCmdEraseCheck = 0x1C;
constexpr std::uint8_t kCmdTxVersion = 0x1E;
constexpr std::uint8_t kCmdChangeBaud = 0x20;

constexpr std::uint32_t kRomBegin = 0x0C00, kRomEnd = 0x1000;
constexpr std::uint32_t kFlashBegin = 0x1000, kFlashEnd = 0x10000;
constexpr std::uint32_t kMainBegin = 0x1100;
constexpr std::uint32_t kInfoSegment = 128, kMainSegment = 512;
// FCTL1 as the flash controller takes it: key in the high byte.
constexpr std::uint8_t kFlashKey = 0xA5;
constexpr std::uint8_t kFctlErase = 0x02, kFctlMeras = 0x04;
// The UART rate of a loader whose clock fits none.
constexpr std::uint32_t kNoRate = 1;
constexpr std::uint16_t kPatchAddress = 0x0220;
constexpr std::uint16_t kVectors = 0xFFE0;
constexpr int kMaxL1 = 254;  // the loader's receive buffer: 250 data bytes

// What the loader answers when a step is made to send a wrong byte.
constexpr std::uint8_t kWrongByte = 0x55;

// Inverted XOR of the bytes at even (low) and odd (high) offsets.
std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i) (i % 2 ? hi : lo) ^= bytes[i];
    return static_cast<std::uint16_t>(~(lo | (hi << 8)));
}

bool InRange(std::uint32_t a, std::uint32_t begin, std::uint32_t end) {
    return a >= begin && a < end;
}

// Clock bytes D1 D2 of each family (high byte of the device ID) for the
// rates of D3 = 0, 1, 2, as TI lists them.
struct BaudClock {
    std::uint8_t family;
    std::uint8_t d1[3], d2[3];
};
constexpr BaudClock kBaudClocks[] = {
    {0xF1, {0x80, 0xE0, 0xE0}, {0x85, 0x86, 0x87}},
    {0xF2, {0x80, 0x00, 0x80}, {0x85, 0x8B, 0x8C}},
    {0xF4, {0x00, 0x00, 0x00}, {0x98, 0xB0, 0xC8}},
};
constexpr std::uint32_t kRates[3] = {9600, 19200, 38400};

}  // namespace

const std::array<std::uint8_t, 194>& Msp430BslTarget::Patch110() {
    // TI's RAM patch for the 1.10 ROM loader, loaded at 0x0220.
    static const std::array<std::uint8_t, 194> patch = {
        0x31, 0x40, 0x1A, 0x02, 0x09, 0x43, 0xB0, 0x12, 0x2A, 0x0E, 0xB0, 0x12, 0xBA, 0x0D, 0x55, 0x42,
        0x0B, 0x02, 0x75, 0x90, 0x12, 0x00, 0x1F, 0x24, 0xB0, 0x12, 0xBA, 0x02, 0x55, 0x42, 0x0B, 0x02,
        0x75, 0x90, 0x16, 0x00, 0x16, 0x24, 0x75, 0x90, 0x14, 0x00, 0x11, 0x24, 0xB0, 0x12, 0x84, 0x0E,
        0x06, 0x3C, 0xB0, 0x12, 0x94, 0x0E, 0x03, 0x3C, 0x21, 0x53, 0xB0, 0x12, 0x8C, 0x0E, 0xB2, 0x40,
        0x10, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x00, 0xA5, 0x28, 0x01, 0x30, 0x40, 0x42, 0x0C, 0x30, 0x40,
        0x76, 0x0D, 0x30, 0x40, 0xAC, 0x0C, 0x16, 0x42, 0x0E, 0x02, 0x17, 0x42, 0x10, 0x02, 0xE2, 0xB2,
        0x08, 0x02, 0x14, 0x24, 0xB0, 0x12, 0x10, 0x0F, 0x36, 0x90, 0x00, 0x10, 0x06, 0x28, 0xB2, 0x40,
        0x00, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x40, 0xA5, 0x28, 0x01, 0xD6, 0x42, 0x06, 0x02, 0x00, 0x00,
        0x16, 0x53, 0x17, 0x83, 0xEF, 0x23, 0xB0, 0x12, 0xBA, 0x02, 0xD3, 0x3F, 0xB0, 0x12, 0x10, 0x0F,
        0x17, 0x83, 0xFC, 0x23, 0xB0, 0x12, 0xBA, 0x02, 0xD0, 0x3F, 0x18, 0x42, 0x12, 0x02, 0xB0, 0x12,
        0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02, 0x12, 0x02, 0xB0, 0x12, 0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02,
        0x13, 0x02, 0x38, 0xE3, 0x18, 0x92, 0x12, 0x02, 0xBF, 0x23, 0xE2, 0xB3, 0x08, 0x02, 0xBC, 0x23,
        0x30, 0x41,
    };
    return patch;
}

Msp430BslTarget::Msp430BslTarget(Msp430BslConfig config) : config_(std::move(config)) {
    // A part taken from a board: some old program in its flash, RAM random.
    for (std::uint32_t a = 0; a < memory_.size(); ++a)
        memory_[a] = static_cast<std::uint8_t>((a * 37u + 11u) >> 1);
    if (!config_.oldFirmware) {
        // Fresh from the factory: erased for as long as it takes.
        std::fill(memory_.begin() + kFlashBegin, memory_.end(), 0xFF);
        eraseSinceWriteUs_ = kCumulativeEraseUsF1xx;
    }
    residue_ = memory_;
    WriteInfoBlock();
}

void Msp430BslTarget::WriteInfoBlock() {
    for (std::uint32_t a = 0x0FF0; a < 0x1000; ++a) memory_[a] = 0xFF;
    memory_[0x0FF0] = static_cast<std::uint8_t>(config_.deviceId >> 8);
    memory_[0x0FF1] = static_cast<std::uint8_t>(config_.deviceId & 0xFF);
    memory_[0x0FFA] = config_.versionMajor;
    memory_[0x0FFB] = config_.versionMinor;
}

void Msp430BslTarget::Preload(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size() && address + i < memory_.size(); ++i)
        memory_[address + i] = residue_[address + i] = bytes[i];
}

std::uint64_t Msp430BslTarget::WordWriteUs() const {
    return static_cast<std::uint64_t>(std::llround(kWordWriteCycles * 1e6 / config_.flashClockHz));
}

std::uint64_t Msp430BslTarget::MassEraseUs() const {
    if (config_.massEraseUs != 0) return config_.massEraseUs;
    const int cycles = FirstFlashGeneration() ? kMassEraseCyclesF1xx : kMassEraseCyclesLater;
    return static_cast<std::uint64_t>(std::llround(cycles * 1e6 / config_.flashClockHz));
}

bool Msp430BslTarget::Blank(std::uint32_t begin, std::uint32_t end) const {
    return std::all_of(memory_.begin() + begin, memory_.begin() + end, [](std::uint8_t b) { return b == 0xFF; });
}

std::uint64_t Msp430BslTarget::Erase(std::uint16_t fctl1, std::uint16_t address) {
    // A wrong key makes the flash controller refuse the write (and flag a
    // key violation); a dummy write outside the flash starts nothing.
    if (fctl1 >> 8 != kFlashKey || !InRange(address, kFlashBegin, kFlashEnd)) return 0;
    std::uint32_t begin = 0, end = 0;
    std::uint64_t us = 0;
    switch (fctl1 & (kFctlErase | kFctlMeras)) {
    case kFctlErase: {
        const std::uint32_t size = address < kMainBegin ? kInfoSegment : kMainSegment;
        begin = std::max<std::uint32_t>(address & ~(size - 1), address < kMainBegin ? kFlashBegin : kMainBegin);
        end = std::min<std::uint32_t>((address & ~(size - 1)) + size, kFlashEnd);
        us = static_cast<std::uint64_t>(std::llround(kSegmentEraseCycles * 1e6 / config_.flashClockHz));
        break;
    }
    case kFctlMeras:
        if (address < kMainBegin) return 0;  // main memory only, from within it
        begin = kMainBegin;
        end = kFlashEnd;
        us = MassEraseUs();
        break;
    case kFctlErase | kFctlMeras:
        begin = kFlashBegin;
        end = kFlashEnd;
        us = MassEraseUs();
        break;
    default:
        return 0;
    }
    if (end == kFlashEnd && begin <= kMainBegin) {
        // A new round of erasing starts once the flash was written.
        if (writtenSinceErase_) {
            eraseSinceWriteUs_ = 0;
            std::copy(memory_.begin() + begin, memory_.begin() + end, residue_.begin() + begin);
        }
        writtenSinceErase_ = false;
        eraseSinceWriteUs_ += us;
        if (eraseSinceWriteUs_ >= CumulativeEraseUs())
            std::fill(residue_.begin() + begin, residue_.begin() + end, 0xFF);
    } else {
        std::fill(residue_.begin() + begin, residue_.begin() + end, 0xFF);
    }
    std::fill(memory_.begin() + begin, memory_.begin() + end, 0xFF);
    return us;
}

std::vector<std::uint8_t> Msp430BslTarget::DataFrame(std::uint16_t address, std::uint16_t length) const {
    // Reserved up front: growing a braced-initialised vector by insert
    // makes GCC 12 warn about bounds it gets wrong.
    std::vector<std::uint8_t> reply;
    reply.reserve(length + 6u);
    for (std::uint8_t b : {std::uint8_t{0x80}, std::uint8_t{0x00}, static_cast<std::uint8_t>(length),
                           static_cast<std::uint8_t>(length)})
        reply.push_back(b);
    reply.insert(reply.end(), memory_.begin() + address, memory_.begin() + address + length);
    const std::uint16_t sum = Checksum(reply.data(), reply.size());
    reply.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    reply.push_back(static_cast<std::uint8_t>(sum >> 8));
    return reply;
}

std::vector<Msp430BslTarget::Command> Msp430BslTarget::CommandsOf(std::uint8_t cmd) const {
    std::vector<Command> out;
    for (const auto& c : commands_)
        if (c.cmd == cmd) out.push_back(c);
    return out;
}

const BslSimFaultRule* Msp430BslTarget::Occurrence(BslSimStep step) {
    const int count = ++stepCounts_[static_cast<std::size_t>(step)];
    for (const auto& rule : faults)
        if (rule.step == step &&
            (rule.nth == 0 || rule.nth == count || (rule.onwards && count > rule.nth)))
            return &rule;
    return nullptr;
}

void Msp430BslTarget::Reset() {
    running_ = false;
    passwordOk_ = false;
    patchEntered_ = false;
    uartBaud_ = 0;
    rx_ = Rx::Idle;
    frame_.clear();
    busyUntilUs_ = 0;
    // The boot ROM is the part's own; a RAM test cannot change it.
    WriteInfoBlock();
}

void Msp430BslTarget::StartLoader(SimLine& line, std::uint64_t atUs) {
    Reset();
    running_ = true;
    ++entries_;
    if (!config_.startupNoise.empty()) Send(line, atUs, config_.startupNoise);
}

void Msp430BslTarget::OnLines(SimLine& line, bool dtr, bool rts, std::uint64_t atUs) {
    const bool rst = dtr == config_.rstHighWhenDtrAsserted;
    const bool test = rts == config_.testHighWhenRtsAsserted;
    // TEST first: when both lines move at once (port open or close) the
    // edge on TEST cannot count towards an entry that RST starts.
    if (test != test_) {
        if (test && !rst_) ++testEdgesWhileInReset_;
        test_ = test;
    }
    if (rst != rst_) {
        rst_ = rst;
        if (!rst) {
            Reset();
            testEdgesWhileInReset_ = 0;
        } else {
            const bool pattern = test_ && testEdgesWhileInReset_ >= 2;
            testEdgesWhileInReset_ = 0;
            if (pattern && missed_ >= config_.missedEntries) {
                StartLoader(line, atUs);
            } else {
                if (pattern) ++missed_;
                running_ = false;  // the user program runs; it says nothing
            }
        }
    }
}

void Msp430BslTarget::Send(SimLine& line, std::uint64_t atUs, const std::vector<std::uint8_t>& bytes) {
    bytesSent_ += bytes.size();
    wireUs_ += static_cast<double>(bytes.size()) * line.CharTimeUs();
    line.SendToPortAt(atUs, bytes);
}

void Msp430BslTarget::OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                              std::uint64_t arrivalUs) {
    bytesReceived_ += n;
    wireUs_ += static_cast<double>(n) * line.CharTimeUs();
    const LineSettings& s = line.Settings();
    const bool framingOk = s.dataBits == 8 && s.parity == Parity::Even && s.stopBits == 1 &&
                           (uartBaud_ == 0 || uartBaud_ == s.baud);
    for (std::size_t i = 0; i < n; ++i) {
        if (!running_) continue;
        // The CPU is in the flash routine and does not look at the UART.
        if (arrivalUs < busyUntilUs_) continue;
        if (!framingOk) {
            // A parity or framing error: the loader drops what it was
            // receiving and waits for the next sync.
            rx_ = Rx::Idle;
            frame_.clear();
            continue;
        }
        OnByte(line, bytes[i], arrivalUs);
    }
}

void Msp430BslTarget::OnByte(SimLine& line, std::uint8_t byte, std::uint64_t atUs) {
    switch (rx_) {
    case Rx::Idle:
        if (byte != kSync) return;
        if (const auto* f = Occurrence(BslSimStep::Sync)) {
            if (f->fault == BslSimFault::Silence) return;
            Send(line, atUs, {f->fault == BslSimFault::Nak ? kNak : kWrongByte});
            return;
        }
        ++syncsAnswered_;
        Send(line, atUs, {kAck});
        rx_ = Rx::Synced;
        return;
    case Rx::Synced:
        if (byte != kSync) {
            rx_ = Rx::Idle;
            return;
        }
        frame_.assign(1, byte);
        rx_ = Rx::Frame;
        return;
    case Rx::Frame:
        frame_.push_back(byte);
        if (frame_.size() == 4) {
            const int l1 = frame_[2], l2 = frame_[3];
            if (l1 != l2 || l1 < 4 || l1 > kMaxL1 || l1 % 2 != 0) {
                // The loader cannot know where such a frame ends: it refuses
                // it at once and waits for the next sync.
                Send(line, atUs, {kNak});
                rx_ = Rx::Idle;
                frame_.clear();
            }
            return;
        }
        if (frame_.size() > 4 && frame_.size() == static_cast<std::size_t>(frame_[2]) + 6) {
            Execute(line, atUs);
            rx_ = Rx::Idle;
            frame_.clear();
        }
        return;
    }
}

void Msp430BslTarget::Execute(SimLine& line, std::uint64_t atUs) {
    const std::uint8_t cmd = frame_[1];
    const std::size_t l1 = frame_[2];
    const std::uint16_t address = static_cast<std::uint16_t>(frame_[4] | (frame_[5] << 8));
    const std::uint16_t length = static_cast<std::uint16_t>(frame_[6] | (frame_[7] << 8));
    const std::uint8_t* data = frame_.data() + 8;
    const std::size_t n = l1 - 4;
    commands_.push_back({atUs, cmd, address, length, false});
    Command& record = commands_.back();

    const std::size_t sumLen = l1 + 4;
    const std::uint16_t sent = static_cast<std::uint16_t>(frame_[sumLen] | (frame_[sumLen + 1] << 8));
    if (sent != Checksum(frame_.data(), sumLen)) {
        Send(line, atUs, {kNak});
        return;
    }

    auto nak = [&] { Send(line, atUs, {kNak}); };
    auto ack = [&](std::uint64_t busyUs) {
        busyUntilUs_ = atUs + busyUs;
        busyTotalUs_ += busyUs;
        record.accepted = true;
        Send(line, atUs + busyUs, {kAck});
    };
    // Applies a fault; true when the command must not go on.
    auto faulted = [&](BslSimStep step) {
        const auto* f = Occurrence(step);
        if (!f) return false;
        if (f->fault == BslSimFault::Nak) nak();
        else if (f->fault != BslSimFault::Silence) Send(line, atUs, {kWrongByte});
        return true;
    };

    const bool hasCheckAndVersion = Version() >= 0x0150 && config_.versionMajor < 2;
    const bool hasChangeBaud = Version() >= 0x0160;
    switch (cmd) {
    case kCmdMassErase: {
        if (n != 0) return nak();
        if (faulted(BslSimStep::MassErase)) return;
        const std::uint64_t us = Erase(length, address);
        // The 2.x loaders check that the erase took place; the older ones
        // acknowledge whatever the flash controller did.
        if (us == 0 && config_.versionMajor >= 2) return nak();
        return ack(us);
    }
    case kCmdEraseSegment: {
        if (n != 0 || !passwordOk_) return nak();
        const std::uint64_t us = Erase(length, address);
        if (Version() >= 0x0160 && us == 0) return nak();
        return ack(us);
    }
    case kCmdEraseCheck: {
        if (!hasCheckAndVersion || n != 0 || !passwordOk_) return nak();
        if (length == 0 || address + length > 0x10000u) return nak();
        return Blank(address, address + length) ? ack(0) : nak();
    }
    case kCmdTxVersion: {
        if (!hasCheckAndVersion || n != 0) return nak();
        record.accepted = true;
        Send(line, atUs, DataFrame(0x0FF0, 16));
        return;
    }
    case kCmdChangeBaud: {
        const std::uint8_t d1 = frame_[4], d2 = frame_[5], d3 = frame_[6];
        if (!hasChangeBaud || n != 0 || d3 > 2) return nak();
        if (faulted(BslSimStep::ChangeBaud)) return;
        ack(0);
        // The acknowledge leaves at the old rate; then the clock is set.
        uartBaud_ = kNoRate;
        for (const auto& c : kBaudClocks)
            if (c.family == Family() && c.d1[d3] == d1 && c.d2[d3] == d2) uartBaud_ = kRates[d3];
        return;
    }
    case kCmdRxPassword: {
        if (n != 32) return nak();
        if (faulted(BslSimStep::Password)) return;
        if (!std::equal(data, data + 32, memory_.begin() + kVectors)) return nak();
        passwordOk_ = true;
        return ack(0);
    }
    case kCmdTxBlock: {
        if (n != 0 || !passwordOk_) return nak();
        if (length == 0 || length > 250 || address + length > 0x10000u) return nak();
        const auto* f = Occurrence(BslSimStep::ReadBlock);
        if (f && f->fault == BslSimFault::Silence) return;
        if (f && f->fault == BslSimFault::Nak) return nak();
        const bool shorter = f && f->fault == BslSimFault::ShortFrame && length > 2;
        std::vector<std::uint8_t> reply = DataFrame(address, static_cast<std::uint16_t>(shorter ? length - 2 : length));
        if (f && f->fault == BslSimFault::WrongByte) reply[0] = kWrongByte;
        if (f && f->fault == BslSimFault::BadChecksum) reply[reply.size() - 2] ^= 0x01;
        if (f && f->fault == BslSimFault::LengthMismatch) reply[3] ^= 0x02;
        record.accepted = !f;
        Send(line, atUs, reply);
        return;
    }
    case kCmdLoadPc: {
        if (n != 0 || !passwordOk_) return nak();
        if (faulted(BslSimStep::LoadPc)) return;
        ack(0);
        const auto& patch = Patch110();
        if (address == kPatchAddress &&
            std::equal(patch.begin(), patch.end(), memory_.begin() + kPatchAddress)) {
            // The patch takes over the next block and returns to the loader.
            patchEntered_ = true;
        } else {
            // Whatever runs there, it is not the loader any more.
            running_ = false;
        }
        return;
    }
    case kCmdRxBlock: {
        if (!passwordOk_ || length != n || n == 0 || address % 2 != 0 || n % 2 != 0 ||
            address + n > 0x10000u)
            return nak();
        const bool flash = address + n > kFlashBegin;
        const bool entered = patchEntered_;
        patchEntered_ = false;
        if (faulted(flash ? BslSimStep::WriteFlash : BslSimStep::WriteRam)) return;
        // The boot ROM cannot be written; a block touching it is refused whole.
        if (address < kRomEnd && address + n > kRomBegin) return nak();
        if (flash && Is110() && !entered) return nak();
        const bool incomplete = flash && eraseSinceWriteUs_ < CumulativeEraseUs();
        if (flash) {
            if (incomplete) ++writesOnIncompleteErase_;
            writtenSinceErase_ = true;
        }
        // Loaders before 1.30 program byte by byte, later ones word by word;
        // each write takes the same time.
        const bool byBytes = Version() < 0x0130;
        std::uint64_t writes = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t a = address + i;
            if (InRange(a, kFlashBegin, kFlashEnd)) {
                // Programming only clears bits; a cell not fully erased
                // clears its old ones again.
                memory_[a] &= incomplete ? data[i] & residue_[a] : data[i];
                if (byBytes || i % 2 == 0) ++writes;
            } else {
                memory_[a] = data[i];
            }
        }
        return ack(writes * WordWriteUs());
    }
    default:
        return nak();
    }
}

}  // namespace quennet
