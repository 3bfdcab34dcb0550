#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "LrzszPeer.h"
#include "TempDir.h"
#include "serial/ComPort.h"
#include "terminal/transfer/TransferDriver.h"
#include "terminal/transfer/XyModem.h"
#include "terminal/transfer/Zmodem.h"

namespace quennet {
namespace {

using testing::LrzszPeer;
using testing::ReadBinary;
using testing::TempDir;
using Bytes = std::vector<unsigned char>;

const std::vector<std::size_t> kSizes = {1, 127, 128, 129, 1023, 1024, 1025, 1 << 20};

// Random bytes: a megabyte of them holds every byte value many times, and
// the small files hold the protocols' own control characters too.
std::string Content(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

std::string EveryByteValue() {
    std::string s;
    for (int round = 0; round < 3; ++round)
        for (int v = 0; v < 256; ++v) s.push_back(static_cast<char>(round % 2 ? 255 - v : v));
    return s;
}

struct Files {
    std::vector<std::string> names;
    std::vector<std::string> contents;
};

Files MakeFiles(const TempDir& dir, bool withEmpty) {
    Files f;
    if (withEmpty) {
        f.names.push_back("empty.bin");
        f.contents.push_back("");
    }
    for (std::size_t n : kSizes) {
        f.names.push_back("f" + std::to_string(n) + ".bin");
        f.contents.push_back(Content(n, static_cast<unsigned>(n)));
    }
    f.names.push_back("all-values.bin");
    f.contents.push_back(EveryByteValue());
    for (std::size_t i = 0; i < f.names.size(); ++i) dir.Write(f.names[i], f.contents[i]);
    return f;
}

// XMODEM cannot tell the size: what arrives is the file and SUB padding up
// to its last block.
void ExpectPadded(const Bytes& got, const std::string& want) {
    ASSERT_GE(got.size(), want.size());
    EXPECT_LT(got.size() - want.size(), 1024u);
    EXPECT_TRUE(std::string(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(want.size())) == want);
    for (std::size_t i = want.size(); i < got.size(); ++i) ASSERT_EQ(got[i], 0x1A) << "at " << i;
}

class LrzszTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* p : {"sx", "sb", "sz", "rx", "rb", "rz"})
            if (!LrzszPeer::Installed(p)) GTEST_SKIP() << "lrzsz (" << p << ") is not installed";
        ASSERT_TRUE(ours_.ok() && theirs_.ok());
    }

    // Runs our transfer against the program; both must end well.
    void Run(Transfer& t, const std::vector<std::string>& argv, const std::string& folder) {
        LrzszPeer peer;
        ASSERT_TRUE(peer.ok());
        ComPort port(peer.Factory(), SystemClock());
        ASSERT_EQ(port.ComOpen("pty", 115200, kFrameN81), kComOk);
        ASSERT_TRUE(peer.Start(argv, folder));
        EXPECT_EQ(RunTransfer(port, t), TransferOutcome::Done) << t.EndLine();
        EXPECT_EQ(peer.Finish(), 0) << argv[0];
    }

    TempDir ours_;
    TempDir theirs_;
};

struct XCase {
    BlockProtocol protocol;
    std::size_t largest;  // bigger files are left to YMODEM's and ZMODEM's runs
    std::vector<std::string> receiver;  // lrzsz's receiver, file name appended
    std::vector<std::string> sender;    // lrzsz's sender, file name appended
};
void PrintTo(const XCase& c, std::ostream* os) {
    for (const std::string& word : c.sender) *os << word << ' ';
}

const XCase kXCases[] = {
    {BlockProtocol::Xmodem, 1025, {"rx", "-b"}, {"sx", "-b"}},          // checksum: rx asks with NAK
    {BlockProtocol::Xmodem, 1025, {"rx", "-b", "-c"}, {"sx", "-b"}},    // CRC-16
    {BlockProtocol::Xmodem1K, 1025, {"rx", "-b", "-c"}, {"sx", "-b", "-k"}},
};

// Each case in both directions: ours sending, ours receiving.
class LrzszXmodemTest : public LrzszTest, public ::testing::WithParamInterface<std::tuple<XCase, bool>> {};

