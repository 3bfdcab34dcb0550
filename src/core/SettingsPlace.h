#pragma once
#include <string>

namespace quennet {

// Where the settings file lives.
struct SettingsPlace {
    std::string path;           // the settings file itself
    bool besideProgram = false; // true: in the program's folder; false: in the configuration folder
    std::string problem;        // why the configuration folder could not be made, or empty
};

// The settings file of the program at exePath (an absolute path): NAME.INI
// beside the program, where NAME is the program file's name without its
// extension, when that folder is writable and is not the bin folder of an
// installed tree (one whose share/applications holds NAME.desktop). A copied
// or unpacked folder so keeps its settings with it. Otherwise the same file
// name in the folder NAME under the user's configuration folder
// ($XDG_CONFIG_HOME when it is an absolute path, else HOME/.config), which
// is created (mode 0700) when missing. Empty xdgConfigHome or home count as
// unset; with no home at all the account's home folder is asked for.
SettingsPlace LocateSettingsFile(const std::string& exePath, const std::string& xdgConfigHome,
                                 const std::string& home);

// The same, reading XDG_CONFIG_HOME and HOME from the environment.
SettingsPlace LocateSettingsFile(const std::string& exePath);

}  // namespace quennet
