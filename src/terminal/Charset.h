#pragma once
#include <cstdint>

namespace quennet {

// How the terminal draws a received byte and which byte a typed character
// sends. Printable ASCII and Latin-1 stand for themselves, 0x80-0x9F use the
// Windows-1252 glyphs that targets commonly mean, and control codes show as
// the Unicode control pictures so that every byte is one visible character.
char32_t ByteToDisplayChar(std::uint8_t byte);

// The byte a typed character sends, or -1 when it is outside the 8-bit set.
int TypedCharToByte(char32_t ch);

}  // namespace quennet
