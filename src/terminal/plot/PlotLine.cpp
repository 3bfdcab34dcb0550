#include "terminal/plot/PlotLine.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <system_error>

namespace quennet::plot {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A name is printable ASCII without blanks, with a letter in it (so a
// clock time such as 12:30 is no pair).
bool IsName(std::string_view s) {
    bool letter = false;
    for (const char c : s) {
        if (c <= ' ' || c > '~') return false;
        letter = letter || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }
    return letter;
}

// A word before the numbers of a line ("ADC", "v2:", a clock time such as
// 12:30:05 or a date with slashes): printable, and not a number that is
// broken ("12abc", "1e999", "1,5"), which is a column without a value.
bool IsLabel(std::string_view s) {
    if (s.empty()) return false;
    for (const char c : s)
        if (c <= ' ' || c > '~') return false;
    if (!IsDigit(s[0]) && s[0] != '+' && s[0] != '-' && s[0] != '.') return true;
    return s.find_first_of(":/") != std::string_view::npos;
}

std::string NameOf(std::string_view s) {
    return std::string(s.substr(0, kMaxNameLength));
}

// Hexadecimal after "0x": at most 16 significant digits, so the value is
// an exact 64-bit integer before it becomes a double.
bool ParseHex(std::string_view digits, bool negative, double& out) {
    if (digits.empty()) return false;
    std::uint64_t value = 0;
    int significant = 0;
    for (const char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        if (significant > 0 || d != 0) ++significant;
        if (significant > 16) return false;
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    out = static_cast<double>(value);
    if (negative) out = -out;
    return true;
}

// Checks the decimal grammar first: from_chars alone would also take
// "nan", "inf" and hexadecimal floats.
bool ParseDecimal(std::string_view s, bool negative, double& out) {
    std::size_t i = 0;
    std::size_t mantissaDigits = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++mantissaDigits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) ++i, ++mantissaDigits;
    }
    if (mantissaDigits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t expDigits = 0;
        while (i < s.size() && IsDigit(s[i])) ++i, ++expDigits;
        if (expDigits == 0) return false;
    }
    if (i != s.size()) return false;
    double value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return false;
    // A non-zero mantissa that came out as zero did not fit either.
    if (value == 0) {
        for (std::size_t k = 0; k < s.size() && s[k] != 'e' && s[k] != 'E'; ++k)
            if (s[k] >= '1' && s[k] <= '9') return false;
    }
    out = negative ? -value : value;
    return true;
}

struct Splitter {
    const Separators& sep;
    bool Hard(char c) const { return (c == ',' && sep.comma) || (c == ';' && sep.semicolon); }
    bool Soft(char c) const { return (c == ' ' && sep.space) || (c == '\t' && sep.tab); }

    void Split(std::string_view line, std::vector<std::string_view>& fields) const {
        fields.clear();
        std::size_t start = std::string_view::npos;
        bool afterSoft = false;  // a field just ended at a blank: a comma next adds no empty field
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (Hard(c)) {
                if (start != std::string_view::npos)
                    fields.push_back(Trim(line.substr(start, i - start)));
                else if (!afterSoft)
                    fields.push_back({});
                start = std::string_view::npos;
                afterSoft = false;
            } else if (Soft(c)) {
                if (start != std::string_view::npos) {
                    fields.push_back(Trim(line.substr(start, i - start)));
                    start = std::string_view::npos;
                    afterSoft = true;
                }
            } else if (start == std::string_view::npos) {
                start = i;
            }
        }
        if (start != std::string_view::npos) fields.push_back(Trim(line.substr(start)));
    }
};

bool IsNonNumberWord(std::string_view f) {
    // "nan", "inf" and the like are values the board meant, without a
    // value: they hold their column open like an empty field.
    std::string lower;
    for (const char c : f.substr(f.empty() || (f[0] != '+' && f[0] != '-') ? 0 : 1))
        lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    return lower == "nan" || lower == "inf" || lower == "infinity" || lower.rfind("nan(", 0) == 0;
}

// Reads name=value and name:value pairs; blanks around the = or : split
// them into neighbouring fields, which are joined back here.
void ReadPairs(const std::vector<std::string_view>& f, LineFields& out) {
    for (std::size_t i = 0; i < f.size(); ++i) {
        const std::size_t p = f[i].find_first_of("=:");
        std::string_view name, value;
        std::size_t used = 1;
        if (p == std::string_view::npos) {
            if (i + 1 >= f.size() || f[i + 1].empty() || (f[i + 1][0] != '=' && f[i + 1][0] != ':')) continue;
            name = f[i];
            value = f[i + 1].substr(1);
            used = 2;
            if (value.empty() && i + 2 < f.size()) value = f[i + 2], used = 3;
        } else if (p > 0) {
            name = f[i].substr(0, p);
            value = f[i].substr(p + 1);
            if (value.empty() && i + 1 < f.size()) value = f[i + 1], used = 2;
        } else {
            continue;
        }
        double v = 0;
        if (IsLabel(name) && ParseNumber(value, v)) {
            out.named.emplace_back(NameOf(name), v);
            i += used - 1;
        }
    }
}

}  // namespace

bool ParseNumber(std::string_view text, double& out) {
    if (text.empty()) return false;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseHex(text.substr(2), negative, out);
    return ParseDecimal(text, negative, out);
}

void ParseLine(std::string_view line, const Separators& separators, LineFields& out) {
    out.kind = LineFields::Kind::None;
    out.columns.clear();
    out.named.clear();
    out.names.clear();
    thread_local std::vector<std::string_view> fields;
    Splitter{separators}.Split(line, fields);
    if (fields.empty()) return;

    ReadPairs(fields, out);
    if (!out.named.empty()) {
        out.kind = LineFields::Kind::Named;
        return;
    }

    constexpr double kGap = std::numeric_limits<double>::quiet_NaN();
    bool started = false;
    bool any = false;
    bool allNames = true;
    for (const std::string_view f : fields) {
        double v = 0;
        const bool number = ParseNumber(f, v);
        if (number || (allNames && (!IsName(f) || IsNonNumberWord(f)))) allNames = false;
        if (!started) {
            // A leading label is no column; an empty field or a NaN word is.
            if (!number && IsLabel(f) && !IsNonNumberWord(f)) continue;
            started = true;
        }
        out.columns.push_back(number ? v : kGap);
        any = any || number;
    }
    if (any) {
        out.kind = LineFields::Kind::Columns;
        return;
    }
    out.columns.clear();
    if (allNames) {
        out.kind = LineFields::Kind::Names;
        for (const std::string_view f : fields) out.names.push_back(NameOf(f));
    }
}

}  // namespace quennet::plot
