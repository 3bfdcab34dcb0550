#pragma once
// The STM32 parts the STM32-ANY targets know: the product ID that GET ID
// returns, the line's name as ST's boot-mode note gives it, and the flash:
// its size, its pages or sectors, how its bootloader wants writes aligned,
// and how long erasing takes. The program's own STM32 targets (STM32-57600
// and STM32-115200) do not use this table.
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
    // Where the part keeps its flash size in KiB, 16 bits little-endian:
    // the "flash size data register" of the family's reference manual.
    std::uint32_t flashSizeRegister;
};

// The largest flash in the table: what any STM32 run may be given.
inline constexpr std::uint32_t kStm32MaxFlashBytes = 0x200000;

std::span<const Stm32Part> Stm32Parts();
// The part with that product ID, or nullptr.
const Stm32Part* FindStm32Part(int productId);

// A smaller member of the family: its flash of `bytes` (at most the
// family's) takes the first pages or sectors of each bank's layout. A
// dual-bank part is taken as two equal halves (as one bank when a half
// would not hold a whole first sector); where the real split is
// otherwise, a page counted in bank 2 is only ever erased globally.
Stm32Part Stm32PartOfSize(const Stm32Part& family, std::uint32_t bytes);

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

// What to erase before writing the image: the pages or sectors that the
// file covers (with data or with 0xFF), or everything when a global erase
// is quicker, when the file covers nothing (the run then erases the part,
// as the program's own STM32 targets do), or when a page number does not
// fit the one-byte numbers of the Erase command.
struct Stm32ErasePlan {
    bool global = true;
    std::vector<std::uint16_t> pages;
};
Stm32ErasePlan PlanStm32Erase(const Stm32Part& part, const FirmwareImage& image, bool oneBytePageNumbers);

// One Write Memory or Read Memory of a pass: count bytes from image offset
// `offset`, sent once the pass reaches image offset `trigger` (the block's
// first byte that asks for it).
struct Stm32Block {
    std::uint32_t trigger;
    std::uint32_t offset;
    std::uint32_t count;
};
// The blocks of the program's own STM32 targets: each starts at a byte
// that is not 0xFF, moved back to a word, and spans 256 bytes or up to the
// image's end.
std::vector<Stm32Block> Stm32ValueBlocks(const FirmwareImage& image);
// The blocks of an STM32-ANY run, by coverage: a write block starts at a
// covered byte that is not 0xFF (erased flash already holds the others),
// a read-back block at any covered byte; a write block starts on the
// part's write unit and spans whole units. A block ends at its last byte
// that needs it, after at most 256 bytes, and never runs past the pages
// the plan erases: flash beyond them holds what it held, which a write
// must not touch.
std::vector<Stm32Block> Stm32CoverageBlocks(const Stm32Part& part, const Stm32ErasePlan& plan,
                                            const FirmwareImage& image, bool readBack);

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