TEST_P(LrzszXmodemTest, EverySize) {
    const Files files = MakeFiles(ours_, false);
    {
        const XCase& c = std::get<0>(GetParam());
        const bool weSend = std::get<1>(GetParam());
        for (std::size_t i = 0; i < files.names.size(); ++i) {
            if (files.contents[i].size() > c.largest) continue;
            SCOPED_TRACE(c.receiver.back() + " " + files.names[i]);
            if (weSend) {
                BlockSender send(c.protocol, {ours_.path() / files.names[i]});
                auto argv = c.receiver;
                argv.push_back("in-" + files.names[i]);
                Run(send, argv, theirs_.path().string());
                ExpectPadded(ReadBinary(theirs_.File("in-" + files.names[i])), files.contents[i]);
            } else {
                theirs_.Write("out.bin", files.contents[i]);
                BlockReceiver receive(c.protocol, ReceiveTarget::IntoFile(ours_.path() / "got.bin"));
                auto argv = c.sender;
                argv.push_back("out.bin");
                Run(receive, argv, theirs_.path().string());
                ExpectPadded(ReadBinary(ours_.File("got.bin")), files.contents[i]);
            }
        }
    }
}

struct BatchCase {
    const char* name;
    std::vector<std::string> receiver;
    std::vector<std::string> sender;
    bool zmodem;
};
void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

const BatchCase kBatchCases[] = {
    {"ymodem", {"rb", "-b"}, {"sb", "-b"}, false},
    {"zmodem", {"rz", "-b"}, {"sz", "-b"}, true},
    {"zmodem-crc16-escaped", {"rz", "-b", "-e"}, {"sz", "-b", "-o", "-e"}, true},
};

class LrzszBatchTest : public LrzszTest, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(LrzszBatchTest, BothWaysEverySize) {
    const Files files = MakeFiles(ours_, true);
    {
        const BatchCase& c = GetParam();
        SCOPED_TRACE(c.name);
        TempDir theirs, ours;
        std::vector<std::filesystem::path> paths;
        for (const auto& n : files.names) paths.push_back(ours_.path() / n);
        std::unique_ptr<Transfer> send;
        if (c.zmodem) send = std::make_unique<ZmodemSender>(paths);
        else send = std::make_unique<BlockSender>(BlockProtocol::Ymodem, paths);
        Run(*send, c.receiver, theirs.path().string());
        EXPECT_EQ(send->Progress().filesDone, static_cast<int>(files.names.size()));

        auto argv = c.sender;
        for (std::size_t i = 0; i < files.names.size(); ++i) {
            theirs.Write("b-" + files.names[i], files.contents[i]);
            argv.push_back("b-" + files.names[i]);
        }
        std::unique_ptr<Transfer> receive;
        if (c.zmodem) receive = std::make_unique<ZmodemReceiver>(ReceiveTarget::IntoFolder(ours.path()));
        else receive = std::make_unique<BlockReceiver>(BlockProtocol::Ymodem, ReceiveTarget::IntoFolder(ours.path()));
        Run(*receive, argv, theirs.path().string());

        for (std::size_t i = 0; i < files.names.size(); ++i) {
            SCOPED_TRACE(files.names[i]);
            EXPECT_TRUE(testing::Slurp(theirs.File(files.names[i])) == files.contents[i]);
            EXPECT_TRUE(testing::Slurp(ours.File("b-" + files.names[i])) == files.contents[i]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lrzsz, LrzszXmodemTest,
                         ::testing::Combine(::testing::ValuesIn(kXCases), ::testing::Bool()),
                         [](const auto& info) {
                             const XCase& c = std::get<0>(info.param);
                             std::string name = c.protocol == BlockProtocol::Xmodem1K ? "Xmodem1K"
                                                : c.receiver.size() > 2 ? "XmodemCrc" : "XmodemChecksum";
                             return name + (std::get<1>(info.param) ? "Send" : "Receive");
                         });
INSTANTIATE_TEST_SUITE_P(Lrzsz, LrzszBatchTest, ::testing::ValuesIn(kBatchCases), [](const auto& info) {
    std::string name = info.param.name;
    for (char& ch : name) if (ch == '-') ch = '_';
    return name;
});

}  // namespace
}  // namespace quennet
