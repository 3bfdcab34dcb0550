#include "firmware/FirmwareWriter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace quennet {

namespace {

constexpr std::size_t kRecordData = 32;

std::string Hex2(unsigned v) {
    static const char* digits = "0123456789ABCDEF";
    return {digits[(v >> 4) & 0xF], digits[v & 0xF]};
}

void IntelRecord(std::string& out, std::uint8_t type, std::uint16_t offset, const std::uint8_t* data, std::size_t n) {
    unsigned sum = static_cast<unsigned>(n) + (offset >> 8) + (offset & 0xFF) + type;
    out += ':' + Hex2(static_cast<unsigned>(n)) + Hex2(offset >> 8) + Hex2(offset & 0xFF) + Hex2(type);
    for (std::size_t i = 0; i < n; ++i) {
        out += Hex2(data[i]);
        sum += data[i];
    }
    out += Hex2((0x100 - (sum & 0xFF)) & 0xFF) + "\r\n";
}

std::string Lower(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

bool EndsWith(const std::string& s, const char* end) {
    const std::size_t n = std::strlen(end);
    return s.size() > n && s.compare(s.size() - n, n, end) == 0;
}

std::string SystemReason() { return std::string("(") + std::strerror(errno) + ")"; }

}  // namespace

WriteFormat WriteFormatForName(const std::string& path) {
    const std::string name = Lower(path);
    if (EndsWith(name, ".bin")) return WriteFormat::RawBinary;
    if (EndsWith(name, ".hex")) return WriteFormat::IntelHex;
    for (const char* end : {".s19", ".s28", ".s37", ".srec"})
        if (EndsWith(name, end)) return WriteFormat::SRecord;
    return WriteFormat::Unknown;
}

const char* WriteFormatNames() { return ".bin, .hex, .s19, .s28, .s37 or .srec"; }

std::string SRecordLine(char type, std::uint32_t address, int addressBytes, const std::uint8_t* data,
                        std::size_t n) {
    const unsigned count = static_cast<unsigned>(addressBytes + n + 1);
    std::string line = std::string("S") + type + Hex2(count);
    unsigned sum = count;
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned b = (address >> (8 * i)) & 0xFF;
        line += Hex2(b);
        sum += b;
    }
    for (std::size_t i = 0; i < n; ++i) {
        line += Hex2(data[i]);
        sum += data[i];
    }
    return line + Hex2(~sum & 0xFF) + "\n";
}

std::string WriteIntelHex(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::string out;
    bool opened = false;
    std::uint32_t upper = 0;
    std::size_t k = 0;
    while (k < bytes.size()) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(k);
        if (!opened || (at >> 16) != upper) {
            opened = true;
            upper = at >> 16;
            const std::uint8_t word[2] = {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)};
            IntelRecord(out, 0x04, 0, word, 2);
        }
        const std::size_t room = 0x10000 - (at & 0xFFFF);
        const std::size_t n = std::min({bytes.size() - k, room, kRecordData});
        IntelRecord(out, 0x00, static_cast<std::uint16_t>(at), bytes.data() + k, n);
        k += n;
    }
    IntelRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

std::string WriteSRecords(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    const std::uint64_t last = bytes.empty() ? address : std::uint64_t{address} + bytes.size() - 1;
    const int width = last <= 0xFFFF ? 2 : last <= 0xFFFFFF ? 3 : 4;
    const char data = static_cast<char>('1' + (width - 2));
    const char end = static_cast<char>('9' - (width - 2));
    static const char header[] = "quennet";
    std::string out = SRecordLine('0', 0, 2, reinterpret_cast<const std::uint8_t*>(header), sizeof header - 1);
    for (std::size_t k = 0; k < bytes.size(); k += kRecordData) {
        const std::size_t n = std::min(kRecordData, bytes.size() - k);
        out += SRecordLine(data, address + static_cast<std::uint32_t>(k), width, bytes.data() + k, n);
    }
    return out + SRecordLine(end, 0, width, nullptr, 0);
}

std::string WriteFirmwareFile(const std::string& path, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    std::string text;
    switch (WriteFormatForName(path)) {
    case WriteFormat::RawBinary:
        text.assign(bytes.begin(), bytes.end());
        break;
    case WriteFormat::IntelHex:
        text = WriteIntelHex(address, bytes);
        break;
    case WriteFormat::SRecord:
        text = WriteSRecords(address, bytes);
        break;
    case WriteFormat::Unknown:
        return std::string("has no known ending (") + WriteFormatNames() + ")";
    }
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return "cannot be written " + SystemReason();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) return "cannot be written " + SystemReason();
    return {};
}

std::string CheckWritable(const std::string& path) {
    bool existed = false;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        existed = true;
        std::fclose(f);
    }
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return "cannot be written " + SystemReason();
    std::fclose(f);
    if (!existed) std::remove(path.c_str());
    return {};
}

}  // namespace quennet
