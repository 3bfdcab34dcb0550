#pragma once
#include <cstdint>
#include <string>

#include "loader/Loader.h"
#include "loader/Stm32Boot.h"

namespace quennet {

// The STM32 programming run inside the loader's run frame: reads the
// firmware file, reopens the port at the target's rate in E-8-1, enters the
// bootloader, reports its version and the product ID, erases the flash,
// writes every used block, optionally reads them back, and gives the port
// back to the terminal. Returns 0 after a good run, 1 after any failure;
// every failure adds its own line to the status log.
int ProgramStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// Writes (or reads back and compares) every used block of the image:
// blocks of up to 256 bytes that start at the first non-blank byte, moved
// back to a word boundary, and never overlap. Adds one "^" per 8 KiB page
// passed, 64 in a whole pass.
int Stm32ProgramPass(Loader& loader, Stm32Link& link);
int Stm32VerifyPass(Loader& loader, Stm32Link& link);

// The log text for a product ID; `known` tells whether the ID is one the
// loader accepts.
std::string Stm32IdText(int productId, bool& known);

// The five lines of page addresses shown above the page map.
extern const char* const kStm32Ruler[5];

inline constexpr std::size_t kStm32PageBytes = 0x2000;  // one map column

}  // namespace quennet
