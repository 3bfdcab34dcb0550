#include "terminal/TimeStamp.h"

#include <chrono>
#include <ctime>

namespace quennet {

std::uint32_t LocalTimeOfDayMs() { return LocalTimeOfDayMsAt(std::chrono::system_clock::now()); }

std::uint32_t LocalTimeOfDayMsAt(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    // The C library checks the zone's file on every conversion (a system
    // call); the local time of a second is worked out once. One thread: the
    // shared result of localtime and this cache are safe here, and
    // localtime is the one call both platforms have.
    static std::time_t cachedSecond = -1;
    static std::uint32_t cachedSecondOfDay = 0;
    if (seconds != cachedSecond) {
        const std::tm* local = std::localtime(&seconds);
        if (local == nullptr) return 0;
        cachedSecond = seconds;
        cachedSecondOfDay = static_cast<std::uint32_t>((local->tm_hour * 60 + local->tm_min) * 60 + local->tm_sec);
    }
    return cachedSecondOfDay * 1000 + static_cast<std::uint32_t>(ms);
}

std::string FormatTimeOfDay(std::uint32_t ms) {
    ms %= 24u * 3600u * 1000u;
    std::string text = "00:00:00.000 ";
    const auto two = [&text](std::size_t at, std::uint32_t v) {
        text[at] = static_cast<char>('0' + v / 10);
        text[at + 1] = static_cast<char>('0' + v % 10);
    };
    two(0, ms / 3600000u);
    two(3, ms / 60000u % 60u);
    two(6, ms / 1000u % 60u);
    text[9] = static_cast<char>('0' + ms % 1000u / 100u);
    two(10, ms % 100u);
    return text;
}

}  // namespace quennet
