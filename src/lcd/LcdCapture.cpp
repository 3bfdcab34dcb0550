#include "lcd/LcdCapture.h"

#include <cstring>
#include <optional>

#include "core/ScopeExit.h"
#include "lcd/LcdProtocol.h"
#include "terminal/Nmea.h"

namespace quennet {

int LcdState::LcdReadLine(ComPort& port) {
    int n = 0;
    LcdLine[0] = '\0';
    for (;;) {
        const int b = port.ComWaitByte(kLcdCharBudgetMs);
        if (b < 0) return 1;
        if (n == kLcdLineChars) return 1;  // no LF within the longest line
        LcdLine[n++] = static_cast<char>(b);
        LcdLine[n] = '\0';
        if (b == '\n') return 0;
    }
}

int LcdState::LcdParseLine() {
    if (!LcdSentenceValid(LcdLine)) return kLcdNotUsable;
    FieldSplitter fields;
    const char* first = fields.NextField(LcdLine + 1, ",");
    // The identifier is two talker characters and the sentence's name.
    if (first == nullptr || std::strlen(first) < 2) return kLcdNotUsable;
    const char* name = first + 2;

    if (TextEquals(name, "LCD")) {
        const char* widthField = fields.NextField(nullptr, ",");
        if (widthField == nullptr) return kLcdNotUsable;
        const char* heightField = fields.NextField(nullptr, "*");
        if (heightField == nullptr) return kLcdNotUsable;
        const std::int64_t w = LcdDecimalValue(widthField);
        const std::int64_t h = LcdDecimalValue(heightField);
        // A size the store cannot hold would make rows overlap or pictures of
        // no or negative size: keep the old one.
        if (w <= 0 || h <= 0 || w * h > kLcdPixelCount) return kLcdHeaderOutOfRange;
        LcdWidth = static_cast<std::int32_t>(w);
        LcdHeight = static_cast<std::int32_t>(h);
        return kLcdHeader;
    }

    if (TextEquals(name, "PIX")) {
        const char* rowField = fields.NextField(nullptr, ",");
        if (rowField == nullptr) return kLcdNotUsable;
        const std::int64_t row = LcdDecimalValue(rowField);
        const char* data = fields.NextField(nullptr, "*");
        if (data == nullptr) return kLcdNotUsable;
        for (std::int64_t c = 0; c < LcdWidth; c += 8) {
            // A field shorter than the width needs gives unlit pixels; the
            // pointer never moves past the field's end.
            const int byte = HexPairValue(data);
            data += (data[0] == '\0') ? 0 : (data[1] == '\0' ? 1 : 2);
            for (int b = 0; b < 8 && c + b < LcdWidth; ++b) {
                const std::int64_t index = row * LcdWidth + c + b;
                if (index >= 0 && index < kLcdPixelCount)
                    LcdPixels[static_cast<std::size_t>(index)] =
                        static_cast<std::uint8_t>((byte >> (7 - b)) & 1);
            }
        }
        return kLcdRow;
    }
    return kLcdNotUsable;
}

bool LcdState::PixelLit(int width, int row, int column) const {
    if (width <= 0 || row < 0 || column < 0 || column >= width) return false;
    const std::int64_t index = static_cast<std::int64_t>(row) * width + column;
    return index < kLcdPixelCount && LcdPixels[static_cast<std::size_t>(index)] != 0;
}

LcdCaptureResult RunLcdCapture(LcdState& state, const LcdCaptureHost& host) {
    auto call = [](const auto& fn, auto... args) {
        if (fn) fn(args...);
    };
    std::optional<PortLease> lease;
    lease.emplace(host.port.Owner(), PortUser::LcdCapture);
    if (!lease->Held()) return LcdCaptureResult::PortBusy;
    call(host.setProgress, 0);
    if (!host.port.IsOpen()) {
        lease.reset();
        call(host.messageBox, std::string(kErrorCaption), std::string(kLcdNoPortText));
        return LcdCaptureResult::NoPort;
    }
    // From here the replies are ours: the terminal's pump must not take them.
    // Bytes already waiting stay; the header wait skips what is not a header.
    call(host.pausePump);
    call(host.setBusy, true);
    // Each row would otherwise wait for a USB adapter's latency timer.
    std::optional<LowLatencyRequest> fast;
    fast.emplace(host.port);
    // The end of the capture, on every way out of it, an exception included:
    // the port and the pump go back to the terminal, the cursor to normal.
    auto end = [&] {
        fast.reset();
        call(host.resumePump);
        call(host.setBusy, false);
        lease.reset();
    };
    AtExit ended(end);

    auto fail = [&](LcdCaptureResult result, const char* text) {
        ended.Disarm();
        end();
        call(host.messageBox, std::string(kErrorCaption), std::string(text));
        return result;
    };

    host.nmea.NmeaBeginCommand();
    for (const char* p = kLcdCommandBody; *p != '\0'; ++p)
        host.nmea.NmeaPutChar(static_cast<std::uint8_t>(*p));
    host.nmea.NmeaEnd();

    Clock& clock = host.port.clock();
    const std::uint32_t waitStart = clock.TickCount();
    for (;;) {
        if (state.LcdReadLine(host.port) != 0)
            return fail(LcdCaptureResult::ProtocolError1, kLcdProtocolError1);
        const int parsed = state.LcdParseLine();
        if (parsed == kLcdHeader) break;
        if (parsed == kLcdHeaderOutOfRange)
            return fail(LcdCaptureResult::ProtocolError1, kLcdProtocolError1);
        // Anything else (noise, other sentences, early rows, which are stored
        // but not counted) is skipped, but not for ever.
        if (static_cast<std::uint32_t>(clock.TickCount() - waitStart) >= kLcdHeaderWaitMs)
            return fail(LcdCaptureResult::ProtocolError1, kLcdProtocolError1);
    }

    // Rows are counted, not matched by number: they may come in any order.
    for (std::int32_t k = 0; k < state.LcdHeight; ++k) {
        if (state.LcdReadLine(host.port) != 0)
            return fail(LcdCaptureResult::ProtocolError2, kLcdProtocolError2);
        if (state.LcdParseLine() != kLcdRow)
            return fail(LcdCaptureResult::ProtocolError3, kLcdProtocolError3);
        call(host.processMessages);
        call(host.setProgress, static_cast<int>((static_cast<std::int64_t>(k) * 100 + 100) / state.LcdHeight));
        // A stop asked for while the window processed its messages ends the
        // capture between rows; the user asked, so no box follows.
        if (k + 1 < state.LcdHeight && host.stopRequested && host.stopRequested()) return LcdCaptureResult::Stopped;
    }
    return LcdCaptureResult::Done;
}

}  // namespace quennet
