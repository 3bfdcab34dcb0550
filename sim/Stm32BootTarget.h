#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "SimSerialDevice.h"
#include "Stm32ChipModels.h"
#include "VirtualClock.h"

namespace quennet {

// The STM32 system-memory bootloader on its USART, as ST's application note
// on the USART bootloader protocol describes it, on the chip of a family
// model (Stm32ChipModels.h); by default a high-density STM32F103 (512 KiB
// of flash at 0x08000000, 64 KiB of RAM at 0x20000000).
//
// The board wiring it models: DTR drives the reset pin and RTS the BOOT0 pin
// through level shifters whose polarity differs from board to board. The
// chip latches BOOT0 when reset is released; with BOOT0 high it starts the
// bootloader, which waits for 0x7F (from which it measures the baud rate)
// and answers with ACK. Frames are 8 data bits with even parity.
//
// Timing comes from the model: page, sector and mass erase times and the
// programming time of a unit, after which the ACK leaves (a 256-byte write
// on the F103 keeps it busy for 6.72 ms). The bootloader's own start-up
// after reset is taken as 2 ms (an assumption well inside the 100 ms that
// hosts wait after the reset pulse). Received bytes reach the model at the
// wire rate of the line (SimLine), and replies leave through the line's
// transmitter at the same rate.
//
// Programming flash that is not erased follows the model's family: bits
// cleared, or the write refused with NACK (PGERR on F0/F1/F3, PROGERR or
// ECC on G0/G4/L4/H7). The flash size data register reads through Read
// Memory at the family's address.
//
// Read-out protection (readoutProtected) makes Read, Write, Erase and Go
// answer NACK; Readout Unprotect (0x92) mass-erases the flash, lifts it and
// resets the chip, and Readout Protect (0x82) sets it and resets the chip;
// after either reset the bootloader waits for a new sync byte. Write
// Protect (0x63, N and N + 1 sector codes with their XOR) and Write
// Unprotect (0x73) set and clear the write-protected sectors the same way:
// ACK, the option bytes written (kOptionWriteUs), a second ACK and a reset.
// Readout Protect and both write-protection commands are refused with NACK
// while read-out protection is on. A write-protected sector refuses Write
// Memory and page erases with NACK (the flash sets its write-protection
// error); a sector is 4 KiB on the parts with pages of up to 2 KiB, else
// one flash sector.
class Stm32BootTarget : public SimPeer, public TimeListener {
public:
    static constexpr std::uint32_t kFlashBase = 0x08000000;
    // The default model's flash.
    static constexpr std::uint32_t kFlashSize = 0x80000;
    static constexpr std::uint32_t kRamBase = 0x20000000;

    static constexpr std::uint8_t kAck = 0x79;
    static constexpr std::uint8_t kNack = 0x1F;

    static constexpr std::uint64_t kStartupUs = 2000;
    // Erasing and programming the option bytes.
    static constexpr std::uint64_t kOptionWriteUs = 30000;

    // Steps that can be told to fail, and how.
    enum class Step { Sync, Get, GetId, Erase, Write, Read };
    enum class Fault {
        None,
        Silence,      // no answer, and deaf until the next reset
        Nack,         // NACK instead of ACK; the step is not carried out
        NackThenAck,  // a stray NACK, then the ACK; the step is carried out
        SlowReply,    // reply bytes (or the ACK) delayed by replyGapUs each
        WrongByte,    // Read: one data byte altered; other steps: 0x00 for ACK
    };
    // Where a fault strikes: Sync at its ACK; Get, GetId and Read at the
    // command's ACK (SlowReply and WrongByte at the reply or data bytes);
    // Erase and Write at the final ACK that reports the work.

    enum class Mode { Running, InReset, Starting, WaitSync, Bootloader, Deaf };

