// The loader tab's choices as stored in the settings file.
#include "loader/LoaderSettings.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "core/IniFile.h"
#include "loader/Loader.h"

namespace quennet {
namespace {

using testing::TempDir;

TEST(LoaderSettings, EveryChoiceSurvivesAWriteAndARead) {
    TempDir dir;
    const LoaderSettings chosen{"/tmp/fw dir/blink.s19", true, true, true, kTargetStm32Any_115200,
                                "Intel HEX (*.hex *.ihx)", "/tmp/fw dir/app.s19"};
    {
        IniFile ini(dir.File("t.ini"));
        WriteLoaderSettings(ini, chosen);
    }
    EXPECT_EQ(ReadLoaderSettings(IniFile(dir.File("t.ini"))), chosen);
    EXPECT_EQ(ReadLoaderSettings(IniFile(dir.File("none.ini"))), LoaderSettings{}) << "no file: the defaults";
}

TEST(LoaderSettings, AStoredTargetOutsideTheListReadsAsNone) {
    struct Case {
        std::string stored;
        int target;
    };
    const Case cases[] = {
        {"0", 0},
        {std::to_string(kLoaderTargetCount - 1), kLoaderTargetCount - 1},
        {std::to_string(kLoaderTargetCount), -1},
        {"-1", -1},
        {"-7", -1},
        {"99999999999", -1},
        {"x", 0},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const LoaderSettings s = ReadLoaderSettings(IniFile(dir.Write("t.ini", "[Prog]\nTarget=" + c.stored + "\n")));
        EXPECT_EQ(s.target, c.target) << c.stored;
    }
}

}  // namespace
}  // namespace quennet
