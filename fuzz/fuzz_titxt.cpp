// TI-TXT: whatever the reader accepts, written again by the small writer
// below and read back, gives the same bytes at the same addresses.
#include <cstdio>
#include <string>

#include "FuzzCheck.h"

namespace {

using namespace quennet;

// An @address line per chunk, 16 bytes a line, q at the end.
std::string WriteTiTxt(const FirmwareFile& file) {
    std::string out;
    char hex[16];
    for (const FirmwareChunk& chunk : file.chunks) {
        std::snprintf(hex, sizeof hex, "@%X\n", chunk.address);
        out += hex;
        for (std::size_t k = 0; k < chunk.bytes.size(); ++k) {
            std::snprintf(hex, sizeof hex, "%02X", unsigned{chunk.bytes[k]});
            out += hex;
            out += (k % 16 == 15 || k + 1 == chunk.bytes.size()) ? "\n" : " ";
        }
    }
    return out + "q\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FirmwareFile file = ReadTiTxt({data, size});
    FUZZ_CHECK(file.format == FirmwareFormat::TiTxt, "format %d", static_cast<int>(file.format));
    FUZZ_CHECK(file.ok() == file.problem.empty(), "code %d, problem \"%s\"", file.code, file.problem.c_str());
    for (const FirmwareChunk& chunk : file.chunks)
        FUZZ_CHECK(std::uint64_t{chunk.address} + chunk.bytes.size() <= 0x100000000ull, "chunk at %08X runs past 4 GiB",
                   chunk.address);
    if (!file.ok()) return 0;
    const std::string text = WriteTiTxt(file);
    const FirmwareFile again = ReadTiTxt({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    FUZZ_CHECK(again.ok(), "the written file is refused: %s", again.problem.c_str());
    FUZZ_CHECK(fuzz::Flatten(again) == fuzz::Flatten(file), "%zu bytes read back, %zu written",
               again.DataBytes(), file.DataBytes());
    return 0;
}
