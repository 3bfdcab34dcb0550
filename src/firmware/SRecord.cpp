#include "firmware/SRecord.h"

#include <cstring>

#include "firmware/TextLines.h"

namespace quennet {

using firmware_text::AtLine;
using firmware_text::Format;

namespace {

constexpr std::uint8_t kLf = '\n';

// What a data record type looks like: its address width, where its data
// start in the decoded record, its checksum code, how its address counts.
struct DataRecord {
    std::uint8_t type;
    int addressBytes;
    int checksumCode;
    AddressKind kind;
};

constexpr DataRecord kDataRecords[] = {
    {'1', 2, kSRecS1Checksum, AddressKind::FlashOffset},
    {'2', 3, kSRecS2Checksum, AddressKind::FlashOffset},
    {'3', 4, kSRecS3Checksum, AddressKind::Stm32Flash},
};

const DataRecord* FindDataRecord(std::uint8_t type) {
    for (const DataRecord& r : kDataRecords)
        if (r.type == type) return &r;
    return nullptr;
}

// Why a record failed CheckRecordSum.
std::string SumProblem(std::uint8_t type, const std::uint8_t* record, std::size_t decoded) {
    const char t = static_cast<char>(type);
    if (decoded == 0 || record[0] >= decoded)
        return Format("the S%c record is shorter than its count byte says (%u bytes counted, %u there)", t,
                      decoded == 0 ? 0u : unsigned{record[0]},
                      decoded == 0 ? 0u : static_cast<unsigned>(decoded - 1));
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < record[0]; ++i) sum = static_cast<std::uint8_t>(sum + record[i]);
    return Format("the S%c record fails its checksum (it ends in %02X, its bytes need %02X)", t,
                  unsigned{record[record[0]]}, static_cast<unsigned>(static_cast<std::uint8_t>(~sum)));
}

}  // namespace

std::uint8_t HexDigitValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') return static_cast<std::uint8_t>(u - '0');
    return static_cast<std::uint8_t>(u - 0x41 + 10);
}

std::size_t DecodeHexPairs(std::uint8_t* line, std::size_t length) {
    std::size_t out = 0;
    for (std::size_t in = 2; in + 1 < length; in += 2) {
        const std::uint8_t hi = line[in];
        const std::uint8_t lo = line[in + 1];
        if (hi == kLf || hi == 0 || lo == kLf || lo == 0) break;
        line[out++] = static_cast<std::uint8_t>(
            HexDigitValue(static_cast<char>(hi)) * 16 + HexDigitValue(static_cast<char>(lo)));
    }
    return out;
}

int CheckRecordSum(const std::uint8_t* record, std::size_t decoded) {
    if (decoded == 0) return 1;
    const std::size_t count = record[0];
    if (count >= decoded) return 1;  // the checksum byte was never decoded
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + record[i]);
    return static_cast<std::uint8_t>(~sum) == record[count] ? 0 : 1;
}

FirmwareFile ReadSRecords(std::span<const std::uint8_t> text) {
    FirmwareFile file;
    file.format = FirmwareFormat::SRecord;
    firmware_text::TextLines lines(text);
    std::span<const std::uint8_t> line;
    std::uint8_t record[kSRecMaxLineChars];
    while (lines.Next(line)) {
        const std::size_t number = lines.Number();
        if (line.size() > kSRecMaxLineChars)
            return file.Fail(kSRecNotARecord,
                             AtLine(number, Format("%llu characters, more than any S-record has (%llu)",
                                                   static_cast<unsigned long long>(line.size()),
                                                   static_cast<unsigned long long>(kSRecMaxLineChars))));
        if (line.empty()) return file.Fail(kSRecNotARecord, AtLine(number, "an empty line, where a record should be"));
        if (line[0] != 'S')
            return file.Fail(kSRecNotARecord,
                             AtLine(number, "starts with " + firmware_text::CharText(line[0]) +
                                                ", not with the S of a record"));
        const std::uint8_t type = line.size() > 1 ? line[1] : 0;
        const DataRecord* data = FindDataRecord(type);
        // Only S0 to S3 are checked; the others carry no data and are
        // passed over as they stand.
        if (type != '0' && !data) continue;

        std::memcpy(record, line.data(), line.size());
        const std::size_t decoded = DecodeHexPairs(record, line.size());
        if (CheckRecordSum(record, decoded) != 0)
            return file.Fail(data ? data->checksumCode : kSRecS0Checksum,
                             AtLine(number, SumProblem(type, record, decoded)));
        if (!data) continue;
        // A count that leaves no room for data (or even the whole address)
        // is a record without data.
        const std::size_t count = record[0];
        const std::size_t first = 1 + static_cast<std::size_t>(data->addressBytes);
        if (count <= first) continue;
        std::uint32_t address = 0;
        for (std::size_t i = 1; i < first; ++i) address = (address << 8) | record[i];
        file.Add(address, data->kind, record + first, count - first, number);
    }
    return file;
}

int LoadSRecordFile(const std::string& path, FirmwareImage& image) {
    std::vector<std::uint8_t> bytes;
    std::string problem;
    if (!ReadWholeFile(path, bytes, problem)) return kSRecCannotOpen;
    const FirmwareFile file = ReadSRecords(bytes);
    // The data read before a fault are placed first: a record outside the
    // image that comes before the fault ends the reading there, as it does
    // when the file is taken record by record.
    if (!PlaceFirmware(file, FlashWindow{kStm32FlashBase, image.size()}, image).empty())
        return kSRecOutsideImage;
    return file.code;
}

}  // namespace quennet
