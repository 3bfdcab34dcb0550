#include "firmware/FirmwareImage.h"

#include <algorithm>

namespace quennet {

void FirmwareImage::Erase() { std::fill(bytes_.begin(), bytes_.end(), kBlank); }

void FirmwareImage::Reset(std::size_t size) {
    bytes_.assign(size, kBlank);
}

bool FirmwareImage::HasData(std::size_t begin, std::size_t length) const {
    if (begin >= bytes_.size()) return false;
    const std::size_t end = begin + std::min(length, bytes_.size() - begin);
    return std::any_of(bytes_.begin() + static_cast<std::ptrdiff_t>(begin),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(end),
                       [](std::uint8_t b) { return b != kBlank; });
}

}  // namespace quennet
