#pragma once
#include <compare>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/Cell.h"
#include "terminal/TerminalDisplay.h"

namespace quennet {

// A place in the text: the line's number counted since the text began (lines
// trimmed away keep their numbers) and a column counted from the line's own
// beginning (characters cut from its front keep theirs). A selection held
// this way stays on the same characters while the text is trimmed.
struct TextPos {
    std::uint64_t line = 0;
    std::size_t column = 0;
    auto operator<=>(const TextPos&) const = default;
};

// One row on screen: a piece of one line.
struct TextRow {
    std::size_t line = 0;    // index among the lines held now
    std::size_t start = 0;   // offset of its first character in Line(line)
    std::size_t length = 0;  // characters in the row
};

// A found piece of text: from its first character to just after its last.
struct TextMatch {
    TextPos from, to;
};

// The text of the terminal display: a list of lines of cells, the last one
// being the line that grows. A line break between two lines counts as the
// two characters CR LF, as the display's length is measured.
//
// With a row width set, lines are wrapped into rows of at most that many
// characters (the view's width), broken after the last blank that fits, or
// anywhere in a run without blanks, so that "XX " groups are never split
// whatever precedes them on the line; trimming then takes the first row
// instead of the first line. Without a row width each line is one row.
// Every operation of the receive path is cheap whatever the length of a
// line or of the whole text: appends and backspaces touch only the end,
// trimming only the front, and looking up a row or the longest line takes
// no walk over all lines.
class TerminalText : public TerminalDisplay {
public:
    TerminalText();

    void AppendText(std::string_view bytes) override;
    void AppendCells(CellView cells) override;
    void AppendLineBreak() override;
    void AppendEmptyLine() override;
    void DeleteLastChar() override;
    std::size_t TextLength() const override { return chars_ + 2 * (lines_.size() - 1); }
    std::size_t LastLineLength() const override { return Line(lines_.size() - 1).size(); }
    void TruncateLastLine(std::size_t n) override;
    void RemoveFirstLine() override;
    void BeginUpdate() override {}
    void EndUpdate() override {}

    void Clear();

    // Characters per row when wrapping; 0 turns wrapping off.
    void SetRowWidth(std::size_t chars);
    std::size_t RowWidth() const { return rowWidth_; }

    std::size_t LineCount() const { return lines_.size(); }
    CellView Line(std::size_t index) const;
    std::size_t LongestLine() const;

    std::size_t RowCount() const { return rows_; }
    // The row with this index (0 is the top); an index past the end gives
    // the last row.
    TextRow Row(std::size_t index) const;

    // The row (0 is the top) that holds a place.
    std::size_t RowOf(TextPos pos) const;

    // Converting between places and the lines held now.
    TextPos PosOf(std::size_t lineIndex, std::size_t offset) const;
    TextPos End() const;
    // The nearest place that still exists.
    TextPos Clamp(TextPos pos) const;
    // The index among the lines held now of a place that Clamp has kept.
    std::size_t LineIndex(TextPos pos) const { return static_cast<std::size_t>(pos.line - firstLine_); }

    // The pieces of lines between two places (in either order), one per
    // line; a line break lies between each piece and the next.
    std::vector<CellView> Slices(TextPos from, TextPos to) const;

    // The next place where the characters of pattern (as the display shows
    // them, see DisplayCode) stand on one line, searching forward from from
    // (a match may begin there) or backward from it (a match must end at or
    // before it), going round the end of the text once. Without matchCase,
    // letters match whatever their case.
    std::optional<TextMatch> Find(std::u32string_view pattern, TextPos from, bool forward, bool matchCase) const;

    // Where pattern begins in one line (an index among the lines held now),
    // for matches that lie within [from, to) of its offsets.
    std::vector<std::size_t> FindInLine(std::size_t lineIndex, std::size_t from, std::size_t to,
                                        std::u32string_view pattern, bool matchCase) const;

private:
    struct Stored {
        CellString text;
        // Offsets in text where the second and later rows begin.
        std::vector<std::size_t> breaks;
        // Number of this line's first row, counted as rowBase_ is.
        std::uint64_t rowStart = 0;
    };

    std::size_t Base(std::size_t index) const { return index == 0 ? skip_ : 0; }
    // Breaks of a line that still begin rows held.
    std::size_t Breaks(std::size_t index) const {
        return lines_[index].breaks.size() - (index == 0 ? deadBreaks_ : 0);
    }
    std::size_t BreakAfter(const CellString& text, std::size_t start) const;
    // Adds or removes row breaks at the end of a line after it grew or shrank.
    void ExtendRows(std::size_t index);
    void ShrinkRows(std::size_t index);
    void DropFront(std::size_t n);
    // The lengths of all lines but the last, for LongestLine.
    void CountLength(std::size_t length);
    void UncountLength(std::size_t length);
    void Grew(std::size_t added);

    // lines_[0] begins with skip_ characters that are gone: cutting rows off
    // a long first line moves skip_ instead of the rest of the line.
    std::deque<Stored> lines_;
    std::size_t skip_ = 0;
    // The same for the rows: lines_[0].breaks begins with this many breaks
    // of rows that are gone.
    std::size_t deadBreaks_ = 0;
    std::uint64_t firstLine_ = 0;  // number of lines_[0]
    std::size_t firstCut_ = 0;     // column of lines_[0]'s first character
    std::size_t chars_ = 0;        // characters, line breaks not counted
    std::size_t rowWidth_ = 0;
    std::size_t rows_ = 1;
    std::uint64_t rowBase_ = 0;    // number of the first row held
    std::map<std::size_t, std::size_t> lengths_;  // length, how many lines
};

// The character that a cell shows, as a user would type it to find it.
char32_t DisplayCode(Cell c);

}  // namespace quennet
