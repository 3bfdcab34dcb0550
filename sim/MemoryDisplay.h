#pragma once
#include <string>
#include <string_view>

#include "terminal/TerminalDisplay.h"

namespace quennet {

// A terminal display held in a string, with CR LF line breaks, for headless
// use and tests. It does not wrap, so its first line ends at the first break.
class MemoryDisplay : public TerminalDisplay {
public:
    std::string text;
    int updates = 0;  // BeginUpdate/EndUpdate pairs completed
    bool inUpdate = false;

    void AppendText(std::string_view bytes) override { text.append(bytes); }
    // Cells keep their code point's low byte: this display is 8-bit text.
    void AppendCells(CellView cells) override {
        for (Cell c : cells) text.push_back(static_cast<char>(cell::Code(c) & 0xFF));
    }
    void AppendLineBreak() override { text += "\r\n"; }
    // Whatever the text ends with, the new empty line costs one line break.
    void AppendEmptyLine() override { text += "\r\n"; }
    void DeleteLastChar() override {
        if (EndsWithBreak())
            text.resize(text.size() - 2);
        else if (!text.empty())
            text.pop_back();
    }
    std::size_t TextLength() const override { return text.size(); }
    std::size_t LastLineLength() const override {
        const auto pos = text.rfind("\r\n");
        return pos == std::string::npos ? text.size() : text.size() - pos - 2;
    }
    void TruncateLastLine(std::size_t n) override {
        const std::size_t length = LastLineLength();
        if (n < length) text.resize(text.size() - (length - n));
    }
    void RemoveFirstLine() override {
        const auto pos = text.find("\r\n");
        text.erase(0, pos == std::string::npos ? text.size() : pos + 2);
    }
    void BeginUpdate() override { inUpdate = true; }
    void EndUpdate() override {
        inUpdate = false;
        ++updates;
    }

private:
    bool EndsWithBreak() const { return text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0; }
};

}  // namespace quennet
