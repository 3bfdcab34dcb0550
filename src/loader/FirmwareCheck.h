#pragma once
// Whether a firmware file can go to a target: the one decision that the
// window's runs and quennet-flash share.
#include <cstdint>
#include <optional>
#include <string>

#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareImage.h"
#include "loader/Stm32Parts.h"

namespace quennet {

struct LoaderTarget;

// Where a target family's runs write. An MSP430 run writes its whole 64 KiB
// address space; an STM32 run the flash from 0x08000000, 512 KiB unless a
// run learns another size (the STM32-ANY targets).
inline constexpr FlashWindow kMsp430FlashWindow{0x0000, 0x10000};
inline constexpr FlashWindow kStm32FlashWindow{kStm32FlashBase, FirmwareImage::kDefaultSize};
// The STM32-ANY targets take what the largest STM32 flash could; the run
// checks the file again once it knows the part.
inline constexpr FlashWindow kStm32AnyFlashWindow{kStm32FlashBase, kStm32MaxFlashBytes};

// The window of a programmable target (a placeholder has none: size 0).
FlashWindow TargetFlashWindow(const LoaderTarget& target);

// Reads the file and places it into the image for the window. Returns
// empty when the file can go to the target, else the reason: what is wrong
// and where (a line, an offset, or the addresses of data that do not fit).
// The file as read is left in `file`, so that it can be placed again.
std::string LoadFirmwareFor(const std::string& path, std::optional<std::uint32_t> binaryAddress,
                            const FlashWindow& window, FirmwareFile& file, FirmwareImage& image);

// The line that names the file and gives the reason:
// "firmware file PATH: REASON", or "no firmware file given" for an empty name.
std::string FirmwareRefusal(const std::string& path, const std::string& reason);

// True for a name that ends in ".bin" (any letter case): a raw binary,
// whose load address the user is asked for.
bool NamesRawBinary(const std::string& path);

// The load address proposed for a raw binary of fileSize bytes: the
// STM32's flash start; for an MSP430, where the binary ends at 0xFFFF with
// the reset vector (its flash start varies from part to part).
std::uint32_t ProposedBinaryAddress(const LoaderTarget& target, std::uint64_t fileSize);

}  // namespace quennet
