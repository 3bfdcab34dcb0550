#pragma once
// What every fuzz target shares: a failed property stops the run with a
// message, so that libFuzzer keeps the input that broke it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "firmware/FirmwareFile.h"

#define FUZZ_CHECK(condition, ...)                                                   \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "property broken at %s:%d: %s\n  ", __FILE__, __LINE__, \
                         #condition);                                                 \
            std::fprintf(stderr, __VA_ARGS__);                                        \
            std::fputc('\n', stderr);                                                 \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

namespace quennet::fuzz {

// One data byte where a file puts it.
using PlacedByte = std::tuple<AddressKind, std::uint64_t, std::uint8_t>;

// The bytes of a file's chunks one by one, in file order.
inline std::vector<PlacedByte> Flatten(const FirmwareFile& file) {
    std::vector<PlacedByte> out;
    for (const FirmwareChunk& chunk : file.chunks)
        for (std::size_t k = 0; k < chunk.bytes.size(); ++k)
            out.emplace_back(chunk.kind, std::uint64_t{chunk.address} + k, chunk.bytes[k]);
    return out;
}

// A text reader's result: its format, a problem exactly when it failed,
// every chunk of absolute addresses within 32 bits; and, when it read the
// whole file, the same bytes again from what the writer makes of them.
template <typename Reader, typename Writer>
void CheckRoundTrip(std::span<const std::uint8_t> input, FirmwareFormat format, Reader read, Writer write) {
    const FirmwareFile file = read(input);
    FUZZ_CHECK(file.format == format, "format %d", static_cast<int>(file.format));
    FUZZ_CHECK(file.ok() == file.problem.empty(), "code %d, problem \"%s\"", file.code, file.problem.c_str());
    for (const FirmwareChunk& chunk : file.chunks) {
        FUZZ_CHECK(chunk.kind == AddressKind::Absolute && !chunk.bytes.empty(), "chunk at %08X", chunk.address);
        FUZZ_CHECK(std::uint64_t{chunk.address} + chunk.bytes.size() <= 0x100000000ull,
                   "chunk at %08X runs past 4 GiB", chunk.address);
    }
    if (!file.ok()) return;
    const std::string text = write(file);
    const FirmwareFile again = read({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    FUZZ_CHECK(again.ok(), "the written file is refused: %s", again.problem.c_str());
    FUZZ_CHECK(Flatten(again) == Flatten(file), "%zu bytes read back, %zu written", again.DataBytes(),
               file.DataBytes());
}

// Reads a little-endian number from the front of the input, consuming it;
// zero when the input is used up.
template <typename T>
T Take(std::span<const std::uint8_t>& input) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T) && !input.empty(); ++i) {
        value = static_cast<T>(value | (static_cast<T>(input[0]) << (8 * i)));
        input = input.subspan(1);
    }
    return value;
}

}  // namespace quennet::fuzz
