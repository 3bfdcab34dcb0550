#include "core/SettingsPlace.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace quennet {

namespace fs = std::filesystem;

namespace {

// The account's home folder, for a process started without HOME.
std::string AccountHome() {
    const passwd* pw = ::getpwuid(::getuid());
    return (pw != nullptr && pw->pw_dir != nullptr) ? pw->pw_dir : "";
}

// A program laid out by the install rules: PREFIX/bin/NAME beside
// PREFIX/share/applications/NAME.desktop. Root may write to /usr/bin, but a
// settings file there would belong to no package and to every user.
bool IsInstalledLayout(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    return fs::is_regular_file(folder / ".." / "share" / "applications" / (name + ".desktop"), ec);
}

bool FolderWritable(const fs::path& folder) {
    return !folder.empty() && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

// Makes each missing folder of path with mode 0700; empty on success.
std::string MakeFolders(const fs::path& path) {
    fs::path built;
    for (const fs::path& part : path) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) == 0 || errno == EEXIST) continue;
        return "cannot create " + built.string() + ": " + std::strerror(errno);
    }
    std::error_code ec;
    if (!fs::is_directory(path, ec)) return path.string() + " is not a folder";
    return "";
}

}  // namespace

SettingsPlace LocateSettingsFile(const std::string& exePath, const std::string& xdgConfigHome,
                                 const std::string& home) {
    const fs::path exe(exePath);
    const std::string name = exe.stem().string().empty() ? std::string("quennet") : exe.stem().string();
    const std::string fileName = name + ".INI";
    const fs::path folder = exe.parent_path();

    SettingsPlace place;
    if (exe.is_absolute() && FolderWritable(folder) && !IsInstalledLayout(folder, name)) {
        place.path = (folder / fileName).string();
        place.besideProgram = true;
        return place;
    }

    // Relative values of XDG_CONFIG_HOME are invalid and ignored.
    fs::path config;
    if (!xdgConfigHome.empty() && fs::path(xdgConfigHome).is_absolute()) {
        config = xdgConfigHome;
    } else {
        std::string base = home.empty() ? AccountHome() : home;
        if (!base.empty()) config = fs::path(base) / ".config";
    }
    if (config.empty()) {
        // Nowhere else to go: keep the old place and let the write report it.
        place.path = (folder / fileName).string();
        place.besideProgram = true;
        place.problem = "no home folder for the settings";
        return place;
    }
    const fs::path own = config / name;
    place.path = (own / fileName).string();
    place.problem = MakeFolders(own);
    return place;
}

SettingsPlace LocateSettingsFile(const std::string& exePath) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    return LocateSettingsFile(exePath, xdg ? xdg : "", home ? home : "");
}

}  // namespace quennet
