// Whole STM32 write-and-verify runs at 115200 baud on the simulated
// bootloader, in virtual time, against the least time the exchange can take:
// the wire time of every byte sent and received plus the target's modelled
// erase and programming time: 64 KiB and 512 KiB with STM32-115200 on the
// F103 model, 1 MiB with STM32-ANY-115200 on the F407 model, and 64 KiB
// with STM32-ANY-115200 on the F407, L476 and H743 models; first a read of
// a whole 64 KiB flash into a file (BENCH_READ_ONLY=1: that alone).
//
//   cmake --build build-core --target stm32_bench && build-core/stm32_bench
//
// With BENCH_POLL_STEPS=1 every wait keeps the fixed 5 ms poll rhythm (as
// with the watchdog toggle on), for comparison with waits that wake on data.
//
// The 64 KiB run is repeated through a modelled FTDI USB adapter: once with
// the low-latency request granted (its timer at 1 ms, as on Linux), once
// with the request refused (16 ms, as on Windows, on a pty, or with a tool
// that does not ask).
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "SimSerialDevice.h"
#include "Stm32BootTarget.h"
#include "Stm32ChipModels.h"
#include "VirtualClock.h"
#include "loader/Loader.h"
#include "firmware/SRecord.h"
#include "loader/Stm32Program.h"

namespace {

using namespace quennet;

// S3 records of 32 data bytes each over [0, size), none of them 0xFF.
std::string WriteImageFile(std::size_t size) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("stm32_bench_" + std::to_string(size) + ".s37")).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937 rng(size);
    out << "S0030000FC\n";
    char hex[3];
    for (std::size_t a = 0; a < size; a += 32) {
        const std::uint32_t address = kStm32FlashBase + static_cast<std::uint32_t>(a);
        unsigned sum = 37;
        std::string line = "S325";
        for (int s = 24; s >= 0; s -= 8) {
            const unsigned b = (address >> s) & 0xFF;
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
        }
        for (int i = 0; i < 32; ++i) {
            const unsigned b = rng() % 255;  // 0x00 .. 0xFE: every byte is data
            sum += b;
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
        }
        std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFF);
        out << line << hex << "\n";
    }
    out << "S70508000000F2\n";
    return path;
}

struct Path {
    const char* name;
    SimLine::Adapter adapter;
    bool refuseLowLatency;
};
constexpr Path kDirect{"no adapter", SimLine::Adapter::None, false};
constexpr Path kFtdiLowLatency{"FTDI adapter, low latency (1 ms)", SimLine::Adapter::Ftdi, false};
constexpr Path kFtdiDefault{"FTDI adapter, no low latency (16 ms)", SimLine::Adapter::Ftdi, true};

void Measure(std::size_t size, const Path& path = kDirect, int targetIndex = kTargetStm32_115200,
             std::uint16_t productId = 0x414) {
    constexpr std::uint32_t kBaud = 115200;
    constexpr double kBitsPerChar = 11.0;  // start, 8 data, even parity, stop
    VirtualClock clock;
    SimLine line(clock);
    line.SetAdapter(path.adapter);
    line.refuseLowLatency = path.refuseLowLatency;
    ComPort port(SimDeviceFactory(line), clock);
    MemoryStatusLog log;
    Loader loader(LoaderHost{port, log, {}, {}, {}, {}});
    Stm32BootTarget target(line, *FindStm32ChipModel(productId));
    line.SetPeer(&target);
    port.ComOpen("ttyBench", 9600, kFrameN81);

    LoaderInputs inputs;
    inputs.firmwarePath = WriteImageFile(size);
    inputs.targetIndex = targetIndex;
    inputs.terminalPort = "ttyBench";
    inputs.terminalBaud = "9600";
    inputs.terminalFormat = kFrameN81;
    inputs.verify = true;

    line.ClearWriteLog();
    const auto wallStart = std::chrono::steady_clock::now();
    const std::uint64_t startUs = clock.NowUs();
    std::uint64_t endUs = 0;
    // The sequence proper, without the closing reset pulse of the frame.
    auto timed = [&](TargetSequence sequence) {
        return [&, sequence](Loader& l, const LoaderInputs& in, std::uint32_t baud) {
            // The toggle only moves RTS (BOOT0) outside reset, which the
            // target ignores; what matters here is the wait rhythm it imposes.
            if (std::getenv("BENCH_POLL_STEPS")) l.Port().WatchdogToggle = true;
            const int r = sequence(l, in, baud);
            l.Port().WatchdogToggle = false;
            endUs = clock.NowUs();
            return r;
        };
    };
    loader.SetProgramStm32(timed(ProgramStm32));
    loader.SetProgramStm32Any(timed(ProgramStm32Any));
    loader.StartProgram(inputs);
    const double wallS =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::filesystem::remove(inputs.firmwarePath);

    const auto lines = log.Lines();
    if (loader.LastRunResult != 0) {
        std::printf("%zu KiB: run failed: %s\n", size / 1024, log.Text().c_str());
        line.SetPeer(nullptr);
        return;
    }
    // The first and last exchanges at the target's settings.
    const auto& writes = line.WriteLog();
    const std::uint64_t firstWriteUs = writes.front().writeUs;
    const std::size_t sent = writes.size();
    const std::size_t received = target.BytesSent();
    const double charUs = kBitsPerChar * 1e6 / kBaud;
    const double wireUs = static_cast<double>(sent + received) * charUs;
    const double busyUs = static_cast<double>(target.BusyUs());
    const double limitUs = wireUs + busyUs;
    const double runUs = static_cast<double>(endUs - startUs);
    // From the sync byte on: the run without the fixed 210 ms reset pattern
    // that precedes it.
    const double protocolUs = static_cast<double>(endUs - firstWriteUs);

    std::printf("%zu KiB image, %s on %s, write + verify at %u baud E-8-1, %s (virtual time)\n",
                size / 1024, kLoaderTargets[targetIndex].name, target.Model().part, kBaud, path.name);
    std::printf("  %s\n", lines.size() > 6 ? lines[6].c_str() : "");
    std::printf("  bytes sent %zu, received %zu: wire time %.3f s\n", sent, received, wireUs / 1e6);
    std::printf("  modelled erase + programming time %.3f s\n", busyUs / 1e6);
    std::printf("  limit (wire + erase + programming)  %.3f s\n", limitUs / 1e6);
    std::printf("  whole run (log: %s)  %.3f s  ratio %.4f\n", lines.back().c_str(), runUs / 1e6,
                runUs / limitUs);
    std::printf("  from the sync byte on               %.3f s  ratio %.4f\n", protocolUs / 1e6,
                protocolUs / limitUs);
    std::printf("  real time for the simulation %.2f s\n\n", wallS);
    line.SetPeer(nullptr);  // the port outlives the target
}

