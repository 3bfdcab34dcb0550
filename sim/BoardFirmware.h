#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "LcdFirmwareTarget.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"

namespace quennet {

// The application firmware of the simulated board: what a user sees on the
// terminal while the chip is not in its bootloader.
//
// - At start it prints a greeting (after a short boot time).
// - It echoes every byte; CR or LF comes back as CR LF, backspace as
//   backspace, so that a terminal without local echo shows what was typed.
// - Each line (ended by CR or LF) is a command: HELP, VER, PING, STATUS,
//   LED ON, LED OFF. An NMEA sentence ($...*hh) is answered with
//   $QNACK,<body>*hh when its checksum holds and $QNERR,CHECKSUM*hh when
//   not; the display capture command ($..COM,SCR*hh) goes to the LCD model,
//   which answers with its picture.
// - Now and then (every periodUs) it prints a status line.
class BoardFirmware : public TimeListener {
public:
    BoardFirmware(SimLine& line, LcdFirmwareTarget& lcd, std::string identity);
    ~BoardFirmware() override;
    BoardFirmware(const BoardFirmware&) = delete;
    BoardFirmware& operator=(const BoardFirmware&) = delete;

    static constexpr std::uint64_t kBootUs = 50000;
    static constexpr const char* kGreeting = "Quennet simulated board ready.";

    std::uint64_t periodUs = 10000000;  // 0: no periodic line

    // Starts (or restarts) the firmware at atUs: greeting, then its rhythm.
    void Start(std::uint64_t atUs);
    // The chip left the firmware (bootloader, reset): it says nothing more.
    void Stop();
    bool Running() const { return running_; }
    bool LedOn() const { return led_; }

    // Bytes from the host, at the instant they arrived.
    void OnBytes(const std::uint8_t* bytes, std::size_t n, std::uint64_t arrivalUs);

    // TimeListener: greeting and periodic line.
    std::optional<std::uint64_t> NextEventUs() const override;
    void OnTime(std::uint64_t nowUs) override;

private:
    void OnLine(const std::string& line, std::uint64_t atUs);
    void Say(const std::string& text, std::uint64_t atUs);

    SimLine& line_;
    LcdFirmwareTarget& lcd_;
    std::string identity_;
    bool running_ = false;
    bool led_ = false;
    bool lastWasCr_ = false;
    std::string pending_;
    std::uint64_t startUs_ = 0;
    std::optional<std::uint64_t> greetUs_;
    std::optional<std::uint64_t> nextPeriodicUs_;
    unsigned linesAnswered_ = 0;
};

}  // namespace quennet
