#pragma once
#include <cstddef>
#include <stdexcept>
#include <string>

namespace quennet {

// Raised when a key cannot be written; what() is "Unable to write to <path>".
struct IniWriteError : std::runtime_error {
    explicit IniWriteError(const std::string& path);
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// A plain INI file ("[Section]" lines, "key=value" lines) read and written one
// key at a time, as the settings and button-set files are used.
//
// Reading: section and key names match without regard to case (ASCII); the
// first section of a name and the first key of a name in it count; blanks
// (space, tab) at both ends of a value are dropped; a value enclosed in one
// pair of matching single or double quotes loses them; at most
// kMaxValueLength characters of a value are returned. Lines may end in LF or
// CR LF. A missing or unreadable file reads as empty. Every read looks at the
// file afresh, so a reader always sees the latest write.
//
// Numbers: a value is a number only when the WHOLE value (after the blanks
// and quotes are dropped) is one: an optional sign, then decimal digits, or a
// hexadecimal number with a leading "$", "0x" or "0X". "12abc", "", "$" and
// values outside the 64-bit range read as the default, on every platform.
//
// Writing: each Write call goes to disk at once. A missing file is created
// with CR LF line ends; an existing file keeps its line-end style and every
// line that is not the key's own. The key's first line in its section is
// replaced, or a new line is added after the last non-blank line of the
// section; a missing section is appended at the end of the file. The new
// content is written to a temporary file beside the target and renamed over
// it, so a failure leaves the old file whole and raises IniWriteError. A file
// without any write permission bit counts as read-only and is not changed,
// whoever runs the program.
class IniFile {
public:
    static constexpr std::size_t kMaxValueLength = 2047;

    explicit IniFile(std::string path);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    long long ReadInteger(const std::string& section, const std::string& key, long long def) const;
    // Any number but 0 is true; no number gives def.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    // A CR or LF inside the value would break the line structure of the
    // file; each one is written as a blank.
    void WriteString(const std::string& section, const std::string& key,
                     const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, long long value);
    // Writes "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The number rule of ReadInteger on a text that is already trimmed; false
// when the text is not a whole number in range.
bool ParseIniInteger(const std::string& text, long long& out);

}  // namespace quennet
