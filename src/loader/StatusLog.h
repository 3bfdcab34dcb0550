#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace quennet {

// The loader's status log (Memo2) as the core sees it: one plain text with
// CR LF line breaks. The rules of AddStatusLine and AppendStatusText are
// built on these primitives in the core, so every log behaves alike.
class StatusLogView {
public:
    virtual ~StatusLogView() = default;
    virtual std::string Text() const = 0;
    virtual void AppendRaw(const std::string& text) = 0;  // at the very end
    virtual void Clear() = 0;
    virtual void Refresh() = 0;  // repaint now

    // True when the log is empty or ends with a line break. A view that can
    // answer without copying its whole text may override this.
    virtual bool AtLineStart() const {
        const std::string text = Text();
        return text.empty() || text.back() == '\n';
    }
};

inline constexpr const char* kStatusLineBreak = "\r\n";

// Adds a line. After a complete line (or in an empty log) the text is
// followed by a line break; after text that AppendStatusText left open, a
// line break comes first and the new text stays open, so that an appended
// time can finish it. AddStatusLine("") just ends an open line.
void AddStatusLine(StatusLogView& log, const std::string& text);

// Adds text at the very end, with no line break on either side.
void AppendStatusText(StatusLogView& log, const std::string& text);

// "<seconds>.<three digits of milliseconds> sec.", e.g. 5042 -> "5.042 sec.".
std::string FormatElapsed(std::uint32_t ms);

// A status log held in memory, for headless runs and tests.
class MemoryStatusLog : public StatusLogView {
public:
    std::string Text() const override { return text_; }
    void AppendRaw(const std::string& text) override { text_ += text; }
    void Clear() override { text_.clear(); }
    void Refresh() override { ++refreshCount_; }
    bool AtLineStart() const override { return text_.empty() || text_.back() == '\n'; }

    // The log cut at its CR LF breaks; an open last line is included, a
    // break at the very end adds no empty line.
    std::vector<std::string> Lines() const;
    int RefreshCount() const { return refreshCount_; }

private:
    std::string text_;
    int refreshCount_ = 0;
};

}  // namespace quennet
