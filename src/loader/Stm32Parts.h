#pragma once
// The STM32 parts the STM32-ANY targets know: the product ID that GET ID
// returns, the line's name as ST's boot-mode note gives it, and the flash:
// its size, its pages or sectors, how its bootloader wants writes aligned,
// and how long erasing takes. The runs of the seed's STM32 targets do not
// use this table.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.h"

namespace quennet {

// Consecutive pages (or sectors) of one size.
struct Stm32PageRun {
    std::uint16_t count = 0;
    std::uint32_t bytes = 0;
    std::uint32_t eraseMs = 0;     // typical erase time of one
    std::uint32_t eraseMaxMs = 0;  // the data sheet's maximum
};

struct Stm32Part {
    std::uint16_t productId;
    const char* name;
    std::uint32_t flashBytes;
    // F2, F4, F7 and H7 erase in sectors of mixed sizes; the others in pages.
    bool sectors;
    // A dual-bank part's bank 2 repeats bank 1's layout and its numbers
    // follow on from bank 1's.
    std::uint8_t banks;
    // Writes start on this boundary and fill whole units: a word on the
    // F0..F7, a double word with ECC on the G0, G4 and L4, a 256-bit flash
    // word on the H7.
    std::uint32_t writeUnit;
    std::uint32_t massEraseMs;
    std::uint32_t massEraseMaxMs;
    std::array<Stm32PageRun, 3> layout;  // of one bank
};

// The largest flash in the table: what any STM32 run may be given.
inline constexpr std::uint32_t kStm32MaxFlashBytes = 0x200000;

std::span<const Stm32Part> Stm32Parts();
// The part with that product ID, or nullptr.
const Stm32Part* FindStm32Part(int productId);

// One page or sector, with its erase number and place in the flash.
struct Stm32Page {
    std::uint16_t number;
    std::uint32_t offset;
    std::uint32_t bytes;
    std::uint32_t eraseMs;
    std::uint32_t eraseMaxMs;
};
std::vector<Stm32Page> Stm32PageList(const Stm32Part& part);

// "page" or "sector", "pages" or "sectors".
const char* Stm32PageWord(const Stm32Part& part, bool plural);

// What to erase before writing the image: the pages or sectors that hold
// data, or everything when a global erase is quicker, when nothing holds
// data (the run then erases the part, as the seed's runs do), or when a
// page number does not fit the one-byte numbers of the Erase command.
struct Stm32ErasePlan {
    bool global = true;
    std::vector<std::uint16_t> pages;
};
Stm32ErasePlan PlanStm32Erase(const Stm32Part& part, const FirmwareImage& image, bool oneBytePageNumbers);

// How long to wait for the ACK of an erase: twice the data sheet's longest
// time for what is erased, and a second more for the line.
int Stm32EraseWaitMs(const Stm32Part& part, const std::vector<std::uint16_t>& pages);
int Stm32MassEraseWaitMs(const Stm32Part& part);

// The page map has one column per 64th of the flash: 8 KiB on 512 KiB.
inline constexpr std::size_t kStm32MapColumns = 64;
std::size_t Stm32MapColumnBytes(std::size_t flashBytes);
// The lines above the map: read top to bottom, every fourth column spells
// the offset where it starts, the last column the flash's last offset; as
// many lines as that offset has hex digits.
std::vector<std::string> Stm32RulerLines(std::size_t flashBytes);

}  // namespace quennet
