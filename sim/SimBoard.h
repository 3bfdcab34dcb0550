#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BoardFirmware.h"
#include "LcdFirmwareTarget.h"
#include "Msp430BslTarget.h"
#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "VirtualClock.h"

namespace quennet {

struct SimBoardConfig {
    enum class Chip { Msp430, Stm32 };
    Chip chip = Chip::Stm32;
    std::uint16_t msp430DeviceId = 0xF149;
    std::uint16_t bslVersion = 0x0111;        // major in the high byte
    bool msp430OldFirmware = true;            // an old program in the flash at power-up
    // Picks the STM32's family model; an ID without a model gets the
    // default model (an F103 of high density) answering with that ID.
    std::uint16_t stm32ProductId = 0x0414;
    std::optional<std::uint8_t> bootloaderVersion;  // the model's unless set
    bool stm32ReadoutProtected = false;
    // The STM32's unique device ID, lowest address first.
    std::array<std::uint8_t, 12> stm32UniqueId{0x33, 0x00, 0x4C, 0x00, 0x0E, 0x51, 0x34, 0x33,
                                               0x35, 0x36, 0x31, 0x30};
    // The n-th block write (1-based) is refused with NACK; 0 never.
    int stm32FailWrite = 0;
    bool stm32OldFirmware = true;             // an old program in the flash at power-up
    std::uint64_t periodUs = 10000000;        // firmware's status line; 0: none
    // The USB adapter between the board and the host. A pty cannot carry
    // the low-latency request, so an FTDI adapter keeps its 16 ms there.
    SimLine::Adapter adapter = SimLine::Adapter::None;
};

// A whole simulated board behind a host that cannot drive DTR or RTS (a
// pseudo-terminal): the application firmware, the LCD, and an MSP430 or
// STM32 whose bootloader the host reaches by reopening the line at the
// bootloader's baud rate.
//
// Everything runs on the given virtual clock; whoever drives the board
// (quennet-board in real time, a test in virtual time) advances the clock
// and reports what the host did:
//
// - HostLine: every turn, whether the host has the line open and the line
//   settings it set (a pty shows baud rate and stop bits; its parity and
//   data bits always read 8N1, so the board assumes the frame of the mode).
// - HostReopened: the host opened the line or dropped its own output (each
//   open does; a flush of what it has received is no reopen).
// - HostBytes: bytes the host wrote; they reach the chip or firmware at the
//   pace of the wire.
// - TakeForHost: the bytes that have fully arrived at the host by now.
//
// The rule: whenever the host opens or flushes the line or changes its
// settings, the board decides. At a bootloader baud rate it resets the chip
// into its bootloader (as the DTR/RTS pattern would) and holds the host's
// bytes until the bootloader listens, as if the host had opened the line
// after the entry; at any other rate it runs the firmware, restarting it
// (greeting) as a board does when the port opens. In the bootloader,
// kResetPauseUs without a byte from the host resets the chip back into its
// firmware. A host that follows an MSP430 loader to the rate that the
// loader's change baud rate command set is no new entry: the loader goes on.
// An MSP430 SYNC (0x80) reaching the firmware while the host runs
// at a loader rate enters the loader too, for a host that does not reopen
// because its terminal already has the loader's settings.
class SimBoard : public SimPeer {
public:
    enum class Mode { Firmware, Bootloader };
    static constexpr std::uint64_t kResetPauseUs = 1000000;

    SimBoard(VirtualClock& clock, SimBoardConfig config);
    ~SimBoard() override;
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    // --- the host's side -----------------------------------------------------
    void HostLine(bool open, std::uint32_t baud, int stopBits);
    void HostReopened();
    void HostBytes(const std::uint8_t* bytes, std::size_t n);
    std::vector<std::uint8_t> TakeForHost();
    // The next instant at which something happens (a byte arriving at the
    // host, a model acting, a decision), or nothing.
    std::optional<std::uint64_t> NextDueUs() const;

    // --- the board -----------------------------------------------------------
    Mode mode() const { return mode_; }
    bool IsBootloaderBaud(std::uint32_t baud) const;
    const SimBoardConfig& Config() const { return config_; }
    BoardFirmware& Firmware() { return *firmware_; }
    LcdFirmwareTarget& Lcd() { return *lcd_; }
    Msp430BslTarget* Msp430() { return msp430_.get(); }
    Stm32BootTarget* Stm32() { return stm32_.get(); }
    // Mode changes, as short lines for a console.
    std::function<void(const std::string&)> onEvent;

    // The chip's flash from its first address, and that address.
    std::vector<std::uint8_t> Flash() const;
    std::uint32_t FlashBase() const;
    // Writes the flash as a binary image or as S-records (only the bytes
    // that are not blank). False when the file cannot be written.
    bool WriteFlash(const std::string& path, bool srecords) const;

    // SimPeer: the line hands bytes to whoever runs.
    void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                 std::uint64_t arrivalUs) override;
    void OnLines(SimLine& line, bool dtr, bool rts, std::uint64_t atUs) override;

private:
    void ReleaseHeld();
    void Decide();
    void EnterBootloader();
    void StartFirmware();
    void CheckResetPause(std::uint64_t generation);
    void ApplyLineSettings();
    void Event(const std::string& text);
    // Drives the chip's reset and boot pins through the modelled wiring.
    void ChipPins(bool reset, bool bootPin);

    VirtualClock& clock_;
    SimBoardConfig config_;
    SimLine line_;
    SimSerialDevice host_;
    std::unique_ptr<Msp430BslTarget> msp430_;
    std::unique_ptr<Stm32BootTarget> stm32_;
    std::unique_ptr<LcdFirmwareTarget> lcd_;
    std::unique_ptr<BoardFirmware> firmware_;

    Mode mode_ = Mode::Firmware;
    bool hostOpen_ = false;
    std::uint32_t hostBaud_ = 0;
    int hostStopBits_ = 1;
    std::uint64_t holdUntilUs_ = 0;
    std::vector<std::uint8_t> held_;
    std::uint64_t pauseGeneration_ = 0;
    std::uint64_t lastHostByteUs_ = 0;
};

}  // namespace quennet
