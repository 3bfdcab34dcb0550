// Where the settings file goes on Windows: beside the program when its folder
// takes new files, else in the user's application-data folder.
#include "core/SettingsPlace.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TempDir.h"

namespace quennet {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(SettingsPlaceWin32Test, BesideTheProgramWhenItsFolderIsWritable) {
    TempDir dir;
    fs::create_directories(dir.path() / "portable");
    // Qt gives the program's path with forward slashes.
    const std::string exe = (dir.path() / "portable").generic_string() + "/Quennet.exe";
    const SettingsPlace p = LocateSettingsFile(exe, dir.File("appdata"));
    EXPECT_TRUE(p.besideProgram);
    EXPECT_EQ(p.path, (dir.path() / "portable" / "Quennet.INI").make_preferred().string());
    EXPECT_EQ(p.problem, "");
    // The write probe leaves nothing behind, and nothing is made in app data.
    EXPECT_TRUE(fs::is_empty(dir.path() / "portable"));
    EXPECT_FALSE(fs::exists(dir.path() / "appdata"));
}

TEST(SettingsPlaceWin32Test, ApplicationDataWhenTheProgramFolderTakesNoFile) {
    TempDir dir;
    dir.Write("not-a-folder", "x");
    // A folder that cannot take a file: missing, or a file in its place.
    for (const char* folder : {"missing", "not-a-folder"}) {
        SCOPED_TRACE(folder);
        const std::string exe = (dir.path() / folder / "quennet.exe").string();
        const SettingsPlace p = LocateSettingsFile(exe, dir.File("Roaming"));
        EXPECT_FALSE(p.besideProgram);
        EXPECT_EQ(p.path, (dir.path() / "Roaming" / "quennet" / "quennet.INI").string());
        EXPECT_EQ(p.problem, "");
        EXPECT_TRUE(fs::is_directory(dir.path() / "Roaming" / "quennet"));
    }
}

TEST(SettingsPlaceWin32Test, AFolderThatCannotBeHadIsReported) {
    TempDir dir;
    dir.Write("file", "x");
    const std::string exe = (dir.path() / "missing" / "quennet.exe").string();

    // No application-data folder at all: the old place, with the reason.
    SettingsPlace p = LocateSettingsFile(exe, "");
    EXPECT_TRUE(p.besideProgram);
    EXPECT_EQ(p.path, (dir.path() / "missing" / "quennet.INI").string());
    EXPECT_EQ(p.problem, "no application-data folder for the settings");

    // One that cannot be made under a file.
    p = LocateSettingsFile(exe, dir.File("file"));
    EXPECT_FALSE(p.besideProgram);
    EXPECT_EQ(p.path, (dir.path() / "file" / "quennet" / "quennet.INI").string());
    EXPECT_EQ(p.problem.rfind("cannot create " + (dir.path() / "file" / "quennet").string(), 0), 0u)
        << p.problem;
}

}  // namespace
}  // namespace quennet
