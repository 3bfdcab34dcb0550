// The S-record reader against a model of the record rules written here from
// the format's description: the same faults at the same lines and the same
// data bytes at the same places.
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "firmware/SRecord.h"

namespace {

using namespace quennet;
using quennet::fuzz::PlacedByte;

struct Model {
    int code = 0;
    std::size_t line = 0;  // of the fault
    std::vector<PlacedByte> bytes;
};

// A character's digit value as the reader takes it: right for 0-9 and A-F,
// some other 8-bit value for everything else.
unsigned Digit(unsigned char c) {
    return c >= '0' && c <= '9' ? c - '0' : static_cast<unsigned char>(c - 'A' + 10);
}

Model RunModel(const std::uint8_t* data, std::size_t size) {
    Model m;
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0, number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto fail = [&](int code) {
            m.code = code;
            m.line = number;
            return m;
        };
        if (line.size() > 514 || line.empty() || line[0] != 'S') return fail(5);
        const char type = line.size() > 1 ? line[1] : '\0';
        if (type < '0' || type > '3') continue;
        std::vector<unsigned> record;
        for (std::size_t i = 2; i + 1 < line.size(); i += 2) {
            if (line[i] == '\0' || line[i + 1] == '\0') break;
            record.push_back((Digit(line[i]) * 16 + Digit(line[i + 1])) & 0xFF);
        }
        const int sumCode[] = {2, 4, 7, 6};
        if (record.empty() || record[0] >= record.size()) return fail(sumCode[type - '0']);
        unsigned sum = 0;
        for (unsigned i = 0; i < record[0]; ++i) sum += record[i];
        if ((~sum & 0xFF) != record[record[0]]) return fail(sumCode[type - '0']);
        if (type == '0') continue;
        const unsigned addressBytes = static_cast<unsigned>(type - '0') + 1;
        std::uint64_t address = 0;
        for (unsigned i = 1; i <= addressBytes && i < record[0]; ++i) address = address << 8 | record[i];
        const AddressKind kind = type == '3' ? AddressKind::Stm32Flash : AddressKind::FlashOffset;
        for (unsigned i = 1 + addressBytes; i < record[0]; ++i)
            m.bytes.emplace_back(kind, address + (i - 1 - addressBytes), static_cast<std::uint8_t>(record[i]));
    }
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FirmwareFile file = ReadSRecords({data, size});
    const Model model = RunModel(data, size);
    FUZZ_CHECK(file.code == model.code, "code %d, the rules give %d", file.code, model.code);
    FUZZ_CHECK(fuzz::Flatten(file) == model.bytes, "%zu data bytes, the rules give %zu",
               fuzz::Flatten(file).size(), model.bytes.size());
    if (model.code != 0) {
        const std::string where = "line " + std::to_string(model.line) + ": ";
        FUZZ_CHECK(file.problem.compare(0, where.size(), where) == 0, "problem \"%s\", fault on %s",
                   file.problem.c_str(), where.c_str());
    } else {
        FUZZ_CHECK(file.problem.empty(), "problem \"%s\" without a fault", file.problem.c_str());
    }
    return 0;
}
