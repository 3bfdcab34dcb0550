#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "loader/Loader.h"
#include "loader/Stm32Boot.h"
#include "loader/Stm32Parts.h"

namespace quennet {

// The STM32 programming run inside the loader's run frame: reads the
// firmware file, reopens the port at the target's rate in E-8-1, enters the
// bootloader, reports its version and the product ID, erases the flash,
// writes every used block, optionally reads them back, and gives the port
// back to the terminal. Returns 0 after a good run, 1 after any failure;
// every failure adds its own line to the status log.
int ProgramStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// The run of the STM32-ANY targets: the same steps for any part in the
// table of STM32 parts. The part's flash size is read from the part (the
// family's largest stands where it cannot be), and the file is placed into
// that flash: data beyond it stop the run before any erase. The command
// list of GET decides between Erase and Extended Erase; the pages or
// sectors that the file covers (0xFF bytes included) are erased where that
// is quicker than a global erase; blocks follow the part's write unit and
// stay inside what was erased, and the read-back compares every byte the
// file covers. The page map spans the part's flash.
// A part with read-out protection stops the run (Loader::ReadoutProtected)
// unless the inputs ask for the unprotect; with `go` the bootloader starts
// the new firmware instead of the reset line.
int ProgramStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// Reads the range of the inputs (the part's whole flash when none is
// given, its size as the part reads it) with Read Memory, 256 bytes a
// command, into the inputs' readPath in the format its name asks for.
int ReadStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// Erases the part's whole flash (global erase), or the pages or sectors
// that make up the inputs' range exactly; a range that ends inside a unit
// is refused before anything is erased.
int EraseStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// Starts the firmware at the inputs' Go address (the flash's first byte
// when none is given) with the bootloader's Go command.
int GoStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// The option-byte commands: Write Unprotect (0x73), Write Protect (0x63,
// the inputs' sector codes), Readout Protect (0x82) and Readout Unprotect
// (0x92, which mass-erases the flash). Each is acknowledged twice, the
// second time once the option bytes are written; the chip then resets to
// take them on, and the run enters its bootloader again (reset pattern,
// sync, GET) before it ends.
int WriteUnprotectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);
int WriteProtectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);
int ReadoutProtectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);
int ReadoutUnprotectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// Writes (or reads back and compares) the blocks in order, adding one "^"
// per page map column passed, 64 in a whole pass. 1 when a block fails,
// kPassStopped when a stop request ended the pass between blocks.
int Stm32ProgramPass(Loader& loader, Stm32Link& link, const std::vector<Stm32Block>& blocks);
int Stm32VerifyPass(Loader& loader, Stm32Link& link, const std::vector<Stm32Block>& blocks);

// The log text for a product ID; `known` tells whether the ID is one the
// loader accepts.
std::string Stm32IdText(int productId, bool& known);

// The line that follows "Failed to Sync" and says what most likely went
// wrong, judged by what came back during the attempts.
std::string Stm32ExplainNoSync(const std::vector<Stm32Link::ConnectAttempt>& attempts);

// The five lines of page addresses shown above the page map.
extern const char* const kStm32Ruler[5];

inline constexpr std::size_t kStm32PageBytes = 0x2000;  // one map column

inline constexpr const char* kLineStm32NoSync = "ERROR: Failed to Sync with Target, verify Power and Connection.";
inline constexpr const char* kLineReadoutProtected =
    "ERROR: Read-out protection is on: the part refuses to read or write its flash. "
    "Removing it erases the whole flash.";

}  // namespace quennet
