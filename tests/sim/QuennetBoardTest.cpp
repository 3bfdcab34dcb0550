// The quennet-board executable on a real pseudo-terminal, checked with an
// independent client where Debian has one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "BoardProcess.h"
#include "Stm32ChipModels.h"
#include "TempDir.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The board's pty opened raw at that rate, or -1.
int OpenRaw(const std::string& path, speed_t speed, bool parity = false) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) return -1;
    cfmakeraw(&t);
    cfsetspeed(&t, speed);
    if (parity) t.c_cflag |= PARENB;
    return tcsetattr(fd, TCSANOW, &t) == 0 ? fd : -1;
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
                               "--bootloader-version", "--flash-out", "--flash-format bin|srec", "--blank-flash",
                               "--rdp", "413  STM32F407VG, 1024 KiB", "--adapter ftdi|none", "--link PATH"})
        EXPECT_NE(text.find(option), std::string::npos) << option;

    for (const char* bad : {"--chip avr", "--device-id xyz", "--bootloader-version 123",
                            "--flash-format hex", "--flash-out", "--frobnicate", "--adapter ch340",
                            "--link", "--no-announce --link b"})
        EXPECT_EQ(Shell(std::string(QUENNET_BOARD_EXE " ") + bad + " >/dev/null 2>&1"), 2) << bad;
}

// The link a board is started with comes back with the board; while a
// running board holds it, another board is refused it.
TEST(QuennetBoard, ANamedLinkIsTheRunningBoardsAlone) {
    testing::TempDir dir;
    const std::string link = dir.File("board");
    const std::string err = dir.File("second.err");
    for (int round = 0; round < 2; ++round) {
        testing::BoardProcess board(QUENNET_BOARD_EXE, {"--period", "0", "--link", link});
        ASSERT_TRUE(board.Started());
        char target[256] = {};
        ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(board.Path(), target);

        testing::BoardProcess second(QUENNET_BOARD_EXE, {"--period", "0", "--link", link}, err);
        EXPECT_FALSE(second.Started());
        EXPECT_EQ(second.Stop(), 1);
        std::ifstream in(err);
        const std::string said((std::istreambuf_iterator<char>(in)), {});
        EXPECT_NE(said.find(link + " belongs to a running board"), std::string::npos) << said;
        ASSERT_EQ(board.Stop(), 0);
        EXPECT_NE(::access(link.c_str(), F_OK), 0);
    }
}

