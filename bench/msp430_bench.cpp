// How close an MSP430 programming run comes to what the wire and the part
// allow: a 60 KiB image written to the simulated ROM loader in virtual time,
// at 9600 and 19200 baud, and with the MSP430-38400 target that switches the
// loader to 38400 after identifying it. The part is an F449 with loader 1.60
// (word writes, one mass erase, change baud rate); the last row is the
// default board's F149 with loader 1.11, which cannot switch. The limit is
// the wire time of every byte sent and received, each at the rate it
// crossed at, plus the part's modelled erase and write time; the run's own
// fixed waits (the entry patterns, the settling after a switch) count
// against it.
//
// The 9600 run is repeated through a modelled FTDI USB adapter: with the
// low-latency request granted (its timer at 1 ms, as on Linux) and refused
// (16 ms, as on Windows, on a pty, or with a tool that does not ask).
//
// With BENCH_VERIFY=1 every run reads the image back and compares it.
//
//   cmake --build build-core --target msp430_bench && build-core/msp430_bench
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "Msp430BslTarget.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "loader/Loader.h"
#include "serial/ComPort.h"

using namespace quennet;

namespace {

// 60 KiB of data, 0x1000..0xFFFF, as S1 records of 32 bytes; no byte is 0xFF
// so that every one of them is programmed.
std::string WriteImage(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    unsigned seed = 12345;
    for (std::uint32_t a = 0x1000; a < 0x10000; a += 32) {
        unsigned char rec[1 + 2 + 32 + 1];
        rec[0] = 35;
        rec[1] = static_cast<unsigned char>(a >> 8);
        rec[2] = static_cast<unsigned char>(a);
        for (int i = 0; i < 32; ++i) {
            seed = seed * 1103515245u + 12345u;
            rec[3 + i] = static_cast<unsigned char>((seed >> 16) % 0xFF);
        }
        unsigned sum = 0;
        for (int i = 0; i < 35; ++i) sum += rec[i];
        rec[35] = static_cast<unsigned char>(~sum);
        out << "S1";
        char hex[3];
        for (unsigned char b : rec) {
            std::snprintf(hex, sizeof hex, "%02X", b);
            out << hex;
        }
        out << "\n";
    }
    out << "S9030000FC\n";
    return path.string();
}

double RunAt(const char* name, int target, std::uint16_t deviceId, std::uint16_t version, const std::string& file,
             SimLine::Adapter adapter = SimLine::Adapter::None, bool refuseLowLatency = false) {
    VirtualClock clock;
    SimLine line(clock);
    line.SetAdapter(adapter);
    line.refuseLowLatency = refuseLowLatency;
    Msp430BslConfig config;
    config.deviceId = deviceId;
    config.versionMajor = static_cast<std::uint8_t>(version >> 8);
    config.versionMinor = static_cast<std::uint8_t>(version);
    Msp430BslTarget part(config);
    line.SetPeer(&part);
    ComPort port(SimDeviceFactory(line), clock);
    MemoryStatusLog log;
    Loader loader(LoaderHost{port, log, nullptr, nullptr, nullptr, nullptr});

    LoaderInputs in;
    in.firmwarePath = file;
    in.targetIndex = target;
    in.terminalPort = "ttyQ0";
    in.terminalBaud = "9600";
    in.terminalFormat = kFrameN81;
    in.verify = std::getenv("BENCH_VERIFY") != nullptr;
    if (port.ComOpen(in.terminalPort, 9600, in.terminalFormat) != kComOk) return -1;

    const auto wall0 = std::chrono::steady_clock::now();
    const std::uint64_t t0 = clock.NowUs();
    loader.StartProgram(in);
    const std::uint64_t t1 = clock.NowUs();
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
    if (loader.LastRunResult != 0) {
        std::printf("run failed:\n%s\n", log.Text().c_str());
        return -1;
    }
    // The run ends with its time line; the reset pulse after it is not part
    // of the programming.
    const double runMs = (t1 - t0) / 1000.0 - ComPort::kResetPulseMs;

    const double wireMs = part.WireUs() / 1000.0;
    const double partMs = part.BusyUs() / 1000.0;
    const double limitMs = wireMs + partMs;
    const bool switched = !part.CommandsOf(0x20).empty();
    const double fixedMs = 2 * 260.0 + (switched ? 10.0 : 0.0);  // entry patterns, settling

    int blocks = 0;
    for (const auto& c : part.CommandsOf(0x12)) blocks += c.address >= 0x1000;
    std::printf("%-30s run %8.1f ms | wire %8.1f ms (%zu sent, %zu received) + part %7.1f ms = limit %8.1f ms | "
                "ratio %.4f (fixed waits %.0f ms; without them %.4f) | %d blocks | %.0f ms real\n",
                name, runMs, wireMs, part.BytesReceived(), part.BytesSent(), partMs, limitMs, runMs / limitMs,
                fixedMs, (runMs - fixedMs) / limitMs, blocks, wallMs);
    return runMs;
}

}  // namespace

int main() {
    const auto dir = std::filesystem::temp_directory_path() / "quennet-msp430-bench";
    std::filesystem::create_directories(dir);
    const std::string file = WriteImage(dir / "image60k.s19");
    const double at9600 = RunAt("MSP430-9600, F449", kTargetMsp430_9600, 0xF449, 0x0160, file);
    const double at19200 = RunAt("MSP430-19200, F449", kTargetMsp430_19200, 0xF449, 0x0160, file);
    const double at38400 = RunAt("MSP430-38400, F449", kTargetMsp430_38400, 0xF449, 0x0160, file);
    const double stays = RunAt("MSP430-38400, F149 1.11", kTargetMsp430_38400, 0xF149, 0x0111, file);
    const double fast = RunAt("MSP430-9600, F449, FTDI 1 ms", kTargetMsp430_9600, 0xF449, 0x0160, file,
                              SimLine::Adapter::Ftdi, false);
    const double slow = RunAt("MSP430-9600, F449, FTDI 16 ms", kTargetMsp430_9600, 0xF449, 0x0160, file,
                              SimLine::Adapter::Ftdi, true);
    std::filesystem::remove_all(dir);
    if (at9600 < 0 || at19200 < 0 || at38400 < 0 || stays < 0 || fast < 0 || slow < 0) return 1;
    std::printf("MSP430-38400 against MSP430-9600 on the F449: %.2f x faster\n", at9600 / at38400);
    return 0;
}
