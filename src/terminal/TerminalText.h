#pragma once
#include <compare>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

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

// The text of the terminal display: a list of lines of 8-bit characters, the
// last one being the line that grows. A line break between two lines counts
// as the two characters CR LF, as the display's length is measured.
//
// With a row width set, lines are wrapped into rows of at most that many
// characters (the view's width), broken after the last blank that fits, or
// anywhere in a run without blanks, so that "XX " groups are never split
// whatever precedes them on the line; trimming then takes the first row
// instead of the first line. Without a row width each line is one row.
// Every operation is cheap whatever the length of a line: appends and
// backspaces touch only the end, trimming only the front.
class TerminalText : public TerminalDisplay {
public:
    TerminalText();

    void AppendText(std::string_view bytes) override;
    void AppendLineBreak() override;
    void AppendEmptyLine() override;
    void DeleteLastChar() override;
    std::size_t TextLength() const override { return chars_ + 2 * (lines_.size() - 1); }
    void RemoveFirstLine() override;
    void BeginUpdate() override {}
    void EndUpdate() override {}

    void Clear();

    // Characters per row when wrapping; 0 turns wrapping off.
    void SetRowWidth(std::size_t chars);
    std::size_t RowWidth() const { return rowWidth_; }

    std::size_t LineCount() const { return lines_.size(); }
    std::string_view Line(std::size_t index) const;
    std::size_t LongestLine() const;

    std::size_t RowCount() const { return rows_; }
    // The row with this index (0 is the top); an index past the end gives
    // the last row.
    TextRow Row(std::size_t index) const;

    // Converting between places and the lines held now.
    TextPos PosOf(std::size_t lineIndex, std::size_t offset) const;
    TextPos End() const;
    // The nearest place that still exists.
    TextPos Clamp(TextPos pos) const;

    // The pieces of lines between two places (in either order), one per
    // line; a line break lies between each piece and the next.
    std::vector<std::string_view> Slices(TextPos from, TextPos to) const;

    // Changes whenever the text does.
    std::uint64_t Revision() const { return revision_; }

private:
    struct Stored {
        std::string text;
        // Offsets in text where the second and later rows begin.
        std::vector<std::size_t> breaks;
    };

    std::size_t Base(std::size_t index) const { return index == 0 ? skip_ : 0; }
    std::size_t BreakAfter(const std::string& text, std::size_t start) const;
    // Adds or removes row breaks at the end of a line after it grew or shrank.
    void ExtendRows(std::size_t index);
    void ShrinkRows(std::size_t index);
    void DropFront(std::size_t n);
    void RowIndex() const;

    // lines_[0] begins with skip_ characters that are gone: cutting rows off
    // a long first line moves skip_ instead of the rest of the line.
    std::deque<Stored> lines_;
    std::size_t skip_ = 0;
    std::uint64_t firstLine_ = 0;  // number of lines_[0]
    std::size_t firstCut_ = 0;     // column of lines_[0]'s first character
    std::size_t chars_ = 0;        // characters, line breaks not counted
    std::size_t rowWidth_ = 0;
    std::size_t rows_ = 1;
    std::uint64_t revision_ = 0;

    // Rows before each line, built when rows are looked up after a change.
    mutable std::vector<std::size_t> rowStarts_;
    mutable std::uint64_t rowStartsRevision_ = ~std::uint64_t{0};
};

}  // namespace quennet
