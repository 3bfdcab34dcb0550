#include "firmware/FirmwareFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "firmware/TextLines.h"

namespace quennet {

namespace firmware_text {

std::string CharText(std::uint8_t c) {
    if (c >= 0x21 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
    return Format("byte 0x%02X", c);
}

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace firmware_text

using firmware_text::Format;

const char* FirmwareFormatName(FirmwareFormat format) {
    switch (format) {
    case FirmwareFormat::SRecord: return "S-record";
    case FirmwareFormat::IntelHex: return "Intel HEX";
    case FirmwareFormat::Elf: return "ELF";
    case FirmwareFormat::TiTxt: return "TI-TXT";
    case FirmwareFormat::RawBinary: return "raw binary";
    case FirmwareFormat::Unknown: break;
    }
    return "unknown";
}

void FirmwareFile::Add(std::uint32_t address, AddressKind kind, const std::uint8_t* bytes, std::size_t n,
                       std::size_t line) {
    if (n == 0) return;
    if (!chunks.empty()) {
        FirmwareChunk& last = chunks.back();
        if (last.kind == kind &&
            std::uint64_t{last.address} + last.bytes.size() == std::uint64_t{address}) {
            last.bytes.insert(last.bytes.end(), bytes, bytes + n);
            return;
        }
    }
    chunks.push_back(FirmwareChunk{address, kind, std::vector<std::uint8_t>(bytes, bytes + n), line});
}

FirmwareFile& FirmwareFile::Fail(int faultCode, std::string what) {
    code = faultCode;
    problem = std::move(what);
    return *this;
}

std::size_t FirmwareFile::DataBytes() const {
    std::size_t n = 0;
    for (const FirmwareChunk& c : chunks) n += c.bytes.size();
    return n;
}

namespace {

// Where offset 0 of the window lies in a chunk's own address terms.
std::uint64_t Origin(AddressKind kind, const FlashWindow& window) {
    switch (kind) {
    case AddressKind::Absolute: return window.base;
    case AddressKind::FlashOffset: return 0;
    case AddressKind::Stm32Flash: return kStm32FlashBase;
    }
    return window.base;
}

std::string Range(std::uint64_t first, std::uint64_t last) {
    return FormatFlashAddress(first) + ".." + FormatFlashAddress(last);
}

// Where data that do not fit lie, and where the window is, both in the
// chunk's own address terms.
std::string OutsideProblem(const FirmwareChunk& chunk, std::uint64_t origin, std::size_t size,
                           std::uint64_t firstOut, std::uint64_t lastOut) {
    std::string text;
    if (chunk.line != 0 && firstOut == chunk.address)
        text = "line " + std::to_string(chunk.line) + ": ";
    text += "data at " + Range(firstOut, lastOut) + " lie outside the flash (" +
            (size == 0 ? std::string("none") : Range(origin, origin + size - 1)) + ")";
    if (chunk.kind == AddressKind::FlashOffset)
        text += "; S1 and S2 addresses count from the flash's first address";
    else if (chunk.kind == AddressKind::Stm32Flash)
        text += "; S3 addresses count from 0x08000000";
    return text;
}

}  // namespace

std::string PlaceFirmware(const FirmwareFile& file, const FlashWindow& window, FirmwareImage& image) {
    image.Reset(window.size);
    for (const FirmwareChunk& chunk : file.chunks) {
        const std::uint64_t origin = Origin(chunk.kind, window);
        const std::uint64_t address = chunk.address;
        const std::uint64_t n = chunk.bytes.size();
        // The bytes from the chunk's start that fall inside, in order.
        std::uint64_t fit = 0;
        if (address >= origin && address - origin < window.size)
            fit = std::min<std::uint64_t>(n, window.size - (address - origin));
        if (fit != 0) image.Place(address - origin, chunk.bytes.data(), fit);
        if (fit == n) continue;
        // Below the window: up to its start; else from the first byte beyond.
        const std::uint64_t firstOut = address + fit;
        const std::uint64_t lastOut =
            address < origin ? std::min(address + n, origin) - 1 : address + n - 1;
        return OutsideProblem(chunk, origin, window.size, firstOut, lastOut);
    }
    return {};
}

FirmwareFormat DetectFirmwareFormat(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint8_t kElfMagic[] = {0x7F, 'E', 'L', 'F'};
    if (bytes.size() >= sizeof kElfMagic && std::equal(std::begin(kElfMagic), std::end(kElfMagic), bytes.begin()))
        return FirmwareFormat::Elf;
    for (const std::uint8_t c : bytes) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        switch (c) {
        case 'S': return FirmwareFormat::SRecord;
        case ':': return FirmwareFormat::IntelHex;
        case '@':
        case 'q': return FirmwareFormat::TiTxt;
        default: return FirmwareFormat::Unknown;
        }
    }
    return FirmwareFormat::SRecord;
}

FirmwareFile ReadRawBinary(std::span<const std::uint8_t> bytes, std::uint32_t address) {
    FirmwareFile file;
    file.format = FirmwareFormat::RawBinary;
    if (bytes.empty()) return file.Fail(1, kFirmwareHoldsNoData);
    if (bytes.size() - 1 > 0xFFFFFFFFu - address)
        return file.Fail(1, Format("offset 0x%zX: the binary's %zu bytes from %s run past 0xFFFFFFFF",
                                   static_cast<std::size_t>(0xFFFFFFFFu - address) + 1, bytes.size(),
                                   FormatFlashAddress(address).c_str()));
    file.Add(address, AddressKind::Absolute, bytes.data(), bytes.size(), 0);
    return file;
}

namespace {

FirmwareFile ReadAs(FirmwareFormat format, std::span<const std::uint8_t> bytes) {
    switch (format) {
    case FirmwareFormat::SRecord: return ReadSRecords(bytes);
    case FirmwareFormat::IntelHex: return ReadIntelHex(bytes);
    case FirmwareFormat::Elf: return ReadElf(bytes);
    case FirmwareFormat::TiTxt: return ReadTiTxt(bytes);
    case FirmwareFormat::RawBinary:
    case FirmwareFormat::Unknown: break;
    }
    FirmwareFile file;
    return file.Fail(1, "offset 0: holds no S-records, Intel HEX, ELF or TI-TXT "
                        "(a raw binary needs the address it is loaded at)");
}

}  // namespace

FirmwareFile ReadFirmware(std::span<const std::uint8_t> bytes, std::optional<std::uint32_t> binaryAddress) {
    const FirmwareFormat format = DetectFirmwareFormat(bytes);
    if (!binaryAddress) return ReadAs(format, bytes);
    // An address for a file that has its own would load its text or headers
    // as code: a renamed or mistaken file, refused rather than guessed at.
    if (format != FirmwareFormat::Unknown) {
        const FirmwareFile other = ReadAs(format, bytes);
        if (other.ok() && !other.chunks.empty()) {
            FirmwareFile file;
            file.format = FirmwareFormat::RawBinary;
            return file.Fail(1, std::string("offset 0: is an ") + FirmwareFormatName(format) +
                                    " file, not a raw binary: it carries its own addresses, so give none");
        }
    }
    return ReadRawBinary(bytes, *binaryAddress);
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& problem) {
    bytes.clear();
    if (path.empty()) {
        problem = "no file named";
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = std::string("cannot be opened (") + std::strerror(errno) + ")";
        return false;
    }
    // Read in pieces up to the limit, so that a device or a pipe that never
    // ends (/dev/zero) is refused instead of filling the memory.
    std::uint8_t chunk[65536];
    for (;;) {
        const std::size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
        if (n > kMaxFirmwareFileBytes - bytes.size()) {
            problem = Format("is larger than %zu MiB, too large for a firmware file", kMaxFirmwareFileBytes >> 20);
            bytes.clear();
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    if (std::ferror(file.get())) {
        problem = std::string("cannot be read (") + std::strerror(errno) + ")";
        bytes.clear();
        return false;
    }
    return true;
}

FirmwareFile ReadFirmwareFile(const std::string& path, std::optional<std::uint32_t> binaryAddress) {
    std::vector<std::uint8_t> bytes;
    std::string problem;
    if (!ReadWholeFile(path, bytes, problem)) {
        FirmwareFile file;
        return file.Fail(1, problem);
    }
    return ReadFirmware(bytes, binaryAddress);
}

std::optional<std::uint32_t> ParseFlashAddress(const std::string& text) {
    std::size_t i = 0, end = text.size();
    while (i < end && firmware_text::IsBlank(static_cast<std::uint8_t>(text[i]))) ++i;
    while (end > i && firmware_text::IsBlank(static_cast<std::uint8_t>(text[end - 1]))) --end;
    unsigned base = 10;
    if (end - i > 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == end) return std::nullopt;
    std::uint64_t value = 0;
    for (; i < end; ++i) {
        const int digit = firmware_text::HexValue(static_cast<std::uint8_t>(text[i]));
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::string FormatFlashAddress(std::uint64_t address) {
    return Format(address > 0xFFFF ? "0x%08llX" : "0x%04llX", static_cast<unsigned long long>(address));
}

}  // namespace quennet
