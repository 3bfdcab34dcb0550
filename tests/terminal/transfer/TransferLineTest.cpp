#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SimSerialDevice.h"
#include "TempDir.h"
#include "VirtualClock.h"
#include "serial/ComPort.h"
#include "terminal/transfer/TransferDriver.h"
#include "terminal/transfer/XyModem.h"
#include "terminal/transfer/Zmodem.h"

namespace quennet {
namespace {

using testing::Slurp;
using testing::TempDir;

// Drops, flips or doubles bytes, each with the given chance.
std::vector<std::uint8_t> Noise(const std::uint8_t* bytes, std::size_t n, std::mt19937& rng, double p) {
    std::vector<std::uint8_t> out;
    std::uniform_real_distribution<double> chance(0, 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (chance(rng) >= p) {
            out.push_back(bytes[i]);
            continue;
        }
        switch (rng() % 3) {
        case 0: break;  // lost
        case 1: out.push_back(static_cast<std::uint8_t>(bytes[i] ^ (1 + rng() % 255))); break;
        default: out.push_back(bytes[i]); out.push_back(bytes[i]); break;
        }
    }
    return out;
}

// One of our transfers as the far end of the simulated line, behind a
// noisy wire in both directions.
class NoisyPeer : public SimPeer {
public:
    NoisyPeer(SimLine& line, Transfer& t, std::mt19937& rng, double p) : line_(line), t_(t), rng_(rng), p_(p) {
        Tick();
    }
    void OnBytes(SimLine&, const std::uint8_t* bytes, std::size_t n, std::uint64_t atUs) override {
        const auto got = Noise(bytes, n, rng_, p_);
        t_.Feed(got.data(), got.size(), atUs / 1000);
        t_.Poll(atUs / 1000);
        Flush();
    }

private:
    void Tick() {
        t_.Poll(line_.NowUs() / 1000);
        Flush();
        if (!t_.Finished()) line_.clock().ScheduleAt(line_.NowUs() + 20000, [this] { Tick(); });
    }
    void Flush() {
        if (t_.OutputSize() == 0) return;
        line_.SendToPort(Noise(t_.OutputData(), t_.OutputSize(), rng_, p_));
        t_.Consume(t_.OutputSize());
    }
    SimLine& line_;
    Transfer& t_;
    std::mt19937& rng_;
    double p_;
};

enum class Proto { XmodemCrc, Xmodem1K, Ymodem, Zmodem };

std::unique_ptr<Transfer> Sender(Proto p, const std::filesystem::path& file) {
    switch (p) {
    case Proto::XmodemCrc: return std::make_unique<BlockSender>(BlockProtocol::Xmodem, std::vector{file});
    case Proto::Xmodem1K: return std::make_unique<BlockSender>(BlockProtocol::Xmodem1K, std::vector{file});
    case Proto::Ymodem: return std::make_unique<BlockSender>(BlockProtocol::Ymodem, std::vector{file});
    case Proto::Zmodem: return std::make_unique<ZmodemSender>(std::vector{file});
    }
    return nullptr;
}

std::unique_ptr<Transfer> Receiver(Proto p, const std::filesystem::path& folder) {
    switch (p) {
    case Proto::XmodemCrc:
        return std::make_unique<BlockReceiver>(BlockProtocol::Xmodem, ReceiveTarget::IntoFile(folder / "data.bin"));
    case Proto::Xmodem1K:
        return std::make_unique<BlockReceiver>(BlockProtocol::Xmodem1K, ReceiveTarget::IntoFile(folder / "data.bin"));
    case Proto::Ymodem:
        return std::make_unique<BlockReceiver>(BlockProtocol::Ymodem, ReceiveTarget::IntoFolder(folder));
    case Proto::Zmodem: return std::make_unique<ZmodemReceiver>(ReceiveTarget::IntoFolder(folder));
    }
    return nullptr;
}

// Every protocol, both ways, over a line that loses, damages and doubles
// bytes: a transfer ends with the file exactly as sent, or with its error
// line and no file under the real name; never a wrong file called received.
TEST(NoisyLineTest, EndsEqualOrWithItsErrorLine) {
    const Proto protos[] = {Proto::XmodemCrc, Proto::Xmodem1K, Proto::Ymodem, Proto::Zmodem};
    int equal = 0, failed = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        for (Proto proto : protos) {
            SCOPED_TRACE("seed " + std::to_string(seed) + " protocol " + std::to_string(static_cast<int>(proto)));
            TempDir src, dst;
            std::mt19937 rng(seed);
            std::string content(2500 + seed * 37, '\0');
            for (auto& c : content) c = static_cast<char>(rng());
            src.Write("data.bin", content);
            auto send = Sender(proto, src.path() / "data.bin");
            auto receive = Receiver(proto, dst.path());

            VirtualClock clock;
            SimLine line(clock);
            const bool weSendOnPort = seed % 2 == 0;
            Transfer& onPort = weSendOnPort ? *send : *receive;
            Transfer& atPeer = weSendOnPort ? *receive : *send;
            NoisyPeer peer(line, atPeer, rng, 0.001);
            line.SetPeer(&peer);
            ComPort port(SimDeviceFactory(line), clock);
            ASSERT_EQ(port.ComOpen("sim", 115200, kFrameN81), kComOk);
            RunTransfer(port, onPort);
            for (int i = 0; i < 2000 && !atPeer.Finished(); ++i) clock.Advance(100000);
            ASSERT_TRUE(atPeer.Finished());
            line.SetPeer(nullptr);

            const std::string got = Slurp((dst.path() / "data.bin").string());
            if (receive->Outcome() == TransferOutcome::Done) {
                ++equal;
                if (proto == Proto::XmodemCrc || proto == Proto::Xmodem1K) {
                    ASSERT_GE(got.size(), content.size());
                    EXPECT_TRUE(got.compare(0, content.size(), content) == 0);
                } else {
                    EXPECT_TRUE(got == content);
                }
            } else {
                ++failed;
                EXPECT_FALSE(receive->EndLine().empty());
                EXPECT_FALSE(std::filesystem::exists(dst.path() / "data.bin"));
            }
            // Only the file itself is left: no temporary file stays behind.
            int entries = 0;
            for (const auto& e : std::filesystem::directory_iterator(dst.path())) (void)e, ++entries;
            EXPECT_LE(entries, 1);
        }
    }
    // The protocols recover from most faults.
    EXPECT_GT(equal, failed * 3);
    std::printf("noisy line: %d equal, %d ended with their error line\n", equal, failed);
}

}  // namespace
}  // namespace quennet

