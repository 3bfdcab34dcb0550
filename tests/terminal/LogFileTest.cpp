#include "terminal/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"

namespace quennet {
namespace {

using testing::TempDir;
using testing::Slurp;

void Put(LogFile& log, const std::string& bytes) {
    log.Write(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::uintmax_t SizeOnDisk(const std::string& path) { return std::filesystem::file_size(path); }

TEST(LogFileTest, BytesArriveUnchanged) {
    TempDir dir;
    const std::string path = dir.File("rx.log");
    LogFile log;
    ASSERT_TRUE(log.Open(path));
    EXPECT_TRUE(log.IsOpen());
    const std::string bytes("A\0B\n\r\x08\xff\x1b[0m", 10);
    Put(log, bytes);
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(Slurp(path), bytes);
}

TEST(LogFileTest, ReopenAppends) {
    TempDir dir;
    const std::string path = dir.Write("rx.log", "earlier\r\n");
    LogFile log;
    ASSERT_TRUE(log.Open(path));
    Put(log, "one");
    log.Close();
    ASSERT_TRUE(log.Open(path));
    Put(log, "two");
    // Opening again closes (and writes out) the running log first.
    ASSERT_TRUE(log.Open(path));
    Put(log, "three");
    log.Close();
    log.Close();  // a second close does nothing
    EXPECT_EQ(Slurp(path), "earlier\r\nonetwothree");
}

TEST(LogFileTest, AtMost512BytesAreHeldBack) {
    TempDir dir;
    const std::string path = dir.File("rx.log");
    LogFile log;
    ASSERT_TRUE(log.Open(path));
    const std::string chunk(200, 'c');
    Put(log, chunk);
    Put(log, chunk);
    EXPECT_EQ(SizeOnDisk(path), 0u);
    EXPECT_EQ(log.Buffered(), 400u);
    Put(log, std::string(112, 'd'));  // exactly full
    EXPECT_EQ(SizeOnDisk(path), 0u);
    EXPECT_EQ(log.Buffered(), 512u);
    Put(log, "e");
    EXPECT_EQ(SizeOnDisk(path), 512u);
    EXPECT_EQ(log.Buffered(), 1u);
    // A write larger than the buffer goes straight through after the rest.
    Put(log, std::string(700, 'f'));
    EXPECT_EQ(SizeOnDisk(path), 512u + 1u + 700u);
    EXPECT_EQ(log.Buffered(), 0u);
    log.Close();
    EXPECT_EQ(Slurp(path), chunk + chunk + std::string(112, 'd') + "e" + std::string(700, 'f'));
}

TEST(LogFileTest, CloseAndDestructionWriteEverythingOut) {
    TempDir dir;
    const std::string path = dir.File("rx.log");
    {
        LogFile log;
        ASSERT_TRUE(log.Open(path));
        Put(log, "kept");
        EXPECT_EQ(SizeOnDisk(path), 0u);
    }
    EXPECT_EQ(Slurp(path), "kept");
}

TEST(LogFileTest, OpenFailures) {
    TempDir dir;
    LogFile log;
    EXPECT_FALSE(log.Open(""));
    EXPECT_FALSE(log.Open(dir.File("no/folder/rx.log")));
    EXPECT_FALSE(log.Open(dir.path().string()));
    EXPECT_FALSE(log.IsOpen());
    Put(log, "ignored");  // not open: nothing happens
    EXPECT_EQ(log.Buffered(), 0u);
}

TEST(LogFileTest, FailedOpenClosesTheRunningLog) {
    TempDir dir;
    const std::string path = dir.File("rx.log");
    LogFile log;
    ASSERT_TRUE(log.Open(path));
    Put(log, "before");
    EXPECT_FALSE(log.Open(dir.File("no/folder/rx.log")));
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(Slurp(path), "before");
}

TEST(LogFileTest, WriteErrorsAreSwallowed) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    LogFile log;
    ASSERT_TRUE(log.Open("/dev/full"));
    for (int i = 0; i < 10; ++i) Put(log, std::string(200, 'x'));
    EXPECT_LE(log.Buffered(), LogFile::kBufferSize);
    Put(log, std::string(600, 'y'));
    EXPECT_TRUE(log.IsOpen());
    log.Close();
    EXPECT_FALSE(log.IsOpen());
}

TEST(LogFileTest, ReceivedBytesAreLoggedOnlyWhenEnabledAndOpen) {
    TempDir dir;
    const std::string path = dir.File("rx.log");
    LogFile log;
    const std::uint8_t chunk[] = {'A', 0x00, 'B', 0x0A};
    LogReceivedBytes(log, true, chunk, sizeof chunk);  // not open
    ASSERT_TRUE(log.Open(path));
    LogReceivedBytes(log, false, chunk, sizeof chunk);
    LogReceivedBytes(log, true, chunk, sizeof chunk);
    LogReceivedBytes(log, true, chunk + 2, 2);
    log.Close();
    EXPECT_EQ(Slurp(path), std::string("A\0B\nB\n", 6));
}

TEST(LogFileTest, StampsGoBeforeEachLineAcrossChunks) {
    testing::TempDir dir;
    const std::string path = dir.Write("rx.log", "old");
    LogFile log;
    ASSERT_TRUE(log.Open(path));
    const auto put = [&log](const std::string& bytes, const char* stamp) {
        log.WriteStamped(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), stamp);
    };
    put("a\r\nb", "1 ");
    put("c\n\n", "2 ");
    put(std::string("\0\n", 2), "3 ");
    log.Close();
    EXPECT_EQ(testing::Slurp(path), std::string("old1 a\r\n1 bc\n2 \n3 \0\n", 20));
}

}  // namespace
}  // namespace quennet
