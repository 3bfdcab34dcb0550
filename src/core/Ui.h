#pragma once
#include <functional>
#include <string>

namespace quennet {

// Seams through which the core reaches the window: a modal message box with
// an OK button, and "process pending window messages".
using MessageBoxFn = std::function<void(const std::string& caption, const std::string& text)>;
using ProcessMessagesFn = std::function<void()>;

inline constexpr const char* kErrorCaption = "Quennet Error";

}  // namespace quennet