namespace quennet {
namespace {

using testing::Slurp;
using testing::TempDir;

// Runs our sender on the port against our receiver at the far end of a
// clean simulated line, answering the receiver's question with choice.
void RunClean(Transfer& send, Transfer& receive, ExistingFileChoice choice) {
    VirtualClock clock;
    SimLine line(clock);
    std::mt19937 rng(1);
    struct Answering : SimPeer {
        NoisyPeer inner;
        Transfer& t;
        ExistingFileChoice choice;
        Answering(SimLine& l, Transfer& r, std::mt19937& g, ExistingFileChoice c)
            : inner(l, r, g, 0), t(r), choice(c) {}
        void OnBytes(SimLine& l, const std::uint8_t* b, std::size_t n, std::uint64_t at) override {
            inner.OnBytes(l, b, n, at);
            if (t.Question()) {
                t.Answer(choice);
                inner.OnBytes(l, b, 0, at);
            }
        }
    } peer(line, receive, rng, choice);
    line.SetPeer(&peer);
    ComPort port(SimDeviceFactory(line), clock);
    ASSERT_EQ(port.ComOpen("sim", 115200, kFrameN81), kComOk);
    RunTransfer(port, send);
    for (int i = 0; i < 2000 && !receive.Finished(); ++i) clock.Advance(100000);
    line.SetPeer(nullptr);
}

TEST(ReceivedNameTest, NeverLeavesTheFolder) {
    const struct {
        const char* from;
        const char* safe;
    } cases[] = {
        {"foo.bin", "foo.bin"},
        {"../../etc/passwd", "passwd"},
        {"/etc/passwd", "passwd"},
        {"..", "received-file"},
        {"dir/..", "received-file"},
        {"", "received-file"},
        {"C:\\Windows\\evil.dll", "evil.dll"},
        {"C:evil.dll", "evil.dll"},
        {"CON", "_CON"},
        {"nul.txt", "_nul.txt"},
        {"com1", "_com1"},
        {"LPT9.log", "_LPT9.log"},
        {"COM10", "COM10"},
        {"a<b>c:d|e?f*g\"h", "a_b_c_d_e_f_g_h"},
        {"bell\a.txt", "bell_.txt"},
        {"trailing. . ", "trailing"},
    };
    for (const auto& c : cases) EXPECT_EQ(SafeReceivedName(c.from), c.safe) << c.from;
}

// A name already in the folder is never replaced without the question, and
// each answer does what it says.
TEST(ReceivedFileTest, ExistingFileAsksFirst) {
    const struct {
        ExistingFileChoice choice;
        const char* oldNow;     // what the old name holds afterwards
        const char* copy;       // the numbered copy, or "" for none
        const char* fileLine;   // the receiver's line about the file
    } cases[] = {
        {ExistingFileChoice::Replace, "new", "", "Received data.bin (3 bytes)."},
        {ExistingFileChoice::KeepBoth, "old", "new", "Received data (1).bin (3 bytes)."},
        {ExistingFileChoice::Skip, "old", "", "Skipped data.bin (already there)."},
    };
    for (const bool zmodem : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.fileLine) + (zmodem ? " zmodem" : " ymodem"));
            TempDir src, dst;
            src.Write("data.bin", "new");
            dst.Write("data.bin", "old");
            std::unique_ptr<Transfer> send, receive;
            if (zmodem) {
                send = std::make_unique<ZmodemSender>(std::vector{src.path() / "data.bin"});
                receive = std::make_unique<ZmodemReceiver>(ReceiveTarget::IntoFolder(dst.path()));
            } else {
                send = std::make_unique<BlockSender>(BlockProtocol::Ymodem, std::vector{src.path() / "data.bin"});
                receive = std::make_unique<BlockReceiver>(BlockProtocol::Ymodem,
                                                          ReceiveTarget::IntoFolder(dst.path()));
            }
            RunClean(*send, *receive, c.choice);
            EXPECT_EQ(receive->Outcome(), TransferOutcome::Done) << receive->EndLine();
            ASSERT_GE(receive->Lines().size(), 2u);
            EXPECT_EQ(receive->Lines()[0], c.fileLine);
            EXPECT_EQ(Slurp(dst.File("data.bin")), c.oldNow);
            EXPECT_EQ(Slurp(dst.File("data (1).bin")), c.copy);
        }
    }
}

