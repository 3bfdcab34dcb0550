#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quennet::plot {

// The most series a plot keeps; values of further columns or names are
// left out (and counted).
inline constexpr std::size_t kMaxSeries = 16;
// The longest series name kept; longer ones are cut.
inline constexpr std::size_t kMaxNameLength = 32;

// Which characters separate the fields of a line. Blanks and tabs are
// soft (a run of them is one separator, and they may pad a comma);
// commas and semicolons are hard (two in a row leave an empty field).
struct Separators {
    bool comma = true;
    bool semicolon = true;
    bool space = true;
    bool tab = true;

    bool operator==(const Separators&) const = default;
};

// What one text line holds.
struct LineFields {
    enum class Kind {
        None,     // nothing to plot, and not a line of names
        Columns,  // numbers by column; a column without a number is NaN
        Named,    // name=value or name:value pairs
        Names,    // words only: a possible first line of column names
    };
    Kind kind = Kind::None;
    std::vector<double> columns;
    std::vector<std::pair<std::string, double>> named;
    std::vector<std::string> names;
};

// A whole field as a number: optional sign, then decimal digits with an
// optional fraction and exponent, or 0x and up to 16 significant hex
// digits. False for anything else, for NaN and infinity words, and for a
// value a double cannot hold (1e999, 1e-999).
bool ParseNumber(std::string_view text, double& out);

// Splits a line (without its line end) into fields and reads them. Fields
// before the first number that are words (a label such as "ADC") are not
// columns; after it every field is a column, and one that is not a number
// leaves a gap there. A line with at least one valid name=value pair is
// read as pairs only. `out` keeps its capacity from line to line.
void ParseLine(std::string_view line, const Separators& separators, LineFields& out);

}  // namespace quennet::plot
