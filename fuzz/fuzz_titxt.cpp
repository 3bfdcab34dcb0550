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
    fuzz::CheckRoundTrip({data, size}, FirmwareFormat::TiTxt, ReadTiTxt, WriteTiTxt);
    return 0;
}