    // flashBytes: a smaller member of the model's family, whose banks hold
    // the first pages of the model's; 0 for the model's own flash. The
    // flash starts erased.
    explicit Stm32BootTarget(SimLine& line, const Stm32ChipModel& model = DefaultStm32ChipModel(),
                             std::uint32_t flashBytes = 0);
    ~Stm32BootTarget() override;
    Stm32BootTarget(const Stm32BootTarget&) = delete;
    Stm32BootTarget& operator=(const Stm32BootTarget&) = delete;

    // --- configuration ---------------------------------------------------------
    // The reset pin is held while DTR is asserted (true) or released (false,
    // which is what ComResetTarget pulses with DtrInverted clear).
    bool resetWhenDtrAsserted = false;
    // BOOT0 is high while RTS is asserted (true) or released (false). A host
    // that starts with RtsPolarity set drives RTS released on its first
    // entry attempt, so false enters there and true on the second attempt.
    bool boot0WhenRtsAsserted = false;
    // What GET and GET ID answer; the model's unless changed.
    std::uint8_t version;
    std::vector<std::uint8_t> commands;
    std::vector<std::uint8_t> productId;
    bool readoutProtected = false;
    // The sector codes the last Write Protect named; Write Unprotect
    // empties it.
    std::vector<std::uint8_t> writeProtectedSectors;
    // Called when Go has started the firmware, with the instant its ACK has
    // left the chip.
    std::function<void(std::uint64_t atUs)> onGo;
    std::uint64_t replyGapUs = 15000;
    // The 96-bit unique device ID in system memory, read-only; at address
    // 0 the chip has none that Read Memory reaches.
    std::uint32_t uniqueIdAddress = 0;
    std::array<std::uint8_t, 12> uniqueId{};
    std::size_t wrongByteIndex = 0;

    // A part taken from a board: some old program fills its flash (bytes
    // neither 0x00 nor 0xFF), which survives until a command erases it.
    void LoadOldFirmware();

    // Makes the n-th time (1-based) that a step is served fail; 0 means
    // every time. A later rule for the same step and occurrence wins.
    void FailStep(Step step, Fault fault, int occurrence = 0);
    void ClearFaults() { rules_.clear(); }

    // --- state -----------------------------------------------------------------
    Mode mode() const {
        return mode_ == Mode::Starting && line_.NowUs() >= readyUs_ ? Mode::WaitSync : mode_;
    }
    const Stm32ChipModel& Model() const { return model_; }
    const std::vector<std::uint8_t>& Flash() const { return flash_; }
    std::vector<std::uint8_t>& Flash() { return flash_; }
    const std::vector<std::uint8_t>& Ram() const { return ram_; }
    // How often each step was served (counted when its command was accepted).
    std::size_t Served(Step step) const { return served_[static_cast<int>(step)]; }
    // Times the bootloader was started by a reset with BOOT0 high.
    std::size_t BootloaderStarts() const { return bootloaderStarts_; }
    // Bytes this target has sent, and the modelled erase and programming time.
    std::size_t BytesSent() const { return bytesSent_; }
    std::uint64_t BusyUs() const { return busyNs_ / 1000; }
    // Pages (or sectors) erased one by one, in the order of the commands,
    // and the special erases done (0xFFFF global, 0xFFFE and 0xFFFD banks;
    // 0xFF for the global erase of the Erase command).
    const std::vector<std::uint16_t>& ErasedPages() const { return erasedPages_; }
    const std::vector<std::uint16_t>& SpecialErases() const { return specialErases_; }
    // Block writes and reads carried out, with their addresses.
    const std::vector<std::uint32_t>& WriteAddresses() const { return writeAddresses_; }
    const std::vector<std::uint32_t>& ReadAddresses() const { return readAddresses_; }

    // SimPeer
    void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                 std::uint64_t arrivalUs) override;
    void OnLines(SimLine& line, bool dtr, bool rts, std::uint64_t atUs) override;

