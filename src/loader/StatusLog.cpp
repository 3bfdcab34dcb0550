#include "loader/StatusLog.h"

namespace quennet {

void AddStatusLine(StatusLogView& log, const std::string& text) {
    if (log.AtLineStart())
        log.AppendRaw(text + kStatusLineBreak);
    else
        log.AppendRaw(kStatusLineBreak + text);
}

void AppendStatusText(StatusLogView& log, const std::string& text) { log.AppendRaw(text); }

std::string FormatElapsed(std::uint32_t ms) {
    const std::uint32_t rest = ms % 1000;
    std::string text = std::to_string(ms / 1000) + ".";
    text += static_cast<char>('0' + rest / 100);
    text += static_cast<char>('0' + rest / 10 % 10);
    text += static_cast<char>('0' + rest % 10);
    return text + " sec.";
}

std::vector<std::string> MemoryStatusLog::Lines() const {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    for (;;) {
        const auto brk = text_.find(kStatusLineBreak, start);
        if (brk == std::string::npos) break;
        lines.push_back(text_.substr(start, brk - start));
        start = brk + 2;
    }
    if (start < text_.size()) lines.push_back(text_.substr(start));
    return lines;
}

}  // namespace quennet
