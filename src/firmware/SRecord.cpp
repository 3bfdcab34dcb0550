#include "firmware/SRecord.h"

#include <algorithm>
#include <cstring>

#include "firmware/TextLines.h"

namespace quennet {

using firmware_text::AtLine;
using firmware_text::Format;

namespace {

// What a record type looks like: its address width (for a count record the
// width of its count), its checksum code, what it carries.
enum class RecordRole { Header, Data, Count, End };
struct RecordType {
    std::uint8_t type;
    RecordRole role;
    int addressBytes;
    int checksumCode;
    AddressKind kind;
};

constexpr RecordType kRecordTypes[] = {
    {'0', RecordRole::Header, 2, kSRecS0Checksum, AddressKind::FlashOffset},
    {'1', RecordRole::Data, 2, kSRecS1Checksum, AddressKind::FlashOffset},
    {'2', RecordRole::Data, 3, kSRecS2Checksum, AddressKind::FlashOffset},
    {'3', RecordRole::Data, 4, kSRecS3Checksum, AddressKind::Stm32Flash},
    {'5', RecordRole::Count, 2, kSRecOtherChecksum, AddressKind::FlashOffset},
    {'6', RecordRole::Count, 3, kSRecOtherChecksum, AddressKind::FlashOffset},
    {'7', RecordRole::End, 4, kSRecOtherChecksum, AddressKind::Stm32Flash},
    {'8', RecordRole::End, 3, kSRecOtherChecksum, AddressKind::FlashOffset},
    {'9', RecordRole::End, 2, kSRecOtherChecksum, AddressKind::FlashOffset},
};

const RecordType* FindRecordType(std::uint8_t type) {
    for (const RecordType& r : kRecordTypes)
        if (r.type == type) return &r;
    return nullptr;
}

bool IsWhiteSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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

int HexDigitValue(char c) { return firmware_text::HexValue(static_cast<std::uint8_t>(c)); }

std::size_t DecodeHexPairs(std::uint8_t* line, std::size_t length) {
    std::size_t out = 0;
    for (std::size_t in = 2; in + 1 < length; in += 2) {
        const int hi = firmware_text::HexValue(line[in]);
        const int lo = firmware_text::HexValue(line[in + 1]);
        if (hi < 0 || lo < 0) break;
        line[out++] = static_cast<std::uint8_t>(hi * 16 + lo);
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
    // An empty file would read as a good file that erases the target.
    if (std::all_of(text.begin(), text.end(), IsWhiteSpace)) return file.Fail(kSRecNotARecord, kFirmwareHoldsNoData);

    firmware_text::TextLines lines(text);
    std::span<const std::uint8_t> line;
    std::uint8_t record[kSRecMaxLineChars];
    std::uint64_t dataRecords = 0;
    // An end record after the last data record: the file was written whole.
    bool ended = false;
    while (lines.Next(line)) {
        const std::size_t number = lines.Number();
        line = firmware_text::TrimEnd(line);
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
        if (line.size() < 2) return file.Fail(kSRecNotARecord, AtLine(number, "an S without a record type"));
        const RecordType* type = FindRecordType(line[1]);
        if (!type)
            return file.Fail(kSRecNotARecord,
                             AtLine(number, "record type " + firmware_text::CharText(line[1]) +
                                                ", which is none of S0 to S3 and S5 to S9"));
        std::size_t bad = 2;
        while (bad < line.size() && firmware_text::HexValue(line[bad]) >= 0) ++bad;
        std::memcpy(record, line.data(), line.size());
        const std::size_t decoded = DecodeHexPairs(record, line.size());
        // The characters the count byte says the record has.
        const std::size_t recordChars = decoded == 0 ? line.size() : 2 + 2 * (std::size_t{record[0]} + 1);
        if (bad < std::min(recordChars, line.size()))
            return file.Fail(kSRecNotARecord,
                             AtLine(number, Format("column %llu: ", static_cast<unsigned long long>(bad + 1)) +
                                                firmware_text::CharText(line[bad]) + " is not a hex digit"));
        if (CheckRecordSum(record, decoded) != 0)
            return file.Fail(type->checksumCode, AtLine(number, SumProblem(type->type, record, decoded)));
        // Characters after the checksum: a digit slipped in, or a second
        // record on the same line. Either could give wrong bytes that pass.
        if (line.size() > recordChars)
            return file.Fail(kSRecNotARecord,
                             AtLine(number, Format("%llu characters after the record's checksum",
                                                   static_cast<unsigned long long>(line.size() - recordChars))));

        const std::size_t count = record[0];
        const std::size_t first = 1 + static_cast<std::size_t>(type->addressBytes);
        std::uint32_t address = 0;
        for (std::size_t i = 1; i < first && i < count; ++i) address = (address << 8) | record[i];
        switch (type->role) {
        case RecordRole::Header: break;
        case RecordRole::End: ended = true; break;
        case RecordRole::Count: {
            if (count < first)
                return file.Fail(kSRecWrongCount, AtLine(number, Format("the S%c record is too short for its count",
                                                                        static_cast<char>(type->type))));
            const std::uint64_t modulo = std::uint64_t{1} << (8 * type->addressBytes);
            if (address != dataRecords % modulo)
                return file.Fail(kSRecWrongCount,
                                 AtLine(number, Format("the S%c record counts %lu data records, the file has %llu "
                                                       "before it",
                                                       static_cast<char>(type->type), static_cast<unsigned long>(address),
                                                       static_cast<unsigned long long>(dataRecords))));
            break;
        }
        case RecordRole::Data:
            ++dataRecords;
            ended = false;
            // A count that leaves no room for data (or even the whole
            // address) is a record without data.
            if (count > first) file.Add(address, type->kind, record + first, count - first, number);
            break;
        }
    }
    if (!ended)
        file.warnings.push_back("the file ends without an end record (S7, S8 or S9) after its data; it may be cut short");
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
