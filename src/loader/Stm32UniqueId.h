#pragma once
// The 96-bit unique device ID that every STM32 keeps in its system memory,
// read through the bootloader for the production report.
#include <cstdint>
#include <optional>
#include <string>

#include "serial/ComPort.h"

namespace quennet {

// Where the part with that product ID keeps its unique ID, as the family's
// reference manual gives it; nothing for families whose ID is not twelve
// bytes in a row (L0, L1) or that the table does not know.
std::optional<std::uint32_t> Stm32UniqueIdAddress(int productId);

// Enters the bootloader on a port already open at its rate in E-8-1, asks
// GET ID, reads the twelve bytes with Read Memory, and restarts the target
// with the reset line. The ID as 24 hex digits, lowest address first, or
// empty when any step failed or the part is not in the table.
std::string ReadStm32UniqueId(ComPort& port);

}  // namespace quennet
