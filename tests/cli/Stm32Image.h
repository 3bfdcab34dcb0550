#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace quennet::testing {

// S3 records of `size` data bytes (never 0xFF) from the start of the flash.
inline std::string Stm32Image(std::size_t size) {
    std::string text;
    for (std::size_t a = 0; a < size; a += 16) {
        unsigned sum = 21;
        char rec[64];
        std::snprintf(rec, sizeof rec, "S315%08X", static_cast<unsigned>(0x08000000 + a));
        text += rec;
        const std::uint32_t address = static_cast<std::uint32_t>(0x08000000 + a);
        for (int k = 0; k < 4; ++k) sum += (address >> (8 * k)) & 0xFF;
        for (std::size_t i = 0; i < 16; ++i) {
            const unsigned b = static_cast<unsigned>((a + i) * 7 % 255);
            sum += b;
            std::snprintf(rec, sizeof rec, "%02X", b);
            text += rec;
        }
        std::snprintf(rec, sizeof rec, "%02X\n", ~sum & 0xFF);
        text += rec;
    }
    return text;
}

}  // namespace quennet::testing
