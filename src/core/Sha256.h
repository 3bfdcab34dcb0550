#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quennet {

// SHA-256 (FIPS 180-4), fed in pieces of any size.
class Sha256 {
public:
    Sha256();
    void Add(const void* data, std::size_t size);
    // The digest of everything added; the object is used up afterwards.
    std::array<std::uint8_t, 32> Finish();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes added
};

// The digest as 64 lower-case hex digits.
std::string Sha256Hex(const std::array<std::uint8_t, 32>& digest);

// The digest of a whole file as hex, or empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace quennet