// A sender that goes on past the limit is stopped, and nothing of its file
// is left.
TEST(ReceivedFileTest, SizeLimitStopsTheSender) {
    for (const bool zmodem : {false, true}) {
        SCOPED_TRACE(zmodem ? "zmodem" : "ymodem");
        TempDir src, dst;
        src.Write("big.bin", std::string(5000, 'x'));
        std::unique_ptr<Transfer> send, receive;
        if (zmodem) {
            send = std::make_unique<ZmodemSender>(std::vector{src.path() / "big.bin"});
            receive = std::make_unique<ZmodemReceiver>(ReceiveTarget::IntoFolder(dst.path(), 2000));
        } else {
            send = std::make_unique<BlockSender>(BlockProtocol::Ymodem, std::vector{src.path() / "big.bin"});
            receive = std::make_unique<BlockReceiver>(BlockProtocol::Ymodem,
                                                      ReceiveTarget::IntoFolder(dst.path(), 2000));
        }
        RunClean(*send, *receive, ExistingFileChoice::KeepBoth);
        EXPECT_EQ(receive->Outcome(), TransferOutcome::Failed);
        EXPECT_NE(receive->EndLine().find("size limit of 2000 bytes"), std::string::npos) << receive->EndLine();
        EXPECT_EQ(send->Outcome(), TransferOutcome::FarEndCancelled);
        EXPECT_TRUE(std::filesystem::is_empty(dst.path()));
    }
}

}  // namespace
}  // namespace quennet
