// Where the settings file goes: beside a program in a folder of its own,
// in the user's configuration folder for an installed or read-only program.
#include "core/SettingsPlace.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "TempDir.h"
#include "../Unprivileged.h"

namespace quennet {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

unsigned Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
}

TEST(SettingsPlaceTest, BesideAProgramInAWritableFolderOfItsOwn) {
    TempDir dir;
    fs::create_directories(dir.path() / "portable");
    const std::string exe = (dir.path() / "portable" / "quennet").string();
    SettingsPlace p = LocateSettingsFile(exe, dir.File("cfg"), dir.File("home"));
    EXPECT_TRUE(p.besideProgram);
    EXPECT_EQ(p.path, (dir.path() / "portable" / "quennet.INI").string());
    EXPECT_EQ(p.problem, "");
    EXPECT_FALSE(fs::exists(dir.path() / "cfg")) << "nothing made in the configuration folder";

    // The file is named after the program, without its extension.
    p = LocateSettingsFile((dir.path() / "portable" / "bench.exe").string(), dir.File("cfg"), "");
    EXPECT_EQ(p.path, (dir.path() / "portable" / "bench.INI").string());
}

TEST(SettingsPlaceTest, InstalledProgramUsesTheConfigurationFolder) {
    TempDir dir;
    fs::create_directories(dir.path() / "usr" / "bin");
    fs::create_directories(dir.path() / "usr" / "share" / "applications");
    dir.Write("usr/share/applications/quennet.desktop", "[Desktop Entry]\n");
    const std::string exe = (dir.path() / "usr" / "bin" / "quennet").string();

    // XDG_CONFIG_HOME first; the program's own folder is made private.
    SettingsPlace p = LocateSettingsFile(exe, dir.File("xdg"), dir.File("home"));
    EXPECT_FALSE(p.besideProgram);
    EXPECT_EQ(p.path, (dir.path() / "xdg" / "quennet" / "quennet.INI").string());
    EXPECT_EQ(p.problem, "");
    EXPECT_TRUE(fs::is_directory(dir.path() / "xdg" / "quennet"));
    EXPECT_EQ(Mode(dir.File("xdg/quennet")), 0700u);
    // Found again when it exists.
    EXPECT_EQ(LocateSettingsFile(exe, dir.File("xdg"), "").path, p.path);

    // Unset, empty or relative XDG_CONFIG_HOME: HOME/.config.
    for (const std::string xdg : {"", "relative/cfg"}) {
        p = LocateSettingsFile(exe, xdg, dir.File("home"));
        EXPECT_EQ(p.path, (dir.path() / "home" / ".config" / "quennet" / "quennet.INI").string()) << xdg;
        EXPECT_TRUE(fs::is_directory(dir.path() / "home" / ".config" / "quennet"));
    }

    // From the environment, as the program reads it.
    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = before ? before : "";
    ::setenv("XDG_CONFIG_HOME", dir.File("env").c_str(), 1);
    p = LocateSettingsFile(exe);
    if (before) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
    EXPECT_EQ(p.path, (dir.path() / "env" / "quennet" / "quennet.INI").string());

    // A configuration folder that cannot be made is reported, not hidden.
    dir.Write("file", "x");
    p = LocateSettingsFile(exe, dir.File("file"), "");
    EXPECT_FALSE(p.besideProgram);
    EXPECT_NE(p.problem, "");
}

TEST(SettingsPlaceTest, ReadOnlyProgramFolderUsesTheConfigurationFolder) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    fs::create_directories(dir.path() / "ro");
    fs::create_directories(dir.path() / "cfg");
    fs::permissions(dir.path() / "ro", fs::perms(0555));
    fs::permissions(dir.path() / "cfg", fs::perms(0777));
    const std::string exe = (dir.path() / "ro" / "quennet").string();
    const std::string cfg = dir.File("cfg");
    const std::string seen = testing::RunUnprivileged([&] {
        const SettingsPlace p = LocateSettingsFile(exe, cfg, "");
        return std::string(p.besideProgram ? "beside " : "config ") + p.path + " [" + p.problem + "]";
    });
    EXPECT_EQ(seen, "config " + (dir.path() / "cfg" / "quennet" / "quennet.INI").string() + " []");
    fs::permissions(dir.path() / "ro", fs::perms(0755));
}

}  // namespace
}  // namespace quennet
