#include "terminal/transfer/Crc.h"

#include <array>

namespace quennet {
namespace {

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i << 8;
        for (int b = 0; b < 8; ++b) c = (c & 0x8000) ? ((c << 1) ^ 0x1021) : (c << 1);
        t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
}

constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int b = 0; b < 8; ++b) c = (c & 1) ? ((c >> 1) ^ 0xEDB88320u) : (c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr auto kCrc16Table = MakeCrc16Table();
constexpr auto kCrc32Table = MakeCrc32Table();

}  // namespace

std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

std::uint16_t Crc16(const std::uint8_t* data, std::size_t n, std::uint16_t crc) {
    for (std::size_t i = 0; i < n; ++i) crc = Crc16Byte(crc, data[i]);
    return crc;
}

std::uint32_t Crc32Byte(std::uint32_t crc, std::uint8_t byte) {
    return kCrc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) crc = Crc32Byte(crc, data[i]);
    return crc;
}

}  // namespace quennet
