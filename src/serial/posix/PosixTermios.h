#pragma once
#include <cstddef>

#include "serial/SerialDevice.h"

// The line-settings calls of the posix backend. They use the kernel's
// termios2 record (any baud rate through BOTHER), whose header cannot share a
// translation unit with <termios.h>; so this header includes neither.
namespace quennet::posix {

// The whole terminal record as found at open, kept opaque here.
struct TermiosSnapshot {
    alignas(8) unsigned char raw[64] = {};
    bool valid = false;
};

bool SaveTermios(int fd, TermiosSnapshot& out);
bool RestoreTermios(int fd, const TermiosSnapshot& saved);

// Raw binary transfer with reads that never wait: no echo, no line editing,
// no CR/LF translation, no software or hardware flow control, no parity
// checking, receiver on, modem status ignored, VMIN = VTIME = 0. Baud rate,
// data bits, parity and stop bits are left as they are.
bool MakeRaw(int fd);

bool ReadLineSettings(int fd, LineSettings& out);
// Refuses baud 0 (which would hang the line up), data bits outside 5..8 and
// stop bits other than 1 or 2, and a device that does not take the request.
bool WriteLineSettings(int fd, const LineSettings& settings);

}  // namespace quennet::posix
