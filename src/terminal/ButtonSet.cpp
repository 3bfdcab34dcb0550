#include "terminal/ButtonSet.h"

#include "core/IniFile.h"

namespace quennet {

namespace {
std::string Key(const char* stem, std::size_t index) { return stem + std::to_string(index + 1); }
}  // namespace

std::string ButtonSetFileName(const std::string& chosen) {
    const std::size_t slash = chosen.find_last_of('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = chosen.find_last_of('.');
    if (dot != std::string::npos && dot > nameStart) {
        return chosen.substr(0, dot) + kButtonSetExtension;
    }
    return chosen + kButtonSetExtension;
}

ButtonSet LoadButtonSet(const std::string& path) {
    const IniFile ini(path);
    ButtonSet set;
    set.hex = ini.ReadBool(kButtonSetSection, "Hex", false);
    set.nmea = ini.ReadBool(kButtonSetSection, "NMEA", false);
    for (std::size_t i = 0; i < set.captions.size(); ++i) {
        set.captions[i] = ini.ReadString(kButtonSetSection, Key("BC", i), "");
    }
    for (std::size_t i = 0; i < set.values.size(); ++i) {
        set.values[i] = ini.ReadString(kButtonSetSection, Key("BV", i), "");
    }
    return set;
}

void SaveButtonSet(const std::string& path, const ButtonSet& set) {
    IniFile ini(path);
    ini.WriteBool(kButtonSetSection, "Hex", set.hex);
    ini.WriteBool(kButtonSetSection, "NMEA", set.nmea);
    for (std::size_t i = 0; i < set.captions.size(); ++i) {
        ini.WriteString(kButtonSetSection, Key("BC", i), set.captions[i]);
    }
    for (std::size_t i = 0; i < set.values.size(); ++i) {
        ini.WriteString(kButtonSetSection, Key("BV", i), set.values[i]);
    }
}

}  // namespace quennet
