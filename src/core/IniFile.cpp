#include "core/IniFile.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#else
#include <process.h>
#endif

namespace quennet {

namespace fs = std::filesystem;

IniWriteError::IniWriteError(const std::string& path)
    : std::runtime_error("Unable to write to " + path), path_(path) {}

namespace {

// One line of the file: its text without the line end, and the line end it
// had ("\r\n", "\n", or "" for a last line without one).
struct Line {
    std::string text;
    std::string eol;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

// nullopt when the file does not exist or cannot be read (then unreadable is
// set); throws nothing.
std::optional<std::string> ReadWholeFile(const std::string& path, bool& unreadable) {
    unreadable = false;
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (!fs::exists(st)) return std::nullopt;
    if (!fs::is_regular_file(st)) {
        unreadable = true;
        return std::nullopt;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        unreadable = true;
        return std::nullopt;
    }
    std::string content;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        unreadable = true;
        return std::nullopt;
    }
    return content;
}

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    // A UTF-8 byte order mark written by some editors is not part of the
    // first line's text; it is kept for writing.
    std::string bom;
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        bom = content.substr(0, 3);
        pos = 3;
    }
    while (pos < content.size()) {
        std::size_t nl = content.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = content.substr(pos);
            // A lone CR at the very end ends the line like LF; it must not
            // become part of the last value.
            if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
            pos = content.size();
        } else {
            std::size_t end = nl;
            if (end > pos && content[end - 1] == '\r') {
                --end;
                line.eol = "\r\n";
            } else {
                line.eol = "\n";
            }
            line.text = content.substr(pos, end - pos);
            pos = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    if (!bom.empty()) {
        if (lines.empty()) lines.push_back(Line{});
        lines.front().text.insert(0, bom);
    }
    return lines;
}

std::string StripBom(const std::string& text) {
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
}

// "[name]" with blanks allowed around the brackets' content.
bool SectionName(const std::string& rawText, std::string& name) {
    std::string text = Trim(StripBom(rawText));
    if (text.size() < 2 || text.front() != '[') return false;
    std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    name = Trim(text.substr(1, close - 1));
    return true;
}

// "key=value"; comment lines (";") and lines without "=" are not keys.
bool KeyLine(const std::string& rawText, std::string& key, std::string& rawValue) {
    std::string text = StripBom(rawText);
    std::size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) ++first;
    if (first == text.size() || text[first] == ';' || text[first] == '[') return false;
    std::size_t eq = text.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(text.substr(0, eq));
    if (key.empty()) return false;
    rawValue = text.substr(eq + 1);
    return true;
}

// The index range [begin, end) of the lines after the first header of the
// section, or nullopt when there is no such section.
std::optional<std::pair<std::size_t, std::size_t>> FindSection(const std::vector<Line>& lines,
                                                              const std::string& section) {
    std::string name;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (SectionName(lines[i].text, name) && SameName(name, section)) {
            std::size_t end = i + 1;
            while (end < lines.size() && !SectionName(lines[end].text, name)) ++end;
            return std::make_pair(i + 1, end);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<Line>& lines, std::size_t begin,
                                   std::size_t end, const std::string& key) {
    std::string k;
    std::string v;
    for (std::size_t i = begin; i < end; ++i) {
        if (KeyLine(lines[i].text, k, v) && SameName(k, key)) return i;
    }
    return std::nullopt;
}

std::string CleanValue(const std::string& raw) {
    std::string v = Trim(raw);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
    }
    if (v.size() > IniFile::kMaxValueLength) v.resize(IniFile::kMaxValueLength);
    return v;
}

std::optional<std::string> Lookup(const std::string& path, const std::string& section,
                                  const std::string& key) {
    bool unreadable = false;
    std::optional<std::string> content = ReadWholeFile(path, unreadable);
    if (!content) return std::nullopt;
    std::vector<Line> lines = SplitLines(*content);
    auto range = FindSection(lines, section);
    if (!range) return std::nullopt;
    auto at = FindKey(lines, range->first, range->second, key);
    if (!at) return std::nullopt;
    std::string k;
    std::string raw;
    KeyLine(lines[*at].text, k, raw);
    return CleanValue(raw);
}

bool HexDigitValue(char c, unsigned& v) {
    if (c >= '0' && c <= '9') {
        v = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        v = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        v = static_cast<unsigned>(c - 'A' + 10);
    } else {
        return false;
    }
    return true;
}

