#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace quennet {

// Milliseconds since local midnight; a test supplies its own.
using TimeOfDayFn = std::function<std::uint32_t()>;
std::uint32_t LocalTimeOfDayMs();

// "HH:MM:SS.mmm " with the blank that separates it from the line.
std::string FormatTimeOfDay(std::uint32_t ms);
constexpr std::size_t kTimeStampLength = 13;

}  // namespace quennet
