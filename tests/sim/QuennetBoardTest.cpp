// The quennet-board executable on a real pseudo-terminal, checked with an
// independent client where Debian has one.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "BoardProcess.h"
#include "TempDir.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

int Shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(QuennetBoard, HelpNamesEveryOptionAndBadOptionsAreRefused) {
    FILE* help = popen(QUENNET_BOARD_EXE " --help", "r");
    ASSERT_NE(help, nullptr);
    std::string text;
    char buf[512];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, help)) text.append(buf, n);
    EXPECT_EQ(pclose(help), 0);
    for (const char* option : {"--chip msp430|stm32", "--device-id", "--bsl-version", "--product-id",
                               "--bootloader-version", "--flash-out", "--flash-format bin|srec"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    for (const char* bad : {"--chip avr", "--device-id xyz", "--bootloader-version 123",
                            "--flash-format hex", "--flash-out", "--frobnicate"})
        EXPECT_EQ(Shell(std::string(QUENNET_BOARD_EXE " ") + bad + " >/dev/null 2>&1"), 2) << bad;
}

// stm32flash writes, verifies and reads back the simulated STM32; the board's
// flash file then holds the same bytes. On a pty stm32flash needs -m 8n1,
// since a pty reports 8N1 whatever was set.
TEST(QuennetBoard, Stm32flashWritesVerifiesAndReadsBack) {
    if (Shell("command -v stm32flash >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "stm32flash is not installed (apt-get install stm32flash)";
    testing::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string image = (dir.path() / "image.bin").string();
    const std::string readBack = (dir.path() / "read.bin").string();
    const std::string flash = (dir.path() / "flash.bin").string();
    Bytes bytes(5000);
    std::mt19937 random(12);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));

    testing::BoardProcess board(QUENNET_BOARD_EXE, {"--chip", "stm32", "--no-announce",
                                                    "--product-id", "414", "--flash-out", flash});
    ASSERT_TRUE(board.Started());
    const std::string base = "timeout 60 stm32flash -b 115200 -m 8n1 ";
    EXPECT_EQ(Shell(base + "-w " + image + " -v " + board.Path() + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(Shell(base + "-r " + readBack + " -S 0x08000000:5000 " + board.Path() + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(ReadFile(readBack), bytes);
    ASSERT_EQ(board.Stop(), 0);

    const Bytes written = ReadFile(flash);
    ASSERT_EQ(written.size(), 0x80000u);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 5000), bytes);
    EXPECT_EQ(written[5000], 0xFF);
}

}  // namespace
}  // namespace quennet
