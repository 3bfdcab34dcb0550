#include "terminal/TerminalText.h"

#include <algorithm>

namespace quennet {

namespace {

// A dead prefix of the first line is given back once it is this long and
// more than half the line, so trimming costs little per row yet a long line
// never holds much more than it shows.
constexpr std::size_t kCompactAt = 4096;

}  // namespace

TerminalText::TerminalText() { lines_.emplace_back(); }

std::string_view TerminalText::Line(std::size_t index) const {
    return std::string_view(lines_[index].text).substr(Base(index));
}

// Where the row that begins at start ends, for a line that goes on beyond
// it: after the last blank among its first rowWidth_ characters, or after
// all of them when there is no blank.
std::size_t TerminalText::BreakAfter(const std::string& text, std::size_t start) const {
    const std::size_t end = start + rowWidth_;
    for (std::size_t p = end; p > start; --p)
        if (text[p - 1] == ' ') return p;
    return end;
}

void TerminalText::ExtendRows(std::size_t index) {
    if (rowWidth_ == 0) return;
    Stored& line = lines_[index];
    for (;;) {
        const std::size_t start = line.breaks.empty() ? Base(index) : line.breaks.back();
        if (line.text.size() - start <= rowWidth_) return;
        line.breaks.push_back(BreakAfter(line.text, start));
        ++rows_;
    }
}

void TerminalText::ShrinkRows(std::size_t index) {
    Stored& line = lines_[index];
    // A row ends early only while more follows it than fits.
    while (!line.breaks.empty()) {
        const std::size_t previous = line.breaks.size() > 1 ? line.breaks[line.breaks.size() - 2] : Base(index);
        if (line.text.size() - previous > rowWidth_) return;
        line.breaks.pop_back();
        --rows_;
    }
}

void TerminalText::AppendText(std::string_view bytes) {
    if (bytes.empty()) return;
    lines_.back().text.append(bytes);
    chars_ += bytes.size();
    ExtendRows(lines_.size() - 1);
    ++revision_;
}

void TerminalText::AppendLineBreak() {
    lines_.emplace_back();
    ++rows_;
    ++revision_;
}

void TerminalText::AppendEmptyLine() { AppendLineBreak(); }

void TerminalText::DeleteLastChar() {
    const std::size_t last = lines_.size() - 1;
    if (!Line(last).empty()) {
        lines_.back().text.pop_back();
        --chars_;
        ShrinkRows(last);
    } else if (last > 0) {
        // The line is empty: what goes is the line break before it.
        lines_.pop_back();
        --rows_;
    } else {
        return;
    }
    ++revision_;
}

void TerminalText::DropFront(std::size_t n) {
    skip_ += n;
    firstCut_ += n;
    chars_ -= n;
    Stored& first = lines_.front();
    if (skip_ >= kCompactAt && skip_ * 2 >= first.text.size()) {
        first.text.erase(0, skip_);
        for (std::size_t& b : first.breaks) b -= skip_;
        skip_ = 0;
    }
}

void TerminalText::RemoveFirstLine() {
    Stored& first = lines_.front();
    const std::size_t length = Line(0).size();
    if (!first.breaks.empty()) {
        // Only the first row of a wrapped line goes.
        const std::size_t row = first.breaks.front() - skip_;
        first.breaks.erase(first.breaks.begin());
        --rows_;
        DropFront(row);
    } else if (lines_.size() > 1) {
        --rows_;
        chars_ -= length;
        lines_.pop_front();
        skip_ = 0;
        firstCut_ = 0;
        ++firstLine_;
    } else if (length > 0) {
        // The only line loses its text; there is no break to take.
        DropFront(length);
    } else {
        return;
    }
    ++revision_;
}

void TerminalText::Clear() {
    // Numbering goes on, so that nothing selected before can match.
    firstLine_ += lines_.size();
    lines_.clear();
    lines_.emplace_back();
    skip_ = firstCut_ = chars_ = 0;
    rows_ = 1;
    ++revision_;
}

void TerminalText::SetRowWidth(std::size_t chars) {
    if (chars == rowWidth_) return;
    rowWidth_ = chars;
    rows_ = lines_.size();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        lines_[i].breaks.clear();
        ExtendRows(i);
    }
    ++revision_;
}

std::size_t TerminalText::LongestLine() const {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) longest = std::max(longest, Line(i).size());
    return longest;
}

void TerminalText::RowIndex() const {
    if (rowStartsRevision_ == revision_) return;
    rowStarts_.resize(lines_.size());
    std::size_t rows = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        rowStarts_[i] = rows;
        rows += lines_[i].breaks.size() + 1;
    }
    rowStartsRevision_ = revision_;
}

TextRow TerminalText::Row(std::size_t index) const {
    index = std::min(index, rows_ - 1);
    if (rowWidth_ == 0) return {index, 0, Line(index).size()};
    RowIndex();
    // The last line that starts at or before the row.
    const auto it = std::upper_bound(rowStarts_.begin(), rowStarts_.end(), index);
    const auto line = static_cast<std::size_t>(it - rowStarts_.begin()) - 1;
    const Stored& stored = lines_[line];
    const std::size_t k = index - rowStarts_[line];
    const std::size_t base = Base(line);
    const std::size_t start = k == 0 ? base : stored.breaks[k - 1];
    const std::size_t end = k < stored.breaks.size() ? stored.breaks[k] : stored.text.size();
    return {line, start - base, end - start};
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

std::vector<std::string_view> TerminalText::Slices(TextPos from, TextPos to) const {
    from = Clamp(from);
    to = Clamp(to);
    if (to < from) std::swap(from, to);
    std::vector<std::string_view> out;
    const auto first = static_cast<std::size_t>(from.line - firstLine_);
    const auto last = static_cast<std::size_t>(to.line - firstLine_);
    for (std::size_t i = first; i <= last; ++i) {
        const std::size_t base = i == 0 ? firstCut_ : 0;
        const std::string_view line = Line(i);
        const std::size_t begin = i == first ? from.column - base : 0;
        const std::size_t end = i == last ? to.column - base : line.size();
        out.push_back(line.substr(begin, end - begin));
    }
    return out;
}

}  // namespace quennet
