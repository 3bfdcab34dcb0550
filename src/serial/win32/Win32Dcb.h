#pragma once
#include <windows.h>

#include "serial/SerialDevice.h"

// How LineSettings map onto the Win32 line-settings record (DCB). Kept apart
// from the device so that the mapping can be checked without a port.
namespace quennet::win32 {

// Writes baud rate, data bits, parity, stop bits and flow control into dcb
// and makes the line a plain binary one: no DSR flow control or gating, no
// NUL stripping, no parity-error replacement, no abort on line errors. DTR
// and RTS become plain outputs at the given levels, so that rewriting the
// record never moves them, except that RTS/CTS flow hands RTS to the driver.
// Refuses (false, dcb untouched) baud 0, data bits outside 5..8 and stop
// bits other than 1 or 2. Everything else in dcb (event characters, and
// the XON/XOFF limits when that flow is off) stays as it was.
bool ApplyLineSettings(DCB& dcb, const LineSettings& settings, bool dtr, bool rts);

// The settings a DCB describes. Sizes outside 5..8 read as 8; 1.5 stop bits
// read as 2.
LineSettings LineSettingsFromDcb(const DCB& dcb);

// Milliseconds that n bytes take on the wire at these settings, rounded up.
long long WireTimeMs(const LineSettings& settings, std::size_t n);

}  // namespace quennet::win32
