#pragma once
#include <cstddef>
#include <cstdint>

namespace quennet {

// CRC-16 with the polynomial 0x1021 and start value 0, as XMODEM-CRC,
// YMODEM and ZMODEM use it; pass the previous value to continue.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t n, std::uint16_t crc = 0);
std::uint16_t Crc16Byte(std::uint16_t crc, std::uint8_t byte);

// The CRC-32 of Ethernet (reflected 0xEDB88320), as ZMODEM's 32-bit frames
// use it: start with 0xFFFFFFFF, and send the complement.
std::uint32_t Crc32Update(std::uint32_t crc, const std::uint8_t* data, std::size_t n);
std::uint32_t Crc32Byte(std::uint32_t crc, std::uint8_t byte);

}  // namespace quennet
