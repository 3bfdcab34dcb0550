#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "firmware/FirmwareFile.h"

namespace quennet {

// The formats a file read from a chip may be written in, told by the end of
// its name (case ignored): .bin, .hex, and .s19, .s28, .s37 or .srec.
enum class WriteFormat { RawBinary, IntelHex, SRecord, Unknown };
WriteFormat WriteFormatForName(const std::string& path);
// What the names may end with, for a message: ".bin, .hex, .s19, .s28, .s37 or .srec".
const char* WriteFormatNames();

// Intel HEX of the bytes at address: data records of up to 32 bytes that
// never cross a 64 KiB segment, each segment opened by an extended linear
// address record, and the end record.
std::string WriteIntelHex(std::uint32_t address, std::span<const std::uint8_t> bytes);
// S-records of the bytes at address: an S0 header, data records of up to
// 32 bytes of the shortest type the addresses need (S1, S2, S3) and the
// matching end record (S9, S8, S7).
std::string WriteSRecords(std::uint32_t address, std::span<const std::uint8_t> bytes);
// One S-record: type, count, address of addressBytes bytes, data and the
// one's complement of the sum of count, address and data; ends in LF.
std::string SRecordLine(char type, std::uint32_t address, int addressBytes, const std::uint8_t* data,
                        std::size_t n);

// Writes the bytes at address to path in the format its name asks for.
// Empty when written, else why not ("cannot be written (...)").
std::string WriteFirmwareFile(const std::string& path, std::uint32_t address, std::span<const std::uint8_t> bytes);

// Whether path can be written, tried before a chip is read: a file that did
// not exist is removed again. Empty when it can, else why not.
std::string CheckWritable(const std::string& path);

}  // namespace quennet
