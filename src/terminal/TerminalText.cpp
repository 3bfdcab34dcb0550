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
    std::string_view line = lines_[index];
    return index == 0 ? line.substr(skip_) : line;
}

std::size_t TerminalText::RowsOf(std::size_t length) const {
    if (rowWidth_ == 0 || length == 0) return 1;
    return (length + rowWidth_ - 1) / rowWidth_;
}

void TerminalText::AppendText(std::string_view bytes) {
    if (bytes.empty()) return;
    const std::size_t last = lines_.size() - 1;
    const std::size_t before = RowsOfLine(last);
    lines_.back().append(bytes);
    chars_ += bytes.size();
    rows_ += RowsOfLine(last) - before;
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
        const std::size_t before = RowsOfLine(last);
        lines_.back().pop_back();
        --chars_;
        rows_ -= before - RowsOfLine(last);
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
    std::string& first = lines_.front();
    if (skip_ >= kCompactAt && skip_ * 2 >= first.size()) {
        first.erase(0, skip_);
        skip_ = 0;
    }
}

void TerminalText::RemoveFirstLine() {
    const std::size_t length = Line(0).size();
    if (rowWidth_ > 0 && length > rowWidth_) {
        // Only the first row of a wrapped line goes.
        DropFront(rowWidth_);
        --rows_;
    } else if (lines_.size() > 1) {
        rows_ -= RowsOf(length);
        chars_ -= length;
        lines_.pop_front();
        skip_ = 0;
        firstCut_ = 0;
        ++firstLine_;
    } else if (length > 0) {
        // The only line loses its text; there is no break to take.
        rows_ -= RowsOf(length) - 1;
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
    rows_ = 0;
    for (std::size_t i = 0; i < lines_.size(); ++i) rows_ += RowsOfLine(i);
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
        rows += RowsOfLine(i);
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
    const std::size_t start = (index - rowStarts_[line]) * rowWidth_;
    const std::size_t length = Line(line).size();
    return {line, start, std::min(rowWidth_, length - std::min(start, length))};
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
