#include <gtest/gtest.h>

#include "TempDir.h"
#include "core/IniFile.h"
#include "terminal/transfer/TransferSettings.h"

namespace quennet {
namespace {

TEST(TransferSettings, StoredValuesOutOfRangeFallBack) {
    testing::TempDir dir;
    const std::string path = dir.Write("q.INI", "[Transfer]\nFolder=\nByteLimitMiB=-5\nProtocol=7\nAutoStart=0\n");
    IniFile ini(path);
    const TransferSettings s = ReadTransferSettings(ini, "/home/u/Downloads");
    EXPECT_EQ(s.folder, "/home/u/Downloads");  // an empty folder is the default one
    EXPECT_EQ(s.byteLimitMiB, 0u);
    EXPECT_EQ(s.receiveProtocol, TransferProtocol::Zmodem);
    EXPECT_FALSE(s.autoStart);
}

// Several files to send share the one text field.
TEST(TransferSettings, SendFilesSplitAsTheyWereJoined) {
    const std::vector<std::vector<std::string>> cases = {
        {"/tmp/one file.bin"}, {"/a/b.bin", "/c/d e.bin"}, {"C:\\x\\y.bin", "C:\\z.bin", "rel.bin"}};
    for (const auto& files : cases) EXPECT_EQ(SplitSendFiles(JoinSendFiles(files)), files);
    EXPECT_TRUE(SplitSendFiles("  ").empty());
    EXPECT_EQ(SplitSendFiles("\"a\" \"unclosed"), std::vector<std::string>{"a"});
}

}  // namespace
}  // namespace quennet
