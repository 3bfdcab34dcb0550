#include "terminal/TerminalText.h"

#include <algorithm>

#include "terminal/Charset.h"

namespace quennet {

namespace {

// A dead prefix of the first line is given back once it is this long and
// more than half the line, so trimming costs little per row yet a long line
// never holds much more than it shows.
constexpr std::size_t kCompactAt = 4096;
constexpr std::size_t kReserveAtMost = 256;

bool IsBlank(Cell c) { return cell::Code(c) == U' '; }

// Letters of the common alphabets in one case, for finding text whatever
// its case.
char32_t Fold(char32_t c) {
    if (c >= U'A' && c <= U'Z') return c + 32;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;   // Latin-1
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;  // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 32;               // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

std::u32string Folded(std::u32string_view text, bool matchCase) {
    std::u32string out(text);
    if (!matchCase)
        for (char32_t& c : out) c = Fold(c);
    return out;
}

// The first (forward) or last match of pattern in line starting in [lo, hi].
std::optional<std::size_t> Scan(CellView line, std::u32string_view pattern, std::size_t lo, std::size_t hi,
                                bool forward, bool matchCase) {
    const std::size_t m = pattern.size();
    if (line.size() < m) return std::nullopt;
    hi = std::min(hi, line.size() - m);
    if (lo > hi) return std::nullopt;
    const auto at = [&](std::size_t p) {
        for (std::size_t j = 0; j < m; ++j) {
            const char32_t c = DisplayCode(line[p + j]);
            if ((matchCase ? c : Fold(c)) != pattern[j]) return false;
        }
        return true;
    };
    if (forward) {
        for (std::size_t p = lo; p <= hi; ++p)
            if (at(p)) return p;
    } else {
        for (std::size_t p = hi + 1; p-- > lo;)
            if (at(p)) return p;
    }
    return std::nullopt;
}

}  // namespace

char32_t DisplayCode(Cell c) {
    const char32_t code = cell::Code(c);
    return code < 0x100 ? ByteToDisplayChar(static_cast<std::uint8_t>(code)) : code;
}

TerminalText::TerminalText() { lines_.emplace_back(); }

CellView TerminalText::Line(std::size_t index) const { return CellView(lines_[index].text).substr(Base(index)); }

// Where the row that begins at start ends, for a line that goes on beyond
// it: after the last blank among its first rowWidth_ characters, or after
// all of them when there is no blank.
std::size_t TerminalText::BreakAfter(const CellString& text, std::size_t start) const {
    const std::size_t end = start + rowWidth_;
    for (std::size_t p = end; p > start; --p)
        if (IsBlank(text[p - 1])) return p;
    return end;
}

void TerminalText::ExtendRows(std::size_t index) {
    if (rowWidth_ == 0) return;
    Stored& line = lines_[index];
    for (;;) {
        const std::size_t start = Breaks(index) == 0 ? Base(index) : line.breaks.back();
        if (line.text.size() - start <= rowWidth_) return;
        line.breaks.push_back(BreakAfter(line.text, start));
        ++rows_;
    }
}

void TerminalText::ShrinkRows(std::size_t index) {
    Stored& line = lines_[index];
    // Rows that began beyond the new end are gone.
    while (Breaks(index) > 0 && line.breaks.back() >= line.text.size()) {
        line.breaks.pop_back();
        --rows_;
    }
    // A row ends early only while more follows it than fits.
    while (Breaks(index) > 0) {
        const std::size_t previous = Breaks(index) > 1 ? line.breaks[line.breaks.size() - 2] : Base(index);
        if (line.text.size() - previous > rowWidth_) return;
        line.breaks.pop_back();
        --rows_;
    }
}

void TerminalText::CountLength(std::size_t length) { ++lengths_[length]; }

void TerminalText::UncountLength(std::size_t length) {
    const auto it = lengths_.find(length);
    if (it != lengths_.end() && --it->second == 0) lengths_.erase(it);
}

void TerminalText::Grew(std::size_t added) {
    chars_ += added;
    ExtendRows(lines_.size() - 1);
}

void TerminalText::AppendText(std::string_view bytes) {
    if (bytes.empty()) return;
    CellString& text = lines_.back().text;
    const std::size_t at = text.size();
    text.resize(at + bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) text[at + i] = static_cast<unsigned char>(bytes[i]);
    Grew(bytes.size());
}

void TerminalText::AppendCells(CellView cells) {
    if (cells.empty()) return;
    lines_.back().text.append(cells);
    Grew(cells.size());
}

void TerminalText::AppendLineBreak() {
    const Stored& last = lines_.back();
    const std::size_t length = Line(lines_.size() - 1).size();
    CountLength(length);
    const std::uint64_t next = last.rowStart + Breaks(lines_.size() - 1) + 1;
    lines_.emplace_back();
    lines_.back().rowStart = next;
    // Lines of a stream tend to be alike: room for one like the last saves
    // growing the new one step by step.
    lines_.back().text.reserve(std::min<std::size_t>(length, kReserveAtMost));
    ++rows_;
}

void TerminalText::AppendEmptyLine() { AppendLineBreak(); }

void TerminalText::DeleteLastChar() {
    const std::size_t last = lines_.size() - 1;
    CellString& text = lines_.back().text;
    const std::size_t base = Base(last);
    if (text.size() > base) {
        // The whole group that the last cell belongs to.
        std::size_t p = text.size() - 1;
        while (p > base && (text[p] & cell::kJoined)) --p;
        chars_ -= text.size() - p;
        text.resize(p);
        ShrinkRows(last);
    } else if (last > 0) {
        // The line is empty: what goes is the line break before it.
        lines_.pop_back();
        --rows_;
        UncountLength(Line(last - 1).size());
    }
}

void TerminalText::TruncateLastLine(std::size_t n) {
    const std::size_t last = lines_.size() - 1;
    const std::size_t length = Line(last).size();
    if (n >= length) return;
    lines_.back().text.resize(Base(last) + n);
    chars_ -= length - n;
    ShrinkRows(last);
}

void TerminalText::DropFront(std::size_t n) {
    skip_ += n;
    firstCut_ += n;
    chars_ -= n;
    Stored& first = lines_.front();
    if (skip_ >= kCompactAt && skip_ * 2 >= first.text.size()) {
        first.text.erase(0, skip_);
        first.breaks.erase(first.breaks.begin(), first.breaks.begin() + static_cast<std::ptrdiff_t>(deadBreaks_));
        for (std::size_t& b : first.breaks) b -= skip_;
        skip_ = 0;
        deadBreaks_ = 0;
    }
}

void TerminalText::RemoveFirstLine() {
    Stored& first = lines_.front();
    const std::size_t length = Line(0).size();
    const bool counted = lines_.size() > 1;  // the last line is not in lengths_
    if (Breaks(0) > 0) {
        // Only the first row of a wrapped line goes. Its break stays in
        // the vector, dead, until the dead text is given back: erasing the
        // front of a long line's breaks row by row would cost a move of
        // them all each time.
        const std::size_t row = first.breaks[deadBreaks_] - skip_;
        ++deadBreaks_;
        --rows_;
        ++first.rowStart;
        ++rowBase_;
        if (counted) UncountLength(length);
        DropFront(row);
        if (counted) CountLength(length - row);
    } else if (counted) {
        --rows_;
        chars_ -= length;
        UncountLength(length);
        lines_.pop_front();
        skip_ = 0;
        deadBreaks_ = 0;
        firstCut_ = 0;
        ++firstLine_;
        rowBase_ = lines_.front().rowStart;
    } else if (length > 0) {
        // The only line loses its text; there is no break to take.
        DropFront(length);
    }
}

void TerminalText::Clear() {
    // Numbering goes on, so that nothing selected before can match.
    firstLine_ += lines_.size();
    lines_.clear();
    lines_.emplace_back();
    lengths_.clear();
    skip_ = deadBreaks_ = firstCut_ = chars_ = 0;
    rows_ = 1;
    rowBase_ = 0;
}

void TerminalText::SetRowWidth(std::size_t chars) {
    if (chars == rowWidth_) return;
    rowWidth_ = chars;
    rows_ = lines_.size();
    deadBreaks_ = 0;
    std::uint64_t row = rowBase_;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        lines_[i].breaks.clear();
        ExtendRows(i);
        lines_[i].rowStart = row;
        row += Breaks(i) + 1;
    }
}

std::size_t TerminalText::LongestLine() const {
    const std::size_t last = Line(lines_.size() - 1).size();
    return lengths_.empty() ? last : std::max(last, lengths_.rbegin()->first);
}

TextRow TerminalText::Row(std::size_t index) const {
    index = std::min(index, rows_ - 1);
    if (rowWidth_ == 0) return {index, 0, Line(index).size()};
    // The last line that starts at or before the row.
    const std::uint64_t wanted = rowBase_ + index;
    const auto it = std::upper_bound(lines_.begin(), lines_.end(), wanted,
                                     [](std::uint64_t row, const Stored& s) { return row < s.rowStart; });
    const auto line = static_cast<std::size_t>(it - lines_.begin()) - 1;
    const Stored& stored = lines_[line];
    const auto k = static_cast<std::size_t>(wanted - stored.rowStart);
    const std::size_t base = Base(line);
    const std::size_t dead = line == 0 ? deadBreaks_ : 0;
    const std::size_t start = k == 0 ? base : stored.breaks[dead + k - 1];
    const std::size_t end = k < Breaks(line) ? stored.breaks[dead + k] : stored.text.size();
    return {line, start - base, end - start};
}

std::size_t TerminalText::RowOf(TextPos pos) const {
    pos = Clamp(pos);
    const std::size_t i = LineIndex(pos);
    if (rowWidth_ == 0) return i;
    const Stored& stored = lines_[i];
    const std::size_t offset = pos.column - (i == 0 ? firstCut_ : 0) + Base(i);
    const auto live = stored.breaks.begin() + static_cast<std::ptrdiff_t>(i == 0 ? deadBreaks_ : 0);
    const auto k = static_cast<std::size_t>(std::upper_bound(live, stored.breaks.end(), offset) - live);
    return static_cast<std::size_t>(stored.rowStart - rowBase_) + k;
}

TextPos TerminalText::PosOf(std::size_t lineIndex, std::size_t offset) const {
    return {firstLine_ + lineIndex, offset + (lineIndex == 0 ? firstCut_ : 0)};
}

TextPos TerminalText::End() const { return PosOf(lines_.size() - 1, Line(lines_.size() - 1).size()); }

TextPos TerminalText::Clamp(TextPos pos) const {
    if (pos.line < firstLine_) return PosOf(0, 0);
    if (pos.line - firstLine_ >= lines_.size()) return End();
    const auto index = static_cast<std::size_t>(pos.line - firstLine_);
    const std::size_t base = index == 0 ? firstCut_ : 0;
    pos.column = std::clamp(pos.column, base, base + Line(index).size());
    return pos;
}

std::vector<CellView> TerminalText::Slices(TextPos from, TextPos to) const {
    from = Clamp(from);
    to = Clamp(to);
    if (to < from) std::swap(from, to);
    std::vector<CellView> out;
    const std::size_t first = LineIndex(from);
    const std::size_t last = LineIndex(to);
    for (std::size_t i = first; i <= last; ++i) {
        const std::size_t base = i == 0 ? firstCut_ : 0;
        const CellView line = Line(i);
        const std::size_t begin = i == first ? from.column - base : 0;
        const std::size_t end = i == last ? to.column - base : line.size();
        out.push_back(line.substr(begin, end - begin));
    }
    return out;
}

std::vector<std::size_t> TerminalText::FindInLine(std::size_t lineIndex, std::size_t from, std::size_t to,
                                                  std::u32string_view pattern, bool matchCase) const {
    std::vector<std::size_t> starts;
    const CellView line = Line(lineIndex);
    to = std::min(to, line.size());
    if (pattern.empty() || from >= to || to - from < pattern.size()) return starts;
    const std::u32string wanted = Folded(pattern, matchCase);
    const CellView piece = line.substr(from, to - from);
    std::size_t p = 0;
    while (const auto at = Scan(piece, wanted, p, ~std::size_t{0}, true, matchCase)) {
        starts.push_back(from + *at);
        p = *at + 1;
    }
    return starts;
}

std::optional<TextMatch> TerminalText::Find(std::u32string_view pattern, TextPos from, bool forward,
                                            bool matchCase) const {
    if (pattern.empty()) return std::nullopt;
    const std::u32string wanted = Folded(pattern, matchCase);
    const std::size_t m = wanted.size();
    from = Clamp(from);
    const std::size_t first = LineIndex(from);
    const std::size_t column = from.column - (first == 0 ? firstCut_ : 0);
    const std::size_t lines = lines_.size();
    const auto found = [&](std::size_t line, std::size_t p) {
        return TextMatch{PosOf(line, p), PosOf(line, p + m)};
    };
    constexpr std::size_t kAll = ~std::size_t{0};
    if (forward) {
        // From the place to the end, then round from the top to its line.
        for (std::size_t k = 0; k <= lines; ++k) {
            const std::size_t i = (first + k) % lines;
            const std::size_t lo = k == 0 ? column : 0;
            if (auto p = Scan(Line(i), wanted, lo, kAll, true, matchCase)) return found(i, *p);
        }
    } else {
        for (std::size_t k = 0; k <= lines; ++k) {
            const std::size_t i = (first + lines - k % lines) % lines;
            if (k == 0) {
                if (column < m) continue;
                if (auto p = Scan(Line(i), wanted, 0, column - m, false, matchCase)) return found(i, *p);
            } else if (auto p = Scan(Line(i), wanted, 0, kAll, false, matchCase)) {
                return found(i, *p);
            }
        }
    }
    return std::nullopt;
}

}  // namespace quennet
