#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "terminal/Cell.h"
#include "terminal/TerminalDisplay.h"
#include "terminal/TimeStamp.h"

namespace quennet {

enum class HexStyle {
    Pairs,  // "XX " after "XX ", as many as the view is wide
    Dump,   // rows of up to 16 bytes with their offset and the printable characters
};

enum class TextEncoding { Latin1, Utf8 };

// How received bytes are shown. The defaults are the plain terminal: text
// in the 8-bit set, control codes as one picture each, a NUL hiding the rest
// of its segment, hex as "XX " pairs, no time stamps.
struct ViewOptions {
    bool hex = false;
    HexStyle hexStyle = HexStyle::Pairs;
    TextEncoding encoding = TextEncoding::Latin1;
    bool controlMarks = false;  // control bytes as dim "^X" marks; a NUL hides nothing
    bool ansi = false;          // SGR colours and bold; other control sequences dropped
    bool timestamps = false;    // each line (each hex row) starts with the time of day
    bool operator==(const ViewOptions&) const = default;
};

// Turns received chunks into display text as the options say. It keeps what
// must carry over from one chunk to the next: an escape sequence or a UTF-8
// character cut by the chunk's end, the colours in force, the hex row being
// filled.
class ReceiveView {
public:
    static constexpr std::size_t kDumpRowBytes = 16;
    static constexpr std::size_t kMinDumpRowBytes = 4;  // a narrower view scrolls sideways
    static constexpr std::size_t kPairsRowBytes = 16;  // a row per stamp in the "XX " view
    // Longest control sequence taken; a longer one is garbage and is dropped.
    static constexpr std::size_t kMaxSequence = 64;

    explicit ReceiveView(ViewOptions options = {}, TimeOfDayFn clock = LocalTimeOfDayMs);

    const ViewOptions& Options() const { return options_; }
    // New options start afresh: colours, half-received sequences and the
    // hex row are forgotten.
    void SetOptions(const ViewOptions& options);
    // The display was emptied: hex offsets count from 0 again.
    void Restart();

    void Show(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n);

    // The characters a row of the view shows; 0 for no limit. Dump rows
    // begun from now on hold as many bytes as fit (16, 8 or 4); rows
    // already shown, and the row being filled, keep theirs, so every row
    // still shows its own offset and bytes exactly.
    void SetWidth(std::size_t columns) { columns_ = columns; }
    // Bytes in a dump row that fits the columns, a cell kept for the caret.
    static std::size_t DumpRowBytes(std::size_t columns, bool timestamps);

private:
    enum class Escape { None, Esc, Csi };

    bool Seed() const;
    // The cells of the time of day, read once per chunk.
    const CellString& Stamp();
    void ShowText(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n);
    bool TakeEscape(TerminalDisplay& display, std::uint8_t b);
    void ApplySgr();
    void TextByte(TerminalDisplay& display, std::uint8_t b);
    void Control(std::uint8_t b);
    void Utf8Byte(std::uint8_t b);
    void BreakUtf8();
    void Mark(std::uint8_t b);
    void Flush(TerminalDisplay& display);
    void ShowStampedPairs(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n);
    void ShowDump(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n);
    void WriteDumpRow(TerminalDisplay& display, bool complete);

    ViewOptions options_;
    TimeOfDayFn clock_;
    CellString stamp_;
    bool stampRead_ = false;  // in this chunk

    // Text.
    CellString out_;      // cells of the current segment, not yet shown
    Cell look_ = 0;       // colours and bold from SGR
    bool hidden_ = false;  // after a NUL, until the segment ends
    Escape escape_ = Escape::None;
    std::vector<int> params_;
    int param_ = -1;  // digits of the parameter being read, -1 for none
    bool sgrLike_ = true;  // no private marker or intermediate byte seen
    std::size_t sequenceLength_ = 0;
    std::array<std::uint8_t, 4> utf8_{};
    std::size_t utf8Have_ = 0, utf8Need_ = 0;
    char32_t utf8Code_ = 0, utf8Min_ = 0;

    // Hex rows.
    static constexpr std::size_t kNotShown = ~std::size_t{0};
    std::size_t rowBytes_ = 0;         // in the row being filled
    std::size_t rowSize_ = kDumpRowBytes;  // bytes the dump row being filled takes
    std::size_t columns_ = 0;
    std::size_t rowShown_ = kNotShown; // the last line's length after the row was written
    std::uint64_t offset_ = 0;         // of the dump row's first byte
    std::array<std::uint8_t, kDumpRowBytes> row_{};
    CellString rowStamp_;
};

}  // namespace quennet
