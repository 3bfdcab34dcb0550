#pragma once
#include <cstdint>
#include <string>

#include "loader/Loader.h"
#include "firmware/FirmwareFile.h"
#include "loader/Msp430Bsl.h"

namespace quennet {

// Log lines of the MSP430 sequences.
inline constexpr const char* kLineBslEnter = "BSL Enter ...";
inline constexpr const char* kLineNoSync =
    "ERROR: Failed to Sync with Target, verify Power and Connection.";
inline constexpr const char* kLineErasing = "Erasing ...";
inline constexpr const char* kLineEraseFailed = "ERROR: Erasing Failure.";
inline constexpr const char* kLineReenterFailed = "ERROR: 1.";
inline constexpr const char* kLinePassword = "Password ...";
inline constexpr const char* kLinePasswordFailed = "ERROR: 2.";
inline constexpr const char* kLineVersion = "Version ...";
inline constexpr const char* kLineVersionFailed = "ERROR: 3.";
inline constexpr const char* kLinePatch = "Patch ...";
inline constexpr const char* kLinePatchFailed = "ERROR: 4.";
inline constexpr const char* kLineProgramming = "Programming ...";
inline constexpr const char* kLineProgrammingFailed = "ERROR: Programming error.";
inline constexpr const char* kLineProgramOk = "PROGRAM OK in ";
inline constexpr const char* kLineVerify = "Verify ...";
inline constexpr const char* kLineVerifyFailed = "ERROR: Verify error.";
inline constexpr const char* kLineDeviceInfoTime = "Request Device Info in ";
// Lines of the faster targets' baud rate change; %u is a baud rate.
inline constexpr const char* kLineBaudChanged = "BSL baud rate changed to %u.";
inline constexpr const char* kLineBaudNotOffered = "This BSL cannot change its baud rate: going on at %u.";
inline constexpr const char* kLineBaudUnknownFamily =
    "No baud rate settings known for this device: going on at %u.";
inline constexpr const char* kLineBaudRefused = "BSL refused the baud rate change: going on at %u.";
// The loader has changed its rate, but the port could not follow: the
// port stays open at its rate, and the run ends.
inline constexpr const char* kLineHostBaudFailed = "ERROR: This port cannot be set to %u baud, the BSL's new rate.";

inline constexpr const char* kBoxRule = "+---------------------+";
// The ruler over the block map: read top to bottom, every fourth column
// spells the start of a 4 KiB stretch, the last one FFFF.
inline constexpr const char* kRulerFirstDigit =
    "0   1   2   3   4   5   6   7   8   9   A   B   C   D   E   F  F";
inline constexpr const char* kRulerOtherDigits =
    "0   0   0   0   0   0   0   0   0   0   0   0   0   0   0   0  F";

// The two lines of the device box between its rules.
std::string Msp430DeviceLine(std::uint8_t hi, std::uint8_t lo);
std::string Msp430VersionLine(std::uint8_t major, std::uint8_t minor);

// The MSP430 sequences, with the TargetSequence signature: erase, identify
// and write the first 64 KiB of the image; or erase and identify only.
int ProgramMsp430(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);
// With a password file in the inputs, the query unlocks the loader with it
// and erases nothing.
int Msp430DeviceInfo(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);
// Erase only: mass erase, as many times as the part's family needs once its
// device ID is read, and the device box.
int EraseMsp430(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

// What an MSP430 read may cover (information and main memory), and where
// main memory starts on the parts with 60 KiB of it: a read without a start
// begins there.
inline constexpr FlashWindow kMsp430ReadWindow{0x1000, 0xF000};
inline constexpr std::uint32_t kMsp430MainFlash = 0x1100;

// The inputs' range for an MSP430 read, its start defaulting to main
// memory. Empty when it fits, else why not; an odd start or length is
// refused: the loader reads whole words.
std::string Msp430ReadRange(const LoaderInputs& inputs, std::uint32_t& start, std::size_t& length);

// The password in a firmware file: its 32 bytes at 0xFFE0..0xFFFF, 0xFF
// where it gives none (as on the part it programmed); a file without any
// of them is refused. Empty when found, else why not.
std::string Msp430PasswordFrom(const std::string& path, std::array<std::uint8_t, 32>& password);

// Unlocks the loader with the inputs' password (an erased part's when none
// is given), without erasing anything, shows the device box and reads the
// range into the inputs' readPath, 240 bytes a TX data block.
int ReadMsp430(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud);

inline constexpr const char* kLineWrongPasswordWarning =
    "A wrong password makes some loaders erase the whole flash.";
inline constexpr const char* kLinePasswordRefused =
    "The loader refused the password: an erased part takes 32 bytes 0xFF; a programmed one the vector table "
    "of its firmware (--password FILE).";

// Writes every data stretch of the image's first 64 KiB in blocks of at
// most 240 bytes, one "^" per KiB passed; 1 when a block is refused,
// kPassStopped when a stop request ended it between blocks.
// extraBlocks: those of a read-back pass that follows, for the progress.
int Msp430ProgramPass(Loader& loader, Msp430Bsl& bsl, std::size_t extraBlocks = 0);
// Reads back every byte the file covers (of the image's first 64 KiB) in
// blocks of at most 240 bytes and compares it, one "^" per KiB passed; 1
// at a block that does not come back or differs, kPassStopped at a stop
// request between blocks.
int Msp430VerifyPass(Loader& loader, Msp430Bsl& bsl);
// The number of blocks Msp430VerifyPass reads.
std::size_t Msp430VerifyBlocks(const FirmwareImage& image);

}  // namespace quennet
