#include "SimBoard.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "firmware/FirmwareWriter.h"

namespace quennet {

namespace {

constexpr std::uint32_t kMsp430FlashStart = 0x1000;
constexpr std::size_t kSRecordData = 16;

// Where a family keeps its unique device ID, from the reference manuals;
// 0 for a family without twelve bytes in a row.
std::uint32_t UniqueIdAddress(const std::string& part) {
    const struct {
        const char* line;
        std::uint32_t address;
    } places[] = {{"STM32F0", 0x1FFFF7AC}, {"STM32F3", 0x1FFFF7AC}, {"STM32F1", 0x1FFFF7E8},
                  {"STM32F2", 0x1FFF7A10}, {"STM32F4", 0x1FFF7A10}, {"STM32F7", 0x1FF0F420},
                  {"STM32G", 0x1FFF7590},  {"STM32L4", 0x1FFF7590}, {"STM32H7", 0x1FF1E800}};
    for (const auto& p : places)
        if (part.rfind(p.line, 0) == 0) return p.address;
    return 0;
}

}  // namespace

SimBoard::SimBoard(VirtualClock& clock, SimBoardConfig config)
    : clock_(clock), config_(config), line_(clock), host_(line_) {
    std::string identity;
    char text[96];
    if (config_.chip == SimBoardConfig::Chip::Msp430) {
        Msp430BslConfig chip;
        chip.deviceId = config_.msp430DeviceId;
        chip.versionMajor = static_cast<std::uint8_t>(config_.bslVersion >> 8);
        chip.versionMinor = static_cast<std::uint8_t>(config_.bslVersion & 0xFF);
        chip.oldFirmware = config_.msp430OldFirmware;
        msp430_ = std::make_unique<Msp430BslTarget>(chip);
        std::snprintf(text, sizeof text, "Chip MSP430, device ID %04X, BSL version %X.%02X",
                      config_.msp430DeviceId, config_.bslVersion >> 8, config_.bslVersion & 0xFF);
    } else {
        const Stm32ChipModel* model = FindStm32ChipModel(config_.stm32ProductId);
        stm32_ = std::make_unique<Stm32BootTarget>(line_, model ? *model : DefaultStm32ChipModel());
        stm32_->productId = {static_cast<std::uint8_t>(config_.stm32ProductId >> 8),
                             static_cast<std::uint8_t>(config_.stm32ProductId & 0xFF)};
        if (config_.bootloaderVersion) stm32_->version = *config_.bootloaderVersion;
        stm32_->readoutProtected = config_.stm32ReadoutProtected;
        stm32_->uniqueIdAddress = UniqueIdAddress(model ? model->part : "STM32F1");
        stm32_->uniqueId = config_.stm32UniqueId;
        if (config_.stm32FailWrite > 0)
            stm32_->FailStep(Stm32BootTarget::Step::Write, Stm32BootTarget::Fault::Nack, config_.stm32FailWrite);
        if (config_.stm32OldFirmware) stm32_->LoadOldFirmware();
        // Go leaves the bootloader for the firmware, once its ACK is out.
        stm32_->onGo = [this](std::uint64_t atUs) {
            clock_.ScheduleAt(atUs, [this] {
                if (mode_ == Mode::Bootloader) StartFirmware();
            });
        };
        std::snprintf(text, sizeof text, "Chip %s, product ID %03X, bootloader version %X.%X",
                      model ? model->part : "STM32", config_.stm32ProductId, stm32_->version >> 4,
                      stm32_->version & 0x0F);
    }
    identity = text;
    lcd_ = std::make_unique<LcdFirmwareTarget>(line_);
    lcd_->FillTestPattern();
    firmware_ = std::make_unique<BoardFirmware>(line_, *lcd_, identity);
    firmware_->periodUs = config_.periodUs;

    line_.SetPeer(this);
    line_.SetAdapter(config_.adapter);
    // The board's side of the cable is always connected; the host comes and
    // goes on the pty.
    host_.Open("board");
    ApplyLineSettings();
    StartFirmware();
}

SimBoard::~SimBoard() { line_.SetPeer(nullptr); }

bool SimBoard::IsBootloaderBaud(std::uint32_t baud) const {
    if (config_.chip == SimBoardConfig::Chip::Msp430) return baud == 9600 || baud == 19200;
    return baud == 57600 || baud == 115200;
}

void SimBoard::Event(const std::string& text) {
    if (onEvent) onEvent(text);
}

void SimBoard::HostLine(bool open, std::uint32_t baud, int stopBits) {
    const bool opened = open && !hostOpen_;
    const bool changed = open && (baud != hostBaud_ || stopBits != hostStopBits_);
    hostOpen_ = open;
    // The host's driver resets the adapter's chip as it opens the port.
    if (opened) line_.PurgeAdapter();
    if (baud != 0) {
        hostBaud_ = baud;
        hostStopBits_ = stopBits == 2 ? 2 : 1;
    }
    ApplyLineSettings();
    if (opened || changed) Decide();
}

void SimBoard::HostReopened() {
    if (hostOpen_) Decide();
}

void SimBoard::HostBytes(const std::uint8_t* bytes, std::size_t n) {
    if (!bytes || n == 0) return;
    lastHostByteUs_ = clock_.NowUs();
    if (clock_.NowUs() < holdUntilUs_ || !held_.empty()) {
        const bool first = held_.empty();
        held_.insert(held_.end(), bytes, bytes + n);
        if (first) clock_.ScheduleAt(holdUntilUs_, [this] { ReleaseHeld(); });
        return;
    }
    // The bytes leave the host's UART one after the other at the line's
    // rate; the line delivers each to the board when its stop bit is done.
    host_.Write(bytes, n);
}

std::vector<std::uint8_t> SimBoard::TakeForHost() {
    std::vector<std::uint8_t> out;
    std::uint8_t buffer[256];
    for (;;) {
        const long n = host_.Read(buffer, sizeof buffer);
        if (n <= 0) break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

std::optional<std::uint64_t> SimBoard::NextDueUs() const {
    auto next = clock_.NextDueUs();
    const auto arrival = line_.NextArrivalAtPortUs();
    if (arrival && (!next || *arrival < *next)) next = arrival;
    return next;
}

void SimBoard::ReleaseHeld() {
    if (clock_.NowUs() < holdUntilUs_) {  // the chip was reset again meanwhile
        clock_.ScheduleAt(holdUntilUs_, [this] { ReleaseHeld(); });
        return;
    }
    std::vector<std::uint8_t> bytes;
    bytes.swap(held_);
    if (!bytes.empty()) host_.Write(bytes.data(), bytes.size());
}

void SimBoard::Decide() {
    if (!hostOpen_) return;
    if (mode_ == Mode::Bootloader && msp430_ && msp430_->Running() && msp430_->UartBaud() == hostBaud_)
        return;
    if (IsBootloaderBaud(hostBaud_)) {
        // What the firmware sent before the host opened or flushed the line
        // and the pty has not passed on yet belongs before that moment: it
        // must not come after the host's first command.
        host_.Purge(false, true);
        EnterBootloader();
    } else {
        StartFirmware();
    }
}

void SimBoard::ApplyLineSettings() {
    LineSettings s;
    s.baud = hostBaud_ ? hostBaud_ : 9600;
    s.dataBits = 8;
    // A pty hides parity: the chip's bootloader talks 8E1, the firmware 8N1,
    // and the host is taken to use the same.
    s.parity = mode_ == Mode::Bootloader ? Parity::Even : Parity::None;
    s.stopBits = hostStopBits_;
    const LineSettings& now = line_.Settings();
    if (now.baud != s.baud || now.parity != s.parity || now.stopBits != s.stopBits ||
        now.dataBits != s.dataBits)
        host_.SetSettings(s);
}

void SimBoard::ChipPins(bool reset, bool bootPin) {
    if (stm32_) {
        // BOOT0 is latched as reset is released.
        host_.SetRts(bootPin == stm32_->boot0WhenRtsAsserted);
        host_.SetDtr(stm32_->resetWhenDtrAsserted);
        if (!reset) host_.SetDtr(!stm32_->resetWhenDtrAsserted);
        return;
    }
    const Msp430BslConfig& wiring = msp430_->Config();
    auto rst = [&](bool high) { host_.SetDtr(high == wiring.rstHighWhenDtrAsserted); };
    auto test = [&](bool high) { host_.SetRts(high == wiring.testHighWhenRtsAsserted); };
    // RST low with TEST low; for the loader TEST rises twice while RST is
    // low and stays high as RST rises; otherwise RST rises with TEST low.
    test(false);
    rst(false);
    if (bootPin) {
        test(true);
        test(false);
        test(true);
    }
    if (!reset) rst(true);
    if (bootPin) test(false);
}

void SimBoard::EnterBootloader() {
    firmware_->Stop();
    mode_ = Mode::Bootloader;
    ApplyLineSettings();
    ChipPins(false, true);
    line_.DiscardInFlightToPort();
    // The STM32 bootloader needs its start-up time before it listens.
    if (stm32_) holdUntilUs_ = clock_.NowUs() + Stm32BootTarget::kStartupUs;
    lastHostByteUs_ = clock_.NowUs();
    const std::uint64_t generation = ++pauseGeneration_;
    clock_.ScheduleAt(clock_.NowUs() + kResetPauseUs,
                      [this, generation] { CheckResetPause(generation); });
    Event("bootloader at " + std::to_string(hostBaud_) + " baud");
}

void SimBoard::CheckResetPause(std::uint64_t generation) {
    if (generation != pauseGeneration_ || mode_ != Mode::Bootloader) return;
    // A chip still working on a command (a long page-by-page erase) is not
    // idle: the pause counts from its answer, not from the host's last byte.
    std::uint64_t quietFrom = lastHostByteUs_;
    if (stm32_) {
        if (const auto answer = stm32_->NextEventUs()) quietFrom = std::max(quietFrom, *answer);
    }
    const std::uint64_t quietUntil = quietFrom + kResetPauseUs;
    if (clock_.NowUs() >= quietUntil) {
        StartFirmware();
        return;
    }
    clock_.ScheduleAt(quietUntil, [this, generation] { CheckResetPause(generation); });
}

void SimBoard::StartFirmware() {
    const bool fromLoader = mode_ == Mode::Bootloader;
    ++pauseGeneration_;
    mode_ = Mode::Firmware;
    ApplyLineSettings();
    ChipPins(false, false);
    // A reset stops whatever the board was still sending.
    line_.DiscardInFlightToPort();
    firmware_->Start(clock_.NowUs());
    Event(fromLoader ? "firmware (left the bootloader)" : "firmware");
}

void SimBoard::OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                       std::uint64_t arrivalUs) {
    if (mode_ == Mode::Firmware) {
        // A host whose terminal already runs at the MSP430 loader's settings
        // does not reopen the line before a run: its SYNC, which no terminal
        // sends, stands in for the entry pattern. The loader syncs again.
        if (msp430_ && IsBootloaderBaud(hostBaud_)) {
            for (std::size_t i = 0; i < n; ++i) {
                if (bytes[i] != Msp430BslTarget::kSync) continue;
                firmware_->OnBytes(bytes, i, arrivalUs);
                EnterBootloader();
                return;
            }
        }
        firmware_->OnBytes(bytes, n, arrivalUs);
    } else if (msp430_) {
        msp430_->OnBytes(line, bytes, n, arrivalUs);
    } else {
        stm32_->OnBytes(line, bytes, n, arrivalUs);
    }
}

void SimBoard::OnLines(SimLine& line, bool dtr, bool rts, std::uint64_t atUs) {
    if (msp430_) msp430_->OnLines(line, dtr, rts, atUs);
    if (stm32_) stm32_->OnLines(line, dtr, rts, atUs);
}

std::vector<std::uint8_t> SimBoard::Flash() const {
    if (stm32_) return stm32_->Flash();
    const auto& memory = msp430_->Memory();
    return std::vector<std::uint8_t>(memory.begin() + kMsp430FlashStart, memory.end());
}

std::uint32_t SimBoard::FlashBase() const {
    return stm32_ ? Stm32BootTarget::kFlashBase : kMsp430FlashStart;
}

bool SimBoard::WriteFlash(const std::string& path, bool srecords) const {
    const std::vector<std::uint8_t> flash = Flash();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    if (!srecords) {
        out.write(reinterpret_cast<const char*>(flash.data()),
                  static_cast<std::streamsize>(flash.size()));
        return static_cast<bool>(out.flush());
    }
    const bool wide = stm32_ != nullptr;
    const std::string name = "quennet-board";
    out << SRecordLine('0', 0, 2, reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    for (std::size_t at = 0; at < flash.size(); at += kSRecordData) {
        const std::size_t n = std::min(kSRecordData, flash.size() - at);
        const bool blank =
            std::all_of(flash.begin() + at, flash.begin() + at + n, [](std::uint8_t b) { return b == 0xFF; });
        if (blank) continue;
        out << SRecordLine(wide ? '3' : '1', FlashBase() + static_cast<std::uint32_t>(at),
                           wide ? 4 : 2, flash.data() + at, n);
    }
    out << SRecordLine(wide ? '7' : '9', 0, wide ? 4 : 2, nullptr, 0);
    return static_cast<bool>(out.flush());
}

}  // namespace quennet
