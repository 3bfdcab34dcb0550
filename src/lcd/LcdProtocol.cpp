#include "lcd/LcdProtocol.h"

#include <cstring>

namespace quennet {

namespace {

constexpr char kCr = '\r';
// Characters of a sentence that the checksum scan looks at after the "$".
constexpr int kScanLimit = 99;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool LcdSentenceValid(const char* line) {
    if (line == nullptr || line[0] != '$' || line[1] == kCr) return false;
    std::uint8_t running = 0;
    std::uint8_t remembered = 0xFF;
    for (int i = 1; i <= kScanLimit; ++i) {
        const char c = line[i];
        if (c == '\0') return false;  // the text ends before its CR
        if (c == '*') remembered = running;
        if (c == kCr) {
            // i >= 2 here (a CR right after "$" is refused above), so the two
            // characters before the CR are inside the line.
            return remembered == (HexFieldValue(line + i - 2) & 0xFF);
        }
        running = static_cast<std::uint8_t>(running ^ static_cast<std::uint8_t>(c));
    }
    return false;
}

int HexPairValue(const char* text) {
    int value = 0;
    for (int i = 0; i < 2; ++i) {
        const char c = text ? text[i] : '\0';
        if (c == '\0') {
            // A pair cut short by the end of the field: the missing digits
            // are zeros, i.e. unlit pixels.
            for (; i < 2; ++i) value *= 16;
            break;
        }
        const int d = HexDigit(c);
        if (d >= 0) value = value * 16 + d;
    }
    return value;
}

std::uint32_t HexFieldValue(const char* text) {
    std::uint32_t value = 0;
    if (text == nullptr) return 0;
    for (; *text != '\0' && *text != kCr; ++text) {
        const int d = HexDigit(*text);
        if (d >= 0) value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
}

std::int32_t LcdDecimalValue(const char* text) {
    if (text == nullptr) return 0;
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > 2147483648LL) value = 2147483648LL;  // keep saturating
    }
    if (negative) return static_cast<std::int32_t>(-value);
    return value > 2147483647LL ? 2147483647 : static_cast<std::int32_t>(value);
}

bool TextEquals(const char* a, const char* b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

char* FieldSplitter::NextField(char* text, const char* delimiters) {
    if (text != nullptr) position_ = text;
    if (position_ == nullptr || *position_ == '\0') return nullptr;
    char* field = position_;
    char* end = field + std::strcspn(field, delimiters ? delimiters : "");
    if (*end == '\0') {
        position_ = end;
    } else {
        *end = '\0';
        position_ = end + 1;
    }
    return field;
}

}  // namespace quennet
