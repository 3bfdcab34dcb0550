#include "terminal/Charset.h"

namespace quennet {

namespace {

// Windows-1252 for 0x80-0x9F; the five unassigned positions show U+FFFD.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178,
};

}  // namespace

char32_t ByteToDisplayChar(std::uint8_t byte) {
    if (byte < 0x20) return 0x2400 + byte;  // control pictures
    if (byte == 0x7F) return 0x2421;
    if (byte >= 0x80 && byte < 0xA0) return kHighControls[byte - 0x80];
    return byte;
}

int TypedCharToByte(char32_t ch) {
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF)) return static_cast<int>(ch);
    if (ch == 0xFFFD) return -1;
    for (int i = 0; i < 32; ++i)
        if (kHighControls[i] == ch) return 0x80 + i;
    return -1;
}

}  // namespace quennet
