#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quennet {

// A flat picture of the target's flash, indexed by offset from the flash's
// first address (the MSP430 address itself, or an STM32 flash address minus
// 0x08000000). Erased flash reads 0xFF, so a byte counts as data exactly when
// it is not 0xFF. Beside the values it keeps which offsets a file gave a
// value, 0xFF included: a file that sets bytes to 0xFF asks for erased
// flash there, which a target that erases only what a file touches must
// erase and may read back. Its size is that of the flash it stands for,
// 512 KiB unless set otherwise.
class FirmwareImage {
public:
    static constexpr std::size_t kDefaultSize = 0x80000;  // 512 KiB
    static constexpr std::uint8_t kBlank = 0xFF;

    explicit FirmwareImage(std::size_t size = kDefaultSize) : bytes_(size, kBlank), covered_(size, false) {}

    std::uint8_t& operator[](std::size_t offset) { return bytes_[offset]; }
    std::uint8_t operator[](std::size_t offset) const { return bytes_[offset]; }
    std::uint8_t* data() { return bytes_.data(); }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return bytes_.size(); }

    // Every byte back to blank, and nothing covered.
    void Erase();
    // A blank image of another size.
    void Reset(std::size_t size);
    // True when any byte of [begin, begin + length) is not blank; the range
    // is clipped to the image.
    bool HasData(std::size_t begin, std::size_t length) const;

    // Stores n bytes from offset (which the caller keeps inside the image)
    // and marks them covered.
    void Place(std::size_t offset, const std::uint8_t* bytes, std::size_t n);
    bool Covered(std::size_t offset) const { return offset < covered_.size() && covered_[offset]; }
    // True when the file gave any offset of [begin, begin + length) a
    // value; the range is clipped to the image.
    bool HasCoverage(std::size_t begin, std::size_t length) const;

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<bool> covered_;
};

}  // namespace quennet
