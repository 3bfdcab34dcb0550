// TI-TXT, as MSP430 tools write it: "@ADDR" lines set the address (hex),
// the lines after them hold hex byte pairs separated by blanks, and a line
// "q" ends the file.
#include <cstdint>
#include <vector>

#include "firmware/FirmwareFile.h"
#include "firmware/TextLines.h"

namespace quennet {

using firmware_text::AtLine;
using firmware_text::Format;

namespace {

bool IsEnd(std::span<const std::uint8_t> line) {
    return line.size() == 1 && (line[0] == 'q' || line[0] == 'Q');
}

}  // namespace

FirmwareFile ReadTiTxt(std::span<const std::uint8_t> text) {
    FirmwareFile file;
    file.format = FirmwareFormat::TiTxt;
    firmware_text::TextLines lines(text);
    std::span<const std::uint8_t> line;
    std::vector<std::uint8_t> bytes;
    bool haveAddress = false;
    std::uint64_t address = 0;  // where the next byte goes
    std::size_t endLine = 0;

    while (lines.Next(line)) {
        const std::size_t number = lines.Number();
        line = firmware_text::TrimEnd(line);
        std::size_t i = 0;
        while (i < line.size() && firmware_text::IsBlank(line[i])) ++i;
        line = line.subspan(i);
        if (line.empty()) continue;
        if (endLine != 0)
            return file.Fail(1, AtLine(number, Format("text after the closing q of line %llu",
                                                      static_cast<unsigned long long>(endLine))));
        if (IsEnd(line)) {
            endLine = number;
            continue;
        }
        if (line[0] == '@') {
            if (line.size() < 2 || line.size() > 9)
                return file.Fail(1, AtLine(number, "an address line holds 1 to 8 hex digits after '@'"));
            std::uint32_t value = 0;
            for (std::size_t k = 1; k < line.size(); ++k) {
                const int digit = firmware_text::HexValue(line[k]);
                if (digit < 0)
                    return file.Fail(1, AtLine(number, firmware_text::CharText(line[k]) +
                                                           " in an address, which takes hex digits only"));
                value = (value << 4) | static_cast<std::uint32_t>(digit);
            }
            address = value;
            haveAddress = true;
            continue;
        }
        if (!haveAddress)
            return file.Fail(1, AtLine(number, "data before the first @address line"));
        bytes.clear();
        for (std::size_t k = 0; k < line.size();) {
            if (firmware_text::IsBlank(line[k])) {
                ++k;
                continue;
            }
            const int hi = firmware_text::HexValue(line[k]);
            const int lo = k + 1 < line.size() ? firmware_text::HexValue(line[k + 1]) : -1;
            const bool ends = k + 2 >= line.size() || firmware_text::IsBlank(line[k + 2]);
            if (hi < 0 || lo < 0 || !ends)
                return file.Fail(1, AtLine(number, Format("column %llu: a byte is two hex digits, "
                                                          "separated from the next by a blank",
                                                          static_cast<unsigned long long>(k + 1 + i))));
            bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            k += 2;
        }
        if (address + bytes.size() > 0x100000000ull)
            return file.Fail(1, AtLine(number, "the data run past address 0xFFFFFFFF"));
        file.Add(static_cast<std::uint32_t>(address), AddressKind::Absolute, bytes.data(), bytes.size(), number);
        address += bytes.size();
    }
    if (endLine == 0) {
        const std::string what = "the file ends without its closing q line";
        return file.Fail(1, lines.Number() == 0 ? what : AtLine(lines.Number(), what));
    }
    return file;
}

}  // namespace quennet
