#pragma once
#include <cstdint>

namespace quennet {

// Pieces of the LCD capture's sentence protocol: NMEA 0183 framing ("$",
// comma-separated fields, "*", XOR checksum as two hex digits, CR LF).
// All of them work on NUL-terminated text and never read past its NUL.

// True when the line starts with "$", has a CR within the 99 characters after
// it, and the two characters before that CR give the XOR of everything between
// "$" and the last "*" before the CR (0xFF when there is no "*").
bool LcdSentenceValid(const char* line);

// Value of two characters read as upper-case hex: each digit shifts the value
// left by one digit; any other character (lower-case letters included) leaves
// the value as it is. A NUL ends the pair early: the missing digit counts as
// "0", so a lone "F" gives 0xF0.
int HexPairValue(const char* text);

// The same over all characters up to a CR or the end of the text, modulo 2^32.
std::uint32_t HexFieldValue(const char* text);

// Decimal value the usual way: blanks skipped, optional sign, digits up to
// the first other character; no digits give 0. Saturates at the limits of a
// signed 32-bit value instead of overflowing.
std::int32_t LcdDecimalValue(const char* text);

// Exact text equality; a null text equals nothing.
bool TextEquals(const char* a, const char* b);

// Field splitter over a text it may cut. Started with a text, it continues
// from the start of that text; called with nullptr, it continues where the
// last call stopped. Returns nullptr when the position is at the end of the
// text; otherwise the text from the position up to the first delimiter (or
// the end), with that delimiter overwritten by NUL and the position moved past
// it. Two delimiters in a row give an empty field, which counts as present.
class FieldSplitter {
public:
    char* NextField(char* text, const char* delimiters);

private:
    char* position_ = nullptr;
};

}  // namespace quennet
