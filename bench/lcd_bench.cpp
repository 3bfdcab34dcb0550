// How long a 128 x 64 display capture at 115200 baud takes, in virtual time,
// against the wire time of the sentences it exchanges (the command there, the
// header and 64 rows back). Run by hand: build-core/lcd_bench
#include <cstdio>

#include "LcdFirmwareTarget.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "lcd/LcdCapture.h"
#include "terminal/Nmea.h"

using namespace quennet;

int main() {
    VirtualClock clock;
    SimLine line(clock);
    ComPort port(SimDeviceFactory(line), clock);
    NmeaWriter nmea(port);
    LcdFirmwareTarget target(line, 128, 64);
    target.FillTestPattern();
    LcdState state;
    if (port.ComOpen("ttyQ0", 115200, kFrameN81) != kComOk) {
        std::fprintf(stderr, "cannot open the simulated port\n");
        return 1;
    }
    LcdCaptureHost host{port, nmea, {}, {}, {}, {}, {}, [](const std::string&, const std::string& text) {
                            std::fprintf(stderr, "capture failed: %s\n", text.c_str());
                        }};
    const std::uint64_t start = clock.NowUs();
    const LcdCaptureResult result = RunLcdCapture(state, host);
    const std::uint64_t tookUs = clock.NowUs() - start;
    if (result != LcdCaptureResult::Done) return 1;

    const std::size_t commandBytes = line.WrittenBytes().size();
    const std::uint64_t wireUs = line.WireTimeUs(commandBytes) + target.AnswerWireUs();
    std::printf("128 x 64 at 115200 8N1: %zu bytes out, %zu bytes back\n", commandBytes,
                target.BytesAnswered());
    std::printf("wire time of the sentences: %8.3f ms\n", static_cast<double>(wireUs) / 1000.0);
    std::printf("capture took (virtual):     %8.3f ms\n", static_cast<double>(tookUs) / 1000.0);
    std::printf("overhead:                   %+8.3f %%  (limit +5 %%)\n",
                (static_cast<double>(tookUs) / static_cast<double>(wireUs) - 1.0) * 100.0);
    return tookUs <= wireUs + wireUs / 20 ? 0 : 2;
}
