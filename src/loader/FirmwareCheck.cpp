#include "loader/FirmwareCheck.h"

#include <cctype>

#include "loader/Loader.h"

namespace quennet {

FlashWindow TargetFlashWindow(const LoaderTarget& target) {
    if (target.program == &TargetSequences::programMsp430) return kMsp430FlashWindow;
    if (target.program == &TargetSequences::programStm32) return kStm32FlashWindow;
    if (target.program == &TargetSequences::programStm32Any) return kStm32AnyFlashWindow;
    return FlashWindow{};
}

std::string LoadFirmwareFor(const std::string& path, std::optional<std::uint32_t> binaryAddress,
                            const FlashWindow& window, FirmwareFile& file, FirmwareImage& image) {
    file = ReadFirmwareFile(path, binaryAddress);
    // Data read before a fault are placed too, so that data outside the
    // window are named when they come first in the file.
    std::string outside = PlaceFirmware(file, window, image);
    if (!outside.empty()) return outside;
    return file.problem;
}

std::string FirmwareRefusal(const std::string& path, const std::string& reason) {
    if (path.empty()) return "no firmware file given";
    return "firmware file " + path + ": " + reason;
}

bool NamesRawBinary(const std::string& path) {
    static constexpr char kBin[] = ".bin";
    constexpr std::size_t n = sizeof kBin - 1;
    if (path.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(path[path.size() - n + i])) != kBin[i]) return false;
    return true;
}

std::uint32_t ProposedBinaryAddress(const LoaderTarget& target, std::uint64_t fileSize) {
    const FlashWindow window = TargetFlashWindow(target);
    if (target.program == &TargetSequences::programMsp430 && fileSize > 0 && fileSize <= window.size)
        return static_cast<std::uint32_t>(window.base + window.size - fileSize);
    return window.base;
}

}  // namespace quennet
