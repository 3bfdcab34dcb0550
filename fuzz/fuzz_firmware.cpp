// Any bytes as a firmware file (ELF, raw binary, or whatever the content
// says), placed into a flash window: the format is the one detected, a raw
// binary is its bytes at its address, an ELF file gives no more bytes than
// it holds, and the image is what storing the chunks byte by byte gives.
#include <algorithm>
#include <optional>

#include "FuzzCheck.h"

namespace {

using namespace quennet;

// Where the window's offset 0 lies in a chunk's own address terms.
std::uint64_t Origin(AddressKind kind, const FlashWindow& window) {
    if (kind == AddressKind::FlashOffset) return 0;
    if (kind == AddressKind::Stm32Flash) return kStm32FlashBase;
    return window.base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const std::uint8_t mode = fuzz::Take<std::uint8_t>(input);
    FlashWindow window;
    window.base = fuzz::Take<std::uint32_t>(input);
    window.size = fuzz::Take<std::uint16_t>(input);
    std::optional<std::uint32_t> address;
    if (mode & 1) address = fuzz::Take<std::uint32_t>(input);
    // Most inputs are taken as ELF files: the other readers have targets
    // of their own.
    std::vector<std::uint8_t> bytes;
    if (mode & 2) {
        static constexpr std::uint8_t kElf[] = {0x7F, 'E', 'L', 'F'};
        bytes.assign(std::begin(kElf), std::end(kElf));
    }
    bytes.insert(bytes.end(), input.begin(), input.end());

    const FirmwareFile file = ReadFirmware(bytes, address);
    const FirmwareFormat detected = DetectFirmwareFormat(bytes);
    FUZZ_CHECK(file.ok() == file.problem.empty(), "code %d, problem \"%s\"", file.code, file.problem.c_str());
    if (address) {
        FUZZ_CHECK(file.format == FirmwareFormat::RawBinary, "format %d with an address", static_cast<int>(file.format));
        if (file.ok()) {
            std::vector<std::uint8_t> all;
            for (const FirmwareChunk& chunk : file.chunks) {
                FUZZ_CHECK(chunk.address == *address + all.size(), "raw chunk at %08X", chunk.address);
                all.insert(all.end(), chunk.bytes.begin(), chunk.bytes.end());
            }
            FUZZ_CHECK(all == bytes, "raw binary of %zu bytes gives %zu", bytes.size(), all.size());
        }
    } else {
        FUZZ_CHECK(file.format == detected || (detected == FirmwareFormat::Unknown && !file.ok()),
                   "format %d, detected %d", static_cast<int>(file.format), static_cast<int>(detected));
    }
    if (file.format == FirmwareFormat::Elf)
        FUZZ_CHECK(file.DataBytes() <= bytes.size(), "%zu data bytes from a file of %zu", file.DataBytes(),
                   bytes.size());
    for (const FirmwareChunk& chunk : file.chunks)
        FUZZ_CHECK(!chunk.bytes.empty() && std::uint64_t{chunk.address} + chunk.bytes.size() <= 0x100000000ull,
                   "chunk at %08X of %zu bytes", chunk.address, chunk.bytes.size());

    FirmwareImage image(0);
    const std::string problem = PlaceFirmware(file, window, image);
    FUZZ_CHECK(image.size() == window.size, "image of %zu bytes for a window of %zu", image.size(), window.size);
    std::vector<std::uint8_t> expected(window.size, FirmwareImage::kBlank);
    bool outside = false;
    for (const FirmwareChunk& chunk : file.chunks) {
        const std::uint64_t origin = Origin(chunk.kind, window);
        for (std::size_t k = 0; k < chunk.bytes.size() && !outside; ++k) {
            const std::uint64_t at = std::uint64_t{chunk.address} + k;
            if (at < origin || at - origin >= window.size)
                outside = true;
            else
                expected[at - origin] = chunk.bytes[k];
        }
        if (outside) break;
    }
    FUZZ_CHECK(outside == !problem.empty(), "outside %d, problem \"%s\"", outside, problem.c_str());
    FUZZ_CHECK(std::equal(expected.begin(), expected.end(), image.data()), "image differs from the chunks");
    return 0;
}
