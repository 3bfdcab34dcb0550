#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace quennet {

// What the simulated STM32 bootloader needs to know about its chip, per
// family: what GET and GET ID answer, the flash's organisation and timing
// from the family's reference manual and data sheet, and the RAM the
// bootloader keeps for itself (from ST's note on the system memory boot
// mode). The models are written from those documents, apart from the
// host's own table of parts, so that a test fails when either is wrong.
struct Stm32ChipModel {
    struct Pages {
        std::uint16_t count;
        std::uint32_t bytes;
        std::uint64_t eraseUs;  // typical erase time of one
    };

    std::uint16_t productId;
    const char* part;         // a member of the line, for the board's banner
    std::uint8_t version;     // GET's protocol version: 0x22, or 0x31 with Extended Erase
    bool extendedErase;       // lists 0x44 instead of 0x43
    std::vector<Pages> bank;  // one bank's pages or sectors, in address order
    int banks;                // 2: bank 2 follows bank 1 with the same layout
    std::uint64_t massEraseUs;
    // Flash is programmed in units of this many bytes (a word, a double word
    // with ECC, a 256-bit flash word); a write starts on a unit boundary
    // and a short tail is padded with 0xFF to the unit.
    std::uint32_t programUnit;
    std::uint64_t programUnitNs;
    // What programming does to flash that is not erased, as the reference
    // manuals say; the bootloader NACKs a write that the flash refuses.
    enum class Overwrite {
        ClearsBits,  // F2, F4, F7: bits only go from 1 to 0
        // F0, F1, F3: a half-word that is not 0xFFFF takes only 0x0000;
        // anything else sets PGERR and leaves it.
        HalfWordError,
        // G0, G4, L4 (ECC on each double word): a unit that is not erased
        // takes only zeros; anything else sets PROGERR.
        UnitError,
        // H7 (ECC on each 256-bit flash word): a flash word is programmed
        // once after its erase.
        UnitOnce,
    };
    Overwrite overwrite;
    std::uint32_t ramSize;      // at 0x20000000
    std::uint32_t ramReserved;  // from its start, the bootloader's own
    // The flash size data register: the flash in KiB, 16 bits little-endian.
    std::uint32_t flashSizeRegister;

    std::uint32_t FlashSize() const;
    std::size_t PageCount() const;
};

// The modelled families, the first being the default (an STM32F103 of
// high density, product ID 0x414).
std::span<const Stm32ChipModel> Stm32ChipModels();
const Stm32ChipModel& DefaultStm32ChipModel();
// The model of that product ID, or nullptr.
const Stm32ChipModel* FindStm32ChipModel(std::uint16_t productId);

}  // namespace quennet
