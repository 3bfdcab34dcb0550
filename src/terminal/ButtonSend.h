#pragma once
#include <string_view>

#include "serial/ComPort.h"
#include "terminal/Nmea.h"
#include "terminal/TerminalDisplay.h"

namespace quennet {

// Sends a function-button value (or the "Send Hex" field) to the port, one
// ComWriteByte per byte, in one of three encodings:
//  - nmea: the text must start with "$"; it goes out unchanged through the
//    NMEA writer, followed by "*", the checksum, CR, LF. Otherwise nothing is
//    sent. nmea wins over hex.
//  - hex: pairs of hex digits make bytes; any other character is a separator
//    that drops a pending single digit. With showHexEcho every byte is echoed
//    to the display as "XX " inside "< " ... "> " on a line of its own.
//  - neither: ASCII, where \n, \r and \\ are escapes and a backslash before
//    any other character (or at the end) drops both.
// The text ends at its first NUL, as a C string would. NMEA sentences go out
// through nmea's own port, which is the same port in the program.
// Returns true when the display should get the keyboard focus (after the
// hex and ASCII encodings), false after the NMEA encoding.
bool SendButtonString(ComPort& port, TerminalDisplay& display, NmeaWriter& nmea,
                      std::string_view text, bool hex, bool nmeaMode, bool showHexEcho);

}  // namespace quennet
