#pragma once
#include <cstddef>
#include <string_view>

#include "terminal/Cell.h"

namespace quennet {

// The terminal display as the core sees it. Each byte of 8-bit text is one
// character; cells carry wider characters and colours. A line break counts
// as the two characters CR LF in TextLength.
class TerminalDisplay {
public:
    virtual ~TerminalDisplay() = default;

    // Inserts the bytes as characters at the end of the text.
    virtual void AppendText(std::string_view bytes) = 0;
    // Inserts the cells as characters at the end of the text.
    virtual void AppendCells(CellView cells) = 0;
    // Appends a line break at the end of the text.
    virtual void AppendLineBreak() = 0;
    // The list-of-lines append of an empty line: on an empty display a line
    // break is inserted; when the text does not end with a line break one is
    // appended; when it does, a second one is appended (an empty line).
    virtual void AppendEmptyLine() = 0;
    // Deletes the last character of the text (a line break counts as one;
    // a group of joined cells, as one).
    virtual void DeleteLastChar() = 0;
    virtual std::size_t TextLength() const = 0;
    // Characters on the last line, and cutting it back to its first n.
    virtual std::size_t LastLineLength() const = 0;
    virtual void TruncateLastLine(std::size_t n) = 0;
    // Removes the first display line with its line break: in text mode all
    // up to the first line break, in wrapping (hex) mode the first row.
    virtual void RemoveFirstLine() = 0;
    // Painting is suspended between these; EndUpdate scrolls the view so
    // that the caret (the end of the text) is visible.
    virtual void BeginUpdate() = 0;
    virtual void EndUpdate() = 0;
};

}  // namespace quennet
