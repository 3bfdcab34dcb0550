// The S-record reader against a model of the record rules written here from
// the format's description: the same faults at the same lines, the same
// data bytes at the same places, and the warning for a file that may be cut
// short exactly when no end record follows the last data record.
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "firmware/SRecord.h"

namespace {

using namespace quennet;
using quennet::fuzz::PlacedByte;

struct Model {
    int code = 0;
    std::size_t line = 0;  // of the fault; 0 for a file without records
    bool cutShort = false;  // read, with the warning that it may be cut short
    std::vector<PlacedByte> bytes;
};

int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The lines of the text: an LF, a CR LF (with any more CRs before the LF)
// or a CR on its own ends a line.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\n' && c != '\r') {
            line += c;
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && text[j] == '\r') ++j;
        i = c == '\r' && j < text.size() && text[j] == '\n' ? j + 1 : i + 1;
        lines.push_back(line);
        line.clear();
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

Model RunModel(const std::uint8_t* data, std::size_t size) {
    Model m;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        m.code = 5;
        return m;
    }
    std::uint64_t records = 0;
    bool ended = false;
    std::size_t number = 0;
    for (std::string line : Lines(text)) {
        ++number;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
        auto fail = [&](int code) {
            m.code = code;
            m.line = number;
            return m;
        };
        if (line.size() > 514 || line.empty() || line[0] != 'S' || line.size() < 2) return fail(5);
        const char type = line[1];
        if (type < '0' || type > '9' || type == '4') return fail(5);
        std::size_t bad = 2;
        while (bad < line.size() && Digit(line[bad]) >= 0) ++bad;
        std::vector<unsigned> record;
        for (std::size_t i = 2; i + 1 < bad; i += 2)
            record.push_back(static_cast<unsigned>(Digit(line[i]) * 16 + Digit(line[i + 1])));
        // A character that is no digit is the fault unless the record as its
        // count gives it ends before it.
        if (bad < line.size() && (record.empty() || bad < 2 + 2 * (record[0] + 1))) return fail(5);
        const int sumCode = type == '0' ? 2 : type == '1' ? 4 : type == '2' ? 7 : type == '3' ? 6 : 8;
        if (record.empty() || record[0] >= record.size()) return fail(sumCode);
        unsigned sum = 0;
        for (unsigned i = 0; i < record[0]; ++i) sum += record[i];
        if ((~sum & 0xFF) != record[record[0]]) return fail(sumCode);
        if (line.size() > 2 + 2 * (record[0] + 1)) return fail(5);
        if (type >= '7') {
            ended = true;
            continue;
        }
        if (type == '0') continue;
        const unsigned addressBytes = type == '5' ? 2 : type == '6' ? 3 : static_cast<unsigned>(type - '0') + 1;
        std::uint64_t address = 0;
        for (unsigned i = 1; i <= addressBytes && i < record[0]; ++i) address = address << 8 | record[i];
        if (type == '5' || type == '6') {
            if (record[0] < addressBytes + 1 || address != records % (std::uint64_t{1} << (8 * addressBytes)))
                return fail(9);
            continue;
        }
        ++records;
        ended = false;
        const AddressKind kind = type == '3' ? AddressKind::Stm32Flash : AddressKind::FlashOffset;
        for (unsigned i = 1 + addressBytes; i < record[0]; ++i)
            m.bytes.emplace_back(kind, address + (i - 1 - addressBytes), static_cast<std::uint8_t>(record[i]));
    }
    m.cutShort = !ended;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FirmwareFile file = ReadSRecords({data, size});
    const Model model = RunModel(data, size);
    FUZZ_CHECK(file.code == model.code, "code %d, the rules give %d", file.code, model.code);
    FUZZ_CHECK(fuzz::Flatten(file) == model.bytes, "%zu data bytes, the rules give %zu",
               fuzz::Flatten(file).size(), model.bytes.size());
    if (model.code != 0 && model.line == 0) {
        FUZZ_CHECK(file.problem == "holds no data", "problem \"%s\" for a file without records", file.problem.c_str());
    } else if (model.code != 0) {
        const std::string where = "line " + std::to_string(model.line) + ": ";
        FUZZ_CHECK(file.problem.compare(0, where.size(), where) == 0, "problem \"%s\", fault on %s",
                   file.problem.c_str(), where.c_str());
    } else {
        FUZZ_CHECK(file.problem.empty(), "problem \"%s\" without a fault", file.problem.c_str());
        FUZZ_CHECK(file.warnings.empty() != model.cutShort, "%zu warnings, cut short %d", file.warnings.size(),
                   model.cutShort);
    }
    return 0;
}
