// Measures our senders against lrzsz's receivers on a pseudo-terminal and
// works out what fraction of a serial line's bytes per second each protocol
// would carry as file data at 115200 and 921600 baud.
//
// A pseudo-terminal has no baud rate: bytes cross it at memory speed. So the
// bench counts what the line would carry (every byte we write and every
// answer byte the receiver writes back) and how many times the sender has to
// wait for an answer, and measures the real time of each such turn on the
// pty. The time on a real line is then: all bytes at 10 bits each at the
// baud rate, plus each turn's answer on the wire and its measured latency.
// Run: build/transfer_bench (lrzsz installed).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TempDir.h"
#include "serial/ComPort.h"
#include "terminal/transfer/TransferDriver.h"
#include "terminal/transfer/XyModem.h"
#include "terminal/transfer/Zmodem.h"
#include "LrzszPeer.h"

using namespace quennet;

namespace {

// Counts the bytes each way.
class CountingDevice : public SerialDevice {
public:
    CountingDevice(std::unique_ptr<SerialDevice> inner, std::uint64_t& out, std::uint64_t& in)
        : inner_(std::move(inner)), out_(out), in_(in) {}
    bool Open(const std::string& p) override { return inner_->Open(p); }
    bool GetSettings(LineSettings& s) override { return inner_->GetSettings(s); }
    bool SetSettings(const LineSettings& s) override { return inner_->SetSettings(s); }
    bool SetDtr(bool a) override { return inner_->SetDtr(a); }
    bool SetRts(bool a) override { return inner_->SetRts(a); }
    bool Purge(bool t, bool r) override { return inner_->Purge(t, r); }
    bool QueryWaiting(std::uint32_t& c) override { return inner_->QueryWaiting(c); }
    long Read(std::uint8_t* b, std::size_t n) override {
        const long r = inner_->Read(b, n);
        if (r > 0) in_ += static_cast<std::uint64_t>(r);
        return r;
    }
    bool WaitReadable(std::uint64_t us) override { return inner_->WaitReadable(us); }
    long Write(const std::uint8_t* d, std::size_t n) override {
        const long w = inner_->Write(d, n);
        if (w > 0) out_ += static_cast<std::uint64_t>(w);
        return w;
    }
    bool Close() override { return inner_->Close(); }

private:
    std::unique_ptr<SerialDevice> inner_;
    std::uint64_t& out_;
    std::uint64_t& in_;
};

struct Case {
    const char* name;
    std::vector<std::string> receiver;
    int kind;  // 0 XMODEM-1K, 1 YMODEM, 2 ZMODEM
};

}  // namespace

int main() {
    const std::size_t kSize = 4 << 20;
    testing::TempDir src, dst;
    std::mt19937 gen(7);
    std::string data(kSize, '\0');
    for (auto& c : data) c = static_cast<char>(gen());
    src.Write("payload.bin", data);
    const auto file = src.path() / "payload.bin";

    const Case cases[] = {
        {"XMODEM-1K", {"rx", "-b", "-c", "x.bin"}, 0},
        {"YMODEM", {"rb", "-b"}, 1},
        {"ZMODEM", {"rz", "-b", "-y"}, 2},
    };
    std::printf("%-10s %10s %10s %8s %10s %12s %12s\n", "protocol", "wire out", "wire back", "turns",
                "turn us", "115200 %", "921600 %");
    for (const auto& c : cases) {
        testing::LrzszPeer peer;
        std::uint64_t out = 0, in = 0;
        auto inner = peer.Factory();
        ComPort port([&] { return std::make_unique<CountingDevice>(inner(), out, in); }, SystemClock());
        port.ComOpen("pty", 115200, kFrameN81);
        peer.Start(c.receiver, dst.path().string());
        std::unique_ptr<Transfer> t;
        if (c.kind == 0) t = std::make_unique<BlockSender>(BlockProtocol::Xmodem1K, std::vector{file});
        else if (c.kind == 1) t = std::make_unique<BlockSender>(BlockProtocol::Ymodem, std::vector{file});
        else t = std::make_unique<ZmodemSender>(std::vector{file});
        const auto t0 = std::chrono::steady_clock::now();
        const TransferOutcome outcome = RunTransfer(port, *t);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        peer.Finish();
        if (outcome != TransferOutcome::Done) {
            std::printf("%-10s failed: %s\n", c.name, t->EndLine().c_str());
            continue;
        }
        // Stop-and-wait protocols wait once per block; ZMODEM streams and
        // waits only around each file (ZRINIT, ZRPOS, ZEOF, ZFIN).
        const double turns = c.kind == 2 ? 4.0 : static_cast<double>(kSize / 1024 + 4);
        const double turnUs = secs * 1e6 / turns;
        const double measuredTurnUs = c.kind == 2 ? 0.0 : turnUs;
        std::printf("%-10s %10llu %10llu %8.0f %10.1f", c.name, static_cast<unsigned long long>(out),
                    static_cast<unsigned long long>(in), turns, measuredTurnUs);
        for (double baud : {115200.0, 921600.0}) {
            const double lineSecs = static_cast<double>(out + in) * 10.0 / baud + turns * measuredTurnUs / 1e6;
            const double ideal = static_cast<double>(kSize) * 10.0 / baud;
            std::printf(" %12.1f", 100.0 * ideal / lineSecs);
        }
        std::printf("   (pty run %.2f s)\n", secs);
    }
    return 0;
}
