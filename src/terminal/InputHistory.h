#pragma once
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace quennet {

// The lines sent from the input line, newest last, walked with Up and Down
// as a shell does, and kept in a file of their own between starts.
class InputHistory {
public:
    static constexpr std::size_t kMaxLines = 100;
    static constexpr std::size_t kMaxLineLength = 4096;

    // An empty line, or the same as the newest, is not kept again.
    void Add(const std::string& line);
    // One line older; current is what the user was editing when the walk
    // began, given back when the walk comes down past the newest line.
    // Nothing when there is no older line.
    std::optional<std::string> Older(const std::string& current);
    std::optional<std::string> Newer();
    const std::deque<std::string>& Lines() const { return lines_; }

    // A missing or unreadable file gives an empty history; over-long lines
    // are cut, and only the newest kMaxLines are kept.
    void Load(const std::string& path);
    // False when the file cannot be written; the history stays as it is.
    bool Save(const std::string& path) const;

private:
    std::deque<std::string> lines_;
    std::size_t walk_ = 0;  // index of the line shown, lines_.size() when not walking
    bool walking_ = false;
    std::string draft_;
};

}  // namespace quennet
