#pragma once
#include <string>
#include <string_view>

namespace quennet {

// One character cell of the terminal display: a code point in the low 21
// bits and how it looks in the bits above. Code points below 0x100 are bytes
// of the display's 8-bit set (drawn as ByteToDisplayChar shows them); code
// points from 0x100 on stand for themselves.
using Cell = char32_t;
using CellString = std::u32string;
using CellView = std::u32string_view;

namespace cell {

constexpr Cell kCodeMask = 0x1FFFFF;
// Foreground: 0 the display's own colour, 1..8 the eight colours of SGR
// 30-37, 9..16 the bright ones of SGR 90-97, kDim for text the program adds
// (time stamps, marks for bytes that have no glyph).
constexpr int kFgShift = 21;
constexpr Cell kFgMask = Cell{0x1F} << kFgShift;
constexpr unsigned kDim = 17;
// Background: 0 the display's own, 1..8 the colours of SGR 40-47.
constexpr int kBgShift = 26;
constexpr Cell kBgMask = Cell{0xF} << kBgShift;
constexpr Cell kBold = Cell{1} << 30;
// The cell belongs to the group that an earlier cell of the line began (the
// rest of a "^[" mark or of a time stamp): a backspace takes the group whole.
constexpr Cell kJoined = Cell{1} << 31;

constexpr char32_t Code(Cell c) { return c & kCodeMask; }
constexpr unsigned Fg(Cell c) { return (c & kFgMask) >> kFgShift; }
constexpr unsigned Bg(Cell c) { return (c & kBgMask) >> kBgShift; }
constexpr Cell WithFg(unsigned fg) { return static_cast<Cell>(fg) << kFgShift; }
constexpr Cell WithBg(unsigned bg) { return static_cast<Cell>(bg) << kBgShift; }

}  // namespace cell

}  // namespace quennet
