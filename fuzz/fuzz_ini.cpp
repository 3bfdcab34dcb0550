// The INI reader and the button-set files: numbers against the C library's
// reading of them, every key of a file keeps its value when another one is
// written, the written key reads back as written, and a button set saved
// and loaded again is the same set.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzCheck.h"
#include "core/IniFile.h"
#include "terminal/ButtonSet.h"

namespace {

using namespace quennet;

std::string Dir() {
    static const std::string dir = [] {
        // A folder in memory where there is one: every write renames a file.
        std::string name = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        name += "/quennet-fuzz-ini-XXXXXX";
        const char* made = mkdtemp(name.data());
        FUZZ_CHECK(made != nullptr, "no temporary folder");
        return std::string(made);
    }();
    return dir;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr, "cannot write %s", path.c_str());
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

// A number the whole text is: sign, then decimal digits, or hex after "$",
// "0x" or "0X"; within the range of long long.
bool ModelInteger(const std::string& text, long long& out) {
    std::string t = text;
    std::size_t i = (!t.empty() && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
    int base = 10;
    if (t.compare(i, 1, "$") == 0) {
        t.replace(i, 1, "0x");
        base = 16;
    } else if (t.compare(i, 2, "0x") == 0 || t.compare(i, 2, "0X") == 0) {
        base = 16;
    }
    const std::size_t digits = i + (base == 16 ? 2 : 0);
    if (digits >= t.size()) return false;
    for (std::size_t k = digits; k < t.size(); ++k)
        if (!std::isxdigit(static_cast<unsigned char>(t[k])) || (base == 10 && !std::isdigit(static_cast<unsigned char>(t[k]))))
            return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtoll(t.c_str(), &end, base);
    return errno == 0 && end == t.c_str() + t.size();
}

// Names made of letters and digits only, from the input.
std::string Name(std::span<const std::uint8_t>& input) {
    static constexpr char kChars[] = "abcXYZ019_";
    std::string name(1 + fuzz::Take<std::uint8_t>(input) % 4, 'a');
    for (char& c : name) c = kChars[fuzz::Take<std::uint8_t>(input) % (sizeof kChars - 1)];
    return name;
}

// What a value written reads back as: line ends become blanks, blanks at
// the ends go, one pair of matching quotes goes, and the length is cut.
std::string AsRead(std::string value) {
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    std::size_t b = 0, e = value.size();
    while (b < e && (value[b] == ' ' || value[b] == '\t')) ++b;
    while (e > b && (value[e - 1] == ' ' || value[e - 1] == '\t')) --e;
    value = value.substr(b, e - b);
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
        value = value.substr(1, value.size() - 2);
    return value.substr(0, IniFile::kMaxValueLength);
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    const std::string section = Name(input), key = Name(input);
    const std::size_t valueLength = fuzz::Take<std::uint8_t>(input) % 64;
    std::string value;
    for (std::size_t i = 0; i < valueLength && !input.empty(); ++i) value.push_back(static_cast<char>(fuzz::Take<std::uint8_t>(input)));
    const std::string content(input.begin(), input.end());

    long long parsed = 0, modelled = 0;
    const bool isNumber = ParseIniInteger(content, parsed);
    FUZZ_CHECK(isNumber == ModelInteger(content, modelled) && (!isNumber || parsed == modelled),
               "\"%s\": %d %lld, the C library %lld", content.c_str(), isNumber, parsed, modelled);

    const std::string path = Dir() + "/f.ini";
    WriteFile(path, content);
    IniFile ini(path);
    // The keys to watch: a few made from the same names, in any section.
    const std::string sections[] = {section, "Button", "a"};
    const std::string keys[] = {key, "BC1", "Hex", "a"};
    std::map<std::pair<std::string, std::string>, std::string> before;
    for (const std::string& s : sections)
        for (const std::string& k : keys) before[{s, k}] = ini.ReadString(s, k, "\x01missing");
    const ButtonSet set = LoadButtonSet(path);

    try {
        ini.WriteString(section, key, value);
    } catch (const IniWriteError&) {
        FUZZ_CHECK(false, "writing a plain file failed");
    }
    for (const auto& [where, old] : before) {
        const std::string now = ini.ReadString(where.first, where.second, "\x01missing");
        // Names match without regard to case: "BC1" is the key "bc1".
        if (SameName(where.first, section) && SameName(where.second, key))
            FUZZ_CHECK(now == AsRead(value), "[%s] %s reads \"%s\" after writing \"%s\"", section.c_str(),
                       key.c_str(), now.c_str(), value.c_str());
        else
            FUZZ_CHECK(now == old, "[%s] %s changed from \"%s\" to \"%s\"", where.first.c_str(),
                       where.second.c_str(), old.c_str(), now.c_str());
    }

    // A set loaded from any file survives a save and a load, wherever its
    // texts have nothing that reading takes away.
    const std::string setPath = Dir() + "/s.but";
    std::remove(setPath.c_str());
    SaveButtonSet(setPath, set);
    const ButtonSet again = LoadButtonSet(setPath);
    FUZZ_CHECK(again.hex == set.hex && again.nmea == set.nmea, "options changed");
    for (std::size_t i = 0; i < 8; ++i) {
        for (auto texts : {&ButtonSet::captions, &ButtonSet::values}) {
            const std::string& was = (set.*texts)[i];
            if (AsRead(was) == was)
                FUZZ_CHECK((again.*texts)[i] == was, "button %zu: \"%s\" came back as \"%s\"", i + 1, was.c_str(),
                           (again.*texts)[i].c_str());
        }
    }
    return 0;
}
