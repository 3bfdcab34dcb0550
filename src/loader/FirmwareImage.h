#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quennet {

// A flat picture of the target's flash, indexed by target offset: the MSP430
// address itself, or an STM32 flash address minus 0x08000000. Erased flash
// reads 0xFF, so a byte counts as data exactly when it is not 0xFF; there is
// no other bookkeeping. The storage is allocated once, when the image is made.
class FirmwareImage {
public:
    static constexpr std::size_t kSize = 0x80000;  // 512 KiB
    static constexpr std::uint8_t kBlank = 0xFF;

    FirmwareImage() : bytes_(kSize, kBlank) {}

    std::uint8_t& operator[](std::size_t offset) { return bytes_[offset]; }
    std::uint8_t operator[](std::size_t offset) const { return bytes_[offset]; }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    static constexpr std::size_t size() { return kSize; }

    // Every byte back to blank.
    void Erase();
    // True when any byte of [begin, begin + length) is not blank; the range
    // is clipped to the image.
    bool HasData(std::size_t begin, std::size_t length) const;

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace quennet
