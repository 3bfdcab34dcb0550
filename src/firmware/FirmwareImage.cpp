#include "firmware/FirmwareImage.h"

#include <algorithm>

namespace quennet {

void FirmwareImage::Erase() {
    std::fill(bytes_.begin(), bytes_.end(), kBlank);
    covered_.assign(covered_.size(), false);
}

void FirmwareImage::Reset(std::size_t size) {
    bytes_.assign(size, kBlank);
    covered_.assign(size, false);
}

void FirmwareImage::Place(std::size_t offset, const std::uint8_t* bytes, std::size_t n) {
    std::copy_n(bytes, n, bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
    std::fill_n(covered_.begin() + static_cast<std::ptrdiff_t>(offset), n, true);
}

bool FirmwareImage::HasCoverage(std::size_t begin, std::size_t length) const {
    if (begin >= covered_.size()) return false;
    const std::size_t end = begin + std::min(length, covered_.size() - begin);
    return std::find(covered_.begin() + static_cast<std::ptrdiff_t>(begin),
                     covered_.begin() + static_cast<std::ptrdiff_t>(end), true) !=
           covered_.begin() + static_cast<std::ptrdiff_t>(end);
}

bool FirmwareImage::HasData(std::size_t begin, std::size_t length) const {
    if (begin >= bytes_.size()) return false;
    const std::size_t end = begin + std::min(length, bytes_.size() - begin);
    return std::any_of(bytes_.begin() + static_cast<std::ptrdiff_t>(begin),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(end),
                       [](std::uint8_t b) { return b != kBlank; });
}

}  // namespace quennet
