#pragma once
#include <cstdint>
#include <string>

namespace quennet {

// Reads the baud-rate chooser's text the way both the terminal and the flash
// loader do: blanks skipped, an optional sign, then decimal digits up to the
// first other character ("9600 baud" is 9600). No digits give 0. A negative
// number or one beyond 32 bits also gives 0, which no device accepts, rather
// than a wrapped rate that some device might.
std::uint32_t ParseBaudText(const std::string& text);

}  // namespace quennet
