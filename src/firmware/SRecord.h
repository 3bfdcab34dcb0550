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
constexpr int kSRecNotARecord = 5;   // not a record: no S, no known type, a character that is
                                     // no hex digit, more after the checksum, overlong; or no
                                     // record in the whole file
constexpr int kSRecS3Checksum = 6;   // an S3 record failed its checksum
constexpr int kSRecS2Checksum = 7;   // an S2 record failed its checksum
constexpr int kSRecOtherChecksum = 8; // a count (S5, S6) or end (S7 to S9) record failed its checksum
constexpr int kSRecWrongCount = 9;   // an S5 or S6 record disagrees with the data records before it

// The longest record the format allows: "S", the type, and 256 hex pairs
// (the count byte 0xFF and the 255 bytes it counts). Longer lines are refused.
constexpr std::size_t kSRecMaxLineChars = 2 + 2 * 256;

// 0..15 for a hex digit of either case, -1 for any other character.
int HexDigitValue(char c);

// Converts, in place, the hex pairs from the third character of a record
// line (`length` characters) into bytes written from position 0 on. Stops at
// the end of the text or at the first pair that is not two hex digits; a
// lone last digit is dropped. Returns the number of bytes decoded.
std::size_t DecodeHexPairs(std::uint8_t* line, std::size_t length);

// Tests a decoded record of `decoded` bytes: byte 0 is the count, and the
// one's complement of the 8-bit sum of bytes 0 .. count-1 must equal byte
// count. Returns 0 when right, 1 when wrong, also when the count claims more
// bytes than were decoded.
int CheckRecordSum(const std::uint8_t* record, std::size_t decoded);

// ReadSRecords (declared with the other readers) takes S1 data at their
// 16-bit address and S2 data at their 24-bit address, both as offsets from
// the flash's first address, and S3 data at their address minus 0x08000000.
// Every record is checked: types S0 to S3 and S5 to S9 only, hex digits of
// either case, the count, the checksum, and nothing after the checksum but
// blanks. An S5 or S6 record must count the data records before it. An end
// record (S7 to S9) does not end the reading; a file whose last data record
// no end record follows is read with a warning that it may be cut short.
// Lines end at LF, CR LF or CR. A file without any record holds no data
// and is refused.

// Reads a file of Motorola S-records into a 512 KiB image (or one of the
// image's size): S1 and S2 data from offset 0, S3 data at their address
// minus 0x08000000. The image is set to blank once the file has been read;
// on failure the bytes stored before the fault stay.
int LoadSRecordFile(const std::string& path, FirmwareImage& image);

}  // namespace quennet
