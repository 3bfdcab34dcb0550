#pragma once
#include <array>
#include <string>

namespace quennet {

// The eight function buttons as a button-set file holds them.
struct ButtonSet {
    std::array<std::string, 8> captions;  // BC1 .. BC8
    std::array<std::string, 8> values;    // BV1 .. BV8
    bool hex = false;                     // "Format HEX"
    bool nmea = false;                    // "Append NMEA CRC"
};

inline constexpr const char* kButtonSetSection = "Button";
inline constexpr const char* kButtonSetExtension = ".but";

// The name actually used for a chosen file: its extension replaced by ".but",
// or ".but" appended when it has none. Only the last path component counts,
// and a leading dot there starts a hidden name, not an extension.
std::string ButtonSetFileName(const std::string& chosen);

// Reads section "Button" of the file; a missing file or key gives the
// default (options cleared, texts empty). Never fails.
ButtonSet LoadButtonSet(const std::string& path);

// Writes Hex, NMEA, BC1..BC8, BV1..BV8 in that order into section "Button",
// creating the file when needed and keeping everything else in it. Throws
// IniWriteError at the first key that cannot be written; the keys before it
// stay written.
void SaveButtonSet(const std::string& path, const ButtonSet& set);

}  // namespace quennet
