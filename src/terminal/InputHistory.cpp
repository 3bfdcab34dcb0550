#include "terminal/InputHistory.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace quennet {

void InputHistory::Add(const std::string& line) {
    walking_ = false;
    // The file holds a line per entry.
    std::string kept = line.substr(0, kMaxLineLength);
    std::replace(kept.begin(), kept.end(), '\n', ' ');
    std::replace(kept.begin(), kept.end(), '\r', ' ');
    if (kept.empty() || (!lines_.empty() && lines_.back() == kept)) return;
    lines_.push_back(kept);
    while (lines_.size() > kMaxLines) lines_.pop_front();
}

std::optional<std::string> InputHistory::Older(const std::string& current) {
    if (!walking_) {
        draft_ = current;
        walk_ = lines_.size();
    }
    if (walk_ == 0) return std::nullopt;
    walking_ = true;
    return lines_[--walk_];
}

std::optional<std::string> InputHistory::Newer() {
    if (!walking_) return std::nullopt;
    if (walk_ + 1 < lines_.size()) return lines_[++walk_];
    walking_ = false;
    return draft_;
}

void InputHistory::Load(const std::string& path) {
    lines_.clear();
    walking_ = false;
    // A file of ours is never larger; a larger one is read in part.
    constexpr std::size_t kMaxFile = 2 * kMaxLines * (kMaxLineLength + 1);
    std::ifstream file(path, std::ios::binary);
    std::string content(kMaxFile, '\0');
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, file.gcount())));
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        lines_.push_back(line.substr(0, kMaxLineLength));
        if (lines_.size() > kMaxLines) lines_.pop_front();
    }
}

bool InputHistory::Save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines_) out << line << '\n';
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace quennet
