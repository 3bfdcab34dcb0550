#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareImage.h"

namespace quennet {

// Result codes of LoadSRecordFile, and the codes ReadSRecords gives its
// faults. Callers only tell zero from nonzero; the distinct codes say which
// rule a file broke.
constexpr int kSRecOk = 0;
constexpr int kSRecCannotOpen = 1;   // not opened or not readable; image untouched
constexpr int kSRecS0Checksum = 2;   // an S0 record failed its checksum
constexpr int kSRecOutsideImage = 3; // a data byte maps to an offset beyond the image
constexpr int kSRecS1Checksum = 4;   // an S1 record failed its checksum
constexpr int kSRecNotARecord = 5;   // a line not starting with 'S', or overlong
constexpr int kSRecS3Checksum = 6;   // an S3 record failed its checksum
constexpr int kSRecS2Checksum = 7;   // an S2 record failed its checksum

// The longest record the format allows: "S", the type, and 256 hex pairs
// (the count byte 0xFF and the 255 bytes it counts). Longer lines are refused.
constexpr std::size_t kSRecMaxLineChars = 2 + 2 * 256;

// '0'..'9' give 0..9; any other character c gives c - 'A' + 10 in 8 bits,
// which is right for 'A'..'F' only. Lower-case digits therefore decode to
// other values and leave the checksum to reject the record.
std::uint8_t HexDigitValue(char c);

// Converts, in place, the hex pairs from the third character of a record
// line (`length` characters) into bytes written from position 0 on. Stops at
// the end of the text or at the first pair holding LF or NUL; a lone last
// digit is dropped. Returns the number of bytes decoded.
std::size_t DecodeHexPairs(std::uint8_t* line, std::size_t length);

// Tests a decoded record of `decoded` bytes: byte 0 is the count, and the
// one's complement of the 8-bit sum of bytes 0 .. count-1 must equal byte
// count. Returns 0 when right, 1 when wrong, also when the count claims more
// bytes than were decoded.
int CheckRecordSum(const std::uint8_t* record, std::size_t decoded);

// ReadSRecords (declared with the other readers) takes S1 data at their
// 16-bit address and S2 data at their 24-bit address, both as offsets from
// the flash's first address, and S3 data at their address minus 0x08000000;
// it checks S0 to S3 records and skips every other type unchecked (an end
// record does not end the reading). CR LF and LF line ends are both accepted.

// Reads a file of Motorola S-records into a 512 KiB image (or one of the
// image's size): S1 and S2 data from offset 0, S3 data at their address
// minus 0x08000000. The image is set to blank once the file has been read;
// on failure the bytes stored before the fault stay.
int LoadSRecordFile(const std::string& path, FirmwareImage& image);

}  // namespace quennet
