// The LCD capture's sentences: the checksum test against a model of the
// sentence rules, what a parsed line may change in the capture's state, and
// a whole capture whose far end answers the command with the input, which
// must end in bounded time with one outcome and the port given back.
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "lcd/LcdCapture.h"
#include "lcd/LcdProtocol.h"
#include "terminal/Nmea.h"

namespace {

using namespace quennet;

// "$", a CR among the 99 characters after it (not the first), and the two
// characters before the CR, read as upper-case hex with other characters
// skipped, equal to the XOR of the characters between "$" and the last "*"
// (0xFF without a "*").
bool ModelValid(const std::string& line) {
    if (line.size() < 2 || line[0] != '$' || line[1] == '\r') return false;
    const std::size_t cr = line.find('\r', 1);
    if (cr == std::string::npos || cr > 99) return false;
    unsigned sum = 0xFF;
    const std::size_t star = line.rfind('*', cr);
    if (star != std::string::npos && star > 0) {
        sum = 0;
        for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
    }
    unsigned given = 0;
    for (std::size_t i = cr - 2; i < cr; ++i) {
        const char c = line[i];
        if (c >= '0' && c <= '9') given = given * 16 + static_cast<unsigned>(c - '0');
        if (c >= 'A' && c <= 'F') given = given * 16 + static_cast<unsigned>(c - 'A' + 10);
    }
    return (given & 0xFF) == sum;
}

void CheckLine(std::span<const std::uint8_t> input) {
    LcdState state;
    const std::size_t n = std::min<std::size_t>(input.size(), kLcdLineChars);
    std::memcpy(state.LcdLine, input.data(), n);
    state.LcdLine[n] = '\0';
    const std::string line(state.LcdLine);  // up to its first NUL
    const bool valid = LcdSentenceValid(state.LcdLine);
    FUZZ_CHECK(valid == ModelValid(line), "valid %d for \"%s\"", valid, line.c_str());

    state.LcdWidth = 1 + input.size() % 128;
    state.LcdHeight = 64;
    state.LcdPixels.fill(2);  // neither lit nor unlit: shows every entry written
    const std::int32_t width = state.LcdWidth, height = state.LcdHeight;
    const int result = state.LcdParseLine();
    FUZZ_CHECK(valid || result == kLcdNotUsable, "result %d of an invalid sentence", result);
    if (result == kLcdHeader) {
        FUZZ_CHECK(state.LcdWidth > 0 && state.LcdHeight > 0 &&
                       std::int64_t{state.LcdWidth} * state.LcdHeight <= kLcdPixelCount,
                   "header size %d x %d", state.LcdWidth, state.LcdHeight);
    } else {
        FUZZ_CHECK(state.LcdWidth == width && state.LcdHeight == height, "size changed by result %d", result);
    }
    // Only a row writes pixels, and only 0 or 1, and all within one row.
    std::size_t written = 0;
    for (std::uint8_t p : state.LcdPixels) {
        FUZZ_CHECK(p <= 2, "pixel value %u", unsigned{p});
        if (p != 2) ++written;
    }
    FUZZ_CHECK(result == kLcdRow || written == 0, "%zu pixels written by result %d", written, result);
    FUZZ_CHECK(written <= static_cast<std::size_t>(width), "%zu pixels written for a width of %d", written, width);
}

// Answers the command sentence with the given bytes, once.
class Answer : public SimPeer {
public:
    explicit Answer(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n, std::uint64_t) override {
        seen_.append(reinterpret_cast<const char*>(bytes), n);
        if (!sent_ && seen_.find('\n') != std::string::npos) {
            sent_ = true;
            line.SendToPort(bytes_);
        }
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::string seen_;
    bool sent_ = false;
};

void CheckCapture(std::span<const std::uint8_t> input) {
    VirtualClock clock;
    SimLine line(clock);
    Answer answer({input.begin(), input.end()});
    line.SetPeer(&answer);
    ComPort port(SimDeviceFactory(line), clock);
    FUZZ_CHECK(port.ComOpen("ttyQ0", 115200, kFrameN81) == kComOk, "the port does not open");
    NmeaWriter nmea(port);
    LcdState state;
    int paused = 0, resumed = 0, boxes = 0;
    LcdCaptureHost host{port, nmea, [&] { ++paused; }, [&] { ++resumed; }, nullptr, nullptr, nullptr,
                        [&](const std::string&, const std::string&) { ++boxes; }};
    const LcdCaptureResult result = RunLcdCapture(state, host);
    const bool done = result == LcdCaptureResult::Done;
    FUZZ_CHECK(done || result == LcdCaptureResult::ProtocolError1 || result == LcdCaptureResult::ProtocolError2 ||
                   result == LcdCaptureResult::ProtocolError3,
               "result %d", static_cast<int>(result));
    FUZZ_CHECK(boxes == (done ? 0 : 1), "%d message boxes for result %d", boxes, static_cast<int>(result));
    FUZZ_CHECK(paused == 1 && resumed == 1, "pump paused %d, resumed %d", paused, resumed);
    FUZZ_CHECK(port.IsOpen() && port.Owner().Holds(PortUser::Terminal), "the port is not the terminal's again");
    // Every byte costs at most one character budget, the header wait its
    // limit, and the end one more budget.
    const std::uint64_t boundMs = kLcdHeaderWaitMs + (input.size() + 2) * kLcdCharBudgetMs + 100;
    FUZZ_CHECK(clock.NowMs() <= boundMs, "the capture took %llu ms of virtual time",
               static_cast<unsigned long long>(clock.NowMs()));
    line.SetPeer(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckLine({data, size});
    CheckCapture({data, size});
    return 0;
}
