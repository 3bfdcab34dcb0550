#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quennet {

// Milliseconds since local midnight; a test supplies its own.
using TimeOfDayFn = std::function<std::uint32_t()>;
std::uint32_t LocalTimeOfDayMs();
// The same for a given instant, in the local time zone as it stands.
std::uint32_t LocalTimeOfDayMsAt(std::chrono::system_clock::time_point now);

// "HH:MM:SS.mmm " with the blank that separates it from the line.
std::string FormatTimeOfDay(std::uint32_t ms);
constexpr std::size_t kTimeStampLength = 13;

}  // namespace quennet
