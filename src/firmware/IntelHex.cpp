// Intel HEX: ":LLAAAATT" then LL data bytes and a checksum that makes the sum
// of every byte of the record zero. Types 00 (data), 01 (end of file), 02
// (extended segment address: base = value * 16), 03 (start segment address),
// 04 (extended linear address: base = value * 65536) and 05 (start linear
// address). The start addresses say where execution begins and hold no flash
// data.
#include <cstdint>

#include "firmware/FirmwareFile.h"
#include "firmware/TextLines.h"

namespace quennet {

using firmware_text::AtLine;
using firmware_text::Format;

namespace {

enum RecordType : std::uint8_t {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegment = 0x02,
    kStartSegment = 0x03,
    kExtendedLinear = 0x04,
    kStartLinear = 0x05,
};

// Length, address, type, 255 data bytes at most, checksum.
constexpr std::size_t kMaxRecordBytes = 4 + 255 + 1;

// The data length each non-data type must have.
int RequiredLength(std::uint8_t type) {
    switch (type) {
    case kEndOfFile: return 0;
    case kExtendedSegment:
    case kExtendedLinear: return 2;
    case kStartSegment:
    case kStartLinear: return 4;
    default: return -1;
    }
}

// A record of hex digits shorter than its own length byte asks, at the very
// end of the file with no line end after it: the file was cut off while it
// was written or copied. Empty when the record is wrong in another way.
std::string CutOff(std::span<const std::uint8_t> line, std::span<const std::uint8_t> text) {
    if (line.data() + line.size() != text.data() + text.size()) return {};
    for (std::size_t i = 1; i < line.size(); ++i)
        if (firmware_text::HexValue(line[i]) < 0) return {};
    const std::size_t digits = line.size() - 1;
    if (digits < 2) return "the file ends early, inside a record";
    const std::size_t needed =
        2 * (static_cast<std::size_t>(firmware_text::HexValue(line[1]) * 16 + firmware_text::HexValue(line[2])) + 5);
    if (digits >= needed) return {};
    return Format("the file ends early, inside a record (%llu of its %llu hex digits)",
                  static_cast<unsigned long long>(digits), static_cast<unsigned long long>(needed));
}

}  // namespace

FirmwareFile ReadIntelHex(std::span<const std::uint8_t> text) {
    FirmwareFile file;
    file.format = FirmwareFormat::IntelHex;
    firmware_text::TextLines lines(text);
    std::span<const std::uint8_t> line;
    std::uint8_t record[kMaxRecordBytes];
    std::uint32_t base = 0;
    std::size_t endLine = 0;

    while (lines.Next(line)) {
        const std::size_t number = lines.Number();
        line = firmware_text::TrimEnd(line);
        if (line.empty()) continue;
        if (endLine != 0)
            return file.Fail(1, AtLine(number, Format("a record after the end-of-file record of line %llu",
                                                      static_cast<unsigned long long>(endLine))));
        if (line[0] != ':')
            return file.Fail(1, AtLine(number, "starts with " + firmware_text::CharText(line[0]) +
                                                   ", not with the ':' of a record"));
        const std::size_t digits = line.size() - 1;
        if (const std::string cut = CutOff(line, text); !cut.empty()) return file.Fail(1, AtLine(number, cut));
        if (digits % 2 != 0 || digits < 10 || digits / 2 > kMaxRecordBytes)
            return file.Fail(1, AtLine(number, Format("%llu hex digits after ':', which no record has "
                                                      "(an even number from 10 to 520)",
                                                      static_cast<unsigned long long>(digits))));
        const std::size_t n = digits / 2;
        for (std::size_t i = 0; i < n; ++i) {
            const int hi = firmware_text::HexValue(line[1 + 2 * i]);
            const int lo = firmware_text::HexValue(line[2 + 2 * i]);
            if (hi < 0 || lo < 0) {
                const std::size_t column = hi < 0 ? 2 + 2 * i : 3 + 2 * i;
                return file.Fail(1, AtLine(number, Format("column %llu: ", static_cast<unsigned long long>(column)) +
                                                       firmware_text::CharText(line[column - 1]) +
                                                       " is not a hex digit"));
            }
            record[i] = static_cast<std::uint8_t>(hi * 16 + lo);
        }
        const std::size_t length = record[0];
        if (n != length + 5)
            return file.Fail(1, AtLine(number, Format("the record holds %llu data bytes, its length says %llu",
                                                      static_cast<unsigned long long>(n - 5),
                                                      static_cast<unsigned long long>(length))));
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i + 1 < n; ++i) sum = static_cast<std::uint8_t>(sum + record[i]);
        const std::uint8_t need = static_cast<std::uint8_t>(-sum);
        if (record[n - 1] != need)
            return file.Fail(1, AtLine(number, Format("the record fails its checksum (it ends in %02X, its "
                                                      "bytes need %02X)",
                                                      unsigned{record[n - 1]}, unsigned{need})));

        const std::uint32_t offset = (std::uint32_t{record[1]} << 8) | record[2];
        const std::uint8_t type = record[3];
        const std::uint8_t* data = record + 4;
        if (type == kData) {
            // The offset counts within a 64 KiB segment; data that would run
            // over its end wrap to its start by the format's rule, which is
            // seldom what the writer meant. Tools start a new segment there.
            if (offset + length > 0x10000)
                return file.Fail(1, AtLine(number, Format("the data run past the end of the 64 KiB segment at "
                                                          "%s (offset %04X, %llu bytes)",
                                                          FormatFlashAddress(base).c_str(), unsigned{offset},
                                                          static_cast<unsigned long long>(length))));
            file.Add(base + offset, AddressKind::Absolute, data, length, number);
            continue;
        }
        const int required = RequiredLength(type);
        if (required < 0)
            return file.Fail(1, AtLine(number, Format("record type %02X, which is none of 00 to 05", unsigned{type})));
        if (static_cast<int>(length) != required)
            return file.Fail(1, AtLine(number, Format("a type %02X record holds %d data bytes, not %llu",
                                                      unsigned{type}, required,
                                                      static_cast<unsigned long long>(length))));
        const std::uint32_t word = length >= 2 ? (std::uint32_t{data[0]} << 8) | data[1] : 0;
        switch (type) {
        case kEndOfFile: endLine = number; break;
        case kExtendedSegment: base = word << 4; break;
        case kExtendedLinear: base = word << 16; break;
        default: break;  // a start address: no flash data
        }
    }
    if (endLine == 0) {
        const std::string what = "the file ends early: no end-of-file record (:00000001FF)";
        return file.Fail(1, lines.Number() == 0 ? what : AtLine(lines.Number(), what));
    }
    return file;
}

}  // namespace quennet