// A pty alone is instant; the board gives every byte its time on the wire.
TEST(QuennetBoard, BytesTakeTheirWireTime) {
    testing::BoardProcess board(QUENNET_BOARD_EXE, {"--no-announce", "--period", "0"});
    ASSERT_TRUE(board.Started());
    const int fd = OpenRaw(board.Path(), B4800);
    ASSERT_GE(fd, 0);
    using Clock = std::chrono::steady_clock;
    auto readUntil = [fd](const std::string& end) {
        std::string got;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline && (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    };
    EXPECT_NE(readUntil("commands.\r\n").find("ready."), std::string::npos);

    const std::string text = "abcdefghijklmnopqrst";
    const auto start = Clock::now();
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(readUntil("t"), text);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    // 20 characters in, the last one's echo out: 21 times 10 bits at 4800 baud.
    EXPECT_GE(ms, 21 * 10 * 1000.0 / 4800);
    EXPECT_LT(ms, 21 * 10 * 1000.0 / 4800 + 150);
    ::close(fd);
}

// stm32flash writes, verifies and reads back the simulated STM32 of each
// family model; the board's flash file then holds the same bytes. On a pty
// stm32flash needs -m 8n1, since a pty reports 8N1 whatever was set.
TEST(QuennetBoard, Stm32flashWritesVerifiesAndReadsBackEachFamilyModel) {
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

    auto stm32flash = [](const std::string& args) {
        return Shell("timeout 60 stm32flash -b 115200 -m 8n1 " + args + " >/dev/null 2>&1");
    };
    std::vector<std::pair<const Stm32ChipModel*, const char*>> runs;  // the model, the adapter
    for (const Stm32ChipModel& model : Stm32ChipModels()) runs.emplace_back(&model, "none");
    // The FTDI adapter model at its 16 ms, which a pty cannot lower.
    runs.emplace_back(FindStm32ChipModel(0x414), "ftdi");
    for (const auto& [model, adapter] : runs) {
        char id[8];
        std::snprintf(id, sizeof id, "%X", model->productId);
        SCOPED_TRACE(std::string(id) + " " + adapter);
        testing::BoardProcess board(QUENNET_BOARD_EXE, {"--chip", "stm32", "--no-announce", "--adapter", adapter,
                                                        "--product-id", id, "--flash-out", flash});
        ASSERT_TRUE(board.Started());
        EXPECT_EQ(stm32flash("-w " + image + " -v " + board.Path()), 0);
        EXPECT_EQ(stm32flash("-r " + readBack + " -S 0x08000000:5000 " + board.Path()), 0);
        EXPECT_EQ(ReadFile(readBack), bytes);
        ASSERT_EQ(board.Stop(), 0);

        const Bytes written = ReadFile(flash);
        ASSERT_EQ(written.size(), model->FlashSize());
        EXPECT_EQ(Bytes(written.begin(), written.begin() + 5000), bytes);
        EXPECT_EQ(written[5000], 0xFF);
    }

    // Read-out protection: refused until stm32flash removes it (-k).
    testing::BoardProcess board(QUENNET_BOARD_EXE, {"--chip", "stm32", "--no-announce", "--product-id", "460", "--rdp"});
    ASSERT_TRUE(board.Started());
    EXPECT_NE(stm32flash("-r " + readBack + " -S 0x08000000:16 " + board.Path()), 0);
    EXPECT_EQ(stm32flash("-k " + board.Path()), 0);
    EXPECT_EQ(stm32flash("-w " + image + " -v " + board.Path()), 0);
}

// A host that drops its input before every command (tcflush TCIFLUSH, as
// common BSL hosts do) has not re-entered the loader: the password it gave
// stays good until the next entry.
TEST(QuennetBoard, AnInputFlushBetweenMsp430CommandsKeepsTheLoaderUnlocked) {
    testing::TempDir dir;
    const std::string reports = dir.File("board.err");
    testing::BoardProcess board(QUENNET_BOARD_EXE, {"--chip", "msp430", "--no-announce", "--period", "0"}, reports);
    ASSERT_TRUE(board.Started());
    const int fd = OpenRaw(board.Path(), B9600, true);
    ASSERT_GE(fd, 0);
    // n bytes as soon as they come; the bound is for a board that is silent.
    auto read = [fd](std::size_t n) {
        Bytes got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0) continue;
            std::uint8_t b;
            if (::read(fd, &b, 1) == 1) got.push_back(b);
        }
        return got;
    };
    // HDR CMD L1 L2 AL AH LL LH data, then the inverted XOR of the bytes
    // at even and at odd offsets.
    auto command = [&](std::uint8_t cmd, std::uint16_t a, std::uint16_t l, const Bytes& data, std::size_t answer) {
        const auto n = static_cast<std::uint8_t>(data.size() + 4);
        Bytes f = {0x80, cmd, n, n, static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8),
                   static_cast<std::uint8_t>(l), static_cast<std::uint8_t>(l >> 8)};
        f.insert(f.end(), data.begin(), data.end());
        std::uint8_t even = 0, odd = 0;
        for (std::size_t i = 0; i < f.size(); ++i) (i % 2 ? odd : even) ^= f[i];
        f.push_back(static_cast<std::uint8_t>(~even));
        f.push_back(static_cast<std::uint8_t>(~odd));
        ::tcflush(fd, TCIFLUSH);
        const std::uint8_t sync = 0x80;
        EXPECT_EQ(::write(fd, &sync, 1), 1);
        EXPECT_EQ(read(1), Bytes{0x90}) << "sync before command " << int(cmd);
        EXPECT_EQ(::write(fd, f.data(), f.size()), static_cast<ssize_t>(f.size()));
        return read(answer);
    };
    // The board enters its loader once it sees the line opened at 9600, and
    // reports it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (testing::Slurp(reports).find("bootloader at 9600 baud") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
        pollfd none{-1, 0, 0};
        ::poll(&none, 0, 5);
    }
    ASSERT_NE(testing::Slurp(reports).find("bootloader at 9600 baud"), std::string::npos);
    EXPECT_EQ(command(0x18, 0xFF00, 0xA506, {}, 1), Bytes{0x90});
    EXPECT_EQ(command(0x10, 0, 0, Bytes(32, 0xFF), 1), Bytes{0x90});
    const Bytes info = command(0x14, 0x0FF0, 16, {}, 22);
    ASSERT_EQ(info.size(), 22u) << (info.empty() ? -1 : info[0]);
    EXPECT_EQ(Bytes(info.begin(), info.begin() + 6), (Bytes{0x80, 0x00, 0x10, 0x10, 0xF1, 0x49}));
    ::close(fd);
}

}  // namespace
}  // namespace quennet
