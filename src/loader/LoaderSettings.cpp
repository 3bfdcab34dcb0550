#include "loader/LoaderSettings.h"

#include "core/IniFile.h"
#include "loader/Loader.h"

namespace quennet {

namespace {
constexpr const char* kSection = "Prog";
}  // namespace

LoaderSettings ReadLoaderSettings(const IniFile& ini) {
    LoaderSettings s;
    s.file = ini.ReadString(kSection, "File", "");
    s.verify = ini.ReadBool(kSection, "Verify", false);
    s.reset = ini.ReadBool(kSection, "Reset", false);
    s.toggleTck = ini.ReadBool(kSection, "ToggleTCK", false);
    const long long target = ini.ReadInteger(kSection, "Target", 0);
    s.target = target >= 0 && target < kLoaderTargetCount ? static_cast<int>(target) : -1;
    s.fileFilter = ini.ReadString(kSection, "FileFilter", "");
    s.passwordFile = ini.ReadString(kSection, "PasswordFile", "");
    return s;
}

void WriteLoaderSettings(IniFile& ini, const LoaderSettings& s) {
    ini.WriteString(kSection, "File", s.file);
    ini.WriteBool(kSection, "Verify", s.verify);
    ini.WriteBool(kSection, "Reset", s.reset);
    ini.WriteBool(kSection, "ToggleTCK", s.toggleTck);
    ini.WriteInteger(kSection, "Target", s.target);
    ini.WriteString(kSection, "FileFilter", s.fileFilter);
    ini.WriteString(kSection, "PasswordFile", s.passwordFile);
}

}  // namespace quennet