// Writes the content beside the target and renames it over the target.
void ReplaceFile(const std::string& displayPath, const std::string& content) {
    std::error_code ec;
    fs::path target(displayPath);
    // Editing through a link changes the file it points to, not the link.
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (ec) throw IniWriteError(displayPath);
        target = resolved;
    }

    fs::file_status st = fs::status(target, ec);
    const bool exists = fs::exists(st);
    if (exists) {
        if (!fs::is_regular_file(st)) throw IniWriteError(displayPath);
        // A file without any write permission is read-only for us, even where
        // the system would let this user replace it.
        constexpr fs::perms anyWrite =
            fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
        if ((st.permissions() & anyWrite) == fs::perms::none) throw IniWriteError(displayPath);
#ifndef _WIN32
        if (::access(target.c_str(), W_OK) != 0) throw IniWriteError(displayPath);
#endif
    }

    // A name no other writer uses: opened exclusively ("x"), retried with the
    // next number when it exists.
    static unsigned counter = 0;
    fs::path temp;
    std::FILE* f = nullptr;
    for (int attempt = 0; attempt < 100 && f == nullptr; ++attempt) {
        temp = target;
        temp += ".tmp" + std::to_string(static_cast<unsigned long>(
#ifndef _WIN32
                                             ::getpid()
#else
                                             ::_getpid()
#endif
                                             )) +
                "." + std::to_string(counter++);
        f = std::fopen(temp.string().c_str(), "wbx");
        if (f == nullptr && !fs::exists(temp, ec)) break;  // the folder refuses
    }
    if (f == nullptr) throw IniWriteError(displayPath);

    bool ok = content.empty() || std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (ok && exists) {
        fs::permissions(temp, st.permissions(), fs::perm_options::replace, ec);
        // Permissions that cannot be copied are not worth losing the write.
    }
    if (ok) {
        fs::rename(temp, target, ec);
        ok = !ec;
    }
    if (!ok) {
        fs::remove(temp, ec);
        throw IniWriteError(displayPath);
    }
}

}  // namespace

bool ParseIniInteger(const std::string& text, long long& out) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) return false;
    // Magnitude limit: |LLONG_MIN| for negative values, LLONG_MAX otherwise.
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1ULL
                 : static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    unsigned long long magnitude = 0;
    for (; i < text.size(); ++i) {
        unsigned v = 0;
        if (!HexDigitValue(text[i], v) || v >= base) return false;
        if (magnitude > (limit - v) / base) return false;
        magnitude = magnitude * base + v;
    }
    if (negative) {
        out = magnitude == limit ? std::numeric_limits<long long>::min()
                                 : -static_cast<long long>(magnitude);
    } else {
        out = static_cast<long long>(magnitude);
    }
    return true;
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& def) const {
    std::optional<std::string> v = Lookup(path_, section, key);
    return v ? *v : def;
}

long long IniFile::ReadInteger(const std::string& section, const std::string& key,
                               long long def) const {
    std::optional<std::string> v = Lookup(path_, section, key);
    long long out = 0;
    if (v && ParseIniInteger(*v, out)) return out;
    return def;
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    std::optional<std::string> v = Lookup(path_, section, key);
    long long out = 0;
    if (v && ParseIniInteger(*v, out)) return out != 0;
    return def;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
    bool unreadable = false;
    std::optional<std::string> content = ReadWholeFile(path_, unreadable);
    // Rewriting a file we cannot read would lose its other keys.
    if (unreadable) throw IniWriteError(path_);

    std::vector<Line> lines = content ? SplitLines(*content) : std::vector<Line>{};
    std::string eol = "\r\n";
    if (content) {
        std::size_t nl = content->find('\n');
        if (nl != std::string::npos) eol = (nl > 0 && (*content)[nl - 1] == '\r') ? "\r\n" : "\n";
    }

    std::string clean = value;
    for (char& c : clean) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    const std::string keyLine = key + "=" + clean;

    auto range = FindSection(lines, section);
    if (range) {
        auto at = FindKey(lines, range->first, range->second, key);
        if (at) {
            lines[*at].text = keyLine;
        } else {
            // After the section's last non-blank line, so that a blank line
            // before the next section stays where it is.
            std::size_t after = range->first - 1;
            for (std::size_t i = range->first; i < range->second; ++i) {
                if (!Trim(StripBom(lines[i].text)).empty()) after = i;
            }
            if (lines[after].eol.empty()) lines[after].eol = eol;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after + 1), Line{keyLine, eol});
        }
    } else {
        if (!lines.empty()) {
            if (lines.back().eol.empty()) lines.back().eol = eol;
            if (!Trim(StripBom(lines.back().text)).empty()) lines.push_back(Line{"", eol});
        }
        lines.push_back(Line{"[" + section + "]", eol});
        lines.push_back(Line{keyLine, eol});
    }

    std::string out;
    for (const Line& l : lines) {
        out += l.text;
        out += l.eol;
    }
    ReplaceFile(path_, out);
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, long long value) {
    WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

}  // namespace quennet