// A read of the whole flash of the 64 KiB F030 model into a binary with
// STM32-ANY-115200, against the wire time of the bytes exchanged from the
// sync byte on (Read Memory involves no erase or programming time).
void MeasureRead(const Path& path = kDirect) {
    constexpr std::uint32_t kBaud = 115200;
    VirtualClock clock;
    SimLine line(clock);
    line.SetAdapter(path.adapter);
    line.refuseLowLatency = path.refuseLowLatency;
    ComPort port(SimDeviceFactory(line), clock);
    MemoryStatusLog log;
    Loader loader(LoaderHost{port, log, {}, {}, {}, {}});
    Stm32BootTarget target(line, *FindStm32ChipModel(0x440));
    target.LoadOldFirmware();
    line.SetPeer(&target);
    port.ComOpen("ttyBench", 9600, kFrameN81);

    LoaderInputs inputs;
    inputs.targetIndex = kTargetStm32Any_115200;
    inputs.terminalPort = "ttyBench";
    inputs.terminalBaud = "9600";
    inputs.terminalFormat = kFrameN81;
    inputs.readPath = (std::filesystem::temp_directory_path() / "stm32_bench_read.bin").string();
    line.ClearWriteLog();
    std::uint64_t endUs = 0;
    loader.RunAction(inputs, "Begin read STM32.", [&](Loader& l, const LoaderInputs& in, std::uint32_t baud) {
        const int r = ReadStm32Any(l, in, baud);
        endUs = clock.NowUs();
        return r;
    });
    std::filesystem::remove(inputs.readPath);
    if (loader.LastRunResult != 0) {
        std::printf("read: run failed: %s\n", log.Text().c_str());
        line.SetPeer(nullptr);
        return;
    }
    const std::size_t sent = line.WriteLog().size();
    const std::size_t received = target.BytesSent();
    const double wireUs = static_cast<double>(sent + received) * 11.0 * 1e6 / kBaud;
    const double protocolUs = static_cast<double>(endUs - line.WriteLog().front().writeUs);
    std::printf("64 KiB read, STM32-ANY-115200 on %s, %s (virtual time)\n", target.Model().part, path.name);
    std::printf("  bytes sent %zu, received %zu: wire time %.3f s\n", sent, received, wireUs / 1e6);
    std::printf("  from the sync byte on (log: %s)  %.3f s  ratio %.4f\n\n", log.Lines().back().c_str(),
                protocolUs / 1e6, protocolUs / wireUs);
    line.SetPeer(nullptr);
}

}  // namespace

int main() {
    MeasureRead();
    MeasureRead(kFtdiLowLatency);
    MeasureRead(kFtdiDefault);
    if (std::getenv("BENCH_READ_ONLY")) return 0;
    Measure(64 * 1024);
    Measure(512 * 1024);
    Measure(1024 * 1024, kDirect, kTargetStm32Any_115200, 0x413);
    for (std::uint16_t id : {0x413, 0x415, 0x450}) Measure(64 * 1024, kDirect, kTargetStm32Any_115200, id);
    Measure(64 * 1024, kFtdiLowLatency);
    Measure(64 * 1024, kFtdiDefault);
    return 0;
}