    // TimeListener: delayed replies (after erase or programming time).
    std::optional<std::uint64_t> NextEventUs() const override;
    void OnTime(std::uint64_t nowUs) override;

private:
    enum class Rx {
        Command, Complement, ReadAddress, ReadCount, WriteAddress, WriteData,
        EraseCount, ErasePages, ExtendedCount, ExtendedPages, GoAddress, ProtectCodes,
    };
    struct Page {
        std::uint32_t offset;
        std::uint32_t bytes;
        std::uint64_t eraseUs;
    };
    struct Rule {
        Step step;
        Fault fault;
        int occurrence;
    };
    struct Pending {
        std::uint64_t atUs;
        std::vector<std::uint8_t> bytes;
        bool restartAfter = false;  // a system reset once the bytes have left
    };

    void Receive(std::uint8_t byte, std::uint64_t atUs);
    void OnCommand(std::uint8_t command, std::uint64_t atUs);
    void OnReadAddress(std::uint64_t atUs);
    void OnReadCount(std::uint64_t atUs);
    void OnWriteAddress(std::uint64_t atUs);
    void OnWriteData(std::uint64_t atUs);
    void OnEraseAll(std::uint64_t atUs);
    void OnErasePages(std::uint64_t atUs);
    void OnExtendedSpecial(std::uint64_t atUs);
    void OnExtendedPages(std::uint64_t atUs);
    void OnGoAddress(std::uint64_t atUs);
    void OnProtectCodes(std::uint64_t atUs);
    // Erases the listed pages (after the checks): the final ACK follows the
    // erase time of them all.
    void ErasePages(const std::vector<std::uint16_t>& pages, std::uint64_t atUs);
    // Whether any byte of flash [offset, offset + bytes) is write-protected.
    bool WriteProtected(std::uint32_t offset, std::size_t bytes) const;
    void EraseRange(std::uint32_t offset, std::uint32_t bytes);
    // ACK now; the work takes workUs; a second ACK, then a system reset.
    void OptionChange(std::uint64_t workUs, std::uint64_t atUs);
    // The second ACK after workUs, then the reset.
    void OptionWritten(std::uint64_t workUs, std::uint64_t atUs);
    void Restart(std::uint64_t atUs);

    Fault Serve(Step step);
    // Sends an ACK at atUs, shaped by the fault; false when the step must
    // not be carried out (Silence, Nack).
    bool Acknowledge(Fault fault, std::uint64_t atUs);
    void Send(std::uint64_t atUs, std::vector<std::uint8_t> bytes);
    void SendSpaced(std::uint64_t atUs, const std::vector<std::uint8_t>& bytes, std::uint64_t gapUs);
    void Reset();
    bool FrameUsable() const;
    // The memory behind [address, address + length), or nothing.
    std::uint8_t* Memory(std::uint32_t address, std::size_t length, bool forWrite);

    SimLine& line_;
    const Stm32ChipModel model_;
    std::vector<Page> pages_;
    Mode mode_ = Mode::Running;
    bool inReset_ = false;
    std::uint64_t readyUs_ = 0;
    std::uint32_t lockedBaud_ = 0;
    Rx rx_ = Rx::Command;
    std::uint8_t command_ = 0;
    std::vector<std::uint8_t> args_;
    std::size_t need_ = 0;
    std::uint32_t address_ = 0;
    Fault readFault_ = Fault::None;
    Fault writeFault_ = Fault::None;
    Fault eraseFault_ = Fault::None;

    std::vector<std::uint8_t> flash_;
    std::vector<std::uint8_t> ram_;
    std::array<std::uint8_t, 2> flashSizeKib_{};  // the flash size data register
    std::vector<Rule> rules_;
    std::array<std::size_t, 6> served_{};
    std::vector<Pending> pending_;
    std::size_t bootloaderStarts_ = 0;
    std::size_t bytesSent_ = 0;
    std::uint64_t busyNs_ = 0;
    std::vector<std::uint32_t> writeAddresses_;
    std::vector<std::uint32_t> readAddresses_;
    std::vector<std::uint16_t> erasedPages_;
    std::vector<std::uint16_t> specialErases_;
};

}  // namespace quennet
