#pragma once
#include <string>

namespace quennet {

// Where the settings file lives.
struct SettingsPlace {
    std::string path;           // the settings file itself
    bool besideProgram = false; // true: in the program's folder; false: in the configuration folder
    std::string problem;        // why the configuration folder could not be made, or empty
};

// The settings file of the program at exePath (an absolute path; UTF-8 on
// Windows): NAME.INI beside the program, where NAME is the program file's
// name without its extension, when that folder is writable, so that a copied
// or unpacked folder keeps its settings with it. Otherwise the same file name
// in a folder NAME of the user's own, which is created when missing.
//
// Linux: the folder beside the program does not count when it is the bin
// folder of an installed tree (one whose share/applications holds
// NAME.desktop); the user's folder is under $XDG_CONFIG_HOME when that is an
// absolute path, else HOME/.config, made with mode 0700. Empty xdgConfigHome
// or home count as unset; with no home at all the account's home is asked for.
//
// Windows: the user's folder is under the roaming application-data folder
// (%APPDATA%); an empty appData leaves the file beside the program with a
// problem to report.
#ifdef _WIN32
SettingsPlace LocateSettingsFile(const std::string& exePath, const std::string& appData);
#else
SettingsPlace LocateSettingsFile(const std::string& exePath, const std::string& xdgConfigHome,
                                 const std::string& home);
#endif

// The same, with the user's folders taken from the environment (and on
// Windows from the shell when APPDATA is unset).
SettingsPlace LocateSettingsFile(const std::string& exePath);

}  // namespace quennet
