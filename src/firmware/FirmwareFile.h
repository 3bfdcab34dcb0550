#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/FirmwareImage.h"

namespace quennet {

// STM32 flash starts here; S3 addresses count from it.
inline constexpr std::uint32_t kStm32FlashBase = 0x08000000;

// Why a file without a single record or byte is refused, as it is when its
// records carry no data for the target.
inline constexpr const char* kFirmwareHoldsNoData = "holds no data";

// The formats a firmware file may have. A raw binary carries no address of
// its own, so it is only read with one given.
enum class FirmwareFormat { SRecord, IntelHex, Elf, TiTxt, RawBinary, Unknown };
const char* FirmwareFormatName(FirmwareFormat format);

// How a chunk's address becomes an offset into the target's image.
enum class AddressKind {
    Absolute,     // a bus address: offset = address - the flash's first address
    FlashOffset,  // already an offset from the flash's first address (S1, S2)
    Stm32Flash,   // offset = address - 0x08000000, whatever the target (S3)
};

// Bytes that a file puts at consecutive addresses.
struct FirmwareChunk {
    std::uint32_t address = 0;
    AddressKind kind = AddressKind::Absolute;
    std::vector<std::uint8_t> bytes;
    std::size_t line = 0;  // the line of its first record in a text file, else 0
};

// What reading a file gave: its chunks in file order, and why reading
// stopped early if it did. Chunks read before a fault are kept. A reader
// never promises that chunks do not overlap; later bytes win.
struct FirmwareFile {
    FirmwareFormat format = FirmwareFormat::Unknown;
    std::vector<FirmwareChunk> chunks;
    // 0, or the fault's code: the S-record reader gives the result codes of
    // LoadSRecordFile, every other fault is 1.
    int code = 0;
    // Where and what, as "line 4: ..." or "offset 0x34: ..."; empty when the
    // whole file was read.
    std::string problem;
    // What a reader found doubtful in a file it read: the file is taken,
    // and each line here is shown to the user with it.
    std::vector<std::string> warnings;

    bool ok() const { return code == 0; }
    // Data at address; continues the last chunk when they follow on from it.
    void Add(std::uint32_t address, AddressKind kind, const std::uint8_t* bytes, std::size_t n,
             std::size_t line);
    // Ends reading with a fault. Returns the file, for `return file.Fail(...)`.
    FirmwareFile& Fail(int faultCode, std::string what);
    // Total number of data bytes.
    std::size_t DataBytes() const;
};

// The stretch of the address space a target's runs write.
struct FlashWindow {
    std::uint32_t base = 0;  // the address of image offset 0
    std::size_t size = 0;
};

// Makes image a blank picture of the window and stores every chunk in file
// order, marking the offsets it covers. Stops at the first byte that falls outside the window (the bytes
// stored before it stay) and says where the data lie; empty when all fit.
// May be called again with another window for the same file.
std::string PlaceFirmware(const FirmwareFile& file, const FlashWindow& window, FirmwareImage& image);

// The format the bytes have, judged by their start: the ELF magic, or the
// first character that is not white space ('S', ':', '@' or 'q'). Bytes
// holding nothing but white space count as S-records, whose reader refuses
// them as holding no data.
FirmwareFormat DetectFirmwareFormat(std::span<const std::uint8_t> bytes);

// Reads bytes of a firmware file in the format they have. With an address,
// the bytes are a raw binary loaded there, unless they hold data in a format
// that carries its own addresses, which is refused.
FirmwareFile ReadFirmware(std::span<const std::uint8_t> bytes, std::optional<std::uint32_t> binaryAddress);

// One reader per format, each over the bytes of a whole file. None reads
// outside the span, whatever it holds.
FirmwareFile ReadSRecords(std::span<const std::uint8_t> text);  // SRecord.cpp
FirmwareFile ReadIntelHex(std::span<const std::uint8_t> text);  // IntelHex.cpp
FirmwareFile ReadElf(std::span<const std::uint8_t> bytes);      // Elf.cpp
FirmwareFile ReadTiTxt(std::span<const std::uint8_t> text);     // TiTxt.cpp
// A raw binary of no bytes holds no data and is refused.
FirmwareFile ReadRawBinary(std::span<const std::uint8_t> bytes, std::uint32_t address);

// The largest file taken as firmware: ELF files with debugging information
// are large, but nothing a flash could take comes near it.
inline constexpr std::size_t kMaxFirmwareFileBytes = 256u << 20;

// The whole file, or false with why not ("cannot be opened (...)").
bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& problem);
// ReadWholeFile, then ReadFirmware; a file that cannot be read is fault 1.
FirmwareFile ReadFirmwareFile(const std::string& path, std::optional<std::uint32_t> binaryAddress);

// An address typed by the user: hexadecimal with 0x (0x08000000) or
// decimal, surrounding blanks allowed; nothing else, nothing beyond 32 bits.
std::optional<std::uint32_t> ParseFlashAddress(const std::string& text);
// 0x and four hex digits up to 0xFFFF, eight above.
std::string FormatFlashAddress(std::uint64_t address);

}  // namespace quennet
