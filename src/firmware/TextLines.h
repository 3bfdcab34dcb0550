#pragma once
// Helpers the text formats share: lines of a buffer, hex digits, and how a
// fault names its line.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quennet::firmware_text {

// Hands out the lines of a text buffer without their line ends, numbered
// from 1. A line ends at LF, at CR LF, or at a CR that no LF follows, so
// files written with CR alone keep their lines apart. CRs doubled before an
// LF (CR CR LF, a text converted twice) end one line, not two. A last line
// without a line end is a line; a text ending in a line end has no empty
// line after it.
class TextLines {
public:
    explicit TextLines(std::span<const std::uint8_t> text) : text_(text) {}

    bool Next(std::span<const std::uint8_t>& line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = pos_;
        while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
        line = text_.subspan(pos_, end - pos_);
        pos_ = end < text_.size() ? end + LineEndLength(end) : end;
        ++number_;
        return true;
    }
    // The number of the line Next handed out last.
    std::size_t Number() const { return number_; }

private:
    // The length of the line end at `at` (an LF or a CR).
    std::size_t LineEndLength(std::size_t at) {
        if (text_[at] == '\n') return 1;
        // A CR known to be one of a run that no LF ends stands alone; this
        // keeps a long run of CRs from being scanned once per CR.
        if (at < loneCrsUntil_) return 1;
        std::size_t run = at;
        while (run < text_.size() && text_[run] == '\r') ++run;
        if (run < text_.size() && text_[run] == '\n') return run + 1 - at;
        loneCrsUntil_ = run;
        return 1;
    }

    std::span<const std::uint8_t> text_;
    std::size_t pos_ = 0;
    std::size_t number_ = 0;
    std::size_t loneCrsUntil_ = 0;
};

// 0..15 for a hex digit of either case, -1 for anything else.
inline int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline bool IsBlank(std::uint8_t c) { return c == ' ' || c == '\t'; }

// The line without blanks at its end.
inline std::span<const std::uint8_t> TrimEnd(std::span<const std::uint8_t> line) {
    std::size_t n = line.size();
    while (n > 0 && IsBlank(line[n - 1])) --n;
    return line.first(n);
}

inline std::string AtLine(std::size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

// A character for a message: itself when printable, else its code.
std::string CharText(std::uint8_t c);

// printf into a std::string.
std::string Format(const char* format, ...);

}  // namespace quennet::firmware_text
