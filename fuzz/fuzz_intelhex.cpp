// Intel HEX: whatever the reader accepts, written again by the small writer
// below and read back, gives the same bytes at the same addresses.
#include <algorithm>
#include <cstdio>
#include <string>

#include "FuzzCheck.h"

namespace {

using namespace quennet;

void Record(std::string& out, std::uint8_t type, std::uint16_t offset, const std::uint8_t* data, std::size_t n) {
    std::uint8_t sum = static_cast<std::uint8_t>(n + (offset >> 8) + (offset & 0xFF) + type);
    char hex[16];
    std::snprintf(hex, sizeof hex, ":%02X%04X%02X", static_cast<unsigned>(n), unsigned{offset}, unsigned{type});
    out += hex;
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%02X", unsigned{data[i]});
        out += hex;
        sum = static_cast<std::uint8_t>(sum + data[i]);
    }
    std::snprintf(hex, sizeof hex, "%02X\r\n", static_cast<unsigned>(static_cast<std::uint8_t>(-sum)));
    out += hex;
}

// Records of up to 32 bytes that never cross a 64 KiB segment, each segment
// opened by an extended linear address record.
std::string WriteIntelHex(const FirmwareFile& file) {
    std::string out;
    std::uint32_t upper = 0;
    for (const FirmwareChunk& chunk : file.chunks) {
        std::size_t k = 0;
        while (k < chunk.bytes.size()) {
            const std::uint32_t address = chunk.address + static_cast<std::uint32_t>(k);
            if ((address >> 16) != upper || out.empty()) {
                upper = address >> 16;
                const std::uint8_t word[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
                Record(out, 0x04, 0, word, 2);
            }
            const std::size_t room = 0x10000 - (address & 0xFFFF);
            const std::size_t n = std::min({chunk.bytes.size() - k, room, std::size_t{32}});
            Record(out, 0x00, static_cast<std::uint16_t>(address), chunk.bytes.data() + k, n);
            k += n;
        }
    }
    Record(out, 0x01, 0, nullptr, 0);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::CheckRoundTrip({data, size}, FirmwareFormat::IntelHex, ReadIntelHex, WriteIntelHex);
    return 0;
}
